// Certificate information: the short and long records and the ASN.1 time text.
#include <cstring>

#include "cert_factory.h"
#include "dl_internal.h"
#include "log_capture.h"
#include "test_files.h"

using namespace durl_test;

namespace {

class CertInfo : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        dir = scratch_dir("info");
        log.clear();
    }
    // Writes a certificate of the given shape (key slot 2, signed by the factory CA).
    std::string make(const std::string &name, const CertShape &shape,
                     Encoding enc = Encoding::pem) {
        durl::X509Ptr c =
            factory_cert(shape, factory_key(2), factory_pki().ca.get(), factory_key(0));
        EXPECT_TRUE(c);
        std::string p = dir + "/" + name;
        EXPECT_TRUE(c && write_cert(p, c.get(), enc));
        return p;
    }
    dl_ca_info_ex long_info(const std::string &file, int flags = 0) {
        dl_ca_info_ex info;
        dl_ca_status status;
        std::memset(&status, 0x55, sizeof status);
        EXPECT_EQ(dl_get_ca_info_ex(file.c_str(), &info, flags, &status), 0) << log.dump();
        EXPECT_EQ(status.code, 0);
        EXPECT_STREQ(status.message, "");
        return info;
    }
    std::string dir;
};

struct TimeRow {
    int type;
    const char *text;
    const char *shown;  // nullptr: refused
};

}  // namespace

TEST_F(CertInfo, Asn1TimeText) {
    const TimeRow rows[] = {
        {V_ASN1_UTCTIME, "491231235959Z", "Dec 31 23:59:59 2049 GMT"},
        {V_ASN1_UTCTIME, "500101000000Z", "Jan  1 00:00:00 1950 GMT"},
        {V_ASN1_UTCTIME, "0101010000Z", "Jan  1 00:00:00 2001 GMT"},
        {V_ASN1_UTCTIME, "0607080910+0200", "Jul  8 09:10:00 2006"},
        {V_ASN1_UTCTIME, "991231235959-0500", "Dec 31 23:59:59 1999"},
        {V_ASN1_UTCTIME, "1102301200", "Feb 30 12:00:00 2011"},  // day not range-checked
        {V_ASN1_GENERALIZEDTIME, "20501231235959Z", "Dec 31 23:59:59 2050 GMT"},
        {V_ASN1_GENERALIZEDTIME, "20501231235959.250Z", "Dec 31 23:59:59 2050 GMT"},
        {V_ASN1_GENERALIZEDTIME, "199001020304Z", "Jan  2 03:04:00 1990 GMT"},
        {V_ASN1_UTCTIME, "490031235959Z", nullptr},  // month 00
        {V_ASN1_UTCTIME, "491331235959Z", nullptr},  // month 13
        {V_ASN1_UTCTIME, "4912312359", "Dec 31 23:59:00 2049"},
        {V_ASN1_UTCTIME, "491231235", nullptr},    // too short
        {V_ASN1_UTCTIME, "49123123a9Z", nullptr},  // not a digit
        {V_ASN1_GENERALIZEDTIME, "20501231235Z", nullptr},
        {V_ASN1_OCTET_STRING, "20501231235959Z", nullptr},
    };
    for (const TimeRow &r : rows) {
        SCOPED_TRACE(r.text);
        ASN1_STRING *t = ASN1_STRING_type_new(r.type);
        ASSERT_TRUE(t);
        ASN1_STRING_set(t, r.text, -1);
        char out[64];
        std::memset(out, '#', sizeof out);
        log.clear();
        int rc = asn1_time_parse(t, out);
        ASN1_STRING_free(t);
        if (r.shown) {
            EXPECT_EQ(rc, 0);
            EXPECT_STREQ(out, r.shown);
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(out[0], '#') << "output untouched";
            EXPECT_TRUE(log.contains(3, "[DCMN]Bad time value\n"));
        }
    }
}

