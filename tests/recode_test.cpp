// The result code space and the entry-point frame; the outcome of real transfers and the
// trace callbacks on real traffic, against the local HTTP and HTTPS servers.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "engine.h"
#include "frame.h"
#include "log_capture.h"
#include "raii.h"
#include "servers.h"

namespace {

using durl_test::http_url;
using durl_test::https_url;

TEST(Recode, FoldKeepsTheThreeKindsOfCodesApart) {
    struct Row {
        int engine, caller, stored;
    } rows[] = {{0, 0, 0},      {7, -107, -107},    {1, -101, -101}, {99, -199, -199},
                {100, 0, 100},  {200, 0, 200},      {299, 0, 299},   {301, -1, 301},
                {404, -1, 404}, {-128, -128, -128}, {-2, -2, -2},    {-102, -102, -102}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.engine);
        int32_t recode = 12345;
        EXPECT_EQ(durl_recode_change(r.engine, &recode), r.caller);
        EXPECT_EQ(recode, r.stored);
        EXPECT_EQ(durl_recode_change(r.engine, nullptr), r.caller);
        durl_result res{};
        EXPECT_EQ(durl_fold(r.engine, &res), r.caller);
        EXPECT_EQ(res.recode, r.stored);
        EXPECT_EQ(durl_fold(r.engine, nullptr), r.caller);
    }
}

class Frame : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        log.clear();
    }
    static int run(const durl_entry_lines &lines, durl_handle *h, durl_handle **seen) {
        return durl_entry(lines, h, [&](durl_handle *resolved) {
            *seen = resolved;
            return 7;
        });
    }
};

const durl_entry_lines kLogged = {
    "op entry.\n", "op null.\n", "op unknown.\n", "op dead.\n", durl_live_check::logged, false};

TEST_F(Frame, ResolvesHandlesAndLogsEachOutcome) {
    durl_handle *seen = nullptr;
    EXPECT_EQ(run(kLogged, nullptr, &seen), 7);
    EXPECT_EQ(seen, &g_durl.default_handle);
    EXPECT_EQ(log.dump(), "<6>[DCMN]op entry.\n<6>[DCMN]op null.\n");

    durl_handle *h = nullptr;
    ASSERT_EQ(durl_create(&h), 0);
    log.clear();
    EXPECT_EQ(run(kLogged, h, &seen), 7);
    EXPECT_EQ(seen, h);
    EXPECT_EQ(log.dump(), "<6>[DCMN]op entry.\n");

    // The default handle's address is a registered handle unless the operation says otherwise.
    log.clear();
    EXPECT_EQ(run(kLogged, &g_durl.default_handle, &seen), 7);
    EXPECT_EQ(log.dump(), "<6>[DCMN]op entry.\n");
    durl_entry_lines as_null = kLogged;
    as_null.default_is_null = true;
    log.clear();
    EXPECT_EQ(run(as_null, &g_durl.default_handle, &seen), 7);
    EXPECT_EQ(log.dump(), "<6>[DCMN]op entry.\n<6>[DCMN]op null.\n");

    // Not live: logged, silent or not examined.
    h->in_use = 0;
    seen = nullptr;
    log.clear();
    EXPECT_EQ(run(kLogged, h, &seen), -102);
    EXPECT_EQ(log.dump(), "<6>[DCMN]op entry.\n<3>[DCMN]op dead.\n");
    durl_entry_lines lines = kLogged;
    lines.live = durl_live_check::silent;
    log.clear();
    EXPECT_EQ(run(lines, h, &seen), -102);
    EXPECT_EQ(log.dump(), "<6>[DCMN]op entry.\n");
    EXPECT_EQ(seen, nullptr);
    lines.live = durl_live_check::skipped;
    EXPECT_EQ(run(lines, h, &seen), 7);
    h->in_use = 1;

    // A destroyed handle is refused with -102 and the registry line.
    ASSERT_EQ(durl_destroy(h), 0);
    log.clear();
    EXPECT_EQ(run(kLogged, h, &seen), -102);
    EXPECT_EQ(log.dump(), "<6>[DCMN]op entry.\n<3>[DCMN]op unknown.\n");
}

TEST_F(Frame, BeforeInitNothingIsLoggedAndNoHandleIsLive) {
    ASSERT_EQ(durl_cleanup(), 0);
    log.clear();
    durl_handle *seen = nullptr;
    EXPECT_EQ(run(kLogged, nullptr, &seen), -102);
    int unknown = 0;
    EXPECT_EQ(run(kLogged, reinterpret_cast<durl_handle *>(&unknown), &seen), -102);
    EXPECT_TRUE(log.empty());
    ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
}

