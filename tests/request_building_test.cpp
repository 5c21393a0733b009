// What a request is built from: the prepared URL and the header list; the protocol trace
// lines and the MD5 helper.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "log_capture.h"
#include "raii.h"

namespace {

using Lines = std::vector<std::string>;

TEST(Url, IsTrimmedCleanedEscapedCutAndClassified) {
    const std::string long_path = "http://h/" + std::string(1491, 'p');
    const struct Row {
        std::string input, encoded;
        int scheme;
    } rows[] = {
        {"  HTTP://host/a b#frag  ", "HTTP://host/a%20b%23frag", DURL_PROTO_HTTP},
        {"\thttp://h/x\r\ny\tz", "http://h/xyz", DURL_PROTO_HTTP},
        {" \t http://h/", "%20http://h/", DURL_PROTO_UNKNOWN},  // a tab ends the trimming
        {"https://h/%41?a=1&b=\xc3\xa9", "https://h/%41?a=1&b=\xc3\xa9", DURL_PROTO_HTTPS},
        {"ftp://h/f", "ftp://h/f", DURL_PROTO_FTP},
        {"FtPs://h/f", "FtPs://h/f", DURL_PROTO_FTPS},
        {"tftp://h/f", "tftp://h/f", DURL_PROTO_TFTP},
        {"http:/h", "http:/h", DURL_PROTO_UNKNOWN},
        {long_path, long_path.substr(0, 1023), DURL_PROTO_HTTP},  // 1500 characters: cut
        {std::string(1019, 'f') + " g", std::string(1019, 'f') + "%20g", DURL_PROTO_UNKNOWN},
        {std::string(1020, 'f') + " g", "", DURL_PROTO_UNKNOWN},      // an escape fits whole or not
        {"a" + std::string(341, ' ') + "b", "", DURL_PROTO_UNKNOWN},  // too long once escaped
        {"\r\n\t", "", DURL_PROTO_UNKNOWN},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.input.substr(0, 40));
        char out[1024];
        memset(out, 'Z', sizeof out);
        EXPECT_EQ(durl_url_analysis(r.input.c_str(), out, sizeof out), r.scheme);
        EXPECT_EQ(std::string(out), r.encoded);
    }
    char small[8];  // a smaller buffer is honoured, never overrun
    durl_url_encode(small, sizeof small, "abcdefgh");
    EXPECT_EQ(std::string(small, sizeof small), std::string(sizeof small, '\0'));
    EXPECT_EQ(durl_url_analysis(nullptr, small, sizeof small), DURL_PROTO_UNKNOWN);
}

class Headers : public DurlTest {
protected:
    Lines build(const char *headers, int auth = 0, const char *user = "", const char *pass = "",
                int keep_alive = 0, int webticket = 0, char *boundary = nullptr) {
        durl_easy easy(curl.get());
        durl::CurlSlistPtr list(
            durl_http_header(easy, headers, user, pass, auth, boundary, keep_alive, webticket));
        EXPECT_TRUE(list);
        Lines lines;
        for (curl_slist *l = list.get(); l; l = l->next) lines.push_back(l->data);
        return lines;
    }
    durl::CurlPtr curl{curl_easy_init()};
};

TEST_F(Headers, ListHoldsSuppressionsCallerLinesAndAuthorization) {
    const char *sip = "Authorization: BroadWorksSIP basic=\"c2VjcmV0\", sipUser=\"YWxpY2U=\"";
    const struct Row {
        const char *headers;
        int auth;
        const char *user, *pass;
        int keep_alive;
        Lines added;
    } rows[] = {
        {nullptr, 0, "", "", 0, {}},
        {"X-One: 1", 0, "", "", 0, {}},  // no line break at all: not a header block
        {"Content-Length: 5\r\nX-Two: 2\r\n", 0, "", "", 0, {"X-Two: 2"}},
        {"A: 1\r\n\r\nB: 2\nC: 3\rD: 4", 0, "", "", 0, {"A: 1", "B: 2", "C: 3", "D: 4"}},
        {nullptr, 0, "", "", 1, {"Connection:keep-alive"}},
        {nullptr, 5, "alice", "secret", 0, {sip}},
        {nullptr, 5, "alice", "", 0, {}},
        {nullptr, 5, nullptr, nullptr, 0, {}},
        {nullptr, 4, "alice", "secret", 0, {}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.headers ? r.headers : "(null)");
        Lines expected = {"Expect:", "Transfer-Encoding:"};
        expected.insert(expected.end(), r.added.begin(), r.added.end());
        EXPECT_EQ(build(r.headers, r.auth, r.user, r.pass, r.keep_alive), expected);
    }
    // The multipart boundary is taken out for the upload engine: the last one, cut to fit.
    char boundary[64] = {};
    const std::string types =
        "Content-Type: multipart/form-data; boundary=first\r\nX-A: 1\r\n"
        "Content-Type: x; boundary=" +
        std::string(100, 'b') + "\r\n";
    EXPECT_EQ(build(types.c_str(), 0, "", "", 0, 0, boundary),
              (Lines{"Expect:", "Transfer-Encoding:", "X-A: 1"}));
    EXPECT_EQ(std::string(boundary), std::string(63, 'b'));
}

