// Connection cache: each handle keeps one easy handle alive between transfers so that a
// caller sending many requests to one server reuses the open connection, its TLS session
// and resolved names. A transfer that finds it lent uses a short-lived handle instead.
#include "engine.h"

CURL *durl_get_curlhandle(durl_handle *h, int keep_alive, int *lent) {
    if (!h || keep_alive == 0) {
        log_msg(DURL_LOG_INFO, "Use new short connect.\n");
        return curl_easy_init();
    }
    durl_lock_guard guard(&h->cache_lock);
    if (h->cache_busy == 1) {
        // Never wait for the kept handle: a second transfer runs on its own connection.
        log_msg(DURL_LOG_INFO, "Cache connect is busy, Use new short connect.\n");
        return curl_easy_init();
    }
    if (!h->cache_curl) {
        log_msg(DURL_LOG_INFO, "No cache connect, Create new connect.\n");
        h->cache_curl = curl_easy_init();
        if (!h->cache_curl) return nullptr;
    } else {
        log_msg(DURL_LOG_INFO, "Use cache connect.\n");
    }
    h->cache_busy = 1;
    if (lent) *lent = 1;
    return h->cache_curl;
}

void durl_close_curlhandle(durl_handle *h, CURL *curl, int keep_alive, int lent) {
    if (!curl) return;
    if (!h || keep_alive == 0 || lent == 0) {
        log_msg(DURL_LOG_INFO, "Connect is short Cleanup curl.\n");
        curl_easy_cleanup(curl);
        return;
    }
    durl_lock_guard guard(&h->cache_lock);
    log_msg(DURL_LOG_INFO, "Connect is keep Reset curl.\n");
    durl_setopt_unchecked(curl, DURL_XOPT_CONN_RESET, 1L);
    // Every option returns to libcurl's default (including callbacks and the error buffer,
    // which point into the finished transfer's stack); connections and caches stay.
    curl_easy_reset(curl);
    h->cache_busy = 0;
}
