// Seeded keys, issued client certificates and signing requests, checked against openssl.
#include <gtest/gtest.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "cert_factory.h"
#include "dl_ca.h"
#include "dl_internal.h"
#include "log_capture.h"
#include "pki.h"
#include "test_files.h"

using namespace durl_test;

namespace {

bool same(const durl::EvpPkeyPtr &a, const durl::EvpPkeyPtr &b) {
    return a && b && EVP_PKEY_eq(a.get(), b.get()) == 1;
}

// What the openssl command line prints, standard error included.
std::string openssl(const std::string &args) { return run_capture("openssl " + args + " 2>&1"); }

class IssuanceTest : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        durl_set_option(nullptr, DURL_OPT_ENV_RANDOMNESS, "issuance seed");
    }
    int issue(const std::string &subject, const std::string &key, const std::string &out) {
        return dl_generate_client_cert(ca.c_str(), ca_key.c_str(), key.c_str(), out.c_str(),
                                       subject.c_str(), 2048);
    }
    int csr(const std::string &out, const std::string &key, const char *subject, int bits = 1024) {
        return dl_cert_build_csr_req_file(out.c_str(), key.c_str(), subject, bits);
    }
    // A key from the seeded generator; the key step writes nothing itself.
    durl::EvpPkeyPtr seeded(const char *cn, const char *seed, dl_rand_fn gen = dl_ssleay_rand_bytes,
                            int bits = 1024) {
        durl::EvpPkeyPtr key;
        int reused = 0;
        dl_seeded_build_key((dir + "/none").c_str(), bits, cn, seed, gen, key, reused);
        return key;
    }
    // A client key already on file keeps the tests that are not about keys fast.
    const std::string dir = scratch_dir("issue"), &ca = pki().ca_pem, &ca_key = pki().ca_key,
                      &ready_key = pki().client_key;
};

}  // namespace

// Fault: the generator was patched into OpenSSL's own method and stayed in after a failure.
TEST_F(IssuanceTest, SeededKeysRepeatAndTheMethodComesBack) {
    const RAND_METHOD *method = RAND_get_rand_method();
    const auto bytes = method->bytes;
    durl::EvpPkeyPtr a = seeded("device-1", "seed text");
    EXPECT_TRUE(same(a, seeded("device-1", "seed text")));
    EXPECT_FALSE(same(a, seeded("device-2", "seed text")));
    EXPECT_FALSE(same(a, seeded("device-1", "other seed")));
    // The C library start-up variant makes another key and leaves the process's rand() alone.
    srand(7);
    const int expected = rand();
    srand(7);
    EXPECT_FALSE(same(a, seeded("device-1", "seed text", dl_ssleay_open_rand_bytes)));
    EXPECT_EQ(rand(), expected);
    EXPECT_FALSE(seeded("x", "s", dl_ssleay_rand_bytes, 100));  // too small to generate
    EXPECT_EQ(RAND_get_rand_method(), method);
    EXPECT_EQ(method->bytes, bytes);
}

// Fault: while the seeded generator was in, every thread drew from it, so TLS on other
// threads got predictable bytes and the key stopped being reproducible.
TEST_F(IssuanceTest, OtherThreadsKeepOpenSslGenerator) {
    unsigned char mark[24];
    dl_ssleay_rand_bytes(mark, sizeof mark);
    ASSERT_EQ(memcmp(mark + 8, mark + 16, 8), 0);  // the seeded stream repeats its 2nd block
    durl::EvpPkeyPtr quiet = seeded("filtered", "seed");
    std::atomic<bool> stop{false};
    std::atomic<long> during{0}, marked{0};
    std::vector<std::thread> hammers;
    for (int t = 0; t < 3; ++t)
        hammers.emplace_back([&] {
            unsigned char buf[24];
            while (!stop) {
                const bool installed = RAND_get_rand_method() != RAND_OpenSSL();
                if (RAND_bytes(buf, sizeof buf) != 1) continue;
                if (memcmp(buf + 8, buf + 16, 8) == 0) marked++;
                if (installed) during++;
            }
        });
    durl::EvpPkeyPtr busy1 = seeded("filtered", "seed"), busy2 = seeded("filtered", "seed");
    stop = true;
    for (std::thread &t : hammers) t.join();
    EXPECT_TRUE(same(quiet, busy1) && same(quiet, busy2));
    EXPECT_GT(during.load(), 0);
    EXPECT_EQ(marked.load(), 0);
}

