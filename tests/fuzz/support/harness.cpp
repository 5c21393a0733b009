#include "harness.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include "durl.h"

namespace fuzz {

namespace {

bool g_capture = false;
std::vector<std::string> g_lines;

int hook(void * /*context*/, int /*level*/, const char *format, ...) {
    char line[4096];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (g_capture) g_lines.emplace_back(line);
    return 0;
}

std::string g_scratch;

void remove_scratch() {
    if (!g_scratch.empty()) remove_tree(g_scratch);
}

}  // namespace

std::string Input::part() {
    size_t i = 0;
    while (i < n_ && p_[i] != 1) ++i;
    std::string out(reinterpret_cast<const char *>(p_), i);
    size_t used = i < n_ ? i + 1 : i;
    p_ += used;
    n_ -= used;
    return out;
}

std::string Input::rest() {
    std::string out(reinterpret_cast<const char *>(p_), n_);
    p_ += n_;
    n_ = 0;
    return out;
}

void init_library() {
    static std::once_flag once;
    std::call_once(once, [] { durl_init(&g_lines, hook); });
}

void capture_log(bool on) {
    g_capture = on;
    g_lines.clear();
}

const std::vector<std::string> &logged() { return g_lines; }

const std::string &scratch() {
    if (g_scratch.empty()) {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/durl-fuzz-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) {
            perror("mkdtemp");
            abort();
        }
        g_scratch = std::string(buf.data()) + "/";
        atexit(remove_scratch);
    }
    return g_scratch;
}

void remove_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = opendir(path.c_str())) {
            while (dirent *e = readdir(d)) {
                if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
                remove_tree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

bool write_file(const std::string &path, const std::string &data) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

unsigned checksum(const uint8_t *data, size_t size) {
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i) sum += data[i];
    return sum;
}

void fail(const char *file, int line, const char *what) {
    fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
    abort();
}

void make_ca(int bits, const char *cn, const std::string &cert_path, const std::string &key_path) {
    EVP_PKEY *key = EVP_RSA_gen(static_cast<unsigned>(bits));
    X509 *x = X509_new();
    bool ok = key && x && X509_set_version(x, 2) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(x), 1) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(x), -3600) &&
              X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 3650) &&
              X509_set_pubkey(x, key) == 1;
    X509_NAME *name = x ? X509_get_subject_name(x) : nullptr;
    ok = ok && name &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char *>(cn), -1, -1, 0) == 1 &&
         X509_set_issuer_name(x, name) == 1;
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    X509_EXTENSION *ext =
        ok ? X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, "critical,CA:TRUE")
           : nullptr;
    ok = ok && ext && X509_add_ext(x, ext, -1) == 1 && X509_sign(x, key, EVP_sha256()) > 0;
    X509_EXTENSION_free(ext);
    FILE *fc = ok ? fopen(cert_path.c_str(), "w") : nullptr;
    FILE *fk = ok ? fopen(key_path.c_str(), "w") : nullptr;
    ok = ok && fc && fk && PEM_write_X509(fc, x) == 1 &&
         PEM_write_PrivateKey(fk, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (fc) fclose(fc);
    if (fk) fclose(fk);
    X509_free(x);
    EVP_PKEY_free(key);
    if (!ok) {
        fprintf(stderr, "fuzz: cannot make a CA certificate\n");
        abort();
    }
}

TlsPair::~TlsPair() {
    SSL_free(client);
    SSL_free(server);
}

bool tls_pair(TlsPair &s, const std::string &cn) {
    static EVP_PKEY *key = EVP_RSA_gen(1024);
    static SSL_CTX *client_ctx = SSL_CTX_new(TLS_client_method());
    static SSL_CTX *server_ctx = SSL_CTX_new(TLS_server_method());
    if (!key || !client_ctx || !server_ctx) return false;
    SSL_CTX_set_security_level(client_ctx, 0);
    SSL_CTX_set_security_level(server_ctx, 0);
    X509 *x = X509_new();
    X509_NAME *name = X509_NAME_new();
    bool ok = x && name && X509_set_version(x, 2) && X509_gmtime_adj(X509_getm_notBefore(x), 0) &&
              X509_gmtime_adj(X509_getm_notAfter(x), 3600) && X509_set_pubkey(x, key) &&
              X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char *>(cn.data()),
                                         static_cast<int>(cn.size()), -1, 0) &&
              X509_set_subject_name(x, name) && X509_set_issuer_name(x, name) &&
              X509_sign(x, key, EVP_sha256()) > 0;
    X509_NAME_free(name);
    s.client = ok ? SSL_new(client_ctx) : nullptr;
    s.server = ok ? SSL_new(server_ctx) : nullptr;
    ok = ok && s.client && s.server && SSL_use_certificate(s.server, x) == 1 &&
         SSL_use_PrivateKey(s.server, key) == 1;
    X509_free(x);
    BIO *a = nullptr, *b = nullptr;
    if (!ok || BIO_new_bio_pair(&a, 0, &b, 0) != 1) return false;
    SSL_set_bio(s.client, a, a);
    SSL_set_bio(s.server, b, b);
    SSL_set_connect_state(s.client);
    SSL_set_accept_state(s.server);
    for (int round = 0; round < 20; ++round) {
        const int c = SSL_do_handshake(s.client);
        const int v = SSL_do_handshake(s.server);
        if (c == 1 && v == 1) return true;
    }
    return false;
}

}  // namespace fuzz
