// What the process holds: open descriptors, threads and resident memory, for tests that
// repeat work and require that nothing grows.
#pragma once

#include <cstddef>
#include <string>

namespace durl_test {

struct Usage {
    size_t fds = 0, threads = 0;
    long rss_kib = 0;
};

Usage usage();
std::string describe(const Usage &u);

// What is in use once threads that were just joined have left the task list: the kernel, and
// an emulator more slowly, may still list an exiting thread for a moment after its join.
Usage settled_usage(const Usage &before);

// No more descriptors or threads than before, and resident memory within the allocator's
// slack (not measured in sanitizer builds or under an emulator, where the figure is not the
// library's).
void expect_no_growth(const Usage &before, const Usage &after);

}  // namespace durl_test
