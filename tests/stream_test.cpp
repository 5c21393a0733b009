// Streamed reads against the real HTTP/HTTPS/FTP test servers: open, read piece by piece,
// close, the web-ticket retry, and the faults of the worker/pipe hand-over.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine.h"
#include "log_capture.h"
#include "servers.h"

using namespace durl_test;

namespace {

durl_url_param request(const std::string &url) {
    durl_url_param p{};
    snprintf(p.url, sizeof p.url, "%s", url.c_str());
    return p;
}

class StreamTest : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        ASSERT_EQ(durl_create(&h), 0);
        ASSERT_EQ(durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 2), 0);
    }

    int open(const std::string &url, durl_result *res = nullptr) {
        durl_url_param p = request(url);
        return durl_open(h, res, &p);
    }

    // Reads until the end of the body or a failure; returns the last durl_read code.
    int read_all(std::string &out, int chunk = 65536) {
        std::vector<char> buf(chunk);
        for (;;) {
            int n = durl_read(h, nullptr, buf.data(), chunk);
            if (n <= 0) return n;
            out.append(buf.data(), n);
        }
    }

    durl_handle *h = nullptr;
};

// Claims the device's web-ticket file for one test (exclusive create) and removes it after.
// headers_test uses the same fixed path: when it holds the file, claimed() is false.
class WebTicketFile {
public:
    static constexpr const char *kPath = "/tmp/web_ticket_auth";
    explicit WebTicketFile(const std::string &ticket) {
        int fd = ::open(kPath, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) return;
        claimed_ = write(fd, ticket.data(), ticket.size()) == static_cast<ssize_t>(ticket.size());
        close(fd);
    }
    ~WebTicketFile() {
        if (claimed_) unlink(kPath);
    }
    bool claimed() const { return claimed_; }

private:
    bool claimed_ = false;
};

TEST_F(StreamTest, OpenReturnsOnFirstBytesAndReadsWholeBody) {
    // Four 1000-byte pieces, 700 ms apart: the open must not wait for the whole body.
    ASSERT_EQ(open(http_url("/bytes/4000?chunk=1000&delay_ms=700")), 0);
    EXPECT_FALSE(log.contains(6, "[DCMN]durl thread: curl ok.\n")) << log.dump();
    std::string body;
    EXPECT_EQ(read_all(body), 0);
    EXPECT_EQ(body, pattern_body(4000));
    EXPECT_TRUE(log.contains(6, "[DCMN]durl thread: curl ok.\n"));
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, SmallBufferReadsInPiecesThenReportsTheEnd) {
    durl_result res{};
    ASSERT_EQ(open(http_url("/bytes/10"), &res), 0);
    EXPECT_EQ(res.recode, 0);
    char buf[4];
    std::string body;
    std::vector<int> counts;
    for (int i = 0; i < 4; ++i) {
        int n = durl_read(h, &res, buf, sizeof buf);
        counts.push_back(n);
        if (n > 0) body.append(buf, n);
    }
    EXPECT_EQ(counts, (std::vector<int>{4, 4, 2, 0}));
    EXPECT_EQ(body, pattern_body(10));
    EXPECT_EQ(res.recode, 0);
    EXPECT_TRUE(log.contains(4, "[DCMN]This url is read finish, There will be no more data.\n"));
    EXPECT_EQ(durl_close(h), 0);
    EXPECT_TRUE(log.contains(6, "[DCMN]durl close common: close stream.\n"));
}

TEST_F(StreamTest, EndOfBodyIsNeverATimeOut) {
    // Regression: a reader waiting while the worker finished slept out its whole time limit
    // and reported a good body's end as -128.
    const size_t sizes[] = {0, 1, 10, 2048, 5000, 70000};
    for (int round = 0; round < 8; ++round) {
        for (size_t size : sizes) {
            SCOPED_TRACE(size);
            // An empty body never starts: the open returns on the transfer's end.
            ASSERT_EQ(
                open(size ? http_url("/bytes/" + std::to_string(size)) : http_url("/say?body=")),
                0);
            std::string body;
            EXPECT_EQ(read_all(body, 4096), 0);
            EXPECT_EQ(body, pattern_body(size));
            EXPECT_EQ(durl_close(h), 0);
        }
    }
    EXPECT_FALSE(log.mentions("Pipe secect timeout")) << log.dump();
}

