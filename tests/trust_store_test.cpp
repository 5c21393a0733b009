// Trusted CA store: install, remove and list hash-named CA certificates.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "cert_factory.h"
#include "dl_internal.h"
#include "fault_injection.h"
#include "log_capture.h"
#include "servers.h"
#include "test_files.h"

using namespace durl_test;

namespace {

// CA number i: its own subject ("durl store CA i"), self-signed with key slot 5.
X509 *store_ca(int i) {
    static std::map<int, durl::X509Ptr> made;
    durl::X509Ptr &c = made[i];
    if (!c) {
        CertShape s;
        s.subject = {{"CN", "durl store CA " + std::to_string(i)}, {"O", "durl store"}};
        s.ca = true;
        s.not_after = "20491231235959Z";
        c = factory_cert(s, factory_key(5));
    }
    return c.get();
}

std::string hex8(uint32_t h) {
    char b[16];
    std::snprintf(b, sizeof b, "%08x", h);
    return b;
}

std::string link_text(const std::string &p) {
    char buf[4096];
    ssize_t n = readlink(p.c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

class TrustStore : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        dir = scratch_dir("trust");
        use_store(dir + "/store/");
        log.clear();
    }
    void use_store(const std::string &t) {
        trust = t;
        ASSERT_EQ(durl_set_option(nullptr, DURL_OPT_SSL_TRUST_PATH, trust.c_str()), 0);
    }
    // Writes CA i to dir/ca<i>.<pem|der> and returns the path.
    std::string ca_file(int i, Encoding enc = Encoding::pem) {
        std::string p = dir + "/ca" + std::to_string(i) + (enc == Encoding::pem ? ".pem" : ".der");
        EXPECT_TRUE(write_cert(p, store_ca(i), enc));
        return p;
    }
    std::string dir, trust;
};

}  // namespace

TEST_F(TrustStore, InstallMakesHashNamedFileAndLinks) {
    const FactoryPki &p = factory_pki();
    std::string ca = dir + "/root.pem";
    std::string leaf = dir + "/leaf.pem";
    write_cert(ca, p.ca.get());
    write_cert(leaf, p.leaf.get());
    // No default trust: the system bundle and directory are out of the picture.
    std::string empty = scratch_dir("no-default-trust");
    std::string verify = "SSL_CERT_FILE=" + empty + "/none.pem SSL_CERT_DIR=" + empty +
                         " openssl verify -no-CAfile -CApath '" + trust + "' '" + leaf + "' 2>&1";
    int status = -1;
    run_capture(verify, &status);
    EXPECT_NE(status, 0) << "not trusted before the install";

    ASSERT_EQ(dl_install_ca(ca.c_str()), 0) << log.dump();
    std::string h = run_capture("openssl x509 -hash -noout -in '" + ca + "'");
    h.erase(h.find_last_not_of("\n") + 1);
    ASSERT_EQ(h.size(), 8u);
    EXPECT_EQ(dir_names(trust), (std::vector<std::string>{h, h + ".0", "ca", "phoneca"}));
    EXPECT_EQ(read_file(trust + h + ".0"), read_file(ca));
    EXPECT_EQ(link_text(trust + h), trust + h + ".0");
    EXPECT_EQ(link_text(trust + "ca/" + h + ".0"), trust + h + ".0");
    EXPECT_TRUE(dir_names(trust + "phoneca").empty());

    std::string out = run_capture(verify, &status);
    EXPECT_EQ(status, 0) << out;
}

