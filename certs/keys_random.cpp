// Subject names, keys and the seeded generator shared by certificate issuance and signing
// requests.
//
// The same seed setting, common name and key size must always give the same RSA key, so key
// generation draws from a deterministic generator while it runs. OpenSSL 3 only calls a
// RAND_METHOD that differs from its own, so the generator goes in as a copy of the current
// method with `bytes` replaced, and that replacement serves only the generating thread:
// every other thread (TLS handshakes above all) keeps drawing from OpenSSL's generator.
#include <unistd.h>
#include <cstdlib>  // initstate_r, random_r

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/md5.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "dl_internal.h"

namespace {

// ---------------------------------------------------------------- subject text

// Copies one escaped token into w until `stop` (consumed) or the end of text. Returns false
// on a backslash at the very end. `stopped` tells whether `stop` ended the token.
bool dl_copy_token(const char *&p, char *&w, char stop, bool &stopped) {
    stopped = false;
    while (*p) {
        if (*p == '\\') {
            if (!p[1]) return false;
            *w++ = p[1];
            p += 2;
        } else if (*p == stop) {
            ++p;
            stopped = true;
            break;
        } else {
            *w++ = *p++;
        }
    }
    *w++ = '\0';
    return true;
}

// Splits subject text into NUL-terminated types and values inside work. Returns the number
// of elements, or -1 when the text does not parse.
long dl_split_subject(const char *subject, char *work, char **types, char **values, size_t cap) {
    const char *p = subject;
    if (*p != '/') return -1;
    ++p;
    char *w = work;
    size_t n = 0;
    while (*p) {
        if (n == cap) return -1;
        bool stopped = false;
        types[n] = w;
        if (!dl_copy_token(p, w, '=', stopped) || !stopped || !*p) return -1;
        values[n] = w;
        if (!dl_copy_token(p, w, '/', stopped)) return -1;
        ++n;
    }
    return static_cast<long>(n);
}

// ---------------------------------------------------------------- generator state

// Fixed constants of the generator; keys agree across builds only while these agree.
constexpr uint32_t kStartupSeed = 0x2F6B1D35u;
constexpr uint32_t kCountInit0 = 0x00000001u;
constexpr uint32_t kCountInit1 = 0x444C4341u;

struct dl_gen_state {
    unsigned char dl_rnd[16];      // seed block from the env_randomness setting
    unsigned char md_subject[16];  // running digest, starts as the common-name text
    uint32_t dl_md_count[2];       // call counter
    int32_t initialized;           // start-up step done since the last cleanup
};

dl_gen_state g_gen = {{0}, {0}, {kCountInit0, kCountInit1}, 0};
// Guards g_gen: OpenSSL 3 has no random lock of its own to borrow.
std::mutex g_gen_lock;
// Serialises seeded key generations (install, generate, restore).
std::mutex g_keygen_lock;

// Start-up numbers: the congruential generator, independent of the platform.
void dl_startup_lcg(unsigned char md[16]) {
    uint32_t x = kStartupSeed;
    for (int i = 0; i < 16; ++i) {
        x = x * 1103515245u + 12345u;
        md[i] = static_cast<unsigned char>(md[i] + ((x >> 16) & 0x7FFF));
    }
}

// Start-up numbers: the C library's srand/rand sequence, drawn from a private state so the
// process's own rand() sequence is left alone.
void dl_startup_libc(unsigned char md[16]) {
    char state_buf[128] = {0};  // the size of the C library's default rand state
    random_data state;
    memset(&state, 0, sizeof state);
    initstate_r(kStartupSeed, state_buf, sizeof state_buf, &state);
    for (int i = 0; i < 16; ++i) {
        int32_t number = 0;
        random_r(&state, &number);
        md[i] = static_cast<unsigned char>(md[i] + number);
    }
}

using dl_startup_fn = void (*)(unsigned char md[16]);

void dl_md5(const unsigned char *a, size_t alen, const unsigned char *b, size_t blen,
            const unsigned char *c, size_t clen, unsigned char out[16]) {
    MD5_CTX ctx;
    MD5_Init(&ctx);
    if (alen) MD5_Update(&ctx, a, alen);
    if (blen) MD5_Update(&ctx, b, blen);
    if (clen) MD5_Update(&ctx, c, clen);
    MD5_Final(out, &ctx);
}

// One generator call: blocks of 8 bytes from MD5(seed block (first block only) | digest |
// counter), then the running digest moves on.
int dl_ssleay_get_rand_bytes(unsigned char *buf, int num, dl_startup_fn startup) {
    if (num <= 0) return 1;
    std::lock_guard<std::mutex> guard(g_gen_lock);
    if (!g_gen.initialized) {
        startup(g_gen.md_subject);
        g_gen.initialized = 1;
    }
    unsigned char local_md[16];
    unsigned char count[8];
    memcpy(local_md, g_gen.md_subject, sizeof local_md);
    for (int w = 0; w < 2; ++w)
        for (int b = 0; b < 4; ++b)
            count[w * 4 + b] = static_cast<unsigned char>(g_gen.dl_md_count[w] >> (8 * b));
    g_gen.dl_md_count[0] += 1;

    unsigned char digest[16] = {0};
    for (int done = 0; done < num; done += 8) {
        const bool first = done == 0;
        dl_md5(g_gen.dl_rnd, first ? sizeof g_gen.dl_rnd : 0, local_md, sizeof local_md, count,
               sizeof count, digest);
        const int take = num - done < 8 ? num - done : 8;
        memcpy(buf + done, digest + 8, static_cast<size_t>(take));
    }
    unsigned char next[16];
    dl_md5(digest, sizeof digest, g_gen.md_subject, sizeof g_gen.md_subject, nullptr, 0, next);
    memcpy(g_gen.md_subject, next, sizeof next);
    OPENSSL_cleanse(next, sizeof next);
    OPENSSL_cleanse(digest, sizeof digest);
    return 1;
}

// Copies text into a 16-byte block the way strncpy does: NUL padding, no terminator.
void dl_fill_block(unsigned char block[16], const char *text) {
    memset(block, 0, 16);
    for (size_t i = 0; i < 16 && text[i]; ++i) block[i] = static_cast<unsigned char>(text[i]);
}

// ---------------------------------------------------------------- installation

// The generator this thread draws from while it generates a key; null on every other thread.
thread_local dl_rand_fn t_seeded_gen = nullptr;
// OpenSSL's own bytes function of the method that was in place, for everybody else.
std::atomic<int (*)(unsigned char *, int)> g_forward_bytes{nullptr};

int dl_seeded_dispatch(unsigned char *buf, int num) {
    if (dl_rand_fn gen = t_seeded_gen) return gen(buf, num);
    auto forward = g_forward_bytes.load(std::memory_order_acquire);
    return forward ? forward(buf, num) : 0;
}

// The installed method. It stays alive for the life of the process, because a thread on its
// way into it may still hold the pointer briefly after the original is back.
RAND_METHOD g_seeded_method;
const RAND_METHOD *g_seeded_copied_from = nullptr;

// Puts the seeded method in place for the calling thread's key generation and the original
// back when it goes out of scope, on every path. Callers hold g_keygen_lock.
class dl_seeded_install {
public:
    explicit dl_seeded_install(dl_rand_fn gen) : original_(RAND_get_rand_method()) {
        if (!original_ || !original_->bytes || original_ == &g_seeded_method) return;
        if (g_seeded_copied_from != original_) {
            // Rewritten only when the process's method itself changed, never while ours is in.
            g_seeded_method = *original_;
            g_seeded_method.bytes = dl_seeded_dispatch;
            g_seeded_copied_from = original_;
        }
        g_forward_bytes.store(original_->bytes, std::memory_order_release);
        t_seeded_gen = gen;
        installed_ = RAND_set_rand_method(&g_seeded_method) == 1;
    }
    ~dl_seeded_install() {
        t_seeded_gen = nullptr;
        if (installed_) RAND_set_rand_method(original_);
    }
    bool installed() const { return installed_; }
    dl_seeded_install(const dl_seeded_install &) = delete;
    dl_seeded_install &operator=(const dl_seeded_install &) = delete;

private:
    const RAND_METHOD *original_;
    bool installed_ = false;
};

// ---------------------------------------------------------------- key file

// True when the last PEM read failed on an encrypted key that needs a pass phrase.
bool dl_failed_on_encrypted_key() {
    bool encrypted = false;
    while (unsigned long err = ERR_get_error()) {
        const int reason = ERR_GET_REASON(err);
        if (reason == PEM_R_BAD_PASSWORD_READ || reason == PEM_R_PROBLEMS_GETTING_PASSWORD ||
            reason == PEM_R_BAD_DECRYPT)
            encrypted = true;
    }
    return encrypted;
}

durl::EvpPkeyPtr dl_generate_rsa(int bits) {
    durl::BignumPtr e(BN_new());
    durl::RsaPtr rsa(RSA_new());
    if (!e || !rsa || !BN_set_word(e.get(), RSA_F4)) return nullptr;
    if (RSA_generate_key_ex(rsa.get(), bits, e.get(), nullptr) != 1) return nullptr;
    durl::EvpPkeyPtr key(EVP_PKEY_new());
    if (!key || EVP_PKEY_set1_RSA(key.get(), rsa.get()) != 1) return nullptr;
    return key;
}

}  // namespace

