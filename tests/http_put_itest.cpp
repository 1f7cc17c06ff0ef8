/* tests/http_put_itest.cpp: PUT and DELETE through the real binary: curl uploads, 100-continue, refusals and broken uploads. */
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "http_clients.h"
#include "support/harness.h"

namespace fs = std::filesystem;

namespace {

using qftest::shellQuote;

const char REALM[] = "Quorvel panel";

/* Deterministic bytes whose every window differs, NULs and CRLFs included. */
std::string
pattern(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = (char) (seed >> 16);
    }
    return s;
}

/* Names in dir, sorted, '/' behind directories. */
std::string
listing(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string() + (e.is_directory() ? "/" : ""));
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string &n : names)
        all += (all.empty() ? "" : " ") + n;
    return all;
}

/* A connected loopback socket, or -1. */
int
connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_port = htons((uint16_t) port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, (struct sockaddr *) &sin, sizeof(sin)) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

/* What arrives within timeout_ms, until the peer closes. */
std::string
receive(int fd, int timeout_ms)
{
    std::string got;
    char buf[4096];
    struct pollfd pfd = {fd, POLLIN, 0};
    ssize_t n;
    while (poll(&pfd, 1, timeout_ms) > 0 && (n = recv(fd, buf, sizeof(buf), 0)) > 0)
        got.append(buf, (size_t) n);
    return got;
}

class HttpPut : public ::testing::Test {
protected:
    qftest::ProductDir pd;
    qftest::TempDir docroot, work;
    qftest::ServerProcess srv;
    int port = 0;

    void SetUp() override
    {
        if (!qftest::haveCommands("curl htdigest setsid"))
            GTEST_SKIP() << "curl or htdigest is not installed";
        ASSERT_TRUE(qftest::htdigest(work.file("put.pw"), true, REALM, "alice", "secret"));
        qftest::writeFile(docroot.file("keep.bin"), pattern(5000, 1));
        port = qftest::freePort();
        ASSERT_TRUE(srv.start({"-ports", std::to_string(port), "-root", docroot.path(),
                               "-auth_realm", REALM, "-auth_PUT", work.file("put.pw"),
                               "-access_log", work.file("access")},
                              pd.bin().c_str()));
        ASSERT_TRUE(srv.waitForOutput("started on port")) << srv.err();
    }

    void TearDown() override
    {
        EXPECT_EQ(srv.err().find("Sanitizer"), std::string::npos) << srv.err();
    }

    std::string url(const std::string &uri) const
    {
        return "http://127.0.0.1:" + std::to_string(port) + uri;
    }

    static std::string authorization(const std::string &method, const std::string &uri)
    {
        return "Authorization: " +
               qftest::digestCredentials("alice", "secret", REALM, method, uri) + "\r\n";
    }

    /* curl's final status; extra goes in front of the URL. */
    std::string curl(const std::string &extra, const std::string &uri,
                     const std::string &user = "alice:secret")
    {
        return qftest::runCommand("curl -s -o /dev/null -w '%{http_code}' --digest -u " +
                                  shellQuote(user) + " " + extra + " " + shellQuote(url(uri)));
    }

    bool logged(const std::string &text)
    {
        return qftest::waitFor(
            [&] { return qftest::readFile(work.file("access")).find(text) != std::string::npos; },
            10000);
    }
};

/* Empty, small and multi-megabyte bodies arrive byte for byte and are
 * served back the same; the first upload creates (201), the next replaces
 * (200). curl waits for 100 Continue before a large body. */
TEST_F(HttpPut, CurlUploads)
{
    struct Case {
        int line;
        std::string uri;
        size_t size;
    };
    const Case cases[] = {
        {__LINE__, "/up/load/empty.bin", 0},
        {__LINE__, "/small.txt", 5},
        {__LINE__, "/up/big.bin", 3 * 1024 * 1024 + 17},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        for (int round = 0; round < 2; round++) {
            std::string body = pattern(c.size, (uint32_t) (c.line * 2 + round));
            qftest::writeFile(work.file("body"), body);
            EXPECT_EQ(curl("-D " + shellQuote(work.file("head")) + " -T " +
                               shellQuote(work.file("body")),
                           c.uri),
                      round == 0 ? "201" : "200");
            EXPECT_EQ(qftest::readFile(docroot.path() + c.uri), body);
            if (c.size > 1024 * 1024) {
                EXPECT_NE(qftest::readFile(work.file("head"))
                              .find("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 20"),
                          std::string::npos);
            }
            EXPECT_EQ(qftest::runCommand("curl -s -o " + shellQuote(work.file("got")) +
                                         " -w '%{http_code}' " + shellQuote(url(c.uri))),
                      "200");
            EXPECT_EQ(qftest::readFile(work.file("got")), body);
        }
    }
    /* no temporary file is left beside the uploads */
    EXPECT_EQ(listing(docroot.file("up")), "big.bin load/");
    EXPECT_EQ(listing(docroot.path()), "keep.bin small.txt up/");
    EXPECT_TRUE(logged("127.0.0.1 - alice ["));
    EXPECT_TRUE(logged("\"PUT /up/big.bin HTTP/1.1\" 200 0"));
}

