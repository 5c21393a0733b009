// The request header list of every HTTP and HTTPS transfer: suppression of libcurl's
// automatic headers, the caller's own lines, and the two device-specific authorisation
// lines (BroadWorks SIP and the web ticket).
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "engine.h"
#include "raii.h"

namespace {

constexpr const char kWebTicketFile[] = "/tmp/web_ticket_auth";
constexpr size_t kWebTicketMax = 5119;  // bytes of the ticket file that are used
constexpr size_t kBoundaryMax = 63;     // characters of a boundary, without the terminator

bool append(durl::CurlSlistPtr &list, const char *line) {
    curl_slist *grown = curl_slist_append(list.get(), line);
    if (!grown) return false;
    // The first line starts the list; later ones extend it behind the same head.
    if (!list) list.reset(grown);
    return true;
}

std::string base64(const char *text) {
    size_t len = strlen(text);
    std::string out(4 * ((len + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                            reinterpret_cast<const unsigned char *>(text), static_cast<int>(len));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// The caller's lines, split at every CR or LF. A text without a single CRLF pair is not
// a header block and is ignored whole. Content-Length is always libcurl's to set; a
// multipart boundary is handed to the upload engine instead of being sent twice.
bool add_caller_lines(durl::CurlSlistPtr &list, const char *headers, char *boundary) {
    if (!strstr(headers, "\r\n")) return true;
    std::string text(headers);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty() || line.find("Content-Length") != std::string::npos) continue;
        size_t b = line.find("boundary=");
        if (boundary && b != std::string::npos) {
            snprintf(boundary, kBoundaryMax + 1, "%s", line.c_str() + b + strlen("boundary="));
            continue;
        }
        if (!append(list, line.c_str())) return false;
    }
    return true;
}

bool add_broadworks_sip(durl::CurlSlistPtr &list, const char *user, const char *password) {
    std::string user64 = base64(user);
    std::string password64 = base64(password);
    if (user64.empty() || password64.empty()) return true;  // no line, the rest stands
    std::string line =
        "Authorization: BroadWorksSIP basic=\"" + password64 + "\", sipUser=\"" + user64 + "\"";
    return append(list, line.c_str());
}

// The ticket is only read, so the file is opened read-only: a ticket file the device
// keeps read-only must still reach the server. Another component writes the file, so its
// bytes are not trusted to be one header value: the ticket ends at the first CR, LF or NUL
// (the usual one-line file ends in a line feed), and what follows never reaches the wire.
bool add_web_ticket(durl::CurlSlistPtr &list) {
    durl::FilePtr file(fopen(kWebTicketFile, "rb"));
    if (!file) return true;
    char ticket[kWebTicketMax + 1] = {};
    size_t got = fread(ticket, 1, kWebTicketMax, file.get());
    ticket[strcspn(ticket, "\r\n")] = '\0';
    if (got == 0 || ticket[0] == '\0') return true;
    std::string line = std::string("X-MS-WebTicket: ") + ticket;
    return append(list, line.c_str());
}

// True when the first size bytes of the field, up to its terminator, hold a CR or LF.
bool line_break(const char *field, size_t size) {
    const size_t len = strnlen(field, size);
    return std::find_if(field, field + len, [](char c) { return c == '\r' || c == '\n'; }) !=
           field + len;
}

// True when text holds a CR or LF that is not one half of a CRLF pair.
bool lone_line_break(const char *text) {
    for (const char *p = text; *p; ++p) {
        if (*p == '\r' && p[1] == '\n')
            ++p;
        else if (*p == '\r' || *p == '\n')
            return true;
    }
    return false;
}

}  // namespace

int durl_request_texts_check(const durl_url_param *param, const char *send_name) {
    if (!param) return 0;  // the entry point's own checks report a missing request
    const char *refused = nullptr;
    // User name and password go into protocol commands (FTP USER/PASS) and header values
    // (Digest) as they are; the file name into a form part header or the FTP path.
    if (line_break(param->user, sizeof param->user))
        refused = "user name";
    else if (line_break(param->password, sizeof param->password))
        refused = "password";
    else if (send_name && std::strpbrk(send_name, "\r\n"))
        refused = "file name";
    else if (param->headers && lone_line_break(param->headers))
        refused = "header lines (a CR or LF outside a CRLF pair)";
    if (!refused) return 0;
    log_msg(DURL_LOG_ERR, "request refused: line break in the %s.\n", refused);
    return -2;
}

curl_slist *durl_http_header_list(const char *headers, const char *user, const char *password,
                                  int auth, char *boundary, int keep_alive, int webticket) try {
    durl::CurlSlistPtr list;
    // An empty value removes the header libcurl would add by itself: no "100 Continue"
    // round trip and no chunked bodies.
    if (!append(list, "Expect:") || !append(list, "Transfer-Encoding:")) return nullptr;
    if (keep_alive && !append(list, "Connection:keep-alive")) return nullptr;
    if (headers && headers[0] && !add_caller_lines(list, headers, boundary)) return nullptr;
    if (auth == 5 && user && user[0] && password && password[0] &&
        !add_broadworks_sip(list, user, password))
        return nullptr;
    if (webticket && !add_web_ticket(list)) return nullptr;
    return list.release();
} catch (const std::bad_alloc &) {
    return nullptr;  // the caller reports a failed set-up
}

curl_slist *durl_http_header(durl_easy &easy, const char *headers, const char *user,
                             const char *password, int auth, char *boundary, int keep_alive,
                             int webticket) {
    durl::CurlSlistPtr list(
        durl_http_header_list(headers, user, password, auth, boundary, keep_alive, webticket));
    if (!list || easy.set_each_call(CURLOPT_HTTPHEADER, list.get()) != CURLE_OK) return nullptr;
    return list.release();
}
