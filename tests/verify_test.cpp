// Certificate verification against a trusted CA file and a hashed CA directory, and the
// advance check of a PEM device credential.
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <atomic>
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

// Files every verification test uses, written once per binary.
struct VerifyFiles {
    std::string dir, ca, ca_dir, chain, leaf, leaf_der, expired, future, self_signed, inter_leaf,
        bad_signature, untrusted, combined, combined_wrong_key, combined_md5, combined_small_key,
        combined_encrypted, not_cert, empty_dir, no_file;
};

const VerifyFiles &files() {
    static const VerifyFiles f = [] {
        const FactoryPki &p = factory_pki();
        VerifyFiles v;
        v.dir = scratch_dir("verify");
        auto pem = [&](const std::string &name, X509 *cert) {
            const std::string path = v.dir + "/" + name;
            EXPECT_TRUE(write_cert(path, cert));
            return path;
        };
        v.ca = pem("ca.pem", p.ca.get());
        v.ca_dir = scratch_dir("verify-cadir");
        EXPECT_FALSE(add_hashed_copy(v.ca, v.ca_dir).empty());
        v.chain = v.dir + "/chain.pem";
        write_file(v.chain, pem_text(p.ca.get()) + pem_text(p.intermediate.get()));
        v.leaf = pem("leaf.pem", p.leaf.get());
        v.leaf_der = v.dir + "/leaf.der";
        write_cert(v.leaf_der, p.leaf.get(), Encoding::der);
        v.expired = pem("expired.pem", p.expired.get());
        v.future = pem("future.pem", p.not_yet_valid.get());
        v.self_signed = pem("self.pem", p.self_signed.get());
        v.inter_leaf = pem("inter-leaf.pem", p.leaf_by_inter.get());
        CertShape forged;
        forged.subject = {{"CN", "durl forged"}};
        // Names the trusted CA as issuer but is signed by another key.
        v.bad_signature = pem(
            "forged.pem", factory_cert(forged, factory_key(2), p.ca.get(), factory_key(3)).get());
        CertShape other_ca;
        other_ca.subject = {{"CN", "durl untrusted CA"}};
        other_ca.ca = true;
        durl::X509Ptr other = factory_cert(other_ca, factory_key(3));
        v.untrusted =
            pem("untrusted.pem",
                factory_cert(CertShape{}, factory_key(2), other.get(), factory_key(3)).get());
        v.combined = v.dir + "/combined.pem";
        write_combined(v.combined, p.leaf.get(), factory_key(2));
        v.combined_wrong_key = v.dir + "/wrong-key.pem";
        write_combined(v.combined_wrong_key, p.leaf.get(), factory_key(3));
        v.combined_md5 = v.dir + "/md5.pem";
        write_combined(v.combined_md5, p.md5_leaf.get(), factory_key(2));
        v.combined_small_key = v.dir + "/small.pem";
        write_combined(v.combined_small_key, p.small_key_leaf.get(), factory_key(4, 1024));
        v.combined_encrypted = v.dir + "/encrypted.pem";
        write_combined(v.combined_encrypted, p.leaf.get(), factory_key(2), "devpass");
        v.not_cert = v.dir + "/text.pem";
        write_file(v.not_cert, "just text\n");
        v.empty_dir = scratch_dir("verify-empty");
        v.no_file = v.dir + "/missing.pem";
        return v;
    }();
    return f;
}

class VerifyTest : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        // No default trust: OpenSSL's default file and directory are empty places here.
        setenv("SSL_CERT_FILE", files().no_file.c_str(), 1);
        setenv("SSL_CERT_DIR", files().empty_dir.c_str(), 1);
    }

    int verify(const std::string &cert, const char *dir, const char *file, int flags = 0) {
        memset(&status, 0x5A, sizeof status);
        status.message[sizeof status.message - 1] = '\0';
        return dl_cert_verify(cert.c_str(), dir, file, flags, &status);
    }

    dl_ca_status status{};
};

std::string verify_err(int error) {
    return std::string("verify err:") + X509_verify_cert_error_string(error);
}

}  // namespace