TEST_F(StreamTest, FailureMidBodyDeliversBytesThenTheLibcurlCode) {
    ASSERT_EQ(open(http_url("/bytes/100000?chunk=5000&stall_after=5000&stall_ms=50")), 0);
    std::string body;
    durl_result res{};
    std::vector<char> buf(65536);
    int n;
    while ((n = durl_read(h, &res, buf.data(), static_cast<int>(buf.size()))) > 0)
        body.append(buf.data(), n);
    EXPECT_EQ(body, pattern_body(5000));
    EXPECT_EQ(n, -100 - CURLE_PARTIAL_FILE);
    EXPECT_EQ(res.recode, -100 - CURLE_PARTIAL_FILE);
    EXPECT_TRUE(log.mentions("durl thread: ret=18")) << log.dump();
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, ReadWithoutWaitingFailsAtOnceWhenNothingArrived) {
    ASSERT_EQ(open(http_url("/bytes/2000?chunk=1000&delay_ms=3000")), 0);
    char buf[1000];
    ASSERT_EQ(durl_read(h, nullptr, buf, sizeof buf), 1000);
    durl_result res{};
    EXPECT_EQ(durl_read_common(h->stream, buf, sizeof buf, &res, 0), -1);
    EXPECT_EQ(res.recode, -128);
    EXPECT_TRUE(log.contains(3, "[DCMN]Pipe secect timeout, timeout = [0].\n"));
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, SilentServerTimesOutAndCloseStillCompletes) {
    ASSERT_EQ(durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 1), 0);
    const std::string urls[] = {http_url("/stall?stall_ms=20000"),
                                "http://127.0.0.1:" + std::to_string(black_hole_port()) + "/"};
    for (const std::string &url : urls) {
        SCOPED_TRACE(url);
        durl_result res{};
        EXPECT_EQ(open(url, &res), -128);
        EXPECT_EQ(res.recode, -128);
        EXPECT_EQ(durl_close(h), 0);
        EXPECT_TRUE(log.mentions("durl thread: ret=")) << log.dump();
        log.clear();
    }
}

TEST_F(StreamTest, CloseInTheMiddleOfALargeBodyEndsTheWorker) {
    // Regression: the worker's write into a pipe whose reader was gone raised SIGPIPE and
    // ended the whole process. Keep the default action so that would still kill us here.
    signal(SIGPIPE, SIG_DFL);
    ASSERT_EQ(durl_set_option(h, DURL_OPT_MAX_FILESIZE, 64 << 20), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(open(http_url("/bytes/" + std::to_string(64 << 20))), 0);
        char buf[65536];
        ASSERT_GT(durl_read(h, nullptr, buf, sizeof buf), 0);
        EXPECT_EQ(durl_close(h), 0);
    }
    EXPECT_TRUE(log.contains(3, "[DCMN]pipe write error, end transfer\n")) << log.dump();
    EXPECT_TRUE(log.mentions("durl thread: ret=23"));
}

