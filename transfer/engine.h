// Internal: the pieces of the transfer half that call each other. Each group lives in
// its own source file, named in the group's heading.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include <curl/curl.h>
#include <openssl/types.h>

#include "codes.h"
#include "durl.h"
#include "easy.h"
#include "handle.h"

// ------------------------------------------------------------ records (records.cpp)

// The handle's max_filesize held as the bytes arrive. libcurl refuses only a size that the
// server announces; a chunked body, one framed by the hang-up, FTP without SIZE, TFTP and
// anything libcurl inflates would otherwise run on without end. Every body sink counts what
// it is handed (after decoding) here and refuses the block that would pass the cap; the
// call then reports libcurl's own file-size error, as for an announced size.
struct durl_size_cap {
    uint64_t limit = 0;  // 0: no cap
    uint64_t received = 0;
    bool exceeded = false;

    // Counts n more bytes: false, and exceeded set, when they would pass the cap.
    bool take(size_t n) {
        if (limit != 0 && (exceeded || n > limit - received)) {
            exceeded = true;
            return false;
        }
        received += n;
        return true;
    }
};

// Memory sink of durl_recvstream_cb: gathers a body or header text.
struct durl_mem_sink {
    uint32_t size;                 // bytes gathered
    int32_t limit;                 // > 0: keep at most this many bytes
    char *data;                    // size bytes plus a NUL, grown by realloc
    durl_size_cap *cap = nullptr;  // the call's size cap; null for header text
};

// File sink of durl_writefile_cb.
struct durl_file_sink {
    uint32_t written;
    int32_t limit;
    FILE *file;
    durl_size_cap *cap = nullptr;
};

// Context of the TLS session description written after an HTTPS/FTPS transfer.
struct durl_ssl_dump {
    uint32_t length;
    uint32_t capacity;
    char text[512];
};

// Block shared by a stream's worker thread and the caller's open/read/close.
struct durl_stream_data {
    pthread_mutex_t lock;  // guards finished, result, started, closing
    int32_t finished;
    int32_t result;
    int32_t started;
    int32_t closing;
    int32_t pipe_fd[2];  // read end, write end; <= 0 means absent, closed ends are -1
};

struct durl_stream_t {
    CURL *curl;
    durl_mem_sink header_sink;
    durl_stream_data *data;
    durl_url_param *url_c;
};

// Deep copy of a request: texts cut to their fields; a non-empty headers/post_data is
// duplicated with malloc (post_data: post_size bytes when positive, plus a NUL), an empty
// or absent one becomes null. Returns 0, -2 for a null argument, -127 when memory is short
// (dst untouched). Release the copies with durl_url_clone_free().
int durl_url_clone(const durl_url_param *src, durl_url_param *dst);
void durl_url_clone_free(durl_url_param *clone);

// -------------------------------------------- result codes and frame (recode.cpp)

// Fold an engine code into the caller's code space and store it in *recode (may be null).
int durl_recode_change(int code, int32_t *recode);

// Turn libcurl's result and the server status into an engine code; report the final URL
// into report (1024 bytes, may be null).
int durl_get_recode(CURL *curl, const durl_url_param *param, char *report, int curl_code,
                    int scheme, int no_redirect);

// ------------------------------------------------------------------ URL (url.cpp)

// out must not overlap url.
void durl_url_encode(char *out, int out_size, const char *url);
int durl_url_analysis(const char *url, char *out, int out_size);
// The one test for the schemes that take the HTTP steps (HTTP and HTTPS).
bool durl_is_http(int scheme);

// ---------------------------------------------------------- headers (headers.cpp)

// The list alone, not installed (nullptr when memory ran out).
curl_slist *durl_http_header_list(const char *headers, const char *user, const char *password,
                                  int auth, char *boundary, int keep_alive, int webticket);
curl_slist *durl_http_header(durl_easy &easy, const char *headers, const char *user,
                             const char *password, int auth, char *boundary, int keep_alive,
                             int webticket);

