// Internal: the transfer half's own result codes, named after what happened. The published
// code space (include/durl.h) gives one value to several causes, so several names share a
// value; libcurl codes (1..99) and server statuses (100 and above) come from outside and are
// folded by durl_recode_change().
#pragma once

enum durl_code : int {
    DURL_RC_OK = 0,
    // -1: a server status that counts as failure (after the fold, recode holds the status),
    // or a local step of the transfer that failed (recode is -1 then).
    DURL_RC_SERVER_REFUSED = -1,
    DURL_RC_HEADERS_NOT_BUILT = -1,     // a download's or a stream's request header list
    DURL_RC_FILE_NOT_CREATED = -1,      // a download's target file
    DURL_RC_FILE_NOT_OPENED = -1,       // an upload's local file
    DURL_RC_APPEND_LIMIT_UNKNOWN = -1,  // an FTP append over the size limit, no known choice
    DURL_RC_PIPE_READ_FAILED = -1,      // a stream's pipe
    DURL_RC_RETRY_NOT_APPLICABLE = -1,  // the anonymous FTP retry does not apply
    DURL_RC_BAD_ARGUMENT = -2,
    DURL_RC_NO_EASY_HANDLE = -3,
    DURL_RC_BAD_HANDLE = -102,  // not initialised, unknown or not live
    DURL_RC_BAD_URL = -103,     // libcurl's malformed URL (3), folded
    DURL_RC_NO_MEMORY = -127,   // libcurl's out of memory (27), folded
    DURL_RC_TIMED_OUT = -128,   // libcurl's time-out (28), folded
    DURL_RC_UNSUPPORTED_OPTION = -148,
    DURL_RC_SIZE_LIMIT = -163  // libcurl's file-size error (63), folded
};
