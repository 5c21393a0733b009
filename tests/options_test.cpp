// Options: ranges and fallbacks, text limits, secrets kept out of the log, seeding, and the
// settings dump byte for byte.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "handle.h"
#include "log_capture.h"

namespace {

class Options : public DurlTest {
protected:
    // The stored value of a numeric option on the default handle.
    static int64_t stored(int option) {
        const durl_handle &h = g_durl.default_handle;
        const durl_config &c = h.cfg;
        switch (option) {
            case DURL_OPT_NET_IPV6:
                return c.net_ipv6;
            case DURL_OPT_NET_PREFERRED:
                return c.net_preferred;
            case DURL_OPT_CONNECT_TIMEOUT:
                return c.connect_timeout;
            case DURL_OPT_OPERATE_TIMEOUT:
                return c.operate_timeout;
            case DURL_OPT_LOW_SPEED_TIME:
                return c.low_speed_time;
            case DURL_OPT_LOW_SPEED_LIMIT:
                return c.low_speed_limit;
            case DURL_OPT_MAX_REDIRS:
                return c.max_redirs;
            case DURL_OPT_MAX_FILESIZE:
                return c.max_filesize;
            case DURL_OPT_SSL_VERSION:
                return c.ssl_version;
            case DURL_OPT_SSL_VERIFY_PEER:
                return c.ssl_verify_peer;
            case DURL_OPT_SSL_VERIFY_HOST:
                return c.ssl_verify_host;
            case DURL_OPT_SSL_SIGN_ALGO:
                return c.ssl_sign_algo;
            case DURL_OPT_DEBUG_TRACE:
                return h.debug_trace;
            case DURL_OPT_SSL_DEF_CERT:
                return c.ssl_def_cert;
            case DURL_OPT_KEEP_POST:
                return c.keep_post;
            case DURL_OPT_AUTO_REFERER:
                return c.auto_referer;
            case DURL_OPT_SSL_EXTRA_FLAG:
                return c.ssl_extra_flag;
        }
        return -999;
    }
};

struct NumberRow {
    int option;
    int value;
    int64_t expected;
    const char *warning;  // nullptr: stored silently
};

const char kConnect[] = "[DCMN]The connect time value err, set default 5sec.\n";
const char kOperate[] = "[DCMN]The operate time value err, set default 0sec(never timeout).\n";
const char kLowTime[] = "[DCMN]The low speed time value err, set default never overtime.\n";
const char kLowLimit[] = "[DCMN]The low speed limit value err, set default 1byte/s.\n";
const char kRedirs[] = "[DCMN]The redirect value err, set default 5 times.\n";
const char kFilesize[] = "[DCMN]The filesize value err, set default 2M.\n";
const char kVersion[] = "[DCMN]The ssl version value err, set default.\n";
const char kSignAlgo[] = "[DCMN]The ssl signature algorithm err, set default.\n";

TEST_F(Options, NumbersOutOfRangeFallBackWithAWarning) {
    const NumberRow rows[] = {
        {DURL_OPT_CONNECT_TIMEOUT, 0, 5, kConnect},
        {DURL_OPT_CONNECT_TIMEOUT, 3600, 3600, nullptr},
        {DURL_OPT_CONNECT_TIMEOUT, 3601, 5, kConnect},
        {DURL_OPT_CONNECT_TIMEOUT, -1, 5, kConnect},  // unsigned compare
        {DURL_OPT_OPERATE_TIMEOUT, 86400, 86400, nullptr},
        {DURL_OPT_OPERATE_TIMEOUT, 86401, 0, kOperate},
        {DURL_OPT_LOW_SPEED_TIME, 0, 0, kLowTime},
        {DURL_OPT_LOW_SPEED_TIME, 3601, 0, kLowTime},
        {DURL_OPT_LOW_SPEED_TIME, 60, 60, nullptr},
        {DURL_OPT_LOW_SPEED_LIMIT, 0, 1, kLowLimit},
        {DURL_OPT_LOW_SPEED_LIMIT, -5, 1, kLowLimit},
        {DURL_OPT_LOW_SPEED_LIMIT, INT_MAX, INT_MAX, nullptr},
        {DURL_OPT_MAX_REDIRS, 20, 20, nullptr},
        {DURL_OPT_MAX_REDIRS, 21, 5, kRedirs},
        {DURL_OPT_MAX_REDIRS, 0, 0, nullptr},
        {DURL_OPT_MAX_FILESIZE, 314572800, 314572800, nullptr},
        {DURL_OPT_MAX_FILESIZE, 314572801, 2097152, kFilesize},
        {DURL_OPT_MAX_FILESIZE, -1, 2097152, kFilesize},
        {DURL_OPT_SSL_VERSION, 6, 6, nullptr},
        {DURL_OPT_SSL_VERSION, 7, 3, kVersion},
        {DURL_OPT_SSL_SIGN_ALGO, 3, 3, nullptr},
        {DURL_OPT_SSL_SIGN_ALGO, 4, 0, kSignAlgo},
        {DURL_OPT_KEEP_POST, -7, -7, nullptr},
        {DURL_OPT_NET_IPV6, 5, 1, nullptr},
        {DURL_OPT_NET_PREFERRED, -1, 1, nullptr},
        {DURL_OPT_SSL_VERIFY_PEER, 2, 1, nullptr},
        {DURL_OPT_SSL_VERIFY_HOST, 1, 1, nullptr},
        {DURL_OPT_DEBUG_TRACE, 9, 1, nullptr},
        {DURL_OPT_SSL_DEF_CERT, 1, 1, nullptr},
        {DURL_OPT_AUTO_REFERER, 0, 0, nullptr},
        {DURL_OPT_SSL_EXTRA_FLAG, 100, 1, nullptr},
        {DURL_OPT_SSL_EXTRA_FLAG, 0, 0, nullptr},
    };
    for (const NumberRow &r : rows) {
        SCOPED_TRACE("option " + std::to_string(r.option) + " = " + std::to_string(r.value));
        log.clear();
        EXPECT_EQ(durl_set_option(nullptr, r.option, r.value), 0);
        EXPECT_EQ(stored(r.option), r.expected);
        std::string expected = "<6>[DCMN]set option to global, handle is empty.\n";
        if (r.warning) expected += std::string("<4>") + r.warning;
        EXPECT_EQ(log.dump(), expected);
    }
}

struct TextRow {
    int option;
    const char *key;
    size_t capacity;
};

const TextRow kTexts[] = {
    {DURL_OPT_USER_AGENT, "USER_AGENT", 512},
    {DURL_OPT_MAC_ADDR, "MAC_ADDR", 64},
    {DURL_OPT_SSL_CIPHER, "SSL_CIPHER", 512},
    {DURL_OPT_SSL_TRUST_PATH, "SSL_TRUST_PATH", 128},
    {DURL_OPT_SSL_USER_PATH, "SSL_USER_PATH", 128},
    {DURL_OPT_SSL_CA_FILE, "SSL_CA_FILE", 128},
    {DURL_OPT_SSL_CA_USEFILE, "SSL_CA_USEFILE", 128},
    {DURL_OPT_SSL_WEB_CAPATH, "SSL_WEB_CAPATH", 128},
    {DURL_OPT_ADDITION_BODY, "ADDITION_BODY", 512},
    {DURL_OPT_CUSTOM_METHOD, "CUSTOM_METHOD", 128},
    {DURL_OPT_SSL_USER_FILE, "SSL_USER_FILE", 128},
    {DURL_OPT_EXTERN_DISPOSITION, "EXTERN_DISPOSITION", 512},
    {DURL_OPT_EXTERN_BODY, "EXTERN_BODY", 512},
    {DURL_OPT_DISPOSITION, "DISPOSITION", 512},
};

TEST_F(Options, TextsMustFitTheirFieldWithTheTerminator) {
    durl_handle *h = nullptr;
    ASSERT_EQ(durl_create(&h), 0);
    for (const TextRow &r : kTexts) {
        SCOPED_TRACE(r.key);
        std::string longest(r.capacity - 1, 'a');
        std::string exact(r.capacity, 'b');
        std::string longer(r.capacity + 1, 'c');
        log.clear();
        EXPECT_EQ(durl_set_option(h, r.option, longest.c_str()), 0);
        EXPECT_EQ(log.dump(), "<6>[DCMN]SET " + std::string(r.key) + ": " + longest + "\n");
        // Each refusal leaves the accepted value in place: as long as the field (no room for
        // the terminator), longer, empty, and no text at all.
        const char *refused[] = {exact.c_str(), longer.c_str(), "", nullptr};
        for (const char *value : refused) {
            log.clear();
            EXPECT_EQ(durl_set_option(h, r.option, value), 0);
            std::string shown = value ? value : "";
            EXPECT_EQ(log.dump(), "<3>[DCMN]set " + std::string(r.key) + " err," + shown + ".\n");
        }
        char text[8192];
        ASSERT_EQ(durl_dump(h, text, sizeof text), 0);
        if (r.option == DURL_OPT_USER_AGENT) {
            EXPECT_NE(std::string(text).find("user_agent=" + longest + "\n"), std::string::npos);
        }
    }
    EXPECT_EQ(std::string(h->custom_method), std::string(127, 'a'));
    EXPECT_EQ(std::string(durl_config_snapshot(h).mac_addr), std::string(63, 'a'));
}

TEST_F(Options, SecretsNeverReachTheLog) {
    // Fault guarded: the key password and the key-generator seed were logged in clear.
    const TextRow secrets[] = {{DURL_OPT_SSL_PASSWD, "SSL_PASSWD", 512},
                               {DURL_OPT_ENV_RANDOMNESS, "ENV_RANDOMNESS", 512}};
    for (const TextRow &r : secrets) {
        SCOPED_TRACE(r.key);
        std::string key(r.key);
        log.clear();
        EXPECT_EQ(durl_set_option(nullptr, r.option, "s3cr3t-value"), 0);
        EXPECT_EQ(durl_set_option(nullptr, r.option, std::string(600, 'Q').c_str()), 0);
        EXPECT_EQ(durl_set_option(nullptr, r.option, ""), 0);
        EXPECT_TRUE(log.contains(6, "[DCMN]SET " + key + ": ******\n")) << log.dump();
        EXPECT_EQ(log.count(3, "[DCMN]set " + key + " err,******.\n"), 2u) << log.dump();
        EXPECT_FALSE(log.mentions("s3cr3t")) << log.dump();
        EXPECT_FALSE(log.mentions("QQQ"));
    }
    durl_config c = durl_config_snapshot(nullptr);
    EXPECT_STREQ(c.ssl_passwd, "s3cr3t-value");
    EXPECT_STREQ(c.env_randomness, "s3cr3t-value");
}

TEST_F(Options, TrustPathAndCaFileSeedTheirEmptyCounterparts) {
    durl_handle *h = nullptr;
    ASSERT_EQ(durl_create(&h), 0);
    durl_set_option(h, DURL_OPT_SSL_TRUST_PATH, "/config/certs");
    durl_set_option(h, DURL_OPT_SSL_CA_FILE, "/config/dev.pem");
    durl_config c = durl_config_snapshot(h);
    EXPECT_STREQ(c.ssl_trust_path, "/config/certs");
    EXPECT_STREQ(c.ssl_user_path, "/config/certs");
    EXPECT_STREQ(c.ssl_ca_file, "/config/dev.pem");
    EXPECT_STREQ(c.ssl_ca_usefile, "/config/dev.pem");

    // Explicit settings win, and seeding never overwrites a non-empty field.
    durl_set_option(h, DURL_OPT_SSL_USER_PATH, "/other/dir");
    durl_set_option(h, DURL_OPT_SSL_CA_USEFILE, "/other/cert.pem");
    durl_set_option(h, DURL_OPT_SSL_TRUST_PATH, "/second");
    durl_set_option(h, DURL_OPT_SSL_CA_FILE, "/second.pem");
    c = durl_config_snapshot(h);
    EXPECT_STREQ(c.ssl_trust_path, "/second");
    EXPECT_STREQ(c.ssl_user_path, "/other/dir");
    EXPECT_STREQ(c.ssl_ca_file, "/second.pem");
    EXPECT_STREQ(c.ssl_ca_usefile, "/other/cert.pem");
}

TEST_F(Options, UnsupportedIdsAndBadHandles) {
    for (int option : {21, 23, 24, 25, 26, 27, 28, 40, 1000, -1, INT_MIN}) {
        SCOPED_TRACE(option);
        log.clear();
        EXPECT_EQ(durl_set_option(nullptr, option, 1), -148);
        EXPECT_TRUE(log.contains(3, "[DCMN]set option fails, option is no support.\n"));
    }
    int unknown = 0;
    auto *stranger = reinterpret_cast<durl_handle *>(&unknown);
    log.clear();
    EXPECT_EQ(durl_set_option(stranger, DURL_OPT_CONNECT_TIMEOUT, 9), -102);
    EXPECT_EQ(log.dump(), "<3>[DCMN]set option fails, handle is empty.\n");

    durl_handle *h = nullptr;
    ASSERT_EQ(durl_create(&h), 0);
    h->in_use = 0;
    log.clear();
    EXPECT_EQ(durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 9), -102);
    EXPECT_EQ(log.dump(), "<3>[DCMN]set option fails, handle is no init.\n");
    h->in_use = 1;
    log.clear();
    EXPECT_EQ(durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 9), 0);
    EXPECT_TRUE(log.empty()) << log.dump();
    EXPECT_EQ(durl_config_snapshot(h).connect_timeout, 9);

    // No read-back, whatever the handle.
    log.clear();
    EXPECT_EQ(durl_get_option(nullptr), -102);
    EXPECT_EQ(durl_get_option(h, DURL_OPT_CONNECT_TIMEOUT), -102);
    EXPECT_EQ(durl_get_option(stranger), -102);
    EXPECT_EQ(log.dump(),
              "<6>[DCMN]get option form global, handle is empty.\n"
              "<3>[DCMN]get option fails, handle is empty.\n");
}

