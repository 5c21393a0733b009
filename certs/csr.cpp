// Certificate signing request file: the device's request for a certificate from an outside
// authority, for a key it keeps (reused from the key file, or made by the seeded generator).
#include <openssl/pem.h>

#include "dl_internal.h"

namespace {

// Result codes of dl_cert_build_csr_req_file beyond the key step's.
enum {
    DL_CSR_OK = 0,
    DL_CSR_BAD_ARGUMENT = 1,
    DL_CSR_NO_REQUEST = 13,
    DL_CSR_MAKE_FAILED = 14,
    DL_CSR_SIGN_FAILED = 15,
    DL_CSR_VERIFY_FAILED = 16,
    DL_CSR_WRITE_FAILED = 17
};

int dl_build_csr(const char *csr_file, const char *key_file, const char *subject, int key_bits) {
    // Requests go to outside authorities that expect SHA-1, whatever ssl_sign_algo says.
    const EVP_MD *md = EVP_sha1();
    log_msg(6, "key bits [%d], subject: [%s]\n", key_bits, subject);

    char cn[512];
    dl_subject_common_name(subject, cn);
    const durl_config cfg = durl_config_snapshot(nullptr);
    const dl_rand_fn gen = cfg.ssl_extra_flag ? dl_ssleay_open_rand_bytes : dl_ssleay_rand_bytes;
    durl::EvpPkeyPtr key;
    int reused = 0;
    const int rc =
        dl_seeded_build_key(key_file, key_bits, cn, cfg.env_randomness, gen, key, reused);
    if (rc != DL_KEY_OK) {
        log_msg(3, "dl_cert_build_rsa_key() fail\n");
        return rc;
    }
    log_msg(7, "build key success\n");

    durl::X509ReqPtr req(X509_REQ_new());
    if (!req) return DL_CSR_NO_REQUEST;
    if (dl_make_REQ(req.get(), key.get(), subject, MBSTRING_UTF8) != 0) return DL_CSR_MAKE_FAILED;
    if (X509_REQ_sign(req.get(), key.get(), md) <= 0) return DL_CSR_SIGN_FAILED;
    if (X509_REQ_verify(req.get(), key.get()) <= 0) return DL_CSR_VERIFY_FAILED;

    // The key first: a request whose key was lost would be worthless once the certificate
    // comes back, while a kept key is simply reused by the next call.
    if (!reused && dl_cert_write_key(key_file, key.get()) != 0) {
        log_msg(3, "write key file %s failed\n", key_file);
        return DL_CSR_WRITE_FAILED;
    }
    X509_REQ *request = req.get();
    const int written =
        dl_write_file_atomic(csr_file, dl_file_mode::keep_or_default,
                             [request](FILE *f) { return PEM_write_X509_REQ(f, request) == 1; });
    if (written != DL_WRITE_OK) {
        log_msg(3, "write request file %s failed\n", csr_file);
        return DL_CSR_WRITE_FAILED;
    }
    return DL_CSR_OK;
}

}  // namespace

extern "C" int dl_cert_build_csr_req_file(const char *csr_file, const char *key_file,
                                          const char *subject, int key_bits) {
    if (!csr_file || !key_file || !subject) {
        log_msg(3, "Invalid Parameter\n");
        return DL_CSR_BAD_ARGUMENT;
    }
    try {
        return dl_build_csr(csr_file, key_file, subject, key_bits);
    } catch (...) {
        // Nothing may escape to C callers; an allocation failure here is a failed write.
        return DL_CSR_WRITE_FAILED;
    }
}
