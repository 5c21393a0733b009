// Certificate file primitives: digest, copy, directory test, encoding detection, readers,
// password callback and the subject-name hash with its DER-to-PEM rewrite.
#include <sys/stat.h>

#include <cstring>

#include <openssl/err.h>
#include <openssl/pem.h>

#include "cert_factory.h"
#include "dl_internal.h"
#include "fault_injection.h"
#include "log_capture.h"
#include "test_files.h"

using namespace durl_test;

namespace {

class FilePrimitives : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        dir = scratch_dir("prim");
        log.clear();  // start-up lines of the library
    }
    std::string path(const std::string &name) const { return dir + "/" + name; }
    std::string dir;
};

uint32_t cli_hash(const std::string &file) {
    int status = -1;
    std::string out = run_capture("openssl x509 -hash -noout -in '" + file + "'", &status);
    return status == 0 ? static_cast<uint32_t>(std::stoul(out, nullptr, 16)) : 0;
}

mode_t file_mode(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

TEST_F(FilePrimitives, Md5DigestTextAndFailures) {
    struct Row {
        const char *content;
        const char *md5;
    } rows[] = {{"", "d41d8cd98f00b204e9800998ecf8427e"},
                {"abc", "900150983cd24fb0d6963f7d28e17f72"}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.content);
        ASSERT_TRUE(write_file(path("f"), r.content));
        char out[512] = {0};
        EXPECT_EQ(dl_get_file_md5(path("f").c_str(), out), 0);
        EXPECT_STREQ(out, r.md5);
    }
    char out[512] = {0};
    EXPECT_EQ(dl_get_file_md5(path("f").c_str(), nullptr), -1);
    EXPECT_TRUE(log.contains(3, "[DCMN]MD5 error\n"));
    EXPECT_EQ(dl_get_file_md5(path("missing").c_str(), out), -1);
    EXPECT_EQ(dl_get_file_md5(nullptr, out), -1);
    EXPECT_EQ(log.count(3, "[DCMN]file can't be opened\n"), 2u);
}

TEST_F(FilePrimitives, CompareByDigest) {
    std::string big(100000, 'x');
    write_file(path("a"), big);
    write_file(path("b"), big);
    write_file(path("c"), big + "y");
    EXPECT_EQ(dl_ca_cmp(path("a").c_str(), path("a").c_str()), 0);
    EXPECT_EQ(dl_ca_cmp(path("a").c_str(), path("b").c_str()), 0);
    EXPECT_NE(dl_ca_cmp(path("a").c_str(), path("c").c_str()), 0);
    EXPECT_EQ(dl_ca_cmp(path("a").c_str(), path("missing").c_str()), -1);
    EXPECT_EQ(dl_ca_cmp(path("missing").c_str(), path("a").c_str()), -1);
}

TEST_F(FilePrimitives, CopyCreatesAndReplaces) {
    write_file(path("src"), std::string(40000, 's'));
    write_file(path("dst"), "old");
    chmod(path("dst").c_str(), 0640);
    EXPECT_EQ(dl_copy_file(path("src").c_str(), path("dst").c_str()), 0);
    EXPECT_EQ(read_file(path("dst")), std::string(40000, 's'));
    EXPECT_EQ(file_mode(path("dst")), 0640u) << "a replaced file keeps its permission bits";
    mode_t saved = umask(027);
    EXPECT_EQ(dl_copy_file(path("src").c_str(), path("new").c_str()), 0);
    umask(saved);
    EXPECT_EQ(file_mode(path("new")), 0640u) << "a new file follows the umask";
    EXPECT_EQ(read_file(path("new")), read_file(path("src")));
    EXPECT_TRUE(log.contains(
        7, "[DCMN]dl_copy_file Source file:" + path("src") + " Target file:" + path("new") + "\n"));

    EXPECT_EQ(dl_copy_file(nullptr, path("x").c_str()), -1);
    EXPECT_EQ(dl_copy_file(path("missing").c_str(), path("x").c_str()), -1);
    EXPECT_TRUE(log.contains(3, "[DCMN]Source file can't open! \n"));
    EXPECT_EQ(dl_copy_file(path("src").c_str(), (dir + "/no/such/dir/x").c_str()), -1);
    EXPECT_TRUE(log.contains(3, "[DCMN]Target file can't open! \n"));
    EXPECT_EQ(dir_names(dir), (std::vector<std::string>{"dst", "new", "src"}));
}

