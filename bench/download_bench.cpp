// Download throughput and memory: 64 MiB over HTTP from a local nginx, to a file and to
// memory, against bare libcurl programs with the engine's options measured in the same run,
// and the peak memory of a download to memory (measured in a fresh child process).
//
// Whole processes too: the durl tool with a 64 KiB receive buffer against the curl
// command-line tool, each writing 64 MiB to a file on a RAM disk.
//
// usage: download_bench [ROUNDS]          (default 7; medians are reported)
#include <spawn.h>

#include <cinttypes>

#include "bench_common.h"

namespace {

using bench::Nginx;

constexpr double kMiB = 1024.0 * 1024.0;

double bare_to_file(const std::string &url, const std::string &path) {
    unlink(path.c_str());  // both sides start from a missing target
    CURL *c = curl_easy_init();
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!c || !f) bench::die("bare setup failed");
    curl_slist *headers = bench::bare_http_options(c, url);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, bench::bare_fwrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, f);
    auto t0 = bench::Clock::now();
    CURLcode rc = curl_easy_perform(c);
    std::fclose(f);
    double s = bench::seconds_since(t0);
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    if (rc != CURLE_OK) bench::die(std::string("bare download: ") + curl_easy_strerror(rc));
    return s;
}

double bare_to_memory(const std::string &url, size_t expect) {
    CURL *c = curl_easy_init();
    if (!c) bench::die("bare setup failed");
    curl_slist *headers = bench::bare_http_options(c, url);
    bench::BareMemory sink;
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, bench::bare_memory);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    auto t0 = bench::Clock::now();
    CURLcode rc = curl_easy_perform(c);
    double s = bench::seconds_since(t0);
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    if (rc != CURLE_OK || sink.size != expect) bench::die("bare download to memory failed");
    return s;
}

double durl_to_file(durl_handle *h, const std::string &url, const std::string &path) {
    unlink(path.c_str());
    durl_url_param p = bench::request(url);
    durl_result r{};
    auto t0 = bench::Clock::now();
    int rc = durl_download_to_file(h, &r, &p, path.c_str());
    double s = bench::seconds_since(t0);
    durl_free_result(&r);
    if (rc != 0) bench::die("durl_download_to_file: " + std::to_string(rc));
    return s;
}

double durl_to_memory(durl_handle *h, const std::string &url, size_t expect) {
    durl_url_param p = bench::request(url);
    durl_result r{};
    auto t0 = bench::Clock::now();
    int rc = durl_download_to_memory(h, &r, &p);
    double s = bench::seconds_since(t0);
    bool whole = r.detail && r.detail->size == expect;
    durl_free_result(&r);
    if (rc != 0 || !whole) bench::die("durl_download_to_memory: " + std::to_string(rc));
    return s;
}

// One whole process, its output thrown away; returns the wall time.
double run_process(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    auto t0 = bench::Clock::now();
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        bench::die(args[0] + " failed");
    return bench::seconds_since(t0);
}

// The durl tool built beside this benchmark.
std::string tool_path() {
    char self[4096] = {0};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) bench::die("no /proc/self/exe");
    std::string dir(self);
    return dir.substr(0, dir.rfind('/')) + "/../durl";
}

long status_kb(const char *field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
    return -1;
}

// Child mode: one download to memory in a fresh process; prints the resident size before
// and the peak resident size after, in KiB.
int peak_child(const char *url, bool bare) {
    bench::start_library();
    durl_handle *h = bench::big_handle();
    // Warm up: libraries, TLS tables and the allocator settle before the baseline.
    std::string small(url);
    small.replace(small.rfind('/'), std::string::npos, "/small.txt");
    durl_to_memory(h, small, Nginx::kSmallSize);
    bare_to_memory(small, Nginx::kSmallSize);
    long before = status_kb("VmRSS:");
    if (bare)
        bare_to_memory(url, Nginx::kBigSize);
    else
        durl_to_memory(h, url, Nginx::kBigSize);
    std::printf("%ld %ld\n", before, status_kb("VmHWM:"));
    durl_cleanup();
    return 0;
}

