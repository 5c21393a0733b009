// The records that cross into the engine: releasing a transfer's result and deep-copying a
// request for a stream's worker thread.
#include <cstdlib>
#include <cstring>

#include "engine.h"
#include "frame.h"

namespace {

// Copy a text into a fixed field, cut to fit and always terminated.
template <size_t N>
void copy_field(char (&field)[N], const char (&text)[N]) {
    size_t len = strnlen(text, N - 1);
    memcpy(field, text, len);
    memset(field + len, 0, N - len);
}

// A heap copy of len bytes plus a terminator, so the copy is also a valid C text.
char *duplicate(const char *data, size_t len) {
    char *copy = static_cast<char *>(malloc(len + 1));
    if (!copy) return nullptr;
    memcpy(copy, data, len);
    copy[len] = '\0';
    return copy;
}

}  // namespace

int durl_url_clone(const durl_url_param *src, durl_url_param *dst) {
    if (!src || !dst) return DURL_RC_BAD_ARGUMENT;
    durl_url_param copy = *src;
    copy_field(copy.url, src->url);
    copy_field(copy.user, src->user);
    copy_field(copy.password, src->password);
    copy.headers = nullptr;
    copy.post_data = nullptr;
    if (src->headers && src->headers[0]) {
        copy.headers = duplicate(src->headers, strlen(src->headers));
        if (!copy.headers) return DURL_RC_NO_MEMORY;
    }
    // A body with a size is binary and copied whole; without one it is a text.
    bool sized = src->post_data && src->post_size > 0;
    if (sized || (src->post_data && src->post_data[0])) {
        size_t len = sized ? static_cast<size_t>(src->post_size) : strlen(src->post_data);
        copy.post_data = duplicate(src->post_data, len);
        if (!copy.post_data) {
            free(copy.headers);
            return DURL_RC_NO_MEMORY;
        }
    }
    *dst = copy;
    return 0;
}

void durl_url_clone_free(durl_url_param *clone) {
    if (!clone) return;
    free(clone->headers);
    free(clone->post_data);
    clone->headers = nullptr;
    clone->post_data = nullptr;
}

extern "C" int durl_free_result(durl_result *result) {
    return durl_frame(DURL_RC_NO_MEMORY, [&]() -> int {
        if (!result) return 0;
        if (durl_result_detail *detail = result->detail) {
            free(detail->reserved_buf);
            free(detail->data);
            free(detail);
        }
        memset(result, 0, sizeof *result);
        return 0;
    });
}