TEST_F(StreamTest, WorkerThatFailsEarlyIsReportedAtOnceAndClosed) {
    // Regression: a worker that ended before its transfer never said so, so the open waited
    // out its time limit and a close could wait for ever.
    ASSERT_EQ(durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 30), 0);
    durl_result res{};
    EXPECT_EQ(open("gopher://127.0.0.1/x", &res), -103);
    EXPECT_TRUE(log.contains(3, "[DCMN]URL format err.\n"));
    char buf[16];
    EXPECT_EQ(durl_read(h, &res, buf, sizeof buf), -103);
    EXPECT_EQ(durl_close(h), 0);

    EXPECT_EQ(open("http://127.0.0.1:" + std::to_string(closed_port()) + "/", &res), -107);
    EXPECT_EQ(res.recode, -107);
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, StatusAndEffectiveUrlComeFromTheFinalResponse) {
    durl_result res{};
    EXPECT_EQ(open(http_url("/status/404"), &res), -1);
    EXPECT_EQ(res.recode, 404);
    std::string body;
    EXPECT_EQ(read_all(body), 0);
    EXPECT_EQ(body, "status 404\n");
    EXPECT_EQ(durl_close(h), 0);

    EXPECT_EQ(open(http_url("/redirect/2"), &res), 0);
    EXPECT_EQ(std::string(res.effective_url), http_url("/redirect/0"));
    body.clear();
    EXPECT_EQ(read_all(body), 0);
    EXPECT_EQ(body, "chain end\n");
    EXPECT_EQ(durl_close(h), 0);

    durl_url_param p = request(http_url("/redirect?to=/bytes/3"));
    p.no_redirect = 1;
    EXPECT_EQ(durl_open(h, &res, &p), 0);
    EXPECT_EQ(std::string(res.effective_url), http_url("/bytes/3"));
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, WebTicketChallengeIsRetriedWithTheTicket) {
    const std::string url = http_url("/webticket?marker=x-Ms-WEBticketURL");
    durl_result res{};
    {
        WebTicketFile ticket("ticket-4711");
        if (!ticket.claimed()) GTEST_SKIP() << "/tmp/web_ticket_auth is in use by another test";
        http_log_reset();
        EXPECT_EQ(open(url, &res), 0);
        EXPECT_EQ(res.recode, 0);
        EXPECT_TRUE(log.contains(4, "[DCMN]need webtick auth, retry use webtick.\n"));
        std::string body;
        EXPECT_EQ(read_all(body), 0);
        EXPECT_NE(body.find("header X-MS-WebTicket: ticket-4711\n"), std::string::npos) << body;
        EXPECT_EQ(durl_close(h), 0);
        std::vector<HttpRecord> seen = http_log();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_FALSE(seen[0].has_header("X-MS-WebTicket"));
        EXPECT_EQ(seen[1].header("X-MS-WebTicket"), "ticket-4711");
        EXPECT_EQ(h->webticket_retry, 0);
    }
    // Without the file the challenge is the answer.
    http_log_reset();
    EXPECT_EQ(open(url, &res), -1);
    EXPECT_EQ(res.recode, 401);
    EXPECT_EQ(durl_close(h), 0);
    EXPECT_EQ(http_log().size(), 1u);
}

TEST_F(StreamTest, SecondOpenClosesTheForgottenStream) {
    ASSERT_EQ(durl_set_option(h, DURL_OPT_MAX_FILESIZE, 64 << 20), 0);
    ASSERT_EQ(open(http_url("/bytes/" + std::to_string(16 << 20))), 0);
    ASSERT_EQ(open(http_url("/bytes/10")), 0);
    EXPECT_TRUE(log.contains(4, "[DCMN]durl open common: previous stream still open, close it.\n"));
    std::string body;
    EXPECT_EQ(read_all(body), 0);
    EXPECT_EQ(body, pattern_body(10));
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, HttpsStreamDescribesTheTlsSession) {
    ASSERT_EQ(open(https_url("/bytes/100")), 0);
    std::string body;
    EXPECT_EQ(read_all(body), 0);
    EXPECT_EQ(body, pattern_body(100));
    EXPECT_EQ(durl_close(h), 0);
    std::string dump = durl_config_snapshot(h).ssl_session_dump;
    EXPECT_NE(dump.find("protocol: TLSv1"), std::string::npos) << dump;
    EXPECT_NE(dump.find("subject: /CN=localhost"), std::string::npos) << dump;
}