// ---------------------------------------------------------------- subject text

X509_NAME *dl_do_subject(const char *subject, unsigned long chtype) {
    if (!subject) return nullptr;
    const size_t len = strlen(subject);
    const size_t cap = (len + 1) / 2 + 1;
    durl::OpensslCharPtr work(static_cast<char *>(OPENSSL_malloc(len + 1)));
    std::unique_ptr<char *, durl::Free<durl::free_openssl>> types(
        static_cast<char **>(OPENSSL_malloc(cap * sizeof(char *))));
    std::unique_ptr<char *, durl::Free<durl::free_openssl>> values(
        static_cast<char **>(OPENSSL_malloc(cap * sizeof(char *))));
    if (!work || !types || !values) return nullptr;
    const long n = dl_split_subject(subject, work.get(), types.get(), values.get(), cap);
    if (n < 0) return nullptr;

    durl::X509NamePtr name(X509_NAME_new());
    if (!name) return nullptr;
    for (long i = 0; i < n; ++i) {
        const int nid = OBJ_txt2nid(types.get()[i]);
        const char *value = values.get()[i];
        if (nid == NID_undef || !*value) continue;
        if (!X509_NAME_add_entry_by_NID(name.get(), nid, static_cast<int>(chtype),
                                        reinterpret_cast<const unsigned char *>(value), -1, -1, 0))
            return nullptr;
    }
    return name.release();
}

