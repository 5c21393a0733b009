// The durl tool's ca, dev and cert commands: what they print, their exit status, and that
// the store they build is the library's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cert_factory.h"
#include "fault_injection.h"
#include "test_files.h"

using namespace durl_test;

namespace {

// Runs the tool with the arguments (single-quoted), standard error folded into the output.
std::string tool(const std::vector<std::string> &args, int *status) {
    std::string cmd = std::string(DURL_TEST_BINARY_DIR) + "/../durl";
    for (const std::string &a : args) cmd += " '" + a + "'";
    return run_capture(cmd + " 2>&1", status);
}

class ToolCa : public ::testing::Test {
protected:
    void SetUp() override {
        dir = scratch_dir("toolca");
        ca = dir + "/ca.pem";
        write_cert(ca, factory_pki().ca.get());
        char h[16];
        std::snprintf(h, sizeof h, "%08lx", X509_subject_name_hash(factory_pki().ca.get()));
        hash = h;
    }
    std::string dir, ca, hash;
};

}  // namespace

TEST_F(ToolCa, InstallListRemove) {
    int status = -1;
    std::string store = dir + "/store";  // no trailing slash: the tool adds it
    EXPECT_EQ(tool({"ca", "install", ca, "--trust-path", store}, &status),
              "installed " + ca + "\n");
    EXPECT_EQ(status, 0);
    std::string out = tool({"ca", "install", ca, "-t", store}, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("install failed (-2)"), std::string::npos) << out;

    out = tool({"ca", "list", "-t", store}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.rfind("HASH ", 0), 0u) << out;
    EXPECT_NE(out.find(hash + "  durl Factory Root CA"), std::string::npos) << out;
    EXPECT_NE(out.find(store + "/" + hash + ".0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("1 trusted CA\n"), std::string::npos) << out;
    out = tool({"ca", "list", "--long", "-t", store}, &status);
    EXPECT_NE(out.find("signature:   sha256WithRSAEncryption\n"), std::string::npos) << out;

    EXPECT_EQ(tool({"ca", "remove", hash, "-t", store}, &status),
              "removed " + store + "/" + hash + ".0\n");
    EXPECT_EQ(dir_names(store), (std::vector<std::string>{"ca", "phoneca"}));
    write_file(dir + "/notes.txt", "x");
    tool({"ca", "remove", dir + "/notes.txt", "-t", store}, &status);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(file_exists(dir + "/notes.txt")) << "the tool removes certificates only";
    tool({"ca", "frobnicate"}, &status);
    EXPECT_NE(status, 0);
}

TEST_F(ToolCa, DeviceCertificateAndDetails) {
    const FactoryPki &p = factory_pki();
    std::string combined = dir + "/dev.pem";
    write_combined(combined, p.leaf.get(), factory_key(2), "pw");
    std::string dev = dir + "/certs/server/WebServer.pem";
    int status = -1;
    std::string out = tool({"dev", "install", combined, "--dev-cert", dev}, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("install failed (-2)"), std::string::npos) << out;
    EXPECT_EQ(tool({"dev", "install", combined, "-d", dev, "--password", "pw"}, &status),
              "installed " + combined + " as device certificate\n");
    out = tool({"dev", "info", "-d", dev, "-p", "pw"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("common name:  durl factory leaf\n"), std::string::npos) << out;
    EXPECT_NE(out.find("private key:  present, matches\n"), std::string::npos) << out;
    EXPECT_EQ(tool({"dev", "remove", "-d", dev}, &status), "");
    EXPECT_FALSE(file_exists(dev));

    out = tool({"cert", "info", combined, "--with-key", "--password", "pw"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("subject:     durl factory leaf\n"), std::string::npos) << out;
    EXPECT_NE(out.find("private key: rsaEncryption, 2048 bits\n"), std::string::npos) << out;
    out = tool({"cert", "info", ca}, &status);
    EXPECT_NE(out.find("organization: durl\n"), std::string::npos) << out;
    tool({"cert", "info", dir + "/missing"}, &status);
    EXPECT_EQ(status, 1);
}
