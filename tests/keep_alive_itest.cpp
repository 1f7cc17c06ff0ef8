/* tests/keep_alive_itest.cpp: connections kept open between requests (keep_alive), plain and
 * over TLS: which answers keep them, pipelined requests answered in order, real clients reusing
 * one connection, the idle wait and the most requests a connection serves. */
#include <memory>

#include "server_bare_context.h"
#include "support/harness.h"

using namespace qftest;

namespace {

const char REALM[] = "keep";

/* The answers at the start of a stream, each framed by its Content-Length (none: empty body). */
std::vector<std::string> splitAnswers(const std::string &stream)
{
    std::vector<std::string> answers;
    size_t at = 0;
    while (at < stream.size()) {
        size_t end = stream.find("\r\n\r\n", at);
        if (end == std::string::npos) break;
        std::string head = stream.substr(at, end + 4 - at);
        std::string len = headerOf(head, "Content-Length");
        size_t whole = head.size() + (len.empty() ? 0 : std::stoul(len));
        if (at + whole > stream.size()) break;
        answers.push_back(stream.substr(at, whole));
        at += whole;
    }
    return answers;
}

std::string get(const std::string &uri, const std::string &headers = "", const std::string &version = "1.1")
{
    return "GET " + uri + " HTTP/" + version + "\r\nHost: localhost\r\n" + headers + "\r\n";
}

/* One server, keep_alive 2 s, with a plain and a TLS port. */
class KeepAlive : public ::testing::Test {
protected:
    static inline std::unique_ptr<Server> s;
    static inline int tls_port;
    static inline bool tls;   /* openssl and curl are there */

    static std::string file(const std::string &name) { return s->dir.file(name); }

    static void SetUpTestSuite()
    {
        s = std::make_unique<Server>();
        tls_port = freePort();
        tls = system("command -v curl openssl python3 >/dev/null") == 0;
        if (tls)
            runCommand("cd " + s->dir.path() + " && openssl req -x509 -newkey ec -pkeyopt"
                       " ec_paramgen_curve:P-256 -nodes -keyout key.pem -out cert.pem -days 2"
                       " -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 2>/dev/null &&"
                       " cat cert.pem key.pem > server.pem");
        for (int i = 0; i < 100; i++) writeFile(s->root("f" + std::to_string(i) + ".txt"), "file " + std::to_string(i));
        /* older than any "now" a row sends, whatever second it was written in */
        runCommand("touch -d '2020-01-01 00:00:00 UTC' " + s->root("f1.txt"));
        runCommand("mkdir -p " + s->root("dir"));
        writeFile(s->root("dir/a.txt"), "a");
        writeFile(s->root("page.shtml"), "[<!--#include \"index.html\"-->]");
        runCommand("head -c 6000000 /dev/urandom > " + s->root("big.bin"));
        writeScript(s->root("nolen.cgi"), "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nfrom cgi'\n");
        /* a declared length: told truly, too long, too short */
        for (const auto &[name, len] : {std::pair{"len", 8}, {"short", 20}, {"long", 3}})
            writeScript(s->root(std::string(name) + ".cgi"),
                        "#!/bin/sh\nprintf 'Content-Length: " + std::to_string(len) + "\\r\\n\\r\\nwith len'\n");
        writeScript(s->root("echo.cgi"), "#!/bin/sh\nbody=$(cat)\n"
                                         "printf 'Content-Length: %d\\r\\n\\r\\n%s' \"${#body}\" \"$body\"\n");
        runQuillfen({"-A", file("pw"), REALM, "alice", "secret"}, s->product.bin().c_str());
        std::vector<std::string> args = {"-keep_alive", "2", "-access_log", file("access"), "-auth_PUT",
                                         file("pw"), "-auth_realm", REALM, "-cgi_ext", ".cgi"};
        if (tls)
            args.insert(args.end(), {"-ssl_cert", file("server.pem"), "-ports",
                                     "127.0.0.1:" + std::to_string(s->port) + ",127.0.0.1:" +
                                         std::to_string(tls_port) + "s"});
        s->start(args);
    }
    static void TearDownTestSuite() { s.reset(); }
    void SetUp() override { ASSERT_TRUE(s->proc.waitForOutput("started on port", 100)) << s->proc.err() << readFile(file("error.log")); }