// Peak growth of resident memory during one download, as a multiple of the body size.
double peak_ratio(const std::string &url, bool bare) {
    char self[4096] = {0};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) bench::die("no /proc/self/exe");
    std::string cmd = std::string(self) + " --peak-child " + url + (bare ? " bare" : "");
    FILE *p = popen(cmd.c_str(), "r");
    long before = -1, peak = -1;
    if (!p || std::fscanf(p, "%ld %ld", &before, &peak) != 2) bench::die("peak child failed");
    pclose(p);
    return (peak - before) * 1024.0 / Nginx::kBigSize;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--peak-child") == 0)
        return peak_child(argv[2], argc >= 4);
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;

    Nginx nginx;
    bench::start_library();
    durl_handle *h = bench::big_handle();
    const std::string url = nginx.http("/big.bin");
    bench::ScratchDir out;
    const std::string bare_path = out.file("bare.out");
    const std::string durl_path = out.file("durl.out");
    const double mib = Nginx::kBigSize / kMiB;

    bench::Paired file, mem;
    durl_to_file(h, url, durl_path);  // warm-up: page cache of the served file
    for (int i = 0; i < rounds; ++i) {
        // Which side goes first alternates, so neither always runs on a warmer machine.
        const bool lib_first = i % 2 == 0;
        double a = lib_first ? durl_to_file(h, url, durl_path) : bare_to_file(url, bare_path);
        double b = lib_first ? bare_to_file(url, bare_path) : durl_to_file(h, url, durl_path);
        file.add(lib_first ? a : b, lib_first ? b : a);
        a = lib_first ? durl_to_memory(h, url, Nginx::kBigSize)
                      : bare_to_memory(url, Nginx::kBigSize);
        b = lib_first ? bare_to_memory(url, Nginx::kBigSize)
                      : durl_to_memory(h, url, Nginx::kBigSize);
        mem.add(lib_first ? a : b, lib_first ? b : a);
    }
    if (std::filesystem::file_size(durl_path) != Nginx::kBigSize) bench::die("short file");

    // HTTPS with the handle's defaults (no peer check) against the same options, bare.
    const std::string tls_url = nginx.https("/big.bin");
    bench::Paired tls;
    for (int i = 0; i < rounds; ++i) {
        const bool lib_first = i % 2 == 0;
        double a =
            lib_first ? durl_to_file(h, tls_url, durl_path) : bare_to_file(tls_url, bare_path);
        double b =
            lib_first ? bare_to_file(tls_url, bare_path) : durl_to_file(h, tls_url, durl_path);
        tls.add(lib_first ? a : b, lib_first ? b : a);
    }

    // Whole processes onto a RAM disk: the tool with a 64 KiB receive buffer, and curl.
    const std::string ram = "/dev/shm/durl-bench-" + std::to_string(getpid());
    const std::string tool = tool_path();
    bench::Paired procs;
    for (int i = 0; i < 2 * rounds + 1; ++i) {
        unlink((ram + ".durl").c_str());
        unlink((ram + ".curl").c_str());
        double lib = run_process({tool, "get", url, "-o", ram + ".durl", "-s", "--recv-buffer",
                                  "65536", "--max-filesize", "268435456"});
        double ref = run_process({"curl", "-s", "-o", ram + ".curl", url});
        procs.add(lib, ref);
    }
    unlink((ram + ".durl").c_str());
    unlink((ram + ".curl").c_str());

    bench::Verdicts v;
    std::printf("%-52s %-44s %6s\n", "figure (median MiB/s; ratio: median of pairs)",
                "durl vs bare", "ratio");
    v.add("64 MiB HTTP to file",
          bench::fmt("%.0f vs %.0f", mib / bench::median(file.lib), mib / bench::median(file.ref)),
          file.speed_ratio(), 1.3);
    v.add("64 MiB HTTPS to file",
          bench::fmt("%.0f vs %.0f", mib / bench::median(tls.lib), mib / bench::median(tls.ref)),
          tls.speed_ratio(), 1.1);
    v.add("durl get (64 KiB buffer) vs curl, 64 MiB to RAM disk",
          bench::fmt("%.3f vs %.3f s", bench::median(procs.lib), bench::median(procs.ref)),
          procs.speed_ratio(), 1.0);
    v.add("64 MiB HTTP to memory",
          bench::fmt("%.0f vs %.0f", mib / bench::median(mem.lib), mib / bench::median(mem.ref)),
          mem.speed_ratio(), 1.0);
    durl_cleanup();

    double lib_peak = peak_ratio(url, false), bare_peak = peak_ratio(url, true);
    v.add("peak memory of 64 MiB to memory (x body)",
          bench::fmt("%.2f vs %.2f", lib_peak, bare_peak), lib_peak, 1.05, true);
    return v.exit_code();
}
