/* tests/server_listen_test.cpp: the access list, listening ports, and the SSL and uid setters. */
#include <gtest/gtest.h>
#include <errno.h>

#include <set>
#include <string>
#include <vector>

#include "server_bare_context.h"
#include "support/harness.h"

namespace {

using qftest::BareContext;
using qftest::take_bare_log;
using Lines = std::vector<std::string>;

TEST(ServerListenAcl, Verdicts)
{
    struct Case {
        int line;
        const char *list, *client;
        int verdict;
    };
    const Case cases[] = {
        {__LINE__, "-0.0.0.0/0,+192.168.1.0/24", "192.168.1.7", 1},
        {__LINE__, "-0.0.0.0/0,+192.168.1.0/24", "10.0.0.1", 0},
        {__LINE__, "+192.168.1.7", "192.168.1.7", 1},
        {__LINE__, "+192.168.1.7", "192.168.1.8", 0},
        /* host bits in the entry: never matches, not even its own address */
        {__LINE__, "+192.168.1.5/24", "192.168.1.5", 0},
        {__LINE__, "+192.168.1.4/31", "192.168.1.5", 1},
        {__LINE__, "+0.0.0.0/0", "203.0.113.9", 1},
        /* the last matching entry decides */
        {__LINE__, "+10.0.0.0/8,-10.1.0.0/16", "10.1.2.3", 0},
        {__LINE__, "+10.0.0.0/8,-10.1.0.0/16", "10.2.0.1", 1},
        {__LINE__, "-10.1.0.0/16,+10.0.0.0/8", "10.1.2.3", 1},
        /* no entry matches: denied */
        {__LINE__, "", "127.0.0.1", 0},
        {__LINE__, nullptr, "127.0.0.1", 0},
        {__LINE__, "-127.0.0.1", "127.0.0.1", 0},
        /* a '/' without a number means /32; text after the numbers is ignored */
        {__LINE__, "+1.2.3.4/", "1.2.3.4", 1},
        {__LINE__, "+1.2.3.4xyz", "1.2.3.4", 1},
        {__LINE__, "+0.0.0.0/0x", "9.9.9.9", 1},
        {__LINE__, "+ 1.2.3.4", "1.2.3.4", 1},
        {__LINE__, "+1.2.3.4,", "1.2.3.4", 1},
    };
    BareContext bare;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        struct usa client = qftest::ipv4(c.client);
        EXPECT_EQ(check_acl(bare.ctx, c.list, &client), c.verdict);
        EXPECT_EQ(take_bare_log(), Lines{});
    }
}

/* Each message shows the list from the offending entry on. */
TEST(ServerListenAcl, MalformedListsAreRefusedWithTheirReason)
{
    struct Case {
        int line;
        const char *list, *message;
    };
    const Case cases[] = {
        {__LINE__, "192.168.1.0", "check_acl: flag must be + or -: [192.168.1.0]"},
        {__LINE__, "+1.2.3.4,*5.6.7.8", "check_acl: flag must be + or -: [*5.6.7.8]"},
        {__LINE__, "+300.1.1.1", "check_acl: bad ip address: [+300.1.1.1]"},
        {__LINE__, "-1.2.3.4,+1.2.3.256,+9.9.9.9",
         "check_acl: bad ip address: [+1.2.3.256,+9.9.9.9]"},
        {__LINE__, "+-1.2.3.4", "check_acl: bad ip address: [+-1.2.3.4]"},
        {__LINE__, "+10.0.0.0/33", "check_acl: bad subnet mask: 33 [+10.0.0.0/33]"},
        {__LINE__, "+10.0.0.0/-1", "check_acl: bad subnet mask: -1 [+10.0.0.0/-1]"},
        {__LINE__, "+1.2.3", "check_acl: subnet must be [+|-]x.x.x.x[/x]"},
        {__LINE__, "+1.2.3.4,-x", "check_acl: subnet must be [+|-]x.x.x.x[/x]"},
        /* an empty entry is malformed; the next entry is not read into it */
        {__LINE__, "+1.2.3.4,,+5.6.7.8", "check_acl: subnet must be [+|-]x.x.x.x[/x]"},
        {__LINE__, "+", "check_acl: subnet must be [+|-]x.x.x.x[/x]"},
    };
    BareContext bare;
    struct usa client = qftest::ipv4("1.2.3.4");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(check_acl(bare.ctx, c.list, &client), -1);
        EXPECT_EQ(take_bare_log(), Lines{c.message});

        /* the setter refuses it, and the text is stored all the same */
        EXPECT_EQ(qf_set_option(bare.ctx, "acl", c.list), 0);
        EXPECT_STREQ(qf_get_option(bare.ctx, "acl"), c.list);
        EXPECT_EQ(take_bare_log(), (Lines{c.message, "qf_set_option(acl): failure"}));
    }

    for (const char *list : {"-0.0.0.0/0,+127.0.0.1", "", (const char *) nullptr})
        EXPECT_EQ(qf_set_option(bare.ctx, "acl", list), 1);
    EXPECT_EQ(take_bare_log(), Lines{});
}