TEST_F(FilePrimitives, FailedCopyIsReportedAndLeavesTargetIntact) {
    // Fault guarded: a copy that stopped short reported success and left a truncated target.
    write_file(path("src"), std::string(50000, 'n'));
    write_file(path("dst"), "the old content");
    {
        FileSizeLimit limit(4096);
        EXPECT_EQ(dl_copy_file(path("src").c_str(), path("dst").c_str()), -1);
    }
    EXPECT_EQ(read_file(path("dst")), "the old content");
    EXPECT_EQ(dir_names(dir), (std::vector<std::string>{"dst", "src"})) << "no temporary left";
    // A source that opens but can't be read (a directory) fails the same way.
    EXPECT_EQ(dl_copy_file(dir.c_str(), path("dst").c_str()), -1);
    EXPECT_EQ(read_file(path("dst")), "the old content");
}

TEST_F(FilePrimitives, DirectoryTest) {
    write_file(path("file"), "x");
    EXPECT_EQ(dl_path_is_directory(dir.c_str()), 1);
    EXPECT_EQ(dl_path_is_directory(path("file").c_str()), 0);
    EXPECT_EQ(dl_path_is_directory(path("missing").c_str()), 0);
    EXPECT_TRUE(log.empty()) << log.dump();
    EXPECT_EQ(dl_path_is_directory(nullptr), 0);
    EXPECT_TRUE(log.contains(3, "[DCMN]NULL path!\n"));
}

TEST_F(FilePrimitives, EncodingDetection) {
    const FactoryPki &p = factory_pki();
    write_cert(path("c.der"), p.leaf.get(), Encoding::der);
    write_cert(path("c.pem"), p.leaf.get(), Encoding::pem);
    write_file(path("dump.pem"), std::string(3000, 'x') + "\nsome text\n" + pem_text(p.leaf.get()));
    write_file(path("empty"), "");
    write_file(path("text"), "just words\nno marker\n");
    struct Row {
        std::string file;
        int type;
    } rows[] = {{path("c.der"), DL_CA_TYPE_DER},    {path("c.pem"), DL_CA_TYPE_PEM},
                {path("dump.pem"), DL_CA_TYPE_PEM}, {path("empty"), DL_CA_TYPE_DER},
                {path("text"), DL_CA_TYPE_DER},     {path("missing"), -1}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.file);
        EXPECT_EQ(dl_get_ca_type(r.file.c_str()), r.type);
    }
    EXPECT_EQ(dl_get_ca_type(nullptr), -1);
}

TEST_F(FilePrimitives, ReadersFollowTheEncoding) {
    const FactoryPki &p = factory_pki();
    write_cert(path("c.der"), p.leaf.get(), Encoding::der);
    write_key(path("k.der"), factory_key(2), Encoding::der);
    write_combined(path("combined.pem"), p.leaf.get(), factory_key(2));
    write_combined(path("enc.pem"), p.leaf.get(), factory_key(2), "s3cret");
    auto cert_of = [](const std::string &f, int type) {
        durl::BioPtr bio(BIO_new_file(f.c_str(), "r"));
        return durl::X509Ptr(dl_get_x509(type, bio.get()));
    };
    auto key_of = [](const std::string &f, int type) {
        durl::BioPtr bio(BIO_new_file(f.c_str(), "r"));
        return durl::EvpPkeyPtr(dl_get_pri_key(type, bio.get()));
    };
    EXPECT_TRUE(cert_of(path("c.der"), DL_CA_TYPE_DER));
    EXPECT_FALSE(cert_of(path("c.der"), DL_CA_TYPE_PEM));
    EXPECT_FALSE(cert_of(path("c.der"), 7));
    EXPECT_TRUE(cert_of(path("combined.pem"), DL_CA_TYPE_PEM));
    EXPECT_TRUE(key_of(path("k.der"), DL_CA_TYPE_DER));
    EXPECT_FALSE(key_of(path("k.der"), -1));
    // The PEM reader skips the certificate block in front of the key.
    durl::EvpPkeyPtr key = key_of(path("combined.pem"), DL_CA_TYPE_PEM);
    ASSERT_TRUE(key);
    EXPECT_EQ(X509_check_private_key(p.leaf.get(), key.get()), 1);
    // An encrypted key opens with the ssl_passwd setting only.
    EXPECT_FALSE(key_of(path("enc.pem"), DL_CA_TYPE_PEM));
    durl_set_option(nullptr, DURL_OPT_SSL_PASSWD, "s3cret");
    EXPECT_TRUE(key_of(path("enc.pem"), DL_CA_TYPE_PEM));
    EXPECT_EQ(ERR_peek_error(), 0u) << "failed reads leave no stale OpenSSL errors";
}

