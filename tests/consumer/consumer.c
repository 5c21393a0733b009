/* The smallest useful durl application: start the library, set an option on a handle of
 * its own, read it back through the settings dump, and shut down. */
#include <dl_ca.h>
#include <durl.h>
#include <stdio.h>
#include <string.h>

static int quiet(void *context, int level, const char *format, ...) {
    (void)context;
    (void)level;
    (void)format;
    return 0;
}

int main(void) {
    static int context;
    char text[2048];
    durl_handle *h = NULL;
    if (durl_init(&context, quiet) != 0 || durl_create(&h) != 0) return 1;
    durl_set_option(h, DURL_OPT_USER_AGENT, "consumer/1.0");
    if (durl_dump(h, text, sizeof text) != 0 || !strstr(text, "user_agent=consumer/1.0\n"))
        return 2;
    durl_destroy(h);
    durl_cleanup();
    puts("consumer ok");
    return 0;
}
