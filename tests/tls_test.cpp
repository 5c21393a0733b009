// Connection setup and TLS options against the local peers: request fields on the wire,
// the trust source, client certificates, cipher fallback, protocol selectors and the TLS
// session text.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "durl.h"
#include "engine.h"
#include "log_capture.h"
#include "servers.h"
#include "transfer_util.h"

using namespace durl_test;

namespace {

class Tls : public DurlTest {};
class Connect : public DurlTest {};

std::string session_text(durl_handle *h) { return durl_config_snapshot(h).ssl_session_dump; }

// The one record the server logged for a request made by run().
template <class Run>
HttpRecord sent_by(Run run) {
    http_log_reset();
    run();
    std::vector<HttpRecord> log = http_log();
    EXPECT_FALSE(log.empty());
    return log.empty() ? HttpRecord{} : log.back();
}

}  // namespace

TEST(ConnectHelpers, UrlLoginAndAuthMapping) {
    struct Row {
        const char *url;
        int login;
    } rows[] = {{"http://u:p@host/x", 1}, {"http://host/a@b", 0}, {"host@x", 0},
                {"ftp://user@host", 1},   {"http://host", 0},     {"", 0}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.url);
        EXPECT_EQ(row.login, durl_url_login(row.url));
    }
    const std::string far = "http://" + std::string(256, 'a') + "@host/";
    EXPECT_EQ(0, durl_url_login(far.c_str()));
    const std::string near = "http://" + std::string(255, 'a') + "@host/";
    EXPECT_EQ(1, durl_url_login(near.c_str()));
    EXPECT_EQ(static_cast<long>(CURLAUTH_BASIC), durl_getcurl_auth(1));
    EXPECT_EQ(static_cast<long>(CURLAUTH_DIGEST), durl_getcurl_auth(2));
    EXPECT_EQ(static_cast<long>(CURLAUTH_NTLM), durl_getcurl_auth(3));
    EXPECT_EQ(static_cast<long>(CURLAUTH_NEGOTIATE), durl_getcurl_auth(4));
    EXPECT_EQ(static_cast<long>(CURLAUTH_NONE), durl_getcurl_auth(5));
    for (int code : {0, 6, 99}) EXPECT_EQ(static_cast<long>(CURLAUTH_ANY), durl_getcurl_auth(code));
    EXPECT_EQ(CURL_SSLVERSION_DEFAULT, durl_get_curl_sslver(9));
    EXPECT_EQ(CURL_SSLVERSION_TLSv1_1, durl_get_curl_sslver(4));
}

TEST_F(Connect, RequestFieldsReachTheServer) {
    Handle h;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_USER_AGENT, "durl-test-agent"));
    durl_url_param post = make_param(http_url("/echo"));
    post.method = DURL_METHOD_POST;
    post.post_data = const_cast<char *>("a=1&b=2");
    HttpRecord r = sent_by([&] { EXPECT_EQ(0, fetch_memory(h, post).rc); });
    EXPECT_EQ("POST", r.method);
    EXPECT_EQ("a=1&b=2", r.body);
    EXPECT_EQ("durl-test-agent", r.header("User-Agent"));
    EXPECT_FALSE(r.has_header("Expect"));

    char binary[] = {'a', 'b', '\0', 'c', 'd'};
    post.post_data = binary;
    post.post_size = 5;
    EXPECT_EQ(5u, sent_by([&] { fetch_memory(h, post); }).body_size);

    // An empty POST carries no Content-Length; the test server then reads the body until the
    // connection closes, so the request is awaited in its log after the client gives up.
    post.post_data = nullptr;
    post.post_size = 0;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_CONNECT_TIMEOUT, 1));
    http_log_reset();
    fetch_memory(h, post);
    std::vector<HttpRecord> empty;
    for (int i = 0; i < 5000 && empty.empty(); ++i) {
        empty = http_log();
        if (empty.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(1u, empty.size());
    EXPECT_EQ("POST", empty[0].method);
    EXPECT_EQ(0u, empty[0].body_size);
    EXPECT_FALSE(empty[0].has_header("Content-Length"));

    durl_url_param custom = make_param(http_url("/echo"));
    custom.method = DURL_METHOD_CUSTOM;
    custom.post_data = const_cast<char *>("patched");
    EXPECT_EQ("GET", sent_by([&] { fetch_memory(h, custom); }).method);  // no custom text yet
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_CUSTOM_METHOD, "PATCH"));
    r = sent_by([&] { EXPECT_EQ(0, fetch_memory(h, custom).rc); });
    EXPECT_EQ("PATCH", r.method);
    EXPECT_EQ("patched", r.body);

    durl_url_param extra = make_param(http_url("/echo"));
    extra.headers = const_cast<char *>("X-One: 1\r\nContent-Length: 99\r\n");
    r = sent_by([&] { EXPECT_EQ(0, fetch_memory(h, extra).rc); });
    EXPECT_EQ("1", r.header("X-One"));
    EXPECT_EQ(0u, r.header_count("Content-Length"));
}