    /* Sends first, then a GET of index.html that asks to close, on one connection; returns
     * what came until the server closed. */
    static std::string thenIndex(const std::string &first)
    {
        return rawRequest(s->port, first + get("/index.html", "Connection: close\r\n"));
    }
};

TEST_F(KeepAlive, KnownLengthsKeepTheConnectionOthersClose)
{
    const std::string now = runCommand("date -u '+%a, %d %b %Y %H:%M:%S GMT' | tr -d '\\n'");
    const std::string post = "POST /f1.txt HTTP/1.1\r\nHost: localhost\r\n", echo = "POST /echo.cgi HTTP/1.1\r\n",
                      put = "PUT /up.txt HTTP/1.1\r\n", chunked = "Transfer-Encoding: chunked\r\n\r\n";
    const std::string x(70000, 'x'), y(40000, 'y');
    /* body: what the answer carries, when it matters */
    const struct { int line; std::string request, status, connection; bool kept; std::string body = ""; } cases[] = {
        {__LINE__, get("/f1.txt"), "200", "keep-alive", true},
        {__LINE__, "HEAD /f1.txt HTTP/1.1\r\nHost: localhost\r\n\r\n", "200", "keep-alive", true},
        {__LINE__, get("/f1.txt", "Range: bytes=1-2\r\n"), "206", "keep-alive", true},
        {__LINE__, get("/f1.txt", "If-Modified-Since: " + now + "\r\n"), "304", "keep-alive", true},
        {__LINE__, get("/nothing"), "404", "keep-alive", true},
        {__LINE__, get("/dir"), "301", "keep-alive", true},
        {__LINE__, "DELETE /f2.txt HTTP/1.1\r\nHost: localhost\r\n\r\n", "401", "keep-alive", true},
        {__LINE__, get("/f1.txt", "", "1.0"), "200", "close", false},
        {__LINE__, get("/f1.txt", "Connection: keep-alive\r\n", "1.0"), "200", "keep-alive", true},
        {__LINE__, get("/f1.txt", "Connection: close\r\n"), "200", "close", false},
        {__LINE__, get("/nothing", "Connection: close\r\n"), "404", "close", false},
        {__LINE__, get("/dir/"), "200", "close", false},          /* a listing */
        {__LINE__, get("/page.shtml"), "200", "close", false},
        {__LINE__, get("/nolen.cgi"), "200", "", false},          /* no length: only the close ends it */
        {__LINE__, get("/len.cgi"), "200", "keep-alive", true, "with len"},
        {__LINE__, get("/short.cgi"), "200", "keep-alive", false},
        {__LINE__, get("/long.cgi"), "200", "keep-alive", false, "wit"},   /* no more than it declared */
        /* bodies read to their end: the next request starts behind them */
        {__LINE__, post + "Content-Length: 3\r\n\r\nabc", "200", "keep-alive", true},
        {__LINE__, post + "Content-Length: 0\r\n\r\n", "200", "keep-alive", true},
        {__LINE__, post + chunked + "3\r\nabc\r\n0\r\nX-Sum: 1\r\n\r\n", "200", "keep-alive", true},
        {__LINE__, echo + "Content-Length: 3\r\n\r\nabc", "200", "keep-alive", true, "abc"},
        {__LINE__, echo + chunked + "3\r\nabc\r\n2;x=y\r\nde\r\n0\r\nX-Sum: 1\r\n\r\n", "200", "keep-alive", true, "abcde"},
        {__LINE__, echo + "Content-Length: 70000\r\n\r\n" + x, "200", "keep-alive", true, x},   /* held in a file */
        {__LINE__, echo + chunked + "9c40\r\n" + y + "\r\n9C40\r\n" + y + "\r\n0\r\n\r\n", "200", "keep-alive", true, y + y},
        {__LINE__, put + "Content-Length: 3\r\n\r\nabc", "401", "keep-alive", true},   /* all of it came */
        {__LINE__, put + "Content-Length: 0\r\n\r\n", "401", "keep-alive", true},
        /* bodies not read: the rest would be taken for a head (the client waits to send them) */
        {__LINE__, put + "Content-Length: 100000\r\nExpect: 100-continue\r\n\r\n", "401", "", false},
        {__LINE__, put + "\r\n", "401", "", false},               /* no length: it may end at the close */
        {__LINE__, post + "Content-Length: 20000000\r\nExpect: 100-continue\r\n\r\n", "413", "close", false},
        {__LINE__, echo + "\r\n", "411", "close", false},
        {__LINE__, echo + "Content-Length: 3\r\nExpect: later\r\n\r\nabc", "417", "close", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        const std::string reply = thenIndex(c.request);
        EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 " + c.status);
        EXPECT_EQ(headerOf(reply, "Connection"), c.connection);
        EXPECT_EQ(reply.find("\r\n\r\n" + readFile(s->root("index.html"))) != std::string::npos, c.kept)
            << reply.substr(0, 2000);
        if (!c.body.empty()) {
            ASSERT_FALSE(splitAnswers(reply).empty());
            EXPECT_EQ(bodyOf(splitAnswers(reply)[0]), c.body);
        }
        if (c.kept && (c.status == "301" || c.status == "401")) {
            EXPECT_EQ(headerOf(reply, "Content-Length"), "0");   /* the end of a kept answer is told */
        }
    }
}

TEST_F(KeepAlive, PipelinedRequestsAreAnsweredInOrder)
{
    std::string burst;
    for (int i = 0; i < 100; i++) burst += get("/f" + std::to_string(i) + ".txt", i == 99 ? "Connection: close\r\n" : "");
    Conn c(s->port);
    ASSERT_TRUE(c.send(burst));
    const std::vector<std::string> answers = splitAnswers(c.read());
    EXPECT_TRUE(c.closed);
    ASSERT_EQ(answers.size(), 100u);
    for (int i = 0; i < 100; i++) EXPECT_EQ(bodyOf(answers[i]), "file " + std::to_string(i));

    /* At most 1000 requests a connection: the 1000th says close and nothing after it is read. */
    std::string many;
    for (int i = 0; i < 1001; i++) many += get("/f1.txt");
    Conn d(s->port);
    std::thread sender([&] { d.send(many); });
    const std::vector<std::string> all = splitAnswers(d.read(60000));
    sender.join();
    EXPECT_TRUE(d.closed);
    ASSERT_EQ(all.size(), 1000u);
    EXPECT_EQ(headerOf(all[998], "Connection"), "keep-alive");
    EXPECT_EQ(headerOf(all[999], "Connection"), "close");

    /* Uploads in one burst, each body read by its worker to its end (a length that came with
     * the head, one read from the socket, chunked with a trailer): the GET behind each sees it. */
    const std::string nonce = nonceOf(rawRequest(s->port, "DELETE /up.txt HTTP/1.1\r\n\r\n"));
    const auto put = [&](const std::string &framing, const std::string &body) {
        return "PUT /up.txt HTTP/1.1\r\nAuthorization: " + digestAuth("alice", REALM, "secret", "PUT", "/up.txt", nonce) +
               "\r\n" + framing + "\r\n" + body;
    };
    const std::string big(100000, 'b');
    Conn e(s->port);
    ASSERT_TRUE(e.send(put("Content-Length: 5\r\n", "small") + get("/up.txt") + put("Content-Length: 100000\r\n", big) +
                       get("/up.txt") + put("Transfer-Encoding: chunked\r\n", "3\r\nabc\r\n0\r\nX-Sum: 1\r\n\r\n") +
                       get("/up.txt", "Connection: close\r\n")));
    const std::vector<std::string> ups = splitAnswers(e.read());
    EXPECT_TRUE(e.closed);
    ASSERT_EQ(ups.size(), 6u);
    EXPECT_EQ(ups[0], "HTTP/1.1 201 OK\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(bodyOf(ups[1]), "small");
    EXPECT_EQ(ups[2].substr(0, 12), "HTTP/1.1 200");
    EXPECT_TRUE(bodyOf(ups[3]) == big);
    EXPECT_EQ(ups[4].substr(0, 12), "HTTP/1.1 200");
    EXPECT_EQ(bodyOf(ups[5]), "abc");
}

TEST_F(KeepAlive, IdleConnectionsCloseAfterTheWait)
{
    Conn c(s->port);
    ASSERT_TRUE(c.send(get("/f3.txt")));
    std::string got;
    ASSERT_TRUE(waitFor([&] { got += c.read(100, 1); return splitAnswers(got).size() == 1; }, 10000));
    EXPECT_EQ(bodyOf(got), "file 3");
    /* the wait is 2 s: the close comes well within 10 s, and nothing before it */
    EXPECT_TRUE(c.hears(10000));
    EXPECT_EQ(c.read(1000), "");
    EXPECT_TRUE(c.closed);
    /* one access-log line per request, kept or not */
    EXPECT_TRUE(fileGains(file("access"), "\"GET /f3.txt HTTP/1.1\" 200"));
}

TEST_F(KeepAlive, RealClientsReuseTheirConnection)
{
    if (!tls) GTEST_SKIP() << "curl, openssl or python3 is not installed";
    const std::string plain = "http://127.0.0.1:" + std::to_string(s->port);
    const std::string secure = "https://127.0.0.1:" + std::to_string(tls_port);
    for (const std::string &base : {plain, secure}) {
        SCOPED_TRACE(base);
        /* the big file read slowly, so that the loop finishes its send, and the connection goes on */
        const std::string out = runCommand("curl -sv --limit-rate 6M --cacert " + file("cert.pem") + " " + base +
                                           "/big.bin -o " + file("got.bin") + " " + base + "/f1.txt " + base +
                                           "/nothing " + base + "/f2.txt 2>&1");
        EXPECT_EQ(runCommand("cmp " + file("got.bin") + " " + s->root("big.bin") + " && echo same"), "same\n");
        EXPECT_NE(out.find("Re-using existing connection"), std::string::npos) << out;
        EXPECT_NE(out.find("file 1"), std::string::npos);
        EXPECT_NE(out.find("File not found"), std::string::npos);
        EXPECT_NE(out.find("file 2"), std::string::npos);
        size_t connects = 0;
        for (size_t at = 0; (at = out.find("Connected to", at)) != std::string::npos; at++) connects++;
        EXPECT_EQ(connects, 1u) << out;
    }

    /* Python's http.client: several requests, one socket; over TLS the session ends with
     * close_notify when the server closes (a close request last). */
    writeFile(file("client.py"),
              "import http.client, ssl, sys\n"
              "port, secure = int(sys.argv[1]), sys.argv[2] == 's'\n"
              "if secure:\n"
              "    ctx = ssl.create_default_context(cafile=sys.argv[3])\n"
              "    c = http.client.HTTPSConnection('127.0.0.1', port, context=ctx)\n"
              "else:\n"
              "    c = http.client.HTTPConnection('127.0.0.1', port)\n"
              "socks = set()\n"
              "for uri in ['/f4.txt', '/missing', '/dir', '/f5.txt']:\n"
              "    c.request('GET', uri)\n"
              "    socks.add(id(c.sock))\n"
              "    r = c.getresponse()\n"
              "    print(r.status, r.read().decode(errors='replace').split('\\n')[0], r.will_close)\n"
              "for body in ['posted', iter([b'ab', b'cd'])]:\n"   /* a length, then chunked */
              "    c.request('POST', '/echo.cgi', body=body)\n"
              "    socks.add(id(c.sock))\n"
              "    r = c.getresponse()\n"
              "    print(r.status, r.read().decode(), r.will_close)\n"
              "c.request('GET', '/f6.txt', headers={'Connection': 'close'})\n"
              "socks.add(id(c.sock))\n"
              "r = c.getresponse()\n"
              "print(r.status, r.read().decode(), r.will_close, len(socks))\n"
              /* bodies and a GET in one burst: what follows each body waits, over TLS in its session */
              "import socket\n"
              "raw = socket.create_connection(('127.0.0.1', port))\n"
              "if secure:\n"
              "    raw = ctx.wrap_socket(raw, server_hostname='127.0.0.1')\n"
              "raw.sendall(b'POST /echo.cgi HTTP/1.1\\r\\nContent-Length: 10000\\r\\n\\r\\n' + b'x' * 10000 +\n"
              "            b'POST /echo.cgi HTTP/1.1\\r\\nTransfer-Encoding: chunked\\r\\n\\r\\n2\\r\\nde\\r\\n0\\r\\n\\r\\n' +\n"
              "            b'GET /f7.txt HTTP/1.1\\r\\nConnection: close\\r\\n\\r\\n')\n"
              "got = b''\n"
              "while (piece := raw.recv(65536)):\n"
              "    got += piece\n"
              "print(got.count(b'HTTP/1.1 200'), b'\\r\\n\\r\\n' + b'x' * 10000 + b'HTTP' in got,\n"
              "      b'\\r\\n\\r\\ndeHTTP' in got, got.endswith(b'file 7'))\n");
    const std::string expected = "200 file 4 False\n404 Error 404: Not Found False\n301  False\n"
                                 "200 file 5 False\n200 posted False\n200 abcd False\n200 file 6 True 1\n"
                                 "3 True True True\n";
    EXPECT_EQ(runCommand("python3 " + file("client.py") + " " + std::to_string(s->port) + " p 2>&1"), expected);
    EXPECT_EQ(runCommand("python3 " + file("client.py") + " " + std::to_string(tls_port) + " s " +
                         file("cert.pem") + " 2>&1"), expected);
}

}  // namespace
