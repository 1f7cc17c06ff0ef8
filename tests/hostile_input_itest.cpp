/* tests/hostile_input_itest.cpp: hostile requests and ordinary HTTP/1.1 clients (curl, Python's
 * http.client) against one real server: forged log lines, NUL and framing tricks, HEAD of a
 * server-side-include page, revalidation, Digest replays and chunked uploads. */
#include <sys/socket.h>
#include <sys/stat.h>
#include <utime.h>

#include <regex>

#include "support/harness.h"

using namespace qftest;

namespace {

const size_t npos = std::string::npos;
const char REALM[] = "Quorvel panel";

/* Runs a Python program with http.client, conn() (a connection to port) and port at hand. */
std::string python(int port, const std::string &program)
{
    TempDir dir;
    writeFile(dir.file("p.py"), "import http.client, sys, time, hashlib\nport = int(sys.argv[1])\n"
                                "def conn(): return http.client.HTTPConnection('127.0.0.1', port, timeout=60)\n" +
                                    program + "\n");
    return runCommand("python3 " + dir.file("p.py") + " " + std::to_string(port) + " 2>&1");
}

class HostileInput : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        srv = new Server;
        mkdir(srv->root("sec").c_str(), 0755);
        writeFile(srv->root("x.txt"), "plain x\n");
        writeFile(srv->root("sec/f.txt"), "secret f");
        writeFile(srv->root("page.shtml"), "a<!--#include virtual=\"x.txt\"-->b");
        writeFile(srv->root("p%41.shtml"), "a<!--#include virtual=\"x.txt\"-->b");
        writeScript(srv->root("echo.cgi"), "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                                           "echo \"[$CONTENT_LENGTH]\"; cat\ntouch ran.mark\n");
        writeScript(srv->root("sec/slow.cgi"), "#!/bin/sh\nsleep 3\nprintf 'Status: 302\\r\\nLocation: /sec/f.txt\\r\\n\\r\\n'\n");
        struct utimbuf y2001 = {978307200, 978307200}; /* Mon, 01 Jan 2001 00:00:00 GMT */
        utime(srv->root("x.txt").c_str(), &y2001);
        runQuillfen({"-A", srv->dir.file("pw"), REALM, "alice", "secret"}, srv->product.bin().c_str());
        /* Five hours west of UTC, where local-time dates went wrong; nonces live 2 seconds. */
        setenv("TZ", "QFT+5", 1);
        setenv("QF_TEST_NONCE_LIFETIME", "2", 1);
        bool started = srv->start({"-access_log", srv->dir.file("access.log"), "-auth_realm", REALM,
                                   "-protect", "/sec=" + srv->dir.file("pw") + ",/gone/=" + srv->dir.file("no-such-pw"),
                                   "-auth_PUT", srv->dir.file("pw"), "-admin_uri", "/admin"});
        unsetenv("TZ");
        unsetenv("QF_TEST_NONCE_LIFETIME");
        ASSERT_TRUE(started);
    }
    static void TearDownTestSuite() { delete srv; }

    static std::string url(const std::string &target)
    {
        return "'http://127.0.0.1:" + std::to_string(srv->port) + target + "'";
    }
    static std::string curl(const std::string &args) { return runCommand("curl -s " + args); }
    static std::string raw(const std::string &request) { return rawRequest(srv->port, request); }
    static std::string log(const std::string &name) { return readFile(srv->dir.file(name)); }

    static inline Server *srv;
};

/* Every line of both logs begins as the server begins its lines. */
void expect_no_forged_lines(const std::string &log, const std::string &line_start)
{
    std::regex start(line_start);
    size_t from = 0;
    for (size_t nl; (nl = log.find('\n', from)) != npos; from = nl + 1) {
        std::string line = log.substr(from, nl - from);
        EXPECT_TRUE(line.empty() || std::regex_search(line, start)) << "[" << line << "]";
        for (char c : line) EXPECT_FALSE((unsigned char) c < 0x20 || c == 0x7f) << line;
    }
}

