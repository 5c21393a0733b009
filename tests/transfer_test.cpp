// Downloads and uploads against the local peers: every scheme, codes per failure, size limits,
// the file sink, the connection cache, parallel handles, and the durl tool's status and message.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "durl.h"
#include "engine.h"
#include "fault_injection.h"
#include "log_capture.h"
#include "servers.h"
#include "transfer_util.h"

using namespace durl_test;

namespace {

class Transfer : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        dir = scratch_dir("transfer");
        local = dir + "/log.txt";
        ASSERT_TRUE(write_file(local, pattern_body(20000)));
    }
    // The last request the HTTP server logged for one successful upload.
    HttpRecord sent(const durl_url_param &p, const char *file, durl_handle *h = nullptr,
                    const char *name = nullptr) {
        http_log_reset();
        EXPECT_EQ(0, upload(h, p, file, name));
        std::vector<HttpRecord> log = http_log();
        return log.empty() ? HttpRecord{} : log.back();
    }
    std::string dir, local;
};

std::string port_url(int port) { return "http://127.0.0.1:" + std::to_string(port) + "/x"; }

// While set, libcurl refuses the first line of every request header list, as it does when
// memory runs out; every other list goes through.
std::atomic<bool> g_refuse_header_list{false};

}  // namespace

extern "C" curl_slist *curl_slist_append(curl_slist *list, const char *line) {
    using Fn = curl_slist *(*)(curl_slist *, const char *);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "curl_slist_append"));
    if (g_refuse_header_list && line && std::strcmp(line, "Expect:") == 0) return nullptr;
    return real(list, line);
}

TEST_F(Transfer, EverySchemeDownloadsAndUploads) {
    const std::string body = pattern_body(100000);
    ASSERT_TRUE(write_file(ftp_user_dir() + "/dl.bin", body));
    struct Row {
        std::string get, put, stored;
    };
    std::vector<Row> rows = {{http_url("/bytes/100000?chunked=1"), "", ""},
                             {https_url("/bytes/100000"), "", ""},
                             {ftp_url("/dl.bin"), ftp_url("/"), ftp_user_dir() + "/log.txt"}};
    if (tftp_available()) {
        ASSERT_TRUE(write_file(tftp_root() + "/dl.bin", body));
        rows.push_back({tftp_url("/dl.bin"), tftp_url("/"), tftp_root() + "/log.txt"});
    }
    for (const Row &row : rows) {
        SCOPED_TRACE(row.get);
        Fetch m = fetch_memory(nullptr, make_param(row.get));
        EXPECT_EQ(0, m.rc);
        EXPECT_TRUE(m.body == body) << m.body.size();
        EXPECT_EQ(0, fetch_file(nullptr, make_param(row.get), dir + "/out.bin").rc);
        EXPECT_TRUE(read_file(dir + "/out.bin") == body);
        if (row.put.empty()) continue;
        EXPECT_EQ(0, upload(nullptr, make_param(row.put), local.c_str()));
        EXPECT_EQ(file_md5_hex(local), file_md5_hex(row.stored));
    }
    EXPECT_EQ((std::vector<std::string>{"log.txt", "out.bin"}), list_dir(dir));
    // Implicit FTPS with default verification: the self-signed peer is refused both ways.
    EXPECT_EQ(-160, fetch_memory(nullptr, make_param(ftps_url("/dl.bin"))).rc);
    EXPECT_EQ(-160, upload(nullptr, make_param(ftps_url("/")), local.c_str()));
}

TEST_F(Transfer, FailuresAndLimitsReportTheirCodes) {
    Handle h;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 1));
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_MAX_FILESIZE, 1000));
    struct Row {
        std::string url;
        int rc, recode;
    } rows[] = {{port_url(closed_port()), -107, -107},
                {port_url(black_hole_port()), -128, -128},
                {http_url("/status/404"), -1, 404},
                {http_url("/bytes/5000"), -163, -163}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.url);
        Fetch f = fetch_memory(h, make_param(row.url));
        EXPECT_EQ(row.rc, f.rc);
        EXPECT_EQ(row.recode, f.recode);
        EXPECT_FALSE(f.has_data);
    }
    // max_size cuts exactly at the limit, also above max_filesize, to memory and to file.
    for (int limit : {100, 1000, 3000}) {
        SCOPED_TRACE(limit);
        durl_url_param p = make_param(http_url("/bytes/100000"));
        p.max_size = limit;
        Fetch m = fetch_memory(h, p);
        EXPECT_EQ(0, m.rc);
        EXPECT_TRUE(m.body == pattern_body(limit)) << m.body.size();
        EXPECT_EQ(0, fetch_file(h, p, dir + "/cut.bin").rc);
        EXPECT_TRUE(read_file(dir + "/cut.bin") == pattern_body(limit));
    }
}

