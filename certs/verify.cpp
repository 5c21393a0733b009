// Certificate verification: the exported chain check against a trusted CA file and a hashed
// CA directory, and the "advance" check that a file is a complete PEM device credential.
//
// Everything a verification needs (the error it recorded, the standard-error BIO) lives in
// the call, so verifications may run on several threads at once.
#include <cstdio>
#include <cstring>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "dl_frame.h"
#include "dl_internal.h"

namespace {

// Errors the device tolerates in a chain: stale CRLs, self-signed leaves, CA certificates
// without the CA flag, long paths, purpose mismatches and unknown critical extensions.
bool dl_cb_tolerated(int err) {
    switch (err) {
        case X509_V_ERR_CRL_NOT_YET_VALID:
        case X509_V_ERR_CRL_HAS_EXPIRED:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        case X509_V_ERR_INVALID_PURPOSE:
        case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
            return true;
        default:
            return false;
    }
}

// Status code for the verification error that stopped the chain check.
int32_t dl_verify_code(int verify_error) {
    switch (verify_error) {
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return DL_STATUS_BAD_SIGNATURE;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return DL_STATUS_NOT_YET_VALID;
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return DL_STATUS_EXPIRED;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return DL_STATUS_NO_ISSUER;
        default:
            return DL_STATUS_NOT_VERIFIED;
    }
}

// The advance check: the file must be a complete PEM device credential for the configured
// protocol. Returns 0 or the status code of the failure (message filled as the code says).
int32_t dl_verify_advance(const char *cert_file, dl_ca_status *status) {
    log_msg(DURL_LOG_INFO, "verify advance\n");
    const int32_t version = durl_config_snapshot(nullptr).ssl_version;
    switch (dl_check_pair(cert_file, version, "Can't load private key from ser_ca_file")) {
        case dl_pair_result::ok:
            return DL_OK;
        case dl_pair_result::wrong_method:
            return DL_STATUS_WRONG_METHOD;
        case dl_pair_result::no_certificate:
            snprintf(status->message, sizeof status->message, "Can't load public key\n");
            return DL_STATUS_NO_CERTIFICATE;
        case dl_pair_result::no_key:
            snprintf(status->message, sizeof status->message, "Can't load private key\n");
            return DL_STATUS_NO_PRIVATE_KEY;
        case dl_pair_result::mismatch:
            snprintf(status->message, sizeof status->message, "Private key does not match");
            return DL_STATUS_KEY_MISMATCH;
        default:
            return DL_STATUS_TLS_FAILURE;
    }
}

// Standard error as an OpenSSL BIO, made only when a text must go there; freeing it never
// closes the stream.
class dl_stderr_bio {
public:
    void error_loading(const char *what, const char *path) {
        if (!bio_) bio_.reset(BIO_new_fp(stderr, BIO_NOCLOSE | BIO_FP_TEXT));
        if (bio_) BIO_printf(bio_.get(), "Error loading %s %s\n", what, path);
    }

private:
    durl::BioPtr bio_;
};

// One trust source of the store: the given file or directory (PEM), or OpenSSL's default
// when none is given (whose outcome does not matter). Returns 0 or status code 2.
int32_t dl_add_trust_source(X509_STORE *store, X509_LOOKUP_METHOD *method, int cmd,
                            const char *path, const char *what, const char *call,
                            dl_stderr_bio &bio_err) {
    X509_LOOKUP *lookup = X509_STORE_add_lookup(store, method);
    if (!lookup) return DL_STATUS_TLS_FAILURE;
    if (!path) {
        X509_LOOKUP_ctrl(lookup, cmd, nullptr, X509_FILETYPE_DEFAULT, nullptr);
        return DL_OK;
    }
    if (X509_LOOKUP_ctrl(lookup, cmd, path, X509_FILETYPE_PEM, nullptr) == 1) return DL_OK;
    bio_err.error_loading(what, path);
    log_msg(DURL_LOG_ERR, "%s error: %lu\n", call, ERR_get_error());
    return DL_STATUS_TLS_FAILURE;
}

// Builds the store from the trust file and directory. Returns 0 or status code 2.
int32_t dl_load_trust(X509_STORE *store, const char *trust_dir, const char *trust_file,
                      dl_stderr_bio &bio_err) {
    const int32_t file = dl_add_trust_source(store, X509_LOOKUP_file(), X509_L_FILE_LOAD,
                                             trust_file, "file", "X509_LOOKUP_load_file", bio_err);
    if (file != 0) return file;
    return dl_add_trust_source(store, X509_LOOKUP_hash_dir(), X509_L_ADD_DIR, trust_dir,
                               "directory", "X509_LOOKUP_add_dir", bio_err);
}

// First certificate of the file, PEM or DER, or none.
durl::X509Ptr dl_read_first_cert(const char *cert_file) {
    dl_cert_file in;
    return in.first_certificate(cert_file, "Bio_new_file error ca_file\n", nullptr);
}

// Runs the verification proper. Returns the OpenSSL verification error, 0 when the chain
// verified, or -1 when the certificate could not be read or the context not set up.
int dl_run_chain(X509_STORE *store, const char *cert_file) {
    durl::X509Ptr cert = dl_read_first_cert(cert_file);
    if (!cert) return -1;
    log_msg(DURL_LOG_INFO, "%s: \n", cert_file);
    durl::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!ctx) {
        log_msg(DURL_LOG_ERR, "X509_STORE_CTX_new error: %lu\n", ERR_get_error());
        return -1;
    }
    X509_STORE_set_flags(store, 0);
    if (!X509_STORE_CTX_init(ctx.get(), store, cert.get(), nullptr)) {
        log_msg(DURL_LOG_ERR, "X509_STORE_CTX_init error: %lu\n", ERR_get_error());
        return -1;
    }
    if (X509_verify_cert(ctx.get()) == 1) return 0;
    const int err = X509_STORE_CTX_get_error(ctx.get());
    // A failure that recorded no verification error is still a failure.
    return err == X509_V_OK ? -1 : err;
}