TEST_F(HostileInput, ClientTextCannotForgeLogLines)
{
    const std::string forged = "/nx%0a127.0.0.1%20-%20-%20%5b06/Dec/2026:17:00:00%20+0000%5d%20"
                               "%22GET%20/admin%20HTTP/1.1%22%20200%201";
    EXPECT_NE(curl("-A 'ua\x1b[31m\"' -e 'http://r/\\' " + url(forged)).find("File not found"), npos);
    raw("GET /x%e9%7f%5c.txt HTTP/1.1\r\nReferer: \x01\x80\r\n\r\n");
    /* Each line is written after its answer, so the first may come second. */
    ASSERT_TRUE(fileGains(srv->dir.file("access.log"), "\\x5c\" \"ua\\x1b"));
    ASSERT_TRUE(fileGains(srv->dir.file("access.log"), "\\xe9\\x7f\\x5c.txt"));
    ASSERT_TRUE(srv->logged("GET /x\\xe9\\x7f\\x5c.txt: Error 404"));

    std::string access = log("access.log"), error = log("error.log");
    EXPECT_NE(access.find("\"GET /nx\\x0a127.0.0.1 - - [06/Dec/2026:17:00:00 +0000] \\x22GET /admin "
                          "HTTP/1.1\\x22 200 1 HTTP/1.1\" 404 35 \"http://r/\\x5c\" \"ua\\x1b[31m\\x22\"\n"),
              npos) << access;
    EXPECT_NE(access.find(" 404 35 \"\\x01\\x80\" -\n"), npos) << access;
    EXPECT_NE(error.find("] GET /nx\\x0a127.0.0.1 - - [06/Dec/2026:17:00:00 +0000] \\x22GET /admin "
                         "HTTP/1.1\\x22 200 1: Error 404: Not Found\n"),
              npos) << error;
    expect_no_forged_lines(access, R"(^127\.0\.0\.1 - - \[\d\d/\w{3}/\d{4}:[\d:]{8} [+-]\d{4}\] ")");
    expect_no_forged_lines(error, R"(^\[\d{10}\] \[error\] \[client )");
}

/* Apart from Last-Modified, an ordinary answer and its log line are what they always were. */
TEST_F(HostileInput, OrdinaryRequestUnchanged)
{
    std::string reply = raw("GET /x.txt?q=1 HTTP/1.1\r\nHost: x\r\nReferer: http://r/p?a=b\r\n"
                            "User-Agent: Mozilla/5.0 (X11; Linux x86_64) probe/1.0\r\n\r\n");
    EXPECT_TRUE(std::regex_match(reply, std::regex("HTTP/1\\.1 200 OK\r\nDate: [A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} "
                                                   "\\d{4} \\d\\d:\\d\\d:\\d\\d \\w+\r\nEtag: \"[0-9a-f]+\\.8\"\r\n"
                                                   "Last-Modified: Mon, 01 Jan 2001 00:00:00 GMT\r\n"
                                                   "Content-Type: text/plain\r\nContent-Length: 8\r\n"
                                                   "Connection: close\r\nAccept-Ranges: bytes\r\n\r\n"
                                                   "plain x\n")))
        << reply;
    ASSERT_TRUE(fileGains(srv->dir.file("access.log"), "probe/1.0\""));
    EXPECT_TRUE(std::regex_search(log("access.log"),
                                  std::regex(R"((^|\n)127\.0\.0\.1 - - \[\d\d/\w{3}/\d{4}:[\d:]{8} [+-]\d{4}\] )"
                                             R"("GET /x\.txt HTTP/1\.1" 200 8 "http://r/p\?a=b" )"
                                             R"("Mozilla/5\.0 \(X11; Linux x86_64\) probe/1\.0"\n)")));
}

/* Heads that no handler may see: a NUL in the URI, lengths that are not one plain number, a
 * length beside chunking, codings we do not have, header lines that two readers could split
 * differently. The CGI program never runs for any of them. The client keeps its socket open and
 * sends no body: the answer must not wait for one (the head deadline is 30 s). */
