// Download: one URL of any supported scheme into a file or into a heap buffer, the two
// write sinks every transfer of the engine uses, and the anonymous FTP retry.
#include <fcntl.h>
#include <malloc.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "call.h"
#include "frame.h"

namespace {

// Downloads arrive in 2 KiB blocks; a large stdio buffer turns them into few system calls.
constexpr size_t kFileBuffer = size_t{256} * 1024;

// The target file is written under a temporary name beside it and moved into place only
// when the transfer succeeded, so a failed download never destroys the copy already there
// and a partial file is never visible under the target name.
class staged_file {
public:
    ~staged_file() { discard(); }

    bool open(const char *target) {
        target_ = target;
        const long tid = syscall(SYS_gettid);
        for (int attempt = 0; attempt < 100; ++attempt) {
            temp_ = target_ + ".durl-" + std::to_string(tid) + "-" + std::to_string(attempt);
            // O_EXCL: never reuse a name someone else holds; 0666 lets the umask decide,
            // as for a file created in place.
            int fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno == EEXIST) continue;
            if (fd < 0) break;
            file_.reset(fdopen(fd, "wb"));
            if (!file_) {
                ::close(fd);
                ::unlink(temp_.c_str());
                break;
            }
            buffer_.reset(static_cast<char *>(std::malloc(kFileBuffer)));
            if (buffer_) setvbuf(file_.get(), buffer_.get(), _IOFBF, kFileBuffer);
            return true;
        }
        temp_.clear();
        return false;
    }

    FILE *file() const { return file_.get(); }
    bool is_open() const { return !temp_.empty(); }

    // Flushes and moves the file into place; false (and the temporary file gone) when the
    // data did not reach the disk or the name could not be taken.
    bool commit() {
        if (temp_.empty()) return false;
        bool ok = std::fflush(file_.get()) == 0 && !std::ferror(file_.get());
        ok = (std::fclose(file_.release()) == 0) && ok;
        buffer_.reset();
        if (ok && std::rename(temp_.c_str(), target_.c_str()) == 0) {
            temp_.clear();
            return true;
        }
        discard();
        return false;
    }

    void discard() {
        file_.reset();
        buffer_.reset();
        if (!temp_.empty()) ::unlink(temp_.c_str());
        temp_.clear();
    }

private:
    struct free_buffer {
        void operator()(char *p) const noexcept { std::free(p); }
    };
    std::string target_, temp_;
    // The stream writes into buffer_ until it is closed: file_ must go first.
    std::unique_ptr<char, free_buffer> buffer_;
    durl::FilePtr file_;
};

// Makes room for need bytes, never more than ceiling (0: none). Growing by each 2 KiB block
// alone costs a reallocation (and often a system call) per block; a slack of an eighth keeps
// that to a few dozen per body while the buffer never exceeds the body by more than the
// eighth, nor the size cap with its terminator.
char *reserve(char *data, size_t used, size_t need, size_t ceiling) {
    if (!data) return static_cast<char *>(std::malloc(need));
    if (need <= malloc_usable_size(data)) return data;
    size_t want = used + used / 8;
    if (ceiling != 0 && want > ceiling) want = ceiling;
    if (want < need) want = need;
    return static_cast<char *>(std::realloc(data, want));
}

// Hands the gathered bytes over without the growth slack.
char *trimmed(char *data, uint32_t size) {
    char *exact = static_cast<char *>(std::realloc(data, static_cast<size_t>(size) + 1));
    return exact ? exact : data;
}

// Everything one download owns beyond the per-call setup; released by its members.
struct download_call {
    download_call(durl_handle *h, const durl_url_param *p, durl_result *r, const char *f)
        : param(p), result(r), file_name(f), call(h, p, kDownloadPath) {}
    // The call last: its text rooms would otherwise lie between the fields used together.
    const durl_url_param *param;
    durl_result *result;
    const char *file_name;
    staged_file target;
    bool to_memory = false;
    durl_file_sink fsink{0, 0, nullptr};
    durl_mem_sink msink{0, 0, nullptr};
    durl_call call;

    int prepare();
    int open_sink();
    bool cut_at_limit() const;
    int finish(int code);
};