TEST_F(Frame, ArgumentErrorsAndExceptionsNeverCrossTheBoundary) {
    EXPECT_EQ(durl_entry(kLogged, nullptr,
                         [](durl_handle *) { return durl_arg_error("op: url is empty.\n"); }),
              -2);
    EXPECT_TRUE(log.contains(3, "[DCMN]op: url is empty.\n"));
    EXPECT_EQ(durl_entry(kLogged, nullptr, [](durl_handle *) -> int { throw std::bad_alloc(); }),
              -127);
    EXPECT_EQ(
        durl_entry(kLogged, nullptr, [](durl_handle *) -> int { throw std::runtime_error("x"); }),
        -127);
}

// ----------------------------------------------------------------- real transfers

size_t collect(char *data, size_t size, size_t n, void *out) {
    static_cast<std::string *>(out)->append(data, size * n);
    return size * n;
}

class RealTransfer : public DurlTest {
protected:
    // A bare easy handle for a GET of url, collecting the body.
    void prepare(const std::string &url) {
        curl.reset(curl_easy_init());
        body.clear();
        snprintf(param.url, sizeof param.url, "%s", url.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(curl.get(), CURLOPT_CAINFO, durl_test::pki().ca_pem.c_str());
    }
    // Performs the GET and reads its outcome as the engine does.
    int fetch(const std::string &url, int no_redirect, bool follow, int scheme = DURL_PROTO_HTTP) {
        prepare(url);
        param.no_redirect = no_redirect;
        curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, follow ? 1L : 0L);
        int rc = curl_easy_perform(curl.get());
        log.clear();
        return durl_get_recode(curl.get(), &param, report, rc, scheme, no_redirect);
    }
    durl::CurlPtr curl;
    durl_url_param param{};
    char report[1024] = {};
    std::string body;
};

TEST_F(RealTransfer, StatusesBecomeCodes) {
    struct Row {
        std::string path;
        int code;
        int level;
        const char *verdict;
    } rows[] = {
        {"/status/200", 0, 6, "Request ok"},    {"/status/204", 0, 6, "Request ok"},
        {"/status/404", 404, 3, "Request err"}, {"/status/500", 500, 3, "Request err"},
        {"/status/304", 304, 3, "Request err"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.path);
        int status = std::stoi(r.path.substr(8));
        EXPECT_EQ(fetch(http_url(r.path), 0, false), r.code);
        EXPECT_EQ(log.dump(), "<" + std::to_string(r.level) + ">[DCMN]Recode is " +
                                  std::to_string(status) + ", " + r.verdict + ".\n");
        EXPECT_STREQ(report, "");  // same URL, nothing to report
    }
    // The engine's fold turns these into what callers see.
    EXPECT_EQ(durl_recode_change(fetch(http_url("/status/404"), 0, false), nullptr), -1);
    EXPECT_EQ(fetch(https_url("/status/200"), 0, false, DURL_PROTO_HTTPS), 0);
}

TEST_F(RealTransfer, RedirectsFollowedAndNot) {
    const std::string target = http_url("/bytes/10");
    // Not followed: 302 is a failure unless the request says no_redirect; either way the
    // target is reported.
    EXPECT_EQ(fetch(http_url("/redirect?to=/bytes/10"), 0, false), 302);
    EXPECT_EQ(std::string(report), target);
    memset(report, 0, sizeof report);
    EXPECT_EQ(fetch(http_url("/redirect?to=/bytes/10&code=301"), 1, false), 0);
    EXPECT_EQ(log.dump(), "<6>[DCMN]Recode is 301, Request ok.\n");
    EXPECT_EQ(std::string(report), target);
    EXPECT_EQ(fetch(http_url("/redirect?to=/bytes/10&code=307"), 1, false), 307);

    // Followed: the final URL is reported.
    memset(report, 0, sizeof report);
    EXPECT_EQ(fetch(http_url("/redirect/3"), 0, true), 0);
    EXPECT_EQ(std::string(report), http_url("/redirect/0"));
    EXPECT_EQ(body, "chain end\n");

    // A target equal to the request URL but for letter case is not worth reporting.
    fetch(http_url("/redirect?to=/bytes/10"), 1, false);
    snprintf(param.url, sizeof param.url, "%s", http_url("/BYTES/10").c_str());
    snprintf(report, sizeof report, "untouched");
    EXPECT_EQ(durl_get_recode(curl.get(), &param, report, 0, DURL_PROTO_HTTP, 1), 0);
    EXPECT_STREQ(report, "untouched");
    EXPECT_EQ(durl_get_recode(curl.get(), &param, nullptr, 0, DURL_PROTO_HTTP, 0), 302);
    // Only HTTP and HTTPS report a URL.
    EXPECT_EQ(durl_get_recode(curl.get(), &param, report, 0, DURL_PROTO_FTP, 1), 0);
    EXPECT_STREQ(report, "untouched");
}

