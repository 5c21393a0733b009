#include "resource_usage.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DURL_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DURL_SANITIZED_BUILD 1
#endif
#endif

namespace durl_test {

namespace {

size_t entries(const char *dir) {
    size_t n = 0;
    if (DIR *d = opendir(dir)) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

// Growth allowed in resident memory: the allocator keeps freed memory for reuse, per thread
// arena, and OpenSSL and libcurl keep caches that a warm-up fills only in part.
constexpr long kRssSlackKiB = 16 * 1024;

}  // namespace

Usage usage() {
    Usage u;
    u.fds = entries("/proc/self/fd") - 1;  // the listing's own descriptor
    u.threads = entries("/proc/self/task");
    long pages = 0, resident = 0;
    if (FILE *f = fopen("/proc/self/statm", "r")) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(f);
    }
    u.rss_kib = resident * (sysconf(_SC_PAGESIZE) / 1024);
    return u;
}

std::string describe(const Usage &u) {
    return std::to_string(u.fds) + " fds, " + std::to_string(u.threads) + " threads, " +
           std::to_string(u.rss_kib) + " KiB resident";
}

Usage settled_usage(const Usage &before) {
    Usage u = usage();
    for (int i = 0; i < 50 && u.threads > before.threads; ++i) {
        usleep(100 * 1000);
        u = usage();
    }
    return u;
}

void expect_no_growth(const Usage &before, const Usage &after) {
    SCOPED_TRACE("before: " + describe(before) + "; after: " + describe(after));
    EXPECT_LE(after.fds, before.fds);
    EXPECT_LE(after.threads, before.threads);
    // Sanitizers hold freed memory back on purpose (they check leaks themselves), and under an
    // emulator the resident memory includes its translation cache, which grows with every new
    // path the threads run.
#if !defined(DURL_SANITIZED_BUILD) && !defined(DURL_TEST_EMULATED)
    EXPECT_LE(after.rss_kib, before.rss_kib + kRssSlackKiB);
#endif
}

}  // namespace durl_test
