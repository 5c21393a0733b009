// URL preparation: the caller's text is trimmed, cleaned of line breaks and tabs, and the
// two characters that break a URL sent as typed (space and '#') are escaped; the scheme
// prefix then decides the protocol.
#include <strings.h>

#include <cstring>

#include "engine.h"

namespace {

constexpr size_t kUrlMax = 1023;  // characters of a prepared URL, without the terminator

struct Scheme {
    const char *prefix;
    int code;
};

// Checked in this order; "https://" can't be mistaken for "http://" as the prefix test
// covers the whole prefix.
constexpr Scheme kSchemes[] = {{"http://", DURL_PROTO_HTTP},
                               {"https://", DURL_PROTO_HTTPS},
                               {"ftp://", DURL_PROTO_FTP},
                               {"ftps://", DURL_PROTO_FTPS},
                               {"tftp://", DURL_PROTO_TFTP}};

}  // namespace

void durl_url_encode(char *out, int out_size, const char *url) {
    if (!out || out_size <= 0) return;
    if (!url) url = "";
    while (*url == ' ') ++url;
    size_t len = strnlen(url, kUrlMax);
    while (len > 0 && url[len - 1] == ' ') --len;

    size_t limit = static_cast<size_t>(out_size) - 1;
    if (limit > kUrlMax) limit = kUrlMax;
    // Most URLs hold nothing to drop or escape: one scan and one copy.
    if (len <= limit && strcspn(url, " #\r\n\t") >= len) {
        memcpy(out, url, len);
        out[len] = '\0';
        return;
    }
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        char c = url[i];
        if (c == '\r' || c == '\n' || c == '\t') continue;
        const char *escape = c == ' ' ? "%20" : c == '#' ? "%23" : nullptr;
        size_t need = escape ? 3 : 1;
        if (n + need > limit) {
            log_msg(DURL_LOG_ERR, "URL too long!\n");
            memset(out, 0, static_cast<size_t>(out_size));
            return;
        }
        if (escape)
            memcpy(out + n, escape, 3);
        else
            out[n] = c;
        n += need;
    }
    out[n] = '\0';
}

int durl_url_analysis(const char *url, char *out, int out_size) {
    if (!url || !out || out_size <= 0) {
        log_msg(DURL_LOG_ERR, "Input url err.\n");
        return DURL_PROTO_UNKNOWN;
    }
    durl_url_encode(out, out_size, url);
    if (out[0] == '\0') {
        log_msg(DURL_LOG_ERR, "Url encode err.\n");
        return DURL_PROTO_UNKNOWN;
    }
    log_msg(DURL_LOG_DEBUG, "durl_url_analysis: %s.\n", out);
    for (const Scheme &s : kSchemes)
        if (strncasecmp(out, s.prefix, strlen(s.prefix)) == 0) return s.code;
    return DURL_PROTO_UNKNOWN;
}
