// Downloads to files and memory over every scheme, their failure paths, size limits, the
// anonymous FTP retry and the per-handle connection cache, against the local peers.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "durl.h"
#include "log_capture.h"
#include "servers.h"
#include "transfer_util.h"

using namespace durl_test;

namespace {

class Download : public DurlTest {};

std::string port_url(int port, const std::string &path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

}  // namespace

TEST_F(Download, EverySchemeToFileAndToMemory) {
    const std::string body = pattern_body(100000);
    ASSERT_TRUE(write_file(ftp_user_dir() + "/dl.bin", body));
    std::vector<std::string> urls = {http_url("/bytes/100000"), https_url("/bytes/100000"),
                                     http_url("/bytes/100000?chunked=1"), ftp_url("/dl.bin")};
    if (tftp_available()) {
        ASSERT_TRUE(write_file(tftp_root() + "/dl.bin", body));
        urls.push_back(tftp_url("/dl.bin"));
    }
    const std::string dir = scratch_dir("schemes");
    for (const std::string &url : urls) {
        SCOPED_TRACE(url);
        durl_url_param p = make_param(url);
        Fetch m = fetch_memory(nullptr, p);
        EXPECT_EQ(0, m.rc);
        EXPECT_EQ(0, m.recode);
        EXPECT_TRUE(m.body == body) << m.body.size();
        Fetch f = fetch_file(nullptr, p, dir + "/out.bin");
        EXPECT_EQ(0, f.rc);
        EXPECT_TRUE(read_file(dir + "/out.bin") == body);
        EXPECT_EQ(std::vector<std::string>{"out.bin"}, list_dir(dir));
    }
    EXPECT_EQ(2 * urls.size(), log.count(6, "[DCMN]download common success.\n"));
    EXPECT_EQ(urls.size(), log.count(6, "[DCMN]I will write to file: " + dir + "/out.bin\n"));
}

TEST_F(Download, FailuresReportTheirCodes) {
    ASSERT_EQ(0, durl_set_option(nullptr, DURL_OPT_CONNECT_TIMEOUT, 1));
    struct Row {
        std::string url;
        int rc, recode;
    };
    std::vector<Row> rows = {
        {port_url(closed_port(), "/x"), -107, -107},
        {port_url(black_hole_port(), "/x"), -128, -128},
        {http_url("/status/404"), -1, 404},
        {http_url("/stall?stall_ms=5000"), -128, -128},
        // No TLS options reach FTPS: libcurl's own peer check refuses the self-signed server.
        {ftps_url("/dl.bin"), -160, -160},
        {ftp_url("/missing.bin"), -178, -178},
        {"gopher://127.0.0.1/x", -103, -103},
    };
    if (tftp_available()) rows.push_back({tftp_url("/missing.bin"), -168, -168});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.url);
        Fetch f = fetch_memory(nullptr, make_param(row.url));
        EXPECT_EQ(row.rc, f.rc);
        EXPECT_EQ(row.recode, f.recode);
        EXPECT_FALSE(f.has_data);
    }
    EXPECT_TRUE(log.contains(3, "[DCMN]download common: URL format err.\n"));
    EXPECT_TRUE(log.contains(3, "[DCMN]download common error, errcode:404.\n"));
}

// Fault guarded: a failed re-download removed the good copy already at the target path.
TEST_F(Download, FailureLeavesTheTargetUntouched) {
    Handle h;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_MAX_FILESIZE, 1000));
    const std::string dir = scratch_dir("keep");
    const std::string target = dir + "/file.bin";
    ASSERT_TRUE(write_file(target, "good copy"));
    struct Row {
        std::string url;
        int rc;
    } rows[] = {{http_url("/status/404"), -1},
                {port_url(closed_port(), "/x"), -107},
                {http_url("/bytes/5000"), -163}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.url);
        EXPECT_EQ(row.rc, fetch_file(h, make_param(row.url), target).rc);
        EXPECT_EQ("good copy", read_file(target));
        EXPECT_EQ(std::vector<std::string>{"file.bin"}, list_dir(dir));
    }
    EXPECT_EQ(3u, log.count(6, "[DCMN]download common error, remove file.\n"));
    // A fresh name is never created by a failure; a success replaces the old copy.
    EXPECT_EQ(-1, fetch_file(h, make_param(http_url("/status/500")), dir + "/new.bin").rc);
    EXPECT_FALSE(file_exists(dir + "/new.bin"));
    EXPECT_EQ(0, fetch_file(h, make_param(http_url("/bytes/10")), target).rc);
    EXPECT_EQ(pattern_body(10), read_file(target));
    EXPECT_EQ(std::vector<std::string>{"file.bin"}, list_dir(dir));
}

