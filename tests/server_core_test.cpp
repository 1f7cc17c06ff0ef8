/* tests/server_core_test.cpp: access list, ports, options, queue, callbacks. */
#include <arpa/inet.h>
#include <errno.h>
#include <sys/eventfd.h>

#include "server/text.h"
#include "server_bare_context.h"
#include "support/harness.h"

namespace {

using qftest::BareContext;
using qftest::take_bare_log;
using Lines = std::vector<std::string>;

/* The hand-made IPv4 text matches the library's for every digit count. */
TEST(ServerAddress, TextAsTheLibraryWritesIt)
{
    struct usa a {};
    a.u.sin.sin_family = AF_INET;
    char ours[QF_ADDRSTRLEN], library[INET_ADDRSTRLEN];
    for (uint32_t n : {0u, 0x01020304u, 0x0a141e28u, 0x64c8ff09u, 0x7f000001u, 0xffffffffu}) {
        a.u.sin.sin_addr.s_addr = htonl(n);
        qf_address_text(&a, ours, sizeof(ours));
        EXPECT_STREQ(ours, inet_ntop(AF_INET, &a.u.sin.sin_addr, library, sizeof(library)));
    }
    qf_address_text(&a, ours, 8); /* cut, never overrun */
    EXPECT_STREQ(ours, "255.255");
    a.u.sin6.sin6_family = AF_INET6;
    a.u.sin6.sin6_addr = in6addr_loopback;
    qf_address_text(&a, ours, sizeof(ours));
    EXPECT_STREQ(ours, "::1");
}

/* The hand-made HTTP date matches strftime's in the C locale, and is cut, never overrun. */
TEST(ServerText, HttpDateAsStrftimeWritesIt)
{
    char ours[64], library[64];
    for (time_t t : {(time_t) 0, (time_t) 784111777, (time_t) 951782400, (time_t) 1798675200,
                     (time_t) 253402300799}) {
        struct tm tm;
        gmtime_r(&t, &tm);
        strftime(library, sizeof(library), "%a, %d %b %Y %H:%M:%S GMT", &tm);
        EXPECT_STREQ(http_date(t, ours, sizeof(ours)), library) << t;
        EXPECT_EQ(parse_http_date(ours), t) << ours;
    }
    /* beyond the four-digit year: the epoch, a date every reader can parse */
    EXPECT_STREQ(http_date(253402300800, ours, sizeof(ours)), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_STREQ(http_date(0, ours, 6), "Thu, ");
}

/* The setter refuses a malformed list (-1); the message shows it from the bad entry on. */
TEST(ServerAcl, VerdictsAndMalformedLists)
{
    const struct { int line; const char *list, *client; int verdict; std::string why; } cases[] = {
        {__LINE__, "-0.0.0.0/0,+192.168.1.0/24", "192.168.1.7", 1, ""},
        {__LINE__, "-0.0.0.0/0,+192.168.1.0/24", "10.0.0.1", 0, ""},
        {__LINE__, "+192.168.1.5/24", "192.168.1.5", 0, ""},   /* host bits set: never matches */
        {__LINE__, "+10.0.0.0/8,-10.1.0.0/16", "10.1.2.3", 0, ""},   /* the last match decides */
        {__LINE__, "", "127.0.0.1", 0, ""},   /* nothing matches: denied */
        {__LINE__, "+1.2.3.4/", "1.2.3.4", 1, ""},   /* bare '/' is /32 */
        {__LINE__, "+1.2.3.4,*5.6.7.8", "1.2.3.4", -1, "check_acl: flag must be + or -: [*5.6.7.8]"},
        {__LINE__, "-1.2.3.4,+1.2.3.256,+9.9.9.9", "1.2.3.4", -1,
         "check_acl: bad ip address: [+1.2.3.256,+9.9.9.9]"},
        {__LINE__, "+10.0.0.0/33", "1.2.3.4", -1, "check_acl: bad subnet mask: 33 [+10.0.0.0/33]"},
        {__LINE__, "+1.2.3.4,,+5.6.7.8", "1.2.3.4", -1, "check_acl: subnet must be [+|-]x.x.x.x[/x]"},
        /* IPv6 entries match IPv6 clients only, and IPv4 entries IPv4 clients only */
        {__LINE__, "-0.0.0.0/0,+2001:db8::/32", "2001:db8:0:1::7", 1, ""},
        {__LINE__, "+2001:db8::/32", "2001:db9::7", 0, ""},
        {__LINE__, "+0.0.0.0/0", "::1", 0, ""},
        {__LINE__, "+::/0", "127.0.0.1", 0, ""},
        {__LINE__, "+::/0,-::1", "::1", 0, ""},
        {__LINE__, "+::/0,-::1", "::2", 1, ""},
        {__LINE__, "+2001:db8::1/32", "2001:db8::1", 0, ""},   /* host bits set, as for IPv4 */
        {__LINE__, "+1.2.3.4:5", "1.2.3.4", 1, ""},   /* read as IPv4, as ever: what follows is ignored */
        {__LINE__, "+::/0,*::1", "::1", -1, "check_acl: flag must be + or -: [*::1]"},
        {__LINE__, "+2001:db8::g", "::1", -1, "check_acl: bad ip address: [+2001:db8::g]"},
        {__LINE__, "+::1/129", "::1", -1, "check_acl: bad subnet mask: 129 [+::1/129]"},
    };
    BareContext bare;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        struct usa client = qftest::address(c.client);
        EXPECT_EQ(check_acl(bare.ctx, c.list, &client), c.verdict);
        EXPECT_EQ(qf_set_option(bare.ctx, "acl", c.list), c.verdict == -1 ? 0 : 1);
        Lines log = {c.why, c.why, "qf_set_option(acl): failure"};
        EXPECT_EQ(take_bare_log(), c.why.empty() ? Lines{} : log);
    }
}

/* A list is taken whole or not at all: a bad entry leaves the listeners as they were, here the one
 * on {10}, and closes what the list opened before it. "{n}" stands for free port n. */
TEST(ServerPorts, ABadEntryLeavesTheOldListeners)
{
    std::vector<int> ports;
    while (ports.size() < 11)
        if (int p = qftest::freePort(); std::count(ports.begin(), ports.end(), p) == 0) ports.push_back(p);
    auto subst = [&](std::string s) {
        for (size_t i = 0, at; i < ports.size(); i++)
            while ((at = s.find("{" + std::to_string(i) + "}")) != std::string::npos)
                s.replace(at, std::to_string(i).size() + 2, std::to_string(ports[i]));
        return s;
    };
    auto listening = [&](int n, bool old) {   /* the first n ports accept, and {10} when old */
        for (int i = 0; i < 11; i++) EXPECT_EQ(qftest::Conn(ports[i]).fd >= 0, i < n || (i == 10 && old)) << i;
    };
    const std::string fail = "qf_set_option(ports): failure", before = subst("127.0.0.1:{10}");
    const struct { int line; std::string list; int result, listeners; Lines log; } cases[] = {
        {__LINE__, subst("127.0.0.1:{0},{1}"), 1, 2, {}},
        {__LINE__, subst("127.0.0.1:{0}s"), 0, 0,
         {"cannot add SSL socket, please specify -ssl_cert option BEFORE -ports option", fail}},
        {__LINE__, subst("{0},x,{1}"), 0, 0, {"cannot bind to x", fail}},
        {__LINE__, "0", 0, 0, {"cannot bind to 0", fail}},
        {__LINE__, "70000", 0, 0, {"cannot bind to 70000", fail}},
        /* an IPv6 entry needs its brackets and a port */
        {__LINE__, subst("[::1],{0}"), 0, 0, {"cannot bind to [::1]", fail}},
        {__LINE__, subst("::1:{0}"), 0, 0, {subst("cannot bind to ::1:{0}"), fail}},
        {__LINE__, subst("[::1:{0}"), 0, 0, {subst("cannot bind to [::1:{0}"), fail}},
        {__LINE__, subst("[::g]:{0}"), 0, 0, {subst("cannot bind to [::g]:{0}"), fail}},
        {__LINE__, subst("{0},{0}"), 0, 0,
         {subst("qf_open_listening_port({0}): ") + strerror(EADDRINUSE), subst("cannot bind to {0}"), fail}},
        {__LINE__, subst("{0},{1},{2},{3},{4},{5},{6},{7},{8},{9}"), 0, 0,
         {"Too many listeninig sockets", fail}},
        /* the old address stays listed: its socket is kept, not bound again */
        {__LINE__, subst("{0},127.0.0.1:{10}"), 1, 1, {}},
        /* every address of the old port: bound once the old listener is closed */
        {__LINE__, subst("{10}"), 1, 0, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        BareContext bare;
        ASSERT_EQ(qf_set_option(bare.ctx, "ports", before.c_str()), 1);
        const int old_sock = bare.ctx->listeners[0].sock;
        EXPECT_EQ(qf_set_option(bare.ctx, "ports", c.list.c_str()), c.result);
        EXPECT_EQ(take_bare_log(), c.log);
        EXPECT_STREQ(qf_get_option(bare.ctx, "ports"), c.result == 1 ? c.list.c_str() : before.c_str());
        const bool old_stays = c.result == 0 || c.list.find(std::to_string(ports[10])) != std::string::npos;
        listening(c.listeners, old_stays);
        if (c.result == 0) {
            EXPECT_EQ(bare.ctx->num_listeners, 1);
            EXPECT_EQ(bare.ctx->listeners[0].sock, old_sock);
        }
        EXPECT_EQ(qf_set_option(bare.ctx, "ports", ""), 1);
        listening(0, false);
    }
}

bool put(struct qf_context *ctx, int n) { struct request_head h {}; h.client.sock = n; return put_socket(ctx, &h); }
int take(struct qf_context *ctx) { struct request_head h {}; return get_socket(ctx, &h) ? h.client.sock : -1; }

/* Twenty heads fit, in order across the ring's end; the next is refused, and taking one wakes every
 * loop of the intake, since any of them may be the one refused. After idle_time a worker leaves,
 * struck from both counters. */
TEST(ServerQueue, OrderFullQueueAndIdleWorker)
{
    BareContext bare;
    int *wake = bare.ctx->wake_fds;
    bare.ctx->num_loops = 2;
    for (int i = 0; i < 2; i++) wake[i] = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    auto woken = [&](int i) { uint64_t n = 0; return read(wake[i], &n, sizeof(n)) == (ssize_t) sizeof(n); };
    bare.ctx->sq_head = bare.ctx->sq_tail = 7;   /* near the end of the ring */
    {
        qftest::Call fill([&] {   /* nothing here may wait */
            for (int i = 0; i < 20; i++) EXPECT_TRUE(put(bare.ctx, i));
            EXPECT_FALSE(put(bare.ctx, 20));
            EXPECT_FALSE(woken(0) || woken(1));   /* not yet */
            EXPECT_EQ(take(bare.ctx), 0);
            EXPECT_TRUE(woken(0) && woken(1));
            EXPECT_TRUE(put(bare.ctx, 20));
        });
        ASSERT_TRUE(fill.returns());
    }
    for (int i = 1; i <= 20; i++) EXPECT_EQ(take(bare.ctx), i);
    EXPECT_FALSE(woken(0) || woken(1));   /* only a refused intake is woken */
    for (int i = 0; i < 2; i++) close(wake[i]);
    bare.ctx->num_loops = 0;

    bare.ctx->options[OPT_IDLE_TIME] = strdup("0");
    bare.ctx->num_threads = 1;
    qftest::Call idle([&] { EXPECT_EQ(take(bare.ctx), -1); });
    EXPECT_TRUE(idle.returns());
    EXPECT_EQ(bare.ctx->num_threads + bare.ctx->num_idle, 0);
}

TEST(ServerCallbacks, MatchRegex)
{
    const struct { int line; const char *uri, *pattern; bool match; } cases[] = {
        {__LINE__, "/admin", "/admin", true},     {__LINE__, "/admin/x", "/admin", false},
        {__LINE__, "/admin/x", "/admin*", true},  {__LINE__, "/a/b.cgi.txt", "*.cgi", false},
        {__LINE__, "/a.cgi/b.cgi", "*.cgi", true}, {__LINE__, "", "*", true},
        {__LINE__, "/", "", false},                {__LINE__, "/x/z", "/x/*/z", false},
        {__LINE__, "abcabd", "*abd", true},   /* retry after a partial match */
        {__LINE__, "aaa", "*a*b", false},          {__LINE__, "/axb", "/a.b", false},
    };
    for (const auto &c : cases) EXPECT_EQ(match_regex(c.uri, c.pattern), c.match) << c.line;
    /* the client picks the URI: a near miss must not take exponential time */
    std::string uri(8000, 'a');
    EXPECT_FALSE(match_regex(uri.c_str(), "*a*a*a*a*a*a*a*a*a*a*b"));
    EXPECT_TRUE(match_regex((uri + "b").c_str(), "*a*a*a*a*a*a*a*a*a*a*b"));
}

void handler(struct qf_connection *, const struct qf_request_info *, void *) {}

intptr_t found(struct qf_context *ctx, bool is_auth, const char *uri, int code)
{
    const struct callback *cb = find_callback(ctx, is_auth, uri, code);
    return cb == nullptr ? -1 : (intptr_t) cb->user_data;
}

/* First match wins; removal takes the first of its kind; the 20th is refused. */
TEST(ServerCallbacks, OrderRemovalAndLimit)
{
    BareContext bare;
    struct qf_context *ctx = bare.ctx;
    qf_set_uri_callback(ctx, "/x*", handler, (void *) 1);
    qf_set_uri_callback(ctx, "/x/y", handler, (void *) 2);
    qf_set_auth_callback(ctx, "/x/y", handler, (void *) 3);
    qf_set_uri_callback(ctx, "/x*", handler, (void *) 4);
    qf_set_error_callback(ctx, 0, handler, (void *) 5);
    qf_set_error_callback(ctx, 404, handler, (void *) 6);
    EXPECT_EQ(found(ctx, false, "/x/y", 404), 1);
    EXPECT_EQ(found(ctx, true, "/x/y", 404), 3);
    EXPECT_EQ(found(ctx, false, nullptr, 404), 5);   /* the catch-all came first */

    qf_set_uri_callback(ctx, "/x*", nullptr, nullptr);
    EXPECT_EQ(found(ctx, false, "/x/y", 0), 2);
    qf_set_uri_callback(ctx, "/x/y", nullptr, nullptr);
    EXPECT_EQ(found(ctx, false, "/x/y", 0), 4);
    EXPECT_EQ(found(ctx, true, "/x/y", 0), 3);
    qf_set_error_callback(ctx, 404, nullptr, nullptr);   /* takes the catch-all first */
    EXPECT_EQ(found(ctx, false, nullptr, 404), 6);
    EXPECT_EQ(ctx->callbacks[1].user_data, (void *) 4);

    for (intptr_t i = 3; i < 20; i++)
        qf_set_uri_callback(ctx, ("/p" + std::to_string(i)).c_str(), handler, (void *) i);
    EXPECT_EQ(take_bare_log(), Lines{"Too many callbacks! Increase MAX_CALLBACKS."});
    EXPECT_EQ(found(ctx, false, "/p18", 0), 18);
    EXPECT_EQ(found(ctx, false, "/p19", 0), -1);
}

}  // namespace
