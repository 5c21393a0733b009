/* The public headers are plain C99: this file includes them, checks the record layout that
 * callers compile against, and links against the shared library. */
#include "dl_ca.h"
#include "durl.h"

#include <stdio.h>
#include <string.h>

/* Compile-time checks without C11: a negative array size fails the build. */
#define ABI_CHECK(name, cond) typedef char abi_check_##name[(cond) ? 1 : -1]

ABI_CHECK(url, sizeof(((durl_url_param *)0)->url) == 1024);
ABI_CHECK(user, sizeof(((durl_url_param *)0)->user) == 256);
ABI_CHECK(password, sizeof(((durl_url_param *)0)->password) == 256);
ABI_CHECK(method, sizeof(((durl_url_param *)0)->method) == 4);
ABI_CHECK(param_ints, offsetof(durl_url_param, post_size) == 1024 + 256 + 256 + 10 * 4);
ABI_CHECK(reserved_text, sizeof(((durl_result *)0)->reserved_text) == 512);
ABI_CHECK(effective_url, sizeof(((durl_result *)0)->effective_url) == 1024);
ABI_CHECK(recode_first, offsetof(durl_result, recode) == 0);
ABI_CHECK(detail_size, offsetof(durl_result_detail, size) == 8);
ABI_CHECK(opt_last,
          DURL_OPT_DISPOSITION == 39 && DURL_OPT_LOG_LEVEL == 40 && DURL_OPT_RECV_BUFFER == 41);
ABI_CHECK(proto_unknown, DURL_PROTO_UNKNOWN == 5);
ABI_CHECK(method_custom, DURL_METHOD_CUSTOM == -1);
ABI_CHECK(pem_der, DL_CA_TYPE_PEM == 0 && DL_CA_TYPE_DER == 1);

static int quiet_hook(void *context, int level, const char *format, ...) {
    (void)context;
    (void)level;
    (void)format;
    return 0;
}

static int progress_hook(void *context, int64_t download_done, int64_t download_total,
                         int64_t upload_done, int64_t upload_total) {
    (void)context;
    return download_done > download_total || upload_done > upload_total;
}

int main(void) {
    static int context;
    char text[2048];
    durl_result result;
    durl_url_param param;
    memset(&result, 0, sizeof result);
    memset(&param, 0, sizeof param);
    if (durl_init(&context, quiet_hook) != 0) return 1;
    if (durl_dump(NULL, text, sizeof text) != 0) return 2;
    if (strncmp(text, "durl_version=" DURL_VERSION_TEXT "\n", 13 + strlen(DURL_VERSION_TEXT) + 1))
        return 3;
    if (durl_free_result(&result) != 0) return 4;
    if (durl_set_progress(NULL, progress_hook, NULL) != 0) return 6;
    if (durl_cleanup() != 0) return 5;
    (void)param;
    puts("abi ok");
    return 0;
}
