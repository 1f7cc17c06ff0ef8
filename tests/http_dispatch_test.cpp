/* tests/http_dispatch_test.cpp: URI cleaning, extension matching and If-Modified-Since dates. */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "http/http.h"

namespace {

TEST(HttpDispatch, MatchExtension)
{
    struct Case {
        int line;
        const char *path;
        const char *list;
        bool expected;
    };
    const Case cases[] = {
        {__LINE__, "/a/b.cgi", ".cgi,.pl", true},
        {__LINE__, "/a/b.CGI", ".cgi,.pl", true},
        {__LINE__, "/a/b.pl", ".cgi,.pl", true},
        {__LINE__, "/a/b.php", ".cgi,.pl", false},
        {__LINE__, "/a/bcgi", ".cgi", false},
        {__LINE__, ".cgi", ".cgi", false}, /* the item must be shorter */
        {__LINE__, "x.cgi", ".cgi", true},
        {__LINE__, "/a.shtml", ".shtml,.shtm", true},
        {__LINE__, "/a.shtm", ".shtml,.shtm", true},
        {__LINE__, "/a", ",", true}, /* an empty item matches any path */
        {__LINE__, "", ",", false},
        {__LINE__, "/a.cgi", "", false},
        {__LINE__, "/a.cgi", nullptr, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(match_extension(c.path, c.list), c.expected);
    }
}

/* Decoding then cleaning, as the dispatcher does to every URI. */
std::string
decode_and_clean(const std::string &uri)
{
    std::string s = uri;
    url_decode(&s[0], s.size(), &s[0], s.size() + 1, 0);
    clean_uri(&s[0]);
    return std::string(s.c_str());
}

TEST(HttpDispatch, CleanUri)
{
    struct Case {
        int line;
        const char *uri;
        const char *expected;
    };
    const Case cases[] = {
        {__LINE__, "/", "/"},
        {__LINE__, "/a/b.html", "/a/b.html"},
        {__LINE__, "//a///b", "/a/b"},
        {__LINE__, "/a\\\\b/\\c", "/a\\b/c"},
        {__LINE__, "/a/../b", "/a//b"},
        {__LINE__, "/a/./b", "/a/./b"},
        {__LINE__, "/a..b/c..", "/a..b/c.."},
        {__LINE__, "/....//x", "//x"},
        {__LINE__, "/.../x", "/./x"},
        {__LINE__, "/a%20b.html", "/a b.html"},
        {__LINE__, "/a+b.html", "/a+b.html"},
        /* traversal, plain and encoded: nothing climbs out of the root */
        {__LINE__, "/../../etc/passwd", "///etc/passwd"},
        {__LINE__, "/%2e%2e/%2E%2E/etc/passwd", "///etc/passwd"},
        {__LINE__, "/..%2f..%2fetc/passwd", "///etc/passwd"},
        {__LINE__, "/%2e%2e%2f%2e%2e%2fetc", "///etc"},
        {__LINE__, "/..\\..\\etc", "/\\\\etc"},
        {__LINE__, "/..%5c..%5cetc", "/\\\\etc"},
        {__LINE__, "/sub/..%2F..%2F..%2Fsecret", "/sub////secret"},
        {__LINE__, "/%2F%2F..%2F/x", "//x"},
        {__LINE__, "/.%2e/x", "//x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string cleaned = decode_and_clean(c.uri);
        EXPECT_EQ(cleaned, c.expected);
        /* the property that matters: no ".." right behind a separator */
        EXPECT_EQ(cleaned.find("/.."), std::string::npos);
        EXPECT_EQ(cleaned.find("\\.."), std::string::npos);
    }
}

/* Dates are read as local time; the test pins the zone to UTC so that the
 * expected moments are plain numbers. */
class HttpDispatchDate : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *tz = getenv("TZ");
        had_tz_ = tz != nullptr;
        if (had_tz_)
            old_tz_ = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (had_tz_)
            setenv("TZ", old_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_tz_ = false;
    std::string old_tz_;
};

TEST_F(HttpDispatchDate, Patterns)
{
    const time_t nov_6_1994 = 784111777;       /* 06 Nov 1994 08:49:37 */
    const time_t dec_31_1999 = 946598400;      /* 31 Dec 1999 00:00:00 */
    const time_t mar_1_2024 = 1709251200 + 5;  /* 01 Mar 2024 00:00:05 */
    struct Case {
        int line;
        const char *text;
        time_t expected;
    };
    const Case cases[] = {
        {__LINE__, "Sun, 06 Nov 1994 08:49:37 GMT", nov_6_1994},
        {__LINE__, "Sun, 06 Nov 1994 08:49:37 +0500", nov_6_1994}, /* zone ignored */
        {__LINE__, "06/Nov/1994 08:49:37", nov_6_1994},
        {__LINE__, "06 Nov 1994 08:49:37", nov_6_1994},
        {__LINE__, "06-Nov-1994 08:49:37", nov_6_1994},
        {__LINE__, "06-Nov-94 08:49:37", nov_6_1994},
        {__LINE__, "01 Mar 24 00:00:05", mar_1_2024},
        {__LINE__, "01 Mar 124 00:00:05", mar_1_2024},
        {__LINE__, "garbage", dec_31_1999},
        {__LINE__, "", dec_31_1999},
        {__LINE__, "06 nov 1994 08:49:37", dec_31_1999}, /* month is case-sensitive */
        {__LINE__, "06 Nov 1994 08:49", dec_31_1999},    /* all six fields needed */
        {__LINE__, "Sunday, 06-Nov-94 08:49:37 GMT", dec_31_1999},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parse_http_date(c.text), c.expected);
    }
}

}  // namespace
