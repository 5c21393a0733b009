// Benchmarks of the certificate checks and the seeded key generation, each against a bare
// OpenSSL program doing the same work, measured in the same run:
//   1. dl_cert_verify with a CA file and a CA directory vs. a bare store set-up and
//      X509_verify_cert (target: at most 1.2x);
//   2. dl_cert_build_csr_req_file with no key file (seeded RSA-2048 generation) vs. a plain
//      RSA_generate_key_ex of the same size (target: at most 1.3x).
// Usage: verify_bench [verify_rounds] [keygen_runs]
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "bench_stats.h"
#include "cert_factory.h"
#include "dl_ca.h"
#include "pki.h"
#include "test_files.h"

using namespace durl_test;
using Clock = std::chrono::steady_clock;

namespace {

// Wall and thread CPU time of a piece of work, in microseconds. On a busy machine the CPU
// time is the steadier figure; both are reported.
struct Sample {
    double wall, cpu;
};

double cpu_now_us() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

template <class Fn>
Sample time_us(Fn &&fn, int reps) {
    const double cpu = cpu_now_us();
    const auto start = Clock::now();
    for (int i = 0; i < reps; ++i) fn();
    const double wall = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    return {wall / reps, (cpu_now_us() - cpu) / reps};
}

struct Series {
    std::vector<double> wall, cpu;
    void add(const Sample &s) {
        wall.push_back(s.wall);
        cpu.push_back(s.cpu);
    }
    double mean_cpu() const {
        double sum = 0;
        for (double v : cpu) sum += v;
        return sum / static_cast<double>(cpu.size());
    }
};

// What an application would write without the library: rebuild the store, read the
// certificate and verify it.
bool bare_verify(const char *cert_file, const char *ca_dir, const char *ca_file) {
    durl::X509StorePtr store(X509_STORE_new());
    X509_LOOKUP *file = X509_STORE_add_lookup(store.get(), X509_LOOKUP_file());
    if (!file || !X509_LOOKUP_load_file(file, ca_file, X509_FILETYPE_PEM)) return false;
    X509_LOOKUP *dir = X509_STORE_add_lookup(store.get(), X509_LOOKUP_hash_dir());
    if (!dir || !X509_LOOKUP_add_dir(dir, ca_dir, X509_FILETYPE_PEM)) return false;
    durl::BioPtr bio(BIO_new_file(cert_file, "r"));
    durl::X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    durl::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!cert || !ctx || !X509_STORE_CTX_init(ctx.get(), store.get(), cert.get(), nullptr))
        return false;
    return X509_verify_cert(ctx.get()) == 1;
}

void bench_verify(int rounds) {
    const Pki &p = pki();
    const std::string dir = scratch_dir("bench-verify");
    const std::string leaf = dir + "/leaf.pem";
    if (!write_cert(leaf, factory_pki().leaf.get())) std::exit(1);
    const std::string ca = dir + "/ca.pem", ca_dir = scratch_dir("bench-cadir");
    write_cert(ca, factory_pki().ca.get());
    add_hashed_copy(p.ca_pem, ca_dir);  // an unrelated CA in the directory, as on a device
    dl_ca_status status{};
    if (dl_cert_verify(leaf.c_str(), ca_dir.c_str(), ca.c_str(), 0, &status) != 0 ||
        !bare_verify(leaf.c_str(), ca_dir.c_str(), ca.c_str())) {
        std::fprintf(stderr, "verification set-up failed (code %d)\n", status.code);
        std::exit(1);
    }
    Series lib, bare;
    const int reps = 200;
    for (int r = 0; r < rounds; ++r) {
        lib.add(time_us(
            [&] { dl_cert_verify(leaf.c_str(), ca_dir.c_str(), ca.c_str(), 0, &status); }, reps));
        bare.add(time_us([&] { bare_verify(leaf.c_str(), ca_dir.c_str(), ca.c_str()); }, reps));
    }
    std::printf(
        "verify (CA file + CA dir), medians over %d rounds of %d calls:\n"
        "  dl_cert_verify %.1f us wall / %.1f us cpu; bare OpenSSL %.1f us wall / "
        "%.1f us cpu\n  ratio %.3f wall, %.3f cpu (target <= 1.2)\n",
        rounds, reps, bench::median(lib.wall), bench::median(lib.cpu), bench::median(bare.wall),
        bench::median(bare.cpu), bench::median(lib.wall) / bench::median(bare.wall),
        bench::median(lib.cpu) / bench::median(bare.cpu));
}

void bench_keygen(int runs) {
    const std::string dir = scratch_dir("bench-keygen");
    durl::BignumPtr e(BN_new());
    BN_set_word(e.get(), RSA_F4);
    Series lib, bare;
    for (int i = 0; i < runs; ++i) {
        // A new common name per run: one seed's prime search must not decide the figure.
        const std::string subject = "/O=bench/CN=device-" + std::to_string(i);
        const std::string key = dir + "/k.pem", req = dir + "/r.pem";
        unlink(key.c_str());
        int rc = 0;
        lib.add(time_us(
            [&] {
                rc = dl_cert_build_csr_req_file(req.c_str(), key.c_str(), subject.c_str(), 2048);
            },
            1));
        if (rc != 0) {
            std::fprintf(stderr, "dl_cert_build_csr_req_file failed with %d\n", rc);
            std::exit(1);
        }
        durl::RsaPtr rsa(RSA_new());
        bare.add(time_us([&] { RSA_generate_key_ex(rsa.get(), 2048, e.get(), nullptr); }, 1));
    }
    // Prime search times spread widely: many runs are needed before the ratio settles.
    std::printf(
        "RSA-2048 over %d runs (ms):\n"
        "  seeded, dl_cert_build_csr_req_file without key file: median %.1f wall / "
        "%.1f cpu, mean %.1f cpu\n"
        "  RSA_generate_key_ex: median %.1f wall / %.1f cpu, mean %.1f cpu\n"
        "  ratio of medians %.3f wall, %.3f cpu; of cpu means %.3f (target <= 1.3)\n",
        runs, bench::median(lib.wall) / 1e3, bench::median(lib.cpu) / 1e3, lib.mean_cpu() / 1e3,
        bench::median(bare.wall) / 1e3, bench::median(bare.cpu) / 1e3, bare.mean_cpu() / 1e3,
        bench::median(lib.wall) / bench::median(bare.wall),
        bench::median(lib.cpu) / bench::median(bare.cpu), lib.mean_cpu() / bare.mean_cpu());
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 101;
    static int context;
    durl_init(&context, bench::quiet_log);
    durl_set_option(nullptr, DURL_OPT_ENV_RANDOMNESS, "bench seed");
    bench_verify(rounds > 0 ? rounds : 15);
    bench_keygen(runs > 0 ? runs : 101);
    durl_cleanup();
    return 0;
}