TEST_F(TrustStore, DuplicatesAreRefusedBySubjectHash) {
    ASSERT_EQ(dl_install_ca(ca_file(1).c_str()), 0);
    std::vector<std::string> before = dir_names(trust);
    EXPECT_EQ(dl_install_ca(ca_file(1).c_str()), -2);
    EXPECT_TRUE(log.contains(3, "[DCMN]the ca file file has existed in custom certs directory\n"));
    // Another certificate with the same subject counts as the same CA.
    CertShape same;
    same.subject = {{"CN", "durl store CA 1"}, {"O", "durl store"}};
    same.ca = true;
    durl::X509Ptr twin = factory_cert(same, factory_key(2));
    write_cert(dir + "/twin.pem", twin.get());
    EXPECT_EQ(dl_install_ca((dir + "/twin.pem").c_str()), -2);
    EXPECT_EQ(dir_names(trust), before);

    // A factory CA (DER, any name containing ".0") refuses the install and becomes PEM.
    std::string factory = trust + "phoneca/vendor.0.crt";
    write_cert(factory, store_ca(2), Encoding::der);
    EXPECT_EQ(dl_install_ca(ca_file(2).c_str()), -3);
    EXPECT_TRUE(log.contains(3, "[DCMN]the ca file has existed by factory prefabrication\n"));
    EXPECT_EQ(dir_names(trust), before) << "nothing copied, no link made";
    EXPECT_EQ(dl_get_ca_type(factory.c_str()), DL_CA_TYPE_PEM);
}

TEST_F(TrustStore, DerInstallAndLeadingZeros) {
    std::string der = ca_file(3, Encoding::der);
    ASSERT_EQ(dl_install_ca(der.c_str()), 0);
    std::string h = hex8(dl_get_ca_hash(der.c_str()));
    EXPECT_EQ(read_file(der), pem_text(store_ca(3))) << "the given file is now PEM";
    EXPECT_EQ(read_file(trust + h + ".0"), pem_text(store_ca(3)));
    EXPECT_EQ(link_text(trust + h), trust + h + ".0");

    // A hash below 2^28 keeps its leading zero in both names.
    durl::X509Ptr low;
    CertShape s;
    s.ca = true;
    for (int i = 0; i < 400 && !low; ++i) {
        s.subject = {{"CN", "low hash " + std::to_string(i)}};
        durl::X509Ptr c = factory_cert(s, factory_key(5));
        if (X509_subject_name_hash(c.get()) < 0x10000000UL) low = std::move(c);
    }
    ASSERT_TRUE(low);
    std::string lh = hex8(static_cast<uint32_t>(X509_subject_name_hash(low.get())));
    ASSERT_EQ(lh[0], '0');
    write_cert(dir + "/low.pem", low.get());
    ASSERT_EQ(dl_install_ca((dir + "/low.pem").c_str()), 0);
    EXPECT_TRUE(file_exists(trust + lh + ".0"));
    EXPECT_EQ(link_text(trust + lh), trust + lh + ".0");
    EXPECT_EQ(link_text(trust + "ca/" + lh + ".0"), trust + lh + ".0");
}

TEST_F(TrustStore, NoShellForAnyPath) {
    // Fault guarded: paths were formatted into shell commands (a name with shell characters
    // ran commands) and "rm" commands were cut at 127 characters (a long path removed
    // another file).
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(dir.c_str()), 0);
    use_store(dir + "/it's $(touch PWNED) & `touch PWNED2`; x/");
    std::string ca = ca_file(4);
    int rc = dl_install_ca(ca.c_str());
    std::string h = hex8(dl_get_ca_hash(ca.c_str()));
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(rc, 0) << log.dump();
    EXPECT_FALSE(file_exists(dir + "/PWNED"));
    EXPECT_FALSE(file_exists(dir + "/PWNED2"));
    EXPECT_EQ(link_text(trust + h), trust + h + ".0");
    EXPECT_EQ(link_text(trust + "ca/" + h + ".0"), trust + h + ".0");
    EXPECT_EQ(dl_del_ca((trust + h + ".0").c_str()), 0);
    EXPECT_EQ(dir_names(trust), (std::vector<std::string>{"ca", "phoneca"}));

    // A long path whose first 124 characters name another file.
    std::string long_dir = dir + "/" + std::string(150, 'd');
    ASSERT_EQ(mkdir(long_dir.c_str(), 0755), 0);
    std::string long_file = long_dir + "/victim.pem";
    std::string prefix = long_file.substr(0, 124);
    write_file(long_file, "x");
    write_file(prefix, "must survive");
    EXPECT_EQ(dl_del_ca(long_file.c_str()), 0);
    EXPECT_FALSE(file_exists(long_file));
    EXPECT_EQ(read_file(prefix), "must survive");
}