TEST_F(RealTransfer, LibcurlFailuresAndTftpPassThroughUnread) {
    std::string refused = "http://127.0.0.1:" + std::to_string(durl_test::closed_port()) + "/";
    EXPECT_EQ(fetch(refused, 0, false), CURLE_COULDNT_CONNECT);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(durl_recode_change(CURLE_COULDNT_CONNECT, nullptr), -107);
    // A TFTP transfer that libcurl completed is a success without any status.
    EXPECT_EQ(fetch(http_url("/status/404"), 0, false, DURL_PROTO_TFTP), 0);
    EXPECT_TRUE(log.empty());
}

TEST_F(RealTransfer, TraceCallbacksOnRealTraffic) {
    prepare(http_url("/bytes/300?header=X-Extra:1"));
    curl_easy_setopt(curl.get(), CURLOPT_DEBUGFUNCTION, durl_trace_normal);
    curl_easy_setopt(curl.get(), CURLOPT_VERBOSE, 1L);
    log.clear();
    ASSERT_EQ(curl_easy_perform(curl.get()), CURLE_OK);
    std::string port = std::to_string(durl_test::http_port());
    std::vector<std::string> lines = log.texts(6);
    std::vector<std::string> expected = {
        "[DCMN]Request header\n",
        "[DCMN]GET /bytes/300?header=X-Extra:1 HTTP/1.1\n",
        "[DCMN]Host: 127.0.0.1:" + port + "\n",
        "[DCMN]...\n",
        "[DCMN]Response header\n",
        "[DCMN]HTTP/1.1 200 OK\n",
    };
    ASSERT_GE(lines.size(), expected.size()) << log.dump();
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6), expected);
    EXPECT_TRUE(log.contains(6, "[DCMN]Content-Length: 300\n")) << log.dump();
    EXPECT_FALSE(log.mentions("X-Extra: 1"));                 // not a header of interest
    EXPECT_FALSE(log.mentions(durl_test::pattern_body(40)));  // no body in normal mode
    EXPECT_FALSE(log.mentions("CURL Info"));
    EXPECT_EQ(log.size(), lines.size());  // everything at level 6

    // Debug mode: libcurl's own texts, every header and the body in 200-character lines.
    body.clear();
    curl_easy_setopt(curl.get(), CURLOPT_DEBUGFUNCTION, durl_trace_debug);
    log.clear();
    ASSERT_EQ(curl_easy_perform(curl.get()), CURLE_OK);
    EXPECT_TRUE(log.mentions("[DCMN]CURL Info: ")) << log.dump();
    EXPECT_TRUE(log.contains(6, "[DCMN]X-Extra: 1\n")) << log.dump();
    EXPECT_TRUE(log.contains(6, "[DCMN]Response data\n"));
    std::string pattern = durl_test::pattern_body(300);
    EXPECT_TRUE(log.contains(6, "[DCMN]" + pattern.substr(0, 200) + "\n"));
    EXPECT_TRUE(log.contains(6, "[DCMN]" + pattern.substr(200) + "\n"));
    EXPECT_FALSE(log.contains(6, "[DCMN]...\n"));
    EXPECT_EQ(body, pattern);

    // HTTPS: TLS records never appear, the HTTP exchange does.
    prepare(https_url("/status/404"));
    curl_easy_setopt(curl.get(), CURLOPT_DEBUGFUNCTION, durl_trace_normal);
    curl_easy_setopt(curl.get(), CURLOPT_VERBOSE, 1L);
    log.clear();
    ASSERT_EQ(curl_easy_perform(curl.get()), CURLE_OK);
    EXPECT_TRUE(log.contains(6, "[DCMN]HTTP/1.1 404 Not Found\n")) << log.dump();
    for (const LogLine &l : log.lines()) {
        std::string shown = l.text.substr(0, l.text.size() - 1);  // without the line feed
        EXPECT_TRUE(std::all_of(shown.begin(), shown.end(), [](unsigned char c) {
            return c >= 32 && c <= 127;
        })) << l.text;
    }
}

}  // namespace
