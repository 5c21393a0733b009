// Real file-system faults for tests, made without mocks, and working when the tests run as
// root (where permission bits do not stop anything):
//
//   FileSizeLimit   RLIMIT_FSIZE lowered (SIGXFSZ ignored): writes beyond the limit fail
//                   with EFBIG, so a copy or rewrite stops part-way.
//   DescriptorSqueeze  RLIMIT_NOFILE lowered so that exactly N more descriptors can be
//                   opened: opens beyond that fail with EMFILE.
//   ImmutableDir    the directory gets the immutable attribute: nothing can be created,
//                   renamed or removed in it, though its files stay readable.
//
// Each undoes itself in its destructor. They change process-wide limits: use them only
// while no other thread of the test binary opens or writes files.
#pragma once

#include <sys/resource.h>

#include <signal.h>

#include <string>
#include <vector>

namespace durl_test {

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    struct rlimit saved_;
    struct sigaction saved_action_;
};

class DescriptorSqueeze {
public:
    explicit DescriptorSqueeze(int free_descriptors);
    ~DescriptorSqueeze();
    DescriptorSqueeze(const DescriptorSqueeze &) = delete;
    DescriptorSqueeze &operator=(const DescriptorSqueeze &) = delete;

private:
    struct rlimit saved_;
    std::vector<int> fillers_;
};

class ImmutableDir {
public:
    explicit ImmutableDir(const std::string &dir);
    ~ImmutableDir();
    // False when the file system or the process's capabilities do not allow the attribute
    // (the test should then skip).
    bool active() const { return active_; }
    ImmutableDir(const ImmutableDir &) = delete;
    ImmutableDir &operator=(const ImmutableDir &) = delete;

private:
    std::string dir_;
    bool active_ = false;
};

// Names in a directory (without "." and ".."), sorted.
std::vector<std::string> dir_names(const std::string &dir);

}  // namespace durl_test
