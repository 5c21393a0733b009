// Hostile peers and hostile input: caller texts that would add lines to a request, a web
// ticket that would add a header, and servers that misbehave on purpose (cut and mismatched
// bodies, endless headers, trickles, redirect loops, a stalled TLS handshake).
#include <unistd.h>

#include <string>
#include <vector>

#include "handle.h"
#include "servers.h"
#include "transfer_util.h"

using namespace durl_test;

namespace {

class Hostile : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        dir = scratch_dir("hostile");
        local = dir + "/local.txt";
        ASSERT_TRUE(write_file(local, "local file\n"));
    }

    int call(const std::string &how, durl_handle *h, const durl_url_param &p,
             const char *send_name = nullptr) {
        return transfer_by(how, h, p, dir + "/target", local, send_name);
    }

    std::string dir, local;
};

const char *const kCalls[] = {"file", "memory", "upload", "open"};

TEST_F(Hostile, WireOptionsWithLineBreaksAreRefusedAndKeepTheirValues) {
    // Fault guarded: a CR LF in the user agent or the custom method put a header line of the
    // caller's making on the wire, and the refusal of a text option returned 0.
    Handle h;
    const struct Row {
        int option;
        const char *good;
    } rows[] = {{DURL_OPT_USER_AGENT, "agent/1"},
                {DURL_OPT_CUSTOM_METHOD, "PATCH"},
                {DURL_OPT_DISPOSITION, "file-field"},
                {DURL_OPT_EXTERN_DISPOSITION, "extra-field"},
                {DURL_OPT_EXTERN_BODY, "extra-value"}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.good);
        ASSERT_EQ(durl_set_option(h, r.option, r.good), 0);
        for (const char *evil : {"x\r\nX-Injected: 1", "x\nX-Injected: 1", "x\rX-Injected: 1"})
            EXPECT_EQ(durl_set_option(h, r.option, evil), -2);
    }
    EXPECT_FALSE(log.mentions("X-Injected")) << "a refused value reached the log";

    http_log_reset();
    durl_url_param p = make_param(http_url("/echo"));
    p.method = DURL_METHOD_CUSTOM;
    char body[] = "body";
    p.post_data = body;
    EXPECT_EQ(call("memory", h, p), 0);
    p.post_data = nullptr;
    p.method = DURL_METHOD_POST;
    EXPECT_EQ(call("upload", h, p, "sent.txt"), 0);
    std::vector<HttpRecord> seen = http_log();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "PATCH");
    for (const HttpRecord &rec : seen) {
        EXPECT_EQ(rec.header("User-Agent"), "agent/1");
        EXPECT_FALSE(rec.has_header("X-Injected"));
    }
    ASSERT_EQ(seen[1].parts.size(), 2u);
    EXPECT_EQ(seen[1].parts[0].name, "extra-field");
    EXPECT_EQ(seen[1].parts[0].body, "extra-value");
    EXPECT_EQ(seen[1].parts[1].name, "file-field");
}

TEST_F(Hostile, RequestTextsWithLineBreaksSendNothing) {
    // Fault guarded: a CR LF in the user name (Digest, FTP USER) or the password went on the
    // wire as it was, adding lines of the caller's making.
    Handle h;
    const std::string victim = ftp_user_dir() + "/victim.txt";
    ASSERT_TRUE(write_file(victim, "keep me"));
    ASSERT_TRUE(write_file(dir + "/target", "old copy"));
    const struct Row {
        std::string url;
        const char *user, *password, *headers, *send_name;
    } rows[] = {
        {ftp_url("/victim.txt", ""), "user\r\nDELE victim.txt", "pass", nullptr, nullptr},
        {ftp_url("/victim.txt", ""), "user", "pass\r\nDELE victim.txt", nullptr, nullptr},
        {http_url("/auth/digest?user=u&pass=p"), "u\r\nX-Injected: 1", "p", nullptr, nullptr},
        {http_url("/echo"), "", "", "X-A: 1\nX-Injected: 1\r\n", nullptr},
        {http_url("/echo"), "", "", "X-A: 1\rX-Injected: 1\r\n", nullptr},
        {http_url("/echo"), "", "", nullptr, "name\r\nX-Injected: 1"},
    };
    for (const Row &r : rows) {
        durl_url_param p = make_param(r.url);
        p.auth = 2;
        snprintf(p.user, sizeof p.user, "%s", r.user);
        snprintf(p.password, sizeof p.password, "%s", r.password);
        std::string headers = r.headers ? r.headers : "";
        p.headers = r.headers ? &headers[0] : nullptr;
        for (const char *how : kCalls) {
            if (r.send_name && std::string(how) != "upload") continue;
            SCOPED_TRACE(std::string(how) + " " + r.user + r.password + headers);
            http_log_reset();
            ftp_commands_reset();
            EXPECT_EQ(call(how, h, p, r.send_name), -2);
            EXPECT_TRUE(http_log().empty());
            EXPECT_TRUE(ftp_commands().empty());
        }
    }
    EXPECT_EQ(read_file(victim), "keep me");
    EXPECT_EQ(read_file(dir + "/target"), "old copy");
    EXPECT_TRUE(log.contains(3, "[DCMN]request refused: line break in the user name.\n"));

    // The same request without the smuggled line goes through: the check refuses only that.
    durl_url_param p = make_param(ftp_url("/victim.txt", ""));
    snprintf(p.user, sizeof p.user, "user");
    snprintf(p.password, sizeof p.password, "pass");
    Fetch f = fetch_memory(h, p);
    EXPECT_EQ(f.rc, 0);
    EXPECT_EQ(f.body, "keep me");
}

