// Internal: the handle record, the one global state record and the log funnel.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include <curl/curl.h>

#include "durl.h"

struct durl_stream_t;
class durl_optlist;
struct durl_stream_worker;

// Settings copied by durl_create() from the default handle, snapshot by durl_dump() and
// copied out under the handle's lock by the engine and the certificate half.
// Field order is the order of the settings dump and of the option table.
struct durl_config {
    int32_t net_ipv6;
    int32_t net_preferred;
    int32_t connect_timeout;
    int32_t operate_timeout;
    int32_t low_speed_time;
    int32_t low_speed_limit;
    uint32_t max_filesize;
    char mac_addr[64];
    int32_t ssl_version;
    int32_t ssl_verify_peer;
    int32_t ssl_verify_host;
    int32_t ssl_sign_algo;
    int32_t ssl_def_cert;
    int32_t ssl_extra_flag;
    char ssl_trust_path[128];
    char ssl_user_path[128];
    char ssl_user_file[128];
    char ssl_ca_file[128];
    char ssl_ca_usefile[128];
    char ssl_passwd[512];
    char ssl_web_capath[128];
    char ssl_cipher[512];
    char env_randomness[512];
    char ssl_session_dump[512];
    int32_t max_redirs;
    int32_t keep_post;
    int32_t auto_referer;
    char user_agent[512];
    char addition_body[512];
    char disposition[512];
    char extern_disposition[512];
    char extern_body[512];
    int32_t log_level;    // lines above this level are never formatted (0..7)
    int32_t recv_buffer;  // HTTP receive buffer in bytes
    // Progress notification set by durl_set_progress(). durl_create() copies the record, so
    // the owner says which handle set it: a copy made from the default handle carries the
    // default handle's address and is ignored.
    durl_progress_fn progress_fn;
    void *progress_context;
    const durl_handle *progress_owner;
};

struct durl_handle {
    int32_t in_use;        // 1 while live
    pthread_mutex_t lock;  // guards debug_trace, custom_method and cfg
    int32_t debug_trace;   // per handle, not inherited
    char custom_method[128];
    durl_config cfg;
    // Engine area, never copied between handles. cache_lock guards cache_busy/cache_curl.
    durl_stream_t *stream;
    pthread_mutex_t cache_lock;
    int32_t cache_busy;
    CURL *cache_curl;
    // What cache_curl holds from the call before (empty: libcurl's defaults); owned, made by
    // the first call that borrows cache_curl.
    durl_optlist *cache_options;
    int32_t webticket_retry;
    // The thread that runs this handle's streams, parked between them; stopped and joined
    // when the handle is released (stream.cpp).
    durl_stream_worker *stream_worker;
};

struct durl_global {
    std::atomic<int32_t> init_done;
    void *log_context;
    durl_handle *handles[DURL_MAX_HANDLES];
    durl_log_fn log_hook;
    durl_handle default_handle;
};

extern durl_global g_durl;

// Registry check: 0 when h is registered (or NULL while a slot is free, or the default
// handle), -3 when unknown, -102 before durl_init().
int durl_check_global_type(const durl_handle *h);

// The one log funnel: adds "[DCMN]", logs only while initialised and a hook is set.
void log_msg(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// True when log_msg() would reach the hook; lets hot paths skip formatting work.
bool durl_log_enabled();

// True when a line of this level would reach the hook: the library is initialised, a hook is
// set and the level is within the threshold in force on this thread (log_level.cpp).
bool durl_log_wanted(int level);

// The threshold for lines logged outside a handle's call: the default handle's log level.
// Published whenever the default handle's settings change.
void durl_log_publish_default(int32_t level);

// The threshold in force on this thread while the object lives: the handle's log level.
// Scopes nest; the previous threshold comes back on destruction.
class durl_log_scope {
public:
    explicit durl_log_scope(durl_handle *h);
    ~durl_log_scope();
    durl_log_scope(const durl_log_scope &) = delete;
    durl_log_scope &operator=(const durl_log_scope &) = delete;

private:
    int previous_;
};

// Stores every option's default (the option table's) into h; the caller holds h's lock or
// owns h alone.
void durl_option_defaults(durl_handle *h);

// Copy of a handle's settings taken under its lock (nullptr = default handle).
durl_config durl_config_snapshot(durl_handle *h);

// Copies a settings text (cut to the field, terminated) without the unused rest of the field:
// the engine copies the texts it needs on every call.
template <size_t N>
void durl_copy_text(char (&dst)[N], const char (&src)[N]) {
    const size_t len = strnlen(src, N - 1);
    memcpy(dst, src, len);
    dst[len] = '\0';
}

// OpenSSL thread callbacks over the lock table made by durl_init(). OpenSSL 1.1 and later
// lock internally and never call them; they stay callable so they can be checked.
unsigned long durl_pthreads_thread_id();
void durl_pthreads_locking_callback(int mode, int n, const char *file, int line);

// RAII guard for the pthread mutexes of the C records.
class durl_lock_guard {
public:
    explicit durl_lock_guard(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~durl_lock_guard() { pthread_mutex_unlock(m_); }
    durl_lock_guard(const durl_lock_guard &) = delete;
    durl_lock_guard &operator=(const durl_lock_guard &) = delete;

private:
    pthread_mutex_t *m_;
};
