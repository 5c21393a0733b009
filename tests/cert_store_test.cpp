// Certificate files (primitives, subject hash, display records) and the stores built on them:
// the trusted CA directory as openssl reads it, the device certificate file, the durl tool.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>

#include <openssl/err.h>

#include "cert_factory.h"
#include "dl_internal.h"
#include "fault_injection.h"
#include "log_capture.h"
#include "test_files.h"

using namespace durl_test;

namespace {

using Names = std::set<std::string>;

// CA number i: its own subject, self-signed with key slot 5.
X509 *store_ca(int i) {
    static std::map<int, durl::X509Ptr> made;
    CertShape s;
    s.subject = {{"CN", "durl store CA " + std::to_string(i)}};
    s.ca = true;
    if (!made[i]) made[i] = factory_cert(s, factory_key(5));
    return made[i].get();
}

class Certs : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        dir = scratch_dir("certs") + "/";
        use_store(dir + "trust/");
        use_device(dir + "certs/server/WebServer.pem");
        combined = dir + "combined.pem";
        write_combined(combined, factory_pki().leaf.get(), factory_key(2));
    }
    void use_store(const std::string &t) {
        trust = t;
        ASSERT_EQ(durl_set_option(nullptr, DURL_OPT_SSL_TRUST_PATH, t.c_str()), 0);
    }
    void use_device(const std::string &d) {
        dev = d;
        ASSERT_EQ(durl_set_option(nullptr, DURL_OPT_SSL_CA_FILE, d.c_str()), 0);
    }
    std::string ca_file(int i) {
        std::string p = dir + "ca" + std::to_string(i) + ".pem";
        EXPECT_TRUE(write_cert(p, store_ca(i)));
        return p;
    }
    // Certificate then key in one file, installed as the device certificate.
    int install_pair(const std::string &name, X509 *cert, EVP_PKEY *key, const char *pw = "") {
        write_combined(dir + name, cert, key, pw);
        return dl_install_ser_ca((dir + name).c_str());
    }
    Names store() const {
        std::vector<std::string> v = dir_names(trust);
        return Names(v.begin(), v.end());
    }
    std::string dir, trust, dev, combined;
};
using CertFile = Certs;
using CertStore = Certs;

}  // namespace

TEST_F(CertFile, DigestAndPassword) {
    write_file(dir + "abc", "abc");
    char out[512] = {0};
    EXPECT_EQ(dl_get_file_md5((dir + "abc").c_str(), out), 0);
    EXPECT_STREQ(out, "900150983cd24fb0d6963f7d28e17f72");
    // The password setting is cut to leave room for the terminator.
    durl_set_option(nullptr, DURL_OPT_SSL_PASSWD, "s3cret");
    char buf[8] = "#######";
    EXPECT_EQ(dl_password_cb(buf, 4, 1, nullptr), 3);
    EXPECT_STREQ(buf, "s3c");
}

