/* tests/auth_put_itest.cpp: Digest authentication, PUT and DELETE through the real binary. */
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <regex>

#include "server_bare_context.h"
#include "support/harness.h"

namespace fs = std::filesystem;
using namespace qftest;

namespace {

const char REALM[] = "Quorvel panel";

int server_port = 0; /* of AuthPut's server */

/* alice's header line, under a nonce of the server on port (AuthPut's: 0). */
std::string auth(const std::string &method, const std::string &uri, const std::string &pass = "secret",
                 int port = 0)
{
    const std::string nonce = nonceOf(rawRequest(port ? port : server_port, "GET /sec/f.txt HTTP/1.1\r\n\r\n"));
    return "Authorization: " + digestAuth("alice", REALM, pass, method, uri, nonce) + "\r\n";
}

/* One server: htdigest's file guards /sec and PUT; a file of our -A mode guards /prot. */
class AuthPut : public ::testing::Test {
protected:
    static inline std::unique_ptr<Server> s;

    static void SetUpTestSuite()
    {
        if (system("command -v curl htdigest setsid python3 >/dev/null") != 0) return;
        s = std::make_unique<Server>();
        for (std::string f : {"pub.txt", "sec/f.txt", "prot/f.txt"}) {
            fs::create_directories(fs::path(s->root(f)).parent_path());
            writeFile(s->root(f), "content of " + f);
        }
        const std::string pw = s->root("sec/.htpasswd"), ours = s->dir.file("ours");
        runCommand("printf 'secret\\nsecret\\n' | setsid -w htdigest -c " + pw + " '" + REALM + "' alice 2>&1");
        runQuillfen({"-A", ours, REALM, "bob", "b:b"}, s->product.bin().c_str());
        server_port = s->port;
        s->start({"-auth_realm", REALM, "-access_log", s->dir.file("access"), "-protect",
                  "/prot=" + ours, "-auth_PUT", pw});
    }
    static void TearDownTestSuite() { s.reset(); }
    void SetUp() override
    {
        if (!s) GTEST_SKIP() << "curl, htdigest or python3 is not installed";
        ASSERT_TRUE(s->proc.waitForOutput("started on port")) << s->proc.err();
    }

    /* The body curl received and its final status behind a space. */
    static std::string curl(const std::string &options, const std::string &uri)
    {
        return runCommand("curl -s -w ' %{http_code}' " + options + " http://127.0.0.1:" +
                          std::to_string(s->port) + uri);
    }
    static bool logged(const std::string &line_regex)
    {
        const std::regex re("(^|\n)" + line_regex);
        return waitFor([&] { return std::regex_search(readFile(s->dir.file("access")), re); }, 10000);
    }
};

TEST_F(AuthPut, RealClients)
{
    const struct { int line; std::string user_pass, uri; int code; } cases[] = {
        {__LINE__, "", "/pub.txt", 200}, {__LINE__, "", "/sec/f.txt", 401},
        {__LINE__, "alice:secret", "/sec/f.txt", 200}, {__LINE__, "alice:Secret", "/sec/f.txt", 401},
        {__LINE__, "bob:b:b", "/prot/f.txt", 200}, {__LINE__, "alice:secret", "/prot/f.txt", 401},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(curl(c.user_pass.empty() ? "" : "--digest -u " + c.user_pass, c.uri),
                  (c.code == 200 ? "content of " + c.uri.substr(1) : "") + " " + std::to_string(c.code));
    }
    EXPECT_TRUE(logged("127\\.0\\.0\\.1 - bob \\[[^\\]]+\\] \"GET /prot/f.txt HTTP/1.1\" 200 "));
    EXPECT_TRUE(logged("127\\.0\\.0\\.1 - - \\[[^\\]]+\\] \"GET /sec/f.txt HTTP/1.1\" 401 0 "));
    EXPECT_EQ(runCommand("python3 -c 'import sys, urllib.request as u\n"
                         "h = u.HTTPDigestAuthHandler(); h.add_password(*sys.argv[1:5])\n"
                         "r = u.build_opener(h).open(sys.argv[2]); print(r.status, r.read().decode())' '" +
                         std::string(REALM) + "' http://127.0.0.1:" + std::to_string(s->port) +
                         "/sec/f.txt alice secret 2>&1"),
              "200 content of sec/f.txt\n");
}

/* Refusals change no file; without auth_PUT no credentials allow PUT or DELETE. */
TEST_F(AuthPut, RawRefusals)
{
    ServerProcess plain;
    const int port = s->port, plain_port = freePort();
    ASSERT_TRUE(plain.start({"-ports", std::to_string(plain_port), "-root", s->root(), "-auth_realm", REALM},
                            s->product.bin().c_str()));
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
        {__LINE__, port, get + "Authorization: Digest response=\"" + md5("") + "\"\r\n\r\n", challenge},
        {__LINE__, port, put + x, "HTTP/1\\.1 411 Length Required" + any},
        {__LINE__, port, put + len + "Expect: 200-ok\r\n" + x, "HTTP/1\\.1 417 Expectation Failed" + any},
        {__LINE__, port, put + len + auth("PUT", "/r/x.bin", "wrong") + "\r\nabc", challenge},
        {__LINE__, port, "PUT /r/.htpasswd HTTP/1.1\r\n" + len + auth("PUT", "/r/.htpasswd") +
                             "\r\nabc", "HTTP/1\\.1 403 Forbidden" + any},
        {__LINE__, plain_port, "DELETE /pub.txt HTTP/1.1\r\n" + auth("DELETE", "/pub.txt") + "\r\n",
         challenge},
        {__LINE__, plain_port, put + len + x, challenge},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        std::string got = rawRequest(c.port, c.request);
        EXPECT_TRUE(std::regex_match(got, std::regex(c.answer))) << got;
    }
    EXPECT_FALSE(fs::exists(s->root("r")));
    EXPECT_EQ(readFile(s->root("pub.txt")), "content of pub.txt");
}

