// The result code space, the entry-point frame, and the outcome and trace of real transfers
// against the local HTTP and HTTPS servers.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "dl_ca.h"
#include "engine.h"
#include "frame.h"
#include "log_capture.h"
#include "raii.h"
#include "servers.h"

namespace {

using durl_test::http_url;
using durl_test::https_url;

TEST(Recode, FoldKeepsTheThreeKindsOfCodesApart) {
    // Success, libcurl codes (shifted below -100), HTTP statuses (kept, caller sees -1) and
    // the library's own negative codes (unchanged).
    const struct Row {
        int engine, caller, stored;
    } rows[] = {{0, 0, 0},      {7, -107, -107}, {99, -199, -199},   {100, 0, 100}, {299, 0, 299},
                {301, -1, 301}, {404, -1, 404},  {-128, -128, -128}, {-2, -2, -2}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.engine);
        durl_result res{};
        EXPECT_EQ(durl_recode_change(r.engine, &res.recode), r.caller);
        EXPECT_EQ(res.recode, r.stored);
        EXPECT_EQ(durl_recode_change(r.engine, nullptr), r.caller);
    }
}

// An application hook written in C++ that throws from inside an export, when armed.
int g_throw = 0;  // 1: std::bad_alloc, 2: std::runtime_error
int throwing_hook(void *, int, const char *, ...) {
    if (g_throw == 1) throw std::bad_alloc();
    if (g_throw == 2) throw std::runtime_error("hook");
    return 0;
}

// Fault guarded: an exception raised inside an export crossed the C boundary (10 of the 16
// transfer exports and 13 of the 15 certificate exports had no frame).
TEST(Frame, NoExceptionCrossesTheBoundary) {
    int context = 0;
    const std::string dir = durl_test::scratch_dir("frame") + "/", pem = durl_test::pki().ca_pem;
    ASSERT_EQ(durl_init(&context, throwing_hook), 0);
    durl_set_option(nullptr, DURL_OPT_SSL_TRUST_PATH, (dir + "trust/").c_str());
    durl_set_option(nullptr, DURL_OPT_SSL_CA_FILE, (dir + "server/WebServer.pem").c_str());
    durl_url_param p{};
    std::snprintf(p.url, sizeof p.url, "%s", http_url("/bytes/10").c_str());
    durl_result r{};
    char buf[64];
    dl_ca_info info{};
    dl_ca_info_ex info_ex{};
    dl_ca_status status{};
    // Each call logs before it would finish; the hook throws from there. status: the code an
    // exception leaves in the status block (-1: the call has none).
    const struct Row {
        const char *call;
        std::function<long()> run;
        long code;
        int status;
    } rows[] = {
#define FRAME_ROW(call, code, status) {#call, [&] { return static_cast<long>(call); }, code, status}
        FRAME_ROW(durl_download_to_file(nullptr, &r, &p, "/x"), -127, -1),
        FRAME_ROW(durl_download_to_memory(nullptr, &r, &p), -127, -1),
        FRAME_ROW(durl_upload(nullptr, &r, &p, "/x", nullptr), -127, -1),
        FRAME_ROW(durl_open(nullptr, &r, &p), -127, -1),
        FRAME_ROW(durl_read(nullptr, &r, buf, sizeof buf), -127, -1),
        FRAME_ROW(durl_close(nullptr), -127, -1),
        FRAME_ROW(durl_set_option(nullptr, DURL_OPT_USER_AGENT, "agent"), -127, -1),
        FRAME_ROW(durl_get_option(nullptr), -127, -1),
        FRAME_ROW(durl_dump(nullptr, buf, sizeof buf), -127, -1),
        FRAME_ROW(durl_perform(), -127, -1),
        FRAME_ROW(dl_ca_cmp(pem.c_str(), pem.c_str()), -1, -1),
        FRAME_ROW(dl_get_ca_hash(pem.c_str()), 0, -1),
        FRAME_ROW(dl_install_ca(pem.c_str()), -1, -1),
        FRAME_ROW(dl_get_trust_ca_info(nullptr), -2, -1),
        FRAME_ROW(dl_get_trust_ca_info_ex(nullptr, &status), -1, 2),
        FRAME_ROW(dl_install_ser_ca(pem.c_str()), -5, -1),
        FRAME_ROW(dl_install_ser_ca_separate(nullptr), -1, -1),
        FRAME_ROW(dl_get_ser_ca_info(nullptr), -2, -1),
        FRAME_ROW(dl_get_ca_info(pem.c_str(), &info), -2, -1),
        FRAME_ROW(dl_get_ca_info_ex(pem.c_str(), &info_ex, 0, &status), -1, 2),
        FRAME_ROW(dl_cert_verify(nullptr, nullptr, nullptr, 0, &status), -1, 2),
        FRAME_ROW(dl_generate_client_cert(nullptr, nullptr, nullptr, nullptr, nullptr, 0), -1, -1),
        FRAME_ROW(dl_cert_build_csr_req_file(nullptr, nullptr, nullptr, 0), 17, -1),
#undef FRAME_ROW
    };
    for (int kind : {1, 2}) {
        for (const Row &row : rows) {
            SCOPED_TRACE(std::string(row.call) + (kind == 1 ? " bad_alloc" : " other"));
            status = dl_ca_status{};
            g_throw = kind;
            const long code = row.run();
            g_throw = 0;
            EXPECT_EQ(code, row.code);
            if (row.status >= 0) {
                EXPECT_EQ(status.code, row.status);
            }
        }
    }
    EXPECT_EQ(r.recode, 0);

    // The lifecycle: a failed start leaves nothing started, a failed stop can be repeated.
    durl_handle *h = nullptr;
    ASSERT_EQ(durl_create(&h), 0);
    g_throw = 1;
    EXPECT_EQ(durl_destroy(h), -127);
    EXPECT_EQ(durl_cleanup(), -127);
    g_throw = 0;
    EXPECT_EQ(durl_cleanup(), 0);
    g_throw = 1;
    EXPECT_EQ(durl_init(&context, throwing_hook), -102);
    g_throw = 0;
    EXPECT_EQ(durl_cleanup(), -102);  // not initialised
    EXPECT_EQ(durl_init(&context, throwing_hook), 0);
    g_throw = 2;
    EXPECT_EQ(durl_create(&h), -127);
    g_throw = 0;
    EXPECT_EQ(durl_cleanup(), 0);
}

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
        curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(curl.get(), CURLOPT_CAINFO, durl_test::pki().ca_pem.c_str());
    }
    durl::CurlPtr curl;
    std::string body;
};

