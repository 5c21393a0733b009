// Library start and stop, the handle registry, the log funnel and OpenSSL's thread locks.
#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine.h"
#include "handle.h"

// The default handle's lock is usable from the first instruction of the process, so the
// default handle can take options and be dumped before durl_init().
durl_global g_durl = {
    {0},
    nullptr,
    {},
    nullptr,
    {0, PTHREAD_MUTEX_INITIALIZER, 0, {}, {}, nullptr, PTHREAD_MUTEX_INITIALIZER, 0, nullptr, 0}};

namespace {

// OpenSSL's numbered locks, one mutex each, while the library is initialised.
pthread_mutex_t *durl_lock_cs = nullptr;

// Guards the handle slots: handles are made, looked up and destroyed from any thread, and
// two creations must never take the same slot.
pthread_mutex_t durl_registry_lock = PTHREAD_MUTEX_INITIALIZER;

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

void copy_text(char *field, size_t size, const char *text) { snprintf(field, size, "%s", text); }

// Fresh default handle: zeroed, live, with the shipped defaults.
void reset_default_handle() {
    durl_handle &h = g_durl.default_handle;
    pthread_mutex_destroy(&h.lock);
    pthread_mutex_destroy(&h.cache_lock);
    memset(&h, 0, sizeof h);
    h.in_use = 1;
    pthread_mutex_init(&h.lock, nullptr);
    pthread_mutex_init(&h.cache_lock, nullptr);
    durl_config &c = h.cfg;
    c.connect_timeout = 5;
    c.low_speed_limit = 1;
    c.max_filesize = 0x200000;
    c.ssl_version = 3;
    c.max_redirs = 5;
    c.keep_post = 7;
    c.auto_referer = 1;
    copy_text(c.user_agent, sizeof c.user_agent, "Talvora");
    copy_text(c.disposition, sizeof c.disposition, "upload");
    copy_text(c.ssl_web_capath, sizeof c.ssl_web_capath, "/tmp");
}

// Release what the engine keeps on a handle between calls: an open stream (its worker
// thread included) and the kept-alive easy handle with its connection.
void release_engine_area(durl_handle *h) {
    if (h->stream) {
        durl_close_common(h->stream);
        h->stream = nullptr;
    }
    if (h->cache_curl) {
        curl_easy_cleanup(h->cache_curl);
        h->cache_curl = nullptr;
    }
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

}  // namespace

// ------------------------------------------------------------------------ log funnel

bool durl_log_enabled() { return g_durl.init_done == 1 && g_durl.log_hook != nullptr; }

void log_msg(int level, const char *fmt, ...) {
    durl_log_fn hook = g_durl.log_hook;
    if (g_durl.init_done != 1 || !hook) return;

    // Most lines fit the stack buffer; long ones (dumped bodies, refused texts) go to
    // the heap, and are cut to the stack buffer only when memory is short.
    char line[1024];
    memcpy(line, kPrefix, kPrefixLen);
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(line + kPrefixLen, sizeof line - kPrefixLen, fmt, ap);
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

// -------------------------------------------------------------------------- registry

int durl_check_global_type(const durl_handle *h) {
    if (g_durl.init_done == 0) return -102;
    if (h == &g_durl.default_handle) return 0;
    durl_lock_guard registry(&durl_registry_lock);
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
    if (g_durl.init_done != 0) return 0;
    if (!log_context || !log_hook) return -102;
    g_durl.log_hook = log_hook;
    g_durl.log_context = log_context;
    for (durl_handle *&slot : g_durl.handles) slot = nullptr;
    g_durl.init_done = 1;
    reset_default_handle();

    log_msg(6, "durl_ssl_init.\n");
    SSL_library_init();
    log_msg(6, "create ssl lock\n");
    if (!create_ssl_locks()) {
        // Without the lock table OpenSSL would not be safe for our threads: refuse to start.
        log_msg(3, "create ssl lock error.\n");
        undo_init();
        return -102;
    }
    // On OpenSSL 1.1 and later these registrations are no-ops: OpenSSL locks itself.
    CRYPTO_set_id_callback(durl_pthreads_thread_id);
    CRYPTO_set_locking_callback(durl_pthreads_locking_callback);
    curl_global_init(CURL_GLOBAL_ALL);
    return 0;
}

extern "C" int durl_cleanup(void) {
    if (g_durl.init_done == 0) return -102;
    // Handles still registered are released here, connections and streams included, so
    // nothing outlives curl_global_cleanup(). Their pointers stay unknown to the registry.
    durl_handle *taken[DURL_MAX_HANDLES];
    {
        durl_lock_guard registry(&durl_registry_lock);
        memcpy(taken, g_durl.handles, sizeof taken);
        memset(g_durl.handles, 0, sizeof g_durl.handles);
    }
    for (durl_handle *h : taken)
        if (h) free_handle(h);
    log_msg(6, "destroy ssl lock.\n");
    CRYPTO_set_locking_callback(nullptr);
    destroy_ssl_locks();
    release_engine_area(&g_durl.default_handle);
    undo_init();
    curl_global_cleanup();
    return 0;
}

extern "C" int durl_create(durl_handle **out) {
    if (durl_check_global_type(nullptr) != 0) {
        log_msg(3, "create handle error, create too much.\n");
        return -127;
    }
    if (!out) {
        log_msg(3, "create handle error: no place for the handle.\n");
        return -127;
    }
    auto *h = static_cast<durl_handle *>(calloc(1, sizeof(durl_handle)));
    if (!h) {
        log_msg(3, "create handle error: calloc error.\n");
        return -127;
    }
    h->in_use = 1;
    pthread_mutex_init(&h->cache_lock, nullptr);
    {
        durl_lock_guard guard(&g_durl.default_handle.lock);
        pthread_mutex_init(&h->lock, nullptr);
        h->cfg = g_durl.default_handle.cfg;
    }
    // Registered only once complete: from here on other threads can find it.
    durl_handle **slot = nullptr;
    {
        durl_lock_guard registry(&durl_registry_lock);
        for (durl_handle *&s : g_durl.handles) {
            if (!s) {
                slot = &s;
                break;
            }
        }
        if (slot) *slot = h;
    }
    if (!slot) {
        log_msg(3, "create handle error: add global cache.\n");
        pthread_mutex_destroy(&h->lock);
        pthread_mutex_destroy(&h->cache_lock);
        free(h);
        return -127;
    }
    *out = h;
    log_msg(6, "create handle success.\n");
    return 0;
}

extern "C" int durl_destroy(durl_handle *handle) {
    int rc = durl_check_global_type(handle);
    if (!handle || rc != 0) {
        log_msg(3, "delete handle: handle is undefault.\n");
        return rc;
    }
    if (handle == &g_durl.default_handle) {
        // The default handle belongs to the library; it is never cleared or released.
        log_msg(3, "delete handle: handle is undefault.\n");
        return -3;
    }
    // Taking the slot is what makes this call the one that frees the handle: of two
    // destroys of one handle, the second finds no slot.
    bool taken = false;
    {
        durl_lock_guard registry(&durl_registry_lock);
        for (durl_handle *&slot : g_durl.handles) {
            if (slot == handle) {
                slot = nullptr;
                taken = true;
                break;
            }
        }
    }
    if (!taken) {
        log_msg(3, "delete handle: handle is undefault.\n");
        return -3;
    }
    free_handle(handle);
    log_msg(6, "delete handle success.\n");
    return 0;
}

extern "C" int durl_perform(void) {
    log_msg(3, "fixme, perform do nothing.\n");
    return 0;
}