// Fault guarded: the file sink wrote the target in place, so a failure destroyed the earlier copy.
TEST_F(Transfer, DownloadToFileGoesThroughATemporarySibling) {
    Handle h;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_MAX_FILESIZE, 1000));
    const std::string target = dir + "/file.bin";
    ASSERT_TRUE(write_file(target, "good copy"));
    for (const std::string &url :
         {http_url("/status/404"), port_url(closed_port()), http_url("/bytes/5000")}) {
        SCOPED_TRACE(url);
        EXPECT_NE(0, fetch_file(h, make_param(url), target).rc);
        EXPECT_EQ("good copy", read_file(target));
        EXPECT_EQ((std::vector<std::string>{"file.bin", "log.txt"}), list_dir(dir));
    }
    EXPECT_EQ(-1, fetch_file(h, make_param(http_url("/status/500")), dir + "/new.bin").rc);
    EXPECT_FALSE(file_exists(dir + "/new.bin"));
    // A disk failure is never taken for the max_size cut.
    {
        durl_url_param p = make_param(http_url("/bytes/600000"));
        p.max_size = 500000;
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_MAX_FILESIZE, 1000000));
        FileSizeLimit limit(100000);
        EXPECT_EQ(-123, fetch_file(h, p, target).rc);
    }
    EXPECT_EQ("good copy", read_file(target));
    // A partial success under max_size is renamed into place.
    durl_url_param p = make_param(http_url("/bytes/5000"));
    p.max_size = 10;
    EXPECT_EQ(0, fetch_file(h, p, target).rc);
    EXPECT_EQ(pattern_body(10), read_file(target));
    EXPECT_EQ((std::vector<std::string>{"file.bin", "log.txt"}), list_dir(dir));
}

TEST_F(Transfer, FtpLoginDeniedRetriesAsAnonymous) {
    ASSERT_TRUE(write_file(ftp_anon_dir() + "/anon.txt", "anonymous data"));
    durl_url_param in_fields = make_param(ftp_url("/anon.txt", ""));
    std::snprintf(in_fields.user, sizeof in_fields.user, "bad");
    std::snprintf(in_fields.password, sizeof in_fields.password, "creds");
    for (const durl_url_param &p : {make_param(ftp_url("/anon.txt", "bad:creds")), in_fields}) {
        SCOPED_TRACE(p.url);
        ftp_commands_reset();
        Fetch f = fetch_memory(nullptr, p);
        EXPECT_EQ(0, f.rc);
        EXPECT_EQ("anonymous data", f.body);
        EXPECT_TRUE(ftp_sent("USER bad") && ftp_sent("USER anonymous"));
    }
}

TEST_F(Transfer, FtpAppendFollowsItsLimit) {
    Handle h;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_MAX_FILESIZE, 30000));
    const std::string remote = ftp_user_dir() + "/app.bin";
    struct Row {
        std::string old_body;
        int append_limit, rc;
        std::string result;                                            // the remote file afterwards
    } rows[] = {{"head:", 0, 0, "head:" + pattern_body(20000)},        // within max_filesize
                {std::string(15000, 'o'), 1, 0, pattern_body(20000)},  // replaced
                {std::string(15000, 'o'), 2, -163, std::string(15000, 'o')},  // cancelled
                {std::string(15000, 'o'), 0, -1, std::string(15000, 'o')},
                {std::string(15000, 'o'), 3, -1, std::string(15000, 'o')}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.append_limit);
        ASSERT_TRUE(write_file(remote, row.old_body));
        durl_url_param p = make_param(ftp_url("/app.bin"));
        p.ftp_append = 1;
        p.append_limit = row.append_limit;
        EXPECT_EQ(row.rc, upload(h, p, local.c_str()));
        EXPECT_EQ(row.result, read_file(remote));
    }
    std::remove((ftp_user_dir() + "/fresh.bin").c_str());  // a missing file is created
    durl_url_param fresh = make_param(ftp_url("/fresh.bin"));
    fresh.ftp_append = 1;
    EXPECT_EQ(0, upload(h, fresh, local.c_str()));
    EXPECT_EQ(pattern_body(20000), read_file(ftp_user_dir() + "/fresh.bin"));
}