TEST_F(TrustStore, RemoveTakesFileAndBothLinks) {
    ASSERT_EQ(dl_install_ca(ca_file(5).c_str()), 0);
    ASSERT_EQ(dl_install_ca(ca_file(6).c_str()), 0);
    std::string h5 = hex8(dl_get_ca_hash(ca_file(5).c_str()));
    std::string h6 = hex8(dl_get_ca_hash(ca_file(6).c_str()));
    log.clear();
    EXPECT_EQ(dl_del_ca((trust + h5 + ".0").c_str()), 0);
    EXPECT_TRUE(log.contains(6, "[DCMN]hash:" + h5.substr(h5.find_first_not_of('0')) + "\n"));
    EXPECT_EQ(dir_names(trust), (std::vector<std::string>{h6, h6 + ".0", "ca", "phoneca"}));
    EXPECT_EQ(dir_names(trust + "ca"), (std::vector<std::string>{h6 + ".0"}));

    // A file that is no certificate: only that file goes.
    write_file(dir + "/notes.txt", "hello");
    EXPECT_EQ(dl_del_ca((dir + "/notes.txt").c_str()), 0);
    EXPECT_FALSE(file_exists(dir + "/notes.txt"));
    EXPECT_EQ(dir_names(trust).size(), 4u);
    EXPECT_EQ(dl_del_ca(nullptr), 0);
    EXPECT_EQ(dl_del_ca((dir + "/missing").c_str()), 0);
}

TEST_F(TrustStore, FailedCopyInstallsNothing) {
    // Fault guarded: a failed copy was not reported and the links pointed at a partial file.
    std::string ca = ca_file(7);
    {
        FileSizeLimit limit(300);
        EXPECT_EQ(dl_install_ca(ca.c_str()), -1);
    }
    EXPECT_EQ(dir_names(trust), (std::vector<std::string>{"ca", "phoneca"}));
    EXPECT_TRUE(dir_names(trust + "ca").empty());
    EXPECT_EQ(dl_install_ca(ca.c_str()), 0);
}

TEST_F(TrustStore, MissingDirectories) {
    use_store(dir + "/no/such/parent/");
    EXPECT_EQ(dl_install_ca(ca_file(1).c_str()), -1);
    EXPECT_TRUE(log.contains(3, "[DCMN]Can't open custom trust certs directory\n"));
    dl_trust_ca_list list;
    EXPECT_EQ(dl_get_trust_ca_info(&list), -2);
    dl_trust_ca_list_ex list_ex;
    dl_ca_status status;
    EXPECT_EQ(dl_get_trust_ca_info_ex(&list_ex, &status), -1);
    EXPECT_EQ(status.code, 2);
    EXPECT_EQ(dl_get_trust_ca_info(nullptr), -1);
    EXPECT_EQ(dl_get_trust_ca_info_ex(nullptr, &status), -1);
    EXPECT_EQ(status.code, 1);
    EXPECT_EQ(dl_get_trust_ca_info_ex(&list_ex, nullptr), -1);
    EXPECT_EQ(log.count(3, "[DCMN]Invalid Parameter\n"), 3u);
    EXPECT_EQ(dl_install_ca((dir + "/missing.pem").c_str()), -1);
    // The factory directory is a file: it can't be opened.
    use_store(dir + "/other/");
    mkdir(trust.c_str(), 0755);
    write_file(trust + "phoneca", "");
    EXPECT_EQ(dl_install_ca(ca_file(1).c_str()), -1);
    EXPECT_TRUE(log.contains(3, "[DCMN]Can't open factory prefabrication directory\n"));
}

