// Subject text, common names, the seeded generator and the key step shared by issuance and
// signing requests.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "cert_factory.h"
#include "dl_internal.h"
#include "log_capture.h"
#include "test_files.h"

using namespace durl_test;

namespace {

class KeysRandomTest : public DurlTest {
protected:
    std::string dir = scratch_dir("keys");
};

std::string oneline(X509_NAME *name) {
    char text[512] = "";
    X509_NAME_oneline(name, text, sizeof text);
    return text;
}

durl::EvpPkeyPtr read_key(const std::string &path) {
    durl::BioPtr bio(BIO_new_file(path.c_str(), "r"));
    return durl::EvpPkeyPtr(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char *>(""))
            : nullptr);
}

// One seeded generation into a fresh key; reused flag returned through the out-argument.
durl::EvpPkeyPtr seeded_key(const std::string &key_file, const char *cn, const char *seed,
                            int bits = 1024, dl_rand_fn gen = dl_ssleay_rand_bytes,
                            int *rc_out = nullptr, int *reused_out = nullptr) {
    durl::EvpPkeyPtr key;
    int reused = 0;
    const int rc = dl_seeded_build_key(key_file.c_str(), bits, cn, seed, gen, key, reused);
    if (rc_out) *rc_out = rc;
    if (reused_out) *reused_out = reused;
    return key;
}

}  // namespace

TEST(SubjectText, ParsesIntoNames) {
    struct Row {
        const char *subject;
        const char *expected;  // nullptr: the parse fails
    } rows[] = {
        {"/C=CN/O=Acme/CN=abc", "/C=CN/O=Acme/CN=abc"},
        {"/commonName=x/2.5.4.10=Org", "/CN=x/O=Org"},
        // The one-line form escapes "/" and "+" inside values again.
        {"/CN=a\\/b/O=x", "/CN=a\\/b/O=x"},  // escaped slash stays in the value
        {"/C\\N=x", "/CN=x"},                // escapes work in types too
        {"/CN=a+b", "/CN=a\\+b"},            // "+" is plain text, not a multi-value RDN
        {"/XX=1/CN=a", "/CN=a"},             // unknown type skipped
        {"/CN=/O=x", "/O=x"},                // empty value before "/" skipped
        {"/", ""},
        {"/CN=a/", "/CN=a"},
        {"CN=abc", nullptr},   // no leading "/"
        {"/CN=", nullptr},     // ends right after "="
        {"/O=x/CN", nullptr},  // no "="
        {"/CN=a\\", nullptr},  // backslash as last character
        {"", nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.subject);
        durl::X509NamePtr name(dl_do_subject(row.subject, MBSTRING_UTF8));
        if (!row.expected) {
            EXPECT_EQ(name, nullptr);
            continue;
        }
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(oneline(name.get()), row.expected);
    }
    durl::X509ReqPtr req(X509_REQ_new());
    durl::EvpPkeyPtr key(EVP_PKEY_dup(factory_key(2)));
    EXPECT_EQ(dl_make_REQ(req.get(), key.get(), "no-slash", MBSTRING_UTF8), -1);
    ASSERT_EQ(dl_make_REQ(req.get(), key.get(), "/CN=req", MBSTRING_UTF8), 0);
    EXPECT_EQ(X509_REQ_get_version(req.get()), 0);
    EXPECT_EQ(oneline(X509_REQ_get_subject_name(req.get())), "/CN=req");
}

TEST_F(KeysRandomTest, CommonNameText) {
    struct Row {
        const char *subject, *cn;
    } rows[] = {
        {"/C=US/O=Acme/CN=abc/OU=x", "abc"},
        {"/O=x", ""},
        {"/CN=/O=x", ""},
        {"/CN=a\\/b", "a\\"},  // taken without escape processing
    };
    char cn[512];
    for (const Row &row : rows) {
        SCOPED_TRACE(row.subject);
        dl_subject_common_name(row.subject, cn);
        EXPECT_STREQ(cn, row.cn);
    }
    EXPECT_TRUE(log.contains(7, "[DCMN]buffer is abc\n"));
    const std::string longer = "/CN=" + std::string(600, 'x');
    dl_subject_common_name(longer.c_str(), cn);
    EXPECT_EQ(std::string(cn), std::string(511, 'x'));
}