TEST_F(RealTransfer, StatusesAndRedirectsBecomeCodesAndTheFinalUrl) {
    const struct Row {
        std::string url;
        int no_redirect, follow, code;
        std::string reported;  // "" when the final URL is the requested one
    } rows[] = {
        {http_url("/status/200"), 0, false, 0, ""},
        {https_url("/status/200"), 0, false, 0, ""},
        {http_url("/status/404"), 0, false, 404, ""},
        {http_url("/redirect?to=/bytes/10"), 0, false, 302, http_url("/bytes/10")},
        {http_url("/redirect?to=/bytes/10"), 1, false, 0, http_url("/bytes/10")},
        {http_url("/redirect?to=/bytes/10&code=307"), 1, false, 307, http_url("/bytes/10")},
        {http_url("/redirect/3"), 0, true, 0, http_url("/redirect/0")},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.url + (r.no_redirect ? " no_redirect" : ""));
        prepare(r.url);
        curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, r.follow ? 1L : 0L);
        durl_url_param param{};
        snprintf(param.url, sizeof param.url, "%s", r.url.c_str());
        char report[1024] = {};
        int rc = curl_easy_perform(curl.get());
        int scheme = r.url.rfind("https", 0) == 0 ? DURL_PROTO_HTTPS : DURL_PROTO_HTTP;
        EXPECT_EQ(durl_get_recode(curl.get(), &param, report, rc, scheme, r.no_redirect), r.code);
        EXPECT_EQ(std::string(report), r.reported);
    }
    EXPECT_EQ(body, "chain end\n");  // the followed chain really ended
}

TEST_F(RealTransfer, TraceCallbacksOnHttpAndHttps) {
    auto traced = [&](const std::string &url, curl_debug_callback trace) {
        prepare(url);
        curl_easy_setopt(curl.get(), CURLOPT_DEBUGFUNCTION, trace);
        curl_easy_setopt(curl.get(), CURLOPT_VERBOSE, 1L);
        log.clear();
        return curl_easy_perform(curl.get());
    };
    ASSERT_EQ(traced(http_url("/bytes/300?header=X-Extra:1"), durl_trace_normal), CURLE_OK);
    const std::string start =
        "<6>[DCMN]Request header\n<6>[DCMN]GET /bytes/300?header=X-Extra:1 "
        "HTTP/1.1\n<6>[DCMN]Host: 127.0.0.1:" +
        std::to_string(durl_test::http_port()) +
        "\n<6>[DCMN]...\n<6>[DCMN]Response header\n<6>[DCMN]HTTP/1.1 200 OK\n";
    EXPECT_EQ(log.dump().substr(0, start.size()), start);
    EXPECT_TRUE(log.contains(6, "[DCMN]Content-Length: 300\n")) << log.dump();
    EXPECT_FALSE(log.mentions("X-Extra: 1") || log.mentions("CURL Info"));  // normal mode

    // Debug mode over TLS: libcurl's texts, every header and the body in 200-character
    // lines, but never the TLS records.
    ASSERT_EQ(traced(https_url("/bytes/300?header=X-Extra:1"), durl_trace_debug), CURLE_OK);
    const std::string pattern = durl_test::pattern_body(300);
    EXPECT_EQ(body, pattern);
    EXPECT_TRUE(log.mentions("[DCMN]CURL Info: ")) << log.dump();
    EXPECT_TRUE(log.contains(6, "[DCMN]X-Extra: 1\n")) << log.dump();
    EXPECT_TRUE(log.contains(6, "[DCMN]" + pattern.substr(0, 200) + "\n"));
    EXPECT_TRUE(log.contains(6, "[DCMN]" + pattern.substr(200) + "\n"));
    for (const LogLine &l : log.lines()) {
        if (l.text.rfind("[DCMN]CURL Info: ", 0) == 0) continue;
        EXPECT_EQ(l.text.find("...."), std::string::npos) << l.text;  // binary shows as dots
    }
}

}  // namespace