int download_call::prepare() {
    int code = call.analyse();
    if (code == 0) code = call.set_url(call.url);
    if (code == 0) code = call.connect();
    if (code) return code;
    // With a sink limit the body is cut there instead of being refused by its size; that
    // limit then also bounds what the sinks keep, in place of the size cap.
    if (param->max_size != 0)
        durl_setopt_unchecked(call.easy, CURLOPT_MAXFILESIZE_LARGE, curl_off_t{0});
    if (param->max_size > 0) call.cap.limit = 0;
    return open_sink();
}

int download_call::open_sink() {
    durl_easy &curl = call.easy;
    const bool named = file_name && file_name[0];
    if (named && durl_is_http(call.scheme) &&
        (param->method == DURL_METHOD_DELETE || param->method == DURL_METHOD_HEAD)) {
        log_msg(DURL_LOG_INFO, "It is special mothod\n");
        // No file for these; whatever body comes back is not kept.
        return durl_setopt(curl, CURLOPT_WRITEFUNCTION, durl_discard_cb);
    }
    int rc;
    if (named) {
        if (result) result->detail = nullptr;
        if (!target.open(file_name)) {
            log_msg(DURL_LOG_ERR, "Create file error.\n");
            return DURL_RC_FILE_NOT_CREATED;
        }
        fsink = durl_file_sink{0, param->max_size, target.file(), &call.cap};
        rc = durl_setopt(curl, CURLOPT_WRITEFUNCTION, durl_writefile_cb);
        if (rc == 0)
            rc = durl_setopt_each_call(curl, CURLOPT_WRITEDATA, static_cast<void *>(&fsink));
        if (rc == 0) log_msg(DURL_LOG_INFO, "I will write to file: %s\n", file_name);
        return rc;
    }
    to_memory = true;
    msink = durl_mem_sink{0, param->max_size, nullptr, &call.cap};
    if (result) {
        result->detail =
            static_cast<durl_result_detail *>(std::calloc(1, sizeof(durl_result_detail)));
        if (!result->detail) {
            log_msg(DURL_LOG_ERR, "download common: calloc detail err.\n");
            return DURL_RC_NO_MEMORY;
        }
    }
    rc = durl_setopt(curl, CURLOPT_WRITEFUNCTION, durl_recvstream_cb);
    if (rc == 0) rc = durl_setopt_each_call(curl, CURLOPT_WRITEDATA, static_cast<void *>(&msink));
    return rc;
}

// A write error counts as a partial success only when the sink itself cut the body at the
// request's limit, not when the disk or memory gave out.
bool download_call::cut_at_limit() const {
    if (param->max_size <= 0) return false;
    const auto limit = static_cast<uint32_t>(param->max_size);
    return to_memory ? (msink.data && msink.size == limit) : fsink.written == limit;
}

int download_call::finish(int code) {
    call.release();
    const bool partial = code == CURLE_WRITE_ERROR && cut_at_limit();
    int outcome = partial ? DURL_RC_OK : code;
    if (outcome == 0 && target.is_open() && !target.commit()) {
        log_msg(DURL_LOG_ERR, "download common: cannot move the file into place: %s.\n", file_name);
        outcome = CURLE_WRITE_ERROR;
    }
    durl_result_detail *detail = result ? result->detail : nullptr;
    if (outcome == 0) {
        if (detail && msink.data) {
            detail->size = msink.size;
            detail->data = trimmed(msink.data, msink.size);
            msink.data = nullptr;
        }
        if (partial)
            log_msg(DURL_LOG_NOTICE, "download common nofully, errcode:%d.\n", code);
        else
            log_msg(DURL_LOG_INFO, "download common success.\n");
    } else {
        log_msg(DURL_LOG_ERR, "download common error, errcode:%d.\n", outcome);
    }
    std::free(msink.data);
    msink.data = nullptr;
    call.fill(result, outcome);
    if (target.is_open()) {
        log_msg(DURL_LOG_INFO, "download common error, remove file.\n");
        target.discard();
    }
    return outcome;
}

// Argument checks shared by both download entry points.
bool request_given(const durl_result *result, const durl_url_param *param) {
    if (!result || !param) {
        log_msg(DURL_LOG_ERR, "download file fails, no result or url param.\n");
        return false;
    }
    if (!param->url[0]) {
        log_msg(DURL_LOG_ERR, "download file fails, url address is empty.\n");
        return false;
    }
    return true;
}

}  // namespace

