// TLS session text: after a TLS transfer the handle's ssl_session_dump describes the
// session (protocol, cipher, peer subject, issuer, end of validity), one fact per line.
// libcurl exposes the OpenSSL session only while a transfer runs, so it is read from a
// callback on the first response line and kept in the transfer's durl_ssl_dump.
#include <openssl/asn1.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>

#include "engine.h"
#include "raii.h"

namespace {

// Each value is cut so that the five lines always fit the 512-byte field and each line
// stays short enough for the settings dump to log it whole.
constexpr size_t kValueMax = 90;

// Appends "label: value\n" when the whole line fits; returns false otherwise.
bool append_line(char *buf, size_t size, size_t &used, const char *label, const char *value) {
    char cut[kValueMax + 1];
    std::snprintf(cut, sizeof cut, "%s", value && value[0] ? value : "none");
    int n = std::snprintf(buf + used, size - used, "%s: %s\n", label, cut);
    if (n < 0 || static_cast<size_t>(n) >= size - used) {
        buf[used] = '\0';
        return false;
    }
    used += static_cast<size_t>(n);
    return true;
}

void name_text(const X509_NAME *name, char *out, size_t size) {
    out[0] = '\0';
    if (name) X509_NAME_oneline(name, out, static_cast<int>(size));
}

void time_text(const ASN1_TIME *t, char *out, size_t size) {
    out[0] = '\0';
    if (!t) return;
    durl::BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || ASN1_TIME_print(bio.get(), t) != 1) return;
    int n = BIO_read(bio.get(), out, static_cast<int>(size - 1));
    out[n > 0 ? n : 0] = '\0';
}

size_t header_watch_cb(char * /*line*/, size_t size, size_t count, void *ctx) {
    auto *watch = static_cast<durl_tls_watch *>(ctx);
    if (watch && watch->dump && watch->dump->length == 0)
        durl_tls_capture(watch->curl, watch->dump);
    return size * count;
}

}  // namespace

size_t durl_tls_describe(const SSL *ssl, char *buf, size_t size) {
    if (!buf || size == 0) return 0;
    buf[0] = '\0';
    if (!ssl) return 0;
    char subject[256];
    char issuer[256];
    char not_after[64];
    durl::X509Ptr peer(SSL_get1_peer_certificate(ssl));
    name_text(peer ? X509_get_subject_name(peer.get()) : nullptr, subject, sizeof subject);
    name_text(peer ? X509_get_issuer_name(peer.get()) : nullptr, issuer, sizeof issuer);
    time_text(peer ? X509_get0_notAfter(peer.get()) : nullptr, not_after, sizeof not_after);
    size_t used = 0;
    // Every line starts with a letter, so the text never begins with "0" (which the settings
    // dump reads as "nothing to show").
    append_line(buf, size, used, "protocol", SSL_get_version(ssl)) &&
        append_line(buf, size, used, "cipher", SSL_get_cipher_name(ssl)) &&
        append_line(buf, size, used, "subject", subject) &&
        append_line(buf, size, used, "issuer", issuer) &&
        append_line(buf, size, used, "not after", not_after);
    return used;
}

int durl_ssl_session(void *session, durl_ssl_dump *dump) {
    if (!dump) return 0;
    char local[512] = {0};
    if (session && dump->capacity != 0) {
        size_t cap = dump->capacity < sizeof dump->text ? dump->capacity : sizeof dump->text;
        durl_tls_describe(static_cast<const SSL *>(session), local, cap);
        if (local[0]) std::memcpy(dump->text, local, cap);
    } else {
        dump->text[0] = '\0';
    }
    dump->text[sizeof dump->text - 1] = '\0';
    dump->length = static_cast<uint32_t>(std::strlen(dump->text));
    return 0;
}

void durl_tls_capture(CURL *curl, durl_ssl_dump *dump) {
    if (!curl || !dump || dump->length != 0) return;
    curl_tlssessioninfo *info = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info) return;
    if (info->backend != CURLSSLBACKEND_OPENSSL || !info->internals) return;
    if (SSL_session_reused(static_cast<SSL *>(info->internals)) == 1)
        log_msg(DURL_LOG_INFO, "TLS session resumed.\n");
    durl_ssl_session(info->internals, dump);
}

void durl_tls_watch_start(CURL *curl, durl_tls_watch *watch, durl_ssl_dump *dump) {
    dump->length = 0;
    dump->capacity = sizeof dump->text;
    std::memset(dump->text, 0, sizeof dump->text);
    watch->curl = curl;
    watch->dump = dump;
    // The device's libcurl build calls the hook itself; a stock libcurl refuses both numbers.
    durl_setopt_unchecked(curl, DURL_XOPT_SSL_DUMP_DATA, static_cast<void *>(dump));
    durl_setopt_unchecked(curl, DURL_XOPT_SSL_DUMP_FUNC, durl_ssl_session);
    durl_setopt_unchecked(curl, CURLOPT_HEADERFUNCTION, header_watch_cb);
    durl_setopt_unchecked(curl, CURLOPT_HEADERDATA, static_cast<void *>(watch));
}

void durl_ssl_dump_store(durl_handle *h, const durl_ssl_dump *dump) {
    if (!h || !dump || dump->length == 0 || dump->text[0] == '\0') return;
    durl_lock_guard guard(&h->lock);
    char *field = h->cfg.ssl_session_dump;
    const size_t n = sizeof h->cfg.ssl_session_dump;
    std::memcpy(field, dump->text, n < sizeof dump->text ? n : sizeof dump->text);
    field[n - 1] = '\0';
}