TEST_F(CertFile, EncodingReaderAndHashAgree) {
    // The hash parses without decoding the key, yet must take exactly what the reader takes.
    const FactoryPki &p = factory_pki();
    ASSERT_TRUE(write_cert(dir + "ca.der", p.ca.get(), Encoding::der));
    const std::string der = read_file(dir + "ca.der"), ca = pem_text(p.ca.get());
    size_t tbs_len = (static_cast<unsigned char>(der[6]) << 8) | static_cast<unsigned char>(der[7]);
    std::string broken = der;  // intact up to the subject, the outer signature tag broken
    broken[8 + tbs_len] = 0x31;
    std::string odd_key = der;  // a public key algorithm nobody knows
    odd_key[odd_key.find("\x2a\x86\x48\x86\xf7\x0d\x01\x01\x01") + 8] = 0x7f;
    write_key(dir + "k.pem", factory_key(2));
    const std::string key = read_file(dir + "k.pem");
    const int PEM = DL_CA_TYPE_PEM, DER = DL_CA_TYPE_DER;
    const struct {
        const char *name;
        std::string bytes;
        int type;
        X509 *cert;  // what the reader finds; null: nothing
    } rows[] = {
        {"ca.der", der, DER, p.ca.get()},
        {"ca.pem", ca, PEM, p.ca.get()},
        // The same file with other bytes: hashed anew, not remembered from the row above.
        {"ca.pem", pem_text(p.leaf.get()), PEM, p.leaf.get()},
        {"text_first.pem", std::string(3000, 'x') + "\nsome text\n" + ca, PEM, p.ca.get()},
        {"key_first.pem", key + pem_text(p.leaf.get()), PEM, p.leaf.get()},
        {"key_only.pem", key, PEM, nullptr},
        {"broken.der", broken, DER, nullptr},
        {"odd_key.der", odd_key, DER, p.ca.get()},
        // Beyond what is read into memory at once: read as a stream instead.
        {"big.pem", std::string(2 << 20, '\n') + pem_text(p.leaf.get()), PEM, p.leaf.get()},
        {"big_junk.pem", std::string(2 << 20, 'j') + "\nBEGIN\n", PEM, nullptr},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const std::string f = dir + r.name;
        ASSERT_TRUE(write_file(f, r.bytes));
        EXPECT_EQ(dl_get_ca_type(f.c_str()), r.type);
        durl::BioPtr bio(BIO_new_file(f.c_str(), "r"));
        EXPECT_EQ(durl::X509Ptr(dl_get_x509(r.type, bio.get())) != nullptr, r.cert != nullptr);
        EXPECT_EQ(dl_get_ca_hash(f.c_str()), r.cert ? subject_hash(r.cert) : 0u);
    }
    EXPECT_EQ(dl_get_ca_hash((dir + "missing").c_str()), 0u);
    EXPECT_EQ(dl_get_ca_hash(dir.c_str()), 0u);
    EXPECT_EQ(ERR_peek_error(), 0u) << "failed reads leave no stale OpenSSL errors";
}

TEST_F(CertFile, EveryOperationReadsAFileAlike) {
    // Fault guarded: two readers disagreed. A NUL line before BEGIN was installed but could not
    // be listed or used; a NUL inside the BEGIN line was described but not installable.
    const std::string pem = pem_text(store_ca(20)), first = pem.substr(0, pem.find('\n'));
    const struct {
        const char *name;
        std::string bytes;
        bool usable;  // what the TLS library's own CA-file loader says, below
    } rows[] = {
        {"nul_line", std::string("\0\n", 2) + pem, false},
        {"nul_in_begin", first + std::string("\0junk", 5) + pem.substr(first.size()), true},
        // Read by the certificate reader, refused whole by the CA-file loader: stored clean.
        {"broken_tail", pem + "-----BEGIN FOO-----\n!!\n-----END FOO-----\n", true},
    };
    durl::X509Ptr leaf = factory_cert(CertShape{}, factory_key(2), store_ca(20), factory_key(5));
    const std::string leaf_pem = dir + "leaf.pem", other = ca_file(1);
    ASSERT_TRUE(write_cert(leaf_pem, leaf.get()));
    dl_ca_info info;
    dl_ca_status status;
    dl_trust_ca_list list;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const std::string f = dir + r.name + ".pem";
        ASSERT_TRUE(write_file(f, r.bytes));
        int loader = -1;
        run_capture("openssl verify -no-CApath -CAfile '" + f + "' '" + leaf_pem + "' 2>&1",
                    &loader);
        EXPECT_EQ(loader == 0, r.usable && std::string(r.name) != "broken_tail");
        use_store(dir + r.name + "/");
        EXPECT_EQ(dl_get_ca_hash(f.c_str()), r.usable ? subject_hash(store_ca(20)) : 0u);
        EXPECT_EQ(dl_get_ca_info(f.c_str(), &info), r.usable ? 0 : -2);
        EXPECT_EQ(dl_cert_verify(f.c_str(), nullptr, other.c_str(), 0, &status), r.usable ? 0 : -1);
        EXPECT_EQ(dl_install_ca(f.c_str()), r.usable ? 0 : -1);
        EXPECT_EQ(dl_get_trust_ca_info(&list), r.usable ? 0 : -2) << "nothing written";
        EXPECT_EQ(list.count, r.usable ? 1 : 0);
        EXPECT_EQ(dl_cert_verify(leaf_pem.c_str(), trust.c_str(), other.c_str(), 0, &status),
                  r.usable ? 0 : -1);
        EXPECT_EQ(read_file(trust + hash_name(store_ca(20)) + ".0"), r.usable ? pem : "");
    }
}

