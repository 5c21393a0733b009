// TLS configuration of HTTP and HTTPS transfers: server verification and its trust source,
// client certificate, cipher list, protocol version and host-name check.
#include <sys/stat.h>

#include <openssl/err.h>

#include <cstring>
#include <mutex>
#include <string>

#include "engine.h"
#include "raii.h"
#include "tls_version.h"

namespace {

constexpr const char *kDefaultCaDir = "/config/certs/phoneca/";
constexpr const char *kDefaultDeviceCert = "/config/certs/phonedev/WebServer.pem";
constexpr const char *kFallbackCiphers = "RSA:!EXP:!LOW:!NULL:!MD5:@STRENGTH";
constexpr const char *kDefaultCiphers = "DEFAULT";

// The TLS fields a transfer uses, copied under the handle's lock.
struct tls_settings {
    int32_t ssl_version;
    int32_t verify_peer;
    int32_t verify_host;
    int32_t def_cert;
    char ca_dir[128];
    char ca_file[128];
    char client_cert[128];
    char cipher[512];
};

tls_settings copy_tls(durl_handle *h) {
    tls_settings s;
    durl_lock_guard guard(&h->lock);
    const durl_config &c = h->cfg;
    s.ssl_version = c.ssl_version;
    s.verify_peer = c.ssl_verify_peer;
    s.verify_host = c.ssl_verify_host;
    s.def_cert = c.ssl_def_cert;
    durl_copy_text(s.ca_dir, c.ssl_user_path);
    durl_copy_text(s.ca_file, c.ssl_user_file);
    durl_copy_text(s.client_cert, c.ssl_ca_usefile);
    durl_copy_text(s.cipher, c.ssl_cipher);
    return s;
}

bool file_exists(const char *path) {
    struct stat st;
    return path[0] != '\0' && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// libcurl takes any cipher text and only fails the handshake, so the list is checked with
// the TLS library itself. Handles usually repeat the same list: the last answer is kept so
// that a scratch context is built only when the list changes.
bool cipher_list_valid(const char *list) {
    static std::mutex cache_lock;
    static std::string cached_list;
    static bool cached_valid = false;
    {
        std::lock_guard<std::mutex> guard(cache_lock);
        if (!cached_list.empty() && cached_list == list) return cached_valid;
    }
    durl::SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) return true;  // cannot judge: let the handshake decide
    bool valid = SSL_CTX_set_cipher_list(ctx.get(), list) == 1;
    ERR_clear_error();
    std::lock_guard<std::mutex> guard(cache_lock);
    cached_list = list;
    cached_valid = valid;
    return valid;
}

// Exactly one trust source: libcurl's built-in CA bundle and directory would otherwise stay
// trusted beside the configured one.
int set_trust(durl_easy &easy, const tls_settings &s) {
    int rc = durl_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    if (rc) return rc;
    if (file_exists(s.ca_file)) {
        log_msg(DURL_LOG_DEBUG, "trust ca file:%s\n", s.ca_file);
        rc = durl_setopt(easy, CURLOPT_CAINFO, static_cast<const char *>(s.ca_file));
        if (rc == 0) rc = durl_setopt(easy, CURLOPT_CAPATH, static_cast<const char *>(nullptr));
        return rc;
    }
    const char *dir = s.ca_dir;
    if (dir[0]) {
        log_msg(DURL_LOG_DEBUG, "trust ca path:%s\n", dir);
    } else {
        log_msg(DURL_LOG_WARNING, "no set trust ca path, use default.\n");
        dir = kDefaultCaDir;
    }
    rc = durl_setopt(easy, CURLOPT_CAPATH, dir);
    if (rc == 0) rc = durl_setopt(easy, CURLOPT_CAINFO, static_cast<const char *>(nullptr));
    return rc;
}

// The files set_trust() and set_client_cert() hand to libcurl.
const char *trust_source(const tls_settings &s) {
    if (file_exists(s.ca_file)) return s.ca_file;
    return s.ca_dir[0] ? s.ca_dir : kDefaultCaDir;
}

const char *client_cert_source(const tls_settings &s) {
    if (file_exists(s.client_cert)) return s.client_cert;
    return s.def_cert ? kDefaultDeviceCert : nullptr;
}

int set_client_cert(durl_easy &easy, const tls_settings &s) {
    if (file_exists(s.client_cert)) {
        log_msg(DURL_LOG_DEBUG, "client cert:%s\n", s.client_cert);
        int rc = durl_setopt(easy, CURLOPT_SSLCERT, static_cast<const char *>(s.client_cert));
        if (rc) log_msg(DURL_LOG_ERR, "set the client cert err.\n");
        return rc;
    }
    if (!s.def_cert) {
        log_msg(DURL_LOG_WARNING, "no set client cert or file is damaged or does not exist.\n");
        return 0;
    }
    if (s.client_cert[0]) log_msg(DURL_LOG_WARNING, "Cert not exist use default!\n");
    if (!file_exists(kDefaultDeviceCert)) {
        log_msg(DURL_LOG_WARNING, "default cert is no exist.\n");
        return 0;
    }
    log_msg(DURL_LOG_INFO, "default device cert.\n");
    return durl_setopt(easy, CURLOPT_SSLCERT, kDefaultDeviceCert);
}

int set_ciphers(durl_easy &easy, const tls_settings &s) {
    if (!s.cipher[0]) {
        log_msg(DURL_LOG_INFO, "use default cipher.\n");
        int rc = durl_setopt(easy, CURLOPT_SSL_CIPHER_LIST, kDefaultCiphers);
        if (rc) log_msg(DURL_LOG_ERR, "set the default ssl cipher err.\n");
        return rc;
    }
    log_msg(DURL_LOG_INFO, "ssl cipher:%s\n", s.cipher);
    int rc = CURLE_SSL_CIPHER;
    if (cipher_list_valid(s.cipher))
        rc = durl_setopt(easy, CURLOPT_SSL_CIPHER_LIST, static_cast<const char *>(s.cipher));
    if (rc == 0) return 0;
    log_msg(DURL_LOG_WARNING, "set the ssl cipher err, use default str.\n");
    return durl_setopt(easy, CURLOPT_SSL_CIPHER_LIST, kFallbackCiphers);
}

}  // namespace

