// The per-call setup shared by downloads, uploads and the stream worker, and the anonymous
// FTP retry they all use.
#include "call.h"

#include <strings.h>
#include <time.h>

#include <cstdio>
#include <new>

// Downloads and uploads name their own steps in their lines; the stream worker keeps the
// lines of its thread. Only the header failure's code differs besides: a download and a
// stream report -1, an upload -127.
const durl_path kDownloadPath = {"download common: curl init err.\n",
                                 "download common: URL format err.\n",
                                 "download common: %s.\n",
                                 "download common: connect err.\n",
                                 "download common: Set http header err.\n",
                                 DURL_RC_HEADERS_NOT_BUILT,
                                 "download common detail: %s.\n",
                                 false,
                                 true};
const durl_path kUploadPath = {"upload common: curl init err.\n",
                               "upload common: URL format err.\n",
                               "upload common: %s.\n",
                               "upload common: connect err.\n",
                               "Set http header err.\n",
                               DURL_RC_NO_MEMORY,
                               "upload common detail: %s.\n",
                               true,
                               false};
const durl_path kStreamPath = {nullptr,
                               "URL format err.\n",
                               "durl create thread: %s.\n",
                               nullptr,
                               "Set http header err.\n",
                               DURL_RC_HEADERS_NOT_BUILT,
                               nullptr,
                               false,
                               false};

bool durl_is_http(int scheme) { return scheme == DURL_PROTO_HTTP || scheme == DURL_PROTO_HTTPS; }

namespace {

void log_line(const char *line) {
    if (line) log_msg(DURL_LOG_ERR, "%s", line);
}

// A person watching a meter needs a few updates a second; more only costs the caller.
constexpr int64_t kProgressGapNs = 250'000'000;

int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int progress_cb(void *call, curl_off_t dl_total, curl_off_t dl_now, curl_off_t ul_total,
                curl_off_t ul_now) {
    return static_cast<durl_call *>(call)->progress(dl_total, dl_now, ul_total, ul_now);
}

}  // namespace

durl_call::durl_call(durl_handle *handle, const durl_url_param *p, const durl_path &kind)
    : h(handle ? handle : &g_durl.default_handle), param(p), path(kind), log_level(h) {
    url[0] = boundary[0] = report[0] = errbuf[0] = '\0';
    dump.length = dump.capacity = 0;
    dump.text[0] = '\0';
    durl_lock_guard guard(&h->lock);
    if (h->cfg.progress_owner != h) return;
    progress_fn = h->cfg.progress_fn;
    progress_context = h->cfg.progress_context;
}

int durl_call::borrow() {
    curl = durl_get_curlhandle(h, param->keep_alive, &lent);
    if (!curl) {
        log_line(path.no_easy_handle);
        return DURL_RC_NO_EASY_HANDLE;
    }
    cached = true;
    easy.curl = curl;
    if (lent) start_on_cached();
    (void)easy.set_each_call(CURLOPT_ERRORBUFFER, static_cast<char *>(errbuf));
    return 0;
}

void durl_call::use(CURL *owned_elsewhere) {
    curl = easy.curl = owned_elsewhere;
    durl_setopt_unchecked(curl, CURLOPT_ERRORBUFFER, static_cast<char *>(errbuf));
}

void durl_call::start_on_cached() {
    if (!h->cache_options) h->cache_options = new (std::nothrow) durl_optlist;
    durl_optlist *held = h->cache_options;
    if (!held) return;  // never tracked, so the easy handle is at libcurl's defaults
    if (may_keep_options()) {
        easy.track(held);
        return;
    }
    // Every other request starts from libcurl's defaults.
    if (held->size() == 0) return;
    durl_easy::reset(curl);
    held->clear();
}

// Plain GET downloads, the calls an application repeats against one server, and the only
// ones whose libcurl state after a clean end is fully described by their options.
bool durl_call::may_keep_options() const {
    return &path == &kDownloadPath && param->method == DURL_METHOD_GET && !param->user[0] &&
           !param->password[0] && !durl_url_login(param->url);
}

