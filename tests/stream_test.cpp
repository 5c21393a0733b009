// Streamed reads against the real HTTP/HTTPS test servers: the faults mended in the hand-over
// between the worker, the pipe and the caller, and reads in pieces (the web-ticket retry is
// in hostile_test, beside the ticket's line-break check).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "handle.h"
#include "servers.h"
#include "transfer_util.h"

using namespace durl_test;

#if defined(__SANITIZE_THREAD__)
#define DURL_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DURL_TEST_TSAN 1
#endif
#endif

namespace {

class StreamTest : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        ASSERT_EQ(durl_create(&h), 0);
        ASSERT_EQ(durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 2), 0);
    }

    int open(const std::string &url, durl_result *res = nullptr, int no_redirect = 0) {
        durl_url_param p = make_param(url);
        p.no_redirect = no_redirect;
        return durl_open(h, res, &p);
    }

    // Reads to the end of the body, which must come without a failure.
    std::string read_body(int chunk = 65536) {
        std::vector<char> buf(chunk);
        std::string out;
        int n;
        while ((n = durl_read(h, nullptr, buf.data(), chunk)) > 0) out.append(buf.data(), n);
        EXPECT_EQ(n, 0);
        return out;
    }

    durl_handle *h = nullptr;
};

TEST_F(StreamTest, SmallBufferReadsInPiecesThenReportsTheEnd) {
    durl_result res{};
    ASSERT_EQ(open(http_url("/bytes/10"), &res), 0);
    char buf[4];
    std::string body;
    std::vector<int> counts;
    for (int i = 0; i < 4; ++i) {
        counts.push_back(durl_read(h, &res, buf, sizeof buf));
        body.append(buf, std::max(counts.back(), 0));
    }
    EXPECT_EQ(counts, (std::vector<int>{4, 4, 2, 0}));
    EXPECT_EQ(body, pattern_body(10));
    EXPECT_TRUE(log.contains(4, "[DCMN]This url is read finish, There will be no more data.\n"));
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, BodyIsWholeWhereverItsTransferChangesThreads) {
    // The opener runs a transfer up to its first body block, then a worker takes the rest:
    // bodies that end within that block, that go on after it, and whose first block is too
    // large for the opener (held back, then given again to the worker) all arrive whole.
    struct Row {
        long buffer;
        std::string url;
        size_t size;
    } rows[] = {{2048, http_url("/bytes/10"), 10},
                {2048, https_url("/bytes/300000?chunked=1&chunk=5000"), 300000},
                {512 * 1024, http_url("/bytes/3000000"), 3000000},
                {512 * 1024, https_url("/bytes/3000000"), 3000000}};
    ASSERT_EQ(durl_set_option(h, DURL_OPT_MAX_FILESIZE, 8 << 20), 0);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.url + " buffer " + std::to_string(row.buffer));
        ASSERT_EQ(durl_set_option(h, DURL_OPT_RECV_BUFFER, row.buffer), 0);
        ASSERT_EQ(open(row.url), 0);
        EXPECT_TRUE(read_body(row.size > 10 ? 65536 : 3) == pattern_body(row.size));
        EXPECT_EQ(durl_close(h), 0);
    }
}

TEST_F(StreamTest, EndOfBodyIsNeverATimeOut) {
    // Fault guarded: a reader that waited while the worker finished reported the end as -128.
    for (int round = 0; round < 4; ++round) {
        for (size_t size : {0, 1, 10, 2048, 5000, 70000}) {
            SCOPED_TRACE(size);
            ASSERT_EQ(open(http_url("/bytes/" + std::to_string(size))), 0);
            EXPECT_EQ(read_body(4096), pattern_body(size));
            EXPECT_EQ(durl_close(h), 0);
        }
    }
    EXPECT_FALSE(log.mentions("Pipe secect timeout")) << log.dump();
}

