// Benchmarks of the trusted CA store, measured in one run against the same work done the
// shell way:
//   1. dl_install_ca + dl_del_ca of one certificate into a store of 10 entries vs. the same
//      steps with the links made by system("ln -s ...") and the files removed by
//      system("rm ...") (target: at least 20x faster; medians, library timed in batches of 10);
//   2. dl_get_trust_ca_info_ex of a full store (10 entries): median reported.
// Usage: trust_store_bench [library_rounds] [shell_rounds] [base_directory]
#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"
#include "cert_factory.h"
#include "dl_ca.h"
#include "dl_internal.h"
#include "test_files.h"

using namespace durl_test;
using Clock = std::chrono::steady_clock;

namespace {

template <class Fn>
double once_us(Fn &&fn) {
    const auto start = Clock::now();
    fn();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

std::string write_ca(const std::string &dir, int i) {
    CertShape s;
    s.subject = {{"CN", "bench CA " + std::to_string(i)}, {"O", "durl bench"}};
    s.ca = true;
    durl::X509Ptr c = factory_cert(s, factory_key(0));
    std::string p = dir + "/ca" + std::to_string(i) + ".pem";
    if (!c || !write_cert(p, c.get())) {
        std::fprintf(stderr, "trust_store_bench: can't write %s\n", p.c_str());
        std::exit(1);
    }
    return p;
}

std::string hex8(uint32_t h) {
    char b[16];
    std::snprintf(b, sizeof b, "%08x", h);
    return b;
}

bool hash_in(const std::string &dir, uint32_t h) {
    DIR *d = opendir(dir.c_str());
    bool found = false;
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (std::string(e->d_name).find(".0") != std::string::npos &&
            dl_get_ca_hash((dir + e->d_name).c_str()) == h)
            found = true;
    if (d) closedir(d);
    return found;
}

// The install and removal as they were done through the shell: the same hashing, scans
// and copy in process, the links and removals as shell commands.
void shell_install(const std::string &t, const char *file) {
    uint32_t h = dl_get_ca_hash(file);
    if (hash_in(t, h) || hash_in(t + "phoneca/", h)) std::abort();
    std::string name = hex8(h);
    dl_copy_file(file, (t + name + ".0").c_str());
    std::string ln1 = "ln -s " + t + name + ".0 " + t + name;
    std::string ln2 = "ln -s " + t + name + ".0 " + t + "ca/" + name + ".0";
    if (std::system(ln1.c_str()) != 0 || std::system(ln2.c_str()) != 0) std::abort();
}

void shell_del(const std::string &t, const std::string &file) {
    uint32_t h = dl_get_ca_hash(file.c_str());
    std::string name = hex8(h);
    for (const std::string &victim :
         {file, t + "/ca/" + name + ".0", t + "/ca/" + name, t + name + ".0", t + name}) {
        std::string rm = "rm -f " + victim;
        if (std::system(rm.c_str()) != 0) std::abort();
    }
}

}  // namespace

int main(int argc, char **argv) {
    int lib_rounds = argc > 1 ? std::atoi(argv[1]) : 60;
    int shell_rounds = argc > 2 ? std::atoi(argv[2]) : 30;
    if (lib_rounds < 1 || shell_rounds < 1 || shell_rounds > lib_rounds) {
        std::fprintf(
            stderr, "usage: trust_store_bench [library_rounds] [shell_rounds <= library_rounds]\n");
        return 2;
    }
    // The store lives in memory (tmpfs) unless a directory is given: on a busy disk file
    // system, allocating inodes next to many just-deleted ones costs milliseconds per new
    // file, the same for both ways, and would measure the disk instead of the two methods.
    std::string base = argc > 3 ? argv[3] : (dl_path_is_directory("/dev/shm") ? "/dev/shm" : "");
    std::string dir = base.empty() ? scratch_dir("bench") : base + "/durl-bench-XXXXXX";
    if (!base.empty() && !mkdtemp(&dir[0])) {
        std::perror("trust_store_bench: mkdtemp");
        return 2;
    }
    std::printf("store under %s\n", dir.c_str());
    static int context;
    durl_init(&context, bench::quiet_log);
    std::string t = dir + "/store/";
    durl_set_option(nullptr, DURL_OPT_SSL_TRUST_PATH, t.c_str());
    for (int i = 0; i < 10; ++i)
        if (dl_install_ca(write_ca(dir, i).c_str()) != 0) return 1;
    std::string extra = write_ca(dir, 10);
    std::string stored = t + hex8(dl_get_ca_hash(extra.c_str())) + ".0";

    // The two ways alternate, so both see the same machine load, and each library sample
    // times a batch of pairs: a sample as long as a shell one is preempted as often, where a
    // single 2 ms pair would either run through or wait out whole time slices of others.
    const int batch = 10;
    std::vector<double> lib, shell, listing;
    for (int i = 0; i < lib_rounds; ++i) {
        lib.push_back(once_us([&] {
                          for (int k = 0; k < batch; ++k) {
                              if (dl_install_ca(extra.c_str()) != 0) std::abort();
                              dl_del_ca(stored.c_str());
                          }
                      }) /
                      batch);
        if (i % (lib_rounds / shell_rounds) == 0)
            shell.push_back(once_us([&] {
                shell_install(t, extra.c_str());
                shell_del(t, stored);
            }));
    }
    dl_trust_ca_list_ex list;
    dl_ca_status status;
    for (int i = 0; i < lib_rounds; ++i)
        listing.push_back(once_us([&] {
            if (dl_get_trust_ca_info_ex(&list, &status) != 0 || list.count != 10) std::abort();
        }));

    double l = bench::median(lib), s = bench::median(shell);
    std::printf("install+remove, store of 10: library %.1f us, shell commands %.1f us (median)\n",
                l, s);
    bench::Verdicts().add("CA install+remove, store of 10, vs shell commands",
                          bench::fmt("%.1f vs %.1f us", l, s), s / l, 20);
    std::printf("dl_get_trust_ca_info_ex, 10 entries: %.1f us (median of %d)\n",
                bench::median(listing), lib_rounds);
    durl_cleanup();
    if (!base.empty())
        nftw(
            dir.c_str(),
            [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    return s / l >= 20 ? 0 : 1;
}
