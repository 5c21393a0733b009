// The test peers themselves, driven with plain libcurl (not durl): if these fail, every
// library test that uses the peer would fail for a reason that is not the library's.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <functional>

#include "servers.h"

using namespace durl_test;

namespace {

struct Fetched {
    CURLcode rc = CURLE_OK;
    long status = 0;
    std::string body, redirect_url;
    double seconds = 0;
};

size_t collect(char *p, size_t size, size_t n, void *out) {
    static_cast<std::string *>(out)->append(p, size * n);
    return size * n;
}

Fetched fetch(const std::string &url, const std::function<void(CURL *)> &setup = nullptr, CURL *reuse = nullptr) {
    CURL *h = reuse ? reuse : curl_easy_init();
    Fetched f;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &f.body);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 30L);
    if (setup) setup(h);
    f.rc = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &f.status);
    char *redirect = nullptr;
    curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &redirect);
    if (redirect) f.redirect_url = redirect;
    curl_easy_getinfo(h, CURLINFO_TOTAL_TIME, &f.seconds);
    if (!reuse) curl_easy_cleanup(h);
    return f;
}

std::string tftp_url_on(int port) { return "tftp://127.0.0.1:" + std::to_string(port) + "/x"; }

void trust_test_ca(CURL *h) { curl_easy_setopt(h, CURLOPT_CAINFO, pki().ca_pem.c_str()); }

}  // namespace

TEST(TestHttpServer, ServesPatternBodiesPlainAndChunked) {
    for (const char *q : {"", "?chunked=1", "?chunk=7&chunked=1"}) {
        SCOPED_TRACE(q);
        Fetched f = fetch(http_url(std::string("/bytes/100000") + q));
        EXPECT_EQ(CURLE_OK, f.rc);
        EXPECT_EQ(200, f.status);
        EXPECT_TRUE(f.body == pattern_body(100000));
    }
    // A big body streams: 64 MiB arrive intact without the server holding them.
    Fetched big = fetch(http_url("/bytes/67108864"));
    ASSERT_EQ(67108864u, big.body.size());
    EXPECT_EQ(pattern_body(4096, 67108864 - 4096), big.body.substr(67108864 - 4096));
}

TEST(TestHttpServer, RecordsRequestsWithBodiesAndParts) {
    http_log_reset();
    std::string file = scratch_dir() + "/log.txt";
    ASSERT_TRUE(write_file(file, pattern_body(50000)));
    std::vector<curl_mime *> mimes;
    Fetched form = fetch(http_url("/echo?x=1"), [&](CURL *h) {
        curl_mime *mime = curl_mime_init(h);
        curl_mimepart *part = curl_mime_addpart(mime);
        curl_mime_name(part, "upload");
        curl_mime_filedata(part, file.c_str());
        curl_mime_type(part, "application/octet-stream");
        part = curl_mime_addpart(mime);
        curl_mime_name(part, "extra");
        curl_mime_data(part, "hello", CURL_ZERO_TERMINATED);
        curl_easy_setopt(h, CURLOPT_MIMEPOST, mime);
        mimes.push_back(mime);
    });
    for (curl_mime *m : mimes) curl_mime_free(m);
    ASSERT_EQ(200, form.status);
    // A raw urlencoded body far above cpp-httplib's 8192-byte form limit is accepted.
    std::string raw = pattern_body(20000);
    Fetched post = fetch(http_url("/echo"), [&](CURL *h) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, raw.c_str());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(raw.size()));
    });
    EXPECT_EQ(200, post.status);
    Fetched custom = fetch(http_url("/echo"), [](CURL *h) { curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "FOO"); });
    EXPECT_EQ(400, custom.status);

    std::vector<HttpRecord> log = http_log();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ("POST", log[0].method);
    EXPECT_EQ("/echo", log[0].path());
    ASSERT_EQ(2u, log[0].parts.size());
    EXPECT_EQ("log.txt", log[0].parts[0].filename);
    EXPECT_EQ("application/octet-stream", log[0].parts[0].content_type);
    EXPECT_EQ(50000u, log[0].parts[0].size);
    EXPECT_EQ(file_md5_hex(file), log[0].parts[0].md5);
    EXPECT_EQ("hello", log[0].parts[1].body);
    EXPECT_EQ(20000u, log[1].body_size);
    EXPECT_EQ(md5_hex(raw), log[1].body_md5);
    EXPECT_EQ("application/x-www-form-urlencoded", log[1].header("content-type"));
    EXPECT_EQ("FOO", log[2].method);
    EXPECT_EQ(400, log[2].status);
    // /echo returns the same record format.
    std::vector<HttpRecord> echoed = parse_http_records(post.body);
    ASSERT_EQ(1u, echoed.size());
    EXPECT_EQ(raw.substr(0, 4096), echoed[0].body);
}

