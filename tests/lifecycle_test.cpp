// Library start and stop, the handle registry, the log funnel and the OpenSSL lock table.
#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "handle.h"
#include "log_capture.h"
#include "servers.h"

namespace {

const std::string kInitLines = "<6>[DCMN]durl_ssl_init.\n<6>[DCMN]create ssl lock\n";

TEST(Lifecycle, NothingIsLoggedOutsideInitAndCleanup) {
    LogCapture log;
    durl_handle *h = nullptr;
    char text[64];
    // Before durl_init: every call answers, none logs.
    EXPECT_EQ(durl_cleanup(), -102);
    EXPECT_EQ(durl_create(&h), -127);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(durl_destroy(nullptr), -102);
    EXPECT_EQ(durl_perform(), 0);
    EXPECT_EQ(durl_set_option(nullptr, DURL_OPT_USER_AGENT, ""), 0);
    EXPECT_EQ(durl_dump(nullptr, text, sizeof text), 0);
    EXPECT_EQ(durl_init(nullptr, LogCapture::hook), -102);
    EXPECT_EQ(durl_init(log.context(), nullptr), -102);
    EXPECT_EQ(g_durl.init_done, 0);
    EXPECT_TRUE(log.empty()) << log.dump();

    ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
    EXPECT_EQ(log.dump(), kInitLines);
    // A second init keeps the first hook and context.
    LogCapture other;
    EXPECT_EQ(durl_init(other.context(), LogCapture::hook), 0);
    EXPECT_EQ(durl_perform(), 0);
    EXPECT_TRUE(other.empty());
    EXPECT_TRUE(log.contains(3, "[DCMN]fixme, perform do nothing.\n"));

    log.clear();
    EXPECT_EQ(durl_cleanup(), 0);
    EXPECT_EQ(log.dump(), "<6>[DCMN]destroy ssl lock.\n");
    log.clear();
    EXPECT_EQ(durl_cleanup(), -102);
    EXPECT_EQ(durl_create(&h), -127);
    EXPECT_EQ(durl_perform(), 0);
    EXPECT_TRUE(log.empty()) << log.dump();
}

TEST(Lifecycle, LongLinesReachTheHookWhole) {
    LogCapture log;
    ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
    std::string big(5000, 'x');
    log_msg(7, "%s|%d", big.c_str(), 42);
    log_msg(5, "%%s stays literal: %s", "%s");
    durl_cleanup();
    std::vector<LogLine> lines = log.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2].level, 7);
    EXPECT_EQ(lines[2].text, "[DCMN]" + big + "|42");
    EXPECT_EQ(lines[3].text, "[DCMN]%s stays literal: %s");
}

class Registry : public DurlTest {};

TEST_F(Registry, HoldsSixteenHandlesAndReusesFreedSlots) {
    std::vector<durl_handle *> handles(DURL_MAX_HANDLES);
    for (durl_handle *&h : handles) ASSERT_EQ(durl_create(&h), 0);
    EXPECT_EQ(log.count(6, "[DCMN]create handle success.\n"), 16u);
    for (int i = 0; i < DURL_MAX_HANDLES; ++i) EXPECT_EQ(g_durl.handles[i], handles[i]);

    durl_handle *extra = nullptr;
    EXPECT_EQ(durl_create(&extra), -127);
    EXPECT_EQ(extra, nullptr);
    EXPECT_TRUE(log.contains(3, "[DCMN]create handle error, create too much.\n"));
    // With every slot taken, NULL is no longer "a free slot": the check says unknown.
    EXPECT_EQ(durl_check_global_type(nullptr), -3);
    log.clear();
    EXPECT_EQ(durl_destroy(nullptr), -3);
    EXPECT_EQ(log.dump(), "<3>[DCMN]delete handle: handle is undefault.\n");

    durl_handle *gone = handles[5];
    log.clear();
    EXPECT_EQ(durl_destroy(gone), 0);
    EXPECT_EQ(log.dump(), "<6>[DCMN]delete handle success.\n");
    EXPECT_EQ(g_durl.handles[5], nullptr);
    EXPECT_EQ(durl_check_global_type(nullptr), 0);
    // A destroyed handle is only compared by value: refused, never touched.
    EXPECT_EQ(durl_destroy(gone), -3);
    EXPECT_EQ(durl_check_global_type(gone), -3);

    durl_handle *again = nullptr;
    ASSERT_EQ(durl_create(&again), 0);
    EXPECT_EQ(g_durl.handles[5], again);
    EXPECT_EQ(durl_check_global_type(&g_durl.default_handle), 0);
    int unknown = 0;
    EXPECT_EQ(durl_check_global_type(reinterpret_cast<durl_handle *>(&unknown)), -3);
    EXPECT_EQ(durl_create(nullptr), -127);
}