TEST_F(Options, DumpTextByteForByte) {
    durl_set_option(nullptr, DURL_OPT_NET_IPV6, 1);
    durl_set_option(nullptr, DURL_OPT_CONNECT_TIMEOUT, 30);
    durl_set_option(nullptr, DURL_OPT_OPERATE_TIMEOUT, 600);
    durl_set_option(nullptr, DURL_OPT_MAX_FILESIZE, 1048576);
    durl_set_option(nullptr, DURL_OPT_MAC_ADDR, "00:11:22:33:44:55");
    durl_set_option(nullptr, DURL_OPT_LOW_SPEED_LIMIT, 100);
    durl_set_option(nullptr, DURL_OPT_LOW_SPEED_TIME, 20);
    durl_set_option(nullptr, DURL_OPT_SSL_VERIFY_PEER, 1);
    durl_set_option(nullptr, DURL_OPT_SSL_TRUST_PATH, "/config/certs/");
    durl_set_option(nullptr, DURL_OPT_SSL_CA_FILE, "/config/dev.pem");
    durl_set_option(nullptr, DURL_OPT_SSL_CIPHER, "DEFAULT");
    const std::string expected =
        "durl_version=5.6.1.39-release Built-at:Feb 13 2020-15:55:19\n"
        "net_ipv6=1\nnet_preferred=0\nconnect_timeout=30\noperate_timeout=600\n"
        "max_filesize=1048576\nmac=00:11:22:33:44:55\nlow_speed=100byte-20s\nkeep_post=7\n"
        "user_agent=Talvora\nssl_version=3\nssl_verify_peer=1\nssl_verify_host=0\n"
        "ssl_sign_algo=0\nssl_def_cert=0\nssl_trust_path=/config/certs/\n"
        "ssl_dev_cert=/config/dev.pem\nssl_web_cert_path=/tmp\nssl_cipher=DEFAULT\n";
    char text[4096];
    memset(text, 'Z', sizeof text);
    log.clear();
    ASSERT_EQ(durl_dump(nullptr, text, sizeof text), 0);
    EXPECT_EQ(std::string(text), expected);
    EXPECT_EQ(text[sizeof text - 1], '\0');  // the rest is zero-filled
    EXPECT_EQ(log.dump(), "<6>[DCMN]dump the global info.\n");

    // The default handle's own address is "the default handle" too.
    ASSERT_EQ(durl_dump(&g_durl.default_handle, text, sizeof text), 0);
    EXPECT_EQ(std::string(text), expected);

    // Cut to the buffer: at most size - 2 characters, always terminated.
    memset(text, 'Z', sizeof text);
    ASSERT_EQ(durl_dump(nullptr, text, 10), 0);
    EXPECT_EQ(std::string(text), "durl_ver");
    EXPECT_EQ(text[9], '\0');
    EXPECT_EQ(text[10], 'Z');
    ASSERT_EQ(durl_dump(nullptr, text, 1), 0);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], 'u');  // only the one byte was written
    EXPECT_EQ(durl_dump(nullptr, nullptr, 100), 0);
    EXPECT_EQ(durl_dump(nullptr, text, 0), 0);
}