TEST_F(Hostile, WebTicketChallengeIsRetriedWithTheTicketUpToItsFirstLineBreak) {
    // A 401 naming the web ticket is retried once when the ticket file exists. Fault guarded:
    // the file's bytes went into the header as they were, so a CR LF in it added a header and
    // the usual trailing line feed ended up inside the value.
    const char *ticket = "/tmp/web_ticket_auth";  // one path on the device: RESOURCE_LOCK
    Handle h;
    const struct Row {
        std::string file;  // empty: no file at all
        int rc;
        const char *sent;  // the ticket the retry carried; nullptr: no ticket line
    } rows[] = {
        {"ticket-1\n", 0, "ticket-1"},
        {"ticket-2\r\nX-Injected: 1\r\n", 0, "ticket-2"},
        {std::string("ticket-3\0\nX-Injected: 1", 23), 0, "ticket-3"},
        {"\r\nX-Injected: 1\n", -1, nullptr},  // empty once cut: no line, the 401 stands
        {"\n", -1, nullptr},
        {"", -1, nullptr},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.file);
        unlink(ticket);
        if (!r.file.empty()) {
            ASSERT_TRUE(write_file(ticket, r.file));
        }
        http_log_reset();
        log.clear();
        durl_url_param p = make_param(http_url("/webticket"));
        durl_result res{};
        EXPECT_EQ(durl_open(h, &res, &p), r.rc);
        EXPECT_EQ(res.recode, r.rc ? 401 : 0);
        EXPECT_EQ(durl_close(h), 0);
        EXPECT_EQ(h.get()->webticket_retry, 0);
        const bool retried = !r.file.empty();
        EXPECT_EQ(log.contains(4, "[DCMN]need webtick auth, retry use webtick.\n"), retried);
        std::vector<HttpRecord> seen = http_log();
        ASSERT_EQ(seen.size(), retried ? 2u : 1u);
        EXPECT_EQ(seen[0].status, 401);
        EXPECT_FALSE(seen[0].has_header("X-MS-WebTicket"));
        EXPECT_EQ(seen.back().header("X-MS-WebTicket"), r.sent ? r.sent : "");
        EXPECT_EQ(seen.back().has_header("X-MS-WebTicket"), r.sent != nullptr);
        EXPECT_FALSE(seen.back().has_header("X-Injected"));
    }
    unlink(ticket);
}

TEST_F(Hostile, MisbehavingServersEndWithAClearCodeAndLoseNothing) {
    Handle h;
    ASSERT_EQ(durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 2), 0);
    ASSERT_EQ(durl_set_option(h, DURL_OPT_LOW_SPEED_TIME, 2), 0);
    ASSERT_EQ(durl_set_option(h, DURL_OPT_LOW_SPEED_LIMIT, 100), 0);
    const struct Row {
        std::string url;
        int rc;       // to a file and to memory
        size_t kept;  // bytes of a successful body
    } rows[] = {
        {hostile_url("/length?declared=100000&size=50000"), -118, 0},  // cut off mid-way
        {hostile_url("/length?declared=1000&size=5000"), 0, 1000},     // longer than declared
        {hostile_url("/endless-header"), -127, 0},  // libcurl: header line over its 100 KiB
        {hostile_url("/header-flood"), -156, 0},    // libcurl: headers over its total limit
        {hostile_url("/trickle?size=1000&every_ms=500"), -128, 0},  // below the low-speed limit
        {hostile_url("/loop"), -147, 0},                            // too many redirects
        {hostile_url("/redirect?to=file:///etc/passwd"), -101, 0},  // scheme not followed
        {hostile_url("/", "stall"), -128, 0},                       // TLS handshake never answered
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.url);
        ASSERT_TRUE(write_file(dir + "/old", "old copy"));
        Fetch f = fetch_file(h, make_param(r.url), dir + "/old");
        EXPECT_EQ(f.rc, r.rc);
        EXPECT_EQ(read_file(dir + "/old"), r.rc ? "old copy" : filler(r.kept))
            << "the old file must stay whole";
        EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"local.txt", "old"}));
        Fetch m = fetch_memory(h, make_param(r.url));
        EXPECT_EQ(m.rc, r.rc);
        EXPECT_EQ(m.has_data, r.rc == 0);
        EXPECT_EQ(m.body, r.rc ? "" : filler(r.kept));
        // A stream meets the same server: it ends, with a failure where the transfer fails.
        Streamed s = read_stream(h, make_param(r.url));
        EXPECT_EQ(s.rc == 0, r.rc == 0) << s.rc;
        EXPECT_EQ(s.closed, 0);
    }
}