// The extra form part and a renamed file field are checked on the wire in hostile_test.
TEST_F(Transfer, HttpUploadBodies) {
    HttpRecord r = sent(make_param(https_url("/echo")), local.c_str(), nullptr, "remote.bin");
    EXPECT_EQ("POST", r.method);
    ASSERT_EQ(1u, r.parts.size());
    EXPECT_EQ("upload", r.parts[0].name);
    EXPECT_EQ("remote.bin", r.parts[0].filename);
    EXPECT_EQ("application/octet-stream", r.parts[0].content_type);
    EXPECT_EQ(file_md5_hex(local), r.parts[0].md5);
    durl_url_param raw = make_param(http_url("/echo"));
    raw.method = DURL_METHOD_POST;
    raw.raw_upload = 1;
    r = sent(raw, local.c_str());
    EXPECT_EQ(file_md5_hex(local), r.body_md5);
    EXPECT_TRUE(r.parts.empty());
    // PUT appends the file name to a directory URL; without a file the PUT is empty.
    durl_url_param put_req = make_param(http_url("/echo/"));
    put_req.method = DURL_METHOD_PUT;
    r = sent(put_req, local.c_str());
    EXPECT_EQ("/echo/log.txt", r.target);
    EXPECT_EQ(20000u, r.body_size);
    r = sent(put_req, nullptr);
    EXPECT_EQ(0u, r.body_size);
}

// Each path keeps its own code for an unbuilt header list, logged once, and sends nothing.
TEST_F(Transfer, HeaderListFailureGivesEachPathsCode) {
    const std::string download_line = "[DCMN]download common: Set http header err.\n";
    const std::string other_line = "[DCMN]Set http header err.\n";
    const durl_url_param p = make_param(http_url("/echo"));
    durl_result r{};
    const struct Row {
        const char *path;
        int rc;
        const std::string &line;
        std::function<int()> run;
    } rows[] = {
        {"memory", -1, download_line, [&] { return durl_download_to_memory(nullptr, &r, &p); }},
        {"file", -1, download_line,
         [&] { return durl_download_to_file(nullptr, &r, &p, (dir + "/h.bin").c_str()); }},
        {"upload", -127, other_line,
         [&] { return durl_upload(nullptr, &r, &p, local.c_str(), 0); }},
        {"stream", -1, other_line, [&] { return durl_open(nullptr, &r, &p); }},
    };
    http_log_reset();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        log.clear();
        g_refuse_header_list = true;
        const int rc = row.run();
        g_refuse_header_list = false;
        durl_close(nullptr);
        EXPECT_EQ(row.rc, rc);
        EXPECT_EQ(row.rc, r.recode);
        EXPECT_TRUE(log.contains(3, row.line)) << log.dump();
        size_t header_lines = 0;
        for (const std::string &t : log.texts(3))
            header_lines += t.find("Set http header err") != std::string::npos;
        EXPECT_EQ(1u, header_lines);
        durl_free_result(&r);
    }
    EXPECT_TRUE(http_log().empty());
    EXPECT_EQ((std::vector<std::string>{"log.txt"}), list_dir(dir));
}

