// TLS options against the local peers: the trust source, client certificates, the cipher
// fallback, protocol selectors and the TLS session text.
#include <gtest/gtest.h>

#include "durl.h"
#include "engine.h"
#include "log_capture.h"
#include "servers.h"
#include "transfer_util.h"

using namespace durl_test;

namespace {

class Tls : public DurlTest {};

int fetch_rc(durl_handle *h, const std::string &url) { return fetch_memory(h, make_param(url)).rc; }

}  // namespace

TEST_F(Tls, HostNameCheckRefusesACertificateForAnotherName) {
    Handle h;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_VERIFY_PEER, 1));
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_USER_FILE, pki().ca_pem.c_str()));
    for (int verify_host : {1, 0}) {
        SCOPED_TRACE(verify_host);
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_VERIFY_HOST, verify_host));
        EXPECT_EQ(verify_host ? -160 : 0, fetch_rc(h, misnamed_url("/bytes/10")));
    }
}

// Fault guarded: libcurl's built-in CA bundle and directory stayed trusted beside the configured
// source, so a CA removed from the device's trust directory was still trusted.
TEST_F(Tls, ConfiguredTrustSourceIsTheOnlyOne) {
    const std::string other_dir = scratch_dir("other-ca");
    ASSERT_FALSE(add_hashed_copy(pki().other_ca_pem, other_dir).empty());
    struct Row {
        std::string dir, file;
        int rc;
        const char *cleared;  // libcurl's report of the built-in source that must be off
    } rows[] = {{pki().ca_dir, "", 0, "CAfile: none"},
                {"", pki().ca_pem, 0, "CApath: none"},
                {other_dir, "", -160, "CAfile: none"},
                {"", pki().other_ca_pem, -160, "CApath: none"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.dir + row.file);
        Handle h;
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_VERIFY_PEER, 1));
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_DEBUG_TRACE, 1));
        EXPECT_EQ(
            0, row.dir.empty() ? 0 : durl_set_option(h, DURL_OPT_SSL_USER_PATH, row.dir.c_str()));
        EXPECT_EQ(
            0, row.file.empty() ? 0 : durl_set_option(h, DURL_OPT_SSL_USER_FILE, row.file.c_str()));
        log.clear();
        EXPECT_EQ(row.rc, fetch_rc(h, https_url("/bytes/10")));
        EXPECT_TRUE(log.mentions(row.cleared)) << log.dump();
    }
}

// Fault guarded: libcurl accepts any cipher text and only fails the handshake, so a bad list
// never fell back to the replacement list.
TEST_F(Tls, CipherListCheckedFallsBackAndTheTransferProceeds) {
    struct Row {
        const char *cipher;
        bool fallback;
    } rows[] = {{"NOT-A-CIPHER", true},
                {"TLS_AES_128_GCM_SHA256", true},  // a TLS 1.3 suite, not a cipher-list entry
                {"ECDHE-RSA-AES128-GCM-SHA256", false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.cipher);
        Handle h;
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_CIPHER, row.cipher));
        log.clear();
        EXPECT_EQ(0, fetch_rc(h, https_url("/bytes/10")));
        EXPECT_EQ(row.fallback,
                  log.contains(4, "[DCMN]set the ssl cipher err, use default str.\n"));
    }
}

// Fault guarded: the removed SSL 2/3 selectors were only refused on HTTPS; HTTP went ahead.
TEST_F(Tls, RemovedProtocolVersionsFailTheSetupOnEveryScheme) {
    for (int version : {0, 1, 2, 3, 5, 6}) {
        for (const std::string &url : {https_url("/bytes/10"), http_url("/bytes/10")}) {
            SCOPED_TRACE(url + " version " + std::to_string(version));
            Handle h;
            ASSERT_EQ(0, durl_set_option(h, DURL_OPT_SSL_VERSION, version));
            EXPECT_EQ(version == 1 || version == 2 ? -143 : 0, fetch_rc(h, url));
        }
    }
}