TEST_F(StreamTest, FtpStreamRetriesADeniedLoginAsAnonymous) {
    ASSERT_TRUE(write_file(ftp_anon_dir() + "/stream.bin", pattern_body(3000)));
    durl_url_param p = request(ftp_url("/stream.bin", "nobody:wrong"));
    ASSERT_EQ(durl_open(h, nullptr, &p), 0);
    std::string body;
    EXPECT_EQ(read_all(body, 1000), 0);
    EXPECT_EQ(body, pattern_body(3000));
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, NullRecordsAndMissingStreams) {
    // No result record: the codes still come back.
    ASSERT_EQ(open(http_url("/bytes/5")), 0);
    char buf[16];
    EXPECT_EQ(durl_read(h, nullptr, buf, sizeof buf), 5);
    EXPECT_EQ(durl_read(h, nullptr, nullptr, sizeof buf), -2);
    EXPECT_EQ(durl_read(h, nullptr, buf, 0), -2);
    EXPECT_EQ(durl_close(h), 0);

    // No stream at all.
    log.clear();
    EXPECT_EQ(durl_close(h), 0);
    EXPECT_TRUE(log.contains(3, "[DCMN]durl close common: durl_stream is NULL.\n"));
    EXPECT_EQ(durl_read(h, nullptr, buf, sizeof buf), -2);
    EXPECT_TRUE(log.contains(3, "[DCMN]durl read common: Parameter is error.\n"));
    EXPECT_EQ(durl_open(h, nullptr, nullptr), -2);
    EXPECT_TRUE(log.contains(3, "[DCMN]durl open common: url_c is NULL.\n"));
    EXPECT_EQ(durl_close(h), 0);  // the failed open attached nothing

    // The default handle, by null and by its own address.
    ASSERT_EQ(durl_set_option(nullptr, DURL_OPT_CONNECT_TIMEOUT, 2), 0);
    durl_url_param p = request(http_url("/bytes/3"));
    ASSERT_EQ(durl_open(nullptr, nullptr, &p), 0);
    EXPECT_EQ(durl_read(nullptr, nullptr, buf, sizeof buf), 3);
    EXPECT_EQ(durl_close(&g_durl.default_handle), 0);
    EXPECT_EQ(g_durl.default_handle.stream, nullptr);

    // A destroyed handle is unknown to every entry point.
    durl_handle *gone = nullptr;
    ASSERT_EQ(durl_create(&gone), 0);
    ASSERT_EQ(durl_destroy(gone), 0);
    EXPECT_EQ(durl_open(gone, nullptr, &p), -102);
    EXPECT_EQ(durl_read(gone, nullptr, buf, sizeof buf), -102);
    EXPECT_EQ(durl_close(gone), -102);
    EXPECT_TRUE(log.contains(3, "[DCMN]close fails, You must call the init function.\n"));
}

TEST_F(StreamTest, ParallelStreamsOnSeparateHandles) {
    constexpr int kHandles = 8;
    durl_handle *hs[kHandles] = {};
    for (auto &x : hs) ASSERT_EQ(durl_create(&x), 0);
    for (int i = 0; i < kHandles; ++i) {
        durl_url_param p = request(http_url("/bytes/" + std::to_string(30000 + i)));
        ASSERT_EQ(durl_open(hs[i], nullptr, &p), 0);
    }
    // Interleaved reads: every stream gets exactly its own body.
    std::string bodies[kHandles];
    bool done[kHandles] = {};
    for (int left = kHandles; left > 0;) {
        for (int i = 0; i < kHandles; ++i) {
            if (done[i]) continue;
            char buf[3000];
            int n = durl_read(hs[i], nullptr, buf, sizeof buf);
            ASSERT_GE(n, 0);
            if (n == 0) {
                done[i] = true;
                --left;
            }
            bodies[i].append(buf, n);
        }
    }
    for (int i = 0; i < kHandles; ++i) {
        EXPECT_EQ(bodies[i], pattern_body(30000 + i));
        EXPECT_EQ(durl_close(hs[i]), 0);
    }
}

// `durl stream`: the body reaches standard output through open/read/close, flags reach the
// request, and a refusing server gives the tool's status and no body.
TEST(StreamTool, WritesTheBodyToStandardOutput) {
    const std::string dir = scratch_dir("stream-tool");
    auto run = [&](const std::string &args, std::string &out) {
        std::string cmd = std::string(DURL_TEST_BINARY_DIR) + "/../durl stream " + args + " > " +
                          dir + "/out 2> " + dir + "/err";
        int raw = std::system(cmd.c_str());
        out = read_file(dir + "/out");
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    };
    std::string out;
    EXPECT_EQ(run("-b 1000 '" + http_url("/bytes/70000") + "'", out), 0);
    EXPECT_EQ(out, pattern_body(70000));
    EXPECT_EQ(run("-H 'X-Probe: 7' '" + https_url("/echo") + "'", out), 0);
    EXPECT_NE(out.find("header X-Probe: 7\n"), std::string::npos) << out;
    EXPECT_EQ(run("'" + http_url("/status/404") + "'", out), 22);
    EXPECT_EQ(out, "");
    EXPECT_EQ(read_file(dir + "/err"), "durl stream: server answered 404 (code -1)\n");
}

}  // namespace