TEST_F(Hostile, SizeCapHoldsAsTheBytesArrive) {
    // Fault guarded: the cap held only for an announced size, so chunked, close-framed,
    // inflated, FTP-without-SIZE and TFTP bodies (and streams of them) ran past it, grew
    // memory without bound and replaced the old file with the oversized one.
    const int cap = 16384;
    const std::string big = filler(1 << 20);
    ASSERT_TRUE(write_file(ftp_user_dir() + "/size-none-big.bin", big));
    ASSERT_TRUE(write_file(ftp_user_dir() + "/size-none-cap.bin", filler(cap)));
    const struct Row {
        std::string url;
        int filesize;  // the handle's cap
        int max_size;  // the request's cut
        int rc;
        size_t kept;  // bytes of a successful body
    } base[] = {
        {hostile_url("/chunked?size=1048576"), cap, 0, -163, 0},
        {hostile_url("/close?size=1048576"), cap, 0, -163, 0},
        {hostile_url("/gzip?size=1048576"), cap, 0, -163, 0},              // inflated by libcurl
        {hostile_url("/gzip?size=16777216&as=content"), cap, 0, -163, 0},  // 32 KiB as sent
        {hostile_url("/ok?size=1048576"), cap, 0, -163, 0},  // announced: refused before
        {ftp_url("/size-none-big.bin"), cap, 0, -163, 0},
        {hostile_url("/chunked?size=16384"), cap, 0, 0, cap},  // exactly the cap
        {ftp_url("/size-none-cap.bin"), cap, 0, 0, cap},
        {hostile_url("/chunked?size=1048576"), 0, 0, 0, 1 << 20},        // 0: no cap
        {hostile_url("/chunked?size=1048576"), cap, 100000, 0, 100000},  // the cut decides
    };
    std::vector<Row> rows(std::begin(base), std::end(base));
    if (tftp_available()) {
        ASSERT_TRUE(write_file(tftp_root() + "/cap.bin", big));
        rows.push_back({tftp_url("/cap.bin"), cap, 0, -163, 0});
    }
    Handle h;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.url + " cap " + std::to_string(r.filesize));
        ASSERT_EQ(durl_set_option(h, DURL_OPT_MAX_FILESIZE, r.filesize), 0);
        durl_url_param p = make_param(r.url);
        p.max_size = r.max_size;
        ASSERT_TRUE(write_file(dir + "/old", "old copy"));
        EXPECT_EQ(fetch_file(h, p, dir + "/old").rc, r.rc);
        const std::string want = r.rc ? "" : filler(r.kept);
        const std::string old = read_file(dir + "/old");
        EXPECT_TRUE(old == (r.rc ? "old copy" : want)) << old.size() << " bytes on disk";
        EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"local.txt", "old"}));
        Fetch m = fetch_memory(h, p);
        EXPECT_EQ(m.rc, r.rc);
        EXPECT_TRUE(m.body == want) << m.body.size() << " bytes in memory";
        if (r.max_size) continue;  // streams take no cut
        Streamed s = read_stream(h, p);
        EXPECT_EQ(s.rc, r.rc);
        EXPECT_LE(s.body.size(), static_cast<size_t>(r.filesize ? r.filesize : 1 << 20));
        if (r.rc == 0) {
            EXPECT_TRUE(s.body == want) << s.body.size() << " bytes streamed";
        }
    }
}

