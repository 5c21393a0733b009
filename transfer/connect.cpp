// Connection setup: turns one handle's settings and one request into libcurl options, and
// attaches every easy handle to the process-wide DNS share.
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "engine.h"

namespace {

// The share objects live until the process ends: easy handles cached by handles or held by
// streams may still point at one after durl_cleanup() or after it was replaced.
struct share_store {
    std::mutex lock;  // guards everything below
    CURLSH *current = nullptr;
    // Replaced shares: still attached to easy handles that have not started another call.
    std::vector<CURLSH *> retired;
    // Each trust input seen so far and how it looked then.
    std::map<std::string, std::tuple<dev_t, ino_t, int64_t, int64_t, int64_t>> seen;
};
// Never destroyed: a replaced share must outlive every easy handle, to the process's end.
share_store &g_share = *new share_store;

// One lock per kind of shared data: a name lookup never waits for a session store, and
// transfers on parallel threads take each kind in turn.
std::mutex g_share_locks[CURL_LOCK_DATA_LAST];

std::mutex &share_lock_for(curl_lock_data data) {
    auto i = static_cast<size_t>(data);
    return g_share_locks[i < CURL_LOCK_DATA_LAST ? i : 0];
}

void durl_curl_share_lock(CURL * /*easy*/, curl_lock_data data, curl_lock_access /*access*/,
                          void * /*user*/) {
    share_lock_for(data).lock();
}

void dl_curl_share_unlock(CURL * /*easy*/, curl_lock_data data, void * /*user*/) {
    share_lock_for(data).unlock();
}

// Resolved names and TLS sessions, kept across calls and handles. libcurl offers a session
// only to a connection whose TLS settings (CA directory and file, client certificate,
// verification flags, versions, ciphers) equal those it was made with.
CURLSH *create_share() {
    CURLSH *share = curl_share_init();
    if (!share) return nullptr;
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, durl_curl_share_lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, dl_curl_share_unlock);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    return share;
}

// The parts of the handle that the setup reads, copied under its lock so no lock is held
// while libcurl is configured. Only these fields, and the texts only up to their end: the
// whole settings record is several kilobytes, copied on every call.
struct connect_settings {
    int32_t debug_trace;
    char custom_method[sizeof durl_handle::custom_method];
    struct {
        // Time and size limits, address family (set_common).
        int32_t connect_timeout, operate_timeout, low_speed_time, low_speed_limit;
        uint32_t max_filesize;
        int32_t net_ipv6, net_preferred;
        // HTTP (set_http, set_post).
        int32_t max_redirs, keep_post, auto_referer, recv_buffer;
        char user_agent[sizeof durl_config::user_agent];
        char addition_body[sizeof durl_config::addition_body];
    } cfg;
};

connect_settings copy_settings(durl_handle *h) {
    connect_settings s;
    durl_lock_guard guard(&h->lock);
    const durl_config &c = h->cfg;
    s.debug_trace = h->debug_trace;
    durl_copy_text(s.custom_method, h->custom_method);
    s.cfg.net_ipv6 = c.net_ipv6;
    s.cfg.net_preferred = c.net_preferred;
    s.cfg.connect_timeout = c.connect_timeout;
    s.cfg.operate_timeout = c.operate_timeout;
    s.cfg.low_speed_time = c.low_speed_time;
    s.cfg.low_speed_limit = c.low_speed_limit;
    s.cfg.max_filesize = c.max_filesize;
    s.cfg.max_redirs = c.max_redirs;
    s.cfg.keep_post = c.keep_post;
    s.cfg.auto_referer = c.auto_referer;
    s.cfg.recv_buffer = c.recv_buffer;
    durl_copy_text(s.cfg.user_agent, c.user_agent);
    durl_copy_text(s.cfg.addition_body, c.addition_body);
    return s;
}

// Trace, time limits, size limit, address family and stall detection.
void set_common(durl_easy &easy, const connect_settings &s, int scheme) {
    // Without a reader of level-6 lines the trace is not even produced: libcurl then skips
    // the texts it would build for it.
    if ((durl_is_http(scheme) || s.debug_trace) && durl_log_wanted(DURL_LOG_INFO)) {
        durl_setopt_unchecked(easy, CURLOPT_VERBOSE, 1L);
        curl_debug_callback trace = s.debug_trace ? durl_trace_debug : durl_trace_normal;
        durl_setopt_unchecked(easy, CURLOPT_DEBUGFUNCTION, trace);
    } else {
        durl_setopt_unchecked(easy, CURLOPT_VERBOSE, 0L);
    }
    long connect_timeout = s.cfg.connect_timeout;
    long operate_timeout = s.cfg.operate_timeout;
    if (scheme == DURL_PROTO_TFTP) {
        // TFTP has no connection to wait for; short limits end healthy transfers early.
        if (connect_timeout < 15) connect_timeout = 15;
        if (operate_timeout != 0 && operate_timeout < 15) operate_timeout = 15;
    }
    durl_setopt_unchecked(easy, CURLOPT_CONNECTTIMEOUT, connect_timeout);
    durl_setopt_unchecked(easy, CURLOPT_TIMEOUT, operate_timeout);
    durl_setopt_unchecked(easy, CURLOPT_MAXFILESIZE_LARGE,
                          static_cast<curl_off_t>(s.cfg.max_filesize));
    if (s.cfg.net_ipv6 == 0) {
        durl_setopt_unchecked(easy, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
    } else {
        durl_setopt_unchecked(easy, DURL_XOPT_NET_PREFERRED, s.cfg.net_preferred ? 1L : 0L);
        durl_setopt_unchecked(easy, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_WHATEVER));
    }
    long low_speed_time = s.cfg.low_speed_time ? s.cfg.low_speed_time : s.cfg.connect_timeout;
    durl_setopt_unchecked(easy, CURLOPT_LOW_SPEED_TIME, low_speed_time);
    durl_setopt_unchecked(easy, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(s.cfg.low_speed_limit));
}

