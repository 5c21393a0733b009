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

// A kept connection answers call after call with the same session, and formatting its names
// and date costs more than the rest of a small request. The last text made on this thread is
// kept with what it was made from and given again while all of that is the same: the peer
// certificate (same encoding), protocol, cipher and room.
struct described_session {
    durl::X509Ptr peer;
    char protocol[kValueMax + 1] = {0};
    char cipher[kValueMax + 1] = {0};
    size_t size = 0;
    size_t used = 0;
    char text[512] = {0};

    bool same(const X509 *p, const char *proto, const char *ciph, size_t room) const {
        return peer && room == size && X509_cmp(peer.get(), p) == 0 &&
               std::strcmp(protocol, proto) == 0 && std::strcmp(cipher, ciph) == 0;
    }
    // Keeps the protocol and cipher names; false when one does not fit.
    bool keep(const char *proto, const char *ciph) {
        return std::snprintf(protocol, sizeof protocol, "%s", proto) < int{sizeof protocol} &&
               std::snprintf(cipher, sizeof cipher, "%s", ciph) < int{sizeof cipher};
    }
};
thread_local described_session t_described;

size_t describe(const X509 *peer, const char *protocol, const char *cipher, char *buf,
                size_t size) {
    char subject[256];
    char issuer[256];
    char not_after[64];
    name_text(peer ? X509_get_subject_name(peer) : nullptr, subject, sizeof subject);
    name_text(peer ? X509_get_issuer_name(peer) : nullptr, issuer, sizeof issuer);
    time_text(peer ? X509_get0_notAfter(peer) : nullptr, not_after, sizeof not_after);
    size_t used = 0;
    // Every line starts with a letter, so the text never begins with "0" (which the settings
    // dump reads as "nothing to show").
    append_line(buf, size, used, "protocol", protocol) &&
        append_line(buf, size, used, "cipher", cipher) &&
        append_line(buf, size, used, "subject", subject) &&
        append_line(buf, size, used, "issuer", issuer) &&
        append_line(buf, size, used, "not after", not_after);
    return used;
}

size_t header_watch_cb(char *line, size_t size, size_t count, void *ctx) {
    auto *watch = static_cast<durl_tls_watch *>(ctx);
    const size_t n = size * count;
    if (!watch || !watch->dump || watch->dump->length != 0) return n;
    if (!watch->status_lines_only || (n >= 5 && std::memcmp(line, "HTTP/", 5) == 0))
        durl_tls_capture(watch->curl, watch->dump);
    return n;
}

}  // namespace

size_t durl_tls_describe(const SSL *ssl, char *buf, size_t size) {
    if (!buf || size == 0) return 0;
    buf[0] = '\0';
    if (!ssl) return 0;
    const char *protocol = SSL_get_version(ssl);
    const char *cipher = SSL_get_cipher_name(ssl);
    if (!protocol) protocol = "";
    if (!cipher) cipher = "";
    X509 *peer = SSL_get0_peer_certificate(ssl);
    described_session &last = t_described;
    if (peer && last.same(peer, protocol, cipher, size)) {
        std::memcpy(buf, last.text, last.used + 1);
        return last.used;
    }
    const size_t used = describe(peer, protocol, cipher, buf, size);
    last.peer.reset();
    if (!peer || size > sizeof last.text || !last.keep(protocol, cipher) || X509_up_ref(peer) != 1)
        return used;
    last.peer.reset(peer);
    last.size = size;
    last.used = used;
    std::memcpy(last.text, buf, used + 1);
    return used;
}

int durl_ssl_session(void *session, durl_ssl_dump *dump) {
    if (!dump) return 0;
    if (session && dump->capacity != 0) {
        size_t cap = dump->capacity < sizeof dump->text ? dump->capacity : sizeof dump->text;
        // The description and zeros to the end of the room. An empty room takes it directly
        // (an empty description leaves it empty, as before); a filled one keeps its text
        // unless there is a description to replace it.
        char local[512];
        char *out = dump->text[0] == '\0' ? dump->text : local;
        const size_t used = durl_tls_describe(static_cast<const SSL *>(session), out, cap);
        if (out[0]) {
            if (out != dump->text) std::memcpy(dump->text, out, used + 1);
            std::memset(dump->text + used + 1, 0, cap - used - 1);
        }
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

void durl_tls_watch_start(durl_easy &easy, durl_tls_watch *watch, durl_ssl_dump *dump, bool http) {
    // No need to clear the whole text: a description is copied in with the rest of the
    // room zeroed (durl_ssl_session), and nothing reads the text while length is 0.
    dump->length = 0;
    dump->capacity = sizeof dump->text;
    dump->text[0] = '\0';
    watch->curl = easy.curl;
    watch->dump = dump;
    watch->status_lines_only = http;
    // The device's libcurl build calls the hook itself; a stock libcurl refuses both numbers.
    (void)easy.set_each_call(DURL_XOPT_SSL_DUMP_DATA, static_cast<void *>(dump));
    durl_setopt_unchecked(easy, DURL_XOPT_SSL_DUMP_FUNC, durl_ssl_session);
    durl_setopt_unchecked(easy, CURLOPT_HEADERFUNCTION, header_watch_cb);
    (void)easy.set_each_call(CURLOPT_HEADERDATA, static_cast<void *>(watch));
}

void durl_ssl_dump_store(durl_handle *h, const durl_ssl_dump *dump) {
    if (!h || !dump || dump->length == 0 || dump->text[0] == '\0') return;
    static_assert(sizeof dump->text == sizeof h->cfg.ssl_session_dump, "one room size");
    durl_lock_guard guard(&h->lock);
    // Both rooms hold a text followed by zeros (the settings' texts are stored zero-filled),
    // so copying the text and clearing what is left of a longer old one gives the same bytes
    // as copying the whole room. A kept connection stores the same text call after call:
    // then nothing is written.
    char *field = h->cfg.ssl_session_dump;
    const size_t len = dump->length < sizeof dump->text ? dump->length : sizeof dump->text - 1;
    if (std::memcmp(field, dump->text, len + 1) == 0) return;
    const size_t old_len = strnlen(field, sizeof h->cfg.ssl_session_dump);
    std::memcpy(field, dump->text, len + 1);
    if (old_len > len) std::memset(field + len + 1, 0, old_len - len);
    field[sizeof h->cfg.ssl_session_dump - 1] = '\0';
}
