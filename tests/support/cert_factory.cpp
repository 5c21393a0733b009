#include "cert_factory.h"

#include <sys/stat.h>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

namespace durl_test {

namespace {

std::mutex g_pool_mutex;

bool add_ext(X509 *cert, X509 *issuer, int nid, const char *value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    durl::X509ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// Serial from its DER content octets, so negative and odd-sized serials come out exactly.
bool set_serial(X509 *cert, const std::vector<unsigned char> &octets) {
    std::vector<unsigned char> der = {0x02, static_cast<unsigned char>(octets.size())};
    der.insert(der.end(), octets.begin(), octets.end());
    const unsigned char *p = der.data();
    durl::Asn1IntPtr serial(d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.size())));
    return serial && X509_set_serialNumber(cert, serial.get()) == 1;
}

bool set_time(ASN1_TIME *field, const std::string &text, long days) {
    // Whole days, never seconds in a long: 100 years of seconds overflow a 32-bit long.
    if (text.empty()) return X509_time_adj_ex(field, static_cast<int>(days), 0, nullptr) != nullptr;
    int type = text.size() == 13 ? V_ASN1_UTCTIME : V_ASN1_GENERALIZEDTIME;
    if (ASN1_STRING_set(field, text.data(), static_cast<int>(text.size())) != 1) return false;
    field->type = type;
    return true;
}

bool set_subject(X509 *cert, const CertShape &shape) {
    X509_NAME *name = X509_get_subject_name(cert);
    for (const auto &attr : shape.subject) {
        auto value = reinterpret_cast<const unsigned char *>(attr.second.c_str());
        if (X509_NAME_add_entry_by_txt(name, attr.first.c_str(), MBSTRING_UTF8, value, -1, -1, 0) !=
            1)
            return false;
    }
    return true;
}

bool add_extensions(X509 *cert, X509 *issuer, const CertShape &shape) {
    if (shape.ca)
        return add_ext(cert, issuer, NID_basic_constraints, "critical,CA:TRUE") &&
               add_ext(cert, issuer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
               add_ext(cert, issuer, NID_subject_key_identifier, "hash");
    return add_ext(cert, issuer, NID_basic_constraints, "CA:FALSE") &&
           add_ext(cert, issuer, NID_key_usage, "digitalSignature,keyEncipherment") &&
           add_ext(cert, issuer, NID_ext_key_usage, "clientAuth,serverAuth");
}

FILE *open_out(const std::string &path) { return std::fopen(path.c_str(), "wb"); }

}  // namespace

EVP_PKEY *factory_key(int slot, int bits) {
    static std::map<std::pair<int, int>, durl::EvpPkeyPtr> pool;
    std::lock_guard<std::mutex> lock(g_pool_mutex);
    durl::EvpPkeyPtr &key = pool[{slot, bits}];
    if (!key) key.reset(EVP_RSA_gen(static_cast<unsigned int>(bits)));
    if (!key) {
        std::fprintf(stderr, "cert_factory: RSA-%d generation failed\n", bits);
        std::abort();
    }
    return key.get();
}

durl::X509Ptr factory_cert(const CertShape &shape, EVP_PKEY *key, X509 *issuer,
                           EVP_PKEY *issuer_key) {
    durl::X509Ptr cert(X509_new());
    if (!cert || !key) return nullptr;
    X509 *c = cert.get();
    bool ok = X509_set_version(c, 2) == 1 && set_serial(c, shape.serial) && set_subject(c, shape) &&
              set_time(X509_getm_notBefore(c), shape.not_before, shape.from_days) &&
              set_time(X509_getm_notAfter(c), shape.not_after, shape.days) &&
              X509_set_pubkey(c, key) == 1;
    X509 *signer = issuer ? issuer : c;
    ok = ok && X509_set_issuer_name(c, X509_get_subject_name(signer)) == 1 &&
         add_extensions(c, signer, shape);
    const EVP_MD *md = EVP_get_digestbyname(shape.digest.c_str());
    ok = ok && md && X509_sign(c, issuer ? issuer_key : key, md) > 0;
    if (!ok) {
        ERR_print_errors_fp(stderr);
        return nullptr;
    }
    return cert;
}

bool write_cert(const std::string &path, X509 *cert, Encoding enc) {
    durl::FilePtr f(open_out(path));
    if (!f) return false;
    return enc == Encoding::pem ? PEM_write_X509(f.get(), cert) == 1
                                : i2d_X509_fp(f.get(), cert) == 1;
}

bool write_key(const std::string &path, EVP_PKEY *key, Encoding enc, const std::string &password) {
    durl::FilePtr f(open_out(path));
    if (!f) return false;
    if (enc == Encoding::der) return i2d_PrivateKey_fp(f.get(), key) == 1;
    const EVP_CIPHER *cipher = password.empty() ? nullptr : EVP_aes_256_cbc();
    auto pass = reinterpret_cast<const unsigned char *>(password.c_str());
    return PEM_write_PrivateKey(f.get(), key, cipher, password.empty() ? nullptr : pass,
                                static_cast<int>(password.size()), nullptr, nullptr) == 1;
}

bool write_combined(const std::string &path, X509 *cert, EVP_PKEY *key,
                    const std::string &password) {
    durl::FilePtr f(open_out(path));
    if (!f || PEM_write_X509(f.get(), cert) != 1) return false;
    const EVP_CIPHER *cipher = password.empty() ? nullptr : EVP_aes_256_cbc();
    auto pass = reinterpret_cast<const unsigned char *>(password.c_str());
    return PEM_write_PrivateKey(f.get(), key, cipher, password.empty() ? nullptr : pass,
                                static_cast<int>(password.size()), nullptr, nullptr) == 1;
}

std::string pem_text(X509 *cert) {
    durl::BioPtr mem(BIO_new(BIO_s_mem()));
    if (!mem || PEM_write_bio_X509(mem.get(), cert) != 1) return "";
    char *data = nullptr;
    long n = BIO_get_mem_data(mem.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

durl::X509Ptr read_cert(const std::string &path) {
    durl::BioPtr bio(BIO_new_file(path.c_str(), "rb"));
    if (!bio) return nullptr;
    durl::X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) {
        BIO_reset(bio.get());
        cert.reset(d2i_X509_bio(bio.get(), nullptr));
    }
    ERR_clear_error();
    return cert;
}

const FactoryPki &factory_pki() {
    static FactoryPki pki;
    static std::once_flag once;
    std::call_once(once, [] {
        CertShape s;
        s.subject = {{"CN", "durl Factory Root CA"}, {"O", "durl"}};
        s.ca = true;
        pki.ca = factory_cert(s, factory_key(0));
        s.subject = {{"CN", "durl Factory Intermediate CA"}, {"O", "durl"}};
        s.serial = {0x02};
        pki.intermediate = factory_cert(s, factory_key(1), pki.ca.get(), factory_key(0));
        auto leaf = [&](const char *cn, X509 *issuer, EVP_PKEY *ikey, long from, long days,
                        const char *digest, EVP_PKEY *key) {
            CertShape l;
            l.subject = {{"CN", cn}, {"O", "durl"}};
            l.serial = {0x10, 0x00};
            l.from_days = from;
            l.days = days;
            l.digest = digest;
            return factory_cert(l, key, issuer, ikey);
        };
        EVP_PKEY *k2 = factory_key(2);
        X509 *ca = pki.ca.get();
        EVP_PKEY *k0 = factory_key(0);
        pki.leaf = leaf("durl factory leaf", ca, k0, -1, 36500, "sha256", k2);
        pki.leaf_by_inter = leaf("durl factory inter leaf", pki.intermediate.get(), factory_key(1),
                                 -1, 36500, "sha256", k2);
        pki.expired = leaf("durl factory expired", ca, k0, -30, -1, "sha256", k2);
        pki.not_yet_valid = leaf("durl factory future", ca, k0, 10, 36500, "sha256", k2);
        pki.md5_leaf = leaf("durl factory md5", ca, k0, -1, 36500, "md5", k2);
        pki.small_key_leaf =
            leaf("durl factory small key", ca, k0, -1, 36500, "sha256", factory_key(4, 1024));
        CertShape self;
        self.subject = {{"CN", "durl factory self-signed"}};
        pki.self_signed = factory_cert(self, factory_key(3));
        if (!pki.ca || !pki.intermediate || !pki.leaf || !pki.leaf_by_inter || !pki.expired ||
            !pki.not_yet_valid || !pki.md5_leaf || !pki.small_key_leaf || !pki.self_signed) {
            std::fprintf(stderr, "cert_factory: the standard certificates could not be made\n");
            std::abort();
        }
    });
    return pki;
}

std::string run_capture(const std::string &command, int *status) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

uint32_t subject_hash(X509 *cert) { return static_cast<uint32_t>(X509_subject_name_hash(cert)); }

std::string hash_name(X509 *cert) {
    char b[16];
    std::snprintf(b, sizeof b, "%08x", subject_hash(cert));
    return b;
}

unsigned file_mode(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace durl_test
