// The allocation torture's harness: the failing allocators (operator new, the library's
// malloc family through the linker's --wrap, libcurl's and OpenSSL's memory functions), the
// table of faults inside those libraries that are let through, and the driver that reruns
// a call once per allocation it makes. Linked into alloc_torture_test only: the replaced
// allocators reach every allocation of the process.
#include "alloc_torture.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <new>
#include <string>

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

#include "servers.h"
#include "test_files.h"
#include "transfer_util.h"

#if defined(__SANITIZE_ADDRESS__)
#define TORTURE_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TORTURE_LEAK_CHECK 1
#endif
#endif
#ifdef TORTURE_LEAK_CHECK
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *ptr, size_t size);
}

namespace {

using namespace durl_test;

// ------------------------------------------------------------------ the failing allocator

enum Source { kNew, kMalloc, kCurl, kOpenssl, kSources };
const char *const kSourceNames[kSources] = {"operator new", "malloc", "libcurl", "OpenSSL"};

// Faults inside libcurl or OpenSSL themselves: an allocation failing while one of these
// functions is on the stack is let through and the point counted as skipped. Each entry says
// what the foreign code does wrong, with the backtrace that showed it.
struct ForeignFault {
    Source source;      // whose allocator
    const char *inner;  // exported symbols of the foreign library, both on the stack
    const char *outer;
    const char *why;
};
const ForeignFault kForeignFaults[] = {
    // libcurl 7.88.1, Curl_ssl_addsessionid(), run from OpenSSL's new-session callback when
    // a TLS 1.3 session ticket arrives during SSL_read: when copying the TLS settings for
    // the session cache fails, it frees the host name it already stored in the cache entry,
    // and curl_easy_cleanup() frees it again ("double free or corruption (fasttop)"):
    //   failing allocation: curl_strdup <- libcurl+0x7e78b <- libcurl+0x7ff06
    //     <- libcurl+0x787f6 <- libssl+0x3745f ... <- SSL_read <- libcurl+0x79a01
    //     <- curl_multi_perform <- curl_easy_perform <- durl_call perform
    //   abort: free <- libcurl+0x84b68 <- libcurl+0x73b5a <- curl_easy_cleanup
    //     <- durl_call::release
    {kCurl, "SSL_read", "curl_easy_perform", "libcurl double free in its TLS session cache"},
    // OpenSSL 3.0.22, ASN1_item_sign_ctx() (under X509_sign and X509_REQ_sign): when an
    // allocation fails while it decodes the signature algorithm back into the object being
    // signed, it leaves a freed pointer in the object, and freeing the certificate or request
    // afterwards ends the process ("free(): invalid pointer", or SIGSEGV in ASN1_item_free):
    //   failing allocation: CRYPTO_malloc <- libcrypto+0xfdef9 <- ASN1_item_new
    //     <- libcrypto+0xfab21 ... <- ASN1_item_d2i_ex <- ASN1_item_sign_ctx
    //     <- ASN1_item_sign_ex <- X509_sign <- dl_issue
    //   abort: free <- ASN1_item_free <- X509_free <- dl_issue (the certificate's owner)
    {kOpenssl, "ASN1_item_d2i_ex", "ASN1_item_sign_ctx",
     "OpenSSL frees an invalid pointer after a failed allocation in signing"},
    // OpenSSL 3.0.22, RSA key import into the default provider (run by EVP_DigestSignInit
    // for a key made through the RSA method): when the stack of the key's numbers can't
    // grow, the numbers collected so far leak (LeakSanitizer, 24 + 32 bytes per number):
    //   failing allocation: CRYPTO_zalloc <- libcrypto+0x2b0a03 <- OPENSSL_sk_insert
    //     <- libcrypto+0x27b45e <- libcrypto+0x27750a ... <- EVP_DigestSignInit
    //     <- ASN1_item_sign_ex <- X509_REQ_sign <- dl_keyed_request_for
    //   leaked: CRYPTO_zalloc <- BN_new <- BN_lebin2bn <- OSSL_PARAM_get_BN
    //     <- libcrypto+0x27715f ... <- EVP_DigestSignInit
    {kOpenssl, "OPENSSL_sk_insert", "EVP_DigestSignInit",
     "OpenSSL leaks the key's numbers when its provider import fails"},
};

std::atomic<bool> g_armed{false};
std::atomic<long> g_target{0};       // the allocation number that fails
std::atomic<long> g_period{0};       // from the target on, every period-th allocation fails
std::atomic<long> g_count{0};        // allocations seen since arming
std::atomic<bool> g_failed{false};   // the target was reached and failed
std::atomic<bool> g_skipped{false};  // the target was reached inside a foreign fault
std::atomic<long> g_by_source[kSources];
// Whose allocation each number was in the last run (the run with nothing failing decides
// which points a long call visits).
constexpr long kProfileSize = 200000;
char g_profile[kProfileSize];
bool g_profiling = false;  // the run with nothing failing fills g_profile
std::atomic<int> g_failed_source{-1};
bool g_openssl_installed = false;
const bool g_trace = std::getenv("DURL_TORTURE_TRACE") != nullptr;
const bool g_leaks_each = std::getenv("DURL_TORTURE_LEAKS") != nullptr;
void *g_fail_frames[64];  // where the last failed allocation was made
int g_fail_depth = 0;

// True when an allocation from source is made under the functions of a foreign fault.
bool inside_foreign_fault(Source source) {
    void *frames[64];
    const int n = backtrace(frames, 64);
    const char *names[64];
    for (int i = 0; i < n; ++i) {
        Dl_info info;
        names[i] = dladdr(frames[i], &info) && info.dli_sname ? info.dli_sname : "";
    }
    auto on_stack = [&](const char *name) {
        for (int i = 0; i < n; ++i)
            if (std::strcmp(names[i], name) == 0) return true;
        return false;
    };
    for (const ForeignFault &f : kForeignFaults)
        if (f.source == source && on_stack(f.inner) && on_stack(f.outer)) return true;
    return false;
}

// True when this allocation is to fail.
thread_local bool t_paused = false;  // this thread's allocations are the test's own

bool fault(Source source) {
    if (!g_armed.load(std::memory_order_relaxed) || t_paused) return false;
    g_by_source[source].fetch_add(1, std::memory_order_relaxed);
    const long number = g_count.fetch_add(1) + 1;
    if (g_profiling && number < kProfileSize) g_profile[number] = static_cast<char>(source);
    const long target = g_target.load();
    // Past the target of a lasting shortage allocations keep failing now and then: the
    // first failure is the point, its backtrace the one worth keeping.
    if (number != target) {
        const long period = g_period.load(std::memory_order_relaxed);
        return period > 0 && number > target && (number - target) % period == 0;
    }
    if (inside_foreign_fault(source)) {
        g_skipped = true;
        return false;
    }
    g_failed_source = source;
    g_failed = true;
    // Kept for the crash report; DURL_TORTURE_TRACE=1 prints it for every point.
    g_fail_depth = backtrace(g_fail_frames, 64);
    if (g_trace) backtrace_symbols_fd(g_fail_frames, g_fail_depth, 2);
    return true;
}

void *curl_malloc_fn(size_t size) { return fault(kCurl) ? nullptr : __real_malloc(size); }
void curl_free_fn(void *ptr) { std::free(ptr); }
void *curl_realloc_fn(void *ptr, size_t size) {
    return fault(kCurl) ? nullptr : __real_realloc(ptr, size);
}
char *curl_strdup_fn(const char *text) {
    if (fault(kCurl)) return nullptr;
    size_t n = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(__real_malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}
void *curl_calloc_fn(size_t count, size_t size) {
    return fault(kCurl) ? nullptr : __real_calloc(count, size);
}

void *ossl_malloc_fn(size_t size, const char *, int) {
    return fault(kOpenssl) ? nullptr : __real_malloc(size);
}
void *ossl_realloc_fn(void *ptr, size_t size, const char *, int) {
    if (size == 0) {  // OpenSSL's own realloc frees here and returns nothing
        std::free(ptr);
        return nullptr;
    }
    return fault(kOpenssl) ? nullptr : __real_realloc(ptr, size);
}
void ossl_free_fn(void *ptr, const char *, int) { std::free(ptr); }

// Before main, so before OpenSSL's first allocation (it refuses new functions after that).
__attribute__((constructor)) void install_openssl_allocator() {
    g_openssl_installed =
        CRYPTO_set_mem_functions(ossl_malloc_fn, ossl_realloc_fn, ossl_free_fn) == 1;
}

}  // namespace

extern "C" {
void *__wrap_malloc(size_t size) { return fault(kMalloc) ? nullptr : __real_malloc(size); }
void *__wrap_calloc(size_t count, size_t size) {
    return fault(kMalloc) ? nullptr : __real_calloc(count, size);
}
void *__wrap_realloc(void *ptr, size_t size) {
    return fault(kMalloc) ? nullptr : __real_realloc(ptr, size);
}
}

void *operator new(size_t size) {
    if (fault(kNew)) throw std::bad_alloc();
    if (void *p = __real_malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void *operator new[](size_t size) { return operator new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept {
    return fault(kNew) ? nullptr : __real_malloc(size ? size : 1);
}
void *operator new[](size_t size, const std::nothrow_t &tag) noexcept {
    return operator new(size, tag);
}
// The replaced operator new takes its memory from malloc, so free is the matching release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *ptr) noexcept { std::free(ptr); }
void operator delete[](void *ptr) noexcept { std::free(ptr); }
void operator delete(void *ptr, size_t) noexcept { std::free(ptr); }
void operator delete[](void *ptr, size_t) noexcept { std::free(ptr); }
void operator delete(void *ptr, const std::nothrow_t &) noexcept { std::free(ptr); }
void operator delete[](void *ptr, const std::nothrow_t &) noexcept { std::free(ptr); }
#pragma GCC diagnostic pop

namespace {

// ------------------------------------------------------------------------- the harness

// Where a run stands, for the crash report of a signal handler.
const char *volatile g_scenario = "";
volatile long g_point = 0;

void report_point() {
    char line[256];
    int n = std::snprintf(line, sizeof line, "\nalloc torture: died in \"%s\" at allocation %ld\n",
                          g_scenario, g_point);
    if (n > 0) (void)!write(2, line, static_cast<size_t>(n));
    static const char kMade[] = "the allocation that failed was made at:\n";
    (void)!write(2, kMade, sizeof kMade - 1);
    backtrace_symbols_fd(g_fail_frames, g_fail_depth, 2);
}

void on_fatal_signal(int sig) {
    report_point();
    signal(sig, SIG_DFL);
    raise(sig);
}

// The library's log hook: counts the frame's exception lines, allocates nothing.
std::atomic<int> g_frame_lines{0};
int quiet_hook(void *, int, const char *format, ...) {
    char line[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (std::strstr(line, " failed: out of memory.") || std::strstr(line, " failed: internal"))
        ++g_frame_lines;
    return 0;
}
int g_log_context;

constexpr long kMaxPoints = kProfileSize;  // a runaway guard only: no call comes near it

// Every point of a call is visited up to kDense; beyond it, every allocation the library makes
// itself (operator new, malloc) and every kStride-th one of libcurl's and OpenSSL's. Each
// point repeats the whole call, so a call of P points costs some P * P / 2 allocations: the
// TLS handshake, OpenSSL's key decoders and the certificate signing make calls of 4,000 to
// 6,000 points, nearly all of them deep inside OpenSSL, where a failure reaches the library
// through the same few failed calls again and again; every 4th of those keeps each such exit
// tried many times while the binary stays within minutes. DURL_TORTURE_ALL=1 visits all.
constexpr long kDense = 1000;
constexpr long kStride = 4;
const bool g_all_points = std::getenv("DURL_TORTURE_ALL") != nullptr;

// A run's numbering drifts a little from the profile's (OpenSSL's caches), so the library's
// own allocations are looked for within kDrift of n.
constexpr long kDrift = 16;

bool visit(long n, long profiled) {
    if (g_all_points || n <= kDense || n > profiled || (n - kDense) % kStride == 0) return true;
    for (long i = std::max(1L, n - kDrift); i <= std::min(profiled, n + kDrift); ++i)
        if (g_profile[i] == kNew || g_profile[i] == kMalloc) return true;
    return false;
}

void arm(long target) {
    g_count = 0;
    g_failed = false;
    g_skipped = false;
    g_failed_source = -1;
    for (auto &c : g_by_source) c = 0;
    g_target = target;
    g_armed = true;
}

void disarm() { g_armed = false; }

void leak_check(const char *name) {
#ifdef TORTURE_LEAK_CHECK
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << name << ": memory leaked (report above)";
#else
    (void)name;
#endif
}

// Descriptors open in the process: a leaked file, directory stream or socket shows here in
// every build, the sanitizer one or not.
size_t open_descriptors() { return dir_names("/proc/self/fd").size(); }

}  // namespace

namespace durl_test {

Paused::Paused() { t_paused = true; }
Paused::~Paused() { t_paused = false; }

Tally torture(const Scenario &s) {
    Tally t;
    g_scenario = s.name;
    g_point = 0;
    // One run with nothing failing first: OpenSSL and libcurl make their process-wide tables
    // on first use (and a failed one-time start-up stays failed), so those are made now.
    s.prepare();
    int rc = s.run();
    EXPECT_EQ(rc, s.success) << s.name << ": fails without any fault";
    s.check(rc, false);
    // A second one counts and profiles the allocations of a run as the points will see it.
    s.prepare();
    std::memset(g_profile, kSources, sizeof g_profile);
    g_profiling = true;
    arm(0);
    rc = s.run();
    disarm();
    g_profiling = false;
    const long profiled = g_count;
    s.check(rc, false);
    const size_t descriptors = open_descriptors();
    g_frame_lines = 0;
    const auto start = std::chrono::steady_clock::now();
    // DURL_TORTURE_FROM=N starts at allocation N (to look at one point under a debugger).
    const char *from = std::getenv("DURL_TORTURE_FROM");
    g_period = s.period;
    for (long n = from ? std::atol(from) : 1; n <= kMaxPoints; ++n) {
        if (!visit(n, profiled)) continue;
        ++t.visited;
        g_point = n;
        s.prepare();
        const auto before = std::chrono::steady_clock::now();
        arm(n);
        rc = s.run();
        disarm();
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
        if (took > 1.0) std::printf("[torture] %s: allocation %ld took %.1f s\n", s.name, n, took);
        const bool hit = g_failed;
        if (g_skipped) ++t.skipped;
        if (hit) {
            ++t.failed_by_source[g_failed_source];
            rc == s.success ? ++t.successes : ++t.failures;
        }
        s.check(rc, hit);
#ifdef TORTURE_LEAK_CHECK
        // DURL_TORTURE_LEAKS=1: a heap check after every point, to name the one that leaks.
        if (g_leaks_each && __lsan_do_recoverable_leak_check() != 0)
            ADD_FAILURE() << s.name << ": leak after allocation " << n;
#endif
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << s.name << ": first failure at allocation " << n;
            break;
        }
        if (!hit && !g_skipped) {
            t.points = n - 1;
            for (int i = 0; i < kSources; ++i) t.by_source[i] = g_by_source[i];
            EXPECT_EQ(rc, s.success) << s.name << ": no fault, yet no success";
            break;
        }
    }
    g_period = 0;
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    leak_check(s.name);
    EXPECT_EQ(open_descriptors(), descriptors) << s.name << ": descriptors leaked";
    std::printf(
        "[torture] %-34s points %6ld (new %ld, malloc %ld, curl %ld, openssl %ld), visited %ld; "
        "failed calls %ld, recovered %ld, skipped %ld, frame lines %d; %.1f s\n",
        s.name, t.points, t.by_source[kNew], t.by_source[kMalloc], t.by_source[kCurl],
        t.by_source[kOpenssl], t.visited, t.failures, t.successes, t.skipped, g_frame_lines.load(),
        secs);
    EXPECT_GT(t.points, 0) << s.name;
    return t;
}

// The content of path is its old content or (after a success) what success must leave.
void expect_whole(const std::string &path, const std::string &old, bool succeeded,
                  const std::function<bool(const std::string &)> &complete) {
    const std::string now = read_file(path);
    if (succeeded)
        EXPECT_TRUE(complete(now)) << path << " after success:\n" << now.substr(0, 200);
    else
        EXPECT_TRUE(now == old || complete(now)) << path << " damaged:\n" << now.substr(0, 200);
}

bool is_pem(const std::string &text, const char *label) {
    const std::string begin = std::string("-----BEGIN ") + label + "-----\n";
    const std::string end = std::string("-----END ") + label + "-----\n";
    return text.find(begin) != std::string::npos && text.find(end) != std::string::npos;
}

int init_quietly() { return durl_init(&g_log_context, quiet_hook); }

void AllocTorture::SetUpTestSuite() {
    // libcurl gets the failing functions before anything starts it, and keeps them
    // while this reference lives (durl_init and durl_cleanup only count up and down).
    ASSERT_EQ(curl_global_init_mem(CURL_GLOBAL_ALL, curl_malloc_fn, curl_free_fn, curl_realloc_fn,
                                   curl_strdup_fn, curl_calloc_fn),
              CURLE_OK);
    signal(SIGABRT, on_fatal_signal);
    signal(SIGSEGV, on_fatal_signal);
#ifdef TORTURE_LEAK_CHECK
    __asan_set_death_callback(report_point);
#endif
    void *frames[4];
    backtrace(frames, 4);  // loads the unwinder now, not inside a counted allocation
    http_url("/");         // servers and test certificates, before any run
    pki();
}

void AllocTorture::SetUp() {
#ifdef DURL_TEST_EMULATED
    // Each failure point reruns its whole call, so a call with thousands of points (TLS,
    // certificates, keys) takes hours under an emulator. Those run natively and under the
    // sanitizers on the same sources; here only the calls with a few dozen points run.
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const char *const light[] = {"InitAndCleanup", "HandleTextOptionAndDump", "DownloadToMemory",
                                 "Upload", "StreamOpenReadClose"};
    if (std::none_of(std::begin(light), std::end(light), [&](const char *l) { return name == l; }))
        GTEST_SKIP() << "thousands of failure points: run natively and under sanitizers";
#endif
    ASSERT_TRUE(g_openssl_installed) << "OpenSSL allocated before the test could hook it";
    dir = scratch_dir("torture") + "/";
    ASSERT_EQ(init_quietly(), 0);
    durl_set_option(nullptr, DURL_OPT_SSL_TRUST_PATH, (dir + "trust/").c_str());
    durl_set_option(nullptr, DURL_OPT_SSL_CA_FILE, (dir + "server/WebServer.pem").c_str());
    durl_set_option(nullptr, DURL_OPT_ENV_RANDOMNESS, "torture seed");
}

void AllocTorture::TearDown() { durl_cleanup(); }

X509 *AllocTorture::small_ca(int i) {
    static durl::X509Ptr made[3];
    if (!made[i]) {
        CertShape s;
        s.subject = {{"CN", "durl torture CA " + std::to_string(i)}, {"O", "durl"}};
        s.ca = true;
        made[i] = factory_cert(s, factory_key(6 + i, 1024));
    }
    return made[i].get();
}

EVP_PKEY *AllocTorture::small_ca_key(int i) { return factory_key(6 + i, 1024); }

int run_download(const std::string &url, const char *path, bool verify) {
    durl_url_param p = make_param(url);
    durl_result r{};
    if (verify) {
        durl_set_option(nullptr, DURL_OPT_SSL_USER_FILE, pki().ca_pem.c_str());
        durl_set_option(nullptr, DURL_OPT_SSL_VERIFY_PEER, 1);
    }
    int rc = path ? durl_download_to_file(nullptr, &r, &p, path)
                  : durl_download_to_memory(nullptr, &r, &p);
    durl_free_result(&r);
    return rc;
}

}  // namespace durl_test
