// Streamed reads: the body goes into a pipe; durl_open starts the transfer and drives it on
// the caller's thread until the body starts, a worker thread runs the rest, durl_read takes
// what has arrived, and durl_close stops the worker and releases everything.
//
// Why the opener drives the start itself: the caller waits for the first byte anyway, and
// handing the transfer to another thread and being woken by it costs two cross-thread
// wake-ups on the way to the answer (each tens of microseconds when the other CPU idles).
// A multi handle lets the transfer change threads in the middle: the opener runs it until
// the response's first body block, puts that block into the pipe (a few KiB at most, which
// an empty pipe always takes without blocking) and hands the rest to the worker, which it
// does not wait for. A body that ends within that first block never needs the worker.
//
// Ownership rules that keep the pipe safe:
// - the opener makes the pipe before the transfer starts; whoever drives the transfer (the
//   opener, then the worker) alone writes to and closes the write end (on every exit path,
//   success included, so a waiting reader sees end of file at once);
// - the closer closes only the read end; the worker's next write then fails with EPIPE.
//   SIGPIPE is blocked on the worker thread (libcurl's NOSIGNAL mode does not shield
//   writes made by our callback), so the failure never takes the host process down;
// - whoever ends the transfer sets `finished`, so an opener or reader waiting on it wakes at
//   once; the closer waits until a worker that took the stream has let go of it, so a stream
//   is released only after its transfer has ended completely, however early it stopped.
//
// A handle's streams run one after the other on one worker thread: the first open that
// hands a transfer over starts it, it parks between streams and takes the next hand-over at
// once, so an open pays neither for a new thread nor for the scheduler's delay in running
// one. The handle's release (durl_destroy, durl_cleanup) stops and joins it, so nothing of
// the worker, its thread-local TLS state included, outlives its handle; what one transfer
// leaves in a thread's OpenSSL error queue is cleared before the next.
//
// The handle also keeps the easy and multi handles of its last HTTP or HTTPS stream, the
// easy one reset, for the next stream: new ones cost, besides their own set-up, a socket
// pair and a handful of system calls, all on the way to the answer. The kept handles never
// keep a connection (a stream opens its own, and each of its requests closes its connection
// when done) nor a cached CA store, so a stream sees the server, and the trust files, as
// they are now. An FTP stream's handles are not kept: its connection ends with a QUIT
// exchange, which stays in the close instead of holding back the end of the body.
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
// The most the opener puts into the pipe: one page, which an empty pipe always has room for
// (even one that the system limited to a single page), so the opener never blocks on it. A
// first block larger than this waits, paused, for the worker.
constexpr size_t kOpenerBytes = 4096;

// The shared block as the worker and the caller see it: the plain record plus what lets
// both sides wait on each other and lets the opener learn the response without touching
// the easy handle once the worker drives it.
struct stream_shared : durl_stream_data {
    durl_doorbell changed;   // rung whenever started or finished is set
    std::atomic<int> abort;  // closing, for libcurl callbacks that must not take the lock
    // Set by the opener before the transfer starts; read-only afterwards.
    durl_handle *handle;
    durl_stream_t *stream;
    int webticket;
    // Published under lock by whoever drives the transfer: the engine code of the response
    // (status classified) and the URL to report.
    int recode;
    char report[1024];
    // The caller's own: the worker that took the transfer over (null: none did), waited for
    // by the closer.
    durl_stream_worker *worker;
    // Of whoever drives the transfer: the opener, then the worker it hands over to.
    bool body_seen;
    bool tls_wanted;
    bool pipe_broken;
    bool opening;  // the opener drives: it takes the first body block only
    bool held;     // a body block waits, paused, for the worker
    bool added;    // the easy handle is in multi
    bool ended;    // the transfer ended while the opener drove it (handed over for the FTP
    int ended_rc;  //   anonymous retry only), with this libcurl code
    int scheme;    // of the copied request's URL, known once it has been analysed
    CURLM *multi;  // drives the easy handle; made, or taken from the handle, with the stream
    std::unique_ptr<durl_call> call;  // the transfer's per-call setup until it ends
    // Body bytes not yet in the pipe (null: every block is written as it comes). They go out
    // when the next block would not fit, whenever libcurl has taken in what the network had
    // for now (its progress callback, before it waits for more) and at the end, so a reader
    // never waits for bytes that have arrived.
    std::unique_ptr<char[]> batch;
    size_t batched;
};

