// Certificate file primitives shared by the whole certificate half: a file's MD5 digest,
// copy, directory test, encoding detection, certificate and key readers, the PEM password
// callback, and the subject-name hash that keys the trusted CA store.
#include <sys/stat.h>

#include <cstring>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/provider.h>

#include "dl_internal.h"

int dl_get_file_md5(const char *path, char *out) {
    if (!out) {
        log_msg(3, "MD5 error\n");
        return -1;
    }
    log_msg(7, "dl_get_file_md5 filename:%s\n", path ? path : "");
    durl::FilePtr f(path ? std::fopen(path, "rb") : nullptr);
    if (!f) {
        log_msg(3, "file can't be opened\n");
        return -1;
    }
    durl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return -1;
    unsigned char block[1024];
    size_t n;
    // End of file and a read error both end the digest, as a short read cannot be told
    // apart from either by the caller anyway.
    while ((n = std::fread(block, 1, sizeof block, f.get())) > 0)
        EVP_DigestUpdate(ctx.get(), block, n);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1) return -1;
    for (unsigned int i = 0; i < len; ++i) std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
    return 0;
}

int dl_copy_file(const char *source, const char *target) {
    return dl_copy_file_mode(source, target, dl_file_mode::keep_or_default);
}

int dl_path_is_directory(const char *path) {
    if (!path) {
        log_msg(3, "NULL path!\n");
        return 0;
    }
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

extern "C" int dl_ca_cmp(const char *file1, const char *file2) {
    char md5_1[512] = {0};
    char md5_2[512] = {0};
    if (dl_get_file_md5(file1, md5_1) != 0) return -1;
    if (dl_get_file_md5(file2, md5_2) != 0) return -1;
    return std::memcmp(md5_1, md5_2, sizeof md5_1);
}

int dl_get_ca_type_stream(FILE *f) {
    char line[1024];
    for (;;) {
        std::memset(line, 0, sizeof line);
        if (!std::fgets(line, sizeof line, f)) return DL_CA_TYPE_DER;
        if (std::strstr(line, "BEGIN")) return DL_CA_TYPE_PEM;
    }
}

int dl_ca_type_of_bytes(std::string &bytes) {
    if (bytes.empty()) return DL_CA_TYPE_DER;
    durl::FilePtr mem(fmemopen(&bytes[0], bytes.size(), "r"));
    return mem ? dl_get_ca_type_stream(mem.get()) : -1;
}

int dl_get_ca_type(const char *path) {
    durl::FilePtr f(path ? std::fopen(path, "r") : nullptr);
    if (!f) return -1;
    return dl_get_ca_type_stream(f.get());
}

// A failed read leaves OpenSSL's error queue filled ("no start line" and the like); the
// callers report failures themselves, and stale entries would confuse the next TLS
// operation on this thread, so the queue is emptied.
X509 *dl_get_x509(int type, BIO *bio) {
    X509 *x = nullptr;
    if (type == DL_CA_TYPE_PEM)
        x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    else if (type == DL_CA_TYPE_DER)
        x = d2i_X509_bio(bio, nullptr);
    else
        return nullptr;
    if (!x) ERR_clear_error();
    return x;
}

EVP_PKEY *dl_get_pri_key(int type, BIO *bio) {
    EVP_PKEY *k = nullptr;
    if (type == DL_CA_TYPE_PEM)
        k = PEM_read_bio_PrivateKey(bio, nullptr, dl_password_cb, nullptr);
    else if (type == DL_CA_TYPE_DER)
        k = d2i_PrivateKey_bio(bio, nullptr);
    else
        return nullptr;
    if (!k) ERR_clear_error();
    return k;
}

int dl_password_cb(char *buf, int size, int rwflag, void *userdata) {
    (void)rwflag;
    if (!buf || size <= 0) return 0;
    if (userdata) {
        const char *phrase = static_cast<const char *>(userdata);
        int n = static_cast<int>(strnlen(phrase, static_cast<size_t>(size)));
        std::memcpy(buf, phrase, static_cast<size_t>(n));
        return n;
    }
    char pwd[512];
    {
        durl_config cfg = durl_config_snapshot(nullptr);
        size_t len = strnlen(cfg.ssl_passwd, sizeof pwd - 1);
        std::memcpy(pwd, cfg.ssl_passwd, len);
        pwd[len] = '\0';
        OPENSSL_cleanse(cfg.ssl_passwd, sizeof cfg.ssl_passwd);
    }
    size_t n = strnlen(pwd, static_cast<size_t>(size - 1));
    std::memcpy(buf, pwd, n);
    buf[n] = '\0';
    OPENSSL_cleanse(pwd, sizeof pwd);
    log_msg(6, "num is %d, pwd length:%d\n", size, static_cast<int>(n));
    return static_cast<int>(n);
}

namespace {

// Rewrite a DER certificate file as PEM under its own name. The PEM text goes to a new
// file beside the original that is renamed over it, so the certificate is never absent
// and two conversions never share a file. On failure the original stays untouched.
//
// The PEM text carries the certificate's own DER bytes when they are at hand: OpenSSL's
// re-encoding of a parsed certificate does not always parse again (a constructed parameter
// comes back as an end-of-contents pair), and the file would then lose its certificate.
bool rewrite_as_pem(const char *path, X509 *cert, const std::string *der) {
    log_msg(6, "convert to PEM code\n");
    long der_len = 0;
    if (der) {
        const auto *start = reinterpret_cast<const unsigned char *>(der->data());
        const unsigned char *p = start;
        int tag = 0, xclass = 0;
        long len = 0;
        // The certificate is the outer element; anything after it is not part of it.
        if (ASN1_get_object(&p, &len, &tag, &xclass, static_cast<long>(der->size())) == 0x20 &&
            len <= static_cast<long>(der->size()) - (p - start))
            der_len = (p - start) + len;
        ERR_clear_error();
    }
    int rc = dl_write_file_atomic(path, dl_file_mode::keep_or_default, [&](FILE *f) {
        if (der_len > 0)
            return PEM_write(f, PEM_STRING_X509, "",
                             reinterpret_cast<const unsigned char *>(der->data()), der_len) > 0;
        return PEM_write_X509(f, cert) == 1;
    });
    if (rc == DL_WRITE_NO_TEMP) {
        log_msg(3, "open file err\n");
        return false;
    }
    if (rc != DL_WRITE_OK) {
        log_msg(3, "copy file err!\n");
        return false;
    }
    return true;
}

// The library context certificates are parsed in when only their subject-name hash is
// wanted: it has no provider at all. The TLS library decodes a certificate's public key
// "opportunistically" while parsing it (a key it can't decode does not fail the parse), so
// this context accepts exactly the files the default one does, without the key decode,
// which is by far the dearest part of a parse (about ten times the rest). Store scans
// parse every entry, so this is what keeps them cheap. Made once, never changed; if it
// can't be made, the default context serves, only slower.
OSSL_LIB_CTX *keyless_ctx() {
    static OSSL_LIB_CTX *const ctx = [] {
        OSSL_LIB_CTX *c = OSSL_LIB_CTX_new();
        if (c && !OSSL_PROVIDER_load(c, "null")) {
            OSSL_LIB_CTX_free(c);
            c = nullptr;
        }
        ERR_clear_error();
        return c;
    }();
    return ctx;
}

// The first certificate of a file's bytes in the given encoding, as dl_get_x509 reads it
// (PEM: the first CERTIFICATE block; DER: one certificate), parsed without its key.
durl::X509Ptr parse_keyless(int type, const std::string &bytes) {
    durl::BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio || (type != DL_CA_TYPE_PEM && type != DL_CA_TYPE_DER)) return nullptr;
    unsigned char *data = nullptr;
    long size = 0;
    durl::OpensslCharPtr owned;
    if (type == DL_CA_TYPE_PEM) {
        char *name = nullptr;
        if (PEM_bytes_read_bio(&data, &size, &name, PEM_STRING_X509, bio.get(), nullptr, nullptr) !=
            1)
            return nullptr;
        OPENSSL_free(name);
        owned.reset(reinterpret_cast<char *>(data));
    } else {
        data = reinterpret_cast<unsigned char *>(const_cast<char *>(bytes.data()));
        size = static_cast<long>(bytes.size());
    }
    const unsigned char *p = data;
    return durl::X509Ptr(reinterpret_cast<X509 *>(
        ASN1_item_d2i_ex(nullptr, &p, size, ASN1_ITEM_rptr(X509), keyless_ctx(), nullptr)));
}

}  // namespace

