/* tests/server_itest.cpp: the real binary: waiting, stalled and denied clients; the admin page. */
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/time.h>

#include <chrono>
#include <memory>

#include "server_bare_context.h"
#include "support/harness.h"

namespace {

const std::string BODY = "hello from the root\n";
const std::string REQUEST = "GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n";

bool answered(const std::string &reply)
{
    return reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 &&
           reply.substr(reply.find("\r\n\r\n") + 4) == BODY;
}

/* A client connection driven step by step; reads give up after 20 s. */
struct Client {
    explicit Client(int port) : fd(qftest::connect_loopback(port))
    {
        struct timeval tv = {20, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    ~Client() { close(fd); }
    bool send(const std::string &t) { return ::send(fd, t.data(), t.size(), MSG_NOSIGNAL) > 0; }
    bool hears(int ms)
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        return poll(&pfd, 1, ms) == 1;
    }
    /* Everything until the server closes; a reset counts as a close too. */
    std::string read_all()
    {
        std::string reply;
        char buf[65536];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof(buf), 0)) > 0)
            reply.append(buf, (size_t) n);
        closed = n == 0 || errno == ECONNRESET;
        return reply;
    }
    int fd;
    bool closed = false;
};

class ServerItest : public ::testing::Test {
protected:
    void start(const std::vector<std::string> &extra)
    {
        qftest::writeFile(www.file("index.html"), BODY);
        std::vector<std::string> args = {"-ports", "127.0.0.1:" + std::to_string(port), "-root",
                                         www.path(), "-error_log", www.file("error.log")};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(server.start(args, product.bin().c_str()));
        ASSERT_TRUE(server.waitForOutput("started on port")) << server.err();
    }
    /* A clean stop ends every test: a fault in the workers shows as a bad exit. */
    void TearDown() override { EXPECT_EQ(server.stop(15, 20000), 0) << server.err(); }

    qftest::ProductDir product;
    qftest::TempDir www;
    qftest::ServerProcess server;
    int port = qftest::freePort();
};

/* One worker held by half a header, the 20-slot queue overrun threefold (the rest
 * wait in the backlog): everyone gets their own answer afterwards. */
TEST_F(ServerItest, OneWorkerServesWaitingClientsInTurn)
{
    const int clients = 60;
    for (int i = 0; i < clients; i++)
        qftest::writeFile(www.file("f" + std::to_string(i)), "file " + std::to_string(i));
    start({"-max_threads", "1"});
    Client first(port);
    ASSERT_TRUE(first.send("GET /index.html HTTP/1.1\r\n"));
    std::vector<std::unique_ptr<Client>> waiting;
    for (int i = 0; i < clients; i++) {
        waiting.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(waiting.back()->send("GET /f" + std::to_string(i) + " HTTP/1.0\r\n\r\n")) << i;
    }
    EXPECT_FALSE(waiting.front()->hears(300));   /* a look of fixed length */
    ASSERT_TRUE(first.send("\r\n"));
    EXPECT_TRUE(answered(first.read_all()));
    for (int i = 0; i < clients; i++)
        EXPECT_EQ(qftest::bodyOf(waiting[i]->read_all()), "file " + std::to_string(i)) << i;
}

/* A stalled client holds only its own worker; idle workers leave at once on SIGTERM. */
TEST_F(ServerItest, StalledClientDoesNotBlockOthers)
{
    start({"-idle_time", "60"});
    Client stalled(port);
    ASSERT_TRUE(stalled.send("GET /index.html HT"));
    for (int i = 0; i < 10; i++)
        EXPECT_TRUE(answered(qftest::rawRequest(port, REQUEST))) << i;
    EXPECT_FALSE(stalled.hears(0));
    ASSERT_TRUE(stalled.send("TP/1.0\r\n\r\n"));
    EXPECT_TRUE(answered(stalled.read_all()));
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(server.stop(15, 20000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(8));
}

/* Unread request bytes must not turn the close into a reset that cuts the response. */
TEST_F(ServerItest, UnreadClientBytesDoNotCutTheResponse)
{
    const size_t size = 8 << 20;
    qftest::writeFile(www.file("big.bin"), std::string(size, 'b'));
    start({});
    Client client(port);
    ASSERT_TRUE(client.send("GET /big.bin HTTP/1.1\r\n\r\n" + std::string(60000, 'x')));
    std::string reply = client.read_all();
    EXPECT_EQ(reply.size() - reply.find("\r\n\r\n") - 4, size);
    EXPECT_TRUE(client.closed);
}

TEST_F(ServerItest, DeniedClientIsClosedAndLogged)
{
    start({"-acl", "+127.0.0.0/8,-127.0.0.1"});
    Client client(port);
    client.send(REQUEST);   /* may fail: the server can close first */
    EXPECT_EQ(client.read_all(), "");
    EXPECT_TRUE(client.closed);
    const std::string denied = "accept_new_connection: 127.0.0.1 is not allowed to connect\n";
    EXPECT_TRUE(qftest::fileGains(www.file("error.log"), denied));
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
    auto send = [&](const std::string &uri, const std::string &body) {   /* GET without body */
        return qftest::rawRequest(port, (body.empty() ? "GET " : "POST ") + uri +
                                            " HTTP/1.1\r\nContent-Length: " +
                                            std::to_string(body.size()) + "\r\n\r\n" + body);
    };
    std::string page = send("/admin", "");
    EXPECT_EQ(page.rfind(head + table + row("root", "\tWeb root directory", www.path()), 0), 0u)
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
        page = send("/admin", c.body);
        EXPECT_EQ(page.rfind(head + c.paragraph + table, 0), 0u) << page.substr(0, 300);
        EXPECT_NE(page.find(c.row), std::string::npos);
    }
}

}  // namespace