// Fault: the MD5 default issues certificates TLS here refuses; the advance check must say so.
TEST_F(IssuanceTest, IssuedCertificatesAgreeWithOpenssl) {
    const std::string key = dir + "/c.key", again = dir + "/again.key", cert = dir + "/c.pem";
    struct Row {
        const char *subject;
        int sign_algo;
        std::string key;
        const char *serial, *digest;
    } rows[] = {
        {"/C=CN/O=Acme/CN=abc", 1, key, "Serial Number: 6382179 (0x616263)", "sha256WithRSA"},
        // Same seed, name and size: the same key. Then the key file is reused.
        {"/CN=abc", 0, again, "Serial Number: 6382179 (0x616263)", "md5WithRSA"},
        {"/O=Acme/OU=Lab", 2, key, "Serial Number: 1 (0x1)", "sha384WithRSA"},  // no common name
        {"/CN=/O=Acme", 3, key, "Serial Number: 0 (0x0)", "sha512WithRSA"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.subject);
        durl_set_option(nullptr, DURL_OPT_SSL_SIGN_ALGO, row.sign_algo);
        ASSERT_EQ(issue(row.subject, row.key, cert), 0) << log.dump();
        const std::string text = openssl("x509 -in '" + cert + "' -noout -text");
        for (const char *part : {row.serial, row.digest, "Not Before: Mar  1 00:00:00 2014 GMT",
                                 "Not After : Feb 24 00:00:00 2034 GMT",
                                 "Digital Signature, Key Encipherment, Data Encipherment",
                                 "TLS Web Server Authentication, TLS Web Client Authentication"})
            EXPECT_NE(text.find(part), std::string::npos) << part;
        EXPECT_EQ(openssl("verify -CAfile '" + ca + "' '" + cert + "'"), cert + ": OK\n");
        // The output holds the certificate and its key, which is also the key file's.
        const std::string pub = openssl("x509 -in '" + cert + "' -noout -pubkey");
        EXPECT_EQ(openssl("pkey -in '" + cert + "' -pubout"), pub);
        EXPECT_EQ(openssl("pkey -in '" + row.key + "' -pubout"), pub);
        dl_ca_status st;
        dl_cert_verify(cert.c_str(), nullptr, ca.c_str(), DL_VERIFY_ADVANCE, &st);
        EXPECT_EQ(st.code, row.sign_algo == 0 ? 8 : 0);
    }
    EXPECT_EQ(read_file(key), read_file(again));
}

TEST_F(IssuanceTest, SigningRequestAgreesWithOpenssl) {
    const std::string req = dir + "/req.pem", key = dir + "/dev.key";
    // Escapes in values and types, "+" as plain text, unknown types and empty values skipped.
    ASSERT_EQ(csr(req, key, "/C=CN/CN=phone-1/XX=1/O=/OU=a\\/b+c/2.5.4.1\\0=Org"), 0) << log.dump();
    EXPECT_EQ(openssl("req -in '" + req + "' -noout -verify -subject"),
              "Certificate request self-signature verify OK\n"
              "subject=C = CN, CN = phone-1, OU = \"a/b+c\", O = Org\n");
    EXPECT_EQ(openssl("req -in '" + req + "' -noout -pubkey"),
              openssl("pkey -in '" + key + "' -pubout"));
    // The key is reused; the same seed, name and size remake it; the C library start-up
    // variant makes another.
    const std::string key_text = read_file(key);
    ASSERT_EQ(csr(req, key, "/CN=phone-1/OU=again"), 0);
    ASSERT_EQ(csr(req, dir + "/again.key", "/O=x/CN=phone-1"), 0);
    EXPECT_EQ(read_file(key), key_text);
    EXPECT_EQ(read_file(dir + "/again.key"), key_text);
    durl_set_option(nullptr, DURL_OPT_SSL_EXTRA_FLAG, 1);
    ASSERT_EQ(csr(req, dir + "/libc.key", "/CN=phone-1"), 0);
    EXPECT_NE(read_file(dir + "/libc.key"), key_text);
}

