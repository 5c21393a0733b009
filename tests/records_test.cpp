// Result release and request copies.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine.h"

namespace {

TEST(Records, FreeResultReleasesDetailAndZeroes) {
    EXPECT_EQ(durl_free_result(nullptr), 0);

    durl_result r;
    memset(&r, 'Z', sizeof r);
    r.detail = nullptr;
    EXPECT_EQ(durl_free_result(&r), 0);
    durl_result zero{};
    EXPECT_EQ(memcmp(&r, &zero, sizeof r), 0);
    EXPECT_EQ(durl_free_result(&r), 0);  // twice is harmless

    // Runs clean under the leak checker: detail, data and the reserved buffer all go.
    r.recode = 404;
    snprintf(r.effective_url, sizeof r.effective_url, "http://h/x");
    r.detail = static_cast<durl_result_detail *>(calloc(1, sizeof(durl_result_detail)));
    r.detail->data = strdup("body");
    r.detail->size = 4;
    r.detail->reserved_buf = static_cast<char *>(malloc(8));
    EXPECT_EQ(durl_free_result(&r), 0);
    EXPECT_EQ(memcmp(&r, &zero, sizeof r), 0);

    // A download to memory that received nothing: detail without data.
    r.detail = static_cast<durl_result_detail *>(calloc(1, sizeof(durl_result_detail)));
    EXPECT_EQ(durl_free_result(&r), 0);
    EXPECT_EQ(r.detail, nullptr);
}

struct Clone {
    durl_url_param p{};
    ~Clone() { durl_url_clone_free(&p); }
};

TEST(Records, CloneOwnsItsTextsAndBodies) {
    durl_url_param src{};
    memset(src.url, 'u', sizeof src.url);  // a full field without terminator is cut
    snprintf(src.user, sizeof src.user, "alice");
    snprintf(src.password, sizeof src.password, "pw");
    src.method = DURL_METHOD_POST;
    src.auth = 5;
    src.no_redirect = 1;
    src.reserved1 = 77;
    char headers[] = "A: 1\r\n";
    char body[] = {'a', '\0', 'b', 'c'};
    src.headers = headers;
    src.post_data = body;
    src.post_size = sizeof body;

    Clone c;
    ASSERT_EQ(durl_url_clone(&src, &c.p), 0);
    EXPECT_EQ(std::string(c.p.url), std::string(1023, 'u'));
    EXPECT_STREQ(c.p.user, "alice");
    EXPECT_STREQ(c.p.password, "pw");
    EXPECT_EQ(c.p.method, DURL_METHOD_POST);
    EXPECT_EQ(c.p.auth, 5);
    EXPECT_EQ(c.p.no_redirect, 1);
    EXPECT_EQ(c.p.reserved1, 77);
    EXPECT_EQ(c.p.post_size, 4);
    ASSERT_NE(c.p.headers, headers);
    EXPECT_STREQ(c.p.headers, "A: 1\r\n");
    ASSERT_NE(c.p.post_data, body);
    EXPECT_EQ(std::string(c.p.post_data, 4), std::string(body, 4));  // embedded NUL kept
    EXPECT_EQ(c.p.post_data[4], '\0');

    // Without a size the body is a text, up to its NUL; empty texts become null.
    src.post_size = 0;
    Clone text;
    ASSERT_EQ(durl_url_clone(&src, &text.p), 0);
    EXPECT_STREQ(text.p.post_data, "a");
    body[0] = '\0';
    headers[0] = '\0';
    Clone empty;
    ASSERT_EQ(durl_url_clone(&src, &empty.p), 0);
    EXPECT_EQ(empty.p.post_data, nullptr);
    EXPECT_EQ(empty.p.headers, nullptr);

    EXPECT_EQ(durl_url_clone(nullptr, &empty.p), -2);
    EXPECT_EQ(durl_url_clone(&src, nullptr), -2);
}

}  // namespace