TEST_F(HostileInput, CraftedHeadsAreRefusedBeforeAnyHandler)
{
    auto bad_len = [](const std::string &v) { return errorAnswer("400", "Bad Request", "Invalid Content-Length: [" + v + "]"); };
    const std::string conflict = errorAnswer("400", "Bad Request", "Conflicting Content-Length headers"),
                      bad_line = errorAnswer("400", "Bad Request", "Can not parse request: [POST]");
    std::string many = "Content-Length: 5\r\n";
    for (int i = 1; i < 64; i++) many += "H" + std::to_string(i) + ": v\r\n";
    const struct { int line; std::string target, headers, answer; } rows[] = {
        {__LINE__, "/x.txt%00.txt", "", errorAnswer("400", "Bad Request", "Invalid URI: encoded NUL")},
        {__LINE__, "/echo.cgi%00", "", errorAnswer("400", "Bad Request", "Invalid URI: encoded NUL")},
        {__LINE__, "/echo.cgi", "Content-Length: abc\r\n", bad_len("abc")},
        {__LINE__, "/echo.cgi", "Content-Length: 12abc\r\n", bad_len("12abc")},
        {__LINE__, "/x.txt", "Content-Length: 12abc\r\n", bad_len("12abc")},
        {__LINE__, "/echo.cgi", "Content-Length: -1\r\n", bad_len("-1")},
        {__LINE__, "/echo.cgi", "Content-Length: 0x10\r\n", bad_len("0x10")},
        {__LINE__, "/echo.cgi", "Content-Length: 18446744073709551616\r\n", bad_len("18446744073709551616")},
        {__LINE__, "/x.txt", "Content-Length: 99999999999999999999999\r\n", bad_len("99999999999999999999999")},
        {__LINE__, "/x.txt", "Content-Length: 1\r\nContent-Length: 2\r\n", conflict},
        {__LINE__, "/x.txt", "Content-Length: 5\r\nContent-Length: 100\r\n", conflict},
        {__LINE__, "/echo.cgi", "Content-Length: 100\r\nContent-Length: 5\r\n", conflict},
        {__LINE__, "/echo.cgi", "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n",
         errorAnswer("400", "Bad Request", "Transfer-Encoding with Content-Length")},
        {__LINE__, "/echo.cgi", "Transfer-Encoding: gzip, chunked\r\n",
         errorAnswer("501", "Not Implemented", "Transfer-Encoding gzip, chunked is not implemented")},
        {__LINE__, "/echo.cgi", "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n",
         errorAnswer("501", "Not Implemented", "Transfer-Encoding chunked is not implemented")},
        /* lines to refuse, each beside a length that would otherwise be waited for */
        {__LINE__, "/echo.cgi", "Content-Length : 5\r\n", bad_line},
        {__LINE__, "/x.txt", "Content-Length:\t5\r\nHost\t: x\r\n", bad_line},
        {__LINE__, "/echo.cgi", "Content-Length: 5\r\nNo colon here\r\n", bad_line},
        {__LINE__, "/echo.cgi", "Content-Length: 5\r\n: no name\r\n", bad_line},
        {__LINE__, "/echo.cgi", "Content-Length: 5\r\nA: b\rContent-Length: 0\r\n", bad_line},
        {__LINE__, "/echo.cgi", "Content-Length: 5\r\nA: b\r\n c\r\n", bad_line},
        {__LINE__, "/echo.cgi", "Content-Length: 5\r\nA: b\r\n\tc\r\n", bad_line},
        {__LINE__, "/echo.cgi", std::string("Content-Length: 5\r\nA: b\0c\r\n", 27), bad_line},
        {__LINE__, "/x.txt", many + "Extra: 1\r\n", bad_line},
    };
    for (const auto &r : rows) {
        Conn c(srv->port);
        ASSERT_TRUE(c.send("POST " + r.target + " HTTP/1.1\r\n" + r.headers + "\r\n")) << "line " << r.line;
        EXPECT_EQ(c.read(2000), r.answer) << "line " << r.line;
        EXPECT_TRUE(c.closed) << "line " << r.line;
    }
    /* a version we do not speak is refused at once as well, and its failure logged once */
    {
        Conn c(srv->port);
        ASSERT_TRUE(c.send("POST /echo.cgi?v HTTP/1.2\r\nContent-Length: 5\r\n\r\n"));
        EXPECT_EQ(c.read(2000), errorAnswer("505", "HTTP version not supported", "Weird HTTP version"));
        ASSERT_TRUE(fileGains(srv->dir.file("access.log"), "\"POST /echo.cgi?v HTTP/1.2\" 505 "));
        const std::string error = log("error.log"), line = "POST /echo.cgi?v: Error 505";
        EXPECT_EQ(error.find(line), error.rfind(line)) << error;
        EXPECT_NE(error.find(line), npos) << error;
    }
    /* one line short of too many is read, as is a GET; a GET with a refused line is refused too */
    EXPECT_EQ(bodyOf(raw("POST /x.txt HTTP/1.1\r\n" + many + "\r\nabcde")), "plain x\n");
    EXPECT_EQ(raw("GET /x.txt HTTP/1.1\r\nA: b\r\n c\r\n\r\n"),
              errorAnswer("400", "Bad Request", "Can not parse request: [GET]"));
    EXPECT_EQ(raw("GET /x.txt%00.txt HTTP/1.1\r\n\r\n"),
              errorAnswer("400", "Bad Request", "Invalid URI: encoded NUL"));
    EXPECT_EQ(bodyOf(raw("GET /x.txt HTTP/1.1\r\nContent-Length: 0\r\nContent-Length:  0 \r\n\r\n")),
              "plain x\n");
    EXPECT_FALSE(fileExists(srv->root("ran.mark")));
}

