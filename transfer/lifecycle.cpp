// Library start and stop, the handle registry, the log funnel and OpenSSL's thread locks.
#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine.h"
#include "frame.h"
#include "handle.h"

// The default handle's lock is usable from the first instruction of the process, so the
// default handle can take options and be dumped before durl_init().
durl_global g_durl = {
    {0},
    nullptr,
    {},
    nullptr,
    {0, PTHREAD_MUTEX_INITIALIZER, 0, {}, {}, {}, PTHREAD_MUTEX_INITIALIZER, 0, {}, {}, 0, {}}};

namespace {

// OpenSSL's numbered locks, one mutex each, while the library is initialised.
pthread_mutex_t *durl_lock_cs = nullptr;

// Guards the 16 slots of g_durl.handles: creating, destroying and checking handles may run on
// several threads at once. Held only for the slot scan, never while another lock is taken or
// a handle is set up or released.
std::mutex registry_lock;

constexpr const char kPrefix[] = "[DCMN]";
constexpr size_t kPrefixLen = sizeof(kPrefix) - 1;

bool create_ssl_locks() {
    int count = CRYPTO_num_locks();
    void *table = CRYPTO_malloc(count * sizeof(pthread_mutex_t), "durl_api", __LINE__);
    if (!table) return false;
    durl_lock_cs = static_cast<pthread_mutex_t *>(table);
    for (int i = 0; i < count; ++i) pthread_mutex_init(&durl_lock_cs[i], nullptr);
    return true;
}

void destroy_ssl_locks() {
    if (!durl_lock_cs) return;
    for (int i = 0; i < CRYPTO_num_locks(); ++i) pthread_mutex_destroy(&durl_lock_cs[i]);
    CRYPTO_free(durl_lock_cs, "durl_api", __LINE__);
    durl_lock_cs = nullptr;
}

// Fresh default handle: zeroed, live, with the shipped defaults.
void reset_default_handle() {
    durl_handle &h = g_durl.default_handle;
    pthread_mutex_destroy(&h.lock);
    pthread_mutex_destroy(&h.cache_lock);
    memset(&h, 0, sizeof h);
    h.in_use = 1;
    pthread_mutex_init(&h.lock, nullptr);
    pthread_mutex_init(&h.cache_lock, nullptr);
    durl_option_defaults(&h);
}

// Release what the engine keeps on a handle between calls: an open stream, the worker
// thread that runs its streams and the kept-alive easy handle with its connection.
void release_engine_area(durl_handle *h) {
    if (h->stream) {
        durl_close_common(h->stream);
        h->stream = nullptr;
    }
    durl_stream_worker_stop(h);
    if (h->cache_curl) {
        curl_easy_cleanup(h->cache_curl);
        h->cache_curl = nullptr;
    }
    delete h->cache_options;
    h->cache_options = nullptr;
}

void free_handle(durl_handle *h) {
    release_engine_area(h);
    memset(&h->cfg, 0, sizeof h->cfg);
    pthread_mutex_destroy(&h->lock);
    pthread_mutex_destroy(&h->cache_lock);
    memset(h, 0, sizeof *h);
    free(h);
}

void undo_init() {
    g_durl.default_handle.in_use = 0;
    g_durl.init_done = 0;
    g_durl.log_hook = nullptr;
    g_durl.log_context = nullptr;
}

// Writes magnitude in decimal, sign first, into the end of digits; returns where it starts.
char *decimal(char (&digits)[24], unsigned long long magnitude, bool negative) {
    char *p = digits + sizeof digits;
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) *--p = '-';
    return p;
}

template <class T>
char *signed_decimal(char (&digits)[24], T v) {
    const bool negative = v < 0;
    const auto magnitude = static_cast<unsigned long long>(v);
    return decimal(digits, negative ? 0 - magnitude : magnitude, negative);
}