stream_shared *shared_of(durl_stream_data *data) { return static_cast<stream_shared *>(data); }

}  // namespace

// A handle's worker thread, its hand-over point, and what the handle's next stream reuses.
// Made at the handle's first open; the thread is started by the first hand-over.
struct durl_stream_worker {
    pthread_t thread;
    bool running;  // thread was started (read and written by the handle's callers only)
    pthread_mutex_t lock;
    durl_doorbell wake;     // rung when a stream is handed over or the worker must stop
    pthread_cond_t idle;    // broadcast when the worker has let go of its stream
    durl_stream_data *job;  // the stream being served; null while parked
    CURL *spare;            // the easy handle of the last HTTP(S) stream, reset ...
    CURLM *spare_multi;     // ... and its multi handle; both taken by the next stream
    bool stop;
    pid_t owner;  // the process that made it (a child made by fork() has no such thread)
};

namespace {

// The handle's worker record, unless it belongs to the process this one was forked from: a
// child made by fork() inherits the record but not the thread, nor a socket pair of its own
// in the kept multi handle. It makes its own and leaves the record alone (its lock may be
// held by a thread the child does not have).
durl_stream_worker *live_worker(durl_handle *h) {
    durl_stream_worker *w = h->stream_worker;
    if (w && w->owner != getpid()) w = h->stream_worker = nullptr;
    return w;
}

// The handle's worker record, made when it has none; null when memory is short (the stream
// then runs without reuse, and cannot be handed over).
durl_stream_worker *worker_record(durl_handle *h) {
    if (durl_stream_worker *w = live_worker(h)) return w;
    auto *w = new (std::nothrow) durl_stream_worker();
    if (!w) return nullptr;
    pthread_mutex_init(&w->lock, nullptr);
    pthread_cond_init(&w->idle, nullptr);
    w->owner = getpid();
    h->stream_worker = w;
    return w;
}

// Moves the handles of a stream whose HTTP(S) transfer has ended to w, in place of older
// ones, for the next stream; the caller holds w's lock. The easy handle is reset: no option
// of this stream remains.
void keep_handles(durl_stream_worker *w, durl_stream_t *s, CURLM *&multi, int scheme) {
    if (!durl_is_http(scheme)) return;
    if (CURL *easy = s->curl) {
        curl_easy_reset(easy);
        if (w->spare) curl_easy_cleanup(w->spare);
        w->spare = easy;
        s->curl = nullptr;
    }
    if (multi) {
        if (w->spare_multi) curl_multi_cleanup(w->spare_multi);
        w->spare_multi = multi;
        multi = nullptr;
    }
}

// Closes the ends given (nullptr = leave alone) when present and marks them absent.
void durl_close_pipe(int32_t *read_end, int32_t *write_end) {
    for (int32_t *end : {read_end, write_end}) {
        if (!end || *end < 0) continue;
        close(*end);
        *end = -1;
    }
}

// Releases a stream's records. Runs only when nothing drives the transfer any more: once a
// worker that took it has let go, or when none did, or before it started.
void durl_stream_t_cleanup(durl_stream_t *s) {
    if (!s) return;
    stream_shared *sh = s->data ? shared_of(s->data) : nullptr;
    // The call's setup points into the easy handle; the easy handle leaves its multi handle
    // before either goes, and the multi handle goes last (an FTP connection's QUIT).
    if (sh) sh->call.reset();
    if (sh && sh->added) curl_multi_remove_handle(sh->multi, s->curl);
    if (s->curl) curl_easy_cleanup(s->curl);
    if (sh && sh->multi) curl_multi_cleanup(sh->multi);
    std::free(s->header_sink.data);
    if (sh) {
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

// ------------------------------------------------------- driving the transfer

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

// Makes the response known to the opener: the status is classified here, on the thread
// that drives the transfer, while the headers of the final response are complete.
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
    // Woken after the unlock, an opener waiting for a worker finds the lock free instead of
    // waiting for it again. The bell lives until the stream is released.
    sh->changed.ring();
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

// Write callback: the whole block goes into the batch, or the pipe; a failed write, or a
// block past the size cap, ends the transfer.
size_t durl_stream_cb(char *data, size_t size, size_t count, void *user) {
    size_t n = size * count;
    if (n == 0) return 0;
    stream_shared *sh = shared_of(static_cast<durl_stream_data *>(user));
    if (sh->pipe_broken) return 0;  // a batch written from the progress callback failed
    // The opener takes one small block; the rest waits for the worker (libcurl keeps a
    // paused block and gives it again once the transfer goes on).
    if (sh->opening && (sh->body_seen || n > kOpenerBytes)) {
        sh->held = true;
        return CURL_WRITEFUNC_PAUSE;
    }
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

// Libcurl's code for a failure of the multi handle itself.
CURLcode multi_failure(CURLMcode mc) {
    return mc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_BAD_FUNCTION_ARGUMENT;
}

// Everything from the URL to the transfer's start on its multi handle, on the opener's
// thread; returns 0 or the engine code.
int begin_transfer(stream_shared *sh) {
    durl_stream_t *s = sh->stream;
    sh->call.reset(new (std::nothrow) durl_call(sh->handle, s->url_c, kStreamPath));
    if (!sh->call) return CURLE_OUT_OF_MEMORY;
    durl_call &call = *sh->call;
    call.use(s->curl);
    call.webticket = sh->webticket;
    int rc = call.analyse();
    if (rc == 0) rc = call.set_url(call.url);
    sh->scheme = call.scheme;
    sh->tls_wanted = call.scheme == DURL_PROTO_HTTPS || call.scheme == DURL_PROTO_FTPS;
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
        // The easy and multi handles go on to the next stream: nothing of this one's
        // connection, nor of the CA store it loaded, may be found there.
        durl_setopt_unchecked(s->curl, CURLOPT_FRESH_CONNECT, 1L);
        durl_setopt_unchecked(s->curl, CURLOPT_FORBID_REUSE, 1L);
#if LIBCURL_VERSION_NUM >= 0x075700
        durl_setopt_unchecked(s->curl, CURLOPT_CA_CACHE_TIMEOUT, 0L);
#endif
    }
    if (int rc = call.start_perform(s->curl)) return rc;
    if (CURLMcode mc = curl_multi_add_handle(sh->multi, s->curl)) return multi_failure(mc);
    sh->added = true;
    return 0;
}

// Milliseconds from now until deadline, 0 when it has passed.
int ms_until(const timespec &deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ms = (static_cast<int64_t>(deadline.tv_sec) - now.tv_sec) * 1000 +
                       (deadline.tv_nsec - now.tv_nsec) / 1'000'000;
    return ms <= 0 ? 0 : ms > 1000 ? 1000 : static_cast<int>(ms);
}

// Runs the transfer on its multi handle. Returns true once it ended (libcurl's code in
// *rc); with a deadline (the opener), false as soon as the body started, a block was held
// back for the worker, or the deadline passed.
bool drive(stream_shared *sh, const timespec *deadline, CURLcode *rc) {
    for (;;) {
        int running = 0;
        CURLMcode mc = curl_multi_perform(sh->multi, &running);
        int left = 0;
        while (CURLMsg *m = mc == CURLM_OK ? curl_multi_info_read(sh->multi, &left) : nullptr) {
            if (m->msg != CURLMSG_DONE) continue;
            *rc = m->data.result;
            return true;
        }
        if (mc == CURLM_OK && deadline && (sh->body_seen || sh->held)) return false;
        // A second's wait at most: libcurl's own timers (time-outs, the low-speed check)
        // shorten it, and a close's wake-up ends it.
        const int wait_ms = deadline ? ms_until(*deadline) : 1000;
        if (deadline && wait_ms == 0) return false;
        if (mc == CURLM_OK) mc = curl_multi_poll(sh->multi, nullptr, 0, wait_ms, nullptr);
        if (mc != CURLM_OK) {
            *rc = multi_failure(mc);
            return true;
        }
    }
}

// The end of the transfer, on whichever thread drove it there: the easy handle leaves the
// multi handle, the anonymous FTP retry, the rest of the body, the outcome. Returns the
// engine code; the call's setup is released.
int end_transfer(stream_shared *sh, CURLcode res) {
    durl_stream_t *s = sh->stream;
    if (sh->added) {
        curl_multi_remove_handle(sh->multi, s->curl);
        sh->added = false;
    }
    res = static_cast<CURLcode>(sh->call->finish_perform(s->curl, res));
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
        int code = sh->call->outcome(res);
        durl_lock_guard guard(&sh->lock);
        sh->recode = code;
        std::memcpy(sh->report, sh->call->report, sizeof sh->report);
    }
    sh->call.reset();
    return res;
}

// The worker's part: takes the transfer where the opener left it and runs it to its end;
// returns the engine code.
int continue_transfer(stream_shared *sh) {
    // A deeper pipe lets the worker run ahead of a reader that takes large blocks: fewer
    // wake-ups on both sides. Refused (over the system's limit), the pipe keeps its default.
    (void)fcntl(sh->pipe_fd[1], F_SETPIPE_SZ, kPipeBytes);
    CURLcode res = static_cast<CURLcode>(sh->ended_rc);
    if (!sh->ended && sh->held) {
        sh->held = false;
        // The held block is given to the write callback from here.
        res = curl_easy_pause(sh->stream->curl, CURLPAUSE_CONT);
        if (res != CURLE_OK) return end_transfer(sh, res);
    }
    if (!sh->ended) (void)drive(sh, nullptr, &res);
    return end_transfer(sh, res);
}

// The last steps of a transfer, on every path and on whichever thread ends it: publish the
// outcome, close the write end (the reader wakes with end of file), set `finished` (a
// waiting opener wakes).
void finish_stream(stream_shared *sh, int rc) {
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

// ------------------------------------------------------------------- worker side

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
        {
            // The transfer's lines follow the handle's level here too; the call's setup,
            // made on the opener's thread, is released within this scope.
            durl_log_scope level(sh->handle);
            finish_stream(sh, continue_transfer(sh));
        }
        ERR_clear_error();
        // The stream's records go once this worker lets go; the handles of an HTTP or HTTPS
        // stream stay for the next one. Under the lock: a closer wakes the multi handle
        // through the stream while this job is still the worker's.
        durl_lock_guard guard(&w->lock);
        keep_handles(w, sh->stream, sh->multi, sh->scheme);
        w->job = nullptr;
        pthread_cond_broadcast(&w->idle);
    }
    return nullptr;
}

// -------------------------------------------------------------------- caller side

void destroy_worker(durl_stream_worker *w) {
    if (w->spare) curl_easy_cleanup(w->spare);
    if (w->spare_multi) curl_multi_cleanup(w->spare_multi);
    pthread_cond_destroy(&w->idle);
    pthread_mutex_destroy(&w->lock);
    delete w;
}

// Starts w's thread, which finds its first job already set. It is joinable rather than
// detached: the handle's release joins it. Returns 0 once it runs, else the thread
// library's error number.
int start_thread(durl_stream_worker *w) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        log_msg(DURL_LOG_ERR, "durl create pthread: attr init err.\n");
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
    if (rc == 0) w->running = true;
    return rc;
}

