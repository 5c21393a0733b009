// Streamed reads: a worker thread runs the transfer and pushes the body into a pipe; the
// caller's durl_open waits until the body starts, durl_read takes what has arrived, and
// durl_close stops the worker and releases everything.
//
// Ownership rules that keep the pipe safe:
// - the opener makes the pipe before the worker starts; the worker alone writes to and
//   closes the write end (on every exit path, success included, so a waiting reader sees
//   end of file at once);
// - the closer closes only the read end; the worker's next write then fails with EPIPE.
//   SIGPIPE is blocked on the worker thread (libcurl's NOSIGNAL mode does not shield
//   writes made by our callback), so the failure never takes the host process down;
// - the worker sets `finished` on every exit path, so an opener or reader waiting on it
//   wakes at once; the closer waits until the worker has let go of the stream, so a stream
//   is released only after its transfer has ended completely, however early it stopped.
//
// A handle's streams run one after the other on one worker thread: the first open starts
// it, it parks between streams and takes the next open's transfer at once, so an open pays
// neither for a new thread nor for the scheduler's delay in running one. The handle's
// release (durl_destroy, durl_cleanup) stops and joins it, so nothing of the worker, its
// thread-local TLS state included, outlives its handle; what one transfer leaves in the
// thread's OpenSSL error queue is cleared before the next.
//
// The worker also keeps the easy handle of its last HTTP or HTTPS stream, reset, for the
// next stream: a new easy handle costs, besides its own set-up, the internal multi handle
// libcurl makes at its first perform (with a socket pair and a handful of system calls), all
// on the way to the answer. The kept handle never keeps a connection (a stream opens its
// own, and each of its requests closes its connection when done) nor a cached CA store, so
// a stream sees the server, and the trust files, as they are now. An FTP stream's handle is
// not kept: its connection ends with a QUIT exchange, which stays in the close, as before,
// instead of holding back the end of the body.
#include <fcntl.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "call.h"
#include "doorbell.h"
#include "frame.h"

namespace {

constexpr const char kWebTicketMarker[] = "x-ms-webticketurl";
constexpr const char kWebTicketFile[] = "/tmp/web_ticket_auth";
constexpr int kPipeBytes = 1 << 20;
// The worker gathers the body's blocks (2 KiB each with the default receive buffer) and
// writes them into the pipe in batches of up to this size: one system call, and one wake-up
// of the reader, per batch instead of per block.
constexpr size_t kBatchBytes = 64 * 1024;

// The shared block as the worker and the caller see it: the plain record plus what lets
// both sides wait on each other and lets the opener learn the response without touching
// the easy handle that the worker is driving.
struct stream_shared : durl_stream_data {
    durl_doorbell changed;   // rung whenever started or finished is set
    std::atomic<int> abort;  // closing, for libcurl callbacks that must not take the lock
    // Set by the opener before the worker starts; read-only afterwards.
    durl_handle *handle;
    durl_stream_t *stream;
    int webticket;
    // Published by the worker under lock: the engine code of the response (status
    // classified) and the URL to report, taken on the worker's own thread.
    int recode;
    char report[1024];
    // The caller's own: the worker that took the transfer (null: none did), waited for by
    // the closer.
    durl_stream_worker *worker;
    // Worker-only.
    bool body_seen;
    bool tls_wanted;
    bool pipe_broken;
    int scheme;       // of the copied request's URL, known once the worker has analysed it
    durl_call *call;  // the worker's per-call setup while its transfer runs
    // Body bytes not yet in the pipe (null: every block is written as it comes). They go out
    // when the next block would not fit, whenever libcurl has taken in what the network had
    // for now (its progress callback, before it waits for more) and at the end, so a reader
    // never waits for bytes that have arrived.
    std::unique_ptr<char[]> batch;
    size_t batched;
};

stream_shared *shared_of(durl_stream_data *data) { return static_cast<stream_shared *>(data); }

}  // namespace