TEST_F(CertFile, DerRewriteNeverLosesTheCertificate) {
    // Fault guarded: the DER-to-PEM rewrite went via /tmp/ca_tmp.crt and lost the file on failure.
    const FactoryPki &p = factory_pki();
    const std::string f = dir + "c.der";
    write_cert(f, p.ca.get(), Encoding::der);
    chmod(f.c_str(), 0604);
    const std::string der = read_file(f);
    struct stat st;
    const bool had_fixed_temp = stat("/tmp/ca_tmp.crt", &st) == 0;
    {
        FileSizeLimit limit(200);  // the PEM text is longer than the DER bytes
        EXPECT_EQ(dl_get_ca_hash(f.c_str()), 0u);
    }
    {
        ImmutableDir frozen(dir);  // no sibling can be made (skipped where unsupported)
        if (frozen.active()) {
            EXPECT_EQ(dl_get_ca_hash(f.c_str()), 0u);
        }
    }
    EXPECT_EQ(read_file(f), der);
    EXPECT_EQ(dir_names(dir), (std::vector<std::string>{"c.der", "combined.pem"}));
    EXPECT_EQ(stat("/tmp/ca_tmp.crt", &st) == 0, had_fixed_temp) << "no fixed temporary";
    EXPECT_EQ(dl_get_ca_hash(f.c_str()), subject_hash(p.ca.get()));
    EXPECT_EQ(read_file(f), pem_text(p.ca.get()));
    EXPECT_EQ(file_mode(f), 0604u) << "the rewrite keeps the file's mode";
    // The same DER bytes once more: every hash of a DER file rewrites it, the second too.
    ASSERT_TRUE(write_file(f, der));
    EXPECT_EQ(dl_get_ca_hash(f.c_str()), subject_hash(p.ca.get()));
    EXPECT_EQ(read_file(f), pem_text(p.ca.get()));
}

TEST_F(CertFile, Asn1TimeText) {
    const struct {
        int type;
        const char *text, *shown;  // shown null: refused, output untouched
    } rows[] = {
        {V_ASN1_UTCTIME, "491231235959Z", "Dec 31 23:59:59 2049 GMT"},  // 2049, not 1949
        {V_ASN1_UTCTIME, "0607080910+0200", "Jul  8 09:10:00 2006"},
        {V_ASN1_UTCTIME, "491331235959Z", nullptr},  // month 13
        {V_ASN1_UTCTIME, "491231235", nullptr},      // too short
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        std::unique_ptr<ASN1_STRING, decltype(&ASN1_STRING_free)> t(ASN1_STRING_type_new(r.type),
                                                                    ASN1_STRING_free);
        ASSERT_TRUE(t && ASN1_STRING_set(t.get(), r.text, -1) == 1);
        char out[64] = "untouched";
        EXPECT_EQ(asn1_time_parse(t.get(), out), r.shown ? 0 : -1);
        EXPECT_STREQ(out, r.shown ? r.shown : "untouched");
    }
}

