// Internal: the one frame every exported certificate operation runs its body in. The
// certificate half works through std::string paths, std::function writers and OpenSSL
// objects; when an allocation for any of them fails, or anything else throws, the caller gets
// the operation's own failure code and one log line ("<export> failed: out of memory."),
// never an exception in C code and never std::terminate.
//
// An exported operation is written as
//
//   extern "C" int dl_install_ca(const char *file) {
//       return dl_entry(DL_CA_NOT_INSTALLED, [&]() -> int { ... });
//   }
//
// and one that reports through a status block names the block and the code it gets:
//
//   return dl_entry(DL_FAILED, status, DL_STATUS_TLS_FAILURE, [&]() -> int { ... });
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "dl_ca.h"
#include "frame.h"

// Run body() and return its result; an exception gives failed (and, when the caller passed
// a status block, status_code in it with an empty message).
template <class Body>
auto dl_entry(std::invoke_result_t<Body &> failed, dl_ca_status *status, int32_t status_code,
              Body &&body, const char *what = __builtin_FUNCTION()) noexcept {
    return durl_frame_undo(
        failed, std::forward<Body>(body),
        [status, status_code]() noexcept {
            if (!status) return;
            status->code = status_code;
            status->message[0] = '\0';
        },
        what);
}

template <class Body>
auto dl_entry(std::invoke_result_t<Body &> failed, Body &&body,
              const char *what = __builtin_FUNCTION()) noexcept {
    return dl_entry(failed, nullptr, 0, std::forward<Body>(body), what);
}