int dl_build_subject(X509_REQ *req, const char *subject, unsigned long chtype) {
    durl::X509NamePtr name(dl_do_subject(subject, chtype));
    if (!name) return 0;
    return X509_REQ_set_subject_name(req, name.get()) == 1 ? 1 : 0;
}

int dl_make_REQ(X509_REQ *req, EVP_PKEY *pkey, const char *subject, unsigned long chtype) {
    if (!req || !pkey) return -1;
    if (!X509_REQ_set_version(req, 0)) return -1;
    if (!dl_build_subject(req, subject, chtype)) return -1;
    return X509_REQ_set_pubkey(req, pkey) == 1 ? 0 : -1;
}

void dl_subject_common_name(const char *subject, char out[512]) {
    memset(out, 0, 512);
    const char *cn = subject ? strstr(subject, "CN=") : nullptr;
    if (!cn) return;
    cn += 3;
    size_t i = 0;
    while (i < 511 && cn[i] && cn[i] != '/') {
        out[i] = cn[i];
        ++i;
    }
    log_msg(DURL_LOG_DEBUG, "buffer is %s\n", out);
}

// ---------------------------------------------------------------- key file

int dl_no_password_cb(char * /*buf*/, int /*size*/, int /*rwflag*/, void * /*userdata*/) {
    return -1;
}

int dl_cert_build_rsa_key(const char *key_file, int bits, durl::EvpPkeyPtr &key, int &reused) {
    if (access(key_file, F_OK) == 0) {
        durl::BioPtr bio(BIO_new(BIO_s_file()));
        if (!bio) return DL_CSR_FILE_FAILED;
        if (BIO_read_filename(bio.get(), key_file) <= 0) return DL_CSR_KEY_UNREADABLE;
        ERR_clear_error();
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, dl_no_password_cb, nullptr));
        if (key) {
            reused = 1;
            return DL_OK;
        }
        if (dl_failed_on_encrypted_key()) {
            // A key we can't open is still a key: never destroy it.
            log_msg(DURL_LOG_ERR, "key file %s holds an encrypted key, kept\n", key_file);
            return DL_CSR_KEY_UNREADABLE;
        }
        log_msg(DURL_LOG_ERR, "prikey err,create new\n");
        bio.reset();
        unlink(key_file);
    }
    key = dl_generate_rsa(bits);
    return key ? DL_OK : DL_CSR_KEY_GEN_FAILED;
}

int dl_cert_write_key(const char *key_file, EVP_PKEY *key) {
    const int rc = dl_write_file_atomic(key_file, dl_file_mode::owner_only, [key](FILE *f) {
        return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    });
    return rc == DL_WRITE_OK ? 0 : -1;
}

// ---------------------------------------------------------------- generator

int dl_ssleay_rand_bytes(unsigned char *buf, int num) {
    return dl_ssleay_get_rand_bytes(buf, num, dl_startup_lcg);
}

int dl_ssleay_open_rand_bytes(unsigned char *buf, int num) {
    return dl_ssleay_get_rand_bytes(buf, num, dl_startup_libc);
}

void dl_ssleay_rand_cleanup() {
    std::lock_guard<std::mutex> guard(g_gen_lock);
    g_gen.initialized = 0;
    g_gen.dl_md_count[0] = kCountInit0;
    g_gen.dl_md_count[1] = kCountInit1;
    OPENSSL_cleanse(g_gen.md_subject, sizeof g_gen.md_subject);
    OPENSSL_cleanse(g_gen.dl_rnd, sizeof g_gen.dl_rnd);
}

int dl_seeded_build_key(const char *key_file, int bits, const char *cn, const char *seed_text,
                        dl_rand_fn gen, durl::EvpPkeyPtr &key, int &reused) {
    std::lock_guard<std::mutex> keygen(g_keygen_lock);
    dl_ssleay_rand_cleanup();
    {
        std::lock_guard<std::mutex> guard(g_gen_lock);
        dl_fill_block(g_gen.dl_rnd, seed_text);
        dl_fill_block(g_gen.md_subject, cn);
    }
    dl_seeded_install install(gen);
    if (!install.installed()) {
        // Without the generator the key would come out random: refuse rather than mislead.
        log_msg(DURL_LOG_ERR, "seeded generator can't be installed\n");
        return DL_CSR_KEY_GEN_FAILED;
    }
    return dl_cert_build_rsa_key(key_file, bits, key, reused);
}