TEST_F(Tls, SessionDumpDescribesTheLastHttpsTransfer) {
    Handle h;
    EXPECT_EQ(0, fetch_rc(h, http_url("/bytes/10")));
    EXPECT_EQ("", std::string(durl_config_snapshot(h).ssl_session_dump));
    durl_url_param p = make_param(https_url("/bytes/10"));
    p.keep_alive = 1;
    for (int round = 0; round < 2; ++round) {  // the second runs on the kept connection
        SCOPED_TRACE(round);
        EXPECT_EQ(0, fetch_memory(h, p).rc);
        const std::string text = durl_config_snapshot(h).ssl_session_dump;
        EXPECT_EQ(0u, text.find("protocol: TLSv1.3\ncipher: TLS_")) << text;
        EXPECT_NE(std::string::npos, text.find("\nsubject: /CN=localhost\n")) << text;
        EXPECT_NE(std::string::npos, text.find("\nissuer: /CN=durl Test CA\n")) << text;
    }
}

// Fault guarded: a session resumed after its CA left the trust directory skipped the check
// that must then fail (libcurl keys sessions by the directory's name, not its contents).
TEST_F(Tls, SessionsResumeOnlyUnderTheSameTrust) {
    const std::string dir = scratch_dir("resume-ca"), other_dir = scratch_dir("resume-other");
    const std::string hashed = add_hashed_copy(pki().ca_pem, dir);
    ASSERT_FALSE(hashed.empty());
    ASSERT_FALSE(add_hashed_copy(pki().other_ca_pem, other_dir).empty());
    const std::string resumed = "[DCMN]TLS session resumed.\n";
    auto trusting = [&](Handle &h) {
        EXPECT_EQ(0, durl_set_option(h, DURL_OPT_SSL_VERIFY_PEER, 1));
        EXPECT_EQ(0, durl_set_option(h, DURL_OPT_SSL_USER_PATH, dir.c_str()));
    };
    Handle first;
    trusting(first);
    // A new connection each time: the first makes a full handshake although sessions made
    // without verification exist for the server (the tests before made them); the second
    // resumes its own.
    for (bool again : {false, true}) {
        log.clear();
        EXPECT_EQ(0, fetch_rc(first, https_url("/bytes/10")));
        EXPECT_EQ(again, log.contains(6, resumed)) << log.dump();
    }
    // Other trust settings: a full handshake, and a full verification that can fail. The CA
    // file is a copy of this test's own: a session an earlier test made under the same file
    // would rightly be resumed.
    const std::string row_file = scratch_dir("resume-file") + "/ca.pem";
    ASSERT_TRUE(write_file(row_file, read_file(pki().ca_pem)));
    struct Row {
        const char *what;
        int option;
        std::string value;
        int rc;
    } rows[] = {{"CA file", DURL_OPT_SSL_USER_FILE, row_file, 0},
                {"untrusting CA directory", DURL_OPT_SSL_USER_PATH, other_dir, -160},
                {"client certificate", DURL_OPT_SSL_CA_USEFILE, pki().client_combined, 0}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Handle h;
        trusting(h);
        EXPECT_EQ(0, durl_set_option(h, row.option, row.value.c_str()));
        log.clear();
        EXPECT_EQ(row.rc, fetch_rc(h, https_url("/bytes/10")));
        EXPECT_FALSE(log.contains(6, resumed)) << log.dump();
    }
    // The CA leaves the directory: the next connection is refused.
    ASSERT_EQ(0, std::remove(hashed.c_str()));
    log.clear();
    EXPECT_EQ(-160, fetch_rc(first, https_url("/bytes/10")));
    EXPECT_FALSE(log.contains(6, resumed)) << log.dump();
    // A CA file rewritten in place to hold another CA: the handle that trusted the old one
    // verifies against the new one (libcurl keeps a CA file's store per easy handle).
    const std::string file = dir + "/ca-file.pem";
    ASSERT_TRUE(write_file(file, read_file(pki().ca_pem)));
    Handle by_file;
    EXPECT_EQ(0, durl_set_option(by_file, DURL_OPT_SSL_VERIFY_PEER, 1));
    EXPECT_EQ(0, durl_set_option(by_file, DURL_OPT_SSL_USER_FILE, file.c_str()));
    EXPECT_EQ(0, fetch_rc(by_file, https_url("/bytes/10")));
    ASSERT_TRUE(write_file(file, read_file(pki().other_ca_pem)));
    EXPECT_EQ(-160, fetch_rc(by_file, https_url("/bytes/10")));
}
