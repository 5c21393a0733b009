#include "pki.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>

#include "test_files.h"

namespace durl_test {

namespace {

template <class T, void (*Fn)(T *)> struct Deleter {
    void operator()(T *p) const { Fn(p); }
};
using X509Own = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyOwn = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using ExtOwn = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FileOwn = std::unique_ptr<FILE, FileCloser>;

X509Own load_cert(const std::string &path) {
    FileOwn f(fopen(path.c_str(), "rb"));
    return X509Own(f ? PEM_read_X509(f.get(), nullptr, nullptr, nullptr) : nullptr);
}

KeyOwn load_key(const std::string &path) {
    FileOwn f(fopen(path.c_str(), "rb"));
    return KeyOwn(f ? PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr) : nullptr);
}

bool add_ext(X509 *cert, X509 *issuer, int nid, const std::string &value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    ExtOwn ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

bool write_key(const std::string &path, EVP_PKEY *key, bool traditional) {
    std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>> bio(BIO_new_file(path.c_str(), "wb"));
    if (!bio) return false;
    if (traditional)
        return PEM_write_bio_PrivateKey_traditional(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

bool write_cert(const std::string &path, X509 *cert) {
    FileOwn f(fopen(path.c_str(), "wb"));
    return f && PEM_write_X509(f.get(), cert) == 1;
}

// Builds and signs the certificate; the returned text names the step that failed.
std::string build(const CertSpec &spec, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuer_key, X509Own &out) {
    X509Own cert(X509_new());
    if (!cert) return "X509_new";
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;  // positive
    BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), spec.valid_from_days * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), spec.valid_days * 86400L);
    X509_set_pubkey(cert.get(), key);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(spec.cn.c_str()),
                               -1, -1, 0);
    X509 *signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    bool ok = add_ext(cert.get(), signer, NID_subject_key_identifier, "hash") &&
              add_ext(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    if (spec.is_ca) {
        ok = ok && add_ext(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
             add_ext(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
    } else {
        ok = ok && add_ext(cert.get(), signer, NID_basic_constraints, "CA:FALSE") &&
             add_ext(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    }
    if (!spec.san.empty()) ok = ok && add_ext(cert.get(), signer, NID_subject_alt_name, spec.san);
    if (!spec.eku.empty()) ok = ok && add_ext(cert.get(), signer, NID_ext_key_usage, spec.eku);
    if (!ok) return "extensions";
    const EVP_MD *md = EVP_get_digestbyname(spec.digest.c_str());
    if (!md) return "unknown digest " + spec.digest;
    if (X509_sign(cert.get(), issuer_key ? issuer_key : key, md) <= 0) return "X509_sign";
    out = std::move(cert);
    return "";
}

std::string concat(const std::string &a, const std::string &b, const std::string &out) {
    return write_file(out, read_file(a) + read_file(b)) ? "" : "write " + out;
}

void must(const std::string &err, const char *what) {
    if (err.empty()) return;
    fprintf(stderr, "durl tests: cannot make test certificate %s: %s\n", what, err.c_str());
    std::abort();
}

Pki generate() {
    Pki p;
    p.dir = scratch_dir("pki");
    auto f = [&](const char *name) { return p.dir + "/" + name; };
    p.ca_pem = f("ca.pem");
    p.ca_key = f("ca.key");
    p.server_pem = f("server.pem");
    p.server_key = f("server.key");
    p.server_combined = f("server-combined.pem");
    p.client_pem = f("client.pem");
    p.client_key = f("client.key");
    p.client_combined = f("client-combined.pem");
    p.other_ca_pem = f("other-ca.pem");
    p.other_ca_key = f("other-ca.key");
    p.other_client_pem = f("other-client.pem");
    p.other_client_key = f("other-client.key");
    p.other_client_combined = f("other-client-combined.pem");
    p.selfsigned_pem = f("selfsigned.pem");
    p.selfsigned_key = f("selfsigned.key");
    p.selfsigned_combined = f("selfsigned-combined.pem");
    p.ca_dir = f("cadir");

    // The three keys in parallel: key generation is most of the time spent here.
    std::string keys[3] = {p.ca_key, p.other_ca_key, f("leaf.key")};
    std::future<bool> made[3];
    for (int i = 0; i < 3; ++i)
        made[i] = std::async(std::launch::async, [path = keys[i]] {
            KeyOwn k(EVP_RSA_gen(2048));
            return k && write_key(path, k.get(), false);
        });
    for (auto &m : made) must(m.get() ? "" : "RSA key generation", "keys");

    CertSpec ca;
    ca.cn = "durl Test CA";
    ca.key_file = p.ca_key;
    ca.is_ca = true;
    must(make_cert(ca, p.ca_pem, p.ca_key), "ca");
    CertSpec server;
    server.cn = "localhost";
    server.san = "DNS:localhost,IP:127.0.0.1";
    server.eku = "serverAuth";
    server.key_file = keys[2];
    must(make_cert(server, p.server_pem, p.server_key, p.ca_pem, p.ca_key), "server");
    must(concat(p.server_pem, p.server_key, p.server_combined), "server combined");
    CertSpec client;
    client.cn = "durl-test-client";
    client.eku = "clientAuth";
    client.key_file = keys[2];
    must(make_cert(client, p.client_pem, p.client_key, p.ca_pem, p.ca_key), "client");
    must(concat(p.client_pem, p.client_key, p.client_combined), "client combined");
    CertSpec other = ca;
    other.cn = "durl Other CA";
    other.key_file = p.other_ca_key;
    must(make_cert(other, p.other_ca_pem, p.other_ca_key), "other ca");
    client.cn = "durl-other-client";
    must(make_cert(client, p.other_client_pem, p.other_client_key, p.other_ca_pem, p.other_ca_key), "other client");
    must(concat(p.other_client_pem, p.other_client_key, p.other_client_combined), "other client combined");
    must(make_cert(server, p.selfsigned_pem, p.selfsigned_key), "self-signed");
    must(concat(p.selfsigned_pem, p.selfsigned_key, p.selfsigned_combined), "self-signed combined");
    mkdir(p.ca_dir.c_str(), 0755);
    must(add_hashed_copy(p.ca_pem, p.ca_dir).empty() ? "hash copy" : "", "ca dir");
    return p;
}

}  // namespace

std::string make_cert(const CertSpec &spec, const std::string &cert_out, const std::string &key_out,
                      const std::string &issuer_cert, const std::string &issuer_key) {
    X509Own issuer;
    KeyOwn ikey;
    if (!issuer_cert.empty() || !issuer_key.empty()) {
        issuer = load_cert(issuer_cert);
        ikey = load_key(issuer_key);
        if (!issuer || !ikey) return "cannot read issuer " + issuer_cert + " / " + issuer_key;
    }
    KeyOwn key(spec.key_file.empty() ? EVP_RSA_gen(static_cast<unsigned int>(spec.bits)) : load_key(spec.key_file).release());
    if (!key) return spec.key_file.empty() ? "RSA key generation" : "cannot read key " + spec.key_file;
    X509Own cert;
    std::string err = build(spec, key.get(), issuer.get(), ikey.get(), cert);
    if (!err.empty()) return err;
    if (!write_key(key_out, key.get(), spec.traditional_key)) return "write " + key_out;
    if (!write_cert(cert_out, cert.get())) return "write " + cert_out;
    return "";
}

std::string add_hashed_copy(const std::string &cert_file, const std::string &dir) {
    X509Own cert = load_cert(cert_file);
    if (!cert) return "";
    char name[32];
    for (int i = 0; i < 10; ++i) {
        snprintf(name, sizeof name, "/%08lx.%d", X509_subject_name_hash(cert.get()), i);
        std::string path = dir + name;
        if (file_exists(path)) continue;
        return write_file(path, read_file(cert_file)) ? path : "";
    }
    return "";
}

const Pki &pki() {
    static std::once_flag once;
    static Pki p;
    std::call_once(once, [] { p = generate(); });
    return p;
}

}  // namespace durl_test