// Credentials from the request, unless the URL carries its own.
int set_login(durl_easy &easy, const durl_url_param *param) {
    if (durl_url_login(param->url)) return 0;
    int rc = 0;
    if (param->user[0]) rc = durl_setopt(easy, CURLOPT_USERNAME, param->user);
    if (rc == 0 && param->password[0]) rc = durl_setopt(easy, CURLOPT_PASSWORD, param->password);
    return rc;
}

bool has_body(const durl_url_param *param) {
    return param->post_data && (param->post_data[0] != '\0' || param->post_size != 0);
}

int set_body(durl_easy &easy, const durl_url_param *param) {
    // libcurl keeps the caller's pointer rather than a copy.
    int rc = durl_setopt_each_call(easy, CURLOPT_POSTFIELDS,
                                   static_cast<const void *>(param->post_data));
    if (rc) return rc;
    long size =
        param->post_size ? param->post_size : static_cast<long>(std::strlen(param->post_data));
    return durl_setopt(easy, CURLOPT_POSTFIELDSIZE, size);
}

int set_post(durl_easy &easy, const durl_url_param *param, const connect_settings &s) {
    if (has_body(param)) {
        int rc = durl_setopt(easy, CURLOPT_POST, 1L);
        if (rc == 0) rc = set_body(easy, param);
        if (rc) return rc;
    } else {
        durl_setopt_unchecked(easy, CURLOPT_CUSTOMREQUEST, "POST");
    }
    if (param->auth == 6 && s.cfg.addition_body[0])
        durl_setopt_unchecked(easy, DURL_XOPT_ADDITION_BODY,
                              static_cast<const char *>(s.cfg.addition_body));
    int rc = durl_setopt(easy, CURLOPT_POSTREDIR, static_cast<long>(s.cfg.keep_post));
    if (rc) log_msg(DURL_LOG_ERR, "While set http keep post, curl info error\n");
    return rc;
}

int set_method(durl_easy &easy, const durl_url_param *param, const connect_settings &s) {
    switch (param->method) {
        case DURL_METHOD_POST:
            return set_post(easy, param, s);
        case DURL_METHOD_DELETE:
            return durl_setopt(easy, CURLOPT_CUSTOMREQUEST, "DELETE");
        case DURL_METHOD_HEAD:
            return durl_setopt(easy, CURLOPT_NOBODY, 1L);
        case DURL_METHOD_CUSTOM: {
            if (!s.custom_method[0]) return 0;
            int rc = durl_setopt(easy, CURLOPT_CUSTOMREQUEST,
                                 static_cast<const char *>(s.custom_method));
            if (rc == 0 && has_body(param)) rc = set_body(easy, param);
            return rc;
        }
        default:
            return 0;
    }
}

int set_http(durl_handle *h, durl_easy &easy, const durl_url_param *param,
             const connect_settings &s) {
    int rc = durl_setopt(easy, CURLOPT_HTTPAUTH,
                         static_cast<unsigned long>(durl_getcurl_auth(param->auth)));
    if (rc == 0) rc = set_login(easy, param);
    if (rc) return rc;
    durl_setopt_unchecked(easy, CURLOPT_BUFFERSIZE, static_cast<long>(s.cfg.recv_buffer));
    if (param->no_redirect == 1) {
        durl_setopt_unchecked(easy, CURLOPT_FOLLOWLOCATION, 0L);
    } else {
        durl_setopt_unchecked(easy, CURLOPT_FOLLOWLOCATION, 1L);
        // Credentials go only where the caller sent them: the user name and password, and an
        // Authorization line among the caller's headers (or the one built for auth 5),
        // follow a redirect only to the same scheme, host and port. libcurl keeps to that
        // rule itself unless this option is on; a cached easy handle may still carry it.
        durl_setopt_unchecked(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
        durl_setopt_unchecked(easy, CURLOPT_AUTOREFERER, static_cast<long>(s.cfg.auto_referer));
    }
    durl_setopt_unchecked(easy, CURLOPT_USERAGENT, static_cast<const char *>(s.cfg.user_agent));
    durl_setopt_unchecked(easy, CURLOPT_MAXREDIRS, static_cast<long>(s.cfg.max_redirs));
    rc = set_method(easy, param, s);
    if (rc) return rc;
    return durl_set_ssl_config(h, easy);
}

int set_ftp(durl_easy &easy, const durl_url_param *param) {
    int rc = durl_setopt(easy, CURLOPT_FTP_USE_EPSV, 0L);
    if (rc == 0) rc = durl_setopt(easy, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_SSL));
    if (rc == 0) rc = set_login(easy, param);
    if (rc) return rc;
    durl_setopt_unchecked(easy, CURLOPT_APPEND, param->ftp_append == 1 ? 1L : 0L);
    return 0;
}

}  // namespace