TEST_F(Headers, ReadOnlyTicketFileIsStillRead) {
    // Fault guarded: the ticket file was opened for update, so a read-only ticket was dropped.
    const char *path = "/tmp/web_ticket_auth";  // shared with hostile_test: claimed exclusively
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0444);
    if (fd < 0) GTEST_SKIP() << "the web-ticket file is in use";
    bool written = write(fd, "read-only-ticket", 16) == 16;
    close(fd);
    Lines lines;
    // As root, permissions bind only once the file-system identity is not root; that
    // identity is per thread, so the switch stays inside this one.
    std::thread([&] {
        if (geteuid() == 0) setfsuid(65534);
        lines = build(nullptr, 0, "", "", 0, 1);
        if (geteuid() == 0) setfsuid(0);
    }).join();
    unlink(path);
    ASSERT_TRUE(written);
    EXPECT_EQ(lines, (Lines{"Expect:", "Transfer-Encoding:", "X-MS-WebTicket: read-only-ticket"}));
    EXPECT_EQ(build(nullptr, 0, "", "", 0, 1).size(), 2u);  // no file, no line
}

class Trace : public DurlTest {};

TEST_F(Trace, LinesAreSplitCutAndChosenByMode) {
    const std::string request = "GET /a HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n";
    std::string body(450, 'x');
    body.replace(3, 4, std::string("\0\xc8\x7f\x1f", 4));
    const std::string head =
        "<6>[DCMN]Request header\n<6>[DCMN]GET /a HTTP/1.1\n<6>[DCMN]Host: h\n";
    const struct Row {
        curl_infotype kind;
        std::string data;
        int debug;
        std::string logged;
    } rows[] = {
        {CURLINFO_HEADER_OUT, request, 0, head + "<6>[DCMN]...\n"},  // two lines in normal mode
        {CURLINFO_HEADER_OUT, request, 1, head + "<6>[DCMN]Accept: */*\n"},
        {CURLINFO_HEADER_OUT, "GET /a HTTP/1.1\r\nHost: h\r\n", 0, head},
        // A line cut at 200 characters does not count toward the two.
        {CURLINFO_HEADER_OUT, std::string(250, 'a') + "\r\nB\r\nC\r\n", 0,
         "<6>[DCMN]Request header\n<6>[DCMN]" + std::string(200, 'a') + "\n<6>[DCMN]" +
             std::string(50, 'a') + "\n<6>[DCMN]B\n<6>[DCMN]...\n"},
        {CURLINFO_HEADER_IN, "HTTP/1.1 200 OK\r\n", 0,
         "<6>[DCMN]Response header\n<6>[DCMN]HTTP/1.1 200 OK\n"},
        {CURLINFO_HEADER_IN, "Content-Length: 9\r\n", 0, "<6>[DCMN]Content-Length: 9\n"},
        {CURLINFO_HEADER_IN, "WWW-Authenticate: Basic\r\n", 0,
         "<6>[DCMN]WWW-Authenticate: Basic\n"},
        {CURLINFO_DATA_IN, body, 0, ""},
        {CURLINFO_DATA_IN, body, 1,
         "<6>[DCMN]Response data\n<6>[DCMN]xxx..\x7f." + std::string(193, 'x') + "\n<6>[DCMN]" +
             std::string(200, 'x') + "\n<6>[DCMN]" + std::string(50, 'x') + "\n"},
        {CURLINFO_DATA_OUT, "ab", 1, "<6>[DCMN]Request data\n<6>[DCMN]ab\n"},
        {CURLINFO_TEXT, "Connected\n", 1, "<6>[DCMN]CURL Info: Connected\n"},
        {CURLINFO_SSL_DATA_IN, "tls", 1, ""},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.data.substr(0, 30) + " debug " + std::to_string(r.debug));
        log.clear();
        EXPECT_EQ(durl_curl_trace(r.kind, r.data.data(), r.data.size(), r.debug), 0);
        EXPECT_EQ(log.dump(), r.logged);
    }
}

std::string md5_raw(const std::string &text) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), md, &len, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<char *>(md), len);
}

TEST(Md5, DigestIsCopiedRawUpToItsFirstZeroByteAndTheGivenLength) {
    char out[20];
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(durl_md5_encrypt("abc", out, 20), 0);  // 90 01 50 98 ...: no zero byte
    EXPECT_EQ(std::string(out, 20), md5_raw("abc") + std::string(4, '\0'));
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(durl_md5_encrypt("abc", out, 4), 0);
    EXPECT_EQ(std::string(out, 5), md5_raw("abc").substr(0, 4) + "Z");
    EXPECT_EQ(durl_md5_encrypt("", out, 16), 0);  // d4 1d 8c d9 8f 00 ...: five bytes
    EXPECT_EQ(std::string(out, 16), md5_raw("").substr(0, 5) + std::string(11, '\0'));
}

}  // namespace