TEST_F(CertFile, InfoRecordsOfCertificateShapes) {
    const FactoryPki &p = factory_pki();
    const std::string w63(63, 'w');
    // clang-format off
    const struct {
        std::vector<std::pair<std::string, std::string>> subject;
        std::vector<unsigned char> serial;
        std::string cn, org, name, serial_text;  // short record (cleared first), long
    } rows[] = {
        {{{"C", "DE"}, {"O", "Acme"}, {"OU", "Lab"}, {"CN", "one"}}, {0x10, 0x00}, "one", "Acme",
         "one", "4096 (0x1000)"},
        {{{"OU", "Unit"}, {"O", "Org"}}, {0x7F, 0xFF, 0xFF, 0xFF}, "", "Org", "Unit",
         "2147483647 (0x7fffffff)"},
        {{{"C", "DE"}}, {0xC0, 0, 0, 0}, "", "", "", "-1073741824 (-0x40000000)"},
        // A 4-byte magnitude with its top bit set shows as negative; long names are cut.
        {{{"CN", w63 + "w"}}, {0x00, 0xC0, 0, 0, 0}, w63, "", w63, "-1073741824 (-0x40000000)"},
        // A 20-byte negative serial (magnitude 11..11:12) does not fit: cut at a whole pair.
        {{{"CN", "x"}}, std::vector<unsigned char>(20, 0xEE), "x", "", "x",
         "(Negative)11:11:11:11:11:11:11:11:11:11:11:11:11:11:11:11:11:"},
        // Values are shown as the one-line name form shows them; the first of each counts.
        {{{"O", "Zweig/Ost"}, {"O", "Second"}, {"CN", "M\xC3\xBCller"}, {"CN", "second"}}, {2},
         "M\\xC3\\xBCller", "Zweig", "M\\xC3\\xBCller", "2 (0x2)"},
        // Fault guarded: names were searched for in the one-line text, so a value holding
        // "/CN=" showed a name the certificate does not have, or hid the one it has.
        {{{"O", "Acme/CN=www.bank.example"}, {"CN", "attacker"}}, {3}, "attacker", "Acme",
         "attacker", "3 (0x3)"},
        {{{"OU", "/CN="}, {"CN", "leaf.example"}}, {4}, "leaf.example", "", "leaf.example",
         "4 (0x4)"},
    };
    // clang-format on
    int n = 0;
    dl_ca_info info;
    dl_ca_info_ex ex;
    dl_ca_status status;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.serial_text);
        CertShape s;
        s.subject = r.subject;
        s.serial = r.serial;
        s.not_before = "200102030405Z";   // UTCTime
        s.not_after = "20600708091011Z";  // GeneralizedTime
        durl::X509Ptr c = factory_cert(s, factory_key(2), p.ca.get(), factory_key(0));
        const std::string f = dir + std::to_string(++n) + ".crt";  // the first one DER
        ASSERT_TRUE(c && write_cert(f, c.get(), n == 1 ? Encoding::der : Encoding::pem));
        std::snprintf(info.common_name, sizeof info.common_name, "preset");
        std::snprintf(info.organization, sizeof info.organization, "preset");
        ASSERT_EQ(dl_get_ca_info(f.c_str(), &info), 0);
        EXPECT_EQ(info.common_name, r.cn);
        EXPECT_EQ(info.organization, r.org);
        EXPECT_STREQ(info.not_after, "Jul  8 09:10:11 2060 GMT");
        ASSERT_EQ(dl_get_ca_info_ex(f.c_str(), &ex, 0, &status), 0);
        EXPECT_EQ(ex.subject, r.name);
        EXPECT_EQ(ex.serial, r.serial_text);
        EXPECT_STREQ(ex.issuer, "durl Factory Root CA");
        EXPECT_STREQ(ex.not_before, "Jan  2 03:04:05 2020 GMT");
    }
    // A CA naming itself so shows as issuer what it really holds as well.
    CertShape hostile;
    hostile.subject = rows[6].subject;
    ASSERT_TRUE(write_cert(dir + "hostile.pem", factory_cert(hostile, factory_key(3)).get()));
    ASSERT_EQ(dl_get_ca_info_ex((dir + "hostile.pem").c_str(), &ex, 0, &status), 0);
    EXPECT_STREQ(ex.issuer, "attacker");
    write_file(dir + "junk", "junk");
    for (const std::string &bad : {dir, dir + "missing", dir + "junk"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(dl_get_ca_info(bad.c_str(), &info), -2);
        EXPECT_EQ(dl_get_ca_info_ex(bad.c_str(), &ex, 0, &status), -1);
        EXPECT_EQ(status.code, 1);
        EXPECT_EQ(ex.version, 0) << "record cleared";
    }
}

