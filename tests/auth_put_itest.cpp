/* tests/auth_put_itest.cpp: Digest authentication, PUT and DELETE through the real binary. */
#include <gtest/gtest.h>

#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "server_bare_context.h"
#include "support/harness.h"

namespace fs = std::filesystem;

namespace {

using qftest::md5;

const char REALM[] = "Quorvel panel";

const auto run = qftest::runCommand;

/* alice's header line, from the RFC 2617 formula. */
std::string auth(const std::string &method, const std::string &uri, const std::string &pass = "secret")
{
    std::string ha1 = md5(std::string("alice:") + REALM + ":" + pass);
    return "Authorization: Digest username=\"alice\", nonce=\"17\", uri=\"" + uri +
           "\", qop=auth, nc=1, cnonce=\"c\", response=\"" +
           md5(ha1 + ":17:1:c:auth:" + md5(method + ":" + uri)) + "\"\r\n";
}

/* What arrives until the peer closes (or until shows), 10 s of silence at most. */
std::string receive(int fd, const char *until = nullptr)
{
    std::string got;
    char c;
    struct pollfd pfd = {fd, POLLIN, 0};
    while ((until == nullptr || got.find(until) == std::string::npos) &&
           poll(&pfd, 1, 10000) > 0 && recv(fd, &c, 1, 0) == 1)
        got += c;
    return got;
}

/* One server: htdigest's file guards /sec and PUT; a file of our -A mode guards /prot. */
class AuthPut : public ::testing::Test {
protected:
    struct Server {
        qftest::ProductDir pd;
        qftest::TempDir root, work;
        qftest::ServerProcess proc;
        int port = qftest::freePort();
        std::string url = "http://127.0.0.1:" + std::to_string(port);
    };
    static inline std::unique_ptr<Server> s;

    static void SetUpTestSuite()
    {
        if (system("command -v curl htdigest setsid python3 >/dev/null") != 0)
            return;
        s = std::make_unique<Server>();
        for (std::string f : {"pub.txt", "sec/f.txt", "prot/f.txt"}) {
            fs::create_directories(fs::path(s->root.file(f)).parent_path());
            qftest::writeFile(s->root.file(f), "content of " + f);
        }
        const std::string pw = s->root.file("sec/.htpasswd"), ours = s->work.file("ours");
        run("printf 'secret\\nsecret\\n' | setsid -w htdigest -c " + pw + " '" + REALM +
            "' alice 2>&1");
        qftest::runQuillfen({"-A", ours, REALM, "bob", "b:b"}, s->pd.bin().c_str(), s->work.path());
        s->proc.start({"-ports", std::to_string(s->port), "-root", s->root.path(), "-auth_realm",
                       REALM, "-access_log", s->work.file("access"), "-protect", "/prot=" + ours,
                       "-auth_PUT", pw},
                      s->pd.bin().c_str());
    }
    static void TearDownTestSuite() { s.reset(); }
    void SetUp() override
    {
        if (!s)
            GTEST_SKIP() << "curl, htdigest or python3 is not installed";
        ASSERT_TRUE(s->proc.waitForOutput("started on port")) << s->proc.err();
    }

