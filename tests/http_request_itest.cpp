/* tests/http_request_itest.cpp: the real server over raw sockets: parsing, status answers, dispatch, logs and the panel hook. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ctype.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"

namespace {

using qftest::rawRequest;
using qftest::readFile;
using qftest::waitFor;
using qftest::writeFile;

/* The header block send_error writes in front of its body. */
std::string
error_head(const std::string &status_line, size_t body_len)
{
    return "HTTP/1.1 " + status_line + "\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(body_len) + "\r\nConnection: close\r\n\r\n";
}

std::string
error_answer(const std::string &status_line, const std::string &body)
{
    return error_head(status_line, body.size()) + body;
}

std::string
body_of(const std::string &reply)
{
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

void
set_mtime(const std::string &path, time_t when)
{
    struct utimbuf times = {when, when};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
}

/* Whether text has the shape: '#' stands for a digit, '@' for a letter,
 * '~' for '+' or '-', anything else for itself. */
bool
has_shape(const std::string &text, const std::string &shape)
{
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < text.size(); i++) {
        char t = text[i];
        switch (shape[i]) {
        case '#': if (!isdigit((unsigned char) t)) return false; break;
        case '@': if (!isalpha((unsigned char) t)) return false; break;
        case '~': if (t != '+' && t != '-') return false; break;
        default: if (t != shape[i]) return false;
        }
    }
    return true;
}

/* Sends the pieces with a pause between them, then reads to the close. */
std::string
request_in_pieces(int port, const std::vector<std::string> &pieces)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons((uint16_t) port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *) &sin, sizeof(sin)) != 0) {
        close(fd);
        return "";
    }
    for (size_t i = 0; i < pieces.size(); i++) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        (void) send(fd, pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL);
    }
    std::string reply;
    char buf[16384];
    struct pollfd pfd = {fd, POLLIN, 0};
    while (poll(&pfd, 1, 10000) > 0) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        reply.append(buf, (size_t) n);
    }
    close(fd);
    return reply;
}

/* One server over a small document tree:
 *   root/x.txt, root/a b.html, root/a+b.html, root/sub/index.html,
 *   root/list/ (no index), root/.htpasswd, root/x.htpasswd.bak, root/s.cgi
 *   docs/a.txt, docs_extra.txt (alias targets), secret.txt (outside root)
 * with aliases "/doc=<tmp>/docs,/up=<tmp>/docs/". */
class HttpRequestSystem : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = tmp_.file("root");
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root_ + "/sub").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root_ + "/list").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(tmp_.file("docs").c_str(), 0755), 0);
        writeFile(root_ + "/x.txt", "plain x\n");
        writeFile(root_ + "/a b.html", "space");
        writeFile(root_ + "/a+b.html", "plus");
        writeFile(root_ + "/sub/index.html", "sub index");
        writeFile(root_ + "/.htpasswd", "u:r:0123\n");
        writeFile(root_ + "/x.htpasswd.bak", "u:r:0123\n");
        writeFile(root_ + "/s.cgi", "#!/bin/sh\n");
        writeFile(tmp_.file("docs/a.txt"), "doc a");
        writeFile(tmp_.file("docs_extra.txt"), "doc extra");
        writeFile(tmp_.file("secret.txt"), "TOP SECRET");
    }

    void start(std::vector<std::string> extra = {})
    {
        port_ = qftest::freePort();
        std::vector<std::string> args = {
            "-ports", std::to_string(port_), "-root", root_,
            "-error_log", errors(), "-access_log", accesses(),
            "-aliases", "/doc=" + tmp_.file("docs") + ",/up=" + tmp_.file("docs/")};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(srv_.start(args, pd_.bin().c_str()));
        ASSERT_TRUE(srv_.waitForOutput("started on port"));
    }

    std::string get(const std::string &target, const std::string &method = "GET")
    {
        return rawRequest(port_, method + " " + target + " HTTP/1.1\r\nHost: t\r\n\r\n");
    }

    std::string errors() const { return tmp_.file("error.log"); }
    std::string accesses() const { return tmp_.file("access.log"); }

    /* Waits until the access log has n lines and returns them. */
    std::vector<std::string> access_lines(size_t n)
    {
        std::vector<std::string> lines;
        waitFor([&] {
            lines.clear();
            std::string text = readFile(accesses());
            size_t start = 0, nl;
            while ((nl = text.find('\n', start)) != std::string::npos) {
                lines.push_back(text.substr(start, nl - start));
                start = nl + 1;
            }
            return lines.size() >= n;
        }, 5000);
        return lines;
    }

    qftest::ProductDir pd_;
    qftest::TempDir tmp_;
    qftest::ServerProcess srv_;
    std::string root_;
    int port_ = 0;
};