// Fault: an encrypted key the library can't open was deleted, or its pass phrase asked for.
TEST_F(IssuanceTest, FailuresLeaveFilesAlone) {
    const std::string out = dir + "/kept.pem", no = dir + "/-", text = dir + "/text.txt";
    const std::string enc = dir + "/enc.key", enc_ca = dir + "/enc-ca", other = pki().other_ca_key;
    ASSERT_TRUE(write_key(enc, factory_key(2), Encoding::pem, "pass") &&
                write_key(enc_ca, factory_key(0), Encoding::pem, "capass") &&
                write_file(text, "no certificate\n") && write_file(out, "previous\n"));
    const std::string rows[][4] = {
        // CA certificate, CA key, client key, subject
        {ca, ca_key, enc, "/CN=x"},         {ca, enc_ca, ready_key, "/CN=x"},
        {ca, other, ready_key, "/CN=x"},    {no, ca_key, ready_key, "/CN=x"},
        {text, ca_key, ready_key, "/CN=x"}, {ca, no, ready_key, "/CN=x"},
        {ca, ca_key, ready_key, "CN=x"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(dl_generate_client_cert(r[0].c_str(), r[1].c_str(), r[2].c_str(), out.c_str(),
                                          r[3].c_str(), 2048),
                  -1)
            << r[0] << " " << r[1] << " " << r[2] << " " << r[3];
    EXPECT_EQ(csr(out, enc, "/CN=x"), 18);
    for (const char *subject : {"CN=x", "/CN=x\\", "/O=x/CN", "/CN="})
        EXPECT_EQ(csr(out, no, subject), 14) << subject;
    EXPECT_EQ(csr(out, no, "/CN=tiny", 100), 20);
    EXPECT_FALSE(file_exists(no));
    EXPECT_NE(read_file(enc).find("BEGIN ENCRYPTED PRIVATE KEY"), std::string::npos);
    EXPECT_EQ(read_file(out), "previous\n");
    // A key file holding no key is replaced.
    EXPECT_EQ(csr(out, text, "/CN=junk"), 0);
    EXPECT_NE(read_file(text).find("BEGIN PRIVATE KEY"), std::string::npos);
}

// Fault: files were rewritten in place with the umask's mode; failed writes were reported.
TEST_F(IssuanceTest, FilesAreReplacedWholeAndKeysKeptPrivate) {
    const std::string key = dir + "/w.key", cert = dir + "/w.pem", req = dir + "/w.csr";
    for (const std::string &path : {key, cert, req}) {
        ASSERT_TRUE(write_file(path, "old\n"));
        chmod(path.c_str(), 0644);
        ASSERT_EQ(link(path.c_str(), (path + ".old").c_str()), 0);
    }
    ASSERT_EQ(dl_cert_write_key(key.c_str(), factory_key(3)), 0);
    ASSERT_EQ(issue("/CN=w", ready_key, cert), 0);
    ASSERT_EQ(csr(req, ready_key, "/CN=w"), 0);
    for (const std::string &path : {key, cert, req}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(read_file(path + ".old"), "old\n");  // a new file took the name
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, path == req ? 0644u : 0600u);  // a request keeps its mode
    }
    const std::string nowhere = dir + "/no/such/dir", lost = dir + "/lost.csr";
    EXPECT_EQ(dl_cert_write_key((nowhere + ".key").c_str(), factory_key(3)), -1);
    EXPECT_EQ(issue("/CN=x", ready_key, nowhere + ".pem"), -1);
    EXPECT_EQ(csr(nowhere + ".csr", ready_key, "/CN=x"), 17);
    EXPECT_EQ(csr(lost, nowhere + ".key", "/CN=x"), 17);
    EXPECT_FALSE(file_exists(lost));  // no request for a key that was lost
}
