#include "transfer_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace durl_test {

durl_url_param make_param(const std::string &url) {
    durl_url_param p{};
    std::snprintf(p.url, sizeof p.url, "%s", url.c_str());
    return p;
}

Handle::Handle() { EXPECT_EQ(0, durl_create(&h_)); }
Handle::~Handle() {
    if (h_) durl_destroy(h_);
}

namespace {

// Downloads to the file, or to memory without one, and releases the result record.
Fetch fetch(durl_handle *h, const durl_url_param &p, const std::string *path) {
    durl_result r{};
    Fetch f;
    f.rc =
        path ? durl_download_to_file(h, &r, &p, path->c_str()) : durl_download_to_memory(h, &r, &p);
    f.recode = r.recode;
    f.effective_url = r.effective_url;
    EXPECT_TRUE(!path || r.detail == nullptr) << "a download to a file handed out a detail";
    if (r.detail && r.detail->data) {
        f.has_data = true;
        f.body.assign(r.detail->data, r.detail->size);
        EXPECT_EQ('\0', r.detail->data[r.detail->size]);
    }
    durl_free_result(&r);
    return f;
}

}  // namespace

Fetch fetch_memory(durl_handle *h, const durl_url_param &p) { return fetch(h, p, nullptr); }

Fetch fetch_file(durl_handle *h, const durl_url_param &p, const std::string &path) {
    return fetch(h, p, &path);
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    path_ = scratch_dir("stdout") + "/fd1";
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    saved_ = ::dup(1);
    if (fd >= 0) {
        ::dup2(fd, 1);
        ::close(fd);
    }
}

StdoutCapture::~StdoutCapture() {
    if (saved_ >= 0) {
        std::fflush(stdout);
        ::dup2(saved_, 1);
        ::close(saved_);
    }
}

std::string StdoutCapture::text() {
    std::fflush(stdout);
    return read_file(path_);
}

bool wait_for_line(const LogCapture &log, int level, const std::string &text) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!log.contains(level, text)) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace durl_test