TEST(TestHttpServer, RedirectsStatusesAuthAndWebTicket) {
    Fetched chain = fetch(http_url("/redirect/3?code=301"), [](CURL *h) {
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    });
    EXPECT_EQ(200, chain.status);
    EXPECT_EQ("chain end\n", chain.body);
    std::string target = http_url("/bytes/5");
    Fetched once = fetch(http_url("/redirect?to=" + target));
    EXPECT_EQ(302, once.status);
    EXPECT_EQ(target, once.redirect_url);
    EXPECT_EQ(404, fetch(http_url("/status/404")).status);

    auto with_auth = [](long type, const char *userpwd) {
        return [=](CURL *h) {
            curl_easy_setopt(h, CURLOPT_HTTPAUTH, type);
            curl_easy_setopt(h, CURLOPT_USERPWD, userpwd);
        };
    };
    EXPECT_EQ(200, fetch(http_url("/auth/basic?user=u&pass=p"), with_auth(CURLAUTH_BASIC, "u:p")).status);
    EXPECT_EQ(401, fetch(http_url("/auth/basic?user=u&pass=p"), with_auth(CURLAUTH_BASIC, "u:x")).status);
    EXPECT_EQ(200, fetch(http_url("/auth/digest?user=u&pass=p"), with_auth(CURLAUTH_DIGEST, "u:p")).status);
    EXPECT_EQ(401, fetch(http_url("/auth/digest?user=u&pass=p"), with_auth(CURLAUTH_DIGEST, "u:x")).status);

    std::string headers;
    Fetched denied = fetch(http_url("/webticket?marker=x-ms-webticketurl"), [&](CURL *h) {
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, collect);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, &headers);
    });
    EXPECT_EQ(401, denied.status);
    EXPECT_NE(std::string::npos, headers.find("x-ms-webticketurl: https://127.0.0.1/webticket"));
    curl_slist *ticket = curl_slist_append(nullptr, "X-MS-WebTicket: t0k3n");
    Fetched allowed = fetch(http_url("/webticket"), [&](CURL *h) { curl_easy_setopt(h, CURLOPT_HTTPHEADER, ticket); });
    curl_slist_free_all(ticket);
    EXPECT_EQ(200, allowed.status);
    EXPECT_EQ("t0k3n", parse_http_records(allowed.body).at(0).header("X-MS-WebTicket"));
}

TEST(TestHttpServer, TlsAndClientCertificates) {
    EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, fetch(https_url("/bytes/10")).rc);
    Fetched ok = fetch(https_url("/bytes/10"), trust_test_ca);
    EXPECT_EQ(CURLE_OK, ok.rc);
    EXPECT_EQ(pattern_body(10), ok.body);
    Fetched mtls = fetch(mtls_url("/cert"), [](CURL *h) {
        trust_test_ca(h);
        curl_easy_setopt(h, CURLOPT_SSLCERT, pki().client_combined.c_str());
    });
    EXPECT_EQ("/CN=durl-test-client\n", mtls.body);
    EXPECT_NE(CURLE_OK, fetch(mtls_url("/cert"), trust_test_ca).rc);
    EXPECT_NE(CURLE_OK, fetch(mtls_url("/cert"), [](CURL *h) {
                  trust_test_ca(h);
                  curl_easy_setopt(h, CURLOPT_SSLCERT, pki().other_client_combined.c_str());
              }).rc);
    // The TLS 1.2 peer refuses a client that insists on TLS 1.3.
    EXPECT_EQ(CURLE_OK, fetch(tls12_url("/bytes/1"), trust_test_ca).rc);
    EXPECT_EQ(CURLE_SSL_CONNECT_ERROR, fetch(tls12_url("/bytes/1"), [](CURL *h) {
                                           trust_test_ca(h);
                                           curl_easy_setopt(h, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_3);
                                       }).rc);
    EXPECT_EQ(CURLE_SSL_CONNECT_ERROR, fetch(tls12_url("/bytes/1"), [](CURL *h) {
                                           trust_test_ca(h);
                                           curl_easy_setopt(h, CURLOPT_SSL_CIPHER_LIST, "RSA:!EXP:!LOW:!NULL:!MD5");
                                       }).rc);
    // The hashed CA directory works as CAPATH on its own.
    EXPECT_EQ(CURLE_OK, fetch(https_url("/bytes/1"), [](CURL *h) {
                            curl_easy_setopt(h, CURLOPT_CAINFO, nullptr);
                            curl_easy_setopt(h, CURLOPT_CAPATH, pki().ca_dir.c_str());
                        }).rc);
}

TEST(TestHttpServer, ConnectionIdentityShowsReuse) {
    CURL *h = curl_easy_init();
    std::string first = fetch(http_url("/conn"), nullptr, h).body;
    std::string second = fetch(http_url("/conn"), nullptr, h).body;
    curl_easy_cleanup(h);
    std::string fresh = fetch(http_url("/conn")).body;
    EXPECT_EQ(first, second);
    EXPECT_NE(first, fresh);
}

