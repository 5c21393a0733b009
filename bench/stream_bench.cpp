// Streamed reads from a local nginx: 64 MiB read through durl_open/durl_read with a 64 KiB
// buffer against a bare worker-thread-and-pipe program with the engine's options, and the
// median time durl_open takes on a server that answers at once (printed beside it: the
// median time a bare GET on a new easy handle and a new connection takes to its first body
// byte, the floor under any open).
//
// usage: stream_bench [ROUNDS]     (default 7; medians are reported)
#include <poll.h>

#include "bench_common.h"

namespace {

using bench::Nginx;

constexpr int kReadBuffer = 64 * 1024;
constexpr double kMiB = 1024.0 * 1024.0;

size_t bare_pipe_write(char *data, size_t size, size_t count, void *fd) {
    size_t n = size * count, done = 0;
    while (done < n) {
        ssize_t w = write(*static_cast<int *>(fd), data + done, n - done);
        if (w <= 0) return 0;
        done += static_cast<size_t>(w);
    }
    return n;
}

// The bare program: a worker runs the transfer into a pipe, the caller reads the pipe with
// a time limit into a 64 KiB buffer until the end of file. Returns the seconds taken.
double bare_stream(const std::string &url) {
    int fds[2];
    if (pipe(fds) != 0) bench::die("pipe failed");
    auto t0 = bench::Clock::now();
    std::thread worker([&] {
        CURL *c = curl_easy_init();
        curl_slist *headers = bench::bare_http_options(c, url);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, bare_pipe_write);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &fds[1]);
        curl_easy_perform(c);
        close(fds[1]);
        curl_slist_free_all(headers);
        curl_easy_cleanup(c);
    });
    std::vector<char> buf(kReadBuffer);
    size_t total = 0;
    for (;;) {
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        ssize_t n = read(fds[0], buf.data(), buf.size());
        if (n <= 0) break;
        total += static_cast<size_t>(n);
    }
    double s = bench::seconds_since(t0);
    worker.join();
    close(fds[0]);
    if (total != Nginx::kBigSize) bench::die("bare stream short: " + std::to_string(total));
    return s;
}

double durl_stream(durl_handle *h, const std::string &url) {
    durl_url_param p = bench::request(url);
    std::vector<char> buf(kReadBuffer);
    auto t0 = bench::Clock::now();
    if (durl_open(h, nullptr, &p) != 0) bench::die("durl_open failed");
    size_t total = 0;
    int n;
    while ((n = durl_read(h, nullptr, buf.data(), kReadBuffer)) > 0)
        total += static_cast<size_t>(n);
    double s = bench::seconds_since(t0);
    durl_close(h);
    if (n != 0 || total != Nginx::kBigSize) bench::die("durl stream failed: " + std::to_string(n));
    return s;
}

size_t bare_first_byte(char *, size_t size, size_t count, void *at) {
    auto *t = static_cast<bench::Clock::time_point *>(at);
    if (*t == bench::Clock::time_point{}) *t = bench::Clock::now();
    return size * count;
}

// Milliseconds from the making of a bare easy handle to the first body byte of its GET.
double bare_first_byte_ms(const std::string &url) {
    bench::Clock::time_point first{};
    auto t0 = bench::Clock::now();
    CURL *c = curl_easy_init();
    curl_slist *headers = bench::bare_http_options(c, url);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, bare_first_byte);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &first);
    CURLcode rc = curl_easy_perform(c);
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    if (rc != CURLE_OK || first == bench::Clock::time_point{}) bench::die("bare GET failed");
    return std::chrono::duration<double, std::milli>(first - t0).count();
}

// Milliseconds from durl_open to its return; the close is not timed.
double open_latency_ms(durl_handle *h, const std::string &url) {
    durl_url_param p = bench::request(url);
    auto t0 = bench::Clock::now();
    int rc = durl_open(h, nullptr, &p);
    double ms = bench::seconds_since(t0) * 1000;
    durl_close(h);
    if (rc != 0) bench::die("durl_open failed: " + std::to_string(rc));
    return ms;
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    Nginx nginx;
    bench::start_library();
    durl_handle *h = bench::big_handle();
    const std::string big = nginx.http("/big.bin");
    const double mib = Nginx::kBigSize / kMiB;

    bench::Verdicts v;
    std::printf("%-52s %-44s %6s\n", "figure", "durl vs reference", "ratio");
    durl_stream(h, big);  // warm-up
    bench::Paired pairs;
    for (int i = 0; i < rounds; ++i) {
        // Which side goes first alternates, so neither always runs on a warmer machine.
        double a = i % 2 ? bare_stream(big) : durl_stream(h, big);
        double b = i % 2 ? durl_stream(h, big) : bare_stream(big);
        pairs.add(i % 2 ? b : a, i % 2 ? a : b);
    }
    v.add(
        "64 MiB stream, 64 KiB reads (MiB/s)",
        bench::fmt("%.0f vs %.0f", mib / bench::median(pairs.lib), mib / bench::median(pairs.ref)),
        pairs.speed_ratio(), 1.2);

    const std::string small = nginx.http("/small.txt");
    std::vector<double> opens, bare;
    for (int i = 0; i < 200; ++i) opens.push_back(open_latency_ms(h, small));
    for (int i = 0; i < 200; ++i) bare.push_back(bare_first_byte_ms(small));
    double med = bench::median(opens);
    char bare_text[48];
    std::snprintf(bare_text, sizeof bare_text, " (bare first byte %.3f)", bench::median(bare));
    v.add("median durl_open on an answering server (ms)",
          bench::fmt("%.3f vs %.1f", med, 0.3) + bare_text, med, 0.3, true);
    durl_cleanup();
    return v.exit_code();
}
