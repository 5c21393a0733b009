// Protocol trace: libcurl's debug callback turned into short, readable log lines. Normal
// mode keeps the status line, a few response headers and the first two request lines;
// debug mode shows everything. Also the exported MD5 helper.
#include <openssl/evp.h>

#include <cstring>

#include "engine.h"
#include "frame.h"

namespace {

constexpr size_t kLineMax = 200;  // characters of traffic per trace line

// Whether needle occurs in the size bytes at data. Each response header line is searched for
// up to four texts; for lines this short memmem's set-up costs more than the search itself.
bool has(const char *data, size_t size, const char *needle) {
    const size_t len = strlen(needle);
    if (len == 0 || size < len) return len == 0;
    const char *last = data + (size - len);  // the last place a match can start
    for (const char *p = data; p <= last; ++p) {
        p = static_cast<const char *>(memchr(p, needle[0], static_cast<size_t>(last - p) + 1));
        if (!p) return false;
        if (memcmp(p, needle, len) == 0) return true;
    }
    return false;
}

// Response headers worth a line in normal mode.
bool interesting_header(const char *data, size_t size) {
    return has(data, size, "WWW-Authenticate:") || has(data, size, "Content-Length:") ||
           has(data, size, "Date:");
}

void dump(const char *label, const char *data, size_t size, int kind, int debug) {
    durl_curl_dump(label, reinterpret_cast<const unsigned char *>(data), size, kind, debug);
}

}  // namespace

int durl_trace_normal(CURL * /*curl*/, curl_infotype kind, char *data, size_t size,
                      void * /*user*/) {
    return durl_curl_trace(kind, data, size, 0);
}

int durl_trace_debug(CURL * /*curl*/, curl_infotype kind, char *data, size_t size,
                     void * /*user*/) {
    return durl_curl_trace(kind, data, size, 1);
}

int durl_curl_trace(curl_infotype kind, const char *data, size_t size, int debug) {
    // The trace runs for every piece of traffic: do no work when nothing listens.
    if (!durl_log_wanted(DURL_LOG_INFO) || !data) return 0;
    switch (kind) {
        case CURLINFO_TEXT:
            // libcurl's texts carry their own line feed and no terminator.
            if (debug) log_msg(DURL_LOG_INFO, "CURL Info: %.*s", static_cast<int>(size), data);
            break;
        case CURLINFO_HEADER_IN:
            if (has(data, size, "HTTP/1"))
                dump("Response header", data, size, kind, debug);
            else if (debug || interesting_header(data, size))
                dump("", data, size, kind, debug);
            break;
        case CURLINFO_HEADER_OUT:
            dump("Request header", data, size, kind, debug);
            break;
        case CURLINFO_DATA_IN:
            if (debug) dump("Response data", data, size, kind, debug);
            break;
        case CURLINFO_DATA_OUT:
            if (debug) dump("Request data", data, size, kind, debug);
            break;
        default:  // TLS records: never logged
            break;
    }
    return 0;
}

void durl_curl_dump(const char *label, const unsigned char *data, size_t size, int kind,
                    int debug) {
    if (label && label[0]) log_msg(DURL_LOG_INFO, "%s\n", label);
    if (!data) return;
    char line[256];
    int crlf_lines = 0;
    size_t i = 0;
    while (i < size) {
        // A request in normal mode: its request line and first header say enough.
        if (kind == CURLINFO_HEADER_OUT && !debug && crlf_lines >= 2) {
            log_msg(DURL_LOG_INFO, "...\n");
            return;
        }
        size_t n = 0;
        bool crlf = false;
        while (i < size && n < kLineMax) {
            if (i + 1 < size && data[i] == '\r' && data[i + 1] == '\n') {
                i += 2;
                crlf = true;
                break;
            }
            unsigned char c = data[i++];
            line[n++] = (c >= 32 && c <= 127) ? static_cast<char>(c) : '.';
        }
        line[n] = '\0';
        log_msg(DURL_LOG_INFO, "%s\n", line);
        if (crlf) ++crlf_lines;
    }
}

extern "C" int durl_md5_encrypt(const char *in, char *out, int outlen) {
    return durl_frame(DURL_RC_NO_MEMORY, [&]() -> int {
        if (!out || outlen <= 0) return 0;
        if (!in) in = "";
        unsigned char digest[EVP_MAX_MD_SIZE] = {};
        unsigned int digest_len = 0;
        if (EVP_Digest(in, strlen(in), digest, &digest_len, EVP_md5(), nullptr) != 1)
            digest_len = 0;
        // The digest travels as a C text: it ends at its first zero byte.
        size_t limit = digest_len < 16 ? digest_len : 16;
        if (limit > static_cast<size_t>(outlen)) limit = static_cast<size_t>(outlen);
        size_t n = strnlen(reinterpret_cast<const char *>(digest), limit);
        memset(out, 0, static_cast<size_t>(outlen));
        memcpy(out, digest, n);
        return 0;
    });
}