TEST_F(HttpRequestSystem, MalformedRequestLinesGet400AndNoAccessLine)
{
    start();
    struct Case {
        int line;
        std::string request;
        std::string shown;
    };
    const Case cases[] = {
        {__LINE__, "get / HTTP/1.1\r\n\r\n", "get"},
        {__LINE__, "OPTIONS / HTTP/1.1\r\n\r\n", "OPTIONS"},
        {__LINE__, "GET index.html HTTP/1.1\r\n\r\n", "GET"},
        {__LINE__, "GET / HTTP/1.1x\r\n\r\n", "GET"},
        {__LINE__, "GET / FTP/1.1\r\n\r\n", "GET"},
        {__LINE__, "GET / HTTP/1\r\n\r\n", "GET"},
        {__LINE__, "GET /\r\n\r\n", "GET"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(rawRequest(port_, c.request),
                  error_answer("400 Bad Request",
                               "Error 400: Bad Request\nCan not parse request: [" + c.shown + "]"));
    }
    /* A HEAD that fails to parse gets the header block only. */
    EXPECT_EQ(rawRequest(port_, "HEAD / HTTP/x\r\n\r\n"),
              error_head("400 Bad Request",
                         strlen("Error 400: Bad Request\nCan not parse request: [HEAD]")));

    get("/x.txt"); /* the one request that is logged */
    std::vector<std::string> lines = access_lines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"GET /x.txt HTTP/1.1\" 200"), std::string::npos);
    EXPECT_TRUE(waitFor([&] {
        return readFile(errors()).find("] get /: Error 400: Bad Request\n") != std::string::npos;
    }, 5000));
}

TEST_F(HttpRequestSystem, OtherVersionsGet505AndAnAccessLine)
{
    start();
    const std::string answer = error_answer(
        "505 HTTP version not supported", "Error 505: HTTP version not supported\nWeird HTTP version");
    for (const char *version : {"HTTP/1.2", "HTTP/2.0", "HTTP/0.9"}) {
        SCOPED_TRACE(version);
        EXPECT_EQ(rawRequest(port_, std::string("GET / ") + version + "\r\n\r\n"), answer);
    }
    std::vector<std::string> lines = access_lines(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].find("\"GET / HTTP/2.0\" 505 56"), std::string::npos);
}

