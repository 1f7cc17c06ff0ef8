/* tests/server_callbacks_test.cpp: URI pattern matching and the callback registry. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server_bare_context.h"

namespace {

using qftest::BareContext;
using qftest::take_bare_log;
using Lines = std::vector<std::string>;

TEST(ServerCallbacks, MatchRegex)
{
    struct Case {
        int line;
        const char *uri, *pattern;
        bool match;
    };
    const Case cases[] = {
        {__LINE__, "/admin", "/admin", true},
        {__LINE__, "/admin/x", "/admin", false},
        {__LINE__, "/admi", "/admin", false},
        {__LINE__, "/admin", "/admin*", true},
        {__LINE__, "/admin/x", "/admin*", true},
        {__LINE__, "/a/b.cgi", "*.cgi", true},
        {__LINE__, "/a/b.cgi.txt", "*.cgi", false},
        {__LINE__, "/a.cgi/b.cgi", "*.cgi", true},
        {__LINE__, "", "*", true},
        {__LINE__, "/anything/at/all", "*", true},
        {__LINE__, "", "", true},
        {__LINE__, "/", "", false},
        {__LINE__, "", "/", false},
        {__LINE__, "/Admin", "/admin", false},
        {__LINE__, "/x/y/z", "/x/*/z", true},
        {__LINE__, "/x/z", "/x/*/z", false},
        {__LINE__, "/x//z", "/x/*/z", true},
        {__LINE__, "abcabd", "*abd", true},     /* needs a retry after a partial match */
        {__LINE__, "aaab", "*a*b", true},
        {__LINE__, "aaa", "*a*b", false},
        {__LINE__, "ab", "a**b", true},
        {__LINE__, "/a?b", "/a?b", true},      /* only '*' is special */
        {__LINE__, "/axb", "/a?b", false},
        {__LINE__, "/a.b", "/a.b", true},
        {__LINE__, "/axb", "/a.b", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(match_regex(c.uri, c.pattern), c.match) << c.uri << " ~ " << c.pattern;
    }
}

/* A client chooses the URI: many stars against a long near-miss must not
 * take exponential time. */
TEST(ServerCallbacks, MatchRegexStaysFastOnNearMisses)
{
    std::string uri(8000, 'a');
    EXPECT_FALSE(match_regex(uri.c_str(), "*a*a*a*a*a*a*a*a*a*a*b"));
    EXPECT_TRUE(match_regex((uri + "b").c_str(), "*a*a*a*a*a*a*a*a*a*a*b"));
}

void handler_a(struct qf_connection *, const struct qf_request_info *, void *) {}
void handler_b(struct qf_connection *, const struct qf_request_info *, void *) {}

/* user_data is an int tag so a lookup shows which entry answered. */
void *
tag(intptr_t n)
{
    return (void *) n;
}

intptr_t
found_tag(const struct callback *cb)
{
    return cb == nullptr ? -1 : (intptr_t) cb->user_data;
}

