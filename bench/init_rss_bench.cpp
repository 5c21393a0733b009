// Resident memory of durl_init against a bare libcurl + OpenSSL initialisation: each figure
// comes from a fresh child process, the library loaded with dlopen only in the durl one, so
// the bare figure carries none of durl's pages. Target: durl adds at most 10 %.
#include <dlfcn.h>

#include <openssl/ssl.h>

#include "bench_common.h"
#include "cert_factory.h"

namespace {

long rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Child: initialise, print the resident size in KiB, exit.
int child(bool with_durl) {
    if (with_durl) {
        void *lib = dlopen(DURL_SHARED_LIBRARY, RTLD_NOW);
        auto init = lib ? reinterpret_cast<decltype(&durl_init)>(dlsym(lib, "durl_init")) : nullptr;
        static int context;
        if (!init || init(&context, bench::quiet_log) != 0) return 2;
    } else {
        if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) return 2;
        if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                             nullptr) != 1)
            return 2;
    }
    std::printf("%ld\n", rss_kib());
    return 0;
}

double measure(const char *self, const char *mode) {
    std::string out = durl_test::run_capture(std::string("'") + self + "' " + mode);
    long kib = std::atol(out.c_str());
    if (kib <= 0) bench::die(std::string("the ") + mode + " child failed");
    return static_cast<double>(kib);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2) return child(std::strcmp(argv[1], "durl") == 0);
    std::vector<double> bare, lib;
    for (int i = 0; i < 9; ++i) {
        bare.push_back(measure(argv[0], "bare"));
        lib.push_back(measure(argv[0], "durl"));
    }
    const double b = bench::median(bare), d = bench::median(lib);
    bench::Verdicts v;
    v.add("resident memory after durl_init / bare libcurl+OpenSSL init",
          bench::fmt("%.0f KiB vs %.0f KiB", d, b), d / b, 1.10, true);
    return v.exit_code();
}