int durl_setopt_refused(CURLoption option, CURLcode rc) {
    const curl_easyoption *known = curl_easy_option_by_id(option);
    log_msg(DURL_LOG_DEBUG, "curl option %s (%d) refused: %s.\n", known ? known->name : "unknown",
            static_cast<int>(option), curl_easy_strerror(rc));
    return rc;
}

size_t durl_discard_cb(char * /*data*/, size_t size, size_t count, void * /*unused*/) {
    return size * count;
}

size_t durl_empty_read_cb(char * /*buf*/, size_t /*size*/, size_t /*count*/, void * /*unused*/) {
    return 0;
}

void durl_set_share_handle(durl_easy &easy) {
    CURLSH *share = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_share.lock);
        if (!g_share.current) g_share.current = create_share();
        share = g_share.current;
    }
    if (!share) return;
    durl_setopt_unchecked(easy, CURLOPT_SHARE, share);
    durl_setopt_unchecked(easy, CURLOPT_DNS_CACHE_TIMEOUT, 300L);
}

void durl_trust_inputs_seen(const char *const *paths, size_t count) {
    std::lock_guard<std::mutex> guard(g_share.lock);
    bool changed = false;
    for (size_t i = 0; i < count; ++i) {
        if (!paths[i] || !paths[i][0]) continue;
        struct stat st {};
        auto now =
            stat(paths[i], &st) == 0
                ? std::make_tuple(
                      st.st_dev, st.st_ino, static_cast<int64_t>(st.st_size),
                      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                      static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec)
                : std::make_tuple(dev_t{0}, ino_t{0}, int64_t{-1}, int64_t{0}, int64_t{0});
        auto [it, added] = g_share.seen.emplace(paths[i], now);
        if (!added && it->second != now) {
            it->second = now;
            changed = true;
        }
    }
    // libcurl tells sessions apart by the names of the trust inputs, not by what they hold:
    // after a CA was removed from a directory, a resumed session would skip the check that
    // must now fail. Every session made before the change goes with the old share.
    if (!changed || !g_share.current) return;
    log_msg(DURL_LOG_INFO, "trust files changed, TLS sessions dropped.\n");
    g_share.retired.push_back(g_share.current);
    g_share.current = nullptr;
}

long durl_getcurl_auth(int auth) {
    log_msg(DURL_LOG_INFO, "HTTP request use auth = %d.\n", auth);
    switch (auth) {
        case 1:
            return static_cast<long>(CURLAUTH_BASIC);
        case 2:
            return static_cast<long>(CURLAUTH_DIGEST);
        case 3:
            return static_cast<long>(CURLAUTH_NTLM);
        case 4:
            return static_cast<long>(CURLAUTH_GSSNEGOTIATE);
        case 5:
            // The library sends its own authorization header for this code.
            return static_cast<long>(CURLAUTH_NONE);
        default:
            return static_cast<long>(CURLAUTH_ANY);
    }
}

int durl_url_login(const char *url) {
    if (!url) return 0;
    const char *p = std::strstr(url, "://");
    if (!p) return 0;
    p += 3;
    for (int i = 0; i < 256 && p[i] != '\0' && p[i] != '/'; ++i)
        if (p[i] == '@') return 1;
    return 0;
}

int durl_curl_connect(durl_handle *h, durl_easy &easy, const durl_url_param *param, int scheme) {
    if (!h) h = &g_durl.default_handle;
    durl_setopt_unchecked(easy, CURLOPT_NOSIGNAL, 1L);
    connect_settings s = copy_settings(h);
    set_common(easy, s, scheme);
    durl_setopt_unchecked(easy, CURLOPT_MAXCONNECTS, 3L);
    int rc;
    if (durl_is_http(scheme)) {
        rc = set_http(h, easy, param, s);
    } else if (scheme == DURL_PROTO_FTP) {
        rc = set_ftp(easy, param);
    } else {
        // FTPS and TFTP get neither the request's credentials nor the handle's TLS options:
        // those options describe the device's HTTPS peers and its trust directory, while an
        // FTPS server is checked by libcurl's own defaults (peer and name against the
        // system trust store) and takes its login from the URL. Only the TFTP block size,
        // which the other schemes ignore, is set.
        rc = durl_setopt(easy, CURLOPT_TFTP_BLKSIZE, 1432L);
    }
    // After the TLS setup: a change of the trust files it found replaces the share.
    durl_set_share_handle(easy);
    if (rc)
        log_msg(DURL_LOG_ERR, "durl connect: %s.\n", curl_easy_strerror(static_cast<CURLcode>(rc)));
    return rc;
}
