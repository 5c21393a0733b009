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

// durl_upload with the result released; its code.
int upload(durl_handle *h, const durl_url_param &p, const char *file, const char *name = nullptr);

// A stream read to its end: the bytes that arrived, the first failure (open or read) and what
// the close gave.
struct Streamed {
    int rc = 0;
    std::string body;
    int closed = 0;
};
Streamed read_stream(durl_handle *h, const durl_url_param &p, size_t chunk = 4096);

// Every transfer that takes a request, by name ("file" to target, "memory", "upload" of
// upload_file as send_name, "open" and close again); its code, the result released.
int transfer_by(const std::string &how, durl_handle *h, const durl_url_param &p,
                const std::string &target, const std::string &upload_file,
                const char *send_name = nullptr);

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

// What a progress callback (durl_set_progress(h, ProgressLog::cb, &log)) saw, and when to
// stop.
struct ProgressLog {
    std::vector<int64_t> done, total, up_done, up_total;
    int64_t stop_after = -1;  // stop once this many bytes arrived (-1: never)
    static int cb(void *ctx, int64_t dl, int64_t dl_total, int64_t ul, int64_t ul_total);
};

// The durl tool with args (after prefix, e.g. a namespace wrapper), stdout and stderr into out
// and out.err; its exit status.
int run_tool(const std::vector<std::string> &args, const std::string &out,
             const std::string &prefix = "");

// The tool with its standard error (and standard output unless stdout_file is given) on a
// pseudo-terminal: what it wrote there and its exit status. interrupt_at: text whose arrival
// on the terminal sends SIGINT.
struct ToolRun {
    std::string terminal;
    int status = -1;
};
ToolRun tool_in_terminal(const std::vector<std::string> &args, const std::string &stdout_file,
                         const std::string &interrupt_at = "");

inline std::vector<std::string> list_dir(const std::string &dir) { return dir_names(dir); }

}  // namespace durl_test