TEST_F(CertStore, InstalledCaIsWhatOpensslReads) {
    // A CA whose hash has a leading zero, which the names must keep, and a leaf it signed.
    CertShape s;
    s.ca = true;
    durl::X509Ptr ca;
    for (int i = 0; !ca || X509_subject_name_hash(ca.get()) >= 0x10000000UL; ++i) {
        s.subject = {{"CN", "low hash " + std::to_string(i)}};
        ca = factory_cert(s, factory_key(5));
    }
    durl::X509Ptr leaf = factory_cert(CertShape{}, factory_key(2), ca.get(), factory_key(5));
    const std::string ca_der = dir + "ca.der", leaf_pem = dir + "leaf.pem";
    ASSERT_TRUE(write_cert(ca_der, ca.get(), Encoding::der) && write_cert(leaf_pem, leaf.get()));
    auto verify = [&](const std::string &capath) {  // no system bundle or directory
        int status = -1;
        std::string cmd = "openssl verify -no-CAfile -CApath '" + capath + "' '" + leaf_pem + "'";
        run_capture("SSL_CERT_FILE=/none SSL_CERT_DIR=/none " + cmd + " 2>&1", &status);
        return status;
    };
    EXPECT_NE(verify(trust), 0);
    ASSERT_EQ(dl_install_ca(ca_der.c_str()), 0) << log.dump();
    std::string h = run_capture("openssl x509 -hash -noout -in '" + ca_der + "'");  // now PEM
    h.erase(h.find_last_not_of('\n') + 1);
    EXPECT_EQ(store(), (Names{h, h + ".0", "ca", "phoneca"}));
    EXPECT_EQ(read_file(trust + h), pem_text(ca.get())) << "through the link";
    EXPECT_EQ(verify(trust), 0);
    EXPECT_EQ(verify(trust + "ca/"), 0);
    // The same subject in another certificate is the same CA; so is a factory CA, which may be
    // DER under any name holding ".0".
    ASSERT_TRUE(write_cert(dir + "twin.pem", factory_cert(s, factory_key(2)).get()));
    EXPECT_EQ(dl_install_ca((dir + "twin.pem").c_str()), -2);
    ASSERT_TRUE(write_cert(trust + "phoneca/vendor.0.crt", store_ca(1), Encoding::der));
    EXPECT_EQ(dl_install_ca(ca_file(1).c_str()), -3);
    EXPECT_EQ(dl_del_ca((trust + h + ".0").c_str()), 0);
    EXPECT_EQ(store(), (Names{"ca", "phoneca"})) << "the file and both links removed";
    EXPECT_TRUE(dir_names(trust + "ca").empty());
}

