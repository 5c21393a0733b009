// Small helpers for the transfer tests: requests, owned handles, downloads with the result
// released, what reaches standard output, and waiting for a log line.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "durl.h"
#include "log_capture.h"
#include "test_files.h"

namespace durl_test {

durl_url_param make_param(const std::string &url);  // everything but the URL zero

// A handle made by durl_create(), destroyed with the object.
class Handle {
public:
    Handle();
    ~Handle();
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    durl_handle *get() const { return h_; }
    operator durl_handle *() const { return h_; }

private:
    durl_handle *h_ = nullptr;
};

struct Fetch {
    int rc = 0;
    int recode = 0;
    std::string body;  // download to memory only
    bool has_data = false;
    std::string effective_url;
};
Fetch fetch_memory(durl_handle *h, const durl_url_param &p);
Fetch fetch_file(durl_handle *h, const durl_url_param &p, const std::string &path);

// Redirects file descriptor 1 into a temporary file while alive; text() reads what arrived.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string text();

private:
    int saved_ = -1;
    std::string path_;
};

// Polls (every millisecond, 20 s at most) until the log holds the line; false on time-out.
bool wait_for_line(const LogCapture &log, int level, const std::string &text);

inline std::vector<std::string> list_dir(const std::string &dir) { return dir_names(dir); }

}  // namespace durl_test