TEST_F(Download, MaxSizeCutsExactlyAtTheLimit) {
    Handle h;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_MAX_FILESIZE, 1000));
    const std::string dir = scratch_dir("cut");
    struct Row {
        int body, max_size;
    } rows[] = {{1000, 100}, {1000, 1000}, {100000, 3000}};  // the last is above max_filesize
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << row.body << " cut at " << row.max_size);
        durl_url_param p = make_param(http_url("/bytes/" + std::to_string(row.body)));
        p.max_size = row.max_size;
        log.clear();
        Fetch m = fetch_memory(h, p);
        EXPECT_EQ(0, m.rc);
        EXPECT_TRUE(m.body == pattern_body(row.max_size)) << m.body.size();
        EXPECT_TRUE(log.mentions("[DCMN]stream readlen:"));
        Fetch f = fetch_file(h, p, dir + "/cut.bin");
        EXPECT_EQ(0, f.rc);
        EXPECT_TRUE(read_file(dir + "/cut.bin") == pattern_body(row.max_size));
        EXPECT_TRUE(log.mentions("[DCMN]writefile readlen:"));
        EXPECT_EQ(2u, log.count(5, "[DCMN]download common nofully, errcode:23.\n")) << log.dump();
    }
    // Without max_size the same body is refused by its announced size.
    Fetch refused = fetch_memory(h, make_param(http_url("/bytes/100000")));
    EXPECT_EQ(-163, refused.rc);
}

TEST_F(Download, FtpLoginDeniedRetriesAsAnonymous) {
    ASSERT_TRUE(write_file(ftp_anon_dir() + "/anon.txt", "anonymous data"));
    durl_url_param in_url = make_param(ftp_url("/anon.txt", "bad:creds"));
    durl_url_param in_fields = make_param(ftp_url("/anon.txt", ""));
    std::snprintf(in_fields.user, sizeof in_fields.user, "bad");
    std::snprintf(in_fields.password, sizeof in_fields.password, "creds");
    for (const durl_url_param *p : {&in_url, &in_fields}) {
        SCOPED_TRACE(p->url);
        ftp_commands_reset();
        Fetch f = fetch_memory(nullptr, *p);
        EXPECT_EQ(0, f.rc);
        EXPECT_EQ("anonymous data", f.body);
        std::vector<std::string> users;
        for (const std::string &c : ftp_commands())
            if (c.find(" USER ") != std::string::npos)
                users.push_back(c.substr(c.find(" USER ") + 6));
        EXPECT_EQ((std::vector<std::string>{"bad", "anonymous"}), users);
    }
}

TEST_F(Download, RedirectsAreFollowedOrReported) {
    durl_url_param p = make_param(http_url("/redirect?to=/bytes/10"));
    Fetch followed = fetch_memory(nullptr, p);
    EXPECT_EQ(0, followed.rc);
    EXPECT_EQ(pattern_body(10), followed.body);
    EXPECT_EQ(http_url("/bytes/10"), followed.effective_url);
    p.no_redirect = 1;
    Fetch kept = fetch_memory(nullptr, p);
    EXPECT_EQ(0, kept.rc);
    EXPECT_EQ(http_url("/bytes/10"), kept.effective_url);
    EXPECT_NE(pattern_body(10), kept.body);
}

// Fault guarded: bodies of HEAD and DELETE given a file name went to the host's stdout.
TEST_F(Download, SpecialMethodsCreateNoFileAndPrintNothing) {
    const std::string dir = scratch_dir("special");
    StdoutCapture out;
    for (int method : {DURL_METHOD_DELETE, DURL_METHOD_HEAD}) {
        SCOPED_TRACE(method);
        durl_url_param p = make_param(http_url("/echo"));
        p.method = method;
        EXPECT_EQ(0, fetch_file(nullptr, p, dir + "/none.bin").rc);
    }
    EXPECT_EQ("", out.text());
    EXPECT_TRUE(list_dir(dir).empty());
    EXPECT_EQ(2u, log.count(6, "[DCMN]It is special mothod\n"));
    std::vector<HttpRecord> sent = http_log();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ("DELETE", sent[sent.size() - 2].method);
    EXPECT_EQ("HEAD", sent.back().method);
}

