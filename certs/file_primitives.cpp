// Certificate file primitives shared by the whole certificate half: a file's MD5 digest,
// copy, directory test, encoding detection, certificate and key readers, the PEM password
// callback, and the subject-name hash that keys the trusted CA store.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/provider.h>

#include "dl_frame.h"
#include "dl_internal.h"

int dl_get_file_md5(const char *path, char *out) {
    if (!out) {
        log_msg(DURL_LOG_ERR, "MD5 error\n");
        return -1;
    }
    log_msg(DURL_LOG_DEBUG, "dl_get_file_md5 filename:%s\n", path ? path : "");
    durl::FilePtr f(path ? std::fopen(path, "rb") : nullptr);
    if (!f) {
        log_msg(DURL_LOG_ERR, "file can't be opened\n");
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
        log_msg(DURL_LOG_ERR, "NULL path!\n");
        return 0;
    }
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

extern "C" int dl_ca_cmp(const char *file1, const char *file2) {
    return dl_entry(DL_FAILED, [&]() -> int {
        char md5_1[512] = {0};
        char md5_2[512] = {0};
        if (dl_get_file_md5(file1, md5_1) != 0) return DL_FAILED;
        if (dl_get_file_md5(file2, md5_2) != 0) return DL_FAILED;
        return std::memcmp(md5_1, md5_2, sizeof md5_1);
    });
}

int dl_get_ca_type_stream(FILE *f) {
    char line[1024];
    for (;;) {
        std::memset(line, 0, sizeof line);
        if (!std::fgets(line, sizeof line, f)) return DL_CA_TYPE_DER;
        if (std::strstr(line, "BEGIN")) return DL_CA_TYPE_PEM;
    }
}

int dl_get_ca_type(const char *path) {
    durl::FilePtr f(path ? std::fopen(path, "r") : nullptr);
    if (!f) return -1;
    return dl_get_ca_type_stream(f.get());
}

// A failed read leaves OpenSSL's error queue filled ("no start line" and the like); the
// callers report failures themselves, and stale entries would confuse the next TLS
// operation on this thread, so the queue is emptied. What it said about memory is kept for
// the caller that must not take a failed allocation for a file holding no certificate.
X509 *dl_read_x509(int type, BIO *bio, OSSL_LIB_CTX *libctx, bool *out_of_memory) {
    X509 *x = nullptr;
    if (type == DL_CA_TYPE_PEM) {
        // What PEM_read_bio_X509 does, with the decoding done in the given library context.
        unsigned char *data = nullptr;
        long size = 0;
        if (PEM_bytes_read_bio(&data, &size, nullptr, PEM_STRING_X509, bio, nullptr, nullptr) ==
            1) {
            const unsigned char *p = data;
            x = reinterpret_cast<X509 *>(
                ASN1_item_d2i_ex(nullptr, &p, size, ASN1_ITEM_rptr(X509), libctx, nullptr));
            OPENSSL_free(data);
        }
    } else if (type == DL_CA_TYPE_DER) {
        x = reinterpret_cast<X509 *>(
            ASN1_item_d2i_bio_ex(ASN1_ITEM_rptr(X509), bio, nullptr, libctx, nullptr));
    } else {
        return nullptr;
    }
    if (!x) {
        while (const unsigned long e = ERR_get_error())
            if (out_of_memory && ERR_GET_REASON(e) == (ERR_R_MALLOC_FAILURE & ERR_REASON_MASK))
                *out_of_memory = true;
    }
    return x;
}

X509 *dl_get_x509(int type, BIO *bio) { return dl_read_x509(type, bio, nullptr); }

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
    log_msg(DURL_LOG_INFO, "num is %d, pwd length:%d\n", size, static_cast<int>(n));
    return static_cast<int>(n);
}