// A handle's worker thread and its hand-over point.
struct durl_stream_worker {
    pthread_t thread;
    pthread_mutex_t lock;
    durl_doorbell wake;     // rung when a stream is handed over or the worker must stop
    pthread_cond_t idle;    // broadcast when the worker has let go of its stream
    durl_stream_data *job;  // the stream being served; null while parked
    CURL *spare;            // the easy handle of the last stream, reset; taken by the next
    bool stop;
    pid_t owner;  // the process that started it (a child made by fork() has no such thread)
};

namespace {

// The handle's worker, unless it belongs to the process this one was forked from: a child
// made by fork() inherits the record but not the thread. It starts its own and leaves the
// record alone (its lock may be held by a thread the child does not have).
durl_stream_worker *live_worker(durl_handle *h) {
    durl_stream_worker *w = h->stream_worker;
    if (w && w->owner != getpid()) w = h->stream_worker = nullptr;
    return w;
}

// Closes the ends given (nullptr = leave alone) when present and marks them absent.
void durl_close_pipe(int32_t *read_end, int32_t *write_end) {
    for (int32_t *end : {read_end, write_end}) {
        if (!end || *end < 0) continue;
        close(*end);
        *end = -1;
    }
}

// Releases a stream's records. Runs only when no worker uses them any more: after the
// worker has set `finished`, or before one was started.
void durl_stream_t_cleanup(durl_stream_t *s) {
    if (!s) return;
    if (s->curl) curl_easy_cleanup(s->curl);
    std::free(s->header_sink.data);
    if (s->data) {
        stream_shared *sh = shared_of(s->data);
        durl_close_pipe(&sh->pipe_fd[0], &sh->pipe_fd[1]);
        pthread_mutex_destroy(&sh->lock);
        delete sh;
    }
    if (durl_url_param *u = s->url_c) {
        durl_url_clone_free(u);
        // The copy held the caller's credentials: wipe it before the memory goes back.
        OPENSSL_cleanse(u, sizeof *u);
        delete u;
    }
    std::free(s);
}

struct stream_deleter {
    void operator()(durl_stream_t *s) const noexcept { durl_stream_t_cleanup(s); }
};
using StreamPtr = std::unique_ptr<durl_stream_t, stream_deleter>;

// ------------------------------------------------------------------- worker side

// libcurl settles the target of a redirect that it does not follow only when the transfer
// ends, but the opener reports it at the first body byte: resolve the Location header
// against the response's URL here, the way libcurl itself does.
void redirect_target(CURL *curl, const durl_url_param *u, char *report, size_t size) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_header *location = nullptr;
    if (report[0] || status < 300 || status > 399 ||
        curl_easy_header(curl, "Location", 0, CURLH_HEADER, -1, &location) != CURLHE_OK)
        return;
    char *base = nullptr;
    curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &base);
    std::unique_ptr<CURLU, durl::Free<curl_url_cleanup>> url(curl_url());
    char *target = nullptr;
    if (url && base && curl_url_set(url.get(), CURLUPART_URL, base, 0) == CURLUE_OK &&
        curl_url_set(url.get(), CURLUPART_URL, location->value, 0) == CURLUE_OK &&
        curl_url_get(url.get(), CURLUPART_URL, &target, 0) == CURLUE_OK &&
        strcasecmp(target, u->url) != 0)
        std::snprintf(report, size, "%s", target);
    curl_free(target);
}