/* HEAD never carries a body, SSI pages included; GET still expands them. */
TEST_F(HostileInput, HeadOfAnSsiPage)
{
    std::string head = curl("-i --head " + url("/page.shtml"));
    EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(curl(url("/page.shtml")), "aplain x\nb");
    /* routed by the intake, served by a worker: the URI is decoded once */
    EXPECT_EQ(curl(url("/p%2541.shtml")), "aplain x\nb");
}

/* x.txt is from Mon, 01 Jan 2001 00:00:00 GMT and the server runs five hours west of UTC. */
TEST_F(HostileInput, LastModifiedAndIfModifiedSince)
{
    const std::string mtime = "Mon, 01 Jan 2001 00:00:00 GMT";
    for (const char *args : {"-i", "-i -r 2-4", "-i --head", "-i --head -r 2-4"})
        EXPECT_EQ(headerOf(curl(std::string(args) + " " + url("/x.txt")), "Last-Modified"), mtime) << args;
    const struct { int line; std::string since; bool not_modified; } rows[] = {
        {__LINE__, mtime, true}, /* the browser's echo */
        {__LINE__, "Sun, 31 Dec 2000 23:59:59 GMT", false},
        {__LINE__, "Mon, 01 Jan 2001 00:00:01 GMT", true},
        {__LINE__, "Sun, 31 Dec 2000 20:00:00 GMT", false}, /* the local midnight of the old reading */
        {__LINE__, "01/Jan/2001 00:00:00", true},
        {__LINE__, "31 Dec 2000 23:59:59", false},
        {__LINE__, "01-Jan-2001 00:00:00", true},
        {__LINE__, "Mon, 01 Jan 2101 00:00:00 GMT", false}, /* ahead of the clock */
        {__LINE__, "Mon, 01 Jan 99999 00:00:00 GMT", false},
    };
    for (const auto &r : rows) {
        std::string reply = curl("-i -H 'If-Modified-Since: " + r.since + "' " + url("/x.txt"));
        EXPECT_EQ(reply.substr(0, 12), r.not_modified ? "HTTP/1.1 304" : "HTTP/1.1 200") << "line " << r.line;
    }
    EXPECT_EQ(curl("-w '%{http_code}' -z '" + mtime + "' " + url("/x.txt")), "304");
}

