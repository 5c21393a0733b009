// The request header list: suppressions, the caller's lines, the multipart boundary, the
// BroadWorks SIP and web-ticket lines, and what really reaches a server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "log_capture.h"
#include "raii.h"
#include "servers.h"

namespace {

using Lines = std::vector<std::string>;

const char kTicketPath[] = "/tmp/web_ticket_auth";

struct Built {
    bool ok = false;
    Lines lines;
};

class Headers : public DurlTest {
protected:
    Built build(const char *headers, int auth = 0, const char *user = "", const char *password = "",
                char *boundary = nullptr, int keep_alive = 0, int webticket = 0) {
        durl::CurlSlistPtr list(durl_http_header(curl.get(), headers, user, password, auth,
                                                 boundary, keep_alive, webticket));
        Built b;
        b.ok = list != nullptr;
        for (curl_slist *l = list.get(); l; l = l->next) b.lines.push_back(l->data);
        return b;
    }
    durl::CurlPtr curl{curl_easy_init()};
};

// Claims the device's web-ticket file for one test (exclusive create), removing it after.
// Another test binary using the file at the same moment makes claimed() false.
class TicketFile {
public:
    TicketFile(const std::string &ticket, mode_t mode) {
        int fd = open(kTicketPath, O_WRONLY | O_CREAT | O_EXCL, mode);
        if (fd < 0) return;
        claimed_ = write(fd, ticket.data(), ticket.size()) == static_cast<ssize_t>(ticket.size());
        close(fd);
    }
    ~TicketFile() {
        if (claimed_) unlink(kTicketPath);
    }
    bool claimed() const { return claimed_; }

private:
    bool claimed_ = false;
};

const Lines kBase = {"Expect:", "Transfer-Encoding:"};

Lines with_base(Lines extra) {
    Lines all = kBase;
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

TEST_F(Headers, CallerLinesAreFilteredAndSplit) {
    log.clear();
    struct Row {
        const char *text;
        Lines added;
    } rows[] = {
        {nullptr, {}},
        {"", {}},
        {"X-One: 1", {}},  // no CRLF at all: not a header block
        {"X-One: 1\r\n", {"X-One: 1"}},
        {"Content-Length: 5\r\nX-Two: 2\r\n", {"X-Two: 2"}},
        {"\r\n\r\n\r\n", {}},
        {"A: 1\r\n\r\nB: 2\nC: 3\rD: 4", {"A: 1", "B: 2", "C: 3", "D: 4"}},
        {"Content-Type: multipart/form-data; boundary=abc\r\n",
         {"Content-Type: multipart/form-data; boundary=abc"}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.text ? r.text : "(null)");
        Built b = build(r.text);
        EXPECT_TRUE(b.ok);
        EXPECT_EQ(b.lines, with_base(r.added));
    }
    EXPECT_EQ(build(nullptr, 0, "", "", nullptr, 1).lines, with_base({"Connection:keep-alive"}));
    EXPECT_TRUE(log.empty()) << log.dump();
}

TEST_F(Headers, BoundaryIsTakenOutForTheUploadEngine) {
    char boundary[64] = {};
    Built b = build(
        "Content-Type: multipart/form-data; boundary=first\r\nX-A: 1\r\n"
        "Content-Type: multipart/form-data; boundary=abc\r\n",
        0, "", "", boundary);
    EXPECT_EQ(b.lines, with_base({"X-A: 1"}));
    EXPECT_STREQ(boundary, "abc");  // the last one wins

    std::string long_boundary(100, 'b');
    build(("Content-Type: x; boundary=" + long_boundary + "\r\n").c_str(), 0, "", "", boundary);
    EXPECT_EQ(std::string(boundary), long_boundary.substr(0, 63));
}

TEST_F(Headers, BroadWorksSipNeedsUserAndPassword) {
    EXPECT_EQ(build(nullptr, 5, "alice", "secret").lines,
              with_base({"Authorization: BroadWorksSIP basic=\"c2VjcmV0\", sipUser=\"YWxpY2U=\""}));
    EXPECT_EQ(build(nullptr, 5, "alice", "").lines, kBase);
    EXPECT_EQ(build(nullptr, 5, "", "secret").lines, kBase);
    EXPECT_EQ(build(nullptr, 5, nullptr, nullptr).lines, kBase);
    EXPECT_EQ(build(nullptr, 4, "alice", "secret").lines, kBase);
}

TEST_F(Headers, WebTicketLineComesFromTheTicketFile) {
    struct stat st;
    if (stat(kTicketPath, &st) == 0) GTEST_SKIP() << "the web-ticket file is in use";
    EXPECT_EQ(build(nullptr, 0, "", "", nullptr, 0, 1).lines, kBase);  // no file: no line
    {
        TicketFile empty("", 0644);
        if (!empty.claimed()) GTEST_SKIP() << "the web-ticket file is in use";
        EXPECT_EQ(build(nullptr, 0, "", "", nullptr, 0, 1).lines, kBase);
    }
    {
        TicketFile ticket(std::string("t-42\n\0hidden", 12), 0644);
        ASSERT_TRUE(ticket.claimed());
        EXPECT_EQ(build(nullptr, 0, "", "", nullptr, 0, 1).lines,
                  with_base({"X-MS-WebTicket: t-42\n"}));  // up to the NUL, line feed kept
        EXPECT_EQ(build(nullptr).lines, kBase);            // only when asked for
    }
    {
        TicketFile big(std::string(6000, 'T'), 0644);
        ASSERT_TRUE(big.claimed());
        Lines lines = build(nullptr, 0, "", "", nullptr, 0, 1).lines;
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[2], "X-MS-WebTicket: " + std::string(5119, 'T'));
    }
}

TEST_F(Headers, ReadOnlyTicketFileIsStillRead) {
    // Fault guarded: the ticket file was opened for update, so a read-only ticket was dropped.
    struct stat st;
    if (stat(kTicketPath, &st) == 0) GTEST_SKIP() << "the web-ticket file is in use";
    TicketFile ticket("read-only-ticket", 0444);
    if (!ticket.claimed()) GTEST_SKIP() << "the web-ticket file is in use";
    Lines lines;
    // As root, permissions only bind once the file-system identity is not root; that
    // identity is per thread, so the switch stays inside this one.
    std::thread reader([&] {
        if (geteuid() == 0) setfsuid(65534);
        lines = build(nullptr, 0, "", "", nullptr, 0, 1).lines;
        if (geteuid() == 0) setfsuid(0);
    });
    reader.join();
    EXPECT_EQ(lines, with_base({"X-MS-WebTicket: read-only-ticket"}));
}

TEST_F(Headers, ListIsInstalledAndSuppressesLibcurlsOwnHeaders) {
    Built unused = build(nullptr);  // a first list, replaced by the next one
    durl::CurlSlistPtr list(
        durl_http_header(curl.get(), "X-Test: yes\r\n", "", "", 0, nullptr, 1, 0));
    ASSERT_TRUE(list);
    // A body this big makes libcurl ask for "100 Continue" unless told not to.
    std::string body(2 * 1024 * 1024, 'p');
    curl_easy_setopt(curl.get(), CURLOPT_URL, durl_test::http_url("/echo").c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    std::string echo;
    curl_easy_setopt(
        curl.get(), CURLOPT_WRITEFUNCTION, +[](char *data, size_t size, size_t n, void *out) {
            static_cast<std::string *>(out)->append(data, size * n);
            return size * n;
        });
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &echo);
    ASSERT_EQ(curl_easy_perform(curl.get()), CURLE_OK);
    std::vector<durl_test::HttpRecord> records = durl_test::parse_http_records(echo);
    ASSERT_EQ(records.size(), 1u) << echo;
    const durl_test::HttpRecord &r = records[0];
    EXPECT_EQ(r.header("X-Test"), "yes");
    EXPECT_EQ(r.header("Connection"), "keep-alive");
    EXPECT_FALSE(r.has_header("Expect"));
    EXPECT_FALSE(r.has_header("Transfer-Encoding"));
    EXPECT_EQ(r.body_size, body.size());
}

TEST_F(Headers, RefusedInstallReleasesTheList) {
    // Without an easy handle libcurl refuses the list; nothing may leak.
    EXPECT_EQ(durl_http_header(nullptr, "A: 1\r\n", "u", "p", 5, nullptr, 1, 0), nullptr);
}

}  // namespace