TEST_F(Connect, CredentialsAndAuthentication) {
    const std::string basic = "/auth/basic?user=u&pass=p";
    durl_url_param fields = make_param(http_url(basic));
    std::snprintf(fields.user, sizeof fields.user, "u");
    std::snprintf(fields.password, sizeof fields.password, "p");
    EXPECT_EQ(0, fetch_memory(nullptr, fields).rc);
    fields.auth = 1;
    EXPECT_EQ(0, fetch_memory(nullptr, fields).rc);
    // Credentials inside the URL win over the request's fields.
    std::string in_url = http_url(basic);
    in_url.insert(std::strlen("http://"), "u:p@");
    durl_url_param url_login = make_param(in_url);
    std::snprintf(url_login.user, sizeof url_login.user, "wrong");
    EXPECT_EQ(0, fetch_memory(nullptr, url_login).rc);
    durl_url_param digest = make_param(http_url("/auth/digest?user=u&pass=p"));
    std::snprintf(digest.user, sizeof digest.user, "u");
    std::snprintf(digest.password, sizeof digest.password, "p");
    digest.auth = 2;
    EXPECT_EQ(0, fetch_memory(nullptr, digest).rc);
    std::snprintf(digest.password, sizeof digest.password, "bad");
    Fetch denied = fetch_memory(nullptr, digest);
    EXPECT_EQ(-1, denied.rc);
    EXPECT_EQ(401, denied.recode);
    EXPECT_TRUE(log.contains(6, "[DCMN]HTTP request use auth = 2.\n"));
}

// Fault guarded: libcurl's built-in CA bundle and directory stayed trusted beside the
// configured source, so a CA removed from the device's trust directory was still trusted.
TEST_F(Tls, PeerIsVerifiedOnlyAgainstTheConfiguredSource) {
    const std::string other_dir = scratch_dir("other-ca");
    ASSERT_FALSE(add_hashed_copy(pki().other_ca_pem, other_dir).empty());
    struct Row {
        std::string dir, file;
        int rc;
        const char *cleared;  // libcurl's report of the built-in source that must be off
    } rows[] = {{pki().ca_dir, "", 0, "CAfile: none"},
                {"", pki().ca_pem, 0, "CApath: none"},
                {other_dir, "", -160, "CAfile: none"},
                {"", pki().other_ca_pem, -160, "CApath: none"},
                {"", "", -160, "CAfile: none"}};  // the default directory does not exist here
    for (const Row &row : rows) {
        SCOPED_TRACE(row.dir + row.file);
        Handle h;
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_VERIFY_PEER, 1));
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_DEBUG_TRACE, 1));
        if (!row.dir.empty()) {
            ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_USER_PATH, row.dir.c_str()));
        }
        if (!row.file.empty()) {
            ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_USER_FILE, row.file.c_str()));
        }
        log.clear();
        EXPECT_EQ(row.rc, fetch_memory(h, make_param(https_url("/bytes/10"))).rc);
        EXPECT_TRUE(log.mentions(row.cleared)) << log.dump();
        EXPECT_FALSE(log.mentions("ca-certificates.crt"));
        if (!row.file.empty()) {
            EXPECT_TRUE(log.contains(7, "[DCMN]trust ca file:" + row.file + "\n"));
        }
        if (!row.dir.empty()) {
            EXPECT_TRUE(log.contains(7, "[DCMN]trust ca path:" + row.dir + "\n"));
        }
    }
    EXPECT_TRUE(log.contains(4, "[DCMN]no set trust ca path, use default.\n"));
}

