// Internal: the options one call gives its easy handle, and how a kept easy handle skips the
// ones it already holds.
//
// A handle's cached easy handle used to be reset after every call and given its ~40 options
// again by the next one: most of what the library added to a small request on a kept
// connection. Now a plain GET download that ended cleanly leaves its options in place and
// its list on the handle (see durl_call::keep_options); the next call compares option by
// option, in order, and skips libcurl for every option whose value the easy handle already
// holds. At the first option that differs, or when the new list ends before the kept one, the
// easy handle is reset and the options given so far are given again: it then holds exactly
// what a reset and a full setup would have given it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <curl/curl.h>

#include "raii.h"

// The options given to one easy handle, in order. A `const char *` value is a text: kept
// here and given to libcurl from here when the list is applied again, so only options whose
// text libcurl copies may take one. Anything else is a pointer (a `char *` buffer included).
// A per-call value (a pointer into the call, its URL) is never copied nor compared: it is
// given on every call and replaced by the current call's value.
class durl_optlist {
public:
    // k_call_text: a per-call text, given from the caller's pointer (libcurl copies it).
    enum kind : uint8_t { k_long, k_off, k_ptr, k_fn, k_text, k_null_text, k_call_text };
    struct entry {
        long option;
        kind type;
        bool per_call;
        bool refused;  // libcurl refused it when it was given (an extension number, say)
        union {
            long l;
            curl_off_t off;
            const void *ptr;
            void (*fn)();
            size_t text_at;  // offset of the terminated text in texts_
        };
    };

    void clear() {
        entries_.clear();
        texts_.clear();
        headers_.reset();
        header_text_.clear();
    }
    size_t size() const { return entries_.size(); }
    // Entry i is the same option of the same kind, and (unless per call) has the same value.
    bool matches(size_t i, const entry &e, const char *text) const;
    // The same for an option not given per call, before it is made an entry: the check every
    // option of a repeated request goes through, so it stays small enough to be inlined.
    template <class T>
    bool holds(size_t i, long option, T value) const {
        if (i >= entries_.size()) return false;
        const entry &k = entries_[i];
        if (k.option != option || k.per_call) return false;
        if constexpr (std::is_same_v<T, curl_off_t>) {
            return k.type == k_off && k.off == value;
        } else if constexpr (std::is_integral_v<T>) {
            return k.type == k_long && k.l == static_cast<long>(value);
        } else if constexpr (std::is_same_v<T, const char *>) {
            if (!value) return k.type == k_null_text;
            return k.type == k_text && std::strcmp(text(k), value) == 0;
        } else if constexpr (std::is_pointer_v<T> && std::is_function_v<std::remove_pointer_t<T>>) {
            return k.type == k_fn && k.fn == reinterpret_cast<void (*)()>(value);
        } else {
            return k.type == k_ptr && k.ptr == static_cast<const void *>(value);
        }
    }
    // Entry i takes the value of e, an entry given per call.
    void renew(size_t i, const entry &e) { entries_[i] = e; }
    void refused(size_t i, bool was) { entries_[i].refused = was; }
    // False when memory for the list ran out (the list is then as before).
    bool add(entry e, const char *text);
    // Keeps the first n entries.
    void truncate(size_t n);
    // Gives entry i to libcurl and notes whether it was refused.
    CURLcode apply(CURL *curl, size_t i);
    // Gives entry i to libcurl again: 0, or the code of a refusal of what was accepted before.
    CURLcode reapply(CURL *curl, size_t i) const;
    // Gives an option to libcurl (text: the value of a text entry).
    static CURLcode give(CURL *curl, const entry &e, const char *text);
    // Sets every per-call pointer of the list to null on curl.
    void clear_per_call(CURL *curl) const;

    // The request header list one entry points at, kept while requests bring the same caller
    // lines (requests that keep their options carry no credentials nor web ticket, so the
    // lines and the keep-alive flag are all the list is made of).
    curl_slist *headers_for(const char *lines, int keep_alive) const {
        return headers_ && keep_alive == header_keep_alive_ && header_text_ == (lines ? lines : "")
                   ? headers_.get()
                   : nullptr;
    }
    // Notes what the next list will be made from; false when memory ran out.
    bool headers_from(const char *lines, int keep_alive);
    // Takes the list made from what headers_from() noted (frees the one before).
    void keep_headers(durl::CurlSlistPtr list) { headers_ = std::move(list); }

private:
    const char *text(const entry &e) const { return texts_.data() + e.text_at; }

    std::vector<entry> entries_;
    std::string texts_;
    durl::CurlSlistPtr headers_;
    std::string header_text_;
    int header_keep_alive_ = 0;
};

// The easy handle of one call, and the list of options it holds when the call tracks them.
class durl_easy {
public:
    // Options go straight to libcurl and nothing is recorded.
    explicit durl_easy(CURL *c = nullptr) : curl(c) {}
    // Options are recorded into list, which holds what the easy handle holds from the call
    // before (empty: libcurl's defaults); options equal to those are not given again.
    void track(durl_optlist *list);
    bool tracking() const { return list_ != nullptr; }

    // Gives one option, or skips it when the easy handle already holds the value.
    template <class T>
    CURLcode set(long option, T value) {
        if (matching_ && list_->holds(given_, option, value)) {
            ++given_;
            return CURLE_OK;
        }
        return put(option, value, false);
    }
    // An option whose value belongs to this call alone: always given.
    template <class T>
    CURLcode set_each_call(long option, T value) {
        return put(option, value, true);
    }
    // Before the transfer: an easy handle still holding options of the call before that this
    // call did not give is reset and given this call's options. 0 or libcurl's code.
    CURLcode complete();
    // After the transfer, before the easy handle goes back to the cache with its options:
    // the pointers into this call (buffers, sinks, header list) are cleared, so nothing
    // libcurl does between calls (closing a connection) can reach the finished call.
    void forget_call() const;
    // Resets the easy handle to libcurl's defaults (the extension's reset notice first).
    static void reset(CURL *curl);

    CURL *curl;

private:
    template <class T>
    CURLcode put(long option, T value, bool per_call) {
        if (!list_) return curl_easy_setopt(curl, static_cast<CURLoption>(option), value);
        durl_optlist::entry e;
        e.option = option;
        e.per_call = per_call;
        e.refused = false;
        const char *text = nullptr;
        if constexpr (std::is_same_v<T, curl_off_t>) {
            e.type = durl_optlist::k_off;
            e.off = value;
        } else if constexpr (std::is_integral_v<T>) {
            e.type = durl_optlist::k_long;
            e.l = static_cast<long>(value);
        } else if constexpr (std::is_same_v<T, const char *>) {
            if (per_call || !value) {
                e.type = value ? durl_optlist::k_call_text : durl_optlist::k_null_text;
                e.ptr = value;
            } else {
                e.type = durl_optlist::k_text;
                text = value;
            }
        } else if constexpr (std::is_pointer_v<T> && std::is_function_v<std::remove_pointer_t<T>>) {
            e.type = durl_optlist::k_fn;
            e.fn = reinterpret_cast<void (*)()>(value);
        } else {
            static_assert(std::is_pointer_v<T>, "option values are integers or pointers");
            e.type = durl_optlist::k_ptr;
            e.ptr = static_cast<const void *>(value);
        }
        return put_entry(e, text);
    }
    CURLcode put_entry(const durl_optlist::entry &e, const char *text);
    // Resets the easy handle and gives it the options of this call so far.
    CURLcode diverge();

    durl_optlist *list_ = nullptr;
    size_t given_ = 0;       // options of this call so far
    bool matching_ = false;  // each equals the list's entry at its place (the list is longer)
};