TEST_F(Hostile, RedirectsCarryCredentialsOnlyToTheirOrigin) {
    // Fault guarded: with following redirects on, the user name and password (and a caller's
    // Authorization line) went to whatever host, port or scheme a redirect named.
    Handle h;
    ASSERT_EQ(durl_set_option(h, DURL_OPT_SSL_VERIFY_PEER, 0), 0);
    ASSERT_EQ(durl_set_option(h, DURL_OPT_SSL_VERIFY_HOST, 0), 0);
    ASSERT_TRUE(write_file(ftp_anon_dir() + "/redir.txt", "via ftp"));
    ASSERT_TRUE(write_file(ftp_user_dir() + "/redir.txt", "user's own"));
    std::string auth_elsewhere = http_url("/auth/basic?user=u&pass=p");
    auth_elsewhere.replace(auth_elsewhere.find("127.0.0.1"), 9, "localhost");
    const auto to = [](const std::string &target, const char *listener = "http") {
        return hostile_url("/redirect?to=" + target, listener);
    };
    const struct Row {
        const char *name;
        std::string url;
        int auth;
        const char *header;  // a caller's Authorization line, else user "u" / password "p"
        int rc;
        bool kept;  // the redirect's target saw the credentials
    } rows[] = {
        {"other host", to(hostile_url("/ok?size=3", "http", "localhost")), 1, nullptr, 0, false},
        {"other port", to(hostile_url("/ok?size=3", "http2")), 1, nullptr, 0, false},
        {"https to http", to(hostile_url("/ok?size=3", "http"), "https"), 1, nullptr, 0, false},
        {"401 with auth any", to(auth_elsewhere), 0, nullptr, -1, false},
        {"caller's header", to(hostile_url("/ok?size=3", "http2")), 0,
         "Authorization: Bearer secret\r\n", 0, false},
        {"built header (auth 5)", to(hostile_url("/ok?size=3", "http", "localhost")), 5, nullptr, 0,
         false},
        {"http to ftp", to(ftp_url("/redir.txt", "")), 1, nullptr, 0, false},
        {"same origin", to("/ok?size=3"), 1, nullptr, 0, true},
        {"same origin, header", to("/ok?size=3"), 0, "Authorization: Bearer secret\r\n", 0, true},
    };
    for (const Row &r : rows) {
        durl_url_param p = make_param(r.url);
        p.auth = r.auth;
        std::string headers = r.header ? r.header : "";
        p.headers = r.header ? &headers[0] : nullptr;
        if (!r.header) {
            snprintf(p.user, sizeof p.user, "u");
            snprintf(p.password, sizeof p.password, "p");
        }
        for (const char *how : {"memory", "open"}) {
            SCOPED_TRACE(std::string(r.name) + " " + how);
            hostile_log_reset();
            http_log_reset();
            ftp_commands_reset();
            EXPECT_EQ(call(how, h, p), r.rc);
            std::vector<HttpRecord> seen = hostile_log();
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen[0].has_header("Authorization"), r.auth != 0 || r.header);
            std::vector<HttpRecord> after(seen.begin() + 1, seen.end());
            for (const HttpRecord &rec : http_log()) after.push_back(rec);
            const bool ftp = !ftp_commands().empty();
            EXPECT_EQ(after.empty(), ftp) << "the redirect was not followed";
            for (const HttpRecord &rec : after)
                EXPECT_EQ(rec.has_header("Authorization"), r.kept) << rec.server << rec.target;
            if (ftp) {
                EXPECT_TRUE(ftp_sent("USER anonymous") && !ftp_sent("PASS p"));
            }
        }
    }
}

TEST_F(Hostile, FtpAppendRefusesAnInsaneRemoteSize) {
    // Fault guarded: libcurl reads "213 -1048576" as 1048576 and a size beyond 64 bits as 0,
    // and the append went ahead at that guess.
    Handle h;
    ASSERT_TRUE(write_file(ftp_user_dir() + "/sane.txt", "remote\n"));
    const struct Row {
        const char *name;
        int rc;
        const char *sent;  // the command that carried the file, nullptr: nothing sent
    } rows[] = {
        {"size-negative.txt", -108, nullptr},
        {"size-huge.txt", -108, nullptr},
        {"sane.txt", 0, "APPE sane.txt"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        durl_url_param p = make_param(ftp_url("/"));
        p.ftp_append = 1;
        p.append_limit = 2;
        ftp_commands_reset();
        EXPECT_EQ(call("upload", h, p, r.name), r.rc);
        EXPECT_TRUE(ftp_sent("SIZE " + std::string(r.name)));
        EXPECT_EQ(ftp_sent("APPE") || ftp_sent("STOR"), r.sent != nullptr);
        if (r.sent) {
            EXPECT_TRUE(ftp_sent(r.sent));
        }
    }
    EXPECT_EQ(read_file(ftp_user_dir() + "/sane.txt"), "remote\nlocal file\n");
    EXPECT_TRUE(log.contains(3,
                             "[DCMN]upload common: server file size not usable, append "
                             "refused.\n"));
}

}  // namespace