TEST(SeededGenerator, BlocksCounterAndReset) {
    unsigned char first[24], second[24], again[24];
    dl_ssleay_rand_cleanup();
    EXPECT_EQ(dl_ssleay_rand_bytes(first, 24), 1);
    // Every block after the first repeats the second: only the first digests the seed block.
    EXPECT_EQ(memcmp(first + 8, first + 16, 8), 0);
    EXPECT_NE(memcmp(first, first + 8, 8), 0);
    EXPECT_EQ(dl_ssleay_rand_bytes(second, 24), 1);
    EXPECT_NE(memcmp(first, second, 24), 0);
    dl_ssleay_rand_cleanup();
    dl_ssleay_rand_bytes(again, 24);
    EXPECT_EQ(memcmp(first, again, 24), 0);
    // The start-up variants differ.
    dl_ssleay_rand_cleanup();
    dl_ssleay_open_rand_bytes(again, 24);
    EXPECT_NE(memcmp(first, again, 24), 0);
    unsigned char untouched = 0xAA;
    EXPECT_EQ(dl_ssleay_rand_bytes(&untouched, 0), 1);
    EXPECT_EQ(untouched, 0xAA);
}

// Fault: the C library start-up variant reseeded the process's own rand() sequence.
TEST(SeededGenerator, LibcVariantLeavesProcessRandAlone) {
    srand(7);
    rand();
    const int expected = rand();
    srand(7);
    rand();
    unsigned char buf[16];
    dl_ssleay_rand_cleanup();
    dl_ssleay_open_rand_bytes(buf, sizeof buf);
    EXPECT_EQ(rand(), expected);
}

TEST_F(KeysRandomTest, SameSeedAndNameGiveSameKey) {
    durl::EvpPkeyPtr a = seeded_key(dir + "/none-a", "device-1", "seed text");
    durl::EvpPkeyPtr b = seeded_key(dir + "/none-b", "device-1", "seed text");
    durl::EvpPkeyPtr other_cn = seeded_key(dir + "/none-c", "device-2", "seed text");
    durl::EvpPkeyPtr other_seed = seeded_key(dir + "/none-d", "device-1", "other seed");
    durl::EvpPkeyPtr libc =
        seeded_key(dir + "/none-e", "device-1", "seed text", 1024, dl_ssleay_open_rand_bytes);
    ASSERT_TRUE(a && b && other_cn && other_seed && libc);
    EXPECT_EQ(EVP_PKEY_eq(a.get(), b.get()), 1);
    EXPECT_NE(EVP_PKEY_eq(a.get(), other_cn.get()), 1);
    EXPECT_NE(EVP_PKEY_eq(a.get(), other_seed.get()), 1);
    EXPECT_NE(EVP_PKEY_eq(a.get(), libc.get()), 1);
    // Only the first 16 characters of each seed material count.
    durl::EvpPkeyPtr long_cn = seeded_key(dir + "/none-f", "0123456789abcdefX", "s");
    durl::EvpPkeyPtr long_cn2 = seeded_key(dir + "/none-g", "0123456789abcdefY", "s");
    EXPECT_EQ(EVP_PKEY_eq(long_cn.get(), long_cn2.get()), 1);
    // Nothing was written: the key step leaves writing to its callers.
    EXPECT_FALSE(file_exists(dir + "/none-a"));
}

// Fault: patching the method's bytes did nothing on OpenSSL 3, and the method stayed in.
TEST_F(KeysRandomTest, OpenSslMethodRestoredOnEveryPath) {
    int rc = -1;
    EXPECT_TRUE(seeded_key(dir + "/k1", "x", "s", 1024, dl_ssleay_rand_bytes, &rc));
    EXPECT_EQ(rc, DL_KEY_OK);
    EXPECT_EQ(RAND_get_rand_method(), RAND_OpenSSL());
    EXPECT_FALSE(seeded_key(dir + "/k2", "x", "s", 100, dl_ssleay_rand_bytes, &rc));
    EXPECT_EQ(rc, DL_KEY_GEN_FAILED);
    EXPECT_EQ(RAND_get_rand_method(), RAND_OpenSSL());
}

