#!/bin/sh
# The install tree is usable as shipped: a C99 program builds against it with pkg-config
# alone and runs, and the installed tool starts.
# usage: install_check.sh BUILD_DIR LIBDIR   (LIBDIR relative to the prefix, e.g. "lib")
set -eu
build=$1
libdir=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/durl.h include/dl_ca.h "$libdir/pkgconfig/durl.pc" bin/durl; do
    [ -e "$prefix/$f" ] || { echo "missing from the install tree: $f"; exit 1; }
done

cat >"$prefix/app.c" <<'APP'
#include <dl_ca.h>
#include <durl.h>
#include <stdio.h>
#include <string.h>

static int hook(void *context, int level, const char *format, ...) {
    (void)context; (void)level; (void)format;
    return 0;
}

int main(void) {
    static int context;
    char text[1024];
    durl_handle *h = NULL;
    if (durl_init(&context, hook) != 0 || durl_create(&h) != 0) return 1;
    durl_set_option(h, DURL_OPT_USER_AGENT, "app/1.0");
    if (durl_dump(h, text, sizeof text) != 0 || !strstr(text, "user_agent=app/1.0\n")) return 2;
    durl_destroy(h);
    durl_cleanup();
    puts("app ok");
    return 0;
}
APP
flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs durl)
cc -std=c99 -Wall -Wextra -Werror -pedantic "$prefix/app.c" -o "$prefix/app" $flags
LD_LIBRARY_PATH="$prefix/$libdir" "$prefix/app"
"$prefix/bin/durl" --version
"$prefix/bin/durl" dump | grep -q '^user_agent=Talvora$'
echo "install tree ok"
