// Internal: the pieces of the transfer half that call each other. Each group lives in
// its own source file, named in the group's heading.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include <curl/curl.h>

#include "durl.h"
#include "handle.h"

// ------------------------------------------------------------ records (records.cpp)

// Memory sink of durl_recvstream_cb: gathers a body or header text.
struct durl_mem_sink {
    uint32_t size;  // bytes gathered
    int32_t limit;  // > 0: keep at most this many bytes
    char *data;     // size bytes plus a NUL, grown by realloc
};

// File sink of durl_writefile_cb.
struct durl_file_sink {
    uint32_t written;
    int32_t limit;
    FILE *file;
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

// Deep copy of a request: texts cut to their fields, headers/post_data duplicated.
int durl_url_clone(const durl_url_param *src, durl_url_param *dst);

// -------------------------------------------- result codes and frame (recode.cpp)

// Fold an engine code into the caller's code space and store it in *recode (may be null).
int durl_recode_change(int code, int32_t *recode);

// Turn libcurl's result and the server status into an engine code; report the final URL
// into report (1024 bytes, may be null).
int durl_get_recode(CURL *curl, const durl_url_param *param, char *report, int curl_code,
                    int scheme, int no_redirect);

// ------------------------------------------------------------------ URL (url.cpp)

void durl_url_encode(char *out, int out_size, const char *url);
int durl_url_analysis(const char *url, char *out, int out_size);

// ---------------------------------------------------------- headers (headers.cpp)

curl_slist *durl_http_header(CURL *curl, const char *headers, const char *user,
                             const char *password, int auth, char *boundary, int keep_alive,
                             int webticket);

// ------------------------------------------------------------- trace (trace.cpp)

int durl_trace_normal(CURL *curl, curl_infotype kind, char *data, size_t size, void *user);
int durl_trace_debug(CURL *curl, curl_infotype kind, char *data, size_t size, void *user);
int durl_curl_trace(curl_infotype kind, const char *data, size_t size, int debug);
void durl_curl_dump(const char *label, const unsigned char *data, size_t size, int kind,
                    int debug);

// -------------------------------------------------- connection setup (connect.cpp)

int durl_curl_connect(durl_handle *h, CURL *curl, const durl_url_param *param, int scheme);
void durl_set_share_handle(CURL *curl);
long durl_getcurl_auth(int auth);
int durl_url_login(const char *url);

// ------------------------------------------------------------ TLS (tls.cpp)

int durl_set_ssl_config(durl_handle *h, CURL *curl);
long durl_get_curl_sslver(int ssl_version);

// ---------------------------------------------------- connection cache (cache.cpp)

CURL *durl_get_curlhandle(durl_handle *h, int keep_alive, int *lent);
void durl_close_curlhandle(durl_handle *h, CURL *curl, int keep_alive, int lent);

// ------------------------------------------------------- download (download.cpp)

int durl_download_common(durl_handle *h, const durl_url_param *param, durl_result *result,
                         const char *file_name);
size_t durl_writefile_cb(char *data, size_t size, size_t count, void *sink);
size_t durl_recvstream_cb(char *data, size_t size, size_t count, void *sink);
int durl_ftp_anonymous_perform(CURL *curl, const char *url, const char *user,
                               const char *password);

// ---------------------------------------------------------- upload (upload.cpp)

int durl_upload_common(durl_handle *h, const durl_url_param *param, const char *file_name,
                       const char *remote_name, durl_result *result);
const char *durl_get_filename(const char *path, int length);

// ---------------------------------------------------------- stream (stream.cpp)

int durl_open_common(durl_handle *h, const durl_url_param *param, durl_result *result);
int durl_read_common(durl_stream_t *stream, char *buf, int length, durl_result *result,
                     int limit);
void durl_close_common(durl_stream_t *stream);
