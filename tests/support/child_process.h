// Server processes for the test harness: spawned with a pipe on stdin (the child exits when it
// reads end of file, so it never outlives the test binary) and a pipe on stdout (for its
// READY line), stderr into a log file. Every started child is stopped when the test binary
// that started it exits.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace durl_test {

struct ChildProcess {
    pid_t pid = -1;
    int stdin_fd = -1;   // our end of the child's stdin
    int stdout_fd = -1;  // our end of the child's stdout
    std::string log_path;
};

// Starts argv[0] (an absolute path) with argv. Returns an error text, empty on success. The
// child is registered for stopping at exit.
std::string spawn_child(const std::vector<std::string> &argv, const std::string &log_path, ChildProcess &out);

// Waits up to timeout_ms for the child's "READY k=v k=v" line and returns its values; empty
// on time-out, end of file or a malformed line (the child's log then tells why).
std::map<std::string, int> await_ready(const ChildProcess &child, int timeout_ms);

// Closes the child's stdin, waits up to 3 s for it to exit, then kills it.
void stop_child(ChildProcess &child);

// The last lines of the child's stderr log, for failure messages.
std::string child_log_tail(const ChildProcess &child);

}  // namespace durl_test