/* A Digest answer counts for its own target, under a nonce of ours, for a short time only. */
TEST_F(HostileInput, DigestAnswersCannotBeReplayed)
{
    std::string got = python(srv->port, R"(
def md5(t): return hashlib.md5(t.encode()).hexdigest()
def header(method, uri, nonce, pw='secret'):
    ha1 = md5('alice:Quorvel panel:' + pw); ha2 = md5(method + ':' + uri)
    resp = md5(ha1 + ':' + nonce + ':00000001:c:auth:' + ha2)
    return ('Digest username="alice", realm="Quorvel panel", nonce="%s", uri="%s", qop=auth, '
            'nc=00000001, cnonce="c", response="%s"' % (nonce, uri, resp))
def ask(method, uri, auth, body=None):
    c = conn(); c.request(method, uri, body=body, headers={'Authorization': auth})
    r = c.getresponse(); r.read(); w = r.getheader('WWW-Authenticate') or ''
    return '%d%s' % (r.status, ' stale' if 'stale=true' in w else '')
c = conn(); c.request('GET', '/sec/f.txt'); r = c.getresponse(); r.read()
nonce = r.getheader('WWW-Authenticate').split('nonce="')[1].split('"')[0]
captured = header('GET', '/sec/f.txt', nonce)
print(ask('GET', '/sec/f.txt', captured), ask('GET', '/sec/f.txt', captured),
      ask('GET', '/sec/other.txt', captured), ask('GET', '/sec/f.txt?x', captured),
      ask('PUT', '/sec/f.txt', captured, 'evil'), ask('PUT', '/sec/new.txt', header('PUT', '/sec/f.txt', nonce), 'evil'),
      ask('GET', '/sec/f.txt', header('GET', '/sec/f.txt', '17')),
      ask('GET', '/sec/f.txt', header('GET', '/sec/f.txt', nonce[:-1] + str(9 - int(nonce[-1])))))
time.sleep(3)
print(ask('GET', '/sec/f.txt', captured), ask('GET', '/sec/f.txt', header('GET', '/sec/f.txt', nonce, 'wrong')))
)");
    EXPECT_EQ(got, "200 200 401 401 401 401 401 401\n401 stale 401\n");
    EXPECT_EQ(readFile(srv->root("sec/f.txt")), "secret f");
    EXPECT_FALSE(fileExists(srv->root("sec/new.txt")));

    /* curl answers stale=true by itself: the nonce it took for the slow redirect has expired when
     * it follows it */
    std::string reply = curl("-D - -L --digest -u alice:secret " + url("/sec/slow.cgi"));
    EXPECT_TRUE(std::regex_search(reply, std::regex("\r\nWWW-Authenticate: Digest qop=\"auth\", realm=\"Quorvel panel\", "
                                                    "nonce=\"\\d+\", stale=true\r\n"))) << reply;
    EXPECT_EQ(bodyOf(reply.substr(reply.rfind("HTTP/1.1 "))), "secret f") << reply;
    EXPECT_TRUE(std::regex_search(log("access.log"), std::regex(R"(alice \[[^\]]+\] "GET /sec/f\.txt HTTP/1\.1" 401 0 - "curl[^\n]+\n)"
                                                                R"(127\.0\.0\.1 - alice \[[^\]]+\] "GET /sec/f\.txt HTTP/1\.1" 200)")));
}

/* However the path is spelled, a protected file needs the password, and a protect file that cannot be
 * opened refuses rather than lets everyone in. */