namespace {

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

// The DER bytes that represent cert in a file written by this half: its own encoding when
// reading it back gives a certificate again. OpenSSL accepts some certificates whose
// re-encoding it cannot read back (a constructed algorithm parameter comes back as an
// end-of-contents pair); such a file would hold no certificate at all, so none is written.
// The check reads in the keyless context: it accepts the same encodings without the key
// decode, which would otherwise be the dearest step of an install.
bool readable_encoding(X509 *cert, std::string &der) {
    unsigned char *out = nullptr;
    const int n = i2d_X509(cert, &out);
    if (n <= 0) return false;
    durl::OpensslCharPtr owned(reinterpret_cast<char *>(out));
    const unsigned char *p = out;
    durl::X509Ptr again(reinterpret_cast<X509 *>(
        ASN1_item_d2i_ex(nullptr, &p, n, ASN1_ITEM_rptr(X509), keyless_ctx(), nullptr)));
    ERR_clear_error();
    if (!again) return false;
    der.assign(reinterpret_cast<const char *>(out), static_cast<size_t>(n));
    return true;
}

bool write_pem_bytes(FILE *f, const std::string &der) {
    return PEM_write(f, PEM_STRING_X509, "", reinterpret_cast<const unsigned char *>(der.data()),
                     static_cast<long>(der.size())) > 0;
}

// The outer DER element at the start of a file, when it is no larger than a certificate
// file can reasonably be (larger ones are left to the re-encoding).
bool original_der(const char *path, std::string &der) {
    constexpr long kMaxDer = 1 << 20;
    // Owned: the buffer below may fail to grow (bad_alloc), and the file must close then too.
    durl::FilePtr file(std::fopen(path, "rb"));
    FILE *f = file.get();
    if (!f) return false;
    unsigned char head[16] = {0};
    const size_t got = std::fread(head, 1, sizeof head, f);
    const unsigned char *p = head;
    long len = 0;
    int tag = 0;
    int xclass = 0;
    // Only the header is in head: the element's length is checked against the cap, and
    // the read below finds out whether the file holds that much.
    const int flags = got < 2 ? 0x80 : ASN1_get_object(&p, &len, &tag, &xclass, kMaxDer);
    ERR_clear_error();
    const long total = static_cast<long>(p - head) + len;
    bool ok = (flags & 0x80) == 0 && (flags & 0x20) && len > 0 && total <= kMaxDer;
    if (ok) {
        der.resize(static_cast<size_t>(total));
        ok = std::fseek(f, 0, SEEK_SET) == 0 && std::fread(&der[0], 1, der.size(), f) == der.size();
    }
    return ok;
}

}  // namespace

int dl_write_pem_cert(const char *target, X509 *cert) {
    std::string der;
    if (!readable_encoding(cert, der)) return DL_WRITE_FAILED;
    return dl_write_file_atomic(target, dl_file_mode::keep_or_default,
                                [&der](FILE *f) { return write_pem_bytes(f, der); });
}

namespace {

// Rewrite a DER certificate file as PEM under its own name. The PEM text goes to a new
// file beside the original that is renamed over it, so the certificate is never absent
// and two conversions never share a file. On failure the original stays untouched.
//
// The PEM text carries the file's own DER bytes: they are what was read, and OpenSSL's
// re-encoding of a parsed certificate does not always parse again.
bool rewrite_as_pem(const char *path, X509 *cert) {
    log_msg(DURL_LOG_INFO, "convert to PEM code\n");
    std::string der;
    int rc = original_der(path, der)
                 ? dl_write_file_atomic(path, dl_file_mode::keep_or_default,
                                        [&der](FILE *f) { return write_pem_bytes(f, der); })
                 : dl_write_pem_cert(path, cert);
    if (rc == DL_WRITE_NO_TEMP) {
        log_msg(DURL_LOG_ERR, "open file err\n");
        return false;
    }
    if (rc != DL_WRITE_OK) {
        log_msg(DURL_LOG_ERR, "copy file err!\n");
        return false;
    }
    return true;
}

// The whole content of a regular file small enough to be a certificate file (at most
// kMaxWhole bytes), read in one go. False for anything else, and when memory is short: the
// caller then reads the file the ordinary way, with the ordinary outcome.
constexpr size_t kMaxWhole = 16 * 1024;

bool read_whole(const char *path, std::string &bytes) {
    // Opened as dl_cert_file::open() does, for the same reasons.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    bool ok = false;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<uint64_t>(st.st_size) <= kMaxWhole) {
        try {
            // One byte beyond the size shows a file that grew meanwhile: read the ordinary way.
            bytes.resize(static_cast<size_t>(st.st_size) + 1);
            size_t got = 0;
            while (got < bytes.size()) {
                const ssize_t n = ::read(fd, &bytes[got], bytes.size() - got);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    ok = n == 0 && got > 0;
                    break;
                }
                got += static_cast<size_t>(n);
            }
            bytes.resize(ok ? got : 0);
        } catch (const std::bad_alloc &) {
            ok = false;
        }
    }
    ::close(fd);
    return ok;
}