TEST_F(Transfer, PostBodiesAndTheRedirectsThatKeepThem) {
    Handle h;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_ADDITION_BODY, "addition"));
    char binary[] = {'a', '\0', 'b'};
    char text[] = "text";
    const struct Row {
        std::string path;  // /echo, or a redirect to it
        char *data;
        int size, auth, keep_post;
        std::string method, wire;  // of the request that reached /echo
    } rows[] = {{"/echo", binary, 3, 0, 7, "POST", std::string("a\0b", 3)},
                {"/echo", binary, 0, 0, 7, "POST", "a"},
                // The addition body rides on an option only the device's libcurl knows.
                {"/echo", text, 0, 6, 7, "POST", "text"},
                // DURL_OPT_KEEP_POST bits 1, 2 and 4 keep a POST across 301, 302 and 303.
                {"/redirect?to=/echo&code=301", text, 0, 0, 1, "POST", "text"},
                {"/redirect?to=/echo&code=301", text, 0, 0, 6, "GET", ""},
                {"/redirect?to=/echo&code=302", text, 0, 0, 2, "POST", "text"},
                {"/redirect?to=/echo&code=302", text, 0, 0, 5, "GET", ""},
                {"/redirect?to=/echo&code=303", text, 0, 0, 4, "POST", "text"},
                {"/redirect?to=/echo&code=303", text, 0, 0, 3, "GET", ""}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path + " " + std::to_string(row.size) + "/" +
                     std::to_string(row.keep_post));
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_KEEP_POST, row.keep_post));
        durl_url_param p = make_param(http_url(row.path));
        p.method = DURL_METHOD_POST;
        p.post_data = row.data;
        p.post_size = row.size;
        p.auth = row.auth;
        http_log_reset();
        EXPECT_EQ(0, fetch_memory(h, p).rc);
        std::vector<HttpRecord> seen = http_log();
        ASSERT_EQ(row.path == "/echo" ? 1u : 2u, seen.size());
        EXPECT_EQ("POST", seen.front().method);
        EXPECT_EQ(row.method, seen.back().method);
        EXPECT_EQ(row.wire, seen.back().body);
        EXPECT_EQ(row.wire.size(), seen.back().body_size);
    }
}

TEST_F(Transfer, HttpCredentialsTravelInTheSchemeOfTheirAuthCode) {
    const struct Row {
        const char *endpoint;
        int auth;
        const char *password;
        int rc, recode;
        const char *scheme;
    } rows[] = {{"/auth/basic", 1, "pw", 0, 0, "Basic "},
                {"/auth/digest", 2, "pw", 0, 0, "Digest "},
                {"/auth/digest", 0, "pw", 0, 0, "Digest "},  // any: what the server offers
                {"/auth/basic", 1, "wrong", -1, 401, "Basic "},
                {"/auth/digest", 2, "wrong", -1, 401, "Digest "},
                {"/auth/digest", 1, "pw", -1, 401, "Basic "}};
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.endpoint) + " " + std::to_string(row.auth) + row.password);
        durl_url_param p = make_param(http_url(std::string(row.endpoint) + "?user=u&pass=pw"));
        p.auth = row.auth;
        std::snprintf(p.user, sizeof p.user, "u");
        std::snprintf(p.password, sizeof p.password, "%s", row.password);
        http_log_reset();
        Fetch f = fetch_memory(nullptr, p);
        EXPECT_EQ(row.rc, f.rc);
        EXPECT_EQ(row.recode, f.recode);
        std::vector<HttpRecord> seen = http_log();
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(0u, seen.back().header("Authorization").rfind(row.scheme, 0));
    }
}

// Fault guarded: bodies the library does not keep (upload answers, HEAD/DELETE bodies, the
// FTP size query's pseudo-headers) went to the host process's standard output.
TEST_F(Transfer, NothingReachesStandardOutput) {
    ASSERT_TRUE(write_file(ftp_user_dir() + "/quiet.bin", "12345"));
    http_url("/");  // servers up before stdout is taken away
    StdoutCapture out;
    EXPECT_EQ(0, upload(nullptr, make_param(http_url("/echo")), local.c_str()));
    for (int method : {DURL_METHOD_DELETE, DURL_METHOD_HEAD}) {
        durl_url_param p = make_param(http_url("/echo"));
        p.method = method;
        EXPECT_EQ(0, fetch_file(nullptr, p, dir + "/none.bin").rc);
    }
    durl_url_param append = make_param(ftp_url("/quiet.bin"));
    append.ftp_append = 1;
    EXPECT_EQ(0, upload(nullptr, append, local.c_str()));
    EXPECT_EQ("", out.text());
    EXPECT_FALSE(file_exists(dir + "/none.bin"));
}

