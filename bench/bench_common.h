// Shared pieces of the transfer benchmarks: a private nginx on loopback, bare libcurl
// programs with the engine's options, timing and the verdict table.
//
// Every benchmark prints one line per figure: the library's value, the bare program's value
// measured in the same run, their ratio, the target and PASS or MISS. The exit status is 1
// when a target was missed, 2 when the benchmark could not run.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "bench_stats.h"
#include "body_pattern.h"
#include "durl.h"
#include "pki.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Times of the library and of its reference measured in adjacent pairs. The ratio is the
// median of the per-pair ratios, so slow drift of a shared machine cancels out.
struct Paired {
    std::vector<double> lib, ref;
    void add(double lib_seconds, double ref_seconds) {
        lib.push_back(lib_seconds);
        ref.push_back(ref_seconds);
    }
    // Speed of the library relative to the reference (> 1: the library is faster).
    double speed_ratio() const {
        std::vector<double> r;
        for (size_t i = 0; i < lib.size(); ++i) r.push_back(ref[i] / lib[i]);
        return median(r);
    }
};

[[noreturn]] inline void die(const std::string &why) {
    std::fprintf(stderr, "bench: %s\n", why.c_str());
    std::exit(2);
}

// ------------------------------------------------------------------------ verdicts

class Verdicts {
public:
    // ratio >= target passes (or <= target when lower_is_better).
    void add(const std::string &what, const std::string &figures, double ratio, double target,
             bool lower_is_better = false) {
        bool pass = lower_is_better ? ratio <= target : ratio >= target;
        missed_ += pass ? 0 : 1;
        std::printf("%-52s %-44s %6.2f  %s %.2f  %s\n", what.c_str(), figures.c_str(), ratio,
                    lower_is_better ? "<=" : ">=", target, pass ? "PASS" : "MISS");
        std::fflush(stdout);
        // scripts/bench.sh gathers every benchmark's rows into one table.
        if (const char *table = std::getenv("DURL_BENCH_TABLE")) {
            if (FILE *f = std::fopen(table, "a")) {
                std::fprintf(f, "%s\t%s\t%.2f\t%s %.2f\t%s\n", what.c_str(), figures.c_str(), ratio,
                             lower_is_better ? "<=" : ">=", target, pass ? "met" : "missed");
                std::fclose(f);
            }
        }
    }
    int exit_code() const { return missed_ ? 1 : 0; }

private:
    int missed_ = 0;
};

inline std::string fmt(const char *format, double a, double b) {
    char buf[128];
    std::snprintf(buf, sizeof buf, format, a, b);
    return buf;
}

// ------------------------------------------------------------------------- nginx

// nginx in the foreground with a private prefix under /tmp, serving html/ over HTTP and
// HTTPS (TLS 1.2 and 1.3, the test PKI's server certificate) on free loopback ports.
class Nginx {
public:
    static constexpr size_t kBigSize = 64u << 20;
    static constexpr size_t kSmallSize = 512;

    Nginx() {
        char tmpl[] = "/tmp/durl-bench-XXXXXX";
        if (!mkdtemp(tmpl)) die("mkdtemp failed");
        prefix_ = tmpl;
        // Workers run as nobody when the master is root: everything served must be readable.
        chmod(prefix_.c_str(), 0755);
        for (const char *d : {"logs", "tmp", "html"}) mkdir((prefix_ + "/" + d).c_str(), 0755);
        write_body(prefix_ + "/html/big.bin", kBigSize);
        write_body(prefix_ + "/html/small.txt", kSmallSize);
        for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) start();
        if (pid_ <= 0) die("nginx did not start; see " + prefix_ + "/logs/error.log");
    }

    ~Nginx() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(prefix_, ec);
    }

    Nginx(const Nginx &) = delete;
    Nginx &operator=(const Nginx &) = delete;

    std::string http(const std::string &path) const {
        return "http://127.0.0.1:" + std::to_string(http_port_) + path;
    }
    std::string https(const std::string &path) const {
        return "https://127.0.0.1:" + std::to_string(https_port_) + path;
    }
    const std::string &prefix() const { return prefix_; }