TEST_F(CertInfo, ShortRecord) {
    CertShape s;
    s.subject = {{"C", "DE"}, {"O", "Acme Corp"}, {"OU", "Lab"}, {"CN", "phone one"}};
    s.not_after = "20501231235959Z";
    std::string pem = make("a.pem", s);
    std::string der = make("a.der", s, Encoding::der);
    std::string der_bytes = read_file(der);
    for (const std::string &f : {pem, der}) {
        SCOPED_TRACE(f);
        dl_ca_info info;
        std::memset(&info, 0, sizeof info);
        ASSERT_EQ(dl_get_ca_info(f.c_str(), &info), 0);
        EXPECT_STREQ(info.common_name, "phone one");
        EXPECT_STREQ(info.organization, "Acme Corp");
        EXPECT_STREQ(info.not_after, "Dec 31 23:59:59 2050 GMT");
        EXPECT_EQ(info.hash, dl_get_ca_hash(pem.c_str()));
        EXPECT_STREQ(info.path, "");
    }
    EXPECT_EQ(read_file(der), der_bytes) << "the short reader leaves a DER file as it is";

    // Only O and OU: the organization is O ("/OU=" is not "/O="); fields without a value
    // keep what the caller put there.
    s.subject = {{"OU", "Unit"}, {"O", "Org Only"}};
    std::string oou = make("oou.pem", s);
    dl_ca_info info;
    std::memset(&info, 0, sizeof info);
    std::snprintf(info.common_name, sizeof info.common_name, "preset");
    ASSERT_EQ(dl_get_ca_info(oou.c_str(), &info), 0);
    EXPECT_STREQ(info.organization, "Org Only");
    EXPECT_STREQ(info.common_name, "preset");
}

TEST_F(CertInfo, ShortRecordFailures) {
    write_file(dir + "/junk", "no certificate here\n");
    dl_ca_info info;
    EXPECT_EQ(dl_get_ca_info(nullptr, &info), -1);
    EXPECT_EQ(dl_get_ca_info((dir + "/junk").c_str(), nullptr), -1);
    EXPECT_EQ(log.count(3, "[DCMN]Invalid Parameter\n"), 2u);
    EXPECT_EQ(dl_get_ca_info(dir.c_str(), &info), -2);
    EXPECT_TRUE(log.contains(5, "[DCMN]path is directory, ret\n"));
    EXPECT_EQ(dl_get_ca_info((dir + "/missing").c_str(), &info), -2);
    EXPECT_TRUE(log.contains(3, "[DCMN]Bio_new_file error filename\n"));
    EXPECT_EQ(dl_get_ca_info((dir + "/junk").c_str(), &info), -2);
    EXPECT_TRUE(log.contains(3, "[DCMN]unable to load certificate filename\n"));
    EXPECT_TRUE(log.contains(7, "[DCMN]Bio_new_file " + dir + "/junk\n"));
}

TEST_F(CertInfo, LongRecordFields) {
    CertShape s;
    s.subject = {{"O", "durl"}, {"CN", "long record"}};
    s.serial = {0x10, 0x00};
    s.not_before = "200102030405Z";
    s.not_after = "20600708091011Z";
    std::string der = make("l.der", s, Encoding::der);
    dl_ca_info_ex info = long_info(der);
    EXPECT_EQ(info.version, 3);
    EXPECT_STREQ(info.serial, "4096 (0x1000)");
    EXPECT_STREQ(info.sig_algo, "sha256WithRSAEncryption");
    EXPECT_STREQ(info.key_algo, "rsaEncryption");
    EXPECT_EQ(info.key_bits, 2048);
    EXPECT_STREQ(info.issuer, "durl Factory Root CA");
    EXPECT_STREQ(info.subject, "long record");
    EXPECT_STREQ(info.not_before, "Jan  2 03:04:05 2020 GMT");
    EXPECT_STREQ(info.not_after, "Jul  8 09:10:11 2060 GMT");
    EXPECT_EQ(info.ext_count, 3);
    EXPECT_STREQ(info.pri_key_algo, "");
    EXPECT_STREQ(info.path, "");
    // The hash comes from dl_get_ca_hash, which leaves the DER file rewritten as PEM.
    EXPECT_EQ(dl_get_ca_type(der.c_str()), DL_CA_TYPE_PEM);
    EXPECT_EQ(info.hash, dl_get_ca_hash(der.c_str()));

    s.extensions = false;
    s.digest = "sha1";
    dl_ca_info_ex v1 = long_info(make("v1.pem", s));
    EXPECT_EQ(v1.version, 1);
    EXPECT_EQ(v1.ext_count, 0);
    EXPECT_STREQ(v1.sig_algo, "sha1WithRSAEncryption");
}