TEST_F(FilePrimitives, PasswordCallback) {
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    char phrase[] = "secret";
    EXPECT_EQ(dl_password_cb(buf, 4, 0, phrase), 4);
    EXPECT_EQ(std::string(buf, 5), "secr#") << "no terminator with callback data";
    EXPECT_EQ(dl_password_cb(buf, 10, 0, phrase), 6);

    EXPECT_EQ(dl_password_cb(buf, 4, 0, nullptr), 0) << "empty ssl_passwd";
    durl_set_option(nullptr, DURL_OPT_SSL_PASSWD, "0123456789");
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(dl_password_cb(buf, 4, 1, nullptr), 3);
    EXPECT_STREQ(buf, "012");
    EXPECT_TRUE(log.contains(6, "[DCMN]num is 4, pwd length:3\n"));
    EXPECT_EQ(dl_password_cb(buf, 64, 0, nullptr), 10);
    EXPECT_STREQ(buf, "0123456789");
}

TEST_F(FilePrimitives, HashMatchesOpensslAndRewritesDer) {
    const FactoryPki &p = factory_pki();
    write_cert(path("c.pem"), p.ca.get());
    write_cert(path("c.der"), p.ca.get(), Encoding::der);
    chmod(path("c.der").c_str(), 0604);
    uint32_t expected = cli_hash(path("c.pem"));
    ASSERT_NE(expected, 0u);
    EXPECT_EQ(dl_get_ca_hash(path("c.pem").c_str()), expected);
    EXPECT_EQ(dl_get_ca_hash(path("c.der").c_str()), expected);
    EXPECT_TRUE(log.contains(6, "[DCMN]convert to PEM code\n"));
    EXPECT_EQ(read_file(path("c.der")), pem_text(p.ca.get()));
    EXPECT_EQ(file_mode(path("c.der")), 0604u) << "the rewrite keeps the file's mode";
    log.clear();
    EXPECT_EQ(dl_get_ca_hash(path("c.der").c_str()), expected);
    EXPECT_FALSE(log.contains(6, "[DCMN]convert to PEM code\n")) << "second call: already PEM";
    EXPECT_EQ(dir_names(dir), (std::vector<std::string>{"c.der", "c.pem"}));

    write_file(path("junk"), "not a certificate");
    struct Row {
        std::string file;
        int level;
        const char *message;
    } rows[] = {{dir, 5, "[DCMN]path is directory, ret\n"},
                {path("missing"), 3, "[DCMN]Bio_new_file error ca_file\n"},
                {path("junk"), 3, "[DCMN]unable to load certificate ca_file\n"}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.file);
        log.clear();
        EXPECT_EQ(dl_get_ca_hash(r.file.c_str()), 0u);
        EXPECT_TRUE(log.contains(r.level, r.message)) << log.dump();
    }
    EXPECT_EQ(dl_get_ca_hash(nullptr), 0u);
}