// Subject-name hashes of PEM certificate files already parsed, by path, each with the exact
// bytes it was computed from. Every install hashes every entry of the store and of the
// factory directory to refuse a duplicate, and entries rarely change between two installs:
// parsing them again was most of an install's time. A file is answered from here only when
// its content is byte for byte the one parsed, so the answer is the one a parse would give;
// failed parses and DER files (which hashing rewrites) are never kept. Bounded: a full memo
// drops one entry per new one.
class hash_memo {
public:
    // 0 when the memo does not know these bytes under this path (or memory is short).
    uint32_t find(const char *path, const std::string &bytes) noexcept {
        std::lock_guard<std::mutex> hold(lock_);
        try {
            auto it = entries_.find(path);
            return it != entries_.end() && it->second.bytes == bytes ? it->second.hash : 0;
        } catch (const std::bad_alloc &) {
            return 0;
        }
    }

    void keep(const char *path, const std::string &bytes, uint32_t hash) noexcept {
        std::lock_guard<std::mutex> hold(lock_);
        try {
            auto it = entries_.find(path);
            if (it == entries_.end()) {
                if (entries_.size() >= kMaxEntries) entries_.erase(entries_.begin());
                it = entries_.emplace(path, entry{}).first;
            }
            it->second.hash = 0;  // a failed copy below must not pair old bytes with this hash
            it->second.bytes = bytes;
            it->second.hash = hash;
        } catch (const std::bad_alloc &) {
            // Only a missed shortcut: the next hash of this file parses it.
        }
    }

private:
    struct entry {
        std::string bytes;
        uint32_t hash = 0;
    };
    static constexpr size_t kMaxEntries = 64;
    std::mutex lock_;
    std::unordered_map<std::string, entry> entries_;
};

// Never destroyed: a thread may still hash while the process exits.
hash_memo &memo() {
    static hash_memo *const m = new hash_memo;
    return *m;
}

}  // namespace

bool dl_cert_file::open(const char *path) {
    close();
    if (!path) return false;
    // Only regular files hold certificates; O_NONBLOCK keeps open() from waiting for a
    // writer on a FIFO and means nothing for a regular file.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    FILE *f = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "r") : nullptr;
    if (!f) {
        ::close(fd);
        return false;
    }
    return attach(f);
}

bool dl_cert_file::open_memory(const std::string &bytes) {
    close();
    if (bytes.empty()) return false;
    // A stream over the bytes reads them exactly as the file's own stream would.
    FILE *f = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "r");
    return f && attach(f);
}

bool dl_cert_file::attach(FILE *f) {
    bio_.reset(BIO_new_fp(f, BIO_CLOSE));
    if (!bio_) {
        std::fclose(f);
        return false;
    }
    file_ = f;
    type_ = dl_get_ca_type_stream(f);
    rewind();
    return true;
}

void dl_cert_file::close() {
    bio_.reset();
    file_ = nullptr;
    type_ = -1;
    read_any_ = false;
    out_of_memory_ = false;
}

void dl_cert_file::rewind() {
    if (bio_) BIO_reset(bio_.get());
}

bool dl_cert_file::read_error() const { return file_ && std::ferror(file_); }

