#include "transfer_util.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
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

int upload(durl_handle *h, const durl_url_param &p, const char *file, const char *name) {
    durl_result r{};
    int rc = durl_upload(h, &r, &p, file, name);
    durl_free_result(&r);
    return rc;
}

Streamed read_stream(durl_handle *h, const durl_url_param &p, size_t chunk) {
    Streamed s;
    s.rc = durl_open(h, nullptr, &p);
    std::vector<char> buf(chunk);
    int n = 0;
    while (s.rc == 0 && (n = durl_read(h, nullptr, buf.data(), static_cast<int>(chunk))) > 0)
        s.body.append(buf.data(), static_cast<size_t>(n));
    if (s.rc == 0 && n < 0) s.rc = n;
    s.closed = durl_close(h);
    return s;
}

int transfer_by(const std::string &how, durl_handle *h, const durl_url_param &p,
                const std::string &target, const std::string &upload_file, const char *send_name) {
    durl_result r{};
    int rc = -999;
    if (how == "file") rc = durl_download_to_file(h, &r, &p, target.c_str());
    if (how == "memory") rc = durl_download_to_memory(h, &r, &p);
    if (how == "upload") rc = durl_upload(h, &r, &p, upload_file.c_str(), send_name);
    if (how == "open") {
        rc = durl_open(h, &r, &p);
        durl_close(h);
    }
    durl_free_result(&r);
    return rc;
}

int ProgressLog::cb(void *ctx, int64_t dl, int64_t dl_total, int64_t ul, int64_t ul_total) {
    auto *s = static_cast<ProgressLog *>(ctx);
    s->done.push_back(dl);
    s->total.push_back(dl_total);
    s->up_done.push_back(ul);
    s->up_total.push_back(ul_total);
    const int64_t moved = dl + ul;
    return s->stop_after >= 0 && moved >= s->stop_after ? 1 : 0;
}

int run_tool(const std::vector<std::string> &args, const std::string &out,
             const std::string &prefix) {
    std::string cmd = prefix + DURL_TEST_TOOL;
    for (const std::string &a : args) cmd += " '" + a + "'";
    int raw = std::system((cmd + " > " + out + " 2> " + out + ".err").c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

ToolRun tool_in_terminal(const std::vector<std::string> &args, const std::string &stdout_file,
                         const std::string &interrupt_at) {
    // The tool's command line may start with an emulator (cross builds): split it into words.
    std::vector<std::string> argv_s;
    std::istringstream words(DURL_TEST_TOOL);
    for (std::string w; words >> w;) argv_s.push_back(w);
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (!stdout_file.empty() && !freopen(stdout_file.c_str(), "w", stdout)) _exit(120);
        std::vector<char *> argv;
        for (std::string &a : argv_s) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(121);
    }
    ToolRun run;
    if (pid < 0) return run;
    bool sent = false;
    char buf[4096];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) break;
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child has gone
        run.terminal.append(buf, static_cast<size_t>(n));
        if (!interrupt_at.empty() && !sent &&
            run.terminal.find(interrupt_at) != std::string::npos) {
            kill(pid, SIGINT);
            sent = true;
        }
    }
    close(master);
    int raw = 0;
    waitpid(pid, &raw, 0);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

}  // namespace durl_test
