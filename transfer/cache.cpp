// Connection cache: each handle keeps one easy handle alive between transfers so that a
// caller sending many requests to one server reuses the open connection, its TLS session
// and resolved names. A transfer that finds it lent uses a short-lived handle instead.
#include <cstring>

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
    // Every option returns to libcurl's default (including callbacks and the error buffer,
    // which point into the finished transfer's stack); connections and caches stay.
    durl_easy::reset(curl);
    if (h->cache_options) h->cache_options->clear();
    h->cache_busy = 0;
}

void durl_keep_curlhandle(durl_handle *h) {
    durl_lock_guard guard(&h->cache_lock);
    log_msg(DURL_LOG_INFO, "Connect is keep, options kept.\n");
    h->cache_busy = 0;
}

// ------------------------------------------------------------------ options of a kept handle

bool durl_optlist::matches(size_t i, const entry &e, const char *value) const {
    const entry &k = entries_[i];
    if (k.option != e.option || k.type != e.type || k.per_call != e.per_call) return false;
    if (e.per_call) return true;
    switch (e.type) {
        case k_long:
            return k.l == e.l;
        case k_off:
            return k.off == e.off;
        case k_ptr:
        case k_call_text:
            return k.ptr == e.ptr;
        case k_fn:
            return k.fn == e.fn;
        case k_text:
            return std::strcmp(text(k), value) == 0;
        case k_null_text:
            return true;
    }
    return false;
}

bool durl_optlist::add(entry e, const char *value) {
    if (count_ == kEntries) return false;
    if (value) {
        const size_t len = std::strlen(value) + 1;
        if (len > kTextRoom - texts_used_) return false;
        std::memcpy(texts_ + texts_used_, value, len);
        e.text_at = texts_used_;
        texts_used_ += len;
    }
    if (e.per_call && e.type == k_ptr) call_ptrs_ |= uint64_t{1} << count_;
    entries_[count_++] = e;
    return true;
}

void durl_optlist::truncate(size_t n) {
    size_t texts_end = 0;
    for (size_t i = n; i-- > 0;) {
        if (entries_[i].type != k_text) continue;
        texts_end = entries_[i].text_at + std::strlen(text(entries_[i])) + 1;
        break;
    }
    count_ = n;
    if (n < kEntries) call_ptrs_ &= (uint64_t{1} << n) - 1;
    texts_used_ = texts_end;
}

curl_slist *durl_optlist::headers_for(const char *lines, int keep_alive) const {
    if (!headers_ || keep_alive != header_keep_alive_) return nullptr;
    return std::strcmp(header_text_, lines ? lines : "") == 0 ? headers_.get() : nullptr;
}

bool durl_optlist::headers_from(const char *lines, int keep_alive) {
    headers_.reset();
    header_text_[0] = '\0';
    const size_t len = lines ? std::strlen(lines) + 1 : 1;
    if (len > sizeof header_text_) return false;
    if (lines) std::memcpy(header_text_, lines, len);
    header_keep_alive_ = keep_alive;
    return true;
}

CURLcode durl_optlist::apply(CURL *curl, size_t i) {
    entry &e = entries_[i];
    CURLcode rc = give(curl, e, e.type == k_text ? text(e) : nullptr);
    e.refused = rc != CURLE_OK;
    e.unknown = rc == CURLE_UNKNOWN_OPTION;
    if (e.unknown) call_ptrs_ &= ~(uint64_t{1} << i);
    return rc;
}

CURLcode durl_optlist::reapply(CURL *curl, size_t i) const {
    const entry &e = entries_[i];
    CURLcode rc = give(curl, e, e.type == k_text ? text(e) : nullptr);
    return e.refused ? CURLE_OK : rc;
}

CURLcode durl_optlist::give(CURL *curl, const entry &e, const char *value) {
    const auto option = static_cast<CURLoption>(e.option);
    switch (e.type) {
        case k_long:
            return curl_easy_setopt(curl, option, e.l);
        case k_off:
            return curl_easy_setopt(curl, option, e.off);
        case k_ptr:
            return curl_easy_setopt(curl, option, const_cast<void *>(e.ptr));
        case k_fn:
            return curl_easy_setopt(curl, option, e.fn);
        case k_text:
            return curl_easy_setopt(curl, option, value);
        case k_null_text:
            return curl_easy_setopt(curl, option, static_cast<const char *>(nullptr));
        case k_call_text:
            return curl_easy_setopt(curl, option, static_cast<const char *>(e.ptr));
    }
    return CURLE_BAD_FUNCTION_ARGUMENT;
}