TEST(ServerCallbacks, UriAndAuthLookupsTakeTheFirstMatchOfTheirKind)
{
    BareContext bare;
    struct qf_context *ctx = bare.ctx;
    qf_set_uri_callback(ctx, "/x*", handler_a, tag(1));
    qf_set_uri_callback(ctx, "/x/y", handler_b, tag(2));
    qf_set_auth_callback(ctx, "/x/y", handler_a, tag(3));
    qf_set_uri_callback(ctx, "/x*", handler_b, tag(4));   /* added behind, not replacing */
    qf_set_error_callback(ctx, 404, handler_a, tag(5));

    struct Case {
        int line;
        bool is_auth;
        const char *uri;
        intptr_t tag;
    };
    const Case cases[] = {
        {__LINE__, false, "/x/y", 1},
        {__LINE__, false, "/xyz", 1},
        {__LINE__, true, "/x/y", 3},
        {__LINE__, true, "/x/z", -1},
        {__LINE__, false, "/y", -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(found_tag(find_callback(ctx, c.is_auth, c.uri, 404)), c.tag);
    }
    const struct callback *cb = find_callback(ctx, false, "/x", -1);
    ASSERT_NE(cb, nullptr);
    EXPECT_EQ(cb->func, handler_a);
    EXPECT_EQ(cb->status_code, -1);
    EXPECT_FALSE(cb->is_auth);

    /* removal takes the first entry of the same pattern and kind */
    qf_set_uri_callback(ctx, "/x*", nullptr, nullptr);
    EXPECT_EQ(found_tag(find_callback(ctx, false, "/x/y", 0)), 2);
    qf_set_uri_callback(ctx, "/x/y", nullptr, nullptr);
    EXPECT_EQ(found_tag(find_callback(ctx, false, "/x/y", 0)), 4);
    EXPECT_EQ(found_tag(find_callback(ctx, true, "/x/y", 0)), 3);
    qf_set_auth_callback(ctx, "/x/y", nullptr, nullptr);
    EXPECT_EQ(found_tag(find_callback(ctx, true, "/x/y", 0)), -1);
    qf_set_uri_callback(ctx, "/no/such", nullptr, nullptr);   /* nothing to remove */
    EXPECT_EQ(ctx->num_callbacks, 2);
    EXPECT_EQ(found_tag(find_callback(ctx, false, nullptr, 404)), 5);
    EXPECT_EQ(take_bare_log(), Lines{});
}

TEST(ServerCallbacks, ErrorCallbacksAndTheCatchAll)
{
    struct Case {
        int line;
        std::vector<int> codes;   /* registered in this order, tagged 1, 2, ... */
        int lookup;
        intptr_t tag;
    };
    const Case cases[] = {
        {__LINE__, {404}, 404, 1},
        {__LINE__, {404}, 500, -1},
        {__LINE__, {0, 404}, 404, 1},   /* the catch-all came first */
        {__LINE__, {404, 0}, 404, 1},
        {__LINE__, {404, 0}, 500, 2},
        {__LINE__, {}, 404, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        BareContext bare;
        for (size_t i = 0; i < c.codes.size(); i++)
            qf_set_error_callback(bare.ctx, c.codes[i], handler_a, tag((intptr_t) i + 1));
        EXPECT_EQ(found_tag(find_callback(bare.ctx, false, nullptr, c.lookup)), c.tag);
    }

    BareContext bare;
    qf_set_uri_callback(bare.ctx, "*", handler_a, tag(1));
    qf_set_error_callback(bare.ctx, 404, handler_b, tag(2));
    qf_set_error_callback(bare.ctx, 404, nullptr, nullptr);
    EXPECT_EQ(bare.ctx->num_callbacks, 1);
    EXPECT_EQ(found_tag(find_callback(bare.ctx, false, nullptr, 404)), -1);
    EXPECT_EQ(found_tag(find_callback(bare.ctx, false, "/", 404)), 1);

    /* removing by code also takes a catch-all that comes first */
    qf_set_error_callback(bare.ctx, 0, handler_b, tag(3));
    qf_set_error_callback(bare.ctx, 500, handler_b, tag(4));
    qf_set_error_callback(bare.ctx, 500, nullptr, nullptr);
    EXPECT_EQ(found_tag(find_callback(bare.ctx, false, nullptr, 500)), 4);
}

TEST(ServerCallbacks, NineteenFitTheTwentiethIsRefused)
{
    BareContext bare;
    for (int i = 0; i < 19; i++)
        qf_set_uri_callback(bare.ctx, ("/p" + std::to_string(i)).c_str(), handler_a, tag(i));
    EXPECT_EQ(bare.ctx->num_callbacks, 19);
    EXPECT_EQ(take_bare_log(), Lines{});

    qf_set_error_callback(bare.ctx, 0, handler_a, tag(99));
    EXPECT_EQ(bare.ctx->num_callbacks, 19);
    EXPECT_EQ(take_bare_log(), Lines{"Too many callbacks! Increase MAX_CALLBACKS."});
    EXPECT_EQ(found_tag(find_callback(bare.ctx, false, nullptr, 404)), -1);

    /* the pattern is the context's own copy, and order survives a removal */
    qf_set_uri_callback(bare.ctx, "/p3", nullptr, nullptr);
    qf_set_uri_callback(bare.ctx, "/p3", handler_b, tag(33));
    EXPECT_EQ(bare.ctx->num_callbacks, 19);
    for (int i = 0; i < 18; i++)
        EXPECT_NE(std::string(bare.ctx->callbacks[i].uri_regex), "/p3") << i;
    EXPECT_EQ(found_tag(find_callback(bare.ctx, false, "/p4", 0)), 4);
    EXPECT_EQ(found_tag(find_callback(bare.ctx, false, "/p3", 0)), 33);
    EXPECT_EQ(bare.ctx->callbacks[3].user_data, tag(4));
}

}  // namespace