// libcurl keeps some per-transfer state across transfers that only a reset clears: the
// referer and method switch of a followed redirect, the authentication a server asked for,
// and the count of retries on connections found dead (a retry always opens a new one). After
// a transfer that touched none of these, the easy handle holds nothing a reset would remove
// but the options, which the next call compares.
bool durl_call::keep_options() const {
    if (!easy.tracking() || !performed_ok || !durl_is_http(scheme)) return false;
    long code = 0, redirects = -1, connects = -1;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &redirects);
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
    return redirects == 0 && connects == 0 && code != 401 && code != 407;
}

int durl_call::analyse() {
    scheme = durl_url_analysis(param->url, url, sizeof url);
    if (scheme != DURL_PROTO_UNKNOWN) return 0;
    log_line(path.url_format_err);
    return DURL_RC_BAD_URL;
}

int durl_call::set_url(const char *target) {
    CURLcode rc = easy.set_each_call(CURLOPT_URL, target);
    if (rc != CURLE_OK) log_msg(DURL_LOG_ERR, path.url_refused, curl_easy_strerror(rc));
    return rc;
}

int durl_call::connect() {
    int code = durl_curl_connect(h, easy, param, scheme);
    if (code) {
        log_line(path.connect_err);
        return code;
    }
    {
        durl_lock_guard guard(&h->lock);
        cap.limit = h->cfg.max_filesize;
    }
    // FTPS gets neither credentials nor TLS options from the connection setup (see
    // durl_curl_connect), yet its TLS session is described like an HTTPS one.
    if (durl_is_http(scheme) || scheme == DURL_PROTO_FTPS)
        durl_tls_watch_start(easy, &watch, &dump, durl_is_http(scheme));
    if (progress_fn) {
        durl_setopt_unchecked(easy, CURLOPT_XFERINFOFUNCTION, progress_cb);
        (void)easy.set_each_call(CURLOPT_XFERINFODATA, static_cast<void *>(this));
        durl_setopt_unchecked(easy, CURLOPT_NOPROGRESS, 0L);
    }
    if (!durl_is_http(scheme)) return 0;
    if (!set_headers()) {
        log_line(path.header_err);
        return path.header_code;
    }
    if (path.tcp_keepalive && lent) {
        durl_setopt_unchecked(easy, CURLOPT_TCP_KEEPALIVE, 1L);
        durl_setopt_unchecked(easy, CURLOPT_TCP_KEEPIDLE, 120L);
        durl_setopt_unchecked(easy, CURLOPT_TCP_KEEPINTVL, 20L);
    }
    return 0;
}

// A request that keeps its options keeps its header list with them (it would build the same
// one next time); any other owns its list until it ends.
bool durl_call::set_headers() {
    durl_optlist *held = easy.tracking() && !webticket ? h->cache_options : nullptr;
    curl_slist *same = held ? held->headers_for(param->headers, param->keep_alive) : nullptr;
    if (same) return easy.set(CURLOPT_HTTPHEADER, same) == CURLE_OK;
    // Lines too long to be noted make a list of this call's own.
    if (held && !held->headers_from(param->headers, param->keep_alive)) held = nullptr;
    if (!held) {
        headers.reset(durl_http_header(easy, param->headers, param->user, param->password,
                                       param->auth, path.form_boundary ? boundary : nullptr,
                                       param->keep_alive, webticket));
        return headers != nullptr;
    }
    durl::CurlSlistPtr list(durl_http_header_list(param->headers, param->user, param->password,
                                                  param->auth, nullptr, param->keep_alive, 0));
    if (!list || easy.set(CURLOPT_HTTPHEADER, list.get()) != CURLE_OK) return false;
    held->keep_headers(std::move(list));
    return true;
}

int durl_call::perform(CURL *c) {
    if (int rc = start_perform(c)) return rc;
    return finish_perform(c, curl_easy_perform(c));
}

int durl_call::start_perform(CURL *c) {
    errbuf[0] = '\0';
    cap.received = 0;
    cap.exceeded = false;
    return c == curl ? easy.complete() : CURLE_OK;
}

