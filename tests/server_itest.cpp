/* tests/server_itest.cpp: the real binary: waiting, stalled and denied clients; the admin page. */
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "support/harness.h"

using namespace qftest;

namespace {

class ServerItest : public ::testing::Test {
protected:
    void start(const std::vector<std::string> &extra) { ASSERT_TRUE(srv.start(extra)) << srv.proc.err(); }
    /* A clean stop ends every test: a fault in the workers shows as a bad exit. */
    void TearDown() override { EXPECT_EQ(srv.proc.stop(15, 20000), 0) << srv.proc.err(); }
    Server srv;
};

/* One worker held by half a header, the 20-slot queue overrun threefold (the rest
 * wait in the backlog): everyone gets their own answer afterwards. */
TEST_F(ServerItest, OneWorkerServesWaitingClientsInTurn)
{
    const int clients = 60;
    for (int i = 0; i < clients; i++)
        writeFile(srv.root("f" + std::to_string(i)), "file " + std::to_string(i));
    start({"-max_threads", "1"});
    Conn first(srv.port);
    ASSERT_TRUE(first.send("GET /index.html HTTP/1.1\r\n"));
    std::vector<std::unique_ptr<Conn>> waiting;
    for (int i = 0; i < clients; i++) {
        waiting.push_back(std::make_unique<Conn>(srv.port));
        ASSERT_TRUE(waiting.back()->send("GET /f" + std::to_string(i) + " HTTP/1.0\r\n\r\n")) << i;
    }
    EXPECT_FALSE(waiting.front()->hears(300));   /* a look of fixed length */
    ASSERT_TRUE(first.send("\r\n"));
    EXPECT_TRUE(isIndexAnswer(first.read()));
    for (int i = 0; i < clients; i++)
        EXPECT_EQ(bodyOf(waiting[i]->read()), "file " + std::to_string(i)) << i;
}

/* A stalled client holds only its own worker; idle workers leave at once on SIGTERM. */
TEST_F(ServerItest, StalledClientDoesNotBlockOthers)
{
    start({"-idle_time", "60"});
    Conn stalled(srv.port);
    ASSERT_TRUE(stalled.send("GET /index.html HT"));
    for (int i = 0; i < 10; i++)
        EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST))) << i;
    EXPECT_FALSE(stalled.hears(0));
    ASSERT_TRUE(stalled.send("TP/1.0\r\n\r\n"));
    EXPECT_TRUE(isIndexAnswer(stalled.read()));
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(srv.proc.stop(15, 20000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(8));
}

/* Unread request bytes must not turn the close into a reset that cuts the response. */
TEST_F(ServerItest, UnreadClientBytesDoNotCutTheResponse)
{
    const size_t size = 8 << 20;
    writeFile(srv.root("big.bin"), std::string(size, 'b'));
    start({});
    Conn client(srv.port);
    ASSERT_TRUE(client.send("GET /big.bin HTTP/1.1\r\n\r\n" + std::string(60000, 'x')));
    EXPECT_EQ(bodyOf(client.read()).size(), size);
    EXPECT_TRUE(client.closed);
}

TEST_F(ServerItest, DeniedClientIsClosedAndLogged)
{
    start({"-acl", "+127.0.0.0/8,-127.0.0.1"});
    Conn client(srv.port);
    client.send(INDEX_REQUEST);   /* may fail: the server can close first */
    EXPECT_EQ(client.read(), "");
    EXPECT_TRUE(client.closed);
    EXPECT_TRUE(srv.logged("accept_new_connection: 127.0.0.1 is not allowed to connect\n"));
}

std::string row(const std::string &name, const std::string &description, const std::string &value)
{
    return "<form method=post><tr><td>" + name + "</td><td>" + description +
           "</td><input type=hidden name=o value='" + name +
           "'><td><input type=text name=v value='" + value +
           "'></td><td><input type=submit value=save></td></form></tr>";
}

/* Each POST answers with a paragraph right behind the heading and the table. */
TEST_F(ServerItest, AdminPageShowsAndSetsOptions)
{
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"
                             "<html><body><h1>Quillfen v. 2.8</h1>",
                      table = "<table border=\"1\"<tr><th>Option</th><th>Description</th>"
                              "<th colspan=2>Value</th></tr>",
                      saved = "<p style=\"color: green\">Saved: ",
                      error = "<p style=\"background: red\">Error setting option \"",
                      threads = "Maximum simultaneous threads to spawn";
    start({"-admin_uri", "/admin"});
    std::string page = srv.ask("GET /admin");
    EXPECT_EQ(page.rfind(head + table + row("root", "\tWeb root directory", srv.root()), 0), 0u)
        << page.substr(0, 400);

    const struct { int line; std::string body, paragraph, row; } cases[] = {
        {__LINE__, "o=max_threads&v=50", saved + "max_threads=50</p>",
         row("max_threads", threads, "50")},
        {__LINE__, "o=nope&v=1", error + "nope\"</p>", ""},
        /* stored as none even though the setter refuses it */
        {__LINE__, "o=max_threads", saved + "max_threads=NULL</p>",
         row("max_threads", threads, "")},
        /* names and values from the form cannot break out of the markup */
        {__LINE__, "o=auth_realm&v=%3Cb%3E'%22%26",
         saved + "auth_realm=&lt;b&gt;&#39;&quot;&amp;</p>",
         row("auth_realm", "Authentication domain name", "&lt;b&gt;&#39;&quot;&amp;")},
        {__LINE__, "o=%3Cscript%3E&v=1", error + "&lt;script&gt;\"</p>", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        page = srv.ask("POST /admin", "", c.body);
        EXPECT_EQ(page.rfind(head + c.paragraph + table, 0), 0u) << page.substr(0, 300);
        EXPECT_NE(page.find(c.row), std::string::npos);
    }
    /* a malformed access list stored this way admits every client and says why */
    srv.ask("POST /admin", "", "o=acl&v=%2B300.1.1.1");
    EXPECT_TRUE(isIndexAnswer(srv.ask("GET /index.html")));
    EXPECT_TRUE(srv.logged("check_acl: bad ip address: [+300.1.1.1]\n"));
}

}  // namespace