void durl_optlist::clear_per_call(CURL *curl) const {
    for (uint64_t left = call_ptrs_; left != 0; left &= left - 1) {
        const entry &e = entries_[__builtin_ctzll(left)];
        curl_easy_setopt(curl, static_cast<CURLoption>(e.option), static_cast<void *>(nullptr));
    }
}

void durl_easy::reset(CURL *curl) {
    durl_setopt_unchecked(curl, DURL_XOPT_CONN_RESET, 1L);
    curl_easy_reset(curl);
}

void durl_easy::track(durl_optlist *list) {
    list_ = list;
    given_ = 0;
    matching_ = list_->size() > 0;
}

namespace {
// An entry of the list for option, before its value is filled in.
durl_optlist::entry entry_of(long option, durl_optlist::kind type, bool per_call) {
    return durl_optlist::entry{static_cast<int32_t>(option), type, per_call, false, false, {}};
}
}  // namespace

CURLcode durl_easy::put_long(long option, long value, bool per_call) {
    if (!list_) return curl_easy_setopt(curl, static_cast<CURLoption>(option), value);
    durl_optlist::entry e = entry_of(option, durl_optlist::k_long, per_call);
    e.l = value;
    return put_entry(e, nullptr);
}

CURLcode durl_easy::put_off(long option, curl_off_t value, bool per_call) {
    if (!list_) return curl_easy_setopt(curl, static_cast<CURLoption>(option), value);
    durl_optlist::entry e = entry_of(option, durl_optlist::k_off, per_call);
    e.off = value;
    return put_entry(e, nullptr);
}

CURLcode durl_easy::put_text(long option, const char *value, bool per_call) {
    if (!list_) return curl_easy_setopt(curl, static_cast<CURLoption>(option), value);
    // A text given per call is given from the caller's pointer, never copied.
    durl_optlist::entry e = entry_of(option, durl_optlist::k_text, per_call);
    if (per_call || !value) {
        e.type = value ? durl_optlist::k_call_text : durl_optlist::k_null_text;
        e.ptr = value;
        return put_entry(e, nullptr);
    }
    return put_entry(e, value);
}

CURLcode durl_easy::put_fn(long option, void (*value)(), bool per_call) {
    if (!list_) return curl_easy_setopt(curl, static_cast<CURLoption>(option), value);
    durl_optlist::entry e = entry_of(option, durl_optlist::k_fn, per_call);
    e.fn = value;
    return put_entry(e, nullptr);
}

CURLcode durl_easy::put_ptr(long option, const void *value, bool per_call) {
    if (!list_)
        return curl_easy_setopt(curl, static_cast<CURLoption>(option), const_cast<void *>(value));
    durl_optlist::entry e = entry_of(option, durl_optlist::k_ptr, per_call);
    e.ptr = value;
    return put_entry(e, nullptr);
}

CURLcode durl_easy::put_entry(const durl_optlist::entry &e, const char *text) {
    if (matching_) {
        if (given_ < list_->size() && list_->matches(given_, e, text)) {
            if (!e.per_call) {
                ++given_;
                return CURLE_OK;
            }
            list_->renew(given_, e);
            if (list_->unknown(given_)) {
                ++given_;
                return CURLE_UNKNOWN_OPTION;
            }
            return list_->apply(curl, given_++);
        }
        if (CURLcode rc = diverge()) return rc;
    }
    if (!list_->add(e, text)) {
        // The list is full: the rest of this call goes straight to libcurl, and the easy
        // handle is reset when it returns to the cache.
        list_ = nullptr;
        return durl_optlist::give(curl, e, text);
    }
    return list_->apply(curl, given_++);
}

CURLcode durl_easy::diverge() {
    log_msg(DURL_LOG_DEBUG, "cached connect: options differ from the last call, reset curl.\n");
    matching_ = false;
    list_->truncate(given_);
    reset(curl);
    // Each of these was accepted by libcurl before with the same value (or, given per call,
    // just now); only a shortage of memory can refuse one now, and then the transfer must
    // not run with the options half set.
    for (size_t i = 0; i < given_; ++i)
        if (CURLcode rc = list_->reapply(curl, i)) return rc;
    return CURLE_OK;
}

CURLcode durl_easy::complete() {
    if (!matching_ || given_ == list_->size()) return CURLE_OK;
    return diverge();
}

void durl_easy::forget_call() const {
    if (list_) list_->clear_per_call(curl);
}
