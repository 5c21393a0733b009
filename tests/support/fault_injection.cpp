#include "fault_injection.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace durl_test {

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &saved_action_);
    getrlimit(RLIMIT_FSIZE, &saved_);
    struct rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
}

FileSizeLimit::~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    sigaction(SIGXFSZ, &saved_action_, nullptr);
}

DescriptorSqueeze::DescriptorSqueeze(int free_descriptors) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    // Fill every gap below the highest open descriptor, so the lowest free number is one
    // past everything open; the limit then leaves exactly free_descriptors numbers.
    int highest = 2;
    for (const std::string &name : dir_names("/proc/self/fd"))
        highest = std::max(highest, std::stoi(name));
    int fd;
    while ((fd = open("/dev/null", O_RDONLY)) >= 0 && fd <= highest) fillers_.push_back(fd);
    if (fd >= 0) close(fd);
    struct rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(highest + 1 + free_descriptors);
    setrlimit(RLIMIT_NOFILE, &lowered);
}

DescriptorSqueeze::~DescriptorSqueeze() {
    setrlimit(RLIMIT_NOFILE, &saved_);
    for (int fd : fillers_) close(fd);
}

namespace {

bool set_immutable(const std::string &dir, bool on) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return ok;
}

}  // namespace

ImmutableDir::ImmutableDir(const std::string &dir) : dir_(dir) {
    active_ = set_immutable(dir, true);
}

ImmutableDir::~ImmutableDir() {
    if (active_) set_immutable(dir_, false);
}

std::vector<std::string> dir_names(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace durl_test
