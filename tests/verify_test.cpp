// Chain check against a trusted CA file and hashed directory; advance check of a credential.
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "cert_factory.h"
#include "dl_ca.h"
#include "log_capture.h"
#include "pki.h"
#include "test_files.h"

using namespace durl_test;

namespace {

// Writes a certificate, followed by its key when one is given, and returns the path.
std::string put(const std::string &name, X509 *cert, EVP_PKEY *key = nullptr,
                const std::string &password = "") {
    static const std::string dir = scratch_dir("verify");
    const std::string path = dir + "/" + name;
    EXPECT_TRUE(key ? write_combined(path, cert, key, password) : write_cert(path, cert));
    return path;
}

std::string verify_err(int error) {
    return std::string("verify err:") + X509_verify_cert_error_string(error);
}

struct Row {
    const char *name;
    std::string cert;
    const char *dir, *file;
    int flags, code;
    std::string message;
};

// Every outcome of dl_cert_verify; the first row is a complete device credential.
std::vector<Row> rows() {
    const FactoryPki &p = factory_pki();
    X509 *L = p.leaf.get();
    EVP_PKEY *K = factory_key(2);
    static const std::string ca = put("ca.pem", p.ca.get()), ca_dir = scratch_dir("verify-cadir"),
                             missing = temp_root() + "/missing";
    static const bool written =
        !add_hashed_copy(ca, ca_dir).empty() && write_cert(missing + ".der", L, Encoding::der);
    EXPECT_TRUE(written);
    const std::string leaf = put("leaf.pem", L), der = missing + ".der";
    // Names the trusted CA as issuer but is signed by another key.
    durl::X509Ptr forged = factory_cert(CertShape{}, K, p.ca.get(), factory_key(3));
    const char *f = ca.c_str(), *d = ca_dir.c_str();
    const int A = DL_VERIFY_ADVANCE;
    const std::string no_issuer = verify_err(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY);
    const std::string no_key = "Can't load private key\n";
    return {
        {"advance: certificate and key", put("combined.pem", L, K), nullptr, f, A, 0, ""},
        {"trust file alone", leaf, nullptr, f, 0, 0, ""},
        {"DER certificate", der, nullptr, f, 0, 0, ""},
        {"self-signed is tolerated", put("self.pem", p.self_signed.get()), nullptr, f, 0, 0, ""},
        {"no trust at all", leaf, nullptr, nullptr, 0, 6, no_issuer},
        {"issuer not trusted", put("inter.pem", p.leaf_by_inter.get()), d, f, 0, 6, no_issuer},
        {"forged", put("forged.pem", forged.get()), nullptr, f, 0, 3,
         verify_err(X509_V_ERR_CERT_SIGNATURE_FAILURE)},
        {"not yet valid", put("future.pem", p.not_yet_valid.get()), nullptr, f, 0, 4,
         verify_err(X509_V_ERR_CERT_NOT_YET_VALID)},
        {"expired", put("expired.pem", p.expired.get()), d, nullptr, 0, 5,
         verify_err(X509_V_ERR_CERT_HAS_EXPIRED)},
        {"missing certificate", missing, nullptr, f, 0, 11, "verify err:"},
        {"advance: encrypted key", put("enc.pem", L, K, "devpass"), nullptr, f, A, 0, ""},
        {"advance: other password", put("enc2.pem", L, K, "other"), nullptr, f, A, 9, no_key},
        {"advance: key of another pair", put("wrong.pem", L, factory_key(3)), nullptr, f, A, 10,
         "Private key does not match"},
        // Passes the chain check, but not a TLS context at security level 2.
        {"advance: MD5 signature", put("md5.pem", p.md5_leaf.get(), K), nullptr, f, A, 8,
         "Can't load public key\n"},
        {"trust file missing", leaf, nullptr, missing.c_str(), 0, 2, ""},
        {"trust directory empty name", leaf, "", f, 0, 2, ""},
    };
}

class VerifyTest : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        // No default trust, and the password of the encrypted device key.
        setenv("SSL_CERT_FILE", "/nonexistent", 1);
        setenv("SSL_CERT_DIR", "/nonexistent", 1);
        durl_set_option(nullptr, DURL_OPT_SSL_PASSWD, "devpass");
    }
    dl_ca_status status{};
};

}  // namespace

// Fault: verification state was process-wide, so concurrent verifications mixed outcomes.
// The table runs alone, then on four threads at once.
TEST_F(VerifyTest, OutcomesAloneAndConcurrently) {
    const std::vector<Row> table = rows();
    auto check = [&table](size_t first, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            const Row &row = table[(first + i) % table.size()];
            SCOPED_TRACE(row.name);
            dl_ca_status st;
            memset(&st, 0x5A, sizeof st);
            EXPECT_EQ(dl_cert_verify(row.cert.c_str(), row.dir, row.file, row.flags, &st),
                      row.code ? -1 : 0);
            EXPECT_EQ(st.code, row.code);
            EXPECT_EQ(st.message, row.message);
        }
    };
    testing::internal::CaptureStderr();
    check(0, table.size());
    // The two trust sources that do not load are the only texts on standard error.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error loading file " + temp_root() + "/missing\nError loading directory \n");
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; ++t) threads.emplace_back(check, t * 5, 60);
    for (std::thread &t : threads) t.join();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(dl_cert_verify(nullptr, nullptr, nullptr, 0, &status), -1);
    EXPECT_EQ(status.code, 1);
}

// Fault: SSLv2 and SSLv3 have no method in OpenSSL 3; they must fail as a context not made.
// Selector 6 is TLS 1.3, as in transfers (it was refused with code 7).
TEST_F(VerifyTest, ProtocolSettingPicksTheContext) {
    const Row c = rows()[0];
    const int cases[][2] = {{0, 0}, {1, 2}, {2, 2}, {5, 0}, {6, 0}};  // ssl_version, code
    for (const auto &version : cases) {
        durl_set_option(nullptr, DURL_OPT_SSL_VERSION, version[0]);
        dl_cert_verify(c.cert.c_str(), nullptr, c.file, c.flags, &status);
        EXPECT_EQ(status.code, version[1]) << "ssl_version " << version[0];
    }
    EXPECT_EQ(log.count(3, "[DCMN]SSL_CTX_new error\n"), 2u);
}