TEST_F(TrustStore, ListingsDescribeEachEntry) {
    std::set<std::string> expected;
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(dl_install_ca(ca_file(i).c_str()), 0);
        expected.insert("durl store CA " + std::to_string(i));
    }
    dl_trust_ca_list list;
    std::memset(&list, 0x55, sizeof list);
    ASSERT_EQ(dl_get_trust_ca_info(&list), 0);
    ASSERT_EQ(list.count, 3);
    std::set<std::string> seen;
    for (int i = 0; i < list.count; ++i) {
        const dl_ca_info &e = list.entries[i];
        seen.insert(e.common_name);
        EXPECT_STREQ(e.organization, "durl store");
        EXPECT_STREQ(e.not_after, "Dec 31 23:59:59 2049 GMT");
        EXPECT_EQ(std::string(e.path), trust + hex8(e.hash) + ".0");
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(list.entries[3].common_name[0], '\0') << "the list is cleared";

    dl_trust_ca_list_ex list_ex;
    dl_ca_status status;
    std::memset(&status, 0x55, sizeof status);
    ASSERT_EQ(dl_get_trust_ca_info_ex(&list_ex, &status), 0);
    EXPECT_EQ(status.code, 0);
    EXPECT_STREQ(status.message, "");
    ASSERT_EQ(list_ex.count, 3);
    seen.clear();
    for (int i = 0; i < list_ex.count; ++i) {
        const dl_ca_info_ex &e = list_ex.entries[i];
        seen.insert(e.subject);
        EXPECT_STREQ(e.issuer, e.subject);
        EXPECT_EQ(e.version, 3);
        EXPECT_EQ(std::string(e.path), trust + hex8(e.hash) + ".0");
    }
    EXPECT_EQ(seen, expected);
}

TEST_F(TrustStore, ListingsStopAtTen) {
    for (int i = 1; i <= 10; ++i) ASSERT_EQ(dl_install_ca(ca_file(i).c_str()), 0);
    log.clear();
    dl_trust_ca_list list;
    dl_trust_ca_list_ex list_ex;
    dl_ca_status status;
    ASSERT_EQ(dl_get_trust_ca_info(&list), 0);
    ASSERT_EQ(dl_get_trust_ca_info_ex(&list_ex, &status), 0);
    EXPECT_EQ(list.count, 10);
    EXPECT_EQ(list_ex.count, 10);
    EXPECT_FALSE(log.mentions("no less than 10"));
    ASSERT_EQ(dl_install_ca(ca_file(11).c_str()), 0);
    ASSERT_EQ(dl_get_trust_ca_info(&list), 0);
    EXPECT_EQ(list.count, 10);
    EXPECT_EQ(log.count(3, "[DCMN]number of ca file is no less than 10!\n"), 1u);
    ASSERT_EQ(dl_get_trust_ca_info_ex(&list_ex, &status), 0);
    EXPECT_EQ(list_ex.count, 10);
    EXPECT_EQ(log.count(3, "[DCMN]number of ca file is no less than 10!\n"), 2u);
}

TEST_F(TrustStore, ListingsDeleteOnlyEntriesThatHoldNoCertificate) {
    // Fault guarded: an entry that could not be opened (no free descriptors, permissions)
    // was deleted as if it held no certificate.
    ASSERT_EQ(dl_install_ca(ca_file(1).c_str()), 0);
    std::string h = hex8(dl_get_ca_hash(ca_file(1).c_str()));
    write_file(trust + "junk.0", "text, no certificate\n");
    mkdir((trust + "subdir.0").c_str(), 0755);
    dl_trust_ca_list list;
    dl_trust_ca_list_ex list_ex;
    dl_ca_status status;
    {
        DescriptorSqueeze squeeze(1);  // enough for the directory, none for its entries
        EXPECT_EQ(dl_get_trust_ca_info(&list), 0);
        EXPECT_EQ(dl_get_trust_ca_info_ex(&list_ex, &status), 0);
    }
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list_ex.count, 0);
    EXPECT_TRUE(file_exists(trust + h + ".0"));
    EXPECT_TRUE(file_exists(trust + "junk.0"));

    ASSERT_EQ(dl_get_trust_ca_info(&list), 0);
    EXPECT_EQ(list.count, 1);
    EXPECT_FALSE(file_exists(trust + "junk.0")) << "read, and no certificate in it";
    write_file(trust + "big.0", std::string(3 << 20, 'b'));
    ASSERT_EQ(dl_get_trust_ca_info(&list), 0);
    EXPECT_FALSE(file_exists(trust + "big.0")) << "a large entry is read as a stream";
    EXPECT_TRUE(dl_path_is_directory((trust + "subdir.0").c_str())) << "a directory is kept";

    // The extended listing deletes the same way, and its code is that of the last entry.
    write_file(trust + "junk.0", "");
    ASSERT_EQ(rmdir((trust + "subdir.0").c_str()), 0);
    ASSERT_EQ(dl_get_trust_ca_info_ex(&list_ex, &status), 0);
    EXPECT_EQ(list_ex.count, 1);
    EXPECT_FALSE(file_exists(trust + "junk.0"));
    write_file(trust + "zz.0", "junk");
    ASSERT_EQ(dl_del_ca((trust + h + ".0").c_str()), 0);
    ASSERT_EQ(dl_get_trust_ca_info_ex(&list_ex, &status), 0);
    EXPECT_EQ(list_ex.count, 0);
    EXPECT_EQ(status.code, 1);
}

