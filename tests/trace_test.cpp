// Protocol trace lines and the MD5 helper.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "engine.h"
#include "log_capture.h"

namespace {

class Trace : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        log.clear();
    }
    void trace(curl_infotype kind, const std::string &data, int debug) {
        EXPECT_EQ(durl_curl_trace(kind, data.data(), data.size(), debug), 0);
    }
    // Everything logged since the last call, as "<level>text" lines.
    std::string take() {
        std::string out = log.dump();
        log.clear();
        return out;
    }
};

const std::string kRequest = "GET /a HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n";

TEST_F(Trace, RequestHeadersAreShortInNormalMode) {
    trace(CURLINFO_HEADER_OUT, kRequest, 0);
    EXPECT_EQ(take(),
              "<6>[DCMN]Request header\n<6>[DCMN]GET /a HTTP/1.1\n<6>[DCMN]Host: h\n"
              "<6>[DCMN]...\n");
    trace(CURLINFO_HEADER_OUT, kRequest, 1);
    EXPECT_EQ(take(),
              "<6>[DCMN]Request header\n<6>[DCMN]GET /a HTTP/1.1\n<6>[DCMN]Host: h\n"
              "<6>[DCMN]Accept: */*\n");
    // Two lines exactly: nothing left, so no "...".
    trace(CURLINFO_HEADER_OUT, "GET / HTTP/1.1\r\nHost: h\r\n", 0);
    EXPECT_EQ(take(), "<6>[DCMN]Request header\n<6>[DCMN]GET / HTTP/1.1\n<6>[DCMN]Host: h\n");
    // A line cut at 200 characters does not count toward the two lines.
    trace(CURLINFO_HEADER_OUT, std::string(250, 'a') + "\r\nB\r\nC\r\n", 0);
    EXPECT_EQ(take(), "<6>[DCMN]Request header\n<6>[DCMN]" + std::string(200, 'a') + "\n<6>[DCMN]" +
                          std::string(50, 'a') + "\n<6>[DCMN]B\n<6>[DCMN]...\n");
}

TEST_F(Trace, ResponseHeadersOfInterest) {
    struct Row {
        std::string line;
        int debug;
        std::string logged;
    } rows[] = {
        {"HTTP/1.1 200 OK\r\n", 0, "<6>[DCMN]Response header\n<6>[DCMN]HTTP/1.1 200 OK\n"},
        {"HTTP/1.0 404 Not Found\r\n", 1,
         "<6>[DCMN]Response header\n<6>[DCMN]HTTP/1.0 404 Not Found\n"},
        {"Server: x\r\n", 0, ""},
        {"Server: x\r\n", 1, "<6>[DCMN]Server: x\n"},
        {"Date: Tue, 1 Jan 2030\r\n", 0, "<6>[DCMN]Date: Tue, 1 Jan 2030\n"},
        {"Content-Length: 9\r\n", 0, "<6>[DCMN]Content-Length: 9\n"},
        {"WWW-Authenticate: Basic\r\n", 0, "<6>[DCMN]WWW-Authenticate: Basic\n"},
        {"\r\n", 0, ""},
        {"\r\n", 1, "<6>[DCMN]\n"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.line + " debug " + std::to_string(r.debug));
        trace(CURLINFO_HEADER_IN, r.line, r.debug);
        EXPECT_EQ(take(), r.logged);
    }
}

