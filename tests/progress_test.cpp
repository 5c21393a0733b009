// The log threshold, the progress notification with its stop, and the tool's meter and
// Ctrl-C, against the local HTTP server's slow bodies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "durl.h"
#include "handle.h"
#include "servers.h"
#include "transfer_util.h"

using namespace durl_test;

namespace {

// Levels of the lines that reached the hook.
std::vector<int> levels(const LogCapture &log) {
    std::vector<int> out;
    for (const LogLine &l : log.lines()) out.push_back(l.level);
    return out;
}

class LogLevel : public DurlTest {};

TEST_F(LogLevel, LinesAboveTheThresholdNeverReachTheHook) {
    const durl_url_param ok = make_param(http_url("/bytes/100"));
    const durl_url_param bad = make_param(http_url("/status/404"));
    struct Row {
        int level;
        bool info_seen, err_seen;
    } rows[] = {{7, true, true}, {6, true, true}, {4, false, true}, {0, false, false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.level);
        ASSERT_EQ(durl_set_option(nullptr, DURL_OPT_LOG_LEVEL, row.level), 0);
        Handle h;  // inherits the default handle's level
        EXPECT_EQ(durl_config_snapshot(h).log_level, row.level);
        log.clear();
        EXPECT_EQ(fetch_memory(h, ok).rc, 0);
        EXPECT_EQ(fetch_memory(h, bad).rc, -1);
        for (int l : levels(log)) EXPECT_LE(l, row.level);
        EXPECT_EQ(log.contains(6, "[DCMN]download common success.\n"), row.info_seen);
        EXPECT_EQ(log.contains(3, "[DCMN]Recode is 404, Request err.\n"), row.err_seen);
    }
    // Out of range: the warning (at the level then in force) and every line again.
    log.clear();
    EXPECT_EQ(durl_set_option(nullptr, DURL_OPT_LOG_LEVEL, 8), 0);
    EXPECT_TRUE(log.empty()) << log.dump();
    EXPECT_EQ(durl_config_snapshot(nullptr).log_level, 7);
    EXPECT_EQ(durl_set_option(nullptr, DURL_OPT_LOG_LEVEL, -1), 0);
    EXPECT_TRUE(log.contains(4, "[DCMN]The log level value err, set default 7.\n"));
}

TEST_F(LogLevel, EachHandleKeepsItsOwnOnEveryThread) {
    // The default handle delivers everything; a quiet handle's transfer, its stream worker's
    // lines included, delivers errors only.
    Handle quiet;
    ASSERT_EQ(durl_set_option(quiet, DURL_OPT_LOG_LEVEL, DURL_LOG_ERR), 0);
    durl_url_param p = make_param(http_url("/bytes/3000"));
    log.clear();
    ASSERT_EQ(durl_open(quiet, nullptr, &p), 0);
    char buf[4096];
    while (durl_read(quiet, nullptr, buf, sizeof buf) > 0) {
    }
    EXPECT_EQ(durl_close(quiet), 0);
    EXPECT_EQ(fetch_memory(quiet, p).rc, 0);
    // Only each call's entry line comes before the handle is known.
    for (const LogLine &l : log.lines())
        if (l.level > DURL_LOG_ERR) {
            EXPECT_EQ(l.text.substr(l.text.size() - 4), "...\n");
        }
    EXPECT_EQ(fetch_memory(nullptr, p).rc, 0);
    EXPECT_TRUE(log.contains(6, "[DCMN]download common success.\n"));
}

class Progress : public DurlTest {};

// 300 writes of 1000 bytes, 5 ms apart: about a second and a half.
const char kSlow[] = "/bytes/300000?chunk=1000&delay_ms=5";

TEST_F(Progress, CountsGrowAFewTimesASecondAndEndWithTheWhole) {
    ProgressLog seen;
    ASSERT_EQ(durl_set_progress(nullptr, ProgressLog::cb, &seen), 0);
    ASSERT_EQ(fetch_memory(nullptr, make_param(http_url(kSlow))).rc, 0);
    ASSERT_GE(seen.done.size(), 2u);
    EXPECT_LT(seen.done.size(), 30u);  // far fewer calls than the 300 writes
    for (size_t i = 1; i < seen.done.size(); ++i) EXPECT_GE(seen.done[i], seen.done[i - 1]);
    EXPECT_EQ(seen.done.back(), 300000);
    EXPECT_EQ(seen.total.back(), 300000);

    // Uploads count the bytes sent.
    ProgressLog up;
    ASSERT_EQ(durl_set_progress(nullptr, ProgressLog::cb, &up), 0);
    const std::string file = scratch_dir("progress") + "/up.bin";
    ASSERT_TRUE(write_file(file, pattern_body(50000)));
    durl_url_param put = make_param(http_url("/echo"));
    put.method = DURL_METHOD_PUT;
    put.raw_upload = 1;
    EXPECT_EQ(upload(nullptr, put, file.c_str()), 0);
    ASSERT_FALSE(up.up_done.empty());
    EXPECT_EQ(up.up_done.back(), 50000);

    // A new handle never inherits it; removed, nothing more is called.
    const size_t before = up.done.size();
    Handle h;
    EXPECT_EQ(fetch_memory(h, make_param(http_url("/bytes/10"))).rc, 0);
    ASSERT_EQ(durl_set_progress(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(fetch_memory(nullptr, make_param(http_url("/bytes/10"))).rc, 0);
    EXPECT_EQ(up.done.size(), before);
    int stranger = 0;
    EXPECT_EQ(durl_set_progress(reinterpret_cast<durl_handle *>(&stranger), ProgressLog::cb, &up),
              -102);
}

TEST_F(Progress, AStopEndsEveryKindOfTransferAndKeepsTheOldFile) {
    const std::string dir = scratch_dir("stop");
    const std::string target = dir + "/kept.bin";
    ASSERT_TRUE(write_file(target, "old contents"));
    const durl_url_param slow = make_param(http_url(kSlow));
    ProgressLog seen;
    seen.stop_after = 0;
    ASSERT_EQ(durl_set_progress(nullptr, ProgressLog::cb, &seen), 0);

    Fetch f = fetch_file(nullptr, slow, target);
    EXPECT_EQ(f.rc, -142);
    EXPECT_EQ(f.recode, -142);
    EXPECT_EQ(read_file(target), "old contents");
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"kept.bin"});  // no temporary left
    EXPECT_LT(seen.done.back(), 300000);

    f = fetch_memory(nullptr, slow);
    EXPECT_EQ(f.rc, -142);
    EXPECT_FALSE(f.has_data);

    // A stream stopped once its body flows: the reader learns why after what came before.
    seen.stop_after = 10000;
    durl_result r{};
    ASSERT_EQ(durl_open(nullptr, &r, &slow), 0);
    char buf[65536];
    int n;
    while ((n = durl_read(nullptr, &r, buf, sizeof buf)) > 0) {
    }
    EXPECT_EQ(n, -142);
    EXPECT_EQ(durl_close(nullptr), 0);
    // Stopped before its body starts: the open itself says so.
    seen.stop_after = 0;
    EXPECT_EQ(durl_open(nullptr, &r, &slow), -142);
    EXPECT_EQ(durl_close(nullptr), 0);

    const std::string file = dir + "/up.bin";
    ASSERT_TRUE(write_file(file, pattern_body(4000000)));
    durl_url_param put = make_param(http_url("/echo"));
    put.method = DURL_METHOD_PUT;
    put.raw_upload = 1;
    seen.stop_after = 0;
    EXPECT_EQ(durl_upload(nullptr, nullptr, &put, file.c_str(), nullptr), -142);
}

// ----------------------------------------------------------------- the tool in a terminal

TEST(ToolProgress, MeterOnATerminalOnlyAndCtrlCKeepsTheOldFile) {
    const std::string dir = scratch_dir("meter");
    const std::string out = dir + "/body.bin";
    const std::string url = http_url("/bytes/300000?chunk=1000&delay_ms=3");
    struct Row {
        std::vector<std::string> args;
        std::string stdout_file;
        bool meter;
    } rows[] = {
        {{"get", url, "-o", out}, "", true},
        {{"get", url, "-o", out, "-s"}, "", false},
        {{"get", url}, dir + "/stdout", false},  // the body goes to standard output
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.args.size());
        ToolRun run = tool_in_terminal(row.args, row.stdout_file);
        EXPECT_EQ(run.status, 0) << run.terminal;
        EXPECT_EQ(run.terminal.find("100.0%  293.0 KiB of 293.0 KiB") != std::string::npos,
                  row.meter)
            << run.terminal;
        EXPECT_EQ(run.terminal.find('\r') != std::string::npos && row.meter, row.meter);
    }
    EXPECT_EQ(read_file(dir + "/stdout"), pattern_body(300000));

    // Ctrl-C once the meter runs: the download stops, the old file stays, nothing is left.
    const std::string kept = dir + "/kept.bin";
    ASSERT_TRUE(write_file(kept, "old contents"));
    ToolRun run = tool_in_terminal(
        {"get", http_url("/bytes/2000000?chunk=1000&delay_ms=5"), "-o", kept}, "", "KiB of");
    EXPECT_EQ(run.status, 130) << run.terminal;
    EXPECT_NE(run.terminal.find("durl get: stopped (code -142)"), std::string::npos)
        << run.terminal;
    EXPECT_EQ(read_file(kept), "old contents");
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"body.bin", "kept.bin", "stdout"}));
}

}  // namespace