// Makes the response known to the opener: the status is classified here, on the worker's
// thread, while the headers of the final response are complete.
void publish_start(stream_shared *sh) {
    sh->body_seen = true;
    durl_stream_t *s = sh->stream;
    if (sh->tls_wanted) durl_tls_capture(s->curl, &sh->call->dump);
    char report[1024] = {0};
    int code = durl_get_recode(s->curl, s->url_c, report, 0, sh->scheme, s->url_c->no_redirect);
    if (durl_is_http(sh->scheme)) redirect_target(s->curl, s->url_c, report, sizeof report);
    {
        durl_lock_guard guard(&sh->lock);
        sh->recode = code;
        std::memcpy(sh->report, report, sizeof report);
        sh->started = 1;
    }
    // Woken after the unlock, the opener finds the lock free instead of waiting for it
    // again. The bell lives until this worker has let go of the stream.
    sh->changed.ring();
    // A deeper pipe lets the worker run ahead of a reader that takes large blocks: fewer
    // wake-ups on both sides. Asked for once the opener has its answer, off its way to it;
    // refused (over the system's limit), the pipe keeps its default.
    (void)fcntl(sh->pipe_fd[1], F_SETPIPE_SZ, kPipeBytes);
}

bool write_all(int fd, const char *data, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Writes n bytes into the pipe, blocking while it is full; false (logged) when it failed.
bool pipe_write(stream_shared *sh, const char *data, size_t n) {
    if (write_all(sh->pipe_fd[1], data, n)) return true;
    sh->pipe_broken = true;
    log_msg(DURL_LOG_ERR, "pipe write error, end transfer\n");
    return false;
}

// Writes the batch out; after a failed write the rest of the body has nowhere to go.
bool flush_batch(stream_shared *sh) {
    const size_t n = sh->batched;
    sh->batched = 0;
    return n == 0 || (!sh->pipe_broken && pipe_write(sh, sh->batch.get(), n));
}

// Write callback of the worker: the whole block goes into the batch, or the pipe; a failed
// write, or a block past the size cap, ends the transfer.
size_t durl_stream_cb(char *data, size_t size, size_t count, void *user) {
    size_t n = size * count;
    if (n == 0) return 0;
    stream_shared *sh = shared_of(static_cast<durl_stream_data *>(user));
    if (sh->pipe_broken) return 0;  // a batch written from the progress callback failed
    // The reader may take the body slowly, but the cap holds as for a download: nothing
    // past it reaches the pipe.
    if (!sh->call->cap.take(n)) return 0;
    if (!sh->body_seen) publish_start(sh);
    // Once a close has begun, blocks go to the pipe at once: the reader is leaving, and its
    // closed end stops the transfer with the write error at the next block.
    const bool direct = !sh->batch || n > kBatchBytes || sh->abort.load(std::memory_order_relaxed);
    if (sh->batch && (direct || n > kBatchBytes - sh->batched) && !flush_batch(sh)) return 0;
    if (direct) return pipe_write(sh, data, n) ? n : 0;
    std::memcpy(sh->batch.get() + sh->batched, data, n);
    sh->batched += n;
    return n;
}

// Header callback: gathers the header text for the opener (under the shared lock, since
// the opener reads it while the worker may still run) and catches the TLS session.
size_t stream_header_cb(char *data, size_t size, size_t count, void *user) {
    auto *sh = static_cast<stream_shared *>(user);
    if (sh->tls_wanted) durl_tls_capture(sh->stream->curl, &sh->call->dump);
    durl_lock_guard guard(&sh->lock);
    return durl_recvstream_cb(data, size, count, &sh->stream->header_sink);
}

// Progress callback: lets a close end a transfer that is waiting on the network instead
// of on the pipe (a stalled server), within libcurl's one-second polling interval, and
// passes the counts on to the handle's progress notification. libcurl calls it each time
// it has taken in what the network had for now, before it waits for more: the batch goes
// into the pipe here. A failed write ends the transfer at the next block, with the write
// error a failed write in the write callback gives.
int stream_abort_cb(void *user, curl_off_t dl_total, curl_off_t dl_now, curl_off_t ul_total,
                    curl_off_t ul_now) {
    auto *sh = static_cast<stream_shared *>(user);
    if (sh->abort.load(std::memory_order_relaxed)) return 1;
    (void)flush_batch(sh);
    return sh->call ? sh->call->progress(dl_total, dl_now, ul_total, ul_now) : 0;
}

template <class T>
int setopt_or_log(CURL *curl, CURLoption opt, T value, const char *line) {
    CURLcode rc = curl_easy_setopt(curl, opt, value);
    if (rc != CURLE_OK) log_msg(DURL_LOG_INFO, "%s", line);
    return rc;
}

// Everything from the URL to the end of the transfer; returns the engine code.
int run_transfer(stream_shared *sh) {
    durl_stream_t *s = sh->stream;
    durl_call call(sh->handle, s->url_c, kStreamPath);
    call.use(s->curl);
    call.webticket = sh->webticket;
    int rc = call.analyse();
    if (rc == 0) rc = call.set_url(call.url);
    sh->scheme = call.scheme;
    sh->tls_wanted = call.scheme == DURL_PROTO_HTTPS || call.scheme == DURL_PROTO_FTPS;
    sh->call = &call;
    if (rc == 0) rc = call.connect();
    if (rc) return rc;
    // HTTP and HTTPS: the header text is gathered for the opener (the web-ticket marker).
    if (durl_is_http(call.scheme)) {
        rc = setopt_or_log(s->curl, CURLOPT_HEADERFUNCTION, stream_header_cb,
                           "durl thread: curl HFUNC err.\n");
        if (rc == 0)
            rc = setopt_or_log(s->curl, CURLOPT_HEADERDATA, static_cast<void *>(sh),
                               "durl thread: curl HDATA err.\n");
        if (rc) return rc;
    }
    if (int rc = setopt_or_log(s->curl, CURLOPT_WRITEFUNCTION, durl_stream_cb,
                               "durl thread: curl WFUNC err.\n"))
        return rc;
    if (int rc = setopt_or_log(s->curl, CURLOPT_WRITEDATA,
                               static_cast<void *>(static_cast<durl_stream_data *>(sh)),
                               "durl thread: curl WDATA err.\n"))
        return rc;
    durl_setopt_unchecked(s->curl, CURLOPT_XFERINFOFUNCTION, stream_abort_cb);
    durl_setopt_unchecked(s->curl, CURLOPT_XFERINFODATA, static_cast<void *>(sh));
    durl_setopt_unchecked(s->curl, CURLOPT_NOPROGRESS, 0L);
    if (durl_is_http(call.scheme)) {
        // The easy handle goes on to the next stream: nothing of this one's connection, nor
        // of the CA store it loaded, may be found there.
        durl_setopt_unchecked(s->curl, CURLOPT_FRESH_CONNECT, 1L);
        durl_setopt_unchecked(s->curl, CURLOPT_FORBID_REUSE, 1L);
#if LIBCURL_VERSION_NUM >= 0x075700
        durl_setopt_unchecked(s->curl, CURLOPT_CA_CACHE_TIMEOUT, 0L);
#endif
    }
    if (sh->abort.load()) return CURLE_ABORTED_BY_CALLBACK;

    CURLcode res = static_cast<CURLcode>(call.perform(s->curl));
    // What is left of the body goes out before the end is published; after a close nobody
    // reads it. A write that failed outside the write callback fails the transfer as one
    // inside it does.
    if (!sh->abort.load()) (void)flush_batch(sh);
    if (sh->pipe_broken && res == CURLE_OK) res = CURLE_WRITE_ERROR;
    if (res == CURLE_OK)
        log_msg(DURL_LOG_INFO, "durl thread: curl ok.\n");
    else
        log_msg(DURL_LOG_ERR, "durl thread: ret=%d %s.\n", res, curl_easy_strerror(res));
    // A transfer that ended without a body still has its response to report.
    if (res == CURLE_OK && !sh->body_seen) {
        int code = call.outcome(res);
        durl_lock_guard guard(&sh->lock);
        sh->recode = code;
        std::memcpy(sh->report, call.report, sizeof sh->report);
    }
    return res;
}

// The worker's last steps, on every path: publish the outcome, close the write end (the
// reader wakes with end of file), set `finished` (a waiting opener wakes).
void finish_worker(stream_shared *sh, int rc) {
    sh->call = nullptr;
    const bool drain = sh->pipe_broken;
    {
        durl_lock_guard guard(&sh->lock);
        sh->result = rc;
        if (rc != 0) {
            sh->recode = rc;
            sh->report[0] = '\0';
        }
        durl_close_pipe(nullptr, &sh->pipe_fd[1]);
        sh->finished = 1;
    }
    sh->changed.ring();
    if (drain) {
        // The failed write left a SIGPIPE pending on this (blocked) thread; take it.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGPIPE);
        const timespec zero = {0, 0};
        while (sigtimedwait(&set, nullptr, &zero) == SIGPIPE) {
        }
    }
}

// The worker thread: runs each stream handed over, parks in between, ends when stopped.
void *durl_curl_pthread(void *arg) {
    auto *w = static_cast<durl_stream_worker *>(arg);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    for (;;) {
        stream_shared *sh = nullptr;
        bool stop;
        uint32_t seen;
        {
            durl_lock_guard guard(&w->lock);
            if (w->job) sh = shared_of(w->job);
            stop = w->stop;
            seen = w->wake.now();
        }
        if (!sh && stop) break;
        if (!sh) {
            w->wake.wait(seen, nullptr);
            continue;
        }
        finish_worker(sh, run_transfer(sh));
        ERR_clear_error();
        // The stream's records go once this worker lets go; the easy handle of an HTTP or
        // HTTPS stream stays here.
        CURL *kept = durl_is_http(sh->scheme) ? sh->stream->curl : nullptr;
        if (kept) {
            sh->stream->curl = nullptr;
            curl_easy_reset(kept);
        }
        durl_lock_guard guard(&w->lock);
        if (w->spare) curl_easy_cleanup(w->spare);
        w->spare = kept;
        w->job = nullptr;
        pthread_cond_broadcast(&w->idle);
    }
    return nullptr;
}

// -------------------------------------------------------------------- caller side

void destroy_worker(durl_stream_worker *w) {
    if (w->spare) curl_easy_cleanup(w->spare);
    pthread_cond_destroy(&w->idle);
    pthread_mutex_destroy(&w->lock);
    delete w;
}

// Starts the handle's worker with the stream as its first job. It is joinable rather than
// detached: the handle's release joins it. Returns 0 once it runs, else the thread
// library's error number.
int start_worker(durl_handle *h, stream_shared *sh) {
    auto *w = new (std::nothrow) durl_stream_worker();
    if (!w) {
        log_msg(DURL_LOG_ERR, "durl create pthread: thread create err.\n");
        return EAGAIN;
    }
    pthread_mutex_init(&w->lock, nullptr);
    pthread_cond_init(&w->idle, nullptr);
    w->job = sh;
    w->owner = getpid();
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        log_msg(DURL_LOG_ERR, "durl create pthread: attr init err.\n");
        destroy_worker(w);
        return rc;
    }
    rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    if (rc != 0) {
        log_msg(DURL_LOG_ERR, "durl create pthread: setdetachstate err.\n");
    } else {
        rc = pthread_create(&w->thread, &attr, durl_curl_pthread, w);
        if (rc != 0) log_msg(DURL_LOG_ERR, "durl create pthread: thread create err.\n");
    }
    if (pthread_attr_destroy(&attr) != 0)
        log_msg(DURL_LOG_ERR, "durl create pthread: thread destroy err.\n");
    if (rc != 0) {
        destroy_worker(w);
        return rc;
    }
    h->stream_worker = w;
    sh->worker = w;
    return 0;
}