TEST_F(HttpRequestSystem, UnreadableHeaderBlocksAreDroppedSilently)
{
    start();
    /* a control byte in a block that has not ended */
    EXPECT_EQ(rawRequest(port_, std::string("GET /\x01") + "x HTTP/1.1\r\n"), "");
    /* a block one byte longer than the request buffer */
    std::string filler = "GET /x.txt HTTP/1.1\r\nX: ";
    std::string exact = filler + std::string(8192 - filler.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(exact.size(), 8192u);
    std::string over = filler + std::string(8192 - filler.size() - 3, 'a') + "\r\n\r\n";
    EXPECT_EQ(rawRequest(port_, over), "");
    EXPECT_EQ(body_of(rawRequest(port_, exact)), "plain x\n");
    /* a complete block is served even with a control byte inside */
    EXPECT_EQ(body_of(rawRequest(port_, "GET /x.txt HTTP/1.1\r\nX: \x01\r\n\r\n")), "plain x\n");
    /* bare line feeds end a block too */
    EXPECT_EQ(body_of(rawRequest(port_, "GET /x.txt HTTP/1.0\n\n")), "plain x\n");

    EXPECT_EQ(access_lines(3).size(), 3u); /* the dropped ones left no line */
}

TEST_F(HttpRequestSystem, DispatchToFilesDirectoriesAndRefusals)
{
    start();
    const std::string not_found = error_answer("404 Not Found", "Error 404: Not Found\nFile not found");
    const std::string forbidden = error_answer("403 Forbidden", "Error 403: Forbidden\nAccess Forbidden");
    struct Case {
        int line;
        std::string target;
        std::string body;      /* expected body, when whole is empty */
        std::string whole;     /* expected whole answer */
    };
    const Case cases[] = {
        {__LINE__, "/x.txt", "plain x\n", ""},
        {__LINE__, "/x.txt?y=1&z", "plain x\n", ""},
        {__LINE__, "/x.txt?", "plain x\n", ""},
        {__LINE__, "/x%2etxt", "plain x\n", ""},
        {__LINE__, "/a%20b.html", "space", ""},
        {__LINE__, "/a+b.html", "plus", ""},
        {__LINE__, "//sub///index.html", "sub index", ""},
        {__LINE__, "/sub/", "sub index", ""},
        {__LINE__, "/sub//", "sub index", ""},
        {__LINE__, "/sub", "", "HTTP/1.1 301 Moved Permanently\r\nLocation: /sub/\r\n\r\n"},
        {__LINE__, "/s%75b?q=1", "", "HTTP/1.1 301 Moved Permanently\r\nLocation: /sub/\r\n\r\n"},
        {__LINE__, "/missing.txt", "", not_found},
        {__LINE__, "/.htpasswd", "", forbidden},
        {__LINE__, "/x.htpasswd.bak", "", forbidden},
        {__LINE__, "/nothere/.htpasswd", "", forbidden},
        {__LINE__, "/doc/a.txt", "doc a", ""},
        /* an alias prefix is a plain byte prefix: "/doc" takes these too */
        {__LINE__, "/docs_extra.txt", "", not_found},
        {__LINE__, "/doc_extra.txt", "doc extra", ""},
        {__LINE__, "/up/a.txt", "doc a", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string reply = get(c.target);
        if (!c.whole.empty())
            EXPECT_EQ(reply, c.whole);
        else
            EXPECT_EQ(body_of(reply), c.body) << reply;
    }
}

TEST_F(HttpRequestSystem, TraversalStaysInsideRootAndAliases)
{
    start();
    const char *const attempts[] = {
        "/../secret.txt",
        "/../../../../../../etc/passwd",
        "/%2e%2e/secret.txt",
        "/%2E%2E%2Fsecret.txt",
        "/..%2fsecret.txt",
        "/..%5csecret.txt",
        "/..\\secret.txt",
        "/sub/..%2f..%2fsecret.txt",
        "/sub/./../../secret.txt",
        "/.%2e/secret.txt",
        "/doc/../secret.txt",
        "/doc/%2e%2e/secret.txt",
        "/up../secret.txt", /* "/up" leaves "../secret.txt" behind "<tmp>/docs/" */
        "/up..%2f..%2fsecret.txt",
        "/up../../secret.txt",
    };
    for (const char *target : attempts) {
        SCOPED_TRACE(target);
        std::string reply = get(target);
        EXPECT_EQ(reply.find("TOP SECRET"), std::string::npos);
        EXPECT_EQ(reply.find("root:"), std::string::npos);
        EXPECT_EQ(reply.compare(0, 22, "HTTP/1.1 404 Not Found"), 0) << reply;
    }
}

TEST_F(HttpRequestSystem, DirectoryListingCanBeDenied)
{
    start({"-dir_list", "no"});
    EXPECT_EQ(get("/list/"),
              error_answer("403 Directory Listing Denied",
                           "Error 403: Directory Listing Denied\nDirectory listing denied"));
    EXPECT_EQ(body_of(get("/sub/")), "sub index");
}

TEST_F(HttpRequestSystem, IfModifiedSince)
{
    start();
    set_mtime(root_ + "/x.txt", 978307200);     /* 1 Jan 2001 UTC */
    set_mtime(root_ + "/a b.html", 631152000);  /* 1 Jan 1990 UTC */
    const std::string not_modified =
        "HTTP/1.1 304 Not Modified\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
        "Connection: close\r\n\r\n";
    struct Case {
        int line;
        std::string target;
        std::string since;
        bool modified;
    };
    const Case cases[] = {
        {__LINE__, "/x.txt", "Sun, 06 Nov 2005 08:49:37 GMT", false},
        {__LINE__, "/x.txt", "06/Nov/1994 08:49:37", true},
        {__LINE__, "/x.txt", "garbage", true},          /* read as the end of 1999 */
        {__LINE__, "/a%20b.html", "garbage", false},
        {__LINE__, "/sub/", "Sun, 06 Nov 2095 08:49:37 GMT", false}, /* index files too */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string reply = rawRequest(port_, "GET " + c.target +
                                                  " HTTP/1.1\r\nIf-Modified-Since: " + c.since +
                                                  "\r\n\r\n");
        if (c.modified)
            EXPECT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0) << reply;
        else
            EXPECT_EQ(reply, not_modified);
    }
    /* a 304 leaves nothing in the error log */
    EXPECT_EQ(readFile(errors()).find("304"), std::string::npos);
}

TEST_F(HttpRequestSystem, HeadAnswersCarryNoBody)
{
    start();
    std::string reply = get("/x.txt", "HEAD");
    EXPECT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0);
    EXPECT_NE(reply.find("Content-Length: 8\r\n"), std::string::npos);
    EXPECT_EQ(body_of(reply), "");
    EXPECT_EQ(get("/missing.txt", "HEAD"),
              error_head("404 Not Found", strlen("Error 404: Not Found\nFile not found")));
    EXPECT_EQ(get("/.htpasswd", "HEAD"),
              error_head("403 Forbidden", strlen("Error 403: Forbidden\nAccess Forbidden")));

    std::vector<std::string> lines = access_lines(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].find("\"HEAD /missing.txt HTTP/1.1\" 404 0"), std::string::npos);
}

