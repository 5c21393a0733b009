#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

#include "test_files.h"

extern char **environ;

namespace durl_test {

namespace {

// Stops every child at exit, in the process that started them (a forked test child that
// exits must not stop its parent's servers).
struct Children {
    std::mutex mu;
    std::vector<ChildProcess> list;
    pid_t owner = getpid();
    ~Children() {
        if (getpid() != owner) return;
        for (auto &c : list) stop_child(c);
    }
};

Children &children() {
    // temp_root() first: statics die in reverse order, so the children are stopped before
    // their working directories are removed.
    temp_root();
    static Children c;
    return c;
}

}  // namespace

std::string spawn_child(const std::vector<std::string> &argv, const std::string &log_path, ChildProcess &out) {
    Children &reg = children();
    int in[2], outp[2];
    // CLOEXEC: a later child must not inherit these ends, or it would hold this child's stdin
    // open and the child would never see end of file.
    if (pipe2(in, O_CLOEXEC) != 0) return "pipe failed";
    if (pipe2(outp, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return "pipe failed";
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, outp[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(outp[1]);
    if (rc != 0) {
        close(in[1]);
        close(outp[0]);
        return "cannot start " + argv[0] + ": " + strerror(rc);
    }
    out.pid = pid;
    out.stdin_fd = in[1];
    out.stdout_fd = outp[0];
    out.log_path = log_path;
    std::lock_guard<std::mutex> g(reg.mu);
    reg.list.push_back(out);
    return "";
}

std::map<std::string, int> await_ready(const ChildProcess &child, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string line;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        pollfd p{child.stdout_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char c;
        ssize_t n = read(child.stdout_fd, &c, 1);
        if (n <= 0) return {};  // the child closed stdout: it died
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.rfind("READY", 0) != 0) {
            line.clear();
            continue;
        }
        std::map<std::string, int> values;
        std::istringstream words(line.substr(5));
        std::string word;
        while (words >> word) {
            size_t eq = word.find('=');
            if (eq == std::string::npos) return {};
            values[word.substr(0, eq)] = std::atoi(word.c_str() + eq + 1);
        }
        return values;
    }
}

void stop_child(ChildProcess &child) {
    if (child.pid <= 0) return;
    if (child.stdin_fd >= 0) close(child.stdin_fd);
    child.stdin_fd = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (waitpid(child.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (child.stdout_fd >= 0) close(child.stdout_fd);
    child.stdout_fd = -1;
    child.pid = -1;
}

std::string child_log_tail(const ChildProcess &child) {
    std::string log = read_file(child.log_path);
    if (log.size() > 2000) log = "..." + log.substr(log.size() - 2000);
    return log;
}

}  // namespace durl_test