TEST_F(Options, DumpLogsCompleteSessionLinesInPiecesOf249) {
    durl_handle *h = nullptr;
    ASSERT_EQ(durl_create(&h), 0);
    std::string long_line(300, 'L');
    std::string session = "TLSv1.3 TLS_AES_256_GCM_SHA384\n\n" + long_line + "\nno line feed";
    snprintf(h->cfg.ssl_session_dump, sizeof h->cfg.ssl_session_dump, "%s", session.c_str());
    char text[4096];
    log.clear();
    ASSERT_EQ(durl_dump(h, text, sizeof text), 0);
    EXPECT_EQ(log.dump(),
              "<6>[DCMN]dump:TLSv1.3 TLS_AES_256_GCM_SHA384\n<6>[DCMN]dump:\n<6>[DCMN]dump:" +
                  long_line.substr(0, 249) + "\n<6>[DCMN]dump:" + long_line.substr(249) + "\n");
    std::string dumped(text);
    EXPECT_EQ(dumped.substr(dumped.size() - session.size()), session);

    // A description starting with "0" is not logged, but still ends the text.
    snprintf(h->cfg.ssl_session_dump, sizeof h->cfg.ssl_session_dump, "0 none\n");
    log.clear();
    ASSERT_EQ(durl_dump(h, text, sizeof text), 0);
    EXPECT_TRUE(log.empty()) << log.dump();
    EXPECT_NE(std::string(text).find("ssl_cipher=\n0 none\n"), std::string::npos);

    // An engine that filled the whole field without a terminator is not trusted.
    memset(h->cfg.ssl_session_dump, 'X', sizeof h->cfg.ssl_session_dump);
    ASSERT_EQ(durl_dump(h, text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("ssl_cipher=\n" + std::string(511, 'X')), std::string::npos);
}

TEST_F(Options, DumpRefusesUnknownHandlesAndWorksBeforeInit) {
    int unknown = 0;
    log.clear();
    EXPECT_EQ(durl_dump(reinterpret_cast<durl_handle *>(&unknown), nullptr, 0), -102);
    EXPECT_EQ(log.dump(), "<3>[DCMN]dump fails, You must call the init function.\n");

    durl_handle *h = nullptr;
    ASSERT_EQ(durl_create(&h), 0);
    durl_set_option(h, DURL_OPT_USER_AGENT, "Mine");
    char text[4096];
    log.clear();
    ASSERT_EQ(durl_dump(h, text, sizeof text), 0);
    EXPECT_TRUE(log.empty());
    EXPECT_NE(std::string(text).find("user_agent=Mine\n"), std::string::npos);

    ASSERT_EQ(durl_cleanup(), 0);
    log.clear();
    durl_set_option(nullptr, DURL_OPT_USER_AGENT, "Early");
    ASSERT_EQ(durl_dump(nullptr, text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("user_agent=Early\n"), std::string::npos);
    EXPECT_TRUE(log.empty());
    ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
}

}  // namespace