// The lines of a transfer are fixed texts with a few "%s", "%d" or "%ld" fields, and
// vsnprintf costs several hundred instructions even for those: at the default level a small
// request formats about twenty of them. This writes such a line itself, byte for byte what
// vsnprintf would; any other conversion, a null text or a line that does not fit room gives
// -1 and is left to vsnprintf. Returns the length written (terminated) otherwise.
int format_plain(char *out, size_t room, const char *fmt, va_list ap) {
    size_t n = 0;
    auto put = [&](const char *text, size_t len) {
        if (len >= room - n) return false;
        memcpy(out + n, text, len);
        n += len;
        return true;
    };
    char digits[24];
    const char *const digits_end = digits + sizeof digits;
    for (const char *p = fmt;;) {
        const char *pct = strchr(p, '%');
        if (!put(p, pct ? static_cast<size_t>(pct - p) : strlen(p))) return -1;
        if (!pct) break;
        const char *conv = pct + 1;
        const char *text = nullptr;
        size_t len = 0;
        if (conv[0] == 's' || (conv[0] == '.' && conv[1] == '*' && conv[2] == 's')) {
            const bool cut = conv[0] == '.';
            const int precision = cut ? va_arg(ap, int) : -1;
            text = va_arg(ap, const char *);
            if (!text) return -1;
            len = precision < 0 ? strlen(text) : strnlen(text, static_cast<size_t>(precision));
            p = conv + (cut ? 3 : 1);
        } else if (conv[0] == '%') {
            text = "%";
            len = 1;
            p = conv + 1;
        } else {
            if (conv[0] == 'd')
                text = signed_decimal(digits, va_arg(ap, int));
            else if (conv[0] == 'u')
                text = decimal(digits, va_arg(ap, unsigned), false);
            else if (conv[0] == 'l' && conv[1] == 'd')
                text = signed_decimal(digits, va_arg(ap, long));
            else if (conv[0] == 'l' && conv[1] == 'u')
                text = decimal(digits, va_arg(ap, unsigned long), false);
            else
                return -1;
            len = static_cast<size_t>(digits_end - text);
            p = conv + (conv[0] == 'l' ? 2 : 1);
        }
        if (!put(text, len)) return -1;
    }
    out[n] = '\0';
    return static_cast<int>(n);
}

}  // namespace

// ------------------------------------------------------------------------ log funnel

bool durl_log_enabled() { return g_durl.init_done == 1 && g_durl.log_hook != nullptr; }

namespace {

// The formatting half of log_msg, apart so that a dropped line costs only the level check:
// the 1 KiB line buffer and the argument copies are set up only for a line that goes out.
__attribute__((noinline)) void deliver(durl_log_fn hook, int level, const char *fmt, va_list args) {
    // Most lines fit the stack buffer; long ones (dumped bodies, refused texts) go to
    // the heap, and are cut to the stack buffer only when memory is short.
    char line[1024];
    memcpy(line, kPrefix, kPrefixLen);
    va_list ap;
    va_copy(ap, args);
    va_list again;
    va_copy(again, ap);
    va_list plain;
    va_copy(plain, ap);
    int n = format_plain(line + kPrefixLen, sizeof line - kPrefixLen, fmt, plain);
    va_end(plain);
    if (n < 0) n = vsnprintf(line + kPrefixLen, sizeof line - kPrefixLen, fmt, ap);
    va_end(ap);
    char *text = line;
    char *heap = nullptr;
    if (n >= 0 && static_cast<size_t>(n) >= sizeof line - kPrefixLen) {
        heap = static_cast<char *>(malloc(kPrefixLen + n + 1));
        if (heap) {
            memcpy(heap, kPrefix, kPrefixLen);
            vsnprintf(heap + kPrefixLen, n + 1, fmt, again);
            text = heap;
        }
    }
    va_end(again);
    if (n >= 0) hook(g_durl.log_context, level, "%s", text);
    free(heap);
}

}  // namespace

void log_msg(int level, const char *fmt, ...) {
    durl_log_fn hook = g_durl.log_hook;
    if (g_durl.init_done != 1 || !hook || !durl_log_wanted(level)) return;
    va_list ap;
    va_start(ap, fmt);
    deliver(hook, level, fmt, ap);
    va_end(ap);
}

// -------------------------------------------------------------------------- registry

int durl_check_global_type(const durl_handle *h) {
    if (g_durl.init_done == 0) return -102;
    if (h == &g_durl.default_handle) return 0;
    std::lock_guard<std::mutex> guard(registry_lock);
    for (durl_handle *slot : g_durl.handles)
        if (slot == h) return 0;
    return -3;
}

durl_config durl_config_snapshot(durl_handle *h) {
    if (!h) h = &g_durl.default_handle;
    durl_lock_guard guard(&h->lock);
    return h->cfg;
}

// ------------------------------------------------------------ OpenSSL thread callbacks

unsigned long durl_pthreads_thread_id() { return static_cast<unsigned long>(pthread_self()); }

void durl_pthreads_locking_callback(int mode, int n, const char * /*file*/, int /*line*/) {
    // A lock number outside the table is ignored rather than trusted.
    if (!durl_lock_cs || n < 0 || n >= CRYPTO_num_locks()) return;
    if (mode & CRYPTO_LOCK)
        pthread_mutex_lock(&durl_lock_cs[n]);
    else
        pthread_mutex_unlock(&durl_lock_cs[n]);
}

// ------------------------------------------------------------------ exported lifecycle