TEST_F(Registry, NewHandleCopiesDefaultsExceptPerHandleFields) {
    const durl_config &d = g_durl.default_handle.cfg;
    EXPECT_EQ(g_durl.default_handle.in_use, 1);
    EXPECT_EQ(d.connect_timeout, 5);
    EXPECT_EQ(d.operate_timeout, 0);
    EXPECT_EQ(d.low_speed_time, 0);
    EXPECT_EQ(d.low_speed_limit, 1);
    EXPECT_EQ(d.max_filesize, 2097152u);
    EXPECT_EQ(d.ssl_version, 3);
    EXPECT_EQ(d.max_redirs, 5);
    EXPECT_EQ(d.keep_post, 7);
    EXPECT_EQ(d.auto_referer, 1);
    EXPECT_STREQ(d.user_agent, "Talvora");
    EXPECT_STREQ(d.disposition, "upload");
    EXPECT_STREQ(d.ssl_web_capath, "/tmp");

    durl_set_option(nullptr, DURL_OPT_USER_AGENT, "Phone/1.0");
    durl_set_option(nullptr, DURL_OPT_CONNECT_TIMEOUT, 17);
    durl_set_option(nullptr, DURL_OPT_DEBUG_TRACE, 1);
    durl_set_option(nullptr, DURL_OPT_CUSTOM_METHOD, "PROPFIND");
    durl_set_option(nullptr, DURL_OPT_SSL_PASSWD, "pw");
    snprintf(g_durl.default_handle.cfg.ssl_session_dump, 512, "TLSv1.3\n");  // engine-written

    durl_handle *h = nullptr;
    ASSERT_EQ(durl_create(&h), 0);
    EXPECT_EQ(h->in_use, 1);
    EXPECT_EQ(memcmp(&h->cfg, &g_durl.default_handle.cfg, sizeof h->cfg), 0);
    EXPECT_EQ(h->debug_trace, 0);
    EXPECT_STREQ(h->custom_method, "");
    EXPECT_EQ(h->cache_curl, nullptr);
    EXPECT_EQ(h->stream, nullptr);

    durl_set_option(nullptr, DURL_OPT_USER_AGENT, "Later");
    EXPECT_STREQ(durl_config_snapshot(h).user_agent, "Phone/1.0");
}

TEST(Lifecycle, InitResetsTheDefaultHandleAndCleanupForgetsHandles) {
    LogCapture log;
    // The default handle takes options before init; init then resets it.
    EXPECT_EQ(durl_set_option(nullptr, DURL_OPT_CONNECT_TIMEOUT, 99), 0);
    EXPECT_EQ(g_durl.default_handle.cfg.connect_timeout, 99);
    ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
    EXPECT_EQ(g_durl.default_handle.cfg.connect_timeout, 5);

    durl_handle *h = nullptr;
    ASSERT_EQ(durl_create(&h), 0);
    ASSERT_EQ(durl_cleanup(), 0);
    EXPECT_EQ(g_durl.default_handle.in_use, 0);
    for (durl_handle *slot : g_durl.handles) EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(durl_check_global_type(h), -102);
    EXPECT_EQ(durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 9), -102);
    EXPECT_EQ(durl_dump(h, nullptr, 0), -102);
    EXPECT_EQ(durl_destroy(h), -102);

    ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
    EXPECT_EQ(durl_check_global_type(h), -3);
    EXPECT_EQ(durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 9), -102);
    EXPECT_EQ(durl_destroy(h), -3);
    durl_cleanup();
}