TEST_F(TrustStore, DerEntriesAndLongPaths) {
    ASSERT_EQ(dl_install_ca(ca_file(1).c_str()), 0);
    std::string entry = trust + hex8(dl_get_ca_hash(ca_file(1).c_str())) + ".0";
    write_cert(entry, store_ca(1), Encoding::der);
    dl_trust_ca_list list;
    ASSERT_EQ(dl_get_trust_ca_info(&list), 0);
    EXPECT_EQ(list.count, 1);
    EXPECT_EQ(dl_get_ca_type(entry.c_str()), DL_CA_TYPE_DER) << "the short listing reads only";
    dl_trust_ca_list_ex list_ex;
    dl_ca_status status;
    ASSERT_EQ(dl_get_trust_ca_info_ex(&list_ex, &status), 0);
    EXPECT_EQ(list_ex.count, 1);
    EXPECT_EQ(dl_get_ca_type(entry.c_str()), DL_CA_TYPE_PEM);
    EXPECT_EQ(link_text(trust + hex8(list_ex.entries[0].hash)), entry) << "link still in place";

    // An entry whose path does not fit the record is skipped and kept.
    std::string deep = dir + "/" + std::string(60, 'p') + "/";
    use_store(deep);
    ASSERT_EQ(dl_install_ca(ca_file(2).c_str()), 0);
    ASSERT_EQ(dl_get_trust_ca_info(&list), 0);
    EXPECT_EQ(list.count, 0);
    EXPECT_TRUE(log.mentions("trust ca path too long"));
    EXPECT_EQ(dir_names(deep).size(), 4u);
}

// End to end: the trust directory serves as the CA path of HTTPS peer verification.
TEST_F(TrustStore, InstalledCaLetsHttpsVerifyThePeer) {
    durl_set_option(nullptr, DURL_OPT_SSL_VERIFY_PEER, 1);
    durl_set_option(nullptr, DURL_OPT_SSL_VERIFY_HOST, 1);
    durl_url_param param{};
    std::snprintf(param.url, sizeof param.url, "%s", https_url("/bytes/10").c_str());
    auto download = [&] {
        durl_result result{};
        int rc = durl_download_to_memory(nullptr, &result, &param);
        durl_free_result(&result);
        return rc;
    };
    ASSERT_EQ(dl_install_ca(ca_file(1).c_str()), 0) << "an unrelated CA only";
    EXPECT_EQ(download(), -160) << "peer verification fails";
    ASSERT_EQ(dl_install_ca(pki().ca_pem.c_str()), 0);
    EXPECT_EQ(download(), 0) << log.dump();
    std::string h = hex8(dl_get_ca_hash(pki().ca_pem.c_str()));
    ASSERT_EQ(dl_del_ca((trust + h + ".0").c_str()), 0);
    EXPECT_EQ(download(), -160);
}
