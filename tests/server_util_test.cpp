/* tests/server_util_test.cpp: list splitting, is_true, bounded copy and bounded formatting. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/http.h"

namespace {

std::vector<std::string> logged;

void
capture_log(struct qf_connection *, const struct qf_request_info *, void *message)
{
    logged.push_back((const char *) message);
}

/* Each piece as "key", or "key|value" when it had an '='. */
std::vector<std::string>
split(const char *list, bool with_eq)
{
    std::vector<std::string> pieces;
    struct vec key, val;
    while ((list = next_option(list, &key, with_eq ? &val : nullptr)) != nullptr) {
        std::string piece(key.ptr, key.len);
        if (with_eq && val.ptr != nullptr)
            piece += "|" + std::string(val.ptr, val.len);
        pieces.push_back(piece);
    }
    return pieces;
}

TEST(ServerUtil, NextOption)
{
    struct Case {
        int line;
        const char *list;
        bool with_eq;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {__LINE__, nullptr, true, {}},
        {__LINE__, "", true, {}},
        {__LINE__, "a,", false, {"a"}},
        {__LINE__, "a,,b", false, {"a", "", "b"}},
        {__LINE__, ",", false, {""}},
        {__LINE__, "k=v", false, {"k=v"}},
        {__LINE__, "k", true, {"k"}},
        {__LINE__, "k=v=w,x=y", true, {"k|v=w", "x|y"}},
        {__LINE__, "k=,=v", true, {"k|", "|v"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(split(c.list, c.with_eq), c.pieces);
    }
}

TEST(ServerUtil, IsTrue)
{
    for (const char *yes : {"1", "yes", "YES", "true", "TrUe", "ja", "Ja"})
        EXPECT_TRUE(is_true(yes)) << yes;
    for (const char *no : {"on", "2", "", "yes ", "no"})
        EXPECT_FALSE(is_true(no)) << no;
    EXPECT_FALSE(is_true(nullptr));
}

TEST(ServerUtil, StrlcpyStopsAtBound)
{
    struct Case {
        int line;
        const char *src;
        size_t n;
        const char *expected;
    };
    const Case cases[] = {
        {__LINE__, "abc", 1, ""},
        {__LINE__, "abc", 4, "abc"},    /* exact fit */
        {__LINE__, "abcd", 4, "abc"},   /* one past */
        {__LINE__, nullptr, 4, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        char buf[16];
        memset(buf, 'X', sizeof(buf));
        qf_strlcpy(buf, c.src, c.n);
        EXPECT_STREQ(buf, c.expected);
        EXPECT_EQ(buf[c.n], 'X') << "wrote past the bound";
    }
}

TEST(ServerUtil, SnprintfReportsTruncation)
{
    struct qf_context ctx {};
    ctx.log_callback = capture_log;
    const std::string long_text(300, 'q');

    struct Case {
        int line;
        std::string text;
        size_t buflen;
        int result;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {__LINE__, "abcdefg", 8, 7, {}},   /* exact fit */
        {__LINE__, "abcdefgh", 8, 7, {"truncating vsnprintf buffer: [abcdefg]"}},
        {__LINE__, "abc", 1, 0, {"truncating vsnprintf buffer: []"}},
        {__LINE__, long_text, 256, 255,
         {"truncating vsnprintf buffer: [" + std::string(200, 'q') + "]"}},
        {__LINE__, "abc", 0, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        logged.clear();
        char buf[512];
        memset(buf, 'X', sizeof(buf));
        EXPECT_EQ(qf_snprintf(fc(&ctx), buf, c.buflen, "%s", c.text.c_str()), c.result);
        if (c.buflen > 0) {
            EXPECT_EQ(std::string(buf), c.text.substr(0, c.result));
        }
        EXPECT_EQ(buf[c.buflen], 'X') << "wrote past the bound";
        EXPECT_EQ(logged, c.log);
    }
}

}  // namespace