TEST_F(Registry, DestroyAndCleanupReleaseTheEngineArea) {
    // Runs clean under the leak checker: kept easy handles go with their handle.
    durl_handle *h = nullptr;
    ASSERT_EQ(durl_create(&h), 0);
    h->cache_curl = curl_easy_init();
    EXPECT_EQ(durl_destroy(h), 0);
    ASSERT_EQ(durl_create(&h), 0);
    h->cache_curl = curl_easy_init();
    g_durl.default_handle.cache_curl = curl_easy_init();
    ASSERT_EQ(durl_cleanup(), 0);
    EXPECT_EQ(g_durl.default_handle.cache_curl, nullptr);
    ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
}

TEST_F(Registry, DestroyAndCleanupCloseOpenStreams) {
    // A body that keeps flowing for a while: the worker thread is busy when the handle goes.
    durl_url_param p{};
    snprintf(p.url, sizeof p.url, "%s",
             durl_test::http_url("/bytes/200000?chunk=1000&delay_ms=20").c_str());
    durl_handle *h = nullptr;
    ASSERT_EQ(durl_create(&h), 0);
    ASSERT_EQ(durl_open(h, nullptr, &p), 0);
    ASSERT_EQ(durl_open(nullptr, nullptr, &p), 0);
    ASSERT_NE(h->stream, nullptr);
    log.clear();
    EXPECT_EQ(durl_destroy(h), 0);
    EXPECT_EQ(log.count(6, "[DCMN]durl close common: close stream.\n"), 1u) << log.dump();
    EXPECT_EQ(durl_cleanup(), 0);
    EXPECT_EQ(g_durl.default_handle.stream, nullptr);
    ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
}

TEST_F(Registry, DefaultHandleIsNeverDestroyed) {
    durl_set_option(nullptr, DURL_OPT_MAX_REDIRS, 7);
    log.clear();
    EXPECT_EQ(durl_destroy(&g_durl.default_handle), -3);
    EXPECT_EQ(log.dump(), "<3>[DCMN]delete handle: handle is undefault.\n");
    EXPECT_EQ(g_durl.default_handle.in_use, 1);
    EXPECT_EQ(g_durl.default_handle.cfg.max_redirs, 7);
}

TEST_F(Registry, OpenSslLockTableFollowsTheCallbacks) {
    EXPECT_EQ(durl_pthreads_thread_id(), static_cast<unsigned long>(pthread_self()));
    unsigned long other = 0;
    std::thread([&] { other = durl_pthreads_thread_id(); }).join();
    EXPECT_NE(other, durl_pthreads_thread_id());

    // Lock 0 really excludes: the other thread can't get past it until it is released.
    std::atomic<bool> passed{false};
    durl_pthreads_locking_callback(CRYPTO_LOCK, 0, __FILE__, __LINE__);
    std::thread waiter([&] {
        durl_pthreads_locking_callback(CRYPTO_LOCK, 0, __FILE__, __LINE__);
        passed = true;
        durl_pthreads_locking_callback(CRYPTO_UNLOCK, 0, __FILE__, __LINE__);
    });
    // Bogus lock numbers are ignored, not trusted.
    durl_pthreads_locking_callback(CRYPTO_LOCK, 1 << 20, nullptr, 0);
    durl_pthreads_locking_callback(CRYPTO_LOCK, -1, nullptr, 0);
    EXPECT_FALSE(passed);
    durl_pthreads_locking_callback(CRYPTO_UNLOCK, 0, __FILE__, __LINE__);
    waiter.join();
    EXPECT_TRUE(passed);
    // After cleanup the table is gone and the callback does nothing.
    ASSERT_EQ(durl_cleanup(), 0);
    durl_pthreads_locking_callback(CRYPTO_LOCK, 0, nullptr, 0);
    ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
}

}  // namespace