TEST_F(StreamTest, LargeBodyLeftInTheMiddleEndsItsWorker) {
    // Faults guarded: a pipe write after the close raised SIGPIPE and ended the whole process;
    // a second open on a handle lost the first stream's worker and records.
    signal(SIGPIPE, SIG_DFL);  // the default action, so that fault would still end this test
    ASSERT_EQ(durl_set_option(h, DURL_OPT_MAX_FILESIZE, 64 << 20), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(open(http_url("/bytes/" + std::to_string(64 << 20))), 0);
        char buf[65536];
        ASSERT_GT(durl_read(h, nullptr, buf, sizeof buf), 0);
        EXPECT_EQ(durl_close(h), 0);
    }
    EXPECT_TRUE(log.contains(3, "[DCMN]pipe write error, end transfer\n")) << log.dump();
    EXPECT_TRUE(log.mentions("durl thread: ret=23"));
    ASSERT_EQ(open(http_url("/bytes/" + std::to_string(16 << 20))), 0);
    ASSERT_EQ(open(http_url("/bytes/10")), 0);
    EXPECT_TRUE(log.contains(4, "[DCMN]durl open common: previous stream still open, close it.\n"));
    EXPECT_EQ(read_body(), pattern_body(10));
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, WorkerThatEndsEarlyOrWaitsIsReportedAndClosed) {
    // Fault guarded: a worker that ended early never said so, and its close waited for ever.
    ASSERT_EQ(durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 1), 0);
    const std::pair<std::string, int> rows[] = {
        {"gopher://127.0.0.1/x", -103},
        {"http://127.0.0.1:" + std::to_string(closed_port()) + "/", -107},
        {"http://127.0.0.1:" + std::to_string(black_hole_port()) + "/", -128}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.first);
        durl_result res{};
        EXPECT_EQ(open(row.first, &res), row.second);
        EXPECT_EQ(res.recode, row.second);
        char buf[16];
        EXPECT_LT(durl_read(h, nullptr, buf, sizeof buf), 0);
        EXPECT_EQ(durl_close(h), 0);
    }
}

TEST_F(StreamTest, HttpsStreamDescribesTheTlsSession) {
    // Fault guarded: a stream over HTTPS left no TLS session text on its handle.
    ASSERT_EQ(open(https_url("/bytes/100")), 0);
    EXPECT_EQ(read_body(), pattern_body(100));
    EXPECT_EQ(durl_close(h), 0);
    std::string dump = durl_config_snapshot(h).ssl_session_dump;
    EXPECT_NE(dump.find("protocol: TLSv1"), std::string::npos) << dump;
    EXPECT_NE(dump.find("subject: /CN=localhost"), std::string::npos) << dump;
}

TEST_F(StreamTest, StatusAndTargetAreKnownWhileTheBodyStillFlows) {
    // Fault guarded: the opener read the status from the easy handle the worker was driving.
    ASSERT_EQ(open(http_url("/bytes/4000?chunk=1000&delay_ms=700")), 0);
    EXPECT_FALSE(log.contains(6, "[DCMN]durl thread: curl ok.\n"))
        << "the open waited for the whole body";
    EXPECT_EQ(durl_close(h), 0);
    durl_result res{};
    EXPECT_EQ(open(http_url("/status/404"), &res), -1);
    EXPECT_EQ(res.recode, 404);
    EXPECT_EQ(read_body(), "status 404\n");
    EXPECT_EQ(durl_close(h), 0);
    EXPECT_EQ(open(http_url("/redirect?to=/bytes/3"), &res, 1), 0);
    EXPECT_EQ(std::string(res.effective_url), http_url("/bytes/3"));
    EXPECT_EQ(durl_close(h), 0);
    // The handle's streams share one worker: the next one sends and reports only its own.
    durl_url_param p = make_param(http_url("/echo"));
    char own_header[] = "X-Open: last\r\n";
    p.headers = own_header;
    res = durl_result{};
    EXPECT_EQ(durl_open(h, &res, &p), 0);
    EXPECT_EQ(res.recode, 0);
    EXPECT_STREQ(res.effective_url, "");
    std::vector<HttpRecord> sent = parse_http_records(read_body());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].target, "/echo");
    EXPECT_EQ(sent[0].header("X-Open"), "last");
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, StalledBodyGivesWhatArrivedThenTheTimeOut) {
    // Fault guarded: a read held back what had arrived until its wait ran out, then logged
    // the short read as an error.
    ASSERT_EQ(durl_set_option(h, DURL_OPT_LOW_SPEED_TIME, 1), 0);
    ASSERT_EQ(open(http_url("/bytes/100000?chunk=1000&stall_after=3000&stall_ms=5000")), 0);
    std::vector<char> buf(65536);
    std::string got;
    durl_result res{};
    int n;
    while ((n = durl_read(h, &res, buf.data(), static_cast<int>(buf.size()))) > 0)
        got.append(buf.data(), n);
    EXPECT_EQ(got, pattern_body(3000));
    EXPECT_EQ(n, -128);
    EXPECT_EQ(res.recode, -128);
    EXPECT_FALSE(log.mentions("read size")) << log.dump();
    EXPECT_EQ(durl_close(h), 0);
    // A slow body read in small pieces arrives whole.
    ASSERT_EQ(open(http_url("/bytes/3000?chunk=100&delay_ms=5")), 0);
    EXPECT_EQ(read_body(7), pattern_body(3000));
    EXPECT_EQ(durl_close(h), 0);
    // Fault guarded: bytes waited in the worker's batch for more to come. A byte every 400 ms
    // against reads that wait one second for their first byte.
    ASSERT_EQ(open(http_url("/bytes/6?chunk=1&delay_ms=400")), 0);
    EXPECT_EQ(read_body(), pattern_body(6));
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, FtpAndTftpStreamsReportTheirOwnCodes) {
    // Fault guarded: every stream was classified as HTTP, so a TFTP stream logged a status
    // it never has as a failed request.
    const std::string body = pattern_body(20000);
    ASSERT_TRUE(write_file(ftp_user_dir() + "/s.bin", body));
    std::vector<std::pair<std::string, int>> rows = {{ftp_url("/s.bin"), 0},
                                                     {ftp_url("/missing.bin"), -178}};
    if (tftp_available()) {
        ASSERT_TRUE(write_file(tftp_root() + "/s.bin", body));
        rows.push_back({tftp_url("/s.bin"), 0});
        rows.push_back({tftp_url("/missing.bin"), -168});
    }
    for (const auto &row : rows) {
        SCOPED_TRACE(row.first);
        log.clear();
        durl_result res{};
        EXPECT_EQ(open(row.first, &res), row.second);
        EXPECT_EQ(res.recode, row.second);
        if (row.second == 0) {
            EXPECT_TRUE(read_body() == body);
        }
        EXPECT_EQ(durl_close(h), 0);
        EXPECT_FALSE(log.mentions("Request err.")) << log.dump();
        EXPECT_STREQ(res.effective_url, "");
    }
    // A denied login ends before any body, on the opener's thread; the worker runs the
    // anonymous retry.
    ASSERT_TRUE(write_file(ftp_anon_dir() + "/anon.txt", "anonymous data"));
    ASSERT_EQ(open(ftp_url("/anon.txt", "bad:creds")), 0);
    EXPECT_EQ(read_body(), "anonymous data");
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, EachStreamOpensItsOwnConnection) {
    // Guards the easy handle a worker keeps between streams: no stream finds the connection
    // of the one before it, nor leaves its own behind.
    for (const std::string &url : {http_url("/conn"), https_url("/conn")}) {
        SCOPED_TRACE(url);
        std::vector<std::string> ports;
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(open(url), 0);
            ports.push_back(read_body());
            EXPECT_EQ(durl_close(h), 0);
        }
        EXPECT_NE(ports[0], ports[1]);
        EXPECT_NE(ports[1], ports[2]);
    }
}