long durl_get_curl_sslver(int ssl_version) {
    const durl_tls_version *v = durl_tls_version_of(ssl_version);
    return v ? v->curl_version : static_cast<long>(CURL_SSLVERSION_DEFAULT);
}

int durl_set_ssl_config(durl_handle *h, durl_easy &easy) {
    if (!h) h = &g_durl.default_handle;
    tls_settings s = copy_tls(h);
    durl_setopt_unchecked(easy, CURLOPT_SSL_SESSIONID_CACHE, 1L);
    int rc = 0;
    if (s.verify_peer) {
        rc = set_trust(easy, s);
        if (rc) return rc;
    } else {
        log_msg(DURL_LOG_INFO, "do not check the server cert.\n");
        durl_setopt_unchecked(easy, CURLOPT_SSL_VERIFYPEER, 0L);
        // Nothing is verified, so loading libcurl's built-in CA bundle on every new
        // connection would only cost time.
        durl_setopt_unchecked(easy, CURLOPT_CAINFO, static_cast<const char *>(nullptr));
        durl_setopt_unchecked(easy, CURLOPT_CAPATH, static_cast<const char *>(nullptr));
    }
    rc = set_client_cert(easy, s);
    const char *inputs[] = {s.verify_peer ? trust_source(s) : nullptr, client_cert_source(s)};
    durl_trust_inputs_seen(inputs, 2);
    if (rc == 0) rc = set_ciphers(easy, s);
    if (rc) return rc;
    rc = durl_setopt(easy, CURLOPT_SSLVERSION, durl_get_curl_sslver(s.ssl_version));
    if (rc) {
        // libcurl no longer offers SSLv2 or SSLv3 (selectors 1 and 2): the setup fails here.
        log_msg(DURL_LOG_ERR, "set the ssl version err, version=%d.\n", s.ssl_version);
        return rc;
    }
    if (s.verify_host) {
        durl_setopt_unchecked(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        log_msg(DURL_LOG_INFO, "connect ssl Verify host\n");
    } else {
        durl_setopt_unchecked(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    return 0;
}
