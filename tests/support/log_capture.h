// A log hook that records every line the library logs, and the fixture base every library
// test uses. Texts are compared whole and byte for byte, "[DCMN]" prefix and line feed
// included:  EXPECT_TRUE(log.contains(6, "[DCMN]create handle success.\n"));
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

struct LogLine {
    int level;
    std::string text;  // fully formatted
};

class LogCapture {
public:
    // The durl_log_fn to install, with context() as the log context.
    static int hook(void *log_context, int level, const char *format, ...)
        __attribute__((format(printf, 3, 4)));
    void *context() { return this; }

    std::vector<LogLine> lines() const;  // snapshot, in call order
    std::vector<std::string> texts(int level) const;
    bool contains(int level, const std::string &text) const { return count(level, text) > 0; }
    size_t count(int level, const std::string &text) const;
    bool mentions(const std::string &fragment) const;  // some line at any level contains it
    bool empty() const { return lines().empty(); }
    void clear();
    std::string dump() const;  // all lines as "<level>text", for failure messages

private:
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// durl_init() with a LogCapture in SetUp, durl_cleanup() in TearDown, so every test starts
// from and leaves a clean library state. `log` starts with durl_init()'s own lines.
class DurlTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    LogCapture log;
};