durl::X509Ptr dl_cert_file::certificate(bool keyless) {
    if (!bio_) return nullptr;
    OSSL_LIB_CTX *ctx = keyless ? keyless_ctx() : nullptr;
    const bool first = !read_any_;
    read_any_ = true;
    durl::X509Ptr cert(dl_read_x509(type_, bio_.get(), ctx, &out_of_memory_));
    // The encoding is only guessed from a line holding "BEGIN": a DER certificate's bytes
    // can hold those letters too (in a name, a key, a signature), and OpenSSL's PEM reader
    // reads long lines in pieces, so it may find a block the guess did not see. A file that
    // yields nothing in the guessed encoding is read in the other one from its start, which
    // is what OpenSSL's own loader (PEM, else DER) finds in it.
    if (!cert && first && (type_ == DL_CA_TYPE_PEM || type_ == DL_CA_TYPE_DER) && !read_error()) {
        const int other = type_ == DL_CA_TYPE_PEM ? DL_CA_TYPE_DER : DL_CA_TYPE_PEM;
        rewind();
        cert.reset(dl_read_x509(other, bio_.get(), ctx, &out_of_memory_));
        if (cert) type_ = other;
    }
    return cert;
}

durl::X509Ptr dl_cert_file::first_certificate(const char *path, const char *open_failed,
                                              const char *no_certificate, bool keyless) {
    const char *failed = open_failed;
    durl::X509Ptr cert;
    if (open(path)) {
        cert = certificate(keyless);
        failed = no_certificate;
    }
    if (!cert && failed) log_msg(DURL_LOG_ERR, "%s", failed);
    return cert;
}

durl::EvpPkeyPtr dl_cert_file::private_key() {
    return durl::EvpPkeyPtr(bio_ ? dl_get_pri_key(type_, bio_.get()) : nullptr);
}

durl::EvpPkeyPtr dl_cert_file::pem_private_key(pem_password_cb *cb) {
    durl::EvpPkeyPtr key(bio_ ? PEM_read_bio_PrivateKey(bio_.get(), nullptr, cb, nullptr)
                              : nullptr);
    if (!key) ERR_clear_error();
    return key;
}

uint32_t dl_read_ca_hash(const char *file, durl::X509Ptr *keep) {
    if (!file) {
        log_msg(DURL_LOG_ERR, "Bio_new_file error ca_file\n");
        return 0;
    }
    log_msg(DURL_LOG_DEBUG, "Bio_new_file %s\n", file);
    if (dl_path_is_directory(file)) {
        log_msg(DURL_LOG_NOTICE, "path is directory, ret\n");
        return 0;
    }
    // The file is read once, whole: the memo is looked up and, when it does not know these
    // bytes, they are parsed, so what the memo keeps is exactly what was parsed.
    std::string bytes;
    const bool whole = read_whole(file, bytes);
    if (whole && !keep)
        if (const uint32_t known = memo().find(file, bytes)) return known;
    dl_cert_file in;
    const bool opened = whole ? in.open_memory(bytes) : in.open(file);
    // Store scans hash every entry: only names are wanted, so the key is not decoded.
    durl::X509Ptr cert = opened ? in.certificate(true) : nullptr;
    if (!cert) {
        log_msg(DURL_LOG_ERR, "%s",
                opened ? "unable to load certificate ca_file\n" : "Bio_new_file error ca_file\n");
        return 0;
    }
    if (in.type() == DL_CA_TYPE_DER && !rewrite_as_pem(file, cert.get())) return 0;
    // Hashed in the default context (the keyless one has no digest).
    const uint32_t hash = static_cast<uint32_t>(
        X509_NAME_hash_ex(X509_get_subject_name(cert.get()), nullptr, nullptr, nullptr));
    if (whole && hash != 0 && in.type() == DL_CA_TYPE_PEM) memo().keep(file, bytes, hash);
    if (keep) *keep = std::move(cert);
    return hash;
}

extern "C" uint32_t dl_get_ca_hash(const char *file) {
    return dl_entry(0u, [&] { return dl_read_ca_hash(file, nullptr); });
}