// Hands the stream's transfer to the handle's worker w (from live_worker), starting one when
// the handle has none yet. Returns 0 once a worker has the stream (the close then waits for it to
// let go), else the thread library's error number.
int durl_create_pthread(durl_handle *h, durl_stream_worker *w, stream_shared *sh) {
    if (!w) return start_worker(h, sh);
    {
        durl_lock_guard guard(&w->lock);
        // Only two opens racing on one handle find it busy; the second gets no worker.
        if (w->job) {
            log_msg(DURL_LOG_ERR, "durl create pthread: thread create err.\n");
            return EAGAIN;
        }
        w->job = sh;
    }
    sh->worker = w;
    w->wake.ring();
    return 0;
}

// Builds the records of a stream, its easy handle (the one w kept, when it has one) and its
// pipe. Nothing is left behind on failure.
int make_stream(durl_handle *h, durl_stream_worker *w, const durl_url_param *param,
                StreamPtr &out) {
    StreamPtr s(static_cast<durl_stream_t *>(std::calloc(1, sizeof(durl_stream_t))));
    if (!s) {
        log_msg(DURL_LOG_ERR, "durl open common: calloc stream err.\n");
        return DURL_RC_NO_MEMORY;
    }
    auto *sh = new (std::nothrow) stream_shared();
    if (!sh) {
        log_msg(DURL_LOG_ERR, "durl open common: calloc stream data err.\n");
        return DURL_RC_NO_MEMORY;
    }
    pthread_mutex_init(&sh->lock, nullptr);
    sh->pipe_fd[0] = sh->pipe_fd[1] = -1;
    // Without the batch every block is written on its own: slower, but the same body.
    sh->batch.reset(new (std::nothrow) char[kBatchBytes]);
    s->data = sh;
    s->url_c = new (std::nothrow) durl_url_param();
    if (!s->url_c || durl_url_clone(param, s->url_c) != 0) return DURL_RC_NO_MEMORY;
    if (w) {
        durl_lock_guard guard(&w->lock);
        s->curl = w->spare;
        w->spare = nullptr;
    }
    if (!s->curl) s->curl = curl_easy_init();
    if (!s->curl) {
        log_msg(DURL_LOG_ERR, "durl open common: curl init err.\n");
        return DURL_RC_NO_EASY_HANDLE;
    }
    int fds[2];
    // Close-on-exec: a child the host process starts must not hold the write end, or the
    // reader would never see the end of the body.
    if (pipe2(fds, O_CLOEXEC) != 0) {
        log_msg(DURL_LOG_ERR, "creat pipe error\n");
        return DURL_RC_NO_MEMORY;
    }
    sh->pipe_fd[0] = fds[0];
    sh->pipe_fd[1] = fds[1];
    sh->handle = h;
    sh->stream = s.get();
    sh->webticket = h->webticket_retry;
    out = std::move(s);
    return 0;
}

