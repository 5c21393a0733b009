// Upload: one local file to a URL, as a multipart form or raw body over HTTP and HTTPS, as
// a store (or size-limited append) over FTP and FTPS, or over TFTP; an HTTP PUT may carry
// no file at all.
#include <strings.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "call.h"
#include "frame.h"

namespace {

constexpr const char *kFileContentType =
    "application/octet-stream\r\nContent-Transfer-Encoding: binary";

struct form_free {
    void operator()(curl_httppost *p) const noexcept { curl_formfree(p); }
};
using FormPtr = std::unique_ptr<curl_httppost, form_free>;

bool is_ftp(int scheme) { return scheme == DURL_PROTO_FTP || scheme == DURL_PROTO_FTPS; }

// The server's answer to SIZE as it came over the wire. libcurl reads a size from the last
// digits of the line, so "-1048576" reaches its length as 1048576, and turns a number too
// long for 64 bits into 0: an append would then resume at a size the server never gave. The
// append therefore reads the answer itself, through the trace of the size query.
struct size_answer {
    bool asked = false;     // SIZE went out; the next reply line is its answer
    bool answered = false;  // ... and that line is in text
    bool trace = false;     // the handle's debug trace, which the query keeps
    char text[128] = {0};

    // 1: a plain count that fits in 64 bits, stored in size; 0: no size given (not a 213
    // answer); -1: a 213 answer that is not such a count.
    int parse(curl_off_t *size) const {
        if (!answered || std::strncmp(text, "213 ", 4) != 0) return 0;
        const char *p = text + 4;
        while (*p == ' ') ++p;
        uint64_t value = 0;
        const char *digits = p;
        for (; *p >= '0' && *p <= '9'; ++p) {
            const auto d = static_cast<uint64_t>(*p - '0');
            if (value > (static_cast<uint64_t>(INT64_MAX) - d) / 10) return -1;
            value = value * 10 + d;
        }
        if (p == digits) return -1;
        while (*p == ' ' || *p == '\r' || *p == '\n') ++p;
        if (*p != '\0') return -1;
        *size = static_cast<curl_off_t>(value);
        return 1;
    }
};

int size_answer_cb(CURL *curl, curl_infotype kind, char *data, size_t size, void *user) {
    auto *a = static_cast<size_answer *>(user);
    if (kind == CURLINFO_HEADER_OUT && size >= 5 && strncasecmp(data, "SIZE ", 5) == 0) {
        a->asked = true;
    } else if (kind == CURLINFO_HEADER_IN && a->asked && !a->answered) {
        a->answered = true;
        const size_t n = size < sizeof a->text - 1 ? size : sizeof a->text - 1;
        std::memcpy(a->text, data, n);
        a->text[n] = '\0';
    }
    return a->trace ? durl_trace_debug(curl, kind, data, size, nullptr) : 0;
}

bool regular_file(const char *path) {
    struct stat st;
    return path && path[0] && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Everything one upload owns beyond the per-call setup; released by its members.
struct upload_call {
    upload_call(durl_handle *h, const durl_url_param *p, const char *f, const char *rn,
                durl_result *r)
        : call(h, p, kUploadPath), param(p), file_name(f), remote_name(rn), result(r) {}
    durl_call call;
    const durl_url_param *param;
    const char *file_name;
    const char *remote_name;
    durl_result *result;
    CURL *curl = nullptr;
    int scheme = DURL_PROTO_UNKNOWN;
    bool have_file = false;
    char target[1024] = {0};
    char name[512] = {0};
    durl::FilePtr file;
    FormPtr form;

    int run();
    int raw_path();
    int set_body(curl_off_t *local_size);
    int make_target();
    int check_append(curl_off_t local_size);
    int server_size(curl_off_t *size);
    int form_path();
    int finish(int code);
};

int upload_call::run() {
    int code = call.analyse();
    if (code) return code;
    curl = call.curl;
    scheme = call.scheme;
    have_file = regular_file(file_name);
    if (!have_file) {
        if (!(durl_is_http(scheme) && param->method == DURL_METHOD_PUT)) {
            log_msg(DURL_LOG_ERR, "upload file is null or noexist.\n");
            return DURL_RC_BAD_ARGUMENT;
        }
        log_msg(DURL_LOG_WARNING, "upload file is null or noexist, will put a msg.\n");
    }
    code = call.connect();
    if (code) return code;
    // The server's answer is not kept; without a sink libcurl would print it on stdout.
    code = durl_setopt(curl, CURLOPT_WRITEFUNCTION, durl_discard_cb);
    if (code) return code;
    if (remote_name && remote_name[0]) {
        std::snprintf(name, sizeof name, "%s", remote_name);
    } else if (file_name) {
        const char *last = durl_get_filename(file_name, static_cast<int>(std::strlen(file_name)));
        if (last) std::snprintf(name, sizeof name, "%s", last);
    }
    if (!durl_is_http(scheme) || param->method == DURL_METHOD_PUT || param->raw_upload != 0)
        return raw_path();
    return form_path();
}

int upload_call::make_target() {
    const char *url = call.url;
    const size_t len = std::strlen(url);
    const char *authority = std::strstr(url, "://");
    const bool names_dir =
        (len > 0 && url[len - 1] == '/') || (authority && !std::strchr(authority + 3, '/'));
    // An HTTP POST goes to the URL as given; otherwise a directory URL or an explicit remote
    // name gets the upload name appended.
    const bool join = !(durl_is_http(scheme) && param->method == DURL_METHOD_POST) &&
                      ((remote_name && remote_name[0]) || names_dir);
    const char *sep = (len > 0 && url[len - 1] == '/') ? "" : "/";
    const int n = join ? std::snprintf(target, sizeof target, "%s%s%s", url, sep, name)
                       : std::snprintf(target, sizeof target, "%s", url);
    // A cut URL would store the file somewhere else: refuse it like a malformed one.
    if (n < 0 || static_cast<size_t>(n) >= sizeof target) {
        log_msg(DURL_LOG_ERR, "upload common: URL format err.\n");
        return DURL_RC_BAD_URL;
    }
    return 0;
}

int upload_call::set_body(curl_off_t *local_size) {
    *local_size = 0;
    if (have_file) {
        if (!regular_file(file_name)) {
            log_msg(DURL_LOG_ERR, "filename is empry or file not exist.\n");
            return DURL_RC_BAD_ARGUMENT;
        }
        file.reset(std::fopen(file_name, "rb"));
        struct stat st;
        if (!file || fstat(fileno(file.get()), &st) != 0) {
            log_msg(DURL_LOG_ERR, "upload common: Fopen file error.\n");
            return DURL_RC_FILE_NOT_OPENED;
        }
        *local_size = st.st_size;
        durl_setopt_unchecked(curl, CURLOPT_UPLOAD, 1L);
        int rc = durl_setopt(curl, CURLOPT_READDATA, static_cast<void *>(file.get()));
        if (rc == 0) rc = durl_setopt(curl, CURLOPT_INFILESIZE_LARGE, *local_size);
        if (rc) return rc;
        if (durl_is_http(scheme) && param->method == DURL_METHOD_POST) {
            durl_setopt_unchecked(curl, CURLOPT_POST, 1L);
            durl_setopt_unchecked(curl, CURLOPT_POSTFIELDSIZE_LARGE, *local_size);
        }
        return 0;
    }
    // An empty PUT: nothing may be read, least of all the host's standard input.
    durl_setopt_unchecked(curl, CURLOPT_PUT, 1L);
    durl_setopt_unchecked(curl, CURLOPT_READFUNCTION, durl_empty_read_cb);
    durl_setopt_unchecked(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t{0});
    return 0;
}

int upload_call::raw_path() {
    int code = make_target();
    if (code) return code;
    code = call.set_url(target);
    if (code) return code;
    if (scheme == DURL_PROTO_TFTP) durl_setopt_unchecked(curl, CURLOPT_TFTP_NO_OPTIONS, 1L);
    curl_off_t local_size = 0;
    code = set_body(&local_size);
    if (code == 0 && is_ftp(scheme) && param->ftp_append == 1) code = check_append(local_size);
    if (code) return code;
    return call.outcome(call.perform(curl));
}

int upload_call::server_size(curl_off_t *size) {
    durl::CurlPtr query(curl_easy_duphandle(curl));
    int rc = query ? 0 : CURLE_OUT_OF_MEMORY;
    size_answer answer;
    if (rc == 0) {
        {
            durl_lock_guard guard(&call.h->lock);
            answer.trace = call.h->debug_trace != 0;
        }
        durl_setopt_unchecked(query.get(), CURLOPT_UPLOAD, 0L);
        durl_setopt_unchecked(query.get(), CURLOPT_NOBODY, 1L);
        // The size arrives as pseudo-headers on the write callback: keep them off stdout.
        durl_setopt_unchecked(query.get(), CURLOPT_WRITEFUNCTION, durl_discard_cb);
        durl_setopt_unchecked(query.get(), CURLOPT_HEADERFUNCTION, durl_discard_cb);
        durl_setopt_unchecked(query.get(), CURLOPT_DEBUGFUNCTION, size_answer_cb);
        durl_setopt_unchecked(query.get(), CURLOPT_DEBUGDATA, static_cast<void *>(&answer));
        durl_setopt_unchecked(query.get(), CURLOPT_VERBOSE, 1L);
        rc = call.perform(query.get());
        // Appending to a file that does not exist yet creates it: nothing is there to count.
        if (rc == CURLE_REMOTE_FILE_NOT_FOUND) {
            *size = 0;
            return 0;
        }
    }
    if (rc) {
        log_msg(DURL_LOG_ERR, "While get servfilesize, curl perform error.\n");
        return rc;
    }
    curl_off_t length = -1;
    rc = curl_easy_getinfo(query.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (rc) {
        log_msg(DURL_LOG_ERR, "While get servfilesize, curl get info error.\n");
        return rc;
    }
    // A negative size or one beyond 64 bits says nothing sane about the remote file:
    // appending there would resume at a guess, so nothing is sent.
    switch (answer.parse(size)) {
        case 1:
            return 0;
        case -1:
            log_msg(DURL_LOG_ERR, "upload common: server file size not usable, append refused.\n");
            return CURLE_WEIRD_SERVER_REPLY;
        default:
            *size = length < 0 ? 0 : length;
            return 0;
    }
}

int upload_call::check_append(curl_off_t local_size) {
    curl_off_t remote = 0;
    int rc = server_size(&remote);
    if (rc) {
        log_msg(DURL_LOG_ERR, "get server file size error.\n");
        return rc;
    }
    const uint32_t limit = durl_config_snapshot(call.h).max_filesize;
    // 0 means "no limit", as it does for downloads; the sum is taken wide so that large
    // files cannot wrap around below the limit.
    if (limit != 0 && static_cast<uint64_t>(remote) + static_cast<uint64_t>(local_size) > limit) {
        switch (param->append_limit) {
            case 1:
                durl_setopt_unchecked(curl, CURLOPT_APPEND, 0L);
                log_msg(DURL_LOG_WARNING,
                        "Server file size more than limit, delete the previous one.\n");
                return 0;
            case 2:
                log_msg(DURL_LOG_WARNING, "Server file size more than limit, cancle upload.\n");
                return DURL_RC_SIZE_LIMIT;
            default:
                log_msg(DURL_LOG_WARNING, "Unsupported ftp append limit.\n");
                return DURL_RC_APPEND_LIMIT_UNKNOWN;
        }
    }
    return durl_setopt(curl, CURLOPT_APPEND, 1L);
}

int upload_call::form_path() {
    int code = call.set_url(call.url);
    if (code) return code;
    durl_config cfg = durl_config_snapshot(call.h);
    curl_httppost *first = nullptr;
    code = durl_upload_form(&first, cfg.disposition, cfg.extern_disposition, cfg.extern_body,
                            file_name, name);
    form.reset(first);
    if (code) return code;
    if (call.boundary[0])
        durl_setopt_unchecked(curl, DURL_XOPT_BOUNDARY, static_cast<const char *>(call.boundary));
    code = durl_setopt(curl, CURLOPT_POST, 1L);
    if (code == 0) code = durl_setopt(curl, CURLOPT_HTTPPOST, form.get());
    if (code) return code;
    // A form upload is HTTP only: the anonymous FTP retry never applies.
    code = call.outcome(call.perform(curl));
    form.reset();
    return code;
}

int upload_call::finish(int code) {
    file.reset();
    form.reset();
    call.release();
    if (code)
        log_msg(DURL_LOG_ERR, "Upload file error.\n");
    else
        log_msg(DURL_LOG_INFO, "Upload success.\n");
    call.fill(result, code);
    return code;
}

}  // namespace

int durl_upload_form(curl_httppost **first, const char *disposition, const char *extern_name,
                     const char *extern_body, const char *file_name, const char *send_name) {
    curl_httppost *last = nullptr;
    if (extern_name && extern_name[0] && extern_body && extern_body[0]) {
        curl_formadd(first, &last, CURLFORM_COPYNAME, extern_name, CURLFORM_COPYCONTENTS,
                     extern_body, CURLFORM_END);
    }
    CURLFORMcode rc = CURL_FORMADD_NULL;
    if (file_name) {
        rc = curl_formadd(first, &last, CURLFORM_COPYNAME, disposition, CURLFORM_CONTENTTYPE,
                          kFileContentType, CURLFORM_FILE, file_name, CURLFORM_FILENAME,
                          send_name ? send_name : "", CURLFORM_END);
    }
    if (rc == CURL_FORMADD_OK) return 0;
    // Without its file part the form would be sent empty and the server would take a
    // request without the file for an upload: nothing is sent.
    log_msg(DURL_LOG_ERR, "Formadd sendfile info error.\n");
    log_msg(DURL_LOG_ERR, "upload common: file part not added (form error %d), nothing sent.\n",
            static_cast<int>(rc));
    return rc == CURL_FORMADD_MEMORY ? DURL_RC_NO_MEMORY : DURL_RC_BAD_ARGUMENT;
}

const char *durl_get_filename(const char *path, int length) {
    if (!path) return nullptr;
    if (length > 0 && path[length - 1] == '/') return nullptr;
    const int end = length < 1024 ? length : 1024;
    const char *name = path;
    for (int i = 0; i < end && path[i] != '\0'; ++i)
        if (path[i] == '/') name = path + i + 1;
    return name;
}

int durl_upload_common(durl_handle *h, const durl_url_param *param, const char *file_name,
                       const char *remote_name, durl_result *result) {
    if (!param || (!file_name && param->method != DURL_METHOD_PUT)) {
        log_msg(DURL_LOG_ERR, "upload common: Parameter is error.\n");
        return DURL_RC_BAD_ARGUMENT;
    }
    upload_call up(h, param, file_name, remote_name, result);
    int code = up.call.borrow();
    if (code) return code;
    return up.finish(up.run());
}

extern "C" int durl_upload(durl_handle *handle, durl_result *result, const durl_url_param *param,
                           const char *path, const char *send_name) {
    static const durl_entry_lines lines = {"upload file...\n",
                                           "upload use global, handle is empty.\n",
                                           "upload fails, You must call the init function.\n",
                                           "upload fails, handle is no init.\n",
                                           durl_live_check::logged,
                                           false};
    return durl_entry(lines, handle, [&](durl_handle *h) -> int {
        if (int rc = durl_request_texts_check(param, send_name)) return rc;
        int32_t *recode = result ? &result->recode : nullptr;
        return durl_recode_change(durl_upload_common(h, param, path, send_name, result), recode);
    });
}
