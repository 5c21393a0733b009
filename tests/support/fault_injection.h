// Real file-system faults for tests, made without mocks and effective as root (where
// permission bits stop nothing). Each undoes itself when it goes out of scope. They change
// process-wide state: use them only while no other thread of the test binary touches files.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_files.h"

namespace durl_test {

// RLIMIT_FSIZE lowered (SIGXFSZ ignored): writes beyond the limit fail with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &saved_action_);
        getrlimit(RLIMIT_FSIZE, &saved_);
        struct rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        sigaction(SIGXFSZ, &saved_action_, nullptr);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    struct rlimit saved_;
    struct sigaction saved_action_;
};

// RLIMIT_NOFILE lowered so that exactly N more descriptors can be opened (then EMFILE).
class DescriptorSqueeze {
public:
    explicit DescriptorSqueeze(int free_descriptors) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        // Fill every gap below the highest open descriptor, so the lowest free number is one
        // past everything open; the limit then leaves exactly free_descriptors numbers.
        int highest = 2, fd;
        for (const std::string &name : dir_names("/proc/self/fd"))
            highest = std::max(highest, std::stoi(name));
        while ((fd = open("/dev/null", O_RDONLY)) >= 0 && fd <= highest) fillers_.push_back(fd);
        if (fd >= 0) close(fd);
        struct rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(highest + 1 + free_descriptors);
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorSqueeze() {
        setrlimit(RLIMIT_NOFILE, &saved_);
        for (int fd : fillers_) close(fd);
    }
    DescriptorSqueeze(const DescriptorSqueeze &) = delete;
    DescriptorSqueeze &operator=(const DescriptorSqueeze &) = delete;

private:
    struct rlimit saved_;
    std::vector<int> fillers_;
};

// The immutable attribute on a directory: nothing can be created, renamed or removed in it.
// active() is false where the file system or the process's capabilities refuse it (skip then).
class ImmutableDir {
public:
    explicit ImmutableDir(const std::string &dir) : dir_(dir), active_(set(true)) {}
    ~ImmutableDir() {
        if (active_) set(false);
    }
    bool active() const { return active_; }
    ImmutableDir(const ImmutableDir &) = delete;
    ImmutableDir &operator=(const ImmutableDir &) = delete;

private:
    bool set(bool on) {
        int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY), flags = 0;
        bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0) close(fd);
        return ok;
    }
    std::string dir_;
    bool active_;
};

}  // namespace durl_test