// Waits until the body flows or the transfer ended, at most the connect time-out (one
// second when none is set). Returns the engine code of the response or -128.
int wait_for_body(durl_handle *h, stream_shared *sh, durl_result *result, std::string *headers) {
    int seconds;
    {
        durl_lock_guard guard(&h->lock);
        seconds = h->cfg.connect_timeout;
    }
    if (seconds <= 0) seconds = 1;
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += seconds;
    for (bool waiting = true; waiting;) {
        uint32_t seen;
        {
            durl_lock_guard guard(&sh->lock);
            if (sh->started || sh->finished || sh->closing) break;
            seen = sh->changed.now();
        }
        waiting = sh->changed.wait(seen, &deadline);
    }
    durl_lock_guard guard(&sh->lock);
    // Only a 401 answer is looked into (for the web-ticket marker).
    const durl_mem_sink &hs = sh->stream->header_sink;
    if (headers && hs.data && sh->recode == 401) headers->assign(hs.data, hs.size);
    if (!sh->started && !sh->finished && !sh->closing) return DURL_RC_TIMED_OUT;
    if (result && sh->report[0])
        std::snprintf(result->effective_url, sizeof result->effective_url, "%s", sh->report);
    return sh->recode;
}

int durl_open_stream(durl_handle *h, const durl_url_param *param, durl_result *result,
                     std::string *headers) {
    if (!h) {
        log_msg(DURL_LOG_ERR, "durl open common: durl_stream is NULL.\n");
        return DURL_RC_BAD_ARGUMENT;
    }
    if (!param) {
        log_msg(DURL_LOG_ERR, "durl open common: url_c is NULL.\n");
        return DURL_RC_BAD_ARGUMENT;
    }
    StreamPtr owned;
    durl_stream_worker *w = live_worker(h);
    int code = make_stream(h, w, param, owned);
    if (code == 0) {
        stream_shared *sh = shared_of(owned->data);
        h->stream = owned.release();
        code = durl_create_pthread(h, w, sh);
        if (code != 0) {
            // No worker will ever finish this stream: finish it here so a close completes.
            durl_lock_guard guard(&sh->lock);
            durl_close_pipe(nullptr, &sh->pipe_fd[1]);
            sh->result = code;
            sh->finished = 1;
        } else {
            log_msg(DURL_LOG_INFO, "durl open common: create ok.\n");
            code = wait_for_body(h, sh, result, headers);
        }
    }
    if (result) result->recode = code;
    if (code != 0) log_msg(DURL_LOG_ERR, "durl open common: recode=%d, cleanup cache.\n", code);
    return code;
}

}  // namespace