TEST_F(CertStore, NoShellForAnyPath) {
    // Fault guarded: paths ran through a shell, and "rm" commands were cut at 127 characters.
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd) && chdir(dir.c_str()) == 0);
    use_store(dir + "it's $(touch PWNED) & `touch PWNED2`; x/");
    int rc = dl_install_ca(ca_file(4).c_str());
    use_device(dir + "x; touch PWNED3");
    write_file(dev, "x");
    EXPECT_EQ(dl_del_ser_ca(), 0);
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(rc, 0) << log.dump();
    const std::string h = hash_name(store_ca(4));
    EXPECT_EQ(read_file(trust + "ca/" + h + ".0"), pem_text(store_ca(4)));
    EXPECT_EQ(dl_del_ca((trust + h + ".0").c_str()), 0);
    EXPECT_EQ(store(), (Names{"ca", "phoneca"}));
    EXPECT_FALSE(file_exists(dev));
    for (const char *f : {"PWNED", "PWNED2", "PWNED3"}) EXPECT_FALSE(file_exists(dir + f)) << f;
    // A long path whose first 124 characters name another file.
    const std::string victim = dir + std::string(150, 'd') + "/victim.pem";
    ASSERT_EQ(mkdir(victim.substr(0, victim.rfind('/')).c_str(), 0755), 0);
    write_file(victim, "x");
    write_file(victim.substr(0, 124), "must survive");
    EXPECT_EQ(dl_del_ca(victim.c_str()), 0);
    EXPECT_FALSE(file_exists(victim));
    EXPECT_EQ(read_file(victim.substr(0, 124)), "must survive");
}

TEST_F(CertStore, FailedCopiesAreReportedAndChangeNothing) {
    // Fault guarded: a failed copy was reported as success over a partial file (and linked).
    ASSERT_EQ(dl_install_ser_ca(combined.c_str()), 0);
    const std::string before = read_file(dev), ca = ca_file(1), other = dir + "other.pem";
    write_combined(other, factory_pki().leaf_by_inter.get(), factory_key(2));
    {
        FileSizeLimit limit(300);
        EXPECT_EQ(dl_install_ca(ca.c_str()), -1);
        EXPECT_EQ(dl_install_ser_ca(other.c_str()), -6);
    }
    EXPECT_EQ(store(), (Names{"ca", "phoneca"}));
    EXPECT_EQ(read_file(dev), before);
    EXPECT_EQ(dir_names(dir + "certs/server"), std::vector<std::string>{"WebServer.pem"});
}

TEST_F(CertStore, ListingsDescribeAtMostTenEntries) {
    dl_trust_ca_list list;
    dl_trust_ca_list_ex ex;
    dl_ca_status status;
    for (int i = 1; i <= 11; ++i) ASSERT_EQ(dl_install_ca(ca_file(i).c_str()), 0);
    ASSERT_EQ(dl_get_trust_ca_info(&list), 0);
    ASSERT_EQ(dl_get_trust_ca_info_ex(&ex, &status), 0);
    ASSERT_EQ(list.count, 10);
    ASSERT_EQ(ex.count, 10);
    for (int i = 0; i < 10; ++i) {
        const dl_ca_info &e = list.entries[i];
        EXPECT_EQ(trust + hash_name(store_ca(std::stoi(e.common_name + 14))) + ".0", e.path);
        EXPECT_STREQ(ex.entries[i].subject, e.common_name) << "the same order";
        EXPECT_STREQ(ex.entries[i].path, e.path);
    }
    // An entry whose path would not fit the record is skipped, and kept.
    use_store(dir + std::string(60, 'p') + "/");
    ASSERT_EQ(dl_install_ca(ca_file(1).c_str()), 0);
    ASSERT_EQ(dl_get_trust_ca_info(&list), 0);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(store().size(), 4u);
}

TEST_F(CertStore, ListingsDeleteOnlyEntriesHoldingNoCertificate) {
    // Fault guarded: a listing deleted entries it could not open, as if they held no certificate.
    ASSERT_EQ(dl_install_ca(ca_file(1).c_str()), 0);
    const std::string h = hash_name(store_ca(1));
    write_file(trust + "junk.0", "text, no certificate\n");
    write_file(trust + "big.0", std::string(3 << 20, 'b'));  // read as a stream
    ASSERT_EQ(mkdir((trust + "subdir.0").c_str(), 0755), 0);
    dl_trust_ca_list list;
    {
        DescriptorSqueeze squeeze(1);  // enough for the directory, none for its entries
        EXPECT_EQ(dl_get_trust_ca_info(&list), 0);
    }
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(store().size(), 7u) << "nothing deleted";
    ASSERT_EQ(dl_get_trust_ca_info(&list), 0);
    EXPECT_EQ(list.count, 1);
    EXPECT_EQ(store(), (Names{h, h + ".0", "ca", "phoneca", "subdir.0"}));
}