extern "C" uint32_t dl_get_ca_hash(const char *file) {
    if (!file) {
        log_msg(3, "Bio_new_file error ca_file\n");
        return 0;
    }
    log_msg(7, "Bio_new_file %s\n", file);
    if (dl_path_is_directory(file)) {
        log_msg(5, "path is directory, ret\n");
        return 0;
    }
    // One open and one read: a store scan runs this for every entry.
    std::string bytes;
    dl_read_result read = dl_read_whole_file(file, bytes);
    if (read == dl_read_result::failed) {
        log_msg(3, "Bio_new_file error ca_file\n");
        return 0;
    }
    int type = -1;
    durl::X509Ptr cert;
    if (read == dl_read_result::ok) {
        type = dl_ca_type_of_bytes(bytes);
        cert = parse_keyless(type, bytes);
    } else {
        durl::BioPtr bio(BIO_new_file(file, "r"));
        type = dl_get_ca_type(file);
        cert.reset(bio ? dl_get_x509(type, bio.get()) : nullptr);
    }
    ERR_clear_error();
    if (!cert) {
        log_msg(3, "unable to load certificate ca_file\n");
        return 0;
    }
    if (type == DL_CA_TYPE_DER &&
        !rewrite_as_pem(file, cert.get(), read == dl_read_result::ok ? &bytes : nullptr))
        return 0;
    // Hashed in the default context (the keyless one has no digest).
    return static_cast<uint32_t>(
        X509_NAME_hash_ex(X509_get_subject_name(cert.get()), nullptr, nullptr, nullptr));
}