TEST_F(Tls, ClientCertificateIsPresented) {
    struct Row {
        std::string cert;
        bool accepted;
    } rows[] = {{pki().client_combined, true}, {"", false}, {pki().other_client_combined, false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.cert);
        Handle h;
        if (!row.cert.empty()) {
            ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_CA_USEFILE, row.cert.c_str()));
        }
        Fetch f = fetch_memory(h, make_param(mtls_url("/cert")));
        if (row.accepted) {
            EXPECT_EQ(0, f.rc);
            EXPECT_EQ("/CN=durl-test-client\n", f.body);
        } else {
            EXPECT_LE(f.rc, -101);
            EXPECT_GE(f.rc, -199);
        }
    }
    // A named certificate that is missing falls back to the device default, absent here.
    Handle h;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_CA_USEFILE, "/nonexistent/client.pem"));
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_DEF_CERT, 1));
    EXPECT_EQ(0, fetch_memory(h, make_param(https_url("/bytes/10"))).rc);
    EXPECT_TRUE(log.contains(4, "[DCMN]Cert not exist use default!\n"));
    EXPECT_TRUE(log.contains(4, "[DCMN]default cert is no exist.\n"));
}

// Fault guarded: libcurl accepts any cipher text and only fails the handshake, so a bad list
// never fell back to the replacement list.
TEST_F(Tls, RejectedCipherListFallsBack) {
    struct Row {
        const char *cipher;
        bool fallback;
    } rows[] = {{"NOT-A-CIPHER", true},
                {"TLS_AES_128_GCM_SHA256", true},
                {"ECDHE-RSA-AES128-GCM-SHA256", false},
                {"NOT-A-CIPHER", true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.cipher);
        Handle h;
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_CIPHER, row.cipher));
        log.clear();
        EXPECT_EQ(0, fetch_memory(h, make_param(https_url("/bytes/10"))).rc);
        EXPECT_TRUE(log.contains(6, std::string("[DCMN]ssl cipher:") + row.cipher + "\n"));
        EXPECT_EQ(row.fallback,
                  log.contains(4, "[DCMN]set the ssl cipher err, use default str.\n"));
    }
    log.clear();
    EXPECT_EQ(0, fetch_memory(nullptr, make_param(https_url("/bytes/10"))).rc);
    EXPECT_TRUE(log.contains(6, "[DCMN]use default cipher.\n"));
    EXPECT_TRUE(log.contains(6, "[DCMN]do not check the server cert.\n"));
}

TEST_F(Tls, RemovedProtocolVersionsFailTheSetup) {
    for (int version : {1, 2}) {
        for (const std::string &url : {https_url("/bytes/10"), http_url("/bytes/10")}) {
            SCOPED_TRACE(url + " version " + std::to_string(version));
            Handle h;
            ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_VERSION, version));
            log.clear();
            EXPECT_EQ(-143, fetch_memory(h, make_param(url)).rc);
            EXPECT_TRUE(log.contains(
                3, "[DCMN]set the ssl version err, version=" + std::to_string(version) + ".\n"));
            EXPECT_TRUE(log.contains(3, "[DCMN]download common: connect err.\n"));
        }
    }
    for (int version : {0, 3, 5, 6}) {
        SCOPED_TRACE(version);
        Handle h;
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_VERSION, version));
        EXPECT_EQ(0, fetch_memory(h, make_param(https_url("/bytes/10"))).rc);
    }
}

TEST_F(Tls, SessionTextDescribesTheLastTlsTransfer) {
    Handle h;
    EXPECT_EQ("", session_text(h));
    EXPECT_EQ(0, fetch_memory(h, make_param(http_url("/bytes/10"))).rc);
    EXPECT_EQ("", session_text(h));  // plain HTTP has no session
    durl_url_param p = make_param(https_url("/bytes/10"));
    p.keep_alive = 1;
    for (int round = 0; round < 2; ++round) {  // the second runs on the kept connection
        SCOPED_TRACE(round);
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_VERSION, round == 0 ? 6 : 3));
        EXPECT_EQ(0, fetch_memory(h, p).rc);
        const std::string text = session_text(h);
        EXPECT_EQ(0u, text.find("protocol: TLSv1.3\ncipher: TLS_")) << text;
        EXPECT_NE(std::string::npos, text.find("\nsubject: /CN=localhost\n")) << text;
        EXPECT_NE(std::string::npos, text.find("\nissuer: /CN=durl Test CA\n")) << text;
        EXPECT_NE(std::string::npos, text.find("\nnot after: ")) << text;
        EXPECT_EQ('\n', text.back());
        EXPECT_LE(text.size(), 511u);
    }
    log.clear();
    char dump[4096];
    ASSERT_EQ(0, durl_dump(h, dump, sizeof dump));
    EXPECT_NE(nullptr, std::strstr(dump, "\nprotocol: TLSv1.3\n"));
    EXPECT_TRUE(log.contains(6, "[DCMN]dump:protocol: TLSv1.3\n"));
    EXPECT_TRUE(log.contains(6, "[DCMN]dump:subject: /CN=localhost\n"));
}
