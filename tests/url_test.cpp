// URL preparation: trimming, cleaning, the two escapes, the length limit and the schemes.
#include <gtest/gtest.h>

#include <string>

#include "engine.h"
#include "log_capture.h"

namespace {

class Url : public DurlTest {};

struct UrlRow {
    std::string input;
    std::string encoded;
    int scheme;
};

TEST_F(Url, IsCleanedEscapedAndClassified) {
    const UrlRow rows[] = {
        {"  HTTP://host/a b#frag  ", "HTTP://host/a%20b%23frag", DURL_PROTO_HTTP},
        {"http://h/x\r\ny\tz", "http://h/xyz", DURL_PROTO_HTTP},
        {"\thttp://h/", "http://h/", DURL_PROTO_HTTP},          // tabs are dropped anywhere
        {" \t http://h/", "%20http://h/", DURL_PROTO_UNKNOWN},  // ...but end no trimming
        {"https://h/%41?a=1&b=\xc3\xa9", "https://h/%41?a=1&b=\xc3\xa9", DURL_PROTO_HTTPS},
        {"ftp://h/f", "ftp://h/f", DURL_PROTO_FTP},
        {"FtPs://h/f", "FtPs://h/f", DURL_PROTO_FTPS},
        {"tftp://h/f", "tftp://h/f", DURL_PROTO_TFTP},
        {"sftp://h/f", "sftp://h/f", DURL_PROTO_UNKNOWN},
        {"h/no-scheme", "h/no-scheme", DURL_PROTO_UNKNOWN},
        {"http:/h", "http:/h", DURL_PROTO_UNKNOWN},
    };
    for (const UrlRow &r : rows) {
        SCOPED_TRACE(r.input);
        char out[1024];
        log.clear();
        EXPECT_EQ(durl_url_analysis(r.input.c_str(), out, sizeof out), r.scheme);
        EXPECT_EQ(std::string(out), r.encoded);
        EXPECT_EQ(log.dump(), "<7>[DCMN]durl_url_analysis: " + r.encoded + ".\n");
    }
}

TEST_F(Url, LengthLimits) {
    char out[1024];
    // 1500 plain characters are cut to 1023 and pass.
    std::string plain = "http://h/" + std::string(1491, 'p');
    EXPECT_EQ(durl_url_analysis(plain.c_str(), out, sizeof out), DURL_PROTO_HTTP);
    EXPECT_EQ(std::string(out), plain.substr(0, 1023));

    // An escape is written only while it fits entirely: 1020 characters and a space fit,
    // 1021 and a space do not.
    std::string fits = std::string(1020, 'f') + " ";
    durl_url_encode(out, sizeof out, (fits + "x").c_str());
    EXPECT_EQ(std::string(out), "");  // 1020 + 3 + 1 = 1024 characters: too long
    durl_url_encode(out, sizeof out, (std::string(1020, 'f') + " ").c_str());
    EXPECT_EQ(std::string(out), std::string(1020, 'f'));  // trailing blank trimmed
    durl_url_encode(out, sizeof out, (std::string(1019, 'f') + " g").c_str());
    EXPECT_EQ(std::string(out), std::string(1019, 'f') + "%20g");

    // 341 spaces between two letters: too long once escaped. The output is all zeros.
    std::string spaced = "a" + std::string(341, ' ') + "b";
    memset(out, 'Z', sizeof out);
    log.clear();
    EXPECT_EQ(durl_url_analysis(spaced.c_str(), out, sizeof out), DURL_PROTO_UNKNOWN);
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '\0'));
    EXPECT_EQ(log.dump(), "<3>[DCMN]URL too long!\n<3>[DCMN]Url encode err.\n");
}

TEST_F(Url, EmptyAndMissingInput) {
    char out[1024];
    for (const char *blank : {"", "    ", "\r\n\t"}) {
        SCOPED_TRACE(blank);
        log.clear();
        EXPECT_EQ(durl_url_analysis(blank, out, sizeof out), DURL_PROTO_UNKNOWN);
        EXPECT_EQ(out[0], '\0');
        EXPECT_EQ(log.dump(), "<3>[DCMN]Url encode err.\n");
    }
    log.clear();
    EXPECT_EQ(durl_url_analysis(nullptr, out, sizeof out), DURL_PROTO_UNKNOWN);
    EXPECT_EQ(durl_url_analysis("http://h/", nullptr, 1024), DURL_PROTO_UNKNOWN);
    EXPECT_EQ(durl_url_analysis("http://h/", out, 0), DURL_PROTO_UNKNOWN);
    EXPECT_EQ(durl_url_analysis("http://h/", out, -5), DURL_PROTO_UNKNOWN);
    EXPECT_EQ(log.count(3, "[DCMN]Input url err.\n"), 4u);
    // A smaller output buffer is honoured, never overrun.
    char small[8];
    durl_url_encode(small, sizeof small, "abcdefg");
    EXPECT_STREQ(small, "abcdefg");
    durl_url_encode(small, sizeof small, "abcdefgh");
    EXPECT_EQ(std::string(small, sizeof small), std::string(sizeof small, '\0'));
}

}  // namespace