size_t durl_writefile_cb(char *data, size_t size, size_t count, void *sink) {
    auto *s = static_cast<durl_file_sink *>(sink);
    size_t n = size * count;
    if (s->cap && !s->cap->take(n)) return 0;
    bool final = false;
    if (s->limit > 0 && s->written + n >= static_cast<uint64_t>(s->limit)) {
        n = static_cast<size_t>(s->limit) - s->written;
        log_msg(DURL_LOG_INFO, "writefile readlen:%d\n", static_cast<int>(n));
        final = true;
    }
    s->written += static_cast<uint32_t>(n);
    size_t put = n ? std::fwrite(data, 1, n, s->file) : 0;
    // Returning less than handed over makes libcurl end the transfer with its write error.
    return final ? 0 : put;
}

size_t durl_recvstream_cb(char *data, size_t size, size_t count, void *sink) {
    auto *s = static_cast<durl_mem_sink *>(sink);
    const size_t whole = size * count;
    if (s->cap && !s->cap->take(whole)) return 0;
    size_t n = whole;
    bool final = false;
    if (s->limit > 0 && s->size + n >= static_cast<uint64_t>(s->limit)) {
        n = static_cast<size_t>(s->limit) - s->size;
        log_msg(DURL_LOG_INFO, "stream readlen:%d\n", static_cast<int>(n));
        final = true;
    }
    // The size field is 32 bits wide: a body that would not fit is treated like no memory.
    const size_t need = static_cast<size_t>(s->size) + n + 1;
    const size_t ceiling = s->cap && s->cap->limit ? static_cast<size_t>(s->cap->limit) + 1 : 0;
    char *grown = need < UINT32_MAX ? reserve(s->data, s->size, need, ceiling) : nullptr;
    if (!grown) {
        log_msg(DURL_LOG_ERR, "CB: not enough memory (realloc returned NULL)\n");
        std::free(s->data);
        s->data = nullptr;
        s->size = 0;
        return 0;
    }
    s->data = grown;
    if (n) std::memcpy(s->data + s->size, data, n);
    s->size += static_cast<uint32_t>(n);
    s->data[s->size] = '\0';
    return final ? 0 : whole;
}

int durl_download_common(durl_handle *h, const durl_url_param *param, durl_result *result,
                         const char *file_name) {
    if (!param) return DURL_RC_BAD_ARGUMENT;
    download_call d(h, param, result, file_name);
    int code = d.call.borrow();
    if (code) return code;
    code = d.prepare();
    if (code == 0) code = d.call.outcome(d.call.perform(d.call.curl));
    return d.finish(code);
}

extern "C" int durl_download_to_file(durl_handle *handle, durl_result *result,
                                     const durl_url_param *param, const char *path) {
    static const durl_entry_lines lines = {
        "download to file...\n",
        "download file use global, handle is empty.\n",
        "download file fails, You must call the init function.\n",
        "download file fails, handle is no init.\n",
        durl_live_check::logged,
        false};
    return durl_entry(lines, handle, [&](durl_handle *h) -> int {
        if (int rc = durl_request_texts_check(param)) return rc;
        if (!path || !path[0]) {
            log_msg(DURL_LOG_ERR, "download file fails, no file name.\n");
            return DURL_RC_BAD_ARGUMENT;
        }
        if (!request_given(result, param)) return DURL_RC_BAD_ARGUMENT;
        return durl_recode_change(durl_download_common(h, param, result, path), &result->recode);
    });
}

extern "C" int durl_download_to_memory(durl_handle *handle, durl_result *result,
                                       const durl_url_param *param) {
    static const durl_entry_lines lines = {
        "download to memory...\n",
        "download memory use global, handle is empty.\n",
        "download memory fails, You must call the init function.\n",
        "download memory fails, handle is no init.\n",
        durl_live_check::logged,
        false};
    return durl_entry(lines, handle, [&](durl_handle *h) -> int {
        if (int rc = durl_request_texts_check(param)) return rc;
        if (!request_given(result, param)) return DURL_RC_BAD_ARGUMENT;
        return durl_recode_change(durl_download_common(h, param, result, nullptr), &result->recode);
    });
}