TEST_F(FilePrimitives, DerRewriteNeverLosesTheCertificate) {
    // Fault guarded: the rewrite went through "/tmp/ca_tmp.crt" and deleted the original
    // before copying back, so a failed copy lost the certificate.
    const FactoryPki &p = factory_pki();
    write_cert(path("c.der"), p.ca.get(), Encoding::der);
    std::string der = read_file(path("c.der"));
    struct stat before;
    bool had_fixed_temp = stat("/tmp/ca_tmp.crt", &before) == 0;
    {
        FileSizeLimit limit(200);  // the PEM text is longer than the DER bytes
        EXPECT_EQ(dl_get_ca_hash(path("c.der").c_str()), 0u);
    }
    EXPECT_TRUE(log.contains(3, "[DCMN]copy file err!\n")) << log.dump();
    EXPECT_EQ(read_file(path("c.der")), der);
    EXPECT_EQ(dir_names(dir), (std::vector<std::string>{"c.der"}));
    {
        ImmutableDir frozen(dir);
        if (!frozen.active()) GTEST_SKIP() << "immutable attribute not available here";
        log.clear();
        EXPECT_EQ(dl_get_ca_hash(path("c.der").c_str()), 0u);
        EXPECT_TRUE(log.contains(3, "[DCMN]open file err\n")) << log.dump();
    }
    EXPECT_EQ(read_file(path("c.der")), der);
    struct stat after;
    EXPECT_EQ(stat("/tmp/ca_tmp.crt", &after) == 0, had_fixed_temp) << "no fixed temporary";
    EXPECT_NE(dl_get_ca_hash(path("c.der").c_str()), 0u);
}

namespace {

std::string pem_of_der(const std::string &der) {
    durl::BioPtr mem(BIO_new(BIO_s_mem()));
    PEM_write_bio(mem.get(), "CERTIFICATE", "", reinterpret_cast<const unsigned char *>(der.data()),
                  static_cast<long>(der.size()));
    char *text = nullptr;
    long len = BIO_get_mem_data(mem.get(), &text);
    return std::string(text, static_cast<size_t>(len));
}

}  // namespace

TEST_F(FilePrimitives, HashAcceptsExactlyWhatTheReaderAccepts) {
    // The hash parses without decoding the public key: it must still take and refuse the
    // same files as the certificate reader.
    const FactoryPki &p = factory_pki();
    unsigned char *raw = nullptr;
    int n = i2d_X509(p.ca.get(), &raw);
    const std::string der(reinterpret_cast<char *>(raw), static_cast<size_t>(n));
    OPENSSL_free(raw);
    size_t tbs_len = (static_cast<unsigned char>(der[6]) << 8) | static_cast<unsigned char>(der[7]);
    std::string broken = der;  // intact up to the subject, the outer signature tag broken
    broken[8 + tbs_len] = 0x31;
    std::string odd_key = der;  // a public key algorithm nobody knows
    const std::string rsa_oid("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x01\x01", 11);
    odd_key[odd_key.find(rsa_oid) + 10] = 0x7f;
    write_key(path("k.pem"), factory_key(2));
    std::vector<std::pair<std::string, std::string>> files = {
        {"ca.pem", pem_text(p.ca.get())},
        {"md5.pem", pem_text(p.md5_leaf.get())},
        {"key_first.pem", read_file(path("k.pem")) + pem_text(p.leaf.get())},
        {"no_cert.pem", read_file(path("k.pem"))},
        {"broken.pem", pem_of_der(broken)},
        {"odd_key.pem", pem_of_der(odd_key)},
        {"odd_key.der", odd_key},
        {"truncated.der", der.substr(0, der.size() - 20)},
        // Beyond what is read into memory at once: read as a stream instead.
        {"big.pem", std::string(2 << 20, '\n') + pem_text(p.leaf.get())},
        {"big_junk.pem", std::string(2 << 20, 'j') + "\nBEGIN\n"},
    };
    for (const auto &f : files) {
        SCOPED_TRACE(f.first);
        write_file(path(f.first), f.second);
        durl::BioPtr bio(BIO_new_file(path(f.first).c_str(), "r"));
        durl::X509Ptr cert(dl_get_x509(dl_get_ca_type(path(f.first).c_str()), bio.get()));
        uint32_t expected = cert ? static_cast<uint32_t>(X509_subject_name_hash(cert.get())) : 0;
        EXPECT_EQ(dl_get_ca_hash(path(f.first).c_str()), expected);
        if (f.first.find("odd_key") == 0) {
            EXPECT_NE(expected, 0u) << "an unknown key does not fail the parse";
        }
    }
}