TEST_F(StreamTest, NtlmAnswersOverTheConnectionOfItsChallenge) {
    // Guards those connection rules where they must give way: an NTLM answer has to go over
    // the connection that got the challenge (the server refuses it on any other).
    for (const std::string &url : {http_url("/auth/ntlm"), https_url("/auth/ntlm")}) {
        SCOPED_TRACE(url);
        durl_url_param p = make_param(url);
        std::snprintf(p.user, sizeof p.user, "%s", "alice");
        std::snprintf(p.password, sizeof p.password, "%s", "secret");
        p.auth = 3;
        durl_result res{};
        EXPECT_EQ(durl_open(h, &res, &p), 0) << res.recode;
        EXPECT_NE(read_body().find("/auth/ntlm"), std::string::npos);
        EXPECT_EQ(durl_close(h), 0);
    }
    // The next stream, without credentials, on the same worker.
    ASSERT_EQ(open(http_url("/bytes/10")), 0);
    EXPECT_EQ(read_body(), pattern_body(10));
    EXPECT_EQ(durl_close(h), 0);
}

TEST_F(StreamTest, ChildMadeByForkStreamsOnItsOwnWorker) {
#ifdef DURL_TEST_TSAN
    GTEST_SKIP() << "the thread sanitizer ends a forked child that starts a thread";
#endif
    // Guards the fork check: a child handing its stream to the parent's worker, which it
    // does not have, would wait for the answer until the time-out.
    ASSERT_EQ(open(http_url("/bytes/10")), 0);
    EXPECT_EQ(read_body(), pattern_body(10));
    EXPECT_EQ(durl_close(h), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        durl_url_param p = make_param(http_url("/bytes/10"));
        char buf[64];
        bool ok = durl_open(h, nullptr, &p) == 0 && durl_read(h, nullptr, buf, sizeof buf) == 10 &&
                  pattern_body(10) == std::string(buf, 10) && durl_close(h) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The parent's worker still serves the parent.
    ASSERT_EQ(open(http_url("/bytes/10")), 0);
    EXPECT_EQ(read_body(), pattern_body(10));
    EXPECT_EQ(durl_close(h), 0);
}

}  // namespace