/* A client that sends no body before 100 Continue gets the interim answer
 * at once (not after the socket's timeout), then the final one. */
TEST_F(HttpPut, ExpectContinue)
{
    int fd = connect_to(port);
    ASSERT_GE(fd, 0);
    std::string head = "PUT /k.txt HTTP/1.1\r\nContent-Length: 4\r\nExpect: 100-continue\r\n" +
                       authorization("PUT", "/k.txt") + "\r\n";
    ASSERT_EQ(send(fd, head.data(), head.size(), 0), (ssize_t) head.size());
    std::string interim;
    char c;
    struct pollfd pfd = {fd, POLLIN, 0};
    while (interim.find("\r\n\r\n") == std::string::npos && poll(&pfd, 1, 10000) > 0 &&
           recv(fd, &c, 1, 0) == 1)
        interim += c;
    ASSERT_EQ(send(fd, "abcd", 4, 0), 4);
    EXPECT_EQ(interim + receive(fd, 10000), "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 OK\r\n\r\n");
    close(fd);
    EXPECT_EQ(qftest::readFile(docroot.file("k.txt")), "abcd");
}

/* A body that stops short is answered 577 and changes nothing: the old
 * file keeps its bytes, no new one appears, no temporary file remains. */
TEST_F(HttpPut, BrokenUpload)
{
    const std::string before = qftest::readFile(docroot.file("keep.bin"));
    for (const std::string uri : {"/keep.bin", "/new.bin"}) {
        SCOPED_TRACE(uri);
        int fd = connect_to(port);
        ASSERT_GE(fd, 0);
        std::string part = "PUT " + uri + " HTTP/1.1\r\nContent-Length: 100000\r\n" +
                           authorization("PUT", uri) + "\r\n" + pattern(30000, 7);
        ASSERT_EQ(send(fd, part.data(), part.size(), 0), (ssize_t) part.size());
        close(fd);
        EXPECT_TRUE(logged("\"PUT " + uri + " HTTP/1.1\" 577 "));
        EXPECT_EQ(qftest::readFile(docroot.file("keep.bin")), before);
        EXPECT_EQ(listing(docroot.path()), "keep.bin");
    }
}

/* Refusals come before the target or any directory is touched. */
TEST_F(HttpPut, Refusals)
{
    const std::string before = qftest::readFile(docroot.file("keep.bin"));
    struct Case {
        int line;
        std::string uri, headers;
        bool auth;
        std::string status;
    };
    const Case cases[] = {
        {__LINE__, "/nd/x.bin", "", true, "HTTP/1.1 411 Length Required\r\n"},
        {__LINE__, "/nd/x.bin", "Content-Length: 3\r\nExpect: 200-ok\r\n", true,
         "HTTP/1.1 417 Expectation Failed\r\n"},
        {__LINE__, "/keep.bin", "Content-Length: 3\r\n", false, "HTTP/1.1 401 Unauthorized\r\n"},
        {__LINE__, "/nd/.htpasswd", "Content-Length: 3\r\n", true, "HTTP/1.1 403 Forbidden\r\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string got = qftest::rawRequest(
            port, "PUT " + c.uri + " HTTP/1.1\r\n" + c.headers +
                      (c.auth ? authorization("PUT", c.uri) : "") + "\r\nabc");
        EXPECT_EQ(got.substr(0, c.status.size()), c.status) << got;
        EXPECT_EQ(qftest::readFile(docroot.file("keep.bin")), before);
        EXPECT_EQ(listing(docroot.path()), "keep.bin");
    }
    qftest::writeFile(work.file("small"), "abc");
    EXPECT_EQ(curl("-T " + shellQuote(work.file("small")), "/keep.bin", "alice:wrong"), "401");
}

TEST_F(HttpPut, DeleteThenGet)
{
    qftest::writeFile(docroot.file("gone.txt"), "bye");
    fs::create_directory(docroot.file("dir"));
    struct Case {
        int line;
        const char *uri, *user;
        std::string code;
    };
    const Case cases[] = {
        {__LINE__, "/gone.txt", "alice:wrong", "401"},
        {__LINE__, "/gone.txt", "alice:secret", "200"},
        {__LINE__, "/gone.txt", "alice:secret", "404"},
        {__LINE__, "/dir/", "alice:secret", "403"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(curl("-X DELETE", c.uri, c.user), c.code);
    }
    EXPECT_EQ(qftest::runCommand("curl -s -w ' %{http_code}' " + shellQuote(url("/gone.txt"))),
              "Error 404: Not Found\nFile not found 404");
    EXPECT_EQ(listing(docroot.path()), "dir/ keep.bin");
}

}  // namespace
