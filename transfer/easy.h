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
#include <type_traits>

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
    // 16 bytes: a request's ~40 entries span ten cache lines, and the walk of the next
    // request reads them all.
    struct entry {
        int32_t option;  // a CURLoption, or one of the extension's numbers
        kind type;
        bool per_call;
        bool refused;  // libcurl refused it when it was given (an extension number, say)
        bool unknown;  // ... because this libcurl does not know the option at all
        union {
            long l;
            curl_off_t off;
            const void *ptr;
            void (*fn)();
            size_t text_at;  // offset of the terminated text in texts_
        };
    };

    void clear() {
        count_ = 0;
        call_ptrs_ = 0;
        texts_used_ = 0;
        headers_.reset();
        header_text_[0] = '\0';
    }
    size_t size() const { return count_; }
    // Entry i is the same option of the same kind, and (unless per call) has the same value.
    bool matches(size_t i, const entry &e, const char *text) const;
    // Entry i takes the value of e, an entry given per call (what libcurl said of the option
    // stays until it is given again).
    void renew(size_t i, const entry &e) {
        const bool refused = entries_[i].refused, unknown = entries_[i].unknown;
        entries_[i] = e;
        entries_[i].refused = refused;
        entries_[i].unknown = unknown;
    }
    // libcurl refused entry i as an option it does not know: it refuses it again, whatever
    // the value, so there is nothing to give nor to clear.
    bool unknown(size_t i) const { return entries_[i].unknown; }
    // False when the list is full (the list is then as before).
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
    curl_slist *headers_for(const char *lines, int keep_alive) const;
    // Notes what the next list will be made from (frees the one before); false when the
    // lines are too long to be noted.
    bool headers_from(const char *lines, int keep_alive);
    // Takes the list made from what headers_from() noted.
    void keep_headers(durl::CurlSlistPtr list) { headers_ = std::move(list); }

private:
    // Room for what one request's setup gives (about 40 options, texts of a few hundred
    // bytes); a setup that needs more is not kept.
    static constexpr size_t kEntries = 64;
    static constexpr size_t kTextRoom = 2048;
    static constexpr size_t kHeaderRoom = 1024;

    const char *text(const entry &e) const { return texts_ + e.text_at; }

    size_t count_ = 0;
    // Bit i: entry i is a per-call pointer, cleared when the call ends. The end of a call
    // visits only these, not every entry.
    uint64_t call_ptrs_ = 0;
    static_assert(kEntries <= 64, "one bit per entry");
    entry entries_[kEntries];
    size_t texts_used_ = 0;
    char texts_[kTextRoom];
    durl::CurlSlistPtr headers_;
    char header_text_[kHeaderRoom] = "";
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

    // Gives one option, or skips it when the easy handle already holds the value. A value
    // must have the type libcurl reads (long, curl_off_t, a text, a pointer, a callback).
    template <class T>
    CURLcode set(long option, T value) {
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
    // Each kind of value has one compiled path; these only pick it.
    template <class T>
    CURLcode put(long option, T value, bool per_call) {
        if constexpr (std::is_same_v<T, curl_off_t>) {
            return put_off(option, value, per_call);
        } else if constexpr (std::is_integral_v<T>) {
            return put_long(option, static_cast<long>(value), per_call);
        } else if constexpr (std::is_same_v<T, const char *>) {
            return put_text(option, value, per_call);
        } else if constexpr (std::is_pointer_v<T> && std::is_function_v<std::remove_pointer_t<T>>) {
            return put_fn(option, reinterpret_cast<void (*)()>(value), per_call);
        } else {
            static_assert(std::is_pointer_v<T>, "option values are integers or pointers");
            return put_ptr(option, static_cast<const void *>(value), per_call);
        }
    }
    CURLcode put_long(long option, long value, bool per_call);
    CURLcode put_off(long option, curl_off_t value, bool per_call);
    CURLcode put_text(long option, const char *value, bool per_call);
    CURLcode put_fn(long option, void (*value)(), bool per_call);
    CURLcode put_ptr(long option, const void *value, bool per_call);
    // Skips the option when the easy handle holds it already, else gives and records it.
    CURLcode put_entry(const durl_optlist::entry &e, const char *text);
    // Resets the easy handle and gives it the options of this call so far.
    CURLcode diverge();

    durl_optlist *list_ = nullptr;
    size_t given_ = 0;       // options of this call so far
    bool matching_ = false;  // each equals the list's entry at its place (the list is longer)
};
