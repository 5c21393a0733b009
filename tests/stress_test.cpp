// Resource stress: sixteen handles transferring in parallel threads (downloads to memory and
// to file over HTTP, HTTPS and FTP, uploads, streams), each body whole and its own, then 200
// init/cleanup cycles. Open descriptors, threads and resident memory are counted after a
// warm-up round and again at the end; any growth beyond the allocator's caches fails.
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "resource_usage.h"
#include "servers.h"
#include "transfer_util.h"

using namespace durl_test;

namespace {

constexpr int kThreads = DURL_MAX_HANDLES;
constexpr size_t kBody = 64 * 1024;

// One thread's share: every kind of transfer once on its own handle.
void workload(int i, const std::string &dir) {
    Handle h;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_USER_PATH, pki().ca_dir.c_str()));
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 10));
    // A size of its own per thread, so a body that went to another handle shows; some
    // handles keep their connection.
    const size_t size = kBody + static_cast<size_t>(i);
    const std::string bytes = "/bytes/" + std::to_string(size), body = pattern_body(size);
    durl_url_param mem = make_param(i % 2 ? https_url(bytes) : http_url(bytes));
    mem.keep_alive = i % 3 == 0;
    EXPECT_TRUE(fetch_memory(h, mem).body == body) << i;
    const std::string file = dir + "/down-" + std::to_string(i);
    EXPECT_EQ(fetch_file(h, make_param(https_url(bytes)), file).rc, 0);
    EXPECT_TRUE(read_file(file) == body) << i;
    const std::string ftp_name = "stress-" + std::to_string(i);
    if (i % 4 == 0) {
        write_file(ftp_user_dir() + "/" + ftp_name, body);
        EXPECT_TRUE(fetch_memory(h, make_param(ftp_url("/" + ftp_name))).body == body);
    }

    durl_url_param up = make_param(i % 2 ? http_url("/echo") : ftp_url("/up-" + ftp_name));
    up.method = DURL_METHOD_POST;
    EXPECT_EQ(upload(h, up, file.c_str()), 0);

    Streamed s = read_stream(h, make_param(http_url(bytes + "?chunk=4096")), 8192);
    EXPECT_EQ(s.rc, 0);
    EXPECT_TRUE(s.body == body) << i;
    EXPECT_EQ(s.closed, 0);
}

void parallel_round(const std::string &dir) {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back(workload, i, dir);
    for (std::thread &t : threads) t.join();
}

class Stress : public DurlTest {};

TEST_F(Stress, ParallelHandlesAndInitCyclesLeaveNothingBehind) {
    const std::string dir = scratch_dir("stress");
    parallel_round(dir);  // warm-up: servers, sessions, allocator arenas, lazy globals
    ASSERT_FALSE(HasFailure());
    const Usage before = usage();
    for (int round = 0; round < 3 && !HasFailure(); ++round) parallel_round(dir);
    expect_no_growth(before, settled_usage(before));

    const Usage before_cycles = usage();
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(durl_cleanup(), 0);
        ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
        durl_handle *h = nullptr;
        ASSERT_EQ(durl_create(&h), 0);  // left for the next cleanup to release
    }
    expect_no_growth(before_cycles, settled_usage(before_cycles));
}

}  // namespace
