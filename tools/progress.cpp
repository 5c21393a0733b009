// Progress of a tool transfer: a meter on standard error for a person watching, and Ctrl-C
// that stops the transfer through the library (a download then leaves the old file as it
// was) instead of killing the process in the middle of it.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "cli.h"
#include "durl.h"

namespace cli {

namespace {

volatile sig_atomic_t g_interrupted = 0;

void on_sigint(int) { g_interrupted = 1; }

struct Meter {
    bool shown = false;  // draw on standard error
    bool drawn = false;  // a line is on the screen
    double start = 0;
};
Meter g_meter;

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// "12.3 MiB" style: one decimal, binary units.
void size_text(char *out, size_t n, double bytes) {
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        ++u;
    }
    std::snprintf(out, n, u ? "%.1f %s" : "%.0f %s", bytes, units[u]);
}

void draw(int64_t done, int64_t total) {
    const double elapsed = now_s() - g_meter.start;
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    char have[32], all[32], speed[32];
    size_text(have, sizeof have, static_cast<double>(done));
    size_text(all, sizeof all, static_cast<double>(total));
    size_text(speed, sizeof speed, rate);
    if (total > 0) {
        const double left = rate > 0 ? static_cast<double>(total - done) / rate : 0;
        const auto secs = static_cast<long>(left + 0.5);
        std::fprintf(stderr, "\r%5.1f%%  %s of %s  %s/s  %ld:%02ld left   ",
                     100.0 * static_cast<double>(done) / static_cast<double>(total), have, all,
                     speed, secs / 60, secs % 60);
    } else {
        std::fprintf(stderr, "\r%s  %s/s   ", have, speed);
    }
    std::fflush(stderr);
    g_meter.drawn = true;
}

int on_progress(void *, int64_t dl_done, int64_t dl_total, int64_t ul_done, int64_t ul_total) {
    if (g_interrupted) return 1;
    if (!g_meter.shown) return 0;
    // An upload's counts are the interesting ones while it sends.
    if (ul_total > 0 || ul_done > 0)
        draw(ul_done, ul_total);
    else if (dl_done > 0 || dl_total > 0)
        draw(dl_done, dl_total);
    return 0;
}

}  // namespace

bool meter_wanted(const Parsed &args) { return !args.has(kSilent.long_name) && isatty(2) == 1; }

void start_progress(bool meter) {
    g_meter = Meter{meter, false, now_s()};
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a blocking call returns at once. A second Ctrl-C ends the process.
    sa.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &sa, nullptr);
    durl_set_progress(nullptr, on_progress, nullptr);
}

bool end_progress() {
    durl_set_progress(nullptr, nullptr, nullptr);
    signal(SIGINT, SIG_DFL);
    if (g_meter.drawn) std::fputc('\n', stderr);
    g_meter = Meter{};
    return g_interrupted != 0;
}

}  // namespace cli