// ------------------------------------------------------------------- engine operations

int durl_open_common(durl_handle *h, const durl_url_param *param, durl_result *result) {
    if (h && h->stream) {
        // A handle carries one stream: an open over a forgotten one closes it first rather
        // than losing its worker and records.
        log_msg(DURL_LOG_WARNING, "durl open common: previous stream still open, close it.\n");
        durl_close_common(h->stream);
        h->stream = nullptr;
    }
    std::string headers;
    int code = durl_open_stream(h, param, result, &headers);
    if (code == 401 && strcasestr(headers.c_str(), kWebTicketMarker) &&
        access(kWebTicketFile, F_OK) == 0) {
        durl_close_common(h->stream);
        h->stream = nullptr;
        durl_free_result(result);
        h->webticket_retry = 1;
        log_msg(DURL_LOG_WARNING, "need webtick auth, retry use webtick.\n");
        code = durl_open_stream(h, param, result, nullptr);
        h->webticket_retry = 0;
    }
    return code;
}

int durl_read_common(durl_stream_t *stream, char *buf, int length, durl_result *result, int limit) {
    if (!stream || !buf || length <= 0) {
        log_msg(DURL_LOG_ERR, "durl read common: Parameter is error.\n");
        return DURL_RC_BAD_ARGUMENT;
    }
    if (!stream->data) {
        log_msg(DURL_LOG_ERR, "durl read common: durl->data is error.\n");
        return DURL_RC_BAD_ARGUMENT;
    }
    stream_shared *sh = shared_of(stream->data);
    // The read end is only ever changed by the caller's own open and close.
    const int fd = sh->pipe_fd[0];
    const int wait_ms = limit > 0 ? limit * 1000 : 0;
    int code = 0;
    int total = 0;
    while (total < length) {
        if (fd < 0) {
            log_msg(DURL_LOG_ERR, "Pipe did not exist!\n");
            durl_lock_guard guard(&sh->lock);
            code = sh->result;
            break;
        }
        // Only the first byte is waited for: once some have arrived the caller gets them,
        // with whatever else the pipe already holds, so a slow body never holds a read back
        // for longer than the limit and a short read is no failure.
        pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, total > 0 ? 0 : wait_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0 && total > 0) break;
        if (ready == 0) {
            log_msg(DURL_LOG_ERR, "Pipe secect timeout, timeout = [%d].\n", limit);
            code = DURL_RC_TIMED_OUT;
            break;
        }
        ssize_t n = ready < 0 ? -1 : read(fd, buf + total, static_cast<size_t>(length - total));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            log_msg(DURL_LOG_ERR, "Pipe read error, exist read!\n");
            code = DURL_RC_PIPE_READ_FAILED;
            break;
        }
        if (n == 0) {
            // End of file: the worker has finished and closed its end. Bytes of this read
            // go out first; the transfer's outcome comes with the next read.
            if (total > 0) break;
            log_msg(DURL_LOG_WARNING, "This url is read finish, There will be no more data.\n");
            durl_lock_guard guard(&sh->lock);
            code = sh->result;
            break;
        }
        total += static_cast<int>(n);
    }
    if (result) result->recode = code;
    return code != 0 ? -1 : total;
}