int durl_call::finish_perform(CURL *c, int code) {
    CURLcode rc = static_cast<CURLcode>(code);
    if (rc == CURLE_LOGIN_DENIED &&
        durl_ftp_anonymous_perform(c, url, param->user, param->password) == 0)
        rc = curl_easy_perform(c);
    if (rc == CURLE_WRITE_ERROR && cap.exceeded) {
        rc = CURLE_FILESIZE_EXCEEDED;
        std::snprintf(errbuf, sizeof errbuf, "Maximum file size exceeded");
        log_msg(DURL_LOG_ERR, "transfer: body passed the size limit of %llu bytes, stopped.\n",
                static_cast<unsigned long long>(cap.limit));
    }
    if (rc != CURLE_OK && errbuf[0] && path.detail) log_msg(DURL_LOG_ERR, path.detail, errbuf);
    // A side query on a copy (an FTP append's size) is no end of the transfer.
    if (rc == CURLE_OK && c == curl) {
        performed_ok = true;
        progress_final();
    }
    return rc;
}

int durl_call::progress(curl_off_t dl_total, curl_off_t dl_now, curl_off_t ul_total,
                        curl_off_t ul_now) {
    if (!progress_fn || progress_stopped) return progress_stopped ? 1 : 0;
    const int64_t now = monotonic_ns();
    if (progress_last_ns >= 0 && now - progress_last_ns < kProgressGapNs) return 0;
    progress_last_ns = now;
    if (progress_fn(progress_context, dl_now, dl_total, ul_now, ul_total) == 0) return 0;
    log_msg(DURL_LOG_NOTICE, "transfer stopped by the progress callback.\n");
    progress_stopped = true;
    return 1;
}

void durl_call::progress_final() {
    if (!progress_fn || !curl) return;
    curl_off_t dl_now = 0, dl_total = 0, ul_now = 0, ul_total = 0;
    curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &dl_now);
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &dl_total);
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &ul_now);
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_UPLOAD_T, &ul_total);
    (void)progress_fn(progress_context, dl_now, dl_total < 0 ? 0 : dl_total, ul_now,
                      ul_total < 0 ? 0 : ul_total);
}

int durl_call::outcome(int curl_code) {
    return durl_get_recode(curl, param, report, curl_code, scheme, param->no_redirect);
}

void durl_call::fill(durl_result *result, int code) const {
    if (!result) return;
    result->recode = code;
    if (report[0]) std::snprintf(result->effective_url, sizeof result->effective_url, "%s", report);
}

void durl_call::release() {
    headers.reset();
    if (!curl) return;
    // The error buffer lives in this object; an easy handle that outlives it must not
    // point at it (a cached one is reset or cleaned up on its return).
    if (cached && lent && keep_options()) {
        easy.forget_call();
        durl_keep_curlhandle(h);
    } else if (cached) {
        durl_close_curlhandle(h, curl, param->keep_alive, lent);
    } else
        durl_setopt_unchecked(curl, CURLOPT_ERRORBUFFER, static_cast<char *>(nullptr));
    curl = nullptr;
    durl_ssl_dump_store(h, &dump);
}

int durl_ftp_anonymous_perform(CURL *curl, const char *url, const char *user,
                               const char *password) {
    if (!url || !user || !password) return DURL_RC_RETRY_NOT_APPLICABLE;
    if (strncasecmp(url, "ftp://", 6) != 0 && strncasecmp(url, "ftps://", 7) != 0)
        return DURL_RC_RETRY_NOT_APPLICABLE;
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_USERNAME, "anonymous");
    if (rc != CURLE_OK) {
        log_msg(DURL_LOG_ERR, "FTP retry, set anonymous err.\n");
        return rc;
    }
    rc = curl_easy_setopt(curl, CURLOPT_PASSWORD, "@");
    if (rc != CURLE_OK) {
        log_msg(DURL_LOG_ERR, "FTP retry, set passwd err.\n");
        return rc;
    }
    return 0;
}
