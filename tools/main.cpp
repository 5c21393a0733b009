// durl: command-line access to every operation of the library, for device scripts, QA and
// field support. Exit status 0 on success, non-zero with a one-line error otherwise.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "durl.h"

namespace {

// Every subcommand, in the order --help lists them.
const cli::Command *const kCommands[] = {
    &kDumpCommand, &kGetCommand,  &kPutCommand,    &kStreamCommand, &kCaCommand,
    &kDevCommand,  &kCertCommand, &kVerifyCommand, &kIssueCommand,  &kCsrCommand,
};

void print_usage() {
    std::printf("usage: durl COMMAND [options] [arguments]\n       durl --version\n\ncommands:\n");
    for (const cli::Command *c : kCommands) std::printf("  %-8s %s\n", c->name, c->summary);
    std::printf("\n'durl COMMAND --help' describes a command's options.\n");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        print_usage();
        return 1;
    }
    const char *name = argv[1];
    if (!std::strcmp(name, "--version") || !std::strcmp(name, "-V")) {
        std::printf("durl %s\n", DURL_VERSION_TEXT);
        return 0;
    }
    if (!std::strcmp(name, "--help") || !std::strcmp(name, "-h") || !std::strcmp(name, "help")) {
        print_usage();
        return 0;
    }
    for (const cli::Command *c : kCommands) {
        if (std::strcmp(name, c->name) != 0) continue;
        cli::Parsed args;
        bool help_shown = false;
        if (!cli::parse(*c, argc - 2, argv + 2, args, help_shown)) return 2;
        if (help_shown) return 0;
        return c->run(*c, args);
    }
    std::fprintf(stderr, "durl: unknown command '%s' (see durl --help)\n", name);
    return 2;
}