private:
    static void write_body(const std::string &path, size_t size) {
        std::ofstream out(path, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (size_t off = 0; off < size; off += block.size()) {
            size_t n = std::min(block.size(), size - off);
            durl_test::pattern_fill(&block[0], n, off);
            out.write(block.data(), static_cast<std::streamsize>(n));
        }
        if (!out) die("cannot write " + path);
        chmod(path.c_str(), 0644);
    }

    static int free_port() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            die("no free port");
        close(fd);
        return ntohs(a.sin_port);
    }

    static bool accepts(int port) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        if (fd >= 0) close(fd);
        return ok;
    }

    void write_config() {
        const durl_test::Pki &pki = durl_test::pki();
        std::ofstream c(prefix_ + "/nginx.conf");
        c << "worker_processes 1;\n"
          << "pid " << prefix_ << "/logs/nginx.pid;\n"
          << "error_log " << prefix_ << "/logs/error.log;\n"
          << "events { worker_connections 1024; }\n"
          << "http {\n"
          << "  access_log off;\n"
          << "  client_body_temp_path " << prefix_ << "/tmp/body;\n"
          << "  proxy_temp_path " << prefix_ << "/tmp/proxy;\n"
          << "  fastcgi_temp_path " << prefix_ << "/tmp/fastcgi;\n"
          << "  uwsgi_temp_path " << prefix_ << "/tmp/uwsgi;\n"
          << "  scgi_temp_path " << prefix_ << "/tmp/scgi;\n"
          << "  default_type application/octet-stream;\n"
          << "  sendfile on;\n"
          << "  keepalive_requests 1000000;\n"
          << "  keepalive_timeout 60;\n"
          << "  server {\n"
          << "    listen 127.0.0.1:" << http_port_ << ";\n"
          << "    listen 127.0.0.1:" << https_port_ << " ssl;\n"
          << "    ssl_certificate " << pki.server_pem << ";\n"
          << "    ssl_certificate_key " << pki.server_key << ";\n"
          << "    ssl_protocols TLSv1.2 TLSv1.3;\n"
          << "    root " << prefix_ << "/html;\n"
          << "  }\n"
          << "}\n";
    }

    void start() {
        http_port_ = free_port();
        https_port_ = free_port();
        write_config();
        std::string conf = prefix_ + "/nginx.conf";
        std::string log = prefix_ + "/logs/stderr.txt";
        pid_t pid = fork();
        if (pid < 0) die("fork failed");
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a crashed benchmark
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            execlp("nginx", "nginx", "-p", prefix_.c_str(), "-c", conf.c_str(), "-g", "daemon off;",
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) return;  // exited: ports taken?
            if (accepts(http_port_) && accepts(https_port_)) {
                pid_ = pid;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }

    std::string prefix_;
    int http_port_ = 0, https_port_ = 0;
    pid_t pid_ = -1;
};

// A private directory for downloaded files on a disk-backed file system, as on the device
// (tmpfs would hide what each write system call costs there). Targets are removed before
// each run, so no run pays for truncating or replacing an earlier file.
class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = "/tmp/durl-bench-out-XXXXXX";
        if (!mkdtemp(&tmpl[0])) die("no scratch directory");
        path_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// ------------------------------------------------------------------ the library side

inline void start_library() {
    if (durl_init(reinterpret_cast<void *>(1), quiet_log) != 0) die("durl_init failed");
}

inline durl_url_param request(const std::string &url, int keep_alive = 0) {
    durl_url_param p{};
    std::snprintf(p.url, sizeof p.url, "%s", url.c_str());
    p.keep_alive = keep_alive;
    return p;
}

// A handle that takes bodies of 64 MiB (the default limit is 2 MiB).
inline durl_handle *big_handle() {
    durl_handle *h = nullptr;
    if (durl_create(&h) != 0) die("durl_create failed");
    durl_set_option(h, DURL_OPT_MAX_FILESIZE, 256 << 20);
    return h;
}

// ------------------------------------------------------------ bare libcurl programs

inline int bare_debug(CURL *, curl_infotype, char *, size_t, void *) { return 0; }

// The options the engine gives an HTTP(S) transfer with a handle's defaults: 2048-byte
// receive buffer, verbose with a debug callback, the same limits, redirects, headers and
// TLS settings (no peer check). The header list must outlive the transfer.
inline curl_slist *bare_http_options(CURL *c, const std::string &url) {
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_DNS_CACHE_TIMEOUT, 300L);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, bare_debug);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 5L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 0L);
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE, 256L << 20);
    curl_easy_setopt(c, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 5L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_MAXCONNECTS, 3L);
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 2048L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_UNRESTRICTED_AUTH, 1L);
    curl_easy_setopt(c, CURLOPT_AUTOREFERER, 1L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "Talvora");
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_SSL_SESSIONID_CACHE, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_CIPHER_LIST, "DEFAULT");
    curl_slist *headers = curl_slist_append(nullptr, "Expect:");
    headers = curl_slist_append(headers, "Transfer-Encoding:");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    return headers;
}

inline size_t bare_fwrite(char *data, size_t size, size_t count, void *file) {
    return std::fwrite(data, size, count, static_cast<FILE *>(file));
}

// A buffer grown by exactly each block, as a simple program would do it.
struct BareMemory {
    char *data = nullptr;
    size_t size = 0;
    ~BareMemory() { std::free(data); }
};

inline size_t bare_memory(char *data, size_t size, size_t count, void *sink) {
    auto *m = static_cast<BareMemory *>(sink);
    size_t n = size * count;
    char *grown = static_cast<char *>(std::realloc(m->data, m->size + n + 1));
    if (!grown) return 0;
    std::memcpy(grown + m->size, data, n);
    m->data = grown;
    m->size += n;
    m->data[m->size] = '\0';
    return n;
}

}  // namespace bench