// The chain check. Returns 0 or the status code (message filled for verification failures).
int32_t dl_verify_chain(const char *cert_file, const char *trust_dir, const char *trust_file,
                        dl_ca_status *status) {
    durl::X509StorePtr store(X509_STORE_new());
    if (!store) return DL_STATUS_TLS_FAILURE;
    X509_STORE_set_verify_cb(store.get(), dl_cb);
    dl_stderr_bio bio_err;
    ERR_clear_error();
    const int32_t load = dl_load_trust(store.get(), trust_dir, trust_file, bio_err);
    if (load != 0) return load;

    const int result = dl_run_chain(store.get(), cert_file);
    if (result == 0) {
        log_msg(DURL_LOG_INFO, "OK\n");
        return DL_OK;
    }
    const int verify_error = result > 0 ? result : 0;
    log_msg(DURL_LOG_ERR, "X509_verify_cert error: %lu\n", ERR_get_error());
    snprintf(status->message, sizeof status->message, "verify err:%s",
             verify_error ? X509_verify_cert_error_string(verify_error) : "");
    return dl_verify_code(verify_error);
}

}  // namespace

int dl_cb(int ok, X509_STORE_CTX *ctx) {
    X509 *current = X509_STORE_CTX_get_current_cert(ctx);
    if (ok) return ok;
    char subject[256] = "";
    if (current) X509_NAME_oneline(X509_get_subject_name(current), subject, sizeof subject);
    const int err = X509_STORE_CTX_get_error(ctx);
    log_msg(DURL_LOG_NOTICE, "%s\n", subject);
    log_msg(DURL_LOG_NOTICE, "verify dl_cb error %d at %d depth lookup:%s\n", err,
            X509_STORE_CTX_get_error_depth(ctx), X509_verify_cert_error_string(err));
    return dl_cb_tolerated(err) ? 1 : 0;
}

extern "C" int dl_cert_verify(const char *cert_file, const char *trust_dir, const char *trust_file,
                              int flags, dl_ca_status *status) {
    return dl_entry(DL_FAILED, status, DL_STATUS_TLS_FAILURE, [&]() -> int {
        if (!cert_file || !status) {
            log_msg(DURL_LOG_ERR, "Invalid Parameter\n");
            if (status) status->code = DL_STATUS_BAD_ARGUMENT;
            return DL_FAILED;
        }
        memset(status, 0, sizeof *status);
        if (SSL_library_init() == 0) {
            log_msg(DURL_LOG_ERR, "SSL_library_init error\n");
            status->code = DL_STATUS_TLS_FAILURE;
            return DL_FAILED;
        }
        if (flags & DL_VERIFY_ADVANCE) {
            status->code = dl_verify_advance(cert_file, status);
            if (status->code != 0) return DL_FAILED;
        }
        status->code = dl_verify_chain(cert_file, trust_dir, trust_file, status);
        return status->code == DL_OK ? DL_OK : DL_FAILED;
    });
}
