// The request header list of every HTTP and HTTPS transfer: suppression of libcurl's
// automatic headers, the caller's own lines, and the two device-specific authorisation
// lines (BroadWorks SIP and the web ticket).
#include <openssl/evp.h>

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
// keeps read-only must still reach the server.
bool add_web_ticket(durl::CurlSlistPtr &list) {
    durl::FilePtr file(fopen(kWebTicketFile, "rb"));
    if (!file) return true;
    char ticket[kWebTicketMax + 1] = {};
    size_t got = fread(ticket, 1, kWebTicketMax, file.get());
    // The ticket is one header value: it ends at the first line break (a file written with
    // a trailing newline has one), which would otherwise end the header block on the wire
    // and let the file's further lines pass as headers or body.
    ticket[strcspn(ticket, "\r\n")] = '\0';
    if (got == 0 || ticket[0] == '\0') return true;
    std::string line = std::string("X-MS-WebTicket: ") + ticket;
    return append(list, line.c_str());
}

}  // namespace

curl_slist *durl_http_header(CURL *curl, const char *headers, const char *user,
                             const char *password, int auth, char *boundary, int keep_alive,
                             int webticket) try {
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
    if (curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get()) != CURLE_OK) return nullptr;
    return list.release();
} catch (const std::bad_alloc &) {
    return nullptr;  // the caller reports a failed set-up
}
