// The durl tool's get and put commands against the local peers: exit status and one-line
// message per outcome, body on stdout or into a file, flags reaching the request.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "servers.h"
#include "test_files.h"

using namespace durl_test;

namespace {

struct ToolRun {
    int status = -1;
    std::string out, err;
};

// Runs the durl tool with the arguments (each single-quoted for the shell).
ToolRun durl_tool(const std::vector<std::string> &args) {
    static const std::string dir = scratch_dir("tool");
    std::string cmd = std::string(DURL_TEST_BINARY_DIR) + "/../durl";
    for (const std::string &a : args) cmd += " '" + a + "'";
    cmd += " > " + dir + "/out 2> " + dir + "/err";
    ToolRun r;
    int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = read_file(dir + "/out");
    r.err = read_file(dir + "/err");
    return r;
}

}  // namespace

TEST(ToolTransfer, ExitStatusAndMessageFollowTheResult) {
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string message;
    } rows[] = {
        {{"get", http_url("/bytes/10")}, 0, "durl get: ok, 10 bytes\n"},
        {{"get", http_url("/status/404")}, 22, "durl get: server answered 404 (code -1)\n"},
        {{"get", "http://127.0.0.1:" + std::to_string(closed_port()) + "/"},
         7,
         "durl get: could not connect (code -107)\n"},
        {{"get", https_url("/bytes/10"), "--verify", "--cafile", pki().other_ca_pem},
         60,
         "durl get: server certificate not trusted (code -160)\n"},
        {{"get", https_url("/bytes/10"), "--ssl-version", "2"}, 43, ""},
        {{"get", https_url("/bytes/10"), "--verify", "--capath", pki().ca_dir}, 0, ""},
        {{"get", http_url("/bytes/1000"), "--max-filesize", "100"}, 63, ""},
        {{"get", "nope://x"}, 3, "durl get: malformed URL (code -103)\n"},
        {{"put", http_url("/echo")}, 1, "durl put: missing or bad argument (code -2)\n"},
        {{"get", "--bogus"}, 2, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args[1]);
        ToolRun r = durl_tool(row.args);
        EXPECT_EQ(row.status, r.status) << r.err;
        if (!row.message.empty()) {
            EXPECT_EQ(row.message, r.err);
        }
    }
    EXPECT_EQ(pattern_body(10), durl_tool({"get", http_url("/bytes/10")}).out);
}

TEST(ToolTransfer, FlagsReachTheRequest) {
    ToolRun echo = durl_tool({"get", http_url("/echo"), "-X", "PATCH", "-d", "body", "-H", "X-A: b",
                              "-A", "tool-agent", "-v"});
    ASSERT_EQ(0, echo.status) << echo.err;
    std::vector<HttpRecord> sent = parse_http_records(echo.out);
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("PATCH", sent[0].method);
    EXPECT_EQ("body", sent[0].body);
    EXPECT_EQ("b", sent[0].header("X-A"));
    EXPECT_EQ("tool-agent", sent[0].header("User-Agent"));
    EXPECT_NE(std::string::npos, echo.err.find("[DCMN]download common success."));

    const std::string dir = scratch_dir("tool-files");
    ASSERT_TRUE(write_file(dir + "/up.txt", "tool upload\n"));
    EXPECT_EQ(0, durl_tool({"put", ftp_url("/"), dir + "/up.txt", "--name", "tool.txt"}).status);
    EXPECT_EQ("tool upload\n", read_file(ftp_user_dir() + "/tool.txt"));
    EXPECT_EQ(0, durl_tool({"put", ftp_url("/tool.txt"), dir + "/up.txt", "--append"}).status);
    EXPECT_EQ("tool upload\ntool upload\n", read_file(ftp_user_dir() + "/tool.txt"));
    ToolRun get =
        durl_tool({"get", ftp_url("/tool.txt"), "-o", dir + "/got.txt", "--max-size", "5"});
    EXPECT_EQ(0, get.status);
    EXPECT_EQ("tool ", read_file(dir + "/got.txt"));
    EXPECT_EQ("durl get: ok, saved to " + dir + "/got.txt\n", get.err);
    ToolRun raw = durl_tool({"put", http_url("/echo/"), dir + "/up.txt", "--raw", "-X", "PUT"});
    EXPECT_EQ(0, raw.status) << raw.err;
    EXPECT_EQ("", raw.out);
    EXPECT_EQ("PUT", http_log().back().method);
    EXPECT_EQ("/echo/up.txt", http_log().back().target);
}