TEST_F(CertInfo, SerialAndNameTexts) {
    struct Row {
        std::vector<unsigned char> serial;
        const char *text;
    } rows[] = {
        {{0x01}, "1 (0x1)"},
        {{0x00, 0xC0, 0x00, 0x00, 0x00}, "-1073741824 (-0x40000000)"},  // 4-byte magnitude, top bit
        {{0xC0, 0x00, 0x00, 0x00}, "-1073741824 (-0x40000000)"},        // negative DER serial
        {{0x7F, 0xFF, 0xFF, 0xFF}, "2147483647 (0x7fffffff)"},
        {std::vector<unsigned char>(16, 0x2B), "2b:2b:2b:2b:2b:2b:2b:2b:2b:2b:2b:2b:2b:2b:2b:2b "},
        {{0x01, 0x02, 0x03, 0x04, 0x05}, "01:02:03:04:05 "},
        {std::vector<unsigned char>(20, 0x11),
         "11:11:11:11:11:11:11:11:11:11:11:11:11:11:11:11:11:11:11:11 "},
        // A 20-byte negative serial (magnitude 11..11:12) does not fit: cut at a whole pair.
        {std::vector<unsigned char>(20, 0xEE),
         "(Negative)11:11:11:11:11:11:11:11:11:11:11:11:11:11:11:11:11:"},
    };
    int n = 0;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.text);
        CertShape s;
        s.serial = r.serial;
        EXPECT_STREQ(long_info(make("s" + std::to_string(++n) + ".pem", s)).serial, r.text);
    }
    struct NameRow {
        std::vector<std::pair<std::string, std::string>> subject;
        const char *shown;
    } names[] = {
        {{{"O", "Org"}, {"OU", "Unit"}}, "Unit"},
        {{{"O", "Org"}, {"OU", "Unit"}, {"CN", "Name"}}, "Name"},
        {{{"C", "DE"}, {"O", "Org"}}, "Org"},
        {{{"C", "DE"}}, ""},
        {{{"CN", std::string(64, 'w')}}, nullptr},
    };
    for (const NameRow &r : names) {
        SCOPED_TRACE(r.shown ? r.shown : "long");
        CertShape s;
        s.subject = r.subject;
        dl_ca_info_ex info = long_info(make("n" + std::to_string(++n) + ".pem", s));
        EXPECT_EQ(std::string(info.subject), r.shown ? r.shown : std::string(63, 'w'));
    }
}

TEST_F(CertInfo, LongRecordPrivateKey) {
    const FactoryPki &p = factory_pki();
    std::string combined = dir + "/combined.pem";
    std::string encrypted = dir + "/enc.pem";
    std::string key_first = dir + "/key_first.pem";
    write_combined(combined, p.leaf.get(), factory_key(2));
    write_combined(encrypted, p.leaf.get(), factory_key(2), "pw");
    write_key(key_first, factory_key(2));
    write_file(key_first, read_file(key_first) + pem_text(p.leaf.get()));

    dl_ca_info_ex info = long_info(combined, DL_CA_INFO_CLIENT_CERT);
    EXPECT_TRUE(log.contains(6, "[DCMN]client cert\n"));
    EXPECT_STREQ(info.pri_key_algo, "rsaEncryption");
    EXPECT_EQ(info.pri_key_bits, 2048);
    EXPECT_STREQ(long_info(combined).pri_key_algo, "") << "only with the flag";
    EXPECT_EQ(long_info(encrypted, DL_CA_INFO_CLIENT_CERT).pri_key_bits, 0) << "no password set";
    durl_set_option(nullptr, DURL_OPT_SSL_PASSWD, "pw");
    EXPECT_EQ(long_info(encrypted, DL_CA_INFO_CLIENT_CERT).pri_key_bits, 2048);
    info = long_info(key_first, DL_CA_INFO_CLIENT_CERT);
    EXPECT_STREQ(info.subject, "durl factory leaf");
    EXPECT_STREQ(info.pri_key_algo, "") << "a key before the certificate is not found";
}

TEST_F(CertInfo, LongRecordFailures) {
    write_file(dir + "/junk", "junk");
    dl_ca_info_ex info;
    dl_ca_status status;
    EXPECT_EQ(dl_get_ca_info_ex(nullptr, &info, 0, &status), -1);
    EXPECT_EQ(status.code, 1);
    EXPECT_EQ(dl_get_ca_info_ex(dir.c_str(), &info, 0, nullptr), -1);
    EXPECT_EQ(dl_get_ca_info_ex(dir.c_str(), nullptr, 0, &status), -1);
    EXPECT_EQ(log.count(3, "[DCMN]Invalid Parameter\n"), 3u);
    struct Row {
        std::string file;
        int level;
        const char *message;
    } rows[] = {{dir, 5, "[DCMN]path is directory, ret\n"},
                {dir + "/missing", 3, "[DCMN]Bio_new_file error filename\n"},
                {dir + "/junk", 3, "[DCMN]unable to load certificate filename\n"}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.file);
        std::memset(&info, 0x55, sizeof info);
        std::memset(&status, 0x55, sizeof status);
        EXPECT_EQ(dl_get_ca_info_ex(r.file.c_str(), &info, 0, &status), -1);
        EXPECT_EQ(status.code, 1);
        EXPECT_STREQ(status.message, "");
        EXPECT_EQ(info.version, 0) << "record cleared";
        EXPECT_TRUE(log.contains(r.level, r.message));
    }
}