TEST_F(CertStore, DeviceInstallRefusals) {
    // Faults guarded: pairs signed with MD5/SHA-1 or with 1024-bit keys were installed unusable
    // (-3); a key of another pair, refused while loading, was reported unreadable (-2, not -4).
    const FactoryPki &p = factory_pki();
    CertShape sha1;
    sha1.digest = "sha1";
    durl::X509Ptr sha1_leaf = factory_cert(sha1, factory_key(2), p.ca.get(), factory_key(0));
    write_cert(dir + "cert_only.pem", p.leaf.get());
    write_key(dir + "key_only.pem", factory_key(2));
    write_combined(dir + "md5.pem", p.md5_leaf.get(), factory_key(2));
    write_combined(dir + "sha1.pem", sha1_leaf.get(), factory_key(2));
    write_combined(dir + "small.pem", p.small_key_leaf.get(), factory_key(4, 1024));
    write_combined(dir + "mismatch.pem", p.leaf.get(), factory_key(3));
    const struct {
        std::string device, file;
        int rc;
    } rows[] = {
        {dev, "cert_only.pem", -2},
        {dev, "key_only.pem", -5},
        {dev, "md5.pem", -3},
        {dev, "sha1.pem", -3},
        {dev, "small.pem", -3},
        {dev, "mismatch.pem", -4},
        {"WebServer.pem", "combined.pem", -7},              // no directory two levels up
        {dir + "a/b/c/WebServer.pem", "combined.pem", -6},  // can't be made
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.device + " " + r.file);
        use_device(r.device);
        EXPECT_EQ(dl_install_ser_ca((dir + r.file).c_str()), r.rc);
        EXPECT_FALSE(file_exists(r.device));
    }
    // The same bytes as the device certificate (-7) or the factory one (-8).
    use_device(rows[0].device);
    EXPECT_EQ(dl_install_ser_ca(combined.c_str()), 0);
    EXPECT_EQ(dl_install_ser_ca(combined.c_str()), -7);
    ASSERT_EQ(mkdir((dir + "certs/phonedev").c_str(), 0755), 0);
    write_combined(dir + "certs/phonedev/WebServer.pem", p.leaf_by_inter.get(), factory_key(2));
    EXPECT_EQ(install_pair("other.pem", p.leaf_by_inter.get(), factory_key(2)), -8);
}

TEST_F(CertStore, DeviceInstallWithoutSsl2Or3) {
    // Fault guarded: SSLv2/SSLv3 asked for methods this TLS library lacks; now SSL_CTX_new fails.
    // Selector 6 is TLS 1.3 here as in transfers (it was refused: "Wrong method", -7).
    const int rc_of_version[] = {0, -5, -5, 0, 0, 0, 0};
    for (int version = 0; version < 7; ++version) {
        SCOPED_TRACE(version);
        unlink(dev.c_str());
        durl_set_option(nullptr, DURL_OPT_SSL_VERSION, version);
        EXPECT_EQ(dl_install_ser_ca(combined.c_str()), rc_of_version[version]);
        EXPECT_EQ(file_exists(dev), rc_of_version[version] == 0);
    }
    EXPECT_EQ(log.count(3, "[DCMN]SSL_CTX_new error\n"), 2u);
}

