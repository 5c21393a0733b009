// The key/certificate pair check of a device credential: one PEM file holding a certificate
// and its private key, loaded into a TLS context of the configured protocol exactly as a
// TLS client would load it. Both the device certificate install and the advance check of a
// verification run it.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "dl_internal.h"
#include "tls_version.h"

namespace {

// A context speaking only the selector's protocol (any protocol for selector 3); nullptr
// when the protocol no longer exists in this TLS library or the context can't be made.
durl::SslCtxPtr context_for(const durl_tls_version &v) {
    if (v.tls_version < 0) return nullptr;
    durl::SslCtxPtr ctx(SSL_CTX_new(TLS_method()));
    if (ctx && v.tls_version > 0 &&
        (SSL_CTX_set_min_proto_version(ctx.get(), v.tls_version) != 1 ||
         SSL_CTX_set_max_proto_version(ctx.get(), v.tls_version) != 1))
        ctx.reset();
    return ctx;
}

// This TLS library checks a key against the context's certificate while loading it and
// refuses one of another pair there; that refusal still means "the pair does not match",
// which the check after it then reports.
bool key_mismatch_queued() {
    bool mismatch = false;
    while (unsigned long e = ERR_get_error())
        if (ERR_GET_LIB(e) == ERR_LIB_X509 && (ERR_GET_REASON(e) == X509_R_KEY_VALUES_MISMATCH ||
                                               ERR_GET_REASON(e) == X509_R_KEY_TYPE_MISMATCH))
            mismatch = true;
    return mismatch;
}

dl_pair_result load_pair(SSL_CTX *ctx, const char *file, const char *key_failure_log) {
    // An encrypted key is opened with the ssl_passwd setting.
    SSL_CTX_set_default_passwd_cb(ctx, dl_password_cb);
    if (!file || SSL_CTX_load_verify_locations(ctx, file, nullptr) != 1) {
        log_msg(DURL_LOG_ERR, "Can't open ca file ser_ca_file\n");
        return dl_pair_result::no_ca_file;
    }
    if (SSL_CTX_use_certificate_file(ctx, file, SSL_FILETYPE_PEM) != 1) {
        log_msg(DURL_LOG_ERR, "Can't load public key from ser_ca_file\n");
        return dl_pair_result::no_certificate;
    }
    ERR_clear_error();
    if (SSL_CTX_use_PrivateKey_file(ctx, file, SSL_FILETYPE_PEM) != 1 && !key_mismatch_queued()) {
        log_msg(DURL_LOG_ERR, "%s", key_failure_log);
        return dl_pair_result::no_key;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        log_msg(DURL_LOG_ERR, "Private key does not match the certificate public key\n");
        return dl_pair_result::mismatch;
    }
    return dl_pair_result::ok;
}

}  // namespace

dl_pair_result dl_check_pair(const char *file, int32_t ssl_version, const char *key_failure_log) {
    const durl_tls_version *version = durl_tls_version_of(ssl_version);
    if (!version) {
        log_msg(DURL_LOG_ERR, "Wrong method");
        return dl_pair_result::wrong_method;
    }
    durl::SslCtxPtr ctx = context_for(*version);
    dl_pair_result rc = dl_pair_result::no_context;
    if (!ctx)
        log_msg(DURL_LOG_ERR, "SSL_CTX_new error\n");
    else
        rc = load_pair(ctx.get(), file, key_failure_log);
    ERR_clear_error();
    return rc;
}
