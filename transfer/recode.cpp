// The result code space: the fold of engine codes into caller codes, the reading of a
// finished transfer's outcome, and the shared entry-point frame.
#include <strings.h>

#include <cstdio>

#include "engine.h"
#include "frame.h"

int durl_recode_change(int code, int32_t *recode) {
    int stored = code;
    int result = code;
    if (code >= 1 && code <= 99) {
        // libcurl's own error n: kept apart from server statuses and our codes.
        stored = result = -100 - code;
    } else if (code >= 100) {
        // A server status: the caller sees success or -1, and the status in recode.
        result = code <= 299 ? 0 : -1;
    }
    if (recode) *recode = stored;
    return result;
}

namespace {

// Where the transfer ended up, when it is worth reporting: the final URL after followed
// redirects, or the target of a redirect that was not followed.
void report_final_url(CURL *curl, const durl_url_param *param, char *report) {
    long redirects = 0;
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &redirects);
    char *url = nullptr;
    curl_easy_getinfo(curl, redirects > 0 ? CURLINFO_EFFECTIVE_URL : CURLINFO_REDIRECT_URL, &url);
    if (!url) return;
    if (param && strcasecmp(url, param->url) == 0) return;
    snprintf(report, 1024, "%s", url);
}

}  // namespace

int durl_get_recode(CURL *curl, const durl_url_param *param, char *report, int curl_code,
                    int scheme, int no_redirect) {
    if (curl_code != 0 || scheme == DURL_PROTO_TFTP) return curl_code;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);

    int code = 0;
    bool kept_redirect = (status == 301 || status == 302) && no_redirect == 1;
    if (status >= 100 && status <= 199) {
        log_msg(DURL_LOG_INFO, "Recode is %ld, Resources to prepare.\n", status);
    } else if ((status >= 200 && status <= 299) || kept_redirect) {
        log_msg(DURL_LOG_INFO, "Recode is %ld, Request ok.\n", status);
    } else {
        log_msg(DURL_LOG_ERR, "Recode is %ld, Request err.\n", status);
        code = static_cast<int>(status);
    }
    if (durl_is_http(scheme) && report) report_final_url(curl, param, report);
    return code;
}

// ------------------------------------------------------------------ entry-point frame

int durl_entry_resolve(const durl_entry_lines &lines, durl_handle *handle, durl_handle **out) {
    durl_handle *h = handle;
    const bool null_handle = !h || (lines.default_is_null && h == &g_durl.default_handle);
    const char *refused = nullptr;
    if (null_handle) {
        h = &g_durl.default_handle;
    } else if (durl_check_global_type(h) != 0) {
        // Whatever the registry says (unknown, or not initialised), the caller sees -102.
        refused = lines.registry ? lines.registry : "";
    }
    if (!refused && lines.live != durl_live_check::skipped && h->in_use != 1)
        refused = lines.live == durl_live_check::logged && lines.not_live ? lines.not_live : "";
    if (refused) {
        if (lines.entry) log_msg(DURL_LOG_INFO, "%s", lines.entry);
        if (null_handle && lines.null_handle) log_msg(DURL_LOG_INFO, "%s", lines.null_handle);
        if (refused[0]) log_msg(DURL_LOG_ERR, "%s", refused);
        return DURL_RC_BAD_HANDLE;
    }
    // The call's lines follow its handle's level from the first one on.
    durl_log_scope level(h);
    if (lines.entry) log_msg(DURL_LOG_INFO, "%s", lines.entry);
    if (null_handle && lines.null_handle) log_msg(DURL_LOG_INFO, "%s", lines.null_handle);
    *out = h;
    return 0;
}

int durl_arg_error(const char *line) {
    log_msg(DURL_LOG_ERR, "%s", line);
    return DURL_RC_BAD_ARGUMENT;
}

void durl_log_exception(const char *what, bool no_memory) noexcept {
    try {
        log_msg(DURL_LOG_ERR, "%s failed: %s.\n", what,
                no_memory ? "out of memory" : "internal error");
    } catch (...) {
        // Only an application's log hook can throw here; the caller still gets its code.
    }
}