TEST_F(Transfer, KeepAliveReusesTheConnectionUnlessBusy) {
    Handle h;
    durl_url_param kept = make_param(http_url("/conn")), fresh = kept;
    kept.keep_alive = 1;
    const std::string first = fetch_memory(h, kept).body;
    EXPECT_EQ(first, fetch_memory(h, kept).body);
    EXPECT_NE(first, fetch_memory(h, fresh).body);
    // While the cached connection is busy, a second request takes a short one of its own.
    durl_url_param slow = make_param(http_url("/bytes/20000?chunk=1000&delay_ms=25"));
    slow.keep_alive = 1;
    Fetch slow_result;
    log.clear();
    std::thread t([&] { slow_result = fetch_memory(h, slow); });
    ASSERT_TRUE(wait_for_line(log, 6, "[DCMN]Use cache connect.\n"));
    Fetch during = fetch_memory(h, kept);
    t.join();
    EXPECT_EQ(0, during.rc);
    EXPECT_NE(first, during.body);
    EXPECT_TRUE(slow_result.body == pattern_body(20000));
    EXPECT_EQ(1u, log.count(6, "[DCMN]Cache connect is busy, Use new short connect.\n"));
    EXPECT_EQ(first, fetch_memory(h, kept).body);
}

// Fault guarded: the kept easy handle keeps its options between plain GETs; a request that
// differs from the one before must find nothing of it (its headers, method, body, limit,
// the referer of a followed redirect), and a request that differs late in its setup (a file
// instead of memory) must still carry its URL.
TEST_F(Transfer, KeptHandleCarriesNothingFromOneRequestToTheNext) {
    Handle h;
    char header[] = "X-Row: caller\r\n", body[] = "a=1";
    struct Row {
        const char *what, *path;
        std::function<void(durl_url_param &)> change;
        std::vector<std::string> present, absent;  // in the /echo record, or the body itself
    };
    auto none = [](durl_url_param &) {};
    const std::vector<Row> rows = {
        {"first, new connection", "/echo", none, {"method GET", "target /echo\n"}, {}},
        {"second, options given", "/echo?n=2", none, {"target /echo?n=2"}, {}},
        {"third, options kept", "/echo?n=3", none, {"target /echo?n=3"}, {"X-Row"}},
        {"caller header",
         "/echo?n=4",
         [&](durl_url_param &p) { p.headers = header; },
         {"header X-Row: caller"},
         {}},
        {"no caller header", "/echo?n=5", none, {"target /echo?n=5"}, {"X-Row"}},
        {"to a file", "/bytes/40", none, {}, {}},
        {"to memory again", "/echo?n=7", none, {"target /echo?n=7"}, {}},
        {"user agent changed", "/echo?n=8", none, {"header User-Agent: row-agent"}, {}},
        {"redirect followed",
         "/redirect?to=/echo",
         none,
         {"target /echo\n", "header Referer:"},
         {}},
        {"after the redirect", "/echo?n=10", none, {"target /echo?n=10"}, {"Referer"}},
        {"head", "/echo?n=11", [](durl_url_param &p) { p.method = DURL_METHOD_HEAD; }, {}, {}},
        {"after head", "/echo?n=12", none, {"method GET", "target /echo?n=12"}, {}},
        {"post",
         "/echo?n=13",
         [&](durl_url_param &p) {
             p.method = DURL_METHOD_POST;
             p.post_data = body;
         },
         {"method POST", "body a=1"},
         {}},
        {"after post", "/echo?n=14", none, {"method GET", "body_size 0"}, {}},
        {"after post, kept", "/echo?n=15", none, {"method GET", "body_size 0"}, {}},
        {"cut at 5 bytes", "/bytes/40", [](durl_url_param &p) { p.max_size = 5; }, {}, {}},
        {"whole again", "/bytes/40", none, {}, {}},
        {"refused by the server", "/status/401", none, {}, {}},
        {"after the refusal", "/echo?n=19", none, {"method GET", "target /echo?n=19"}, {}},
    };
    log.clear();
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        if (std::string(r.what) == "user agent changed") {
            ASSERT_EQ(0, durl_set_option(h, DURL_OPT_USER_AGENT, "row-agent"));
        }
        durl_url_param p = make_param(http_url(r.path));
        p.keep_alive = 1;
        r.change(p);
        Fetch f = std::string(r.what) == "to a file" ? fetch_file(h, p, dir + "/kept.bin")
                                                     : fetch_memory(h, p);
        if (std::string(r.what) == "to a file") f.body = read_file(dir + "/kept.bin");
        if (std::string(r.path) == "/status/401") {
            EXPECT_NE(0, f.rc);
            continue;
        }
        EXPECT_EQ(0, f.rc);
        for (const std::string &t : r.present)
            EXPECT_NE(std::string::npos, f.body.find(t)) << f.body;
        for (const std::string &t : r.absent)
            EXPECT_EQ(std::string::npos, f.body.find(t)) << f.body;
        if (std::string(r.path) == "/bytes/40") {
            EXPECT_TRUE(f.body == pattern_body(p.max_size ? 5 : 40)) << f.body.size();
        }
    }
    // The rows ran on kept options where they could: the fast way was taken.
    EXPECT_GE(log.count(6, "[DCMN]Connect is keep, options kept.\n"), 8u) << log.dump();
}