/* Created (201), replaced shorter (200) keeping its mode, byte-exact, no temporary file; deleted, gone. */
TEST_F(AuthPut, CurlUploadsAndDelete)
{
    const std::string as_alice = "-o /dev/null --digest -u alice:secret ";
    const struct { std::string name; size_t first, second; } cases[] = {
        {"empty.bin", 7, 0}, {"big.bin", 3 * 1024 * 1024 + 17, 1024 * 1024}};
    for (const auto &c : cases) {
        for (size_t size : {c.first, c.second}) {
            SCOPED_TRACE(c.name + " " + std::to_string(size));
            std::string body(size, '\0');
            for (size_t i = 0; i < size; i++) body[i] = (char) ((i + size) * 2654435761u >> 13);
            writeFile(s->dir.file("body"), body);
            EXPECT_EQ(curl(as_alice + "-T " + s->dir.file("body"), "/up/" + c.name),
                      size == c.first ? " 201" : " 200");
            const std::string path = s->root("up/" + c.name);
            EXPECT_EQ(readFile(path), body);
            struct stat st {};
            EXPECT_TRUE(size == c.first || (stat(path.c_str(), &st) == 0 && (st.st_mode & 0777) == 0640));
            chmod(path.c_str(), 0640);
        }
    }
    EXPECT_EQ(runCommand("ls -A " + s->root("up")), "big.bin\nempty.bin\n");
    EXPECT_EQ(curl(as_alice + "-X DELETE", "/up/big.bin"), " 200");
    EXPECT_EQ(curl(as_alice + "-X DELETE", "/up/big.bin"), " 404");
    EXPECT_EQ(curl("", "/up/big.bin"), "Error 404: Not Found\nFile not found 404");
}

/* No body before 100 Continue: the interim answer comes at once, not at a timeout. */
TEST_F(AuthPut, ExpectContinue)
{
    Conn c(s->port);
    ASSERT_TRUE(c.send("PUT /k.txt HTTP/1.1\r\nContent-Length: 4\r\nExpect: 100-continue\r\n" +
                       auth("PUT", "/k.txt") + "\r\n"));
    const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
    ASSERT_EQ(c.read(10000, interim.size()), interim);
    ASSERT_TRUE(c.send("abcd"));
    EXPECT_EQ(c.read(10000), "HTTP/1.1 201 OK\r\n\r\n");
    EXPECT_EQ(readFile(s->root("k.txt")), "abcd");
}

/* A body cut short: 577, the old file intact, no new or temporary file. */
TEST_F(AuthPut, BrokenUpload)
{
    fs::create_directory(s->root("b"));
    writeFile(s->root("b/keep.bin"), "old bytes");
    for (const std::string uri : {"/b/keep.bin", "/b/new.bin"}) {
        SCOPED_TRACE(uri);
        {
            Conn c(s->port);
            ASSERT_TRUE(c.send("PUT " + uri + " HTTP/1.1\r\nContent-Length: 100000\r\n" +
                               auth("PUT", uri) + "\r\n" + std::string(30000, 'z')));
        }
        EXPECT_TRUE(logged(".*\"PUT " + uri + " HTTP/1.1\" 577 "));
        EXPECT_EQ(readFile(s->root("b/keep.bin")), "old bytes");
        EXPECT_EQ(runCommand("ls -A " + s->root("b")), "keep.bin\n");
    }
}

}  // namespace
