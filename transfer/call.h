// Internal: the per-call setup that every transfer runs through, downloads, uploads and the
// stream worker alike: URL analysis, connection setup, TLS session hook, request header
// list, perform with the anonymous FTP retry, and the reading of the outcome. What really
// differs between the paths is a durl_path; per-transfer policy belongs in durl_call.
#pragma once

#include "codes.h"
#include "engine.h"
#include "raii.h"

// What differs between the paths. Each line is the path's own (logged at level 3, with
// "%s" the libcurl text where the line has one); a null line logs nothing of its own.
struct durl_path {
    const char *no_easy_handle;  // no easy handle from the connection cache (-3)
    const char *url_format_err;  // URL refused by the analysis (-103)
    const char *url_refused;     // CURLOPT_URL refused ("%s")
    const char *connect_err;     // connection setup failed
    const char *header_err;      // request header list not built ...
    int header_code;             // ... and the code that gives
    const char *detail;          // libcurl's error buffer after a failed perform ("%s")
    bool form_boundary;          // a "boundary=" line goes to the form, not on the wire
    bool tcp_keepalive;          // HTTP on a lent cached connection turns TCP keep-alive on
};

extern const durl_path kDownloadPath;
extern const durl_path kUploadPath;
extern const durl_path kStreamPath;

// One transfer's setup and everything it owns; the destructor releases it on every path.
class durl_call {
public:
    durl_call(durl_handle *h, const durl_url_param *param, const durl_path &path);
    ~durl_call() { release(); }
    durl_call(const durl_call &) = delete;
    durl_call &operator=(const durl_call &) = delete;

    // An easy handle from the handle's connection cache (request's keep_alive), or one that
    // somebody else owns (a stream's own). 0, or -3 after the path's line.
    int borrow();
    void use(CURL *owned_elsewhere);

    int analyse();                 // scheme and encoded URL; 0 or -103
    int set_url(const char *url);  // 0 or libcurl's code
    // Connection setup, TLS session hook, and for HTTP/HTTPS the request header list.
    // 0, libcurl's code, or the path's header code.
    int connect();
    // perform on c (the call's easy handle or a copy of it), once more as anonymous when an
    // FTP login is denied. Returns libcurl's code; a body that a sink refused at the size
    // cap gives libcurl's file-size error, as an announced size over the cap does.
    int perform(CURL *c);
    // perform() in two steps, for a transfer that a multi handle drives: start_perform(c)
    // before it is added (0 or libcurl's code), finish_perform(c, rc) with libcurl's code once
    // it ended and was removed (the anonymous FTP retry then performs again on c).
    int start_perform(CURL *c);
    int finish_perform(CURL *c, int rc);
    // The engine code of the finished transfer; the URL to report goes to report.
    int outcome(int curl_code);
    // The handle's progress notification, at most every kProgressGap; non-zero stops the
    // transfer (and keeps stopping it). Called from libcurl's progress callback.
    int progress(curl_off_t dl_total, curl_off_t dl_now, curl_off_t ul_total, curl_off_t ul_now);
    // One last notification with the final counts of a transfer that succeeded.
    void progress_final();
    // True when the handle has a progress notification (a stream chains it).
    bool has_progress() const { return progress_fn != nullptr; }
    // Stores code and the reported URL into result (may be null).
    void fill(durl_result *result, int code) const;
    // Returns the easy handle (to the cache, or nothing when owned elsewhere), frees the
    // header list and keeps the TLS session text on the handle. Runs once.
    void release();

    // Every request touches all the small fields, and only the first bytes of the text
    // rooms: the small fields come first, together in a few cache lines, the rooms last.
    durl_handle *const h;
    const durl_url_param *const param;
    const durl_path &path;
    CURL *curl = nullptr;
    // The options of this call go through here (see easy.h).
    durl_easy easy;
    int scheme = DURL_PROTO_UNKNOWN;
    int webticket = 0;  // the header list carries the web ticket (a stream's retry)
    // The handle's max_filesize, set by connect(), for the sinks to count against.
    durl_size_cap cap;

private:
    // Sets up the option list of a lent cache_curl.
    void start_on_cached();
    // Whether this request may leave its options on the cached easy handle.
    bool may_keep_options() const;
    bool keep_options() const;
    // The request header list; false when it could not be built or installed.
    bool set_headers();

    // Lines of this call follow the handle's log level, on whichever thread runs it.
    durl_log_scope log_level;
    durl_progress_fn progress_fn = nullptr;
    void *progress_context = nullptr;
    int64_t progress_last_ns = -1;  // CLOCK_MONOTONIC of the last notification
    bool progress_stopped = false;
    int lent = 0;
    bool cached = false;
    bool performed_ok = false;  // the call's own transfer ended with CURLE_OK
    durl::CurlSlistPtr headers;
    durl_tls_watch watch{};
    char errbuf[CURL_ERROR_SIZE];

public:
    // Texts, empty until filled (the constructor clears only their first byte).
    char url[1024];
    char boundary[64];
    char report[1024];
    // Only its length and first byte are set up front (see durl_tls_watch_start).
    durl_ssl_dump dump;
};