// Refuses a request whose texts could put lines of the caller's making on the wire: a CR
// or LF in the user name, the password or send_name (may be null), or one outside a CRLF
// pair in the header lines. Returns 0, or -2 after a log line; a null param gives 0.
// Every exported transfer operation that takes a request calls it before anything is sent.
int durl_request_texts_check(const durl_url_param *param, const char *send_name = nullptr);

// ------------------------------------------------------------- trace (trace.cpp)

int durl_trace_normal(CURL *curl, curl_infotype kind, char *data, size_t size, void *user);
int durl_trace_debug(CURL *curl, curl_infotype kind, char *data, size_t size, void *user);
int durl_curl_trace(curl_infotype kind, const char *data, size_t size, int debug);
void durl_curl_dump(const char *label, const unsigned char *data, size_t size, int kind, int debug);

// -------------------------------------------------- connection setup (connect.cpp)

int durl_curl_connect(durl_handle *h, durl_easy &easy, const durl_url_param *param, int scheme);
void durl_set_share_handle(durl_easy &easy);
// Records how the trust inputs of a TLS setup (CA file or directory, client certificate;
// null or empty entries skipped) look now; when one changed since it was last seen, the TLS
// sessions kept so far are dropped.
void durl_trust_inputs_seen(const char *const *paths, size_t count);
long durl_getcurl_auth(int auth);
int durl_url_login(const char *url);

// Logs a refused option by its libcurl name (level 7) and returns the code.
int durl_setopt_refused(CURLoption option, CURLcode rc);

// An option whose refusal matters: 0, or libcurl's code after a log line naming it.
// Values must already have the type libcurl reads (long, pointer, curl_off_t, callback).
template <class T>
int durl_setopt(CURL *curl, CURLoption option, T value) {
    CURLcode rc = curl_easy_setopt(curl, option, value);
    return rc == CURLE_OK ? 0 : durl_setopt_refused(option, rc);
}

// An option whose refusal changes nothing: the extension numbers that only the device's
// libcurl build knows, and the settings the transfer does not depend on.
template <class T>
void durl_setopt_unchecked(CURL *curl, long option, T value) {
    (void)curl_easy_setopt(curl, static_cast<CURLoption>(option), value);
}

// The same two through a call's option list (see easy.h).
template <class T>
int durl_setopt(durl_easy &easy, CURLoption option, T value) {
    CURLcode rc = easy.set(option, value);
    return rc == CURLE_OK ? 0 : durl_setopt_refused(option, rc);
}

template <class T>
void durl_setopt_unchecked(durl_easy &easy, long option, T value) {
    (void)easy.set(option, value);
}

// A checked option whose value belongs to the call alone (a buffer, a sink, caller memory).
template <class T>
int durl_setopt_each_call(durl_easy &easy, CURLoption option, T value) {
    CURLcode rc = easy.set_each_call(option, value);
    return rc == CURLE_OK ? 0 : durl_setopt_refused(option, rc);
}

// Extension option numbers of the device's libcurl build.
enum : long {
    DURL_XOPT_CONN_RESET = 501,       // long: drop per-connection state before a reset
    DURL_XOPT_NET_PREFERRED = 502,    // long: address-family preference
    DURL_XOPT_BOUNDARY = 10500,       // text: multipart boundary
    DURL_XOPT_SSL_DUMP_DATA = 10504,  // pointer: durl_ssl_dump of the session hook
    DURL_XOPT_ADDITION_BODY = 10505,  // text: extra body with auth code 6
    DURL_XOPT_SSL_DUMP_FUNC = 20503   // callback: the TLS session hook
};

// Write callback that keeps nothing: bodies the library was not asked to keep must never
// reach libcurl's default sink, the host process's standard output.
size_t durl_discard_cb(char *data, size_t size, size_t count, void *unused);