// Hands the rest of the stream's transfer to the handle's worker w (from worker_record),
// starting its thread when it has none yet. Returns 0 once the worker has the stream (the
// close then waits for it to let go), else the thread library's error number.
int durl_create_pthread(durl_stream_worker *w, stream_shared *sh) {
    if (!w) {
        log_msg(DURL_LOG_ERR, "durl create pthread: thread create err.\n");
        return EAGAIN;
    }
    {
        durl_lock_guard guard(&w->lock);
        // Only two opens racing on one handle find it busy; the second gets no worker.
        if (w->job) {
            log_msg(DURL_LOG_ERR, "durl create pthread: thread create err.\n");
            return EAGAIN;
        }
        w->job = sh;
    }
    if (!w->running) {
        if (int rc = start_thread(w)) {
            durl_lock_guard guard(&w->lock);
            w->job = nullptr;
            return rc;
        }
    } else {
        w->wake.ring();
    }
    sh->worker = w;
    return 0;
}

// Starts the stream's transfer and drives it on this thread until the body starts, it
// ended, or the deadline passed; what is left goes to the handle's worker. Returns 0, or
// the thread library's error number when no worker could take it (the stream then ends).
int open_transfer(durl_stream_worker *w, stream_shared *sh, const timespec &deadline) {
    sh->opening = true;
    if (int rc = begin_transfer(sh)) {
        finish_stream(sh, rc);
        return 0;
    }
    CURLcode rc = CURLE_OK;
    sh->ended = drive(sh, &deadline, &rc);
    // An FTP login refused ends in a second, anonymous transfer: the worker runs it.
    if (sh->ended && rc != CURLE_LOGIN_DENIED) {
        finish_stream(sh, end_transfer(sh, rc));
        return 0;
    }
    sh->ended_rc = rc;
    sh->opening = false;
    // The first block goes into the pipe now: the reader need not wait for the worker.
    (void)flush_batch(sh);
    int err = durl_create_pthread(w, sh);
    if (err != 0) finish_stream(sh, err);
    return err;
}

