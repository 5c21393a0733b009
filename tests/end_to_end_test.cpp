// End to end: the certificate half prepares what the transfer engine trusts and presents, and
// real TLS servers judge the outcome (trusted CA directory, issued device certificate, stream).
#include <string>
#include <vector>

#include "dl_ca.h"
#include "durl.h"
#include "log_capture.h"
#include "servers.h"
#include "transfer_util.h"

using namespace durl_test;

namespace {

// Downloads to memory on the default handle.
Fetch fetch(const std::string &url) { return fetch_memory(nullptr, make_param(url)); }

class EndToEnd : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        dir = scratch_dir("e2e");
        trust = dir + "/certs/";
        ASSERT_EQ(durl_set_option(nullptr, DURL_OPT_SSL_TRUST_PATH, trust.c_str()), 0);
        // A copy, because installing may rewrite the given file in place.
        ca_copy = dir + "/server-ca.pem";
        ASSERT_TRUE(write_file(ca_copy, read_file(pki().ca_pem)));
    }

    // Installs the HTTPS server's CA and verifies servers (chain and host name) against the
    // all-CA directory, the one holding a link per installed CA. Returns the entry's path.
    std::string install_server_ca() {
        EXPECT_EQ(dl_install_ca(ca_copy.c_str()), 0) << log.dump();
        dl_trust_ca_list list{};
        EXPECT_EQ(dl_get_trust_ca_info(&list), 0);
        EXPECT_EQ(list.count, 1);
        EXPECT_STREQ(list.entries[0].common_name, "durl Test CA");
        const std::string ca_dir = trust + "ca/";
        EXPECT_EQ(durl_set_option(nullptr, DURL_OPT_SSL_USER_PATH, ca_dir.c_str()), 0);
        EXPECT_EQ(durl_set_option(nullptr, DURL_OPT_SSL_VERIFY_PEER, 1), 0);
        EXPECT_EQ(durl_set_option(nullptr, DURL_OPT_SSL_VERIFY_HOST, 1), 0);
        return list.entries[0].path;
    }

    std::string dir, trust, ca_copy;
};

TEST_F(EndToEnd, InstalledCaIsTrustedAndRemovedCaIsNot) {
    const std::string entry = install_server_ca();
    const std::string target = dir + "/got.bin";
    const durl_url_param p = make_param(https_url("/bytes/5000"));
    ASSERT_EQ(fetch_file(nullptr, p, target).rc, 0) << log.dump();
    EXPECT_EQ(read_file(target), pattern_body(5000));
    EXPECT_TRUE(log.contains(7, "[DCMN]trust ca path:" + trust + "ca/\n"));

    ASSERT_EQ(dl_del_ca(entry.c_str()), 0);
    dl_trust_ca_list list{};
    EXPECT_EQ(dl_get_trust_ca_info(&list), 0);
    EXPECT_EQ(list.count, 0);
    // Only the configured directory is trusted: no built-in bundle stands in for it.
    EXPECT_EQ(fetch_file(nullptr, p, target).rc, -160);
    EXPECT_EQ(read_file(target), pattern_body(5000)) << "a failed download replaced the good copy";
    EXPECT_EQ(fetch(https_url("/bytes/10")).rc, -160);
}

TEST_F(EndToEnd, IssuedDeviceCertificateOpensMutualTls) {
    const Pki &p = pki();
    const std::string device = dir + "/certs/server/WebServer.pem";
    ASSERT_EQ(durl_set_option(nullptr, DURL_OPT_SSL_CA_FILE, device.c_str()), 0);
    ASSERT_EQ(durl_set_option(nullptr, DURL_OPT_SSL_SIGN_ALGO, 1), 0);  // SHA-256
    install_server_ca();

    // A client certificate of another CA, then none yet: the server refuses the handshake.
    for (const std::string &presented : {p.other_client_combined, device}) {
        ASSERT_EQ(durl_set_option(nullptr, DURL_OPT_SSL_CA_USEFILE, presented.c_str()), 0);
        EXPECT_LT(fetch(mtls_url("/cert")).rc, -100) << presented;
    }

    const std::string key = dir + "/phone.key", issued = dir + "/phone.pem";
    ASSERT_EQ(dl_generate_client_cert(p.ca_pem.c_str(), p.ca_key.c_str(), key.c_str(),
                                      issued.c_str(), "/C=CN/O=durl/CN=e2e-phone", 2048),
              0)
        << log.dump();
    ASSERT_EQ(dl_install_ser_ca(issued.c_str()), 0) << log.dump();
    dl_ca_info info{};
    EXPECT_EQ(dl_get_ser_ca_info(&info), 0);
    EXPECT_STREQ(info.common_name, "e2e-phone");

    Fetch f = fetch(mtls_url("/cert"));
    ASSERT_EQ(f.rc, 0) << log.dump();
    EXPECT_EQ(f.body, "/C=CN/O=durl/CN=e2e-phone\n");
    EXPECT_TRUE(log.contains(7, "[DCMN]client cert:" + device + "\n"));

    // Removed again: nothing is presented and the server refuses once more.
    EXPECT_EQ(dl_del_ser_ca(), 0);
    EXPECT_LT(fetch(mtls_url("/cert")).rc, -100);
}

TEST_F(EndToEnd, StreamOverHttpsVerifiesAgainstInstalledCa) {
    const std::string entry = install_server_ca();
    Handle h;  // inherits the default handle's TLS settings
    const size_t size = 300000;
    durl_url_param p = make_param(https_url("/bytes/" + std::to_string(size) + "?chunk=4096"));
    durl_result r{};
    ASSERT_EQ(durl_open(h, &r, &p), 0) << log.dump();
    std::string body;
    std::vector<char> buf(65536);
    int n;
    while ((n = durl_read(h, nullptr, buf.data(), static_cast<int>(buf.size()))) > 0)
        body.append(buf.data(), static_cast<size_t>(n));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(body, pattern_body(size));
    EXPECT_EQ(durl_close(h), 0);

    ASSERT_EQ(dl_del_ca(entry.c_str()), 0);
    r = durl_result{};
    EXPECT_EQ(durl_open(h, &r, &p), -160);
    EXPECT_EQ(r.recode, -160);
    EXPECT_EQ(durl_close(h), 0);
}

}  // namespace
