// Library start and stop, the handle registry, and the options with their settings dump.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "handle.h"
#include "log_capture.h"
#include "servers.h"
#include "transfer_util.h"

namespace {

TEST(Lifecycle, NothingIsLoggedOutsideInitAndCleanup) {
    LogCapture log;
    durl_handle *h = nullptr;
    // Before durl_init every call answers and none logs; the default handle takes options.
    EXPECT_EQ(durl_cleanup(), -102);
    EXPECT_EQ(durl_create(&h), -127);
    EXPECT_EQ(durl_set_option(nullptr, DURL_OPT_CONNECT_TIMEOUT, 99), 0);
    EXPECT_EQ(durl_init(nullptr, LogCapture::hook), -102);
    EXPECT_EQ(durl_init(log.context(), nullptr), -102);
    EXPECT_TRUE(log.empty()) << log.dump();

    ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
    EXPECT_EQ(log.dump(), "<6>[DCMN]durl_ssl_init.\n<6>[DCMN]create ssl lock\n");
    EXPECT_EQ(durl_config_snapshot(nullptr).connect_timeout, 5);  // init resets the defaults
    LogCapture other;  // a second init keeps the first hook
    EXPECT_EQ(durl_init(other.context(), LogCapture::hook), 0);
    std::string big(5000, 'x');  // long lines reach the hook whole, '%' in arguments literal
    log_msg(7, "%s|%d%s", big.c_str(), 42, "%s");
    EXPECT_EQ(log.lines().back().text, "[DCMN]" + big + "|42%s");
    EXPECT_TRUE(other.empty());

    log.clear();
    EXPECT_EQ(durl_cleanup(), 0);
    EXPECT_EQ(log.dump(), "<6>[DCMN]destroy ssl lock.\n");
    log.clear();
    EXPECT_EQ(durl_cleanup(), -102);
    EXPECT_TRUE(log.empty()) << log.dump();
}

// The funnel writes the common conversions itself; every line must still read exactly as
// printf would write it.
template <class... Args>
void expect_printf_text(LogCapture &log, const char *format, Args... args) {
    SCOPED_TRACE(format);
    const int n = std::snprintf(nullptr, 0, format, args...);
    std::string want(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(&want[0], want.size(), format, args...);
    want.resize(static_cast<size_t>(n));
    log.clear();
    log_msg(7, format, args...);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines().back().text, "[DCMN]" + want);
}

class LogFunnel : public DurlTest {};

TEST_F(LogFunnel, LinesReadAsPrintfWritesThem) {
    const char *volatile null_text = nullptr;
    const std::string long_text(1100, 'y');  // past the funnel's stack buffer
    expect_printf_text(log, "plain line, no field.\n");
    expect_printf_text(log, "%s", "a%d text");
    expect_printf_text(log, "%d|%d|%d|%u", 0, -7, INT_MIN, UINT_MAX);
    expect_printf_text(log, "%ld %ld %lu.\n", LONG_MIN, LONG_MAX, ULONG_MAX);
    expect_printf_text(log, "100%% of %.*s|%.*s|%.*s", 3, "abcdef", -1, "whole", 0, "none");
    expect_printf_text(log, "%x %llu %5d %s", 255u, 1ULL << 40, 42, null_text);
    expect_printf_text(log, "%s|%d", long_text.c_str(), 9);
}

class Registry : public DurlTest {};

TEST_F(Registry, HoldsSixteenHandlesAndReusesFreedSlots) {
    std::vector<durl_handle *> handles(DURL_MAX_HANDLES);
    for (durl_handle *&h : handles) ASSERT_EQ(durl_create(&h), 0);
    durl_handle *extra = nullptr;
    EXPECT_EQ(durl_create(&extra), -127);

    durl_handle *gone = handles[5];
    EXPECT_EQ(durl_destroy(gone), 0);
    EXPECT_EQ(durl_destroy(gone), -3);  // compared by value only: refused, never touched
    EXPECT_EQ(durl_destroy(&g_durl.default_handle), -3);
    durl_handle *again = nullptr;
    ASSERT_EQ(durl_create(&again), 0);
    EXPECT_EQ(g_durl.handles[5], again);
}

TEST_F(Registry, HandlesComeAndGoOnSixteenThreadsAtOnce) {
    // Fault guarded: the registry had no lock, so a handle durl_create() had just returned was
    // unknown to durl_dump() or refused by durl_destroy(), and one handle could be freed twice.
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < DURL_MAX_HANDLES; ++t) {
        threads.emplace_back([&failures] {
            char text[64];
            for (int i = 0; i < 500; ++i) {
                durl_handle *h = nullptr;
                if (durl_create(&h) != 0) {
                    ++failures;
                    continue;
                }
                failures += durl_dump(h, text, sizeof text) != 0;
                failures += durl_set_option(h, DURL_OPT_MAC_ADDR, "mac") != 0;
                failures += durl_destroy(h) != 0;
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failures, 0);
    for (durl_handle *slot : g_durl.handles) EXPECT_EQ(slot, nullptr);

    // Two threads destroying one handle: one destroys it, the other is refused.
    for (int i = 0; i < 100; ++i) {
        durl_handle *h = nullptr;
        ASSERT_EQ(durl_create(&h), 0);
        int rc[2];
        std::thread a([&] { rc[0] = durl_destroy(h); });
        rc[1] = durl_destroy(h);
        a.join();
        EXPECT_EQ(rc[0] + rc[1], -3) << rc[0] << " " << rc[1];
    }
}

TEST_F(Registry, DestroyAndCleanupReleaseStreamsAndKeptConnections) {
    // Fault guarded: destroy and cleanup left open streams and kept-alive connections behind.
    durl_url_param kept = durl_test::make_param(durl_test::http_url("/bytes/10"));
    kept.keep_alive = 1;
    durl_url_param slow =
        durl_test::make_param(durl_test::http_url("/bytes/200000?chunk=1000&delay_ms=20"));
    durl_handle *h = nullptr, *lost = nullptr;
    ASSERT_EQ(durl_create(&h), 0);
    ASSERT_EQ(durl_create(&lost), 0);
    for (durl_handle *owner : {h, lost, static_cast<durl_handle *>(nullptr)}) {
        ASSERT_EQ(durl_test::fetch_memory(owner, kept).rc, 0);
        ASSERT_EQ(durl_open(owner, nullptr, &slow), 0);  // the worker is busy when it goes
    }
    ASSERT_NE(g_durl.default_handle.cache_curl, nullptr);
    log.clear();
    EXPECT_EQ(durl_destroy(h), 0);
    EXPECT_EQ(log.count(6, "[DCMN]durl close common: close stream.\n"), 1u) << log.dump();
    EXPECT_EQ(durl_cleanup(), 0);  // `lost` was never destroyed: cleanup releases it
    EXPECT_EQ(log.count(6, "[DCMN]durl close common: close stream.\n"), 3u) << log.dump();
    EXPECT_EQ(g_durl.default_handle.stream, nullptr);
    EXPECT_EQ(g_durl.default_handle.cache_curl, nullptr);
    for (durl_handle *slot : g_durl.handles) EXPECT_EQ(slot, nullptr);
}

class Options : public DurlTest {
protected:
    // The settings as text: the dump plus the one number it leaves out.
    static std::string settings(durl_handle *h) {
        char text[4096];
        EXPECT_EQ(durl_dump(h, text, sizeof text), 0);
        return text + ("max_redirs=" + std::to_string(durl_config_snapshot(h).max_redirs) + "\n");
    }
};

TEST_F(Options, RangesFallBackAndPathsSeedTheirCounterparts) {
    struct Row {
        int option, number;
        const char *text, *shown;  // text: set for text options
        bool warns;
    } rows[] = {
        {DURL_OPT_CONNECT_TIMEOUT, 3600, nullptr, "connect_timeout=3600\n", false},
        {DURL_OPT_CONNECT_TIMEOUT, -1, nullptr, "connect_timeout=5\n", true},  // unsigned
        {DURL_OPT_OPERATE_TIMEOUT, 86401, nullptr, "operate_timeout=0\n", true},
        {DURL_OPT_LOW_SPEED_TIME, 3601, nullptr, "low_speed=1byte-0s\n", true},
        {DURL_OPT_LOW_SPEED_LIMIT, -5, nullptr, "low_speed=1byte-0s\n", true},
        {DURL_OPT_MAX_REDIRS, 21, nullptr, "max_redirs=5\n", true},
        {DURL_OPT_MAX_FILESIZE, 314572800, nullptr, "max_filesize=314572800\n", false},
        {DURL_OPT_MAX_FILESIZE, 314572801, nullptr, "max_filesize=2097152\n", true},
        {DURL_OPT_SSL_VERSION, 7, nullptr, "ssl_version=3\n", true},
        {DURL_OPT_NET_IPV6, 5, nullptr, "net_ipv6=1\n", false},
        // The trust path and CA file fill their empty counterparts, which the dump shows,
        // but never overwrite them.
        {DURL_OPT_SSL_TRUST_PATH, 0, "/config/certs", "ssl_trust_path=/config/certs\n", false},
        {DURL_OPT_SSL_TRUST_PATH, 0, "/second", "ssl_trust_path=/config/certs\n", false},
        {DURL_OPT_SSL_USER_PATH, 0, "/own", "ssl_trust_path=/own\n", false},
        {DURL_OPT_SSL_CA_FILE, 0, "/dev.pem", "ssl_dev_cert=/dev.pem\n", false},
        {DURL_OPT_SSL_CA_USEFILE, 0, "/own.pem", "ssl_dev_cert=/own.pem\n", false},
    };
    durl_test::Handle h;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.shown);
        log.clear();
        if (r.text)
            EXPECT_EQ(durl_set_option(h, r.option, r.text), 0);
        else
            EXPECT_EQ(durl_set_option(h, r.option, r.number), 0);
        EXPECT_EQ(log.texts(4).size(), r.warns ? 1u : 0u);
        EXPECT_NE(settings(h).find(r.shown), std::string::npos) << settings(h);
    }
    for (int unsupported : {21, 28, DURL_OPT_RECV_BUFFER + 1, -1})
        EXPECT_EQ(durl_set_option(h, unsupported, 1), -148);
    int stranger = 0;
    EXPECT_EQ(durl_set_option(reinterpret_cast<durl_handle *>(&stranger), 0, "x"), -102);
}

TEST_F(Options, TextsAsLongAsTheirFieldAreRefused) {
    // Faults guarded: a text exactly as long as its field was stored without its terminator;
    // a refused text returned 0, so callers took the old value for the new one.
    durl_test::Handle h;
    for (auto [option, size] : {std::pair{DURL_OPT_USER_AGENT, 512},
                                {DURL_OPT_MAC_ADDR, 64},
                                {DURL_OPT_CUSTOM_METHOD, 128}}) {
        SCOPED_TRACE(option);
        EXPECT_EQ(durl_set_option(h, option, std::string(size - 1, 'a').c_str()), 0);
        // Each refusal keeps the accepted value: as long as the field, longer, empty, none.
        const std::string exact(size, 'b'), longer(size + 1, 'c');
        for (const char *refused :
             {exact.c_str(), longer.c_str(), "", static_cast<const char *>(nullptr)})
            EXPECT_EQ(durl_set_option(h, option, refused), -2);
    }
    durl_config c = durl_config_snapshot(h);
    EXPECT_EQ(std::string(c.user_agent), std::string(511, 'a'));
    EXPECT_EQ(std::string(c.mac_addr), std::string(63, 'a'));
    EXPECT_EQ(std::string(h.get()->custom_method), std::string(127, 'a'));
}

TEST_F(Options, SecretsNeverReachTheLog) {
    // Fault guarded: the key password and the key-generator seed were logged in clear.
    for (int option : {DURL_OPT_SSL_PASSWD, DURL_OPT_ENV_RANDOMNESS}) {
        const std::string key = option == DURL_OPT_SSL_PASSWD ? "SSL_PASSWD" : "ENV_RANDOMNESS";
        log.clear();
        EXPECT_EQ(durl_set_option(nullptr, option, "s3cr3t-value"), 0);
        EXPECT_EQ(durl_set_option(nullptr, option, std::string(600, 'Q').c_str()), -2);
        EXPECT_TRUE(log.contains(6, "[DCMN]SET " + key + ": ******\n")) << log.dump();
        EXPECT_TRUE(log.contains(3, "[DCMN]set " + key + " err,******.\n")) << log.dump();
        EXPECT_FALSE(log.mentions("s3cr3t") || log.mentions("QQQ")) << log.dump();
    }
    durl_config c = durl_config_snapshot(nullptr);
    EXPECT_STREQ(c.ssl_passwd, "s3cr3t-value");
    EXPECT_STREQ(c.env_randomness, "s3cr3t-value");
}

TEST_F(Options, DumpTextByteForByteOnDefaultAndNewHandles) {
    // The defaults, and a text, a pair of numbers and a seeded path in their places.
    durl_set_option(nullptr, DURL_OPT_MAC_ADDR, "00:11:22:33:44:55");
    durl_set_option(nullptr, DURL_OPT_LOW_SPEED_LIMIT, 100);
    durl_set_option(nullptr, DURL_OPT_LOW_SPEED_TIME, 20);
    durl_set_option(nullptr, DURL_OPT_SSL_CA_FILE, "/config/dev.pem");
    durl_set_option(nullptr, DURL_OPT_DEBUG_TRACE, 1);
    durl_set_option(nullptr, DURL_OPT_CUSTOM_METHOD, "PROPFIND");
    const std::string expected =
        "durl_version=5.6.1.39-release Built-at:Feb 13 2020-15:55:19\n"
        "net_ipv6=0\nnet_preferred=0\nconnect_timeout=5\noperate_timeout=0\n"
        "max_filesize=2097152\nmac=00:11:22:33:44:55\nlow_speed=100byte-20s\nkeep_post=7\n"
        "user_agent=Talvora\nssl_version=3\nssl_verify_peer=0\nssl_verify_host=0\n"
        "ssl_sign_algo=0\nssl_def_cert=0\nssl_trust_path=\n"
        "ssl_dev_cert=/config/dev.pem\nssl_web_cert_path=/tmp\nssl_cipher=\n"
        "log_level=7\nrecv_buffer=2048\n";
    char text[4096];
    memset(text, 'Z', sizeof text);
    ASSERT_EQ(durl_dump(nullptr, text, sizeof text), 0);
    EXPECT_EQ(std::string(text), expected);
    EXPECT_EQ(text[sizeof text - 1], '\0');  // the rest is zero-filled

    // A new handle copies the default settings, but not the per-handle trace and method.
    durl_test::Handle h;
    ASSERT_EQ(durl_dump(h, text, sizeof text), 0);
    EXPECT_EQ(std::string(text), expected);
    EXPECT_EQ(h.get()->debug_trace, 0);
    EXPECT_STREQ(h.get()->custom_method, "");

    memset(text, 'Z', sizeof text);  // cut to the buffer, always terminated
    ASSERT_EQ(durl_dump(nullptr, text, 10), 0);
    EXPECT_EQ(std::string(text, 11), std::string("durl_ver\0\0Z", 11));
}

}  // namespace