// Builds the records of a stream, its easy and multi handles (the ones w kept, when it has
// them) and its pipe. Nothing is left behind on failure.
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
        std::swap(s->curl, w->spare);
        std::swap(sh->multi, w->spare_multi);
    }
    if (!s->curl) s->curl = curl_easy_init();
    if (!sh->multi) sh->multi = curl_multi_init();
    if (!s->curl || !sh->multi) {
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

// How long an open waits for the body: the connect time-out (one second when none is set).
timespec open_deadline(durl_handle *h) {
    int seconds;
    {
        durl_lock_guard guard(&h->lock);
        seconds = h->cfg.connect_timeout;
    }
    if (seconds <= 0) seconds = 1;
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += seconds;
    return deadline;
}

// Waits until the body flows or the transfer ended, at most until deadline. Returns the
// engine code of the response or -128.
int wait_for_body(stream_shared *sh, const timespec &deadline, durl_result *result,
                  std::string *headers) {
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
    const timespec deadline = open_deadline(h);
    StreamPtr owned;
    durl_stream_worker *w = worker_record(h);
    int code = make_stream(h, w, param, owned);
    if (code == 0) {
        stream_shared *sh = shared_of(owned->data);
        h->stream = owned.release();
        code = open_transfer(w, sh, deadline);
        if (code == 0) {
            log_msg(DURL_LOG_INFO, "durl open common: create ok.\n");
            code = wait_for_body(sh, deadline, result, headers);
        }
        // What this thread's transfer left in its OpenSSL error queue is no concern of the
        // caller's next call.
        ERR_clear_error();
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
            // End of file: the transfer has ended and its write end is closed. Bytes of this read
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
    // worker waiting on the network is woken to see `abort` from its progress callback.
    durl_close_pipe(&sh->pipe_fd[0], nullptr);
    if (durl_stream_worker *w = sh->worker) {
        durl_lock_guard guard(&w->lock);
        // The worker gives the multi handle away only under this lock, after its job ended.
        if (w->job == sh) curl_multi_wakeup(sh->multi);
        while (w->job == sh) pthread_cond_wait(&w->idle, &w->lock);
    } else if (durl_stream_worker *own = sh->added ? nullptr : live_worker(sh->handle)) {
        // The transfer ended on the opener's thread: its handles stay for the next stream.
        durl_lock_guard guard(&own->lock);
        keep_handles(own, stream, sh->multi, sh->scheme);
    }
    durl_stream_t_cleanup(stream);
}

void durl_stream_worker_stop(durl_handle *h) {
    durl_stream_worker *w = h ? h->stream_worker : nullptr;
    if (!w) return;
    h->stream_worker = nullptr;
    if (w->owner != getpid()) return;  // a parent's worker, not in this process
    if (w->running) {
        {
            durl_lock_guard guard(&w->lock);
            w->stop = true;
        }
        w->wake.ring();
        pthread_join(w->thread, nullptr);
    }
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