TEST_F(Trace, BodiesAndInfoOnlyInDebugMode) {
    std::string body(450, 'x');
    body[3] = '\0';
    body[4] = static_cast<char>(200);
    body[5] = '\x7f';
    body[6] = '\x1f';
    trace(CURLINFO_DATA_IN, body, 0);
    trace(CURLINFO_DATA_OUT, body, 0);
    trace(CURLINFO_TEXT, "Connected\n", 0);
    EXPECT_EQ(take(), "");
    trace(CURLINFO_DATA_IN, body, 1);
    std::string first = "xxx..\x7f." + std::string(193, 'x');
    EXPECT_EQ(take(), "<6>[DCMN]Response data\n<6>[DCMN]" + first + "\n<6>[DCMN]" +
                          std::string(200, 'x') + "\n<6>[DCMN]" + std::string(50, 'x') + "\n");
    trace(CURLINFO_DATA_OUT, "ab", 1);
    EXPECT_EQ(take(), "<6>[DCMN]Request data\n<6>[DCMN]ab\n");
    // libcurl's texts are not terminated: only `size` bytes may be read.
    std::string info = "Connected to h\nGARBAGE";
    EXPECT_EQ(durl_curl_trace(CURLINFO_TEXT, info.data(), 15, 1), 0);
    EXPECT_EQ(take(), "<6>[DCMN]CURL Info: Connected to h\n");
    trace(CURLINFO_SSL_DATA_IN, "tls", 1);
    trace(CURLINFO_SSL_DATA_OUT, "tls", 1);
    EXPECT_EQ(take(), "");
}

TEST_F(Trace, CallbacksAlwaysReturnZeroAndStaySilentWhenNotInitialised) {
    std::string data = kRequest;
    EXPECT_EQ(durl_trace_normal(nullptr, CURLINFO_HEADER_OUT, &data[0], data.size(), nullptr), 0);
    EXPECT_EQ(durl_trace_debug(nullptr, CURLINFO_HEADER_OUT, &data[0], data.size(), nullptr), 0);
    EXPECT_EQ(log.count(6, "[DCMN]Accept: */*\n"), 1u);  // from the debug one only
    durl_curl_dump("", nullptr, 0, CURLINFO_DATA_IN, 1);
    ASSERT_EQ(durl_cleanup(), 0);
    log.clear();
    EXPECT_EQ(durl_trace_debug(nullptr, CURLINFO_HEADER_OUT, &data[0], data.size(), nullptr), 0);
    EXPECT_TRUE(log.empty());
    ASSERT_EQ(durl_init(log.context(), LogCapture::hook), 0);
}

std::string md5_raw(const std::string &text) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), md, &len, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<char *>(md), len);
}

// The first "probe-N" whose digest satisfies pred.
template <class Pred>
std::string find_input(Pred pred) {
    for (int i = 0;; ++i) {
        std::string in = "probe-" + std::to_string(i);
        if (pred(md5_raw(in))) return in;
    }
}

TEST(Md5, DigestIsCopiedRawUpToItsFirstZeroByte) {
    char out[20];
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(durl_md5_encrypt("abc", out, 20), 0);
    std::string abc = md5_raw("abc");  // 90 01 50 98 ...: no zero byte
    EXPECT_EQ(std::string(out, 16), abc);
    EXPECT_EQ(std::string(out + 16, 4), std::string(4, '\0'));

    memset(out, 'Z', sizeof out);
    EXPECT_EQ(durl_md5_encrypt("abc", out, 4), 0);
    EXPECT_EQ(std::string(out, 4), abc.substr(0, 4));
    EXPECT_EQ(out[4], 'Z');  // never beyond the given length

    std::string third_zero = find_input([](const std::string &d) { return d[0] && d[1] && !d[2]; });
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(durl_md5_encrypt(third_zero.c_str(), out, 16), 0);
    EXPECT_EQ(std::string(out, 16), md5_raw(third_zero).substr(0, 2) + std::string(14, '\0'));

    std::string first_zero = find_input([](const std::string &d) { return !d[0]; });
    EXPECT_EQ(durl_md5_encrypt(first_zero.c_str(), out, 16), 0);
    EXPECT_EQ(std::string(out, 16), std::string(16, '\0'));

    EXPECT_EQ(durl_md5_encrypt("", out, 16), 0);  // d4 1d 8c d9 8f 00 ...: five bytes
    EXPECT_EQ(std::string(out, 16), md5_raw("").substr(0, 5) + std::string(11, '\0'));
    EXPECT_EQ(durl_md5_encrypt(nullptr, out, 16), 0);
    EXPECT_EQ(durl_md5_encrypt("abc", nullptr, 16), 0);
    EXPECT_EQ(durl_md5_encrypt("abc", out, 0), 0);
}

}  // namespace