void durl_close_common(durl_stream_t *stream) {
    if (!stream || !stream->data) {
        log_msg(DURL_LOG_ERR, "durl close common: durl_stream is NULL.\n");
        return;
    }
    log_msg(DURL_LOG_INFO, "durl close common: close stream.\n");
    stream_shared *sh = shared_of(stream->data);
    {
        durl_lock_guard guard(&sh->lock);
        sh->closing = 1;
        sh->abort.store(1);
    }
    // Unread bytes go with the read end; the worker's next write fails with EPIPE, and a
    // worker waiting on the network sees `abort` from its progress callback.
    durl_close_pipe(&sh->pipe_fd[0], nullptr);
    if (durl_stream_worker *w = sh->worker) {
        durl_lock_guard guard(&w->lock);
        while (w->job == sh) pthread_cond_wait(&w->idle, &w->lock);
    }
    durl_stream_t_cleanup(stream);
}

void durl_stream_worker_stop(durl_handle *h) {
    durl_stream_worker *w = h ? h->stream_worker : nullptr;
    if (!w) return;
    h->stream_worker = nullptr;
    if (w->owner != getpid()) return;  // a parent's worker, not in this process
    {
        durl_lock_guard guard(&w->lock);
        w->stop = true;
    }
    w->wake.ring();
    pthread_join(w->thread, nullptr);
    destroy_worker(w);
}

