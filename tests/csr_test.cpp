// Certificate signing request files: key reuse and creation, the request's content, result
// codes, and the openssl command line as reference.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include "cert_factory.h"
#include "dl_ca.h"
#include "log_capture.h"
#include "test_files.h"

using namespace durl_test;

namespace {

class CsrTest : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        dir = scratch_dir("csr");
        durl_set_option(nullptr, DURL_OPT_ENV_RANDOMNESS, "csr seed");
    }

    int csr(const std::string &out, const std::string &key, const char *subject, int bits = 2048) {
        return dl_cert_build_csr_req_file(out.c_str(), key.c_str(), subject, bits);
    }

    std::string dir;
};

durl::X509ReqPtr read_req(const std::string &path) {
    durl::BioPtr bio(BIO_new_file(path.c_str(), "r"));
    return durl::X509ReqPtr(bio ? PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr)
                                : nullptr);
}

// Public key of a request, compared with EVP_PKEY_eq.
durl::EvpPkeyPtr req_key(const std::string &path) {
    durl::X509ReqPtr req = read_req(path);
    return durl::EvpPkeyPtr(req ? X509_REQ_get_pubkey(req.get()) : nullptr);
}

}  // namespace

TEST_F(CsrTest, WritesRequestAndKeepsKey) {
    const std::string out = dir + "/req.pem", key = dir + "/dev.key";
    ASSERT_EQ(csr(out, key, "/C=CN/O=Acme/CN=phone-1"), 0) << log.dump();
    EXPECT_TRUE(log.contains(6, "[DCMN]key bits [2048], subject: [/C=CN/O=Acme/CN=phone-1]\n"));
    EXPECT_TRUE(log.contains(7, "[DCMN]buffer is phone-1\n"));

    durl::X509ReqPtr req = read_req(out);
    ASSERT_TRUE(req);
    char subject[256];
    X509_NAME_oneline(X509_REQ_get_subject_name(req.get()), subject, sizeof subject);
    EXPECT_STREQ(subject, "/C=CN/O=Acme/CN=phone-1");
    EXPECT_EQ(X509_REQ_get_version(req.get()), 0);
    EXPECT_EQ(X509_REQ_get_signature_nid(req.get()), NID_sha1WithRSAEncryption);
    struct stat st {};
    ASSERT_EQ(stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    int status = -1;
    const std::string verified =
        run_capture("openssl req -in '" + out + "' -verify -noout 2>&1", &status);
    EXPECT_EQ(status, 0) << verified;
    EXPECT_NE(verified.find("verify OK"), std::string::npos) << verified;
    EXPECT_EQ(run_capture("openssl req -in '" + out + "' -noout -pubkey", &status),
              run_capture("openssl pkey -in '" + key + "' -pubout", &status));

    // A second call reuses the key: file unchanged, same public key in the new request.
    const std::string key_text = read_file(key);
    const std::string out2 = dir + "/req2.pem";
    ASSERT_EQ(csr(out2, key, "/CN=phone-1/OU=again"), 0);
    EXPECT_EQ(read_file(key), key_text);
    EXPECT_EQ(EVP_PKEY_eq(req_key(out).get(), req_key(out2).get()), 1);
}

TEST_F(CsrTest, SeedNameAndStartupVariantDecideKey) {
    const char *subject = "/O=Acme/CN=phone-2";
    ASSERT_EQ(csr(dir + "/a.pem", dir + "/a.key", subject, 1024), 0);
    ASSERT_EQ(csr(dir + "/b.pem", dir + "/b.key", subject, 1024), 0);
    EXPECT_EQ(read_file(dir + "/a.key"), read_file(dir + "/b.key"));
    durl_set_option(nullptr, DURL_OPT_SSL_EXTRA_FLAG, 1);
    ASSERT_EQ(csr(dir + "/c.pem", dir + "/c.key", subject, 1024), 0);
    ASSERT_EQ(csr(dir + "/d.pem", dir + "/d.key", subject, 1024), 0);
    EXPECT_NE(read_file(dir + "/a.key"), read_file(dir + "/c.key"));
    EXPECT_EQ(read_file(dir + "/c.key"), read_file(dir + "/d.key"));
    // The signing digest is SHA-1 whatever the issuance digest setting says.
    durl_set_option(nullptr, DURL_OPT_SSL_SIGN_ALGO, 3);
    ASSERT_EQ(csr(dir + "/e.pem", dir + "/a.key", subject, 1024), 0);
    durl::X509ReqPtr req = read_req(dir + "/e.pem");
    ASSERT_TRUE(req);
    EXPECT_EQ(X509_REQ_get_signature_nid(req.get()), NID_sha1WithRSAEncryption);
}

TEST_F(CsrTest, ResultCodes) {
    const std::string out = dir + "/out.pem", key = dir + "/k.key";
    const std::string junk = dir + "/junk.key", enc = dir + "/enc.key";
    ASSERT_TRUE(write_file(out, "previous\n"));

    EXPECT_EQ(dl_cert_build_csr_req_file(out.c_str(), key.c_str(), nullptr, 1024), 1);
    EXPECT_EQ(dl_cert_build_csr_req_file(nullptr, key.c_str(), "/CN=x", 1024), 1);
    EXPECT_TRUE(log.contains(3, "[DCMN]Invalid Parameter\n"));

    // A subject the parser refuses: 14, and the new key is not written.
    EXPECT_EQ(csr(out, key, "CN=no-slash", 1024), 14);
    EXPECT_FALSE(file_exists(key));
    EXPECT_EQ(read_file(out), "previous\n");

    EXPECT_EQ(csr(out, key, "/CN=tiny", 100), 20);
    EXPECT_TRUE(log.contains(3, "[DCMN]dl_cert_build_rsa_key() fail\n"));
    EXPECT_EQ(read_file(out), "previous\n");

    // A key file holding no key is replaced.
    ASSERT_TRUE(write_file(junk, "garbage\n"));
    EXPECT_EQ(csr(out, junk, "/CN=junk", 1024), 0);
    EXPECT_TRUE(log.contains(3, "[DCMN]prikey err,create new\n"));
    EXPECT_NE(read_file(junk).find("BEGIN PRIVATE KEY"), std::string::npos);

    // Fault: an encrypted key the library can't open was deleted and replaced.
    ASSERT_TRUE(write_key(enc, factory_key(2), Encoding::pem, "pass"));
    const std::string enc_text = read_file(enc);
    EXPECT_EQ(csr(out, enc, "/CN=enc", 1024), 18);
    EXPECT_EQ(read_file(enc), enc_text);

    // Fault: a request file that could not be written was reported as written.
    EXPECT_EQ(csr(dir + "/no/such/dir.pem", junk, "/CN=junk", 1024), 17);
}