TEST_F(CertStore, DeviceFileIsOwnerOnlyAndReplacedHalfByHalf) {
    // Fault guarded: the device file, which holds the private key, was readable by everyone.
    const FactoryPki &p = factory_pki();
    mode_t saved = umask(0);
    EXPECT_EQ(dl_install_ser_ca(combined.c_str()), 0);
    EXPECT_EQ(file_mode(dev), 0600u);
    chmod(dev.c_str(), 0644);
    // A new certificate (DER) keeps the device's key; the file is PEM, certificate first.
    write_cert(dir + "new.der", p.leaf_by_inter.get(), Encoding::der);
    EXPECT_EQ(dl_install_ser_ca_separate((dir + "new.der").c_str()), 0);
    umask(saved);
    EXPECT_EQ(file_mode(dev), 0600u);
    write_key(dir + "k.pem", factory_key(2));
    EXPECT_EQ(read_file(dev), pem_text(p.leaf_by_inter.get()) + read_file(dir + "k.pem"));
    // A new (encrypted) key keeps the certificate, unchecked: reading reports the mismatch.
    write_key(dir + "k3.pem", factory_key(3), Encoding::pem, "pw3");
    durl_set_option(nullptr, DURL_OPT_SSL_PASSWD, "pw3");
    ASSERT_EQ(dl_install_ser_ca_separate((dir + "k3.pem").c_str()), 0);
    dl_ca_info info;
    EXPECT_EQ(dl_get_ser_ca_info(&info), -3);
    EXPECT_STREQ(info.common_name, "durl factory inter leaf");
}

TEST_F(CertStore, SeparateInstallNeverDropsAnUnreadableKey) {
    // Fault guarded: a device key that could not be opened (wrong password) was silently dropped.
    durl_set_option(nullptr, DURL_OPT_SSL_PASSWD, "pw");
    ASSERT_EQ(install_pair("enc.pem", factory_pki().leaf.get(), factory_key(2), "pw"), 0);
    const std::string before = read_file(dev);
    durl_set_option(nullptr, DURL_OPT_SSL_PASSWD, "wrong");
    write_cert(dir + "c.pem", factory_pki().leaf_by_inter.get());
    EXPECT_EQ(dl_install_ser_ca_separate((dir + "c.pem").c_str()), -1);
    EXPECT_EQ(read_file(dev), before);
}

// The durl tool over the same stores: what it prints and its exit status.
TEST_F(CertStore, ToolCommands) {
    int status = -1;
    auto tool = [&status](const std::vector<std::string> &args) {
        std::string cmd = DURL_TEST_TOOL;
        for (const std::string &a : args) cmd += " '" + a + "'";
        return run_capture(cmd + " 2>&1", &status);
    };
    const std::string ca = ca_file(1), h = hash_name(store_ca(1)), t = dir + "tool-store";
    EXPECT_EQ(tool({"ca", "install", ca, "--trust-path", t}), "installed " + ca + "\n");
    tool({"ca", "install", ca, "-t", t});
    EXPECT_EQ(status, 1) << "installed twice";
    std::string out = tool({"ca", "list", "-t", t});
    EXPECT_NE(out.find(h + "  durl store CA 1"), std::string::npos) << out;
    EXPECT_EQ(tool({"ca", "remove", h, "-t", t}), "removed " + t + "/" + h + ".0\n");
    // A path longer than the library's field is refused by the tool, not silently dropped.
    EXPECT_EQ(tool({"ca", "list", "-t", "/" + std::string(199, 't')}),
              "durl ca: --trust-path was refused: empty, too long for its field, or holding a "
              "line break\n");
    EXPECT_EQ(status, 1);
    write_combined(dir + "enc.pem", factory_pki().leaf.get(), factory_key(2), "pw");
    EXPECT_EQ(tool({"dev", "install", dir + "enc.pem", "--dev-cert", dev, "--password", "pw"}),
              "installed " + dir + "enc.pem as device certificate\n");
    out = tool({"cert", "info", dir + "enc.pem", "--with-key", "-p", "pw"});
    EXPECT_NE(out.find("private key: rsaEncryption, 2048 bits\n"), std::string::npos) << out;
}
