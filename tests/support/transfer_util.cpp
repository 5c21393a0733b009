#include "transfer_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "test_files.h"

namespace durl_test {

durl_url_param make_param(const std::string &url) {
    durl_url_param p;
    std::memset(&p, 0, sizeof p);
    std::snprintf(p.url, sizeof p.url, "%s", url.c_str());
    return p;
}

Handle::Handle() { EXPECT_EQ(0, durl_create(&h_)); }
Handle::~Handle() {
    if (h_) durl_destroy(h_);
}

Fetch fetch_memory(durl_handle *h, const durl_url_param &p) {
    durl_result r;
    std::memset(&r, 0, sizeof r);
    Fetch f;
    f.rc = durl_download_to_memory(h, &r, &p);
    f.recode = r.recode;
    f.effective_url = r.effective_url;
    if (r.detail && r.detail->data) {
        f.has_data = true;
        f.body.assign(r.detail->data, r.detail->size);
        EXPECT_EQ('\0', r.detail->data[r.detail->size]);
    }
    durl_free_result(&r);
    return f;
}

Fetch fetch_file(durl_handle *h, const durl_url_param &p, const std::string &path) {
    durl_result r;
    std::memset(&r, 0, sizeof r);
    Fetch f;
    f.rc = durl_download_to_file(h, &r, &p, path.c_str());
    f.recode = r.recode;
    f.effective_url = r.effective_url;
    EXPECT_EQ(nullptr, r.detail);
    durl_free_result(&r);
    return f;
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

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace durl_test