// ------------------------------------------------------------------- exported entry points

extern "C" int durl_open(durl_handle *handle, durl_result *result, const durl_url_param *param) {
    static const durl_entry_lines kLines = {"durl open...\n",
                                            "open use global, handle is empty.\n",
                                            "open fails, You must call the init function.\n",
                                            nullptr,
                                            durl_live_check::silent,
                                            false};
    return durl_entry(kLines, handle, [&](durl_handle *h) -> int {
        if (int rc = durl_request_texts_check(param)) return rc;
        durl_result local{};
        int rc = durl_recode_change(durl_open_common(h, param, &local), &local.recode);
        if (result) *result = local;
        return rc;
    });
}

extern "C" int durl_read(durl_handle *handle, durl_result *result, char *buf, int size) {
    static const durl_entry_lines kLines = {"durl read...\n",
                                            "read use global, handle is empty.\n",
                                            "read fails, You must call the init function.\n",
                                            nullptr,
                                            durl_live_check::skipped,
                                            false};
    return durl_entry(kLines, handle, [&](durl_handle *h) -> int {
        int limit;
        {
            durl_lock_guard guard(&h->lock);
            limit = h->cfg.low_speed_time ? h->cfg.low_speed_time : h->cfg.connect_timeout;
        }
        durl_result local{};
        int n = durl_read_common(h->stream, buf, size, &local, limit);
        int rc = local.recode != 0 ? durl_recode_change(local.recode, &local.recode) : n;
        if (result) *result = local;
        return rc;
    });
}

extern "C" int durl_close(durl_handle *handle) {
    static const durl_entry_lines kLines = {"durl close...\n",
                                            "close use global, handle is empty.\n",
                                            "close fails, You must call the init function.\n",
                                            nullptr,
                                            durl_live_check::skipped,
                                            true};
    return durl_entry(kLines, handle, [&](durl_handle *h) -> int {
        durl_close_common(h->stream);
        h->stream = nullptr;
        return 0;
    });
}