/* n distinct loopback ports that nothing listens on right now. */
std::vector<int>
free_ports(size_t n)
{
    std::set<int> seen;
    std::vector<int> ports;
    while (ports.size() < n) {
        int p = qftest::freePort();
        if (p > 0 && seen.insert(p).second)
            ports.push_back(p);
    }
    return ports;
}

/* Replaces "{0}", "{1}", ... by the given ports. */
std::string
with_ports(std::string text, const std::vector<int> &ports)
{
    for (size_t i = 0; i < ports.size(); i++) {
        std::string key = "{" + std::to_string(i) + "}";
        for (size_t at; (at = text.find(key)) != std::string::npos;)
            text.replace(at, key.size(), std::to_string(ports[i]));
    }
    return text;
}

bool
accepts_connections(int port)
{
    int fd = qftest::connect_loopback(port);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

TEST(ServerListenPorts, EntriesOpenListenersUntilTheFirstBadOne)
{
    struct Case {
        int line;
        const char *list;
        int result, listeners;
        Lines log;
    };
    const Case cases[] = {
        {__LINE__, "127.0.0.1:{0},{1}", 1, 2, {}},
        {__LINE__, "{0}", 1, 1, {}},
        {__LINE__, "127.0.0.1:{0}s", 0, 0,
         {"cannot add SSL socket, please specify -ssl_cert option BEFORE -ports option",
          "qf_set_option(ports): failure"}},
        {__LINE__, "127.0.0.1:{0},x,{1}", 0, 1,
         {"cannot bind to x", "qf_set_option(ports): failure"}},
        {__LINE__, "0", 0, 0, {"cannot bind to 0", "qf_set_option(ports): failure"}},
        {__LINE__, "70000", 0, 0, {"cannot bind to 70000", "qf_set_option(ports): failure"}},
        {__LINE__, "127.0.0.1:-5", 0, 0,
         {"cannot bind to 127.0.0.1:-5", "qf_set_option(ports): failure"}},
        {__LINE__, "{0},,{1}", 0, 1, {"cannot bind to ", "qf_set_option(ports): failure"}},
        {__LINE__, "", 1, 0, {}},
        {__LINE__, nullptr, 1, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        BareContext bare;
        std::vector<int> ports = free_ports(2);
        std::string list = c.list ? with_ports(c.list, ports) : "";

        EXPECT_EQ(qf_set_option(bare.ctx, "ports", c.list ? list.c_str() : nullptr), c.result);
        EXPECT_EQ(bare.ctx->num_listeners, c.listeners);
        EXPECT_EQ(take_bare_log(), c.log);
        for (int i = 0; i < bare.ctx->num_listeners; i++) {
            EXPECT_EQ(ntohs(bare.ctx->listeners[i].lsa.u.sin.sin_port), ports[i]);
            EXPECT_FALSE(bare.ctx->listeners[i].is_ssl);
            EXPECT_TRUE(accepts_connections(ports[i]));
        }
        /* nothing is left listening beyond the table (the refused SSL entry) */
        for (size_t i = (size_t) bare.ctx->num_listeners; i < ports.size(); i++)
            EXPECT_FALSE(accepts_connections(ports[i])) << "port " << i;
    }
}

TEST(ServerListenPorts, AddressEntryBindsOnlyThatAddress)
{
    BareContext bare;
    std::vector<int> ports = free_ports(2);
    std::string list = with_ports("127.0.0.1:{0},{1}", ports);
    ASSERT_EQ(qf_set_option(bare.ctx, "ports", list.c_str()), 1);

    const char *expected[] = {"127.0.0.1", "0.0.0.0"};
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        struct usa bound;
        bound.len = sizeof(bound.u.sin);
        ASSERT_EQ(getsockname(bare.ctx->listeners[i].sock, &bound.u.sa, &bound.len), 0);
        char text[INET_ADDRSTRLEN];
        EXPECT_STREQ(inet_ntop(AF_INET, &bound.u.sin.sin_addr, text, sizeof(text)), expected[i]);
        EXPECT_EQ(bound.u.sin.sin_addr.s_addr, bare.ctx->listeners[i].lsa.u.sin.sin_addr.s_addr);
        EXPECT_EQ(bare.ctx->listeners[i].lsa.len, (socklen_t) 16);
    }
}

TEST(ServerListenPorts, SettingAgainClosesThePreviousListeners)
{
    BareContext bare;
    std::vector<int> ports = free_ports(2);
    std::string first = with_ports("127.0.0.1:{0}", ports);
    std::string second = with_ports("127.0.0.1:{1}", ports);

    ASSERT_EQ(qf_set_option(bare.ctx, "ports", first.c_str()), 1);
    ASSERT_EQ(qf_set_option(bare.ctx, "ports", second.c_str()), 1);
    EXPECT_FALSE(accepts_connections(ports[0]));
    EXPECT_TRUE(accepts_connections(ports[1]));
    /* the same port again: the old listener must be gone before the bind */
    ASSERT_EQ(qf_set_option(bare.ctx, "ports", second.c_str()), 1);
    EXPECT_EQ(bare.ctx->num_listeners, 1);
}

TEST(ServerListenPorts, TenthEntryIsTooMany)
{
    BareContext bare;
    std::vector<int> ports = free_ports(10);
    std::string list;
    for (int p : ports)
        list += (list.empty() ? "127.0.0.1:" : ",127.0.0.1:") + std::to_string(p);

    EXPECT_EQ(qf_set_option(bare.ctx, "ports", list.c_str()), 0);
    EXPECT_EQ(bare.ctx->num_listeners, 9);
    EXPECT_EQ(take_bare_log(),
              (Lines{"Too many listeninig sockets", "qf_set_option(ports): failure"}));
    EXPECT_FALSE(accepts_connections(ports[9]));
}

TEST(ServerListenPorts, PortInUseNamesTheSystemError)
{
    BareContext bare;
    int port = free_ports(1)[0];
    std::string entry = "127.0.0.1:" + std::to_string(port);
    struct vec piece = {entry.c_str(), entry.size()};
    struct usa lsa;
    int holder = qf_open_listening_port(bare.ctx, &piece, &lsa);
    ASSERT_GE(holder, 0);

    EXPECT_EQ(qf_set_option(bare.ctx, "ports", entry.c_str()), 0);
    EXPECT_EQ(bare.ctx->num_listeners, 0);
    std::string refusal =
        "qf_open_listening_port(" + std::to_string(port) + "): " + strerror(EADDRINUSE);
    EXPECT_EQ(take_bare_log(),
              (Lines{refusal, "cannot bind to " + entry, "qf_set_option(ports): failure"}));
    close(holder);
}

/* Neither SSL nor a change of user exists; both say so on standard error
 * and fail, and a port that asks for SSL stays refused. */
TEST(ServerListenUnavailable, SslCertAndUidAlwaysFail)
{
    struct Case {
        int line;
        const char *option, *value, *stderr_text;
    };
    const Case cases[] = {
        {__LINE__, "ssl_cert", "/etc/ssl/server.pem", "Cannont load dll\n"},
        {__LINE__, "ssl_cert", nullptr, "Cannont load dll\n"},
        {__LINE__, "uid", "nobody", "Cannont set_uid_option\n"},
    };
    BareContext bare;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        testing::internal::CaptureStderr();
        int result = qf_set_option(bare.ctx, c.option, c.value);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.stderr_text);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(take_bare_log(), Lines{std::string("qf_set_option(") + c.option + "): failure"});
    }
    EXPECT_EQ(bare.ctx->ssl_ctx, nullptr);
    for (const struct ssl_func *f = ssl_sw; f->name != nullptr; f++)
        EXPECT_EQ(f->ptr, nullptr) << f->name;
}

}  // namespace