TEST(TestFtpServer, PlainLoginsStoreAppendAndSize) {
    ASSERT_TRUE(write_file(ftp_user_dir() + "/hello.txt", "hello user\n"));
    ASSERT_TRUE(write_file(ftp_anon_dir() + "/anon.txt", "hello anon\n"));
    EXPECT_EQ("hello user\n", fetch(ftp_url("/hello.txt")).body);
    EXPECT_EQ("hello anon\n", fetch(ftp_url("/anon.txt", "")).body);
    EXPECT_EQ(CURLE_LOGIN_DENIED, fetch(ftp_url("/hello.txt", "user:wrong")).rc);

    std::string local = scratch_dir() + "/up.bin";
    ASSERT_TRUE(write_file(local, pattern_body(3000)));
    auto upload = [&](bool append) {
        FILE *f = fopen(local.c_str(), "rb");
        Fetched r = fetch(ftp_url("/up.bin"), [&](CURL *h) {
            curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(h, CURLOPT_READDATA, f);
            curl_easy_setopt(h, CURLOPT_APPEND, append ? 1L : 0L);
        });
        fclose(f);
        return r.rc;
    };
    ftp_commands_reset();
    EXPECT_EQ(CURLE_OK, upload(false));
    EXPECT_EQ(CURLE_OK, upload(true));
    EXPECT_EQ(6000, file_size(ftp_user_dir() + "/up.bin"));
    Fetched head = fetch(ftp_url("/up.bin"), [](CURL *h) { curl_easy_setopt(h, CURLOPT_NOBODY, 1L); });
    EXPECT_EQ(CURLE_OK, head.rc);
    EXPECT_NE(std::string::npos, head.body.find("Content-Length: 6000"));
    std::vector<std::string> cmds = ftp_commands();
    auto has = [&](const std::string &suffix) {
        for (const auto &c : cmds)
            if (c.size() >= suffix.size() && c.compare(c.size() - suffix.size(), suffix.size(), suffix) == 0)
                return true;
        return false;
    };
    EXPECT_TRUE(has("STOR up.bin"));
    EXPECT_TRUE(has("APPE up.bin"));
    EXPECT_TRUE(has("SIZE up.bin"));
}

TEST(TestFtpServer, ExplicitAndImplicitTls) {
    ASSERT_TRUE(write_file(ftp_user_dir() + "/tls.txt", "over tls\n"));
    auto self_signed = [](CURL *h) { curl_easy_setopt(h, CURLOPT_CAINFO, pki().selfsigned_pem.c_str()); };
    Fetched explicit_tls = fetch(ftpes_url("/tls.txt"), [&](CURL *h) {
        self_signed(h);
        curl_easy_setopt(h, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    });
    EXPECT_EQ(CURLE_OK, explicit_tls.rc);
    EXPECT_EQ("over tls\n", explicit_tls.body);
    // With no TLS options libcurl verifies against the system store and refuses the server.
    EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, fetch(ftps_url("/tls.txt")).rc);
    Fetched implicit_tls = fetch(ftps_url("/tls.txt"), self_signed);
    EXPECT_EQ(CURLE_OK, implicit_tls.rc);
    EXPECT_EQ("over tls\n", implicit_tls.body);
}

TEST(TestTftpServer, DownloadAndUpload) {
    DURL_REQUIRE_TFTP();
    ASSERT_TRUE(write_file(tftp_root() + "/get.bin", pattern_body(100000)));
    Fetched got = fetch(tftp_url("/get.bin"));
    EXPECT_EQ(CURLE_OK, got.rc);
    EXPECT_TRUE(got.body == pattern_body(100000));
    std::string local = scratch_dir() + "/put.bin";
    ASSERT_TRUE(write_file(local, pattern_body(50000)));
    FILE *f = fopen(local.c_str(), "rb");
    Fetched put = fetch(tftp_url("/put.bin"), [&](CURL *h) {
        curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(h, CURLOPT_READDATA, f);
        curl_easy_setopt(h, CURLOPT_TFTP_BLKSIZE, 1432L);
        curl_easy_setopt(h, CURLOPT_TFTP_NO_OPTIONS, 1L);
    });
    fclose(f);
    EXPECT_EQ(CURLE_OK, put.rc);
    EXPECT_EQ(file_md5_hex(local), file_md5_hex(tftp_root() + "/put.bin"));
}

TEST(TestFailurePorts, ClosedRefusesBlackHoleAndStallTimeOut) {
    auto limit = [](CURL *h) { curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 700L); };
    EXPECT_EQ(CURLE_COULDNT_CONNECT, fetch("http://127.0.0.1:" + std::to_string(closed_port()) + "/", limit).rc);
    Fetched hole = fetch("http://127.0.0.1:" + std::to_string(black_hole_port()) + "/", limit);
    EXPECT_EQ(CURLE_OPERATION_TIMEDOUT, hole.rc);
    EXPECT_GE(hole.seconds, 0.6);
    EXPECT_EQ(CURLE_OPERATION_TIMEDOUT, fetch(tftp_url_on(silent_udp_port()), limit).rc);
    Fetched stalled = fetch(http_url("/bytes/1000?stall_after=100"), limit);
    EXPECT_EQ(CURLE_OPERATION_TIMEDOUT, stalled.rc);
    EXPECT_EQ(pattern_body(100), stalled.body);
    Fetched slow = fetch(http_url("/bytes/4000?rate=8000"));  // about half a second
    EXPECT_EQ(CURLE_OK, slow.rc);
    EXPECT_GE(slow.seconds, 0.3);
}