    /* The body curl received and its final status behind a space. */
    static std::string curl(const std::string &options, const std::string &uri)
    {
        return run("curl -s -w ' %{http_code}' " + options + " " + s->url + uri);
    }
    static bool logged(const std::string &line_regex)
    {
        const std::regex re("(^|\n)" + line_regex);
        return qftest::waitFor(
            [&] { return std::regex_search(qftest::readFile(s->work.file("access")), re); }, 10000);
    }
};

TEST_F(AuthPut, RealClients)
{
    const struct { int line; std::string user_pass, uri; int code; } cases[] = {
        {__LINE__, "", "/pub.txt", 200},
        {__LINE__, "", "/sec/f.txt", 401},
        {__LINE__, "alice:secret", "/sec/f.txt", 200},
        {__LINE__, "alice:Secret", "/sec/f.txt", 401},
        {__LINE__, "bob:b:b", "/prot/f.txt", 200},
        {__LINE__, "alice:secret", "/prot/f.txt", 401},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(curl(c.user_pass.empty() ? "" : "--digest -u " + c.user_pass, c.uri),
                  (c.code == 200 ? "content of " + c.uri.substr(1) : "") + " " +
                      std::to_string(c.code));
    }
    EXPECT_TRUE(logged("127\\.0\\.0\\.1 - bob \\[[^\\]]+\\] \"GET /prot/f.txt HTTP/1.1\" 200 "));
    EXPECT_TRUE(logged("127\\.0\\.0\\.1 - - \\[[^\\]]+\\] \"GET /sec/f.txt HTTP/1.1\" 401 0 "));
    EXPECT_EQ(run("python3 -c 'import sys, urllib.request as u\n"
                  "h = u.HTTPDigestAuthHandler(); h.add_password(*sys.argv[1:5])\n"
                  "r = u.build_opener(h).open(sys.argv[2]); print(r.status, r.read().decode())' '" +
                  std::string(REALM) + "' " + s->url + "/sec/f.txt alice secret 2>&1"),
              "200 content of sec/f.txt\n");
}

/* Refusals change no file; without auth_PUT no credentials allow PUT or DELETE. */
TEST_F(AuthPut, RawRefusals)
{
    qftest::ServerProcess plain;
    const int port = s->port, plain_port = qftest::freePort();
    ASSERT_TRUE(plain.start({"-ports", std::to_string(plain_port), "-root", s->root.path(),
                             "-auth_realm", REALM},
                            s->pd.bin().c_str()));
    ASSERT_TRUE(plain.waitForOutput("started on port")) << plain.err();
    const std::string challenge = "HTTP/1\\.1 401 Unauthorized\r\nWWW-Authenticate: Digest "
                                  "qop=\"auth\", realm=\"Quorvel panel\", nonce=\"[0-9]+\"\r\n\r\n";
    const std::string put = "PUT /r/x.bin HTTP/1.1\r\n", len = "Content-Length: 3\r\n";
    const std::string x = auth("PUT", "/r/x.bin") + "\r\nabc", any = "\r\n[\\s\\S]*";
    /* any case for the scheme and the response's hex digits */
    std::string shout = auth("GET", "/sec/f.txt").replace(15, 6, "dIGEST");
    for (size_t i = shout.find("response=\"") + 10; i < shout.size(); i++)
        shout[i] = (char) toupper(shout[i]);
    const std::string get = "GET /sec/f.txt HTTP/1.1\r\n";
    const struct { int line, port; std::string request, answer; } cases[] = {
        {__LINE__, port, get + "\r\n", challenge},
        {__LINE__, port, get + shout + "\r\n", "HTTP/1\\.1 200 OK" + any},
        {__LINE__, port, get + "Authorization: Digest username=\"alice\", nc=1\r\n\r\n", challenge},
        {__LINE__, port, get + "Authorization: Digest response=\"" + md5("") + "\"\r\n\r\n",
         challenge},
        {__LINE__, port, put + x, "HTTP/1\\.1 411 Length Required" + any},
        {__LINE__, port, put + len + "Expect: 200-ok\r\n" + x,
         "HTTP/1\\.1 417 Expectation Failed" + any},
        {__LINE__, port, put + len + auth("PUT", "/r/x.bin", "wrong") + "\r\nabc", challenge},
        {__LINE__, port, "PUT /r/.htpasswd HTTP/1.1\r\n" + len + auth("PUT", "/r/.htpasswd") +
                             "\r\nabc", "HTTP/1\\.1 403 Forbidden" + any},
        {__LINE__, plain_port, "DELETE /pub.txt HTTP/1.1\r\n" + auth("DELETE", "/pub.txt") + "\r\n",
         challenge},
        {__LINE__, plain_port, put + len + x, challenge},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        std::string got = qftest::rawRequest(c.port, c.request);
        EXPECT_TRUE(std::regex_match(got, std::regex(c.answer))) << got;
    }
    EXPECT_FALSE(fs::exists(s->root.file("r")));
    EXPECT_EQ(qftest::readFile(s->root.file("pub.txt")), "content of pub.txt");
}

/* Created (201), replaced shorter (200), byte-exact, no temporary file; deleted, gone. */
TEST_F(AuthPut, CurlUploadsAndDelete)
{
    const std::string as_alice = "-o /dev/null --digest -u alice:secret ";
    const struct { std::string name; size_t first, second; } cases[] = {
        {"empty.bin", 7, 0}, {"big.bin", 3 * 1024 * 1024 + 17, 1024 * 1024}};
    for (const auto &c : cases) {
        for (size_t size : {c.first, c.second}) {
            SCOPED_TRACE(c.name + " " + std::to_string(size));
            std::string body(size, '\0');
            for (size_t i = 0; i < size; i++)
                body[i] = (char) ((i + size) * 2654435761u >> 13);
            qftest::writeFile(s->work.file("body"), body);
            EXPECT_EQ(curl(as_alice + "-T " + s->work.file("body"), "/up/" + c.name),
                      size == c.first ? " 201" : " 200");
            EXPECT_EQ(qftest::readFile(s->root.file("up/" + c.name)), body);
        }
    }
    EXPECT_EQ(run("ls -A " + s->root.file("up")), "big.bin\nempty.bin\n");
    EXPECT_EQ(curl(as_alice + "-X DELETE", "/up/big.bin"), " 200");
    EXPECT_EQ(curl(as_alice + "-X DELETE", "/up/big.bin"), " 404");
    EXPECT_EQ(curl("", "/up/big.bin"), "Error 404: Not Found\nFile not found 404");
}

/* No body before 100 Continue: the interim answer comes at once, not at a timeout. */
TEST_F(AuthPut, ExpectContinue)
{
    int fd = qftest::connect_loopback(s->port);
    ASSERT_GE(fd, 0);
    std::string head = "PUT /k.txt HTTP/1.1\r\nContent-Length: 4\r\nExpect: 100-continue\r\n" +
                       auth("PUT", "/k.txt") + "\r\n";
    ASSERT_EQ(send(fd, head.data(), head.size(), 0), (ssize_t) head.size());
    std::string interim = receive(fd, "\r\n\r\n");
    ASSERT_EQ(send(fd, "abcd", 4, 0), 4);
    EXPECT_EQ(interim + receive(fd), "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 OK\r\n\r\n");
    close(fd);
    EXPECT_EQ(qftest::readFile(s->root.file("k.txt")), "abcd");
}

/* A body cut short: 577, the old file intact, no new or temporary file. */
TEST_F(AuthPut, BrokenUpload)
{
    fs::create_directory(s->root.file("b"));
    qftest::writeFile(s->root.file("b/keep.bin"), "old bytes");
    for (const std::string uri : {"/b/keep.bin", "/b/new.bin"}) {
        SCOPED_TRACE(uri);
        int fd = qftest::connect_loopback(s->port);
        ASSERT_GE(fd, 0);
        std::string part = "PUT " + uri + " HTTP/1.1\r\nContent-Length: 100000\r\n" +
                           auth("PUT", uri) + "\r\n" + std::string(30000, 'z');
        ASSERT_EQ(send(fd, part.data(), part.size(), 0), (ssize_t) part.size());
        close(fd);
        EXPECT_TRUE(logged(".*\"PUT " + uri + " HTTP/1.1\" 577 "));
        EXPECT_EQ(qftest::readFile(s->root.file("b/keep.bin")), "old bytes");
        EXPECT_EQ(run("ls -A " + s->root.file("b")), "keep.bin\n");
    }
}

}  // namespace