TEST_F(HttpRequestSystem, RefusedMethods)
{
    start();
    EXPECT_EQ(get("/s.cgi", "HEAD"),
              error_head("501 Not Implemented",
                         strlen("Error 501: Not Implemented\nMethod HEAD is not implemented")));
    /* without auth_PUT, PUT and DELETE always get the challenge */
    const std::string head = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest qop=\"auth\", "
                             "realm=\"example.com\", nonce=\"";
    const std::string tail = "\"\r\n\r\n";
    for (const char *method : {"PUT", "DELETE"}) {
        SCOPED_TRACE(method);
        std::string reply = rawRequest(port_, std::string(method) +
                                                  " /x.txt HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
        ASSERT_GT(reply.size(), head.size() + tail.size()) << reply;
        EXPECT_EQ(reply.substr(0, head.size()), head);
        EXPECT_EQ(reply.substr(reply.size() - tail.size()), tail);
        std::string nonce = reply.substr(head.size(), reply.size() - head.size() - tail.size());
        EXPECT_EQ(nonce.find_first_not_of("0123456789"), std::string::npos) << nonce;
    }
    /* .htpasswd is refused before the method is looked at */
    EXPECT_EQ(get("/.htpasswd", "DELETE").compare(0, 22, "HTTP/1.1 403 Forbidden"), 0);
    EXPECT_TRUE(qftest::fileExists(root_ + "/x.txt"));
}

TEST_F(HttpRequestSystem, AccessAndErrorLogLines)
{
    start();
    rawRequest(port_, "GET /x.txt?q=secret HTTP/1.1\r\nReferer: http://r/\r\n"
                      "User-Agent: probe/1.0\r\n\r\n");
    get("/missing.txt");
    std::vector<std::string> lines = access_lines(2);
    ASSERT_EQ(lines.size(), 2u);
    const std::string stamp = "[##/@@@/####:##:##:## ~####]";
    EXPECT_TRUE(has_shape(lines[0], "127.0.0.1 - - " + stamp +
                                        " \"GET /x.txt HTTP/1.1\" 200 8 \"http://r/\" \"probe/1.0\""))
        << lines[0];
    EXPECT_TRUE(has_shape(lines[1], "127.0.0.1 - - " + stamp +
                                        " \"GET /missing.txt HTTP/1.1\" 404 35 - -"))
        << lines[1];
    EXPECT_TRUE(waitFor([&] {
        return readFile(errors()).find("] [error] [client 127.0.0.1] "
                                       "GET /missing.txt: Error 404: Not Found\n") !=
               std::string::npos;
    }, 5000));
}

TEST_F(HttpRequestSystem, PostToAPlainFileGoesThroughThePanel)
{
    start({"-root", pd_.bin()});
    const std::string wait_page = readFile(pd_.file("drevanta_gui_busy.html"));
    ASSERT_FALSE(wait_page.empty());

    const std::string body = "controlbutton=Manual";
    std::string reply = rawRequest(port_, "POST /drevanta_gui_busy.html HTTP/1.1\r\n"
                                          "Content-Type: application/x-www-form-urlencoded\r\n"
                                          "Content-Length: " + std::to_string(body.size()) +
                                          "\r\n\r\n" + body);
    EXPECT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0) << reply;
    EXPECT_EQ(body_of(reply), wait_page);

    /* The panel really gets the body, also when it trails the headers by a
     * segment: a Save lands in the service's configuration file. */
    const std::string save = "basicsetupbutton=Save&SipProxyIP=10.9.8.7";
    reply = request_in_pieces(port_, {"POST /drevanta_gui_busy.html HTTP/1.1\r\nContent-Length: " +
                                          std::to_string(save.size()) + "\r\n\r\n",
                                      save});
    EXPECT_EQ(body_of(reply), wait_page);
    std::string conf = readFile(pd_.file("quorvel.conf"));
    EXPECT_TRUE(conf.find("\nSipProxyIP=10.9.8.7\n") != std::string::npos ||
                conf.find("\nSipProxyIP=10.9.8.7\r\n") != std::string::npos) << conf;
}

}  // namespace