// FTPS takes libcurl's own verification against the system trust store: in a private mount
// namespace the tool finds the test CA there, and the machine's store stays untouched.
TEST(ToolTransfer, FtpsUploadAndDownloadOverTls) {
    if (std::system("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "no mount namespace";
    const std::string dir = scratch_dir("ftps");
    ASSERT_TRUE(write_file(dir + "/up.bin", pattern_body(50000)));
    const std::string trust = "unshare -m sh -c 'mount --bind " + pki().ca_pem +
                              " /etc/ssl/certs/ca-certificates.crt && exec \"$0\" \"$@\"' ";
    ftp_commands_reset();
    EXPECT_EQ(0, run_tool({"put", ftps_url("/"), dir + "/up.bin"}, dir + "/out", trust));
    EXPECT_EQ(0,
              run_tool({"get", ftps_url("/up.bin"), "-o", dir + "/down.bin"}, dir + "/out", trust))
        << read_file(dir + "/out.err");
    EXPECT_TRUE(read_file(ftp_user_dir() + "/up.bin") == pattern_body(50000));
    EXPECT_TRUE(read_file(dir + "/down.bin") == pattern_body(50000));
    // Implicit FTPS: the control channel is TLS from its first byte; PROT P puts the data
    // channel under TLS too.
    size_t protected_data = 0;
    for (const std::string &c : ftp_commands()) {
        EXPECT_EQ(0u, c.rfind("ftps ", 0)) << c;
        protected_data += c.find(" PROT P") != std::string::npos;
    }
    EXPECT_EQ(2u, protected_data);
    EXPECT_TRUE(ftp_sent("STOR up.bin") && ftp_sent("RETR up.bin"));
}

TEST(ToolTransfer, ExitStatusAndOneLineMessage) {
    const std::string out = scratch_dir("tool") + "/out";
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string message;
    } rows[] = {
        {{"get", http_url("/bytes/10")}, 0, "durl get: ok, 10 bytes\n"},
        {{"get", http_url("/status/404")}, 22, "durl get: server answered 404 (code -1)\n"},
        {{"get", port_url(closed_port())}, 7, "durl get: could not connect (code -107)\n"},
        {{"get", https_url("/"), "--verify", "--cafile", pki().other_ca_pem},
         60,
         "durl get: server certificate not trusted (code -160)\n"},
        {{"get", "nope://x"}, 3, "durl get: malformed URL (code -103)\n"},
        {{"put", http_url("/echo")}, 1, "durl put: missing or bad argument (code -2)\n"},
        // Fault guarded: an output file that could not be created read as a server refusal.
        {{"get", http_url("/bytes/10"), "-o", "/no/such/dir/f"},
         1,
         "durl get: local file could not be used or memory ran out (code -1)\n"},
        // Fault guarded: texts the library refused were reported as success and not used.
        {{"get", http_url("/bytes/10"), "--capath", "/" + std::string(199, 'c')},
         2,
         "durl get: --capath was refused: empty, too long for its field, or holding a line "
         "break\n"},
        {{"get", http_url("/bytes/10"), "-A", "agent\r\nX-Injected: 1"},
         2,
         "durl get: --user-agent was refused: empty, too long for its field, or holding a line "
         "break\n"},
        {{"get", http_url("/bytes/10"), "-u", "user\r\nX-Injected: 1:pass"},
         1,
         "durl get: missing or bad argument (code -2)\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args[1]);
        EXPECT_EQ(row.status, run_tool(row.args, out));
        EXPECT_EQ(row.message, read_file(out + ".err"));
        EXPECT_EQ(row.status == 0 ? pattern_body(10) : "", read_file(out));
    }
}
