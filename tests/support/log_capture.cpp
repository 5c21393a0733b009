#include "log_capture.h"

#include <cstdarg>
#include <cstdio>

#include "durl.h"

int LogCapture::hook(void *log_context, int level, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string text(n > 0 ? n : 0, '\0');
    if (n > 0) vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    auto *self = static_cast<LogCapture *>(log_context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back({level, std::move(text)});
    return 0;
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<std::string> LogCapture::texts(int level) const {
    std::vector<std::string> out;
    for (const LogLine &l : lines())
        if (l.level == level) out.push_back(l.text);
    return out;
}

size_t LogCapture::count(int level, const std::string &text) const {
    size_t n = 0;
    for (const std::string &t : texts(level)) n += t == text;
    return n;
}

bool LogCapture::mentions(const std::string &fragment) const {
    for (const LogLine &l : lines())
        if (l.text.find(fragment) != std::string::npos) return true;
    return false;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

std::string LogCapture::dump() const {
    std::string out;
    for (const LogLine &l : lines()) out += "<" + std::to_string(l.level) + ">" + l.text;
    return out;
}

void DurlTest::SetUp() { ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0); }

void DurlTest::TearDown() { durl_cleanup(); }