TEST_F(Download, KeepAliveReusesTheConnection) {
    for (const std::string &url : {http_url("/conn"), https_url("/conn")}) {
        SCOPED_TRACE(url);
        Handle h;
        log.clear();
        durl_url_param p = make_param(url);
        p.keep_alive = 1;
        Fetch first = fetch_memory(h, p);
        // A failed request on the borrowed handle still gives it back.
        durl_url_param missing = make_param(url.substr(0, url.size() - 5) + "/status/404");
        missing.keep_alive = 1;
        EXPECT_EQ(-1, fetch_memory(h, missing).rc);
        Fetch second = fetch_memory(h, p);
        EXPECT_EQ(0, second.rc);
        EXPECT_FALSE(first.body.empty());
        EXPECT_EQ(first.body, second.body);
        EXPECT_EQ(1u, log.count(6, "[DCMN]No cache connect, Create new connect.\n"));
        EXPECT_EQ(2u, log.count(6, "[DCMN]Use cache connect.\n"));
        EXPECT_EQ(3u, log.count(6, "[DCMN]Connect is keep Reset curl.\n"));
        p.keep_alive = 0;
        Fetch short1 = fetch_memory(h, p), short2 = fetch_memory(h, p);
        EXPECT_NE(short1.body, short2.body);
        EXPECT_NE(first.body, short1.body);
        EXPECT_EQ(2u, log.count(6, "[DCMN]Use new short connect.\n"));
    }
}

TEST_F(Download, BusyCacheFallsBackToAShortConnection) {
    Handle h;
    durl_url_param slow = make_param(http_url("/bytes/20000?chunk=1000&delay_ms=25"));
    slow.keep_alive = 1;
    Fetch slow_result;
    std::thread t([&] { slow_result = fetch_memory(h, slow); });
    ASSERT_TRUE(wait_for_line(log, 6, "[DCMN]No cache connect, Create new connect.\n"));
    durl_url_param quick = make_param(http_url("/bytes/10"));
    quick.keep_alive = 1;
    Fetch q = fetch_memory(h, quick);
    t.join();
    EXPECT_EQ(0, q.rc);
    EXPECT_EQ(pattern_body(10), q.body);
    EXPECT_EQ(0, slow_result.rc);
    EXPECT_TRUE(slow_result.body == pattern_body(20000));
    EXPECT_EQ(1u, log.count(6, "[DCMN]Cache connect is busy, Use new short connect.\n"));
    EXPECT_EQ(1u, log.count(6, "[DCMN]Connect is short Cleanup curl.\n"));
    EXPECT_EQ(0, fetch_memory(h, quick).rc);
    EXPECT_EQ(1u, log.count(6, "[DCMN]Use cache connect.\n"));
}

TEST_F(Download, SixteenHandlesTransferInParallel) {
    std::vector<std::unique_ptr<Handle>> handles;
    for (int i = 0; i < DURL_MAX_HANDLES; ++i) handles.push_back(std::make_unique<Handle>());
    const std::string dir = scratch_dir("parallel");
    std::vector<int> rcs(DURL_MAX_HANDLES, 1);
    std::vector<std::string> bodies(DURL_MAX_HANDLES);
    std::vector<std::thread> threads;
    for (int i = 0; i < DURL_MAX_HANDLES; ++i) {
        threads.emplace_back([&, i] {
            const std::string path = "/bytes/" + std::to_string(300000 + i);
            durl_url_param p = make_param(i % 2 ? https_url(path) : http_url(path));
            p.keep_alive = i % 3 == 0;
            if (i % 4 == 0) {
                const std::string file = dir + "/" + std::to_string(i);
                rcs[i] = fetch_file(*handles[i], p, file).rc;
                bodies[i] = read_file(file);
            } else {
                Fetch f = fetch_memory(*handles[i], p);
                rcs[i] = f.rc;
                bodies[i] = f.body;
            }
        });
    }
    for (std::thread &t : threads) t.join();
    for (int i = 0; i < DURL_MAX_HANDLES; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(0, rcs[i]);
        EXPECT_TRUE(bodies[i] == pattern_body(300000 + i));
    }
}