TEST_F(HostileInput, ProtectedPathsNeedThePasswordHoweverSpelled)
{
    for (const char *target : {"/sec/f.txt", "/./sec/f.txt", "/%2e/sec/f.txt", "/%2E/sec/f.txt", "/.//sec/f.txt",
                               "/x/../sec/f.txt", "/sec/./f.txt", "/%2e%2e/sec/f.txt", "/sec/x/%2E%2E/f.txt",
                               "/.%2f./sec%2Ff.txt", "/gone/x.txt", "/gone/"}) {
        std::string reply = raw("GET " + std::string(target) + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(reply.rfind("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest qop=\"auth\"", 0), 0u)
            << target << "\n" << reply;
    }
    EXPECT_TRUE(srv->logged("] GET /gone/x.txt: check_authorization: cannot open " + srv->dir.file("no-such-pw") +
                            ": No such file or directory\n"));
    EXPECT_EQ(curl("--digest -u alice:secret --path-as-is " + url("/./sec/x/../f.txt")), "secret f");
}

/* A body for memory, a program or the panel is bounded: a larger length is refused before any more
 * of it is read. The clients send what fills the request buffer (the intake then waits for no more,
 * and nothing is left unread to reset the connection), or wait to be asked for the body. */
TEST_F(HostileInput, OversizedBodiesAreRefusedUnread)
{
    const std::string too_big = errorAnswer("413", "Request Entity Too Large", "Request body larger than 16777216 bytes");
    const struct { int line; std::string head; bool waits; } rows[] = {
        {__LINE__, "POST /admin HTTP/1.1\r\nContent-Length: 314572800\r\n", false},
        {__LINE__, "POST /admin HTTP/1.1\r\nContent-Length: 16777217\r\nExpect: 100-continue\r\n", true},
        {__LINE__, "PUT /admin HTTP/1.1\r\nContent-Length: 314572800\r\n", false},
        {__LINE__, "POST /echo.cgi HTTP/1.1\r\nContent-Length: 314572800\r\nExpect: 100-continue\r\n", true},
        {__LINE__, "POST /echo.cgi HTTP/1.1\r\nContent-Length: 314572800\r\n", false},
        {__LINE__, "POST /x.txt HTTP/1.1\r\nContent-Length: 314572800\r\n", false},
    };
    for (const auto &r : rows) {
        std::string request = r.head + "Host: localhost\r\n\r\n";
        if (!r.waits) request += "o=max_threads&v=7&" + std::string(8192 - request.size() - 18, 'a');
        EXPECT_EQ(raw(request), too_big) << "line " << r.line;
    }
    EXPECT_FALSE(fileExists(srv->root("ran.mark")));
    EXPECT_EQ(bodyOf(raw("POST /echo.cgi HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc")), "[3]\nabc");
    EXPECT_NE(raw("GET /admin HTTP/1.1\r\n\r\n").find("value='100'"), npos);

    std::string status = readFile("/proc/" + std::to_string(srv->proc.pid()) + "/status");
    size_t at = status.find("VmHWM:");
    ASSERT_NE(at, npos);
    EXPECT_LT(std::stol(status.substr(at + 6)), 32 * 1024) << "kB at most";
}

/* Uploads of unknown length: PUT from a pipe, a CGI program and the panel get the decoded body. */
TEST_F(HostileInput, ChunkedRequestBodies)
{
    std::string body;
    for (int i = 0; i < 20000; i++) body += (char) ('a' + i % 26);
    writeFile(srv->dir.file("body"), body);
    EXPECT_EQ(curl("-w '%{http_code}' --digest -u alice:secret -T - " + url("/sec/up.txt") + " < " +
                   srv->dir.file("body")), "201");
    EXPECT_EQ(readFile(srv->root("sec/up.txt")), body);

    EXPECT_EQ(curl("-H 'Transfer-Encoding: chunked' --data-binary @" + srv->dir.file("body") + " " +
                   url("/echo.cgi")), "[20000]\n" + body);
    EXPECT_TRUE(waitFor([] { return fileExists(srv->root("ran.mark")); }, 5000));
    unlink(srv->root("ran.mark").c_str());

    /* 16 MiB held for a program at most; then malformed chunking */
    EXPECT_EQ(python(srv->port, "c = conn(); c.putrequest('POST', '/echo.cgi'); "
                                "c.putheader('Transfer-Encoding', 'chunked'); c.endheaders()\n"
                                "try:\n"
                                "    for i in range(17): c.send(b'100000\\r\\n' + b'x' * 0x100000 + b'\\r\\n')\n"
                                "except OSError: pass\n"
                                "r = c.getresponse(); print(r.status, r.reason)"),
              "413 Request Entity Too Large\n");
    const std::string malformed = errorAnswer("400", "Bad Request", "Malformed chunked body");
    for (std::string chunks : std::vector<std::string>{"x\r\n", "5\r\nabcdeXY0\r\n\r\n", "5 garbage\r\nabcde\r\n0\r\n\r\n",
                               "fffffffffffffffff\r\n", "11170\r\n" + std::string(70000, 'y') + "\r\nzz\r\n"})
        EXPECT_EQ(raw("POST /echo.cgi HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks),
                  malformed) << chunks.substr(0, 20);
    EXPECT_FALSE(fileExists(srv->root("ran.mark")));

    /* a body cut short (the client half-closes), held in memory or past it in a file */
    for (size_t sent : {2000, 70000}) {
        Conn c(srv->port);
        ASSERT_TRUE(c.send("POST /echo.cgi HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + std::string(sent, 'z')));
        shutdown(c.fd, SHUT_WR);
        EXPECT_EQ(c.read(), errorAnswer("577", "Internal Server Error", "Error handling body data")) << sent;
    }

    /* the panel hook: the form came chunked with the head */
    const std::string form = "basicsetupbutton=Save&SipProxyIP=10.7.7.7";
    std::string reply = raw("POST /x.txt HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n9\r\n" + form.substr(0, 9) +
                            "\r\n20;ext=1\r\n" + form.substr(9) + "\r\n0\r\nX-Trailer: t\r\n\r\n");
    EXPECT_EQ(bodyOf(reply), "plain x\n");
    EXPECT_NE(readFile(srv->product.bin() + "quorvel.conf").find("\nSipProxyIP=10.7.7.7"), npos);
}

}  // namespace