TEST_F(VerifyTest, ChainCheckOutcomes) {
    const VerifyFiles &f = files();
    const char *ca = f.ca.c_str();
    const char *ca_dir = f.ca_dir.c_str();
    struct Row {
        const char *name;
        std::string cert;
        const char *dir, *file;
        int code;
        std::string message;
    } rows[] = {
        {"trust file alone", f.leaf, nullptr, ca, 0, ""},
        {"trust directory alone", f.leaf, ca_dir, nullptr, 0, ""},
        {"both", f.leaf, ca_dir, ca, 0, ""},
        {"DER certificate", f.leaf_der, nullptr, ca, 0, ""},
        {"self-signed, untrusted", f.self_signed, nullptr, ca, 0, ""},
        {"intermediate in the trust file", f.inter_leaf, nullptr, f.chain.c_str(), 0, ""},
        {"no trust at all", f.leaf, nullptr, nullptr, 6,
         verify_err(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY)},
        {"issuer not trusted", f.untrusted, ca_dir, ca, 6,
         verify_err(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY)},
        {"intermediate missing", f.inter_leaf, ca_dir, ca, 6,
         verify_err(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY)},
        {"bad signature", f.bad_signature, nullptr, ca, 3,
         verify_err(X509_V_ERR_CERT_SIGNATURE_FAILURE)},
        {"not yet valid", f.future, nullptr, ca, 4, verify_err(X509_V_ERR_CERT_NOT_YET_VALID)},
        {"expired", f.expired, ca_dir, nullptr, 5, verify_err(X509_V_ERR_CERT_HAS_EXPIRED)},
        {"missing certificate", f.no_file, nullptr, ca, 11, "verify err:"},
        {"not a certificate", f.not_cert, nullptr, ca, 11, "verify err:"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(verify(row.cert, row.dir, row.file), row.code == 0 ? 0 : -1);
        EXPECT_EQ(status.code, row.code);
        EXPECT_EQ(status.message, row.message);
    }
    EXPECT_TRUE(log.contains(6, "[DCMN]OK\n"));
    EXPECT_TRUE(log.contains(5, "[DCMN]/CN=durl factory self-signed\n"));
    EXPECT_TRUE(log.contains(5, "[DCMN]verify dl_cb error 18 at 0 depth lookup:" +
                                    std::string(X509_verify_cert_error_string(18)) + "\n"));
    EXPECT_TRUE(log.contains(3, "[DCMN]Bio_new_file error ca_file\n"));
}

TEST_F(VerifyTest, TrustSourcesThatDoNotLoad) {
    const VerifyFiles &f = files();
    testing::internal::CaptureStderr();
    EXPECT_EQ(verify(f.leaf, nullptr, f.no_file.c_str()), -1);
    EXPECT_EQ(status.code, 2);
    EXPECT_STREQ(status.message, "");
    EXPECT_EQ(verify(f.leaf, "", f.ca.c_str()), -1);
    EXPECT_EQ(status.code, 2);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Error loading file " + f.no_file + "\nError loading directory \n");
    EXPECT_EQ(log.count(3, "[DCMN]Error loading file " + f.no_file + "\n"), 0u);
    EXPECT_TRUE(log.mentions("[DCMN]X509_LOOKUP_load_file error: "));
    EXPECT_TRUE(log.mentions("[DCMN]X509_LOOKUP_add_dir error: "));
}

TEST_F(VerifyTest, MissingArguments) {
    dl_ca_status st;
    memset(&st, 0, sizeof st);
    snprintf(st.message, sizeof st.message, "kept");
    EXPECT_EQ(dl_cert_verify(nullptr, nullptr, nullptr, 0, &st), -1);
    EXPECT_EQ(st.code, 1);
    EXPECT_STREQ(st.message, "kept");
    EXPECT_EQ(dl_cert_verify(files().leaf.c_str(), nullptr, nullptr, 0, nullptr), -1);
    EXPECT_EQ(dl_cert_verify(nullptr, nullptr, nullptr, 0, nullptr), -1);
    EXPECT_EQ(log.count(3, "[DCMN]Invalid Parameter\n"), 3u);
}

TEST_F(VerifyTest, AdvanceCheckOutcomes) {
    const VerifyFiles &f = files();
    struct Row {
        const char *name;
        std::string cert;
        int ssl_version;
        const char *password;
        int code;
        const char *message;
        const char *log_line;
    } rows[] = {
        {"certificate and key", f.combined, 3, "", 0, "", "[DCMN]verify advance\n"},
        {"TLS 1.0 context", f.combined, 0, "", 0, "", nullptr},
        {"TLS 1.1 context", f.combined, 4, "", 0, "", nullptr},
        {"TLS 1.2 context", f.combined, 5, "", 0, "", nullptr},
        {"encrypted key", f.combined_encrypted, 3, "devpass", 0, "", nullptr},
        {"encrypted key, no password", f.combined_encrypted, 3, "", 9, "Can't load private key\n",
         "[DCMN]Can't load private key from ser_ca_file"},
        {"certificate only", f.leaf, 3, "", 9, "Can't load private key\n", nullptr},
        {"key of another pair", f.combined_wrong_key, 3, "", 10, "Private key does not match",
         "[DCMN]Private key does not match the certificate public key\n"},
        {"DER file", f.leaf_der, 3, "", 2, "", "[DCMN]Can't open ca file ser_ca_file\n"},
        // The weak shapes pass the chain check but not a TLS context at security level 2.
        {"MD5 signature", f.combined_md5, 3, "", 8, "Can't load public key\n",
         "[DCMN]Can't load public key from ser_ca_file\n"},
        {"1024-bit key", f.combined_small_key, 3, "", 8, "Can't load public key\n", nullptr},
        {"no such protocol", f.no_file, 6, "", 7, "", "[DCMN]Wrong method"},
        {"SSLv2", f.combined, 1, "", 2, "", "[DCMN]SSL_CTX_new error\n"},
        {"SSLv3", f.combined, 2, "", 2, "", "[DCMN]SSL_CTX_new error\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        log.clear();
        durl_set_option(nullptr, DURL_OPT_SSL_VERSION, row.ssl_version);
        if (*row.password) durl_set_option(nullptr, DURL_OPT_SSL_PASSWD, row.password);
        EXPECT_EQ(verify(row.cert, nullptr, f.ca.c_str(), DL_VERIFY_ADVANCE),
                  row.code == 0 ? 0 : -1);
        EXPECT_EQ(status.code, row.code);
        EXPECT_STREQ(status.message, row.message);
        if (row.log_line) {
            EXPECT_TRUE(log.contains(row.code ? 3 : 6, row.log_line)) << log.dump();
        }
        durl_cleanup();
        ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
    }
    // Without the flag the DER file and the weak shapes go through the chain check alone.
    for (const std::string &cert : {f.leaf_der, f.combined_md5, f.combined_small_key}) {
        SCOPED_TRACE(cert);
        EXPECT_EQ(verify(cert, nullptr, f.ca.c_str(), 0), 0);
    }
}

// Fault: the verification error and the standard-error BIO were process-wide, so two
// verifications at once could report each other's outcome.
TEST_F(VerifyTest, ConcurrentVerificationsKeepTheirOwnOutcome) {
    const VerifyFiles &f = files();
    struct Case {
        std::string cert;
        int code;
    };
    const std::vector<Case> cases = {{f.leaf, 0},      {f.expired, 5},       {f.future, 4},
                                     {f.untrusted, 6}, {f.bad_signature, 3}, {f.no_file, 11}};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i) {
                const Case &c = cases[(t + i) % cases.size()];
                dl_ca_status st;
                const int rc =
                    dl_cert_verify(c.cert.c_str(), f.ca_dir.c_str(), f.ca.c_str(), 0, &st);
                const bool message_ok = c.code == 0    ? st.message[0] == '\0'
                                        : c.code == 11 ? std::string(st.message) == "verify err:"
                                                       : std::string(st.message).size() > 11;
                if (st.code != c.code || rc != (c.code ? -1 : 0) || !message_ok) mismatches++;
            }
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}
