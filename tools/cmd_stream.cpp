// durl stream: read a URL through durl_open / durl_read / durl_close and write the body to
// standard output as it arrives, with the same request and handle flags as get.
#include <cstdio>
#include <cstring>
#include <vector>

#include "commands.h"
#include "durl.h"

namespace {

const cli::Option kStreamOptions[] = {
    {"buffer", 'b', "BYTES", "size of each read (default 65536)"},
};

int g_buffer = 65536;

// Open, copy every read to standard output, close. A body is written only while the
// transfer counts as a success, so a refusing server's page never reaches the output.
int stream_body(const durl_url_param &param, durl_result &result) {
    int rc = durl_open(nullptr, &result, &param);
    if (rc == 0) {
        std::vector<char> buf(static_cast<size_t>(g_buffer));
        durl_result read_result;
        std::memset(&read_result, 0, sizeof read_result);
        while ((rc = durl_read(nullptr, &read_result, buf.data(), g_buffer)) > 0)
            std::fwrite(buf.data(), 1, static_cast<size_t>(rc), stdout);
        std::fflush(stdout);
        if (rc < 0) result.recode = read_result.recode;
    }
    durl_close(nullptr);
    return rc;
}

int run_stream(const cli::Command &self, const cli::Parsed &args) {
    long buffer = 65536;
    if (!args.get_int("buffer", buffer)) return 2;
    if (buffer < 1 || buffer > (64 << 20)) return cli::fail(self, "--buffer needs 1 to 67108864");
    g_buffer = static_cast<int>(buffer);
    return run_transfer(self, args, stream_body);
}

}  // namespace

const cli::Command kStreamCommand = {
    "stream",
    "URL",
    "read a URL as a stream (open, read, close) and write the body to standard output",
    transfer_options(kStreamOptions, sizeof kStreamOptions / sizeof kStreamOptions[0]),
    run_stream,
    1,
    1};
