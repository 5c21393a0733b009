// Request building from outside text: URL cleaning and encoding, scheme detection, the HTTP
// header list (caller lines, SIP authorisation, the web-ticket file /tmp/web_ticket_auth)
// and the MD5 helper.
//
// Input: control byte, output-size byte, then URL, header block, user, password separated by
// '\x01'; the rest is the web-ticket file's content.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "engine.h"
#include "harness.h"

namespace {

constexpr char kTicket[] = "/tmp/web_ticket_auth";

void check_url(const std::string &url, int out_size) {
    std::vector<char> out(static_cast<size_t>(out_size), '\x7f');
    durl_url_encode(out.data(), out_size, url.c_str());
    const size_t len = strnlen(out.data(), out.size());
    FUZZ_CHECK(len < out.size());
    const std::string enc(out.data(), len);
    // Nothing that breaks a request line survives, and encoding is idempotent.
    FUZZ_CHECK(enc.find_first_of("\r\n\t #") == std::string::npos);
    if (!enc.empty()) {
        std::vector<char> again(out.size());
        durl_url_encode(again.data(), out_size, enc.c_str());
        FUZZ_CHECK(enc == again.data());
    }

    char analysed[1024];
    const int scheme = durl_url_analysis(url.c_str(), analysed, sizeof analysed);
    static const char *const prefixes[] = {"http://", "https://", "ftp://", "ftps://", "tftp://"};
    FUZZ_CHECK(scheme >= DURL_PROTO_HTTP && scheme <= DURL_PROTO_UNKNOWN);
    if (scheme != DURL_PROTO_UNKNOWN)
        FUZZ_CHECK(strncasecmp(analysed, prefixes[scheme], strlen(prefixes[scheme])) == 0);
}

void check_headers(uint8_t ctl, const std::string &headers, const std::string &user,
                   const std::string &password, const std::string &ticket) {
    // The ticket file is one fixed path: it is written only when no one else holds it
    // (scripts/fuzz.sh runs this target with a private /tmp).
    bool webticket = false;
    if (ctl & 0x10) {
        const int fd = open(kTicket, O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            webticket =
                write(fd, ticket.data(), ticket.size()) == static_cast<ssize_t>(ticket.size());
            close(fd);
            if (!webticket) unlink(kTicket);
        }
    }
    CURL *curl = curl_easy_init();
    if (!curl) return;
    char boundary[64];
    memset(boundary, 0, sizeof boundary);
    durl_easy easy(curl);
    curl_slist *list =
        durl_http_header(easy, headers.c_str(), user.c_str(), password.c_str(), ctl & 7,
                         (ctl & 0x20) ? boundary : nullptr, ctl & 0x08, webticket);
    if (webticket) unlink(kTicket);
    FUZZ_CHECK(list != nullptr);
    FUZZ_CHECK(strcmp(list->data, "Expect:") == 0);
    for (curl_slist *l = list; l; l = l->next) {
        // One list entry is one header line: a line break inside it would start another
        // header (or the body) on the wire.
        FUZZ_CHECK(strpbrk(l->data, "\r\n") == nullptr);
        // The body's length is libcurl's to send; only the ticket's value may say anything.
        if (strncmp(l->data, "X-MS-WebTicket: ", 16) != 0)
            FUZZ_CHECK(strstr(l->data, "Content-Length") == nullptr);
    }
    FUZZ_CHECK(boundary[sizeof boundary - 1] == '\0');
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
}

void check_md5(const std::string &text, int outlen) {
    std::vector<char> out(static_cast<size_t>(outlen) + 8, '\x55');
    FUZZ_CHECK(durl_md5_encrypt(text.c_str(), out.data(), outlen) == 0);
    for (size_t i = static_cast<size_t>(outlen); i < out.size(); ++i) FUZZ_CHECK(out[i] == '\x55');
    for (int i = 16; i < outlen; ++i) FUZZ_CHECK(out[static_cast<size_t>(i)] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::init_library();
    fuzz::Input in(data, size);
    const uint8_t ctl = in.byte();
    const int out_size = 1 + in.byte() * 5;  // 1..1276: around the 1024-byte URL field
    const std::string url = in.part();
    const std::string headers = in.part();
    const std::string user = in.part();
    const std::string password = in.part();
    const std::string ticket = in.rest();
    check_url(url, out_size);
    check_headers(ctl, headers, user, password, ticket);
    check_md5(url, out_size % 40);
    return 0;
}