// Fault: while the seeded generator was installed, every thread drew from it, so TLS on other
// threads got predictable bytes and the key stopped being reproducible.
TEST_F(KeysRandomTest, OtherThreadsKeepOpenSslGenerator) {
    durl::EvpPkeyPtr quiet = seeded_key(dir + "/q", "filtered", "seed");
    std::atomic<bool> stop{false};
    std::atomic<long> during_window{0}, patterned{0};
    std::vector<std::thread> hammers;
    for (int t = 0; t < 3; ++t)
        hammers.emplace_back([&] {
            unsigned char buf[24];
            while (!stop.load()) {
                const bool installed = RAND_get_rand_method() != RAND_OpenSSL();
                if (RAND_bytes(buf, sizeof buf) != 1) continue;
                // The seeded generator repeats its second block in the third.
                if (memcmp(buf + 8, buf + 16, 8) == 0) patterned++;
                if (installed) during_window++;
            }
        });
    durl::EvpPkeyPtr busy1 = seeded_key(dir + "/b1", "filtered", "seed");
    durl::EvpPkeyPtr busy2 = seeded_key(dir + "/b2", "filtered", "seed");
    stop = true;
    for (std::thread &t : hammers) t.join();
    ASSERT_TRUE(quiet && busy1 && busy2);
    EXPECT_EQ(EVP_PKEY_eq(quiet.get(), busy1.get()), 1);
    EXPECT_EQ(EVP_PKEY_eq(quiet.get(), busy2.get()), 1);
    EXPECT_GT(during_window.load(), 0);
    EXPECT_EQ(patterned.load(), 0);
}

TEST_F(KeysRandomTest, KeyFileReusedReplacedOrKept) {
    const std::string good = dir + "/good.key", junk = dir + "/junk.key", enc = dir + "/enc.key";
    ASSERT_TRUE(write_key(good, factory_key(2)));
    ASSERT_TRUE(write_file(junk, "not a key\n"));
    ASSERT_TRUE(write_key(enc, factory_key(2), Encoding::pem, "secret"));
    const std::string enc_before = read_file(enc);

    int rc = -1, reused = 0;
    durl::EvpPkeyPtr key = seeded_key(good, "x", "s", 1024, dl_ssleay_rand_bytes, &rc, &reused);
    EXPECT_EQ(rc, DL_KEY_OK);
    EXPECT_EQ(reused, 1);
    EXPECT_EQ(EVP_PKEY_eq(key.get(), factory_key(2)), 1);

    key = seeded_key(junk, "x", "s", 1024, dl_ssleay_rand_bytes, &rc, &reused);
    EXPECT_EQ(rc, DL_KEY_OK);
    EXPECT_EQ(reused, 0);
    EXPECT_TRUE(key);
    EXPECT_FALSE(file_exists(junk));
    EXPECT_TRUE(log.contains(3, "[DCMN]prikey err,create new\n"));

    // Fault: a key the library could not decrypt was deleted, or a pass phrase was asked for
    // at the terminal.
    key = seeded_key(enc, "x", "s", 1024, dl_ssleay_rand_bytes, &rc, &reused);
    EXPECT_EQ(rc, DL_KEY_UNREADABLE);
    EXPECT_EQ(read_file(enc), enc_before);
}

// Fault: key files inherited the umask and were written in place.
TEST_F(KeysRandomTest, WrittenKeyIsPrivateAndReplacesOldFile) {
    const std::string path = dir + "/written.key";
    ASSERT_TRUE(write_file(path, "old content, world readable\n"));
    chmod(path.c_str(), 0644);
    ASSERT_EQ(dl_cert_write_key(path.c_str(), factory_key(3)), 0);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    durl::EvpPkeyPtr back = read_key(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(EVP_PKEY_eq(back.get(), factory_key(3)), 1);
    EXPECT_NE(read_file(path).find("BEGIN PRIVATE KEY"), std::string::npos);
    EXPECT_EQ(dl_cert_write_key((dir + "/missing/dir.key").c_str(), factory_key(3)), -1);
}