extern "C" int durl_init(void *log_context, durl_log_fn log_hook) {
    return durl_frame_undo(
        -102,
        [&]() -> int {
            if (g_durl.init_done != 0) return 0;
            if (!log_context || !log_hook) return -102;
            g_durl.log_hook = log_hook;
            g_durl.log_context = log_context;
            {
                std::lock_guard<std::mutex> guard(registry_lock);
                for (durl_handle *&slot : g_durl.handles) slot = nullptr;
            }
            g_durl.init_done = 1;
            reset_default_handle();

            log_msg(DURL_LOG_INFO, "durl_ssl_init.\n");
            SSL_library_init();
            log_msg(DURL_LOG_INFO, "create ssl lock\n");
            if (!create_ssl_locks()) {
                // Without the lock table OpenSSL would not be safe for our threads: refuse to
                // start.
                log_msg(DURL_LOG_ERR, "create ssl lock error.\n");
                undo_init();
                return -102;
            }
            // On OpenSSL 1.1 and later these registrations are no-ops: OpenSSL locks itself.
            CRYPTO_set_id_callback(durl_pthreads_thread_id);
            CRYPTO_set_locking_callback(durl_pthreads_locking_callback);
            curl_global_init(CURL_GLOBAL_ALL);
            return 0;
        },
        []() noexcept {
            // Only a log hook that throws gets here: nothing stays half initialised.
            destroy_ssl_locks();
            undo_init();
        });
}

extern "C" int durl_cleanup(void) {
    return durl_frame(DURL_RC_NO_MEMORY, [&]() -> int {
        if (g_durl.init_done == 0) return -102;
        // Handles still registered are released here, connections and streams included, so
        // nothing outlives curl_global_cleanup(). Their pointers stay unknown to the registry.
        durl_handle *left[DURL_MAX_HANDLES] = {};
        {
            std::lock_guard<std::mutex> guard(registry_lock);
            for (size_t i = 0; i < DURL_MAX_HANDLES; ++i) {
                left[i] = g_durl.handles[i];
                g_durl.handles[i] = nullptr;
            }
        }
        for (durl_handle *h : left)
            if (h) free_handle(h);
        log_msg(DURL_LOG_INFO, "destroy ssl lock.\n");
        CRYPTO_set_locking_callback(nullptr);
        destroy_ssl_locks();
        release_engine_area(&g_durl.default_handle);
        undo_init();
        curl_global_cleanup();
        return 0;
    });
}

namespace {

// Puts h into the first free slot, lowest index first; false when all are taken.
bool registry_add(durl_handle *h) {
    std::lock_guard<std::mutex> guard(registry_lock);
    for (durl_handle *&slot : g_durl.handles) {
        if (!slot) {
            slot = h;
            return true;
        }
    }
    return false;
}

// Takes h out of its slot; false when it holds none. Of two threads destroying one handle,
// exactly one gets true.
bool registry_remove(const durl_handle *h) {
    std::lock_guard<std::mutex> guard(registry_lock);
    for (durl_handle *&slot : g_durl.handles) {
        if (slot == h) {
            slot = nullptr;
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int durl_create(durl_handle **out) {
    return durl_frame(DURL_RC_NO_MEMORY, [&]() -> int {
        if (durl_check_global_type(nullptr) != 0) {
            log_msg(DURL_LOG_ERR, "create handle error, create too much.\n");
            return -127;
        }
        if (!out) {
            log_msg(DURL_LOG_ERR, "create handle error: no place for the handle.\n");
            return -127;
        }
        auto *h = static_cast<durl_handle *>(calloc(1, sizeof(durl_handle)));
        if (!h) {
            log_msg(DURL_LOG_ERR, "create handle error: calloc error.\n");
            return -127;
        }
        // The record is complete before it is registered: another thread may find it there at once.
        h->in_use = 1;
        pthread_mutex_init(&h->cache_lock, nullptr);
        pthread_mutex_init(&h->lock, nullptr);
        {
            durl_lock_guard guard(&g_durl.default_handle.lock);
            h->cfg = g_durl.default_handle.cfg;
        }
        if (!registry_add(h)) {
            log_msg(DURL_LOG_ERR, "create handle error: add global cache.\n");
            pthread_mutex_destroy(&h->lock);
            pthread_mutex_destroy(&h->cache_lock);
            free(h);
            return -127;
        }
        *out = h;
        log_msg(DURL_LOG_INFO, "create handle success.\n");
        return 0;
    });
}

extern "C" int durl_destroy(durl_handle *handle) {
    return durl_frame(DURL_RC_NO_MEMORY, [&]() -> int {
        int rc = durl_check_global_type(handle);
        // The default handle belongs to the library; it is never cleared or released. A handle
        // another thread took out of the registry meanwhile is that thread's to release.
        if (rc == 0 && handle && handle != &g_durl.default_handle && !registry_remove(handle))
            rc = -3;
        if (!handle || rc != 0 || handle == &g_durl.default_handle) {
            log_msg(DURL_LOG_ERR, "delete handle: handle is undefault.\n");
            return rc != 0 || !handle ? rc : -3;
        }
        free_handle(handle);
        log_msg(DURL_LOG_INFO, "delete handle success.\n");
        return 0;
    });
}

extern "C" int durl_perform(void) {
    return durl_frame(DURL_RC_NO_MEMORY, [&]() -> int {
        log_msg(DURL_LOG_ERR, "fixme, perform do nothing.\n");
        return 0;
    });
}
