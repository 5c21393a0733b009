// Test helper: a log hook that records every line the library logs, and the fixture base
// every library test uses.
//
//   LogCapture log;                       // or use DurlTest, which owns one as `log`
//   durl_init(log.context(), LogCapture::hook);
//   EXPECT_TRUE(log.contains(6, "[DCMN]create handle success.\n"));
//
// Texts are compared whole and byte for byte, "[DCMN]" prefix and line feed included.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

struct LogLine {
    int level;
    std::string text;  // fully formatted, as the hook's format and arguments give it
};

class LogCapture {
public:
    // The durl_log_fn to install; the log context must be the LogCapture (context()).
    static int hook(void *log_context, int level, const char *format, ...)
        __attribute__((format(printf, 3, 4)));
    void *context() { return this; }

    std::vector<LogLine> lines() const;               // snapshot, in call order
    std::vector<std::string> texts(int level) const;  // texts logged at one level
    bool contains(int level, const std::string &text) const;
    size_t count(int level, const std::string &text) const;
    // True when some line at any level contains the fragment.
    bool mentions(const std::string &fragment) const;
    bool empty() const;
    size_t size() const;
    void clear();
    // All lines as "<level>text", for failure messages.
    std::string dump() const;

private:
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// Fixture base: durl_init() with a LogCapture in SetUp, durl_cleanup() in TearDown, so every
// test starts from and leaves a clean library state. `log` starts with durl_init()'s own two
// lines; call log.clear() first when a test asserts on everything logged.
class DurlTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    LogCapture log;
};