// Read callback that supplies nothing: an upload without a body must never fall back to
// libcurl's default source, standard input.
size_t durl_empty_read_cb(char *buf, size_t size, size_t count, void *unused);

// --------------------------------------------- TLS session text (tls_session.cpp)

// The TLS session hook: describes the OpenSSL session (SSL*) into dump. Returns 0.
int durl_ssl_session(void *session, durl_ssl_dump *dump);

// Writes protocol, cipher, peer subject, issuer and end of validity of ssl, one per line
// ending in "\n", into buf (NUL-terminated, cut at whole lines). Returns the length.
size_t durl_tls_describe(const SSL *ssl, char *buf, size_t size);

// Fills dump (once) from the easy handle's live TLS session. Only meaningful while the
// transfer runs (from a write, header or progress callback); later the session is gone.
void durl_tls_capture(CURL *curl, durl_ssl_dump *dump);

// Header-callback context that captures the TLS session on the first response line.
struct durl_tls_watch {
    CURL *curl;
    durl_ssl_dump *dump;
    // HTTP(S): only status lines are looked at. The lines after one come over the same
    // connection, so a session missing at the status line is missing at them too.
    bool status_lines_only;
};

// Prepares dump (capacity 512, empty), registers the device build's hook through the
// extension options and a header callback with watch that captures the session. http: the
// transfer is HTTP or HTTPS.
void durl_tls_watch_start(durl_easy &easy, durl_tls_watch *watch, durl_ssl_dump *dump, bool http);

// Copies a non-empty session text into the handle's ssl_session_dump under its lock.
void durl_ssl_dump_store(durl_handle *h, const durl_ssl_dump *dump);

// ------------------------------------------------------------ TLS (tls.cpp)

int durl_set_ssl_config(durl_handle *h, durl_easy &easy);
long durl_get_curl_sslver(int ssl_version);

// ---------------------------------------------------- connection cache (cache.cpp)

CURL *durl_get_curlhandle(durl_handle *h, int keep_alive, int *lent);
void durl_close_curlhandle(durl_handle *h, CURL *curl, int keep_alive, int lent);
// Gives the lent cache_curl back with its options in place (h->cache_options->kept says
// which): the next call's setup skips what it already holds.
void durl_keep_curlhandle(durl_handle *h);

// ------------------------------------------------------- download (download.cpp)

int durl_download_common(durl_handle *h, const durl_url_param *param, durl_result *result,
                         const char *file_name);
size_t durl_writefile_cb(char *data, size_t size, size_t count, void *sink);
size_t durl_recvstream_cb(char *data, size_t size, size_t count, void *sink);

// -------------------------------------------------- per-call setup (call.cpp, call.h)

// Switches the easy handle to the anonymous FTP login after a denied one: 0, -1 when the
// URL is not FTP/FTPS or a credential text is absent, else libcurl's code.
int durl_ftp_anonymous_perform(CURL *curl, const char *url, const char *user, const char *password);

// ---------------------------------------------------------- upload (upload.cpp)

int durl_upload_common(durl_handle *h, const durl_url_param *param, const char *file_name,
                       const char *remote_name, durl_result *result);
const char *durl_get_filename(const char *path, int length);
// Builds the upload form: the optional extra field, then the file part. 0, or -127 (no
// memory) / -2 (part refused) after a log line; *first then holds what was added so far.
int durl_upload_form(curl_httppost **first, const char *disposition, const char *extern_name,
                     const char *extern_body, const char *file_name, const char *send_name);

// ---------------------------------------------------------- stream (stream.cpp)

int durl_open_common(durl_handle *h, const durl_url_param *param, durl_result *result);
int durl_read_common(durl_stream_t *stream, char *buf, int length, durl_result *result, int limit);
void durl_close_common(durl_stream_t *stream);
// Stops and joins the handle's parked stream worker, if it has one. The handle's stream, if
// any, must be closed first.
void durl_stream_worker_stop(durl_handle *h);
