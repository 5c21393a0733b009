// durl dump: print the default settings as the library reports them.
#include <cstdio>
#include <vector>

#include "commands.h"
#include "durl.h"

namespace {

int run_dump(const cli::Command &self, const cli::Parsed &args) {
    if (!cli::start_library(self, args)) return 1;
    std::vector<char> text(8192);
    int rc = durl_dump(nullptr, text.data(), text.size());
    cli::stop_library();
    if (rc != 0) return cli::fail(self, "dump failed with code " + std::to_string(rc));
    std::fputs(text.data(), stdout);
    return 0;
}

}  // namespace

const cli::Command kDumpCommand = {
    "dump", "", "print the library's settings (the default handle's)", {}, run_dump, 0, 0};
