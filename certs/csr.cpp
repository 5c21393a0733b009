// Certificate signing requests: the device's request for a certificate from an outside
// authority, for a key it keeps (reused from the key file, or made by the seeded generator),
// and the signed request that client certificate issuance starts from as well.
#include <openssl/pem.h>

#include "dl_frame.h"
#include "dl_internal.h"

int dl_keyed_request::keep_new_key(const char *key_file) const {
    if (reused || dl_cert_write_key(key_file, key.get()) == 0) return DL_OK;
    log_msg(DURL_LOG_ERR, "write key file %s failed\n", key_file);
    return DL_CSR_FILE_FAILED;
}

int dl_keyed_request_for(const char *key_file, int key_bits, const char *subject, const char *cn,
                         const char *seed_text, dl_rand_fn gen, const EVP_MD *md,
                         dl_keyed_request &out) {
    const int rc = dl_seeded_build_key(key_file, key_bits, cn, seed_text, gen, out.key, out.reused);
    if (rc != DL_OK) {
        log_msg(DURL_LOG_ERR, "dl_cert_build_rsa_key() fail\n");
        return rc;
    }
    log_msg(DURL_LOG_DEBUG, "build key success\n");
    out.req.reset(X509_REQ_new());
    if (!out.req) return DL_CSR_NO_REQUEST;
    if (dl_make_REQ(out.req.get(), out.key.get(), subject, MBSTRING_UTF8) != 0)
        return DL_CSR_MAKE_FAILED;
    if (X509_REQ_sign(out.req.get(), out.key.get(), md) <= 0) return DL_CSR_SIGN_FAILED;
    if (X509_REQ_verify(out.req.get(), out.key.get()) <= 0) return DL_CSR_VERIFY_FAILED;
    return DL_OK;
}

namespace {

int dl_build_csr(const char *csr_file, const char *key_file, const char *subject, int key_bits) {
    // Requests go to outside authorities that expect SHA-1, whatever ssl_sign_algo says.
    const EVP_MD *md = EVP_sha1();
    log_msg(DURL_LOG_INFO, "key bits [%d], subject: [%s]\n", key_bits, subject);

    char cn[512];
    dl_subject_common_name(subject, cn);
    const durl_config cfg = durl_config_snapshot(nullptr);
    const dl_rand_fn gen = cfg.ssl_extra_flag ? dl_ssleay_open_rand_bytes : dl_ssleay_rand_bytes;
    dl_keyed_request made;
    int rc =
        dl_keyed_request_for(key_file, key_bits, subject, cn, cfg.env_randomness, gen, md, made);
    if (rc == DL_OK) rc = made.keep_new_key(key_file);
    if (rc != DL_OK) return rc;
    X509_REQ *request = made.req.get();
    const int written =
        dl_write_file_atomic(csr_file, dl_file_mode::keep_or_default,
                             [request](FILE *f) { return PEM_write_X509_REQ(f, request) == 1; });
    if (written != DL_WRITE_OK) {
        log_msg(DURL_LOG_ERR, "write request file %s failed\n", csr_file);
        return DL_CSR_FILE_FAILED;
    }
    return DL_OK;
}

}  // namespace

extern "C" int dl_cert_build_csr_req_file(const char *csr_file, const char *key_file,
                                          const char *subject, int key_bits) {
    return dl_entry(DL_CSR_FILE_FAILED, [&]() -> int {
        if (!csr_file || !key_file || !subject) {
            log_msg(DURL_LOG_ERR, "Invalid Parameter\n");
            return DL_CSR_BAD_ARGUMENT;
        }
        return dl_build_csr(csr_file, key_file, subject, key_bits);
    });
}
