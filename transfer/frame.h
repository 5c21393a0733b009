// Internal: the one frame every exported transfer operation runs through: entry line,
// handle resolution (registry and liveness), then the operation's own checks and engine
// call, and the fold of the engine's code. It ends in catch (...) so no C++ exception ever
// crosses the C boundary: an allocation that fails anywhere below an export (std::string,
// std::function, a container) gives the caller a code, never std::terminate.
//
// An exported operation is written as
//
//   static const durl_entry_lines kLines = {"download to file.\n", "... handle is empty.\n",
//                                           "... handle is unknown.\n", "... no init.\n",
//                                           durl_live_check::logged, false};
//   extern "C" int durl_download_to_file(durl_handle *handle, durl_result *result, ...) {
//       return durl_entry(kLines, handle, [&](durl_handle *h) {
//           if (!result) return durl_arg_error("download to file: result is null.\n");
//           ...
//           return durl_recode_change(durl_download_common(h, param, result, path),
//                                     &result->recode);
//       });
//   }
//
// Every line is a plain text (no format), logged with the "[DCMN]" prefix; a null line is
// not logged.
#pragma once

#include <new>
#include <utility>

#include "codes.h"
#include "handle.h"

enum class durl_live_check {
    logged,  // a handle that is not live logs the not-live line and gives -102
    silent,  // a handle that is not live gives -102 without a line
    skipped  // liveness is not examined
};

struct durl_entry_lines {
    const char *entry;        // level 6, always
    const char *null_handle;  // level 6, when the caller passed no handle
    const char *registry;     // level 3, when the handle is not known to the registry
    const char *not_live;     // level 3, with durl_live_check::logged
    durl_live_check live;
    bool default_is_null;  // the default handle's own address counts as "no handle"
};

// Resolve the caller's handle: nullptr (and, with default_is_null, the default handle's
// own address) means the default handle. Returns 0 and stores the record, or
// -102 after logging the matching line.
int durl_entry_resolve(const durl_entry_lines &lines, durl_handle *handle, durl_handle **out);

// An argument check failed: logs line at level 3 and returns -2, the caller's code for a
// missing or empty argument. The result record is left untouched.
int durl_arg_error(const char *line);

// The outermost layer, shared by every export of both halves: log that an exception ended
// the export named what (level 3, one line; a log hook that throws as well is ignored).
// no_memory: it was std::bad_alloc.
void durl_log_exception(const char *what, bool no_memory) noexcept;

// Run body() and return its code; an exception leaving it becomes the code failed and one
// log line naming the export (what defaults to the calling function's name), after
// on_failure(), which must not throw, has undone what the body left half done. Exports whose
// handle rules are their own (lifecycle, options, records) use it directly; the certificate
// half's frame (certs/dl_frame.h) is built on it.
template <class Result, class Body, class Undo>
Result durl_frame_undo(Result failed, Body &&body, Undo &&on_failure,
                       const char *what = __builtin_FUNCTION()) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        durl_log_exception(what, true);
    } catch (...) {
        durl_log_exception(what, false);
    }
    on_failure();
    return failed;
}

template <class Body>
int durl_frame(int failed, Body &&body, const char *what = __builtin_FUNCTION()) noexcept {
    return durl_frame_undo(
        failed, std::forward<Body>(body), [] {}, what);
}

// Run body(durl_handle *) inside the frame; body performs the argument checks and the
// engine call and returns the code the caller sees. An exception gives -127.
template <class Body>
int durl_entry(const durl_entry_lines &lines, durl_handle *handle, Body &&body,
               const char *what = __builtin_FUNCTION()) noexcept {
    return durl_frame(
        DURL_RC_NO_MEMORY,
        [&] {
            durl_handle *h = nullptr;
            int rc = durl_entry_resolve(lines, handle, &h);
            if (rc != 0) return rc;
            durl_log_scope level(h);
            return body(h);
        },
        what);
}
