/* tests/http_request_itest.cpp: one real server over raw sockets and curl. */
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <regex>

#include "support/harness.h"

using namespace qftest;

namespace {

const size_t npos = std::string::npos;

/* One server; aliases /doc and /up lead to docs/ beside the root, and so does secret.txt. */
class HttpSystem : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        srv = new Server;
        big.resize(5 * 1024 * 1024); /* pseudo-random: a range one byte off never matches */
        uint32_t x = 12345;
        for (char &c : big) c = (char) ((x = x * 1103515245u + 12345u) >> 16);
        small = big.substr(0, 1000);
        for (const char *d : {"sub", "list", "list/a", "esc", "my dir<"}) mkdir(srv->root(d).c_str(), 0755);
        mkdir(srv->dir.file("docs").c_str(), 0755);
        for (const auto &f : std::vector<std::pair<std::string, std::string>>{
                 {"x.txt", "plain x\n"}, {"a b.html", "space"}, {"sub/index.html", "sub index"},
                 {"x.htpasswd.bak", "u:r:0123\n"}, {"f", small}, {"big.bin", big},
                 {"list/b.txt", std::string(3000, 'b')}, {"list/c.txt", std::string(10, 'c')},
                 {"empty.txt", ""}, {"esc/a<b&c.txt", "1"}, {"esc/with space.txt", "2"}, {"esc/q\"'.txt", "3"}})
            writeFile(srv->root(f.first), f.second);
        EXPECT_EQ(symlink("nowhere", srv->root("esc/dangling").c_str()), 0);
        writeFile(srv->dir.file("docs/a.txt"), "doc a");
        writeFile(srv->dir.file("docs_extra.txt"), "doc extra");
        writeFile(srv->dir.file("secret.txt"), "TOP SECRET");
        struct utimbuf y2001 = {978307200, 978307200}, y1990 = {631152000, 631152000};
        utime(srv->root("x.txt").c_str(), &y2001);
        utime(srv->root("a b.html").c_str(), &y1990);
        ASSERT_TRUE(srv->start({"-access_log", srv->dir.file("access.log"), "-aliases",
                                "/doc=" + srv->dir.file("docs") + ",/up=" + srv->dir.file("docs/")}));
    }
    static void TearDownTestSuite() { delete srv; }

    static std::string get(const std::string &target, const std::string &method = "GET")
    {
        return srv->ask(method + " " + target);
    }
    static std::string raw(const std::string &request) { return rawRequest(srv->port, request); }
    static bool logged(const std::string &log, const std::string &t) { return fileGains(srv->dir.file(log), t); }

    static inline Server *srv;
    static inline std::string small, big;
};

/* Whole answers, "" for a connection dropped without one, or else the body. */
TEST_F(HttpSystem, RequestsAndAnswers)
{
    auto req = [](const std::string &target, const std::string &header = "") {
        return "GET " + target + " HTTP/1.1\r\n" + header + "\r\n";
    };
    auto bad = [](const std::string &shown, bool head = false) {
        return errorAnswer("400", "Bad Request", "Can not parse request: [" + shown + "]", head);
    };
    const std::string weird = errorAnswer("505", "HTTP version not supported", "Weird HTTP version");
    const std::string not_found = errorAnswer("404", "Not Found", "File not found");
    const std::string forbidden = errorAnswer("403", "Forbidden", "Access Forbidden");
    const std::string moved = "HTTP/1.1 301 Moved Permanently\r\nLocation: /sub/\r\n\r\n";
    const std::string not_modified = "HTTP/1.1 304 Not Modified\r\nContent-Type: text/plain\r\n"
                                     "Content-Length: 0\r\nConnection: close\r\n\r\n";
    const std::string since = "If-Modified-Since: ", filler = "GET /x.txt HTTP/1.1\r\nX: ";
    const std::string exact = filler + std::string(8192 - filler.size() - 4, 'a') + "\r\n\r\n";
    const struct { int line; std::string request, expected; } cases[] = {
        {__LINE__, "get / HTTP/1.1\r\n\r\n", bad("get")},
        {__LINE__, "OPTIONS / HTTP/1.1\r\n\r\n", bad("OPTIONS")},
        {__LINE__, "GET index.html HTTP/1.1\r\n\r\n", bad("GET")},
        {__LINE__, "GET / HTTP/1.1x\r\n\r\n", bad("GET")},
        {__LINE__, "GET / HTTP/1\r\n\r\n", bad("GET")},
        {__LINE__, "GET /\r\n\r\n", bad("GET")},
        {__LINE__, "HEAD / HTTP/x\r\n\r\n", bad("HEAD", true)},
        {__LINE__, "GET / HTTP/1.2\r\n\r\n", weird}, {__LINE__, "GET / HTTP/2.0\r\n\r\n", weird},
        {__LINE__, "GET / HTTP/0.9\r\n\r\n", weird},
        /* a control byte in an unfinished block, a block one byte too long */
        {__LINE__, "GET /\x01x HTTP/1.1\r\n", ""},
        {__LINE__, filler + "a" + exact.substr(filler.size()), ""},
        {__LINE__, exact, "plain x\n"},
        {__LINE__, req("/x.txt", "X: \x01\r\n"), "plain x\n"},
        {__LINE__, "GET /x.txt HTTP/1.0\n\n", "plain x\n"},
        {__LINE__, req("/x.txt?y=1&z"), "plain x\n"},
        {__LINE__, req("/a%20b.html"), "space"},
        {__LINE__, req("//sub///index.html"), "sub index"},
        {__LINE__, req("/sub/"), "sub index"},
        {__LINE__, req("/s%75b?q=1"), moved},
        {__LINE__, req("/missing.txt"), not_found},
        {__LINE__, req("/.htpasswd"), forbidden},
        {__LINE__, req("/x.htpasswd.bak"), forbidden},
        {__LINE__, req("/nothere/.htpasswd"), forbidden},
        {__LINE__, req("/doc/a.txt"), "doc a"},
        {__LINE__, req("/doc_extra.txt"), "doc extra"}, /* an alias is a plain byte prefix */
        {__LINE__, req("/docs_extra.txt"), not_found},
        {__LINE__, req("/up/a.txt"), "doc a"},
        /* x.txt is from 2001, "a b.html" from 1990; garbage reads as the end of 1999 (the other
         * dates: HostileInput.LastModifiedAndIfModifiedSince) */
        {__LINE__, req("/x.txt", since + "garbage\r\n"), "plain x\n"},
        {__LINE__, req("/a%20b.html", since + "garbage\r\n"), not_modified},
    };
    for (const auto &c : cases) {
        std::string reply = raw(c.request);
        bool whole = c.expected.empty() || c.expected.rfind("HTTP/", 0) == 0;
        EXPECT_EQ(whole ? reply : bodyOf(reply), c.expected) << "line " << c.line;
    }
    /* 505s are logged, 400s are not */
    EXPECT_TRUE(logged("access.log", "\"GET / HTTP/0.9\" 505 56"));
    EXPECT_EQ(readFile(srv->dir.file("access.log")).find("\" 400 "), npos);
    EXPECT_TRUE(logged("error.log", "] get /: Error 400: Bad Request\n"));
}

TEST_F(HttpSystem, TraversalStaysInsideRootAndAliases)
{
    /* Every way up we know, combined: from the root, a directory in it and both aliases (/up with
     * the directory's '/', /doc without), one or three levels, the first separator present or
     * glued to the prefix. secret.txt lies above root and alias: each answer must be a plain 404. */
    const char *const starts[] = {"/", "/sub", "/up", "/doc"};
    const char *const ups[] = {"..", "%2e%2e", "%2E%2E", ".%2e", "%2E.", "...", "....", "%252e%252e"};
    const char *const seps[] = {"/", "\\", "//", "%2f", "%2F", "%5c", "%5C/", "/./"};
    std::vector<std::string> targets = {"/../../../../../../etc/passwd", "/sub/./../../secret.txt",
                                        "/up..%2f..%2fsecret.txt", "/doc/%2e%2e/secret.txt"};
    for (const char *start : starts)
        for (const char *up : ups)
            for (const char *sep : seps)
                for (int levels : {1, 3})
                    for (bool glued : {false, true}) {
                        std::string t = std::string(start) + (glued ? "" : sep);
                        for (int i = 0; i < levels; i++) t += std::string(up) + sep;
                        targets.push_back(t + "secret.txt");
                    }
    ASSERT_GE(targets.size(), 1000u);

    std::vector<std::string> wrong;
    for (const std::string &t : targets) {
        std::string reply = get(t);
        if (reply.find("TOP SECRET") != npos || reply.rfind("HTTP/1.1 404 Not Found\r\n", 0) != 0)
            wrong.push_back(t + " -> " + reply.substr(0, reply.find("\r\n")));
    }
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " of " << targets.size() << ", first: " << wrong[0];
    EXPECT_EQ(bodyOf(get("/x.txt")), "plain x\n"); /* and the server still answers */
}

TEST_F(HttpSystem, HeadNeverCarriesABody)
{
    for (const char *path : {"/f", "/list/", "/list/?sd", "/missing.txt"}) {
        std::string with = get(path), head = get(path, "HEAD");
        EXPECT_EQ(head.find("\r\n\r\n") + 4, head.size()) << path << "\n" << head;
        EXPECT_EQ(head.substr(0, head.find("\r\n")), with.substr(0, with.find("\r\n"))) << path;
        EXPECT_EQ(headerOf(head, "Content-Length"), headerOf(with, "Content-Length")) << path;
    }
    EXPECT_EQ(get("/missing.txt", "HEAD"), errorAnswer("404", "Not Found", "File not found", true));
    std::string ranged = raw("HEAD /f HTTP/1.1\r\nRange: bytes=10-19\r\n\r\n");
    EXPECT_EQ(headerOf(ranged, "Content-Length"), "10");
    EXPECT_EQ(bodyOf(ranged), "");
}

TEST_F(HttpSystem, AccessAndErrorLogLines)
{
    get("/missing.txt");   /* an ordinary 200 line: HostileInput.OrdinaryRequestUnchanged */
    raw("GET /f HTTP/1.1\r\nRange: bytes=100-199\r\n\r\n");
    get("/f", "HEAD");
    ASSERT_TRUE(logged("access.log", "\"HEAD /f HTTP/1.1\""));
    std::string log = readFile(srv->dir.file("access.log"));
    const std::string start = R"((^|\n)127\.0\.0\.1 - - \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] )";
    for (const char *line : {R"("GET /missing\.txt HTTP/1\.1" 404 35 - -)",
                             R"("GET /f HTTP/1\.1" 206 100 - -)", R"("HEAD /f HTTP/1\.1" 200 0 - -)"})
        EXPECT_TRUE(std::regex_search(log, std::regex(start + line + "\n"))) << line << "\n" << log;
    EXPECT_TRUE(logged("error.log", "] [error] [client 127.0.0.1] GET /missing.txt: Error 404: Not Found\n"));
}

/* A POST body trailing its headers still reaches the panel; the file is sent as for GET. */
TEST_F(HttpSystem, PostBodyReachesThePanel)
{
    const std::string save = "basicsetupbutton=Save&SipProxyIP=10.9.8.7";
    Conn c(srv->port);
    ASSERT_TRUE(c.send("POST /x.txt HTTP/1.1\r\nContent-Length: " + std::to_string(save.size()) + "\r\n\r\n"));
    /* the body in a read of its own: sent once the server has taken the header block */
    ASSERT_TRUE(waitFor([&] { return tcpQueue(srv->port, c.port()) == 0; }, 5000));
    ASSERT_TRUE(c.send(save));
    std::string reply = c.read(10000);
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_EQ(bodyOf(reply), "plain x\n");
    std::string conf = readFile(srv->product.bin() + "quorvel.conf");
    EXPECT_NE(conf.find("\nSipProxyIP=10.9.8.7"), npos) << conf;
}

TEST_F(HttpSystem, FilesAndRangesAreByteExact)
{
    const struct { int line; const char *args, *path, *status, *content_range; size_t first, len; } rows[] = {
        {__LINE__, "", "/f", "200 OK", "", 0, 1000},
        {__LINE__, "", "/big.bin", "200 OK", "", 0, 5242880},
        {__LINE__, "-r 100-199", "/f", "206 Partial Content", "bytes 100-199/1000", 100, 100},
        {__LINE__, "-r 900-", "/f", "206 Partial Content", "bytes 900-999/1000", 900, 100},
        {__LINE__, "-r 900-1999", "/f", "206 Partial Content", "bytes 900-999/1000", 900, 100},
        {__LINE__, "-r 1000000-3999999", "/big.bin", "206 Partial Content",
         "bytes 1000000-3999999/5242880", 1000000, 3000000},
        {__LINE__, "-r 1000-", "/f", "416 Requested Range Not Satisfiable", "bytes */1000", 0, 0},
        {__LINE__, "-H 'Range: bytes=5-3'", "/f", "200 OK", "", 0, 1000},
        {__LINE__, "-H 'Range: items=1-2'", "/f", "200 OK", "", 0, 1000},
        /* numbers past 64 bits, several ranges (the first counts), no '-' */
        {__LINE__, "-r 0-18446744073709551616", "/f", "206 Partial Content", "bytes 0-999/1000", 0, 1000},
        {__LINE__, "-r 99999999999999999999999-", "/f", "416 Requested Range Not Satisfiable", "bytes */1000", 0, 0},
        {__LINE__, "-r 100-199,300-399", "/f", "206 Partial Content", "bytes 100-199/1000", 100, 100},
        {__LINE__, "-H 'Range: bytes=5'", "/f", "206 Partial Content", "bytes 5-999/1000", 5, 995},
        /* suffixes: the last bytes, all of a shorter file, none at all */
        {__LINE__, "-r -500", "/f", "206 Partial Content", "bytes 500-999/1000", 500, 500},
        {__LINE__, "-r -99999999999999999999999", "/f", "206 Partial Content", "bytes 0-999/1000", 0, 1000},
        {__LINE__, "-r -0", "/f", "416 Requested Range Not Satisfiable", "bytes */1000", 0, 0},
        {__LINE__, "-H 'Range: bytes=-'", "/f", "200 OK", "", 0, 1000},
        {__LINE__, "-r -5", "/empty.txt", "416 Requested Range Not Satisfiable", "bytes */0", 0, 0},
    };
    for (const auto &r : rows) {
        std::string reply = runCommand("curl -s -D - " + std::string(r.args) + " 'http://127.0.0.1:" +
                                       std::to_string(srv->port) + r.path + "'");
        const std::string data = std::string(r.path) == "/f" ? small : std::string(r.path) == "/big.bin" ? big : "";
        EXPECT_EQ(reply.substr(9, reply.find("\r\n") - 9), r.status) << "line " << r.line;
        EXPECT_EQ(headerOf(reply, "Content-Range"), r.content_range) << "line " << r.line;
        EXPECT_EQ(headerOf(reply, "Content-Length"), std::to_string(r.len)) << "line " << r.line;
        EXPECT_TRUE(bodyOf(reply) == data.substr(r.first, r.len)) << "line " << r.line;
    }
}

TEST_F(HttpSystem, ListingsOrderEscapeAndLink)
{
    const struct { int line; std::string query, names, offered; } rows[] = {
        {__LINE__, "", "a/ b.txt c.txt", "d"},
        {__LINE__, "?nd", "a/ c.txt b.txt", "a"},
        {__LINE__, "?sd", "a/ b.txt c.txt", "a"},
        {__LINE__, "?sa", "a/ c.txt b.txt", "d"},
    };
    for (const auto &r : rows) {
        std::string reply = get("/list/" + r.query), names;
        EXPECT_EQ(reply.substr(0, reply.find("\r\n\r\n")), "HTTP/1.1 200 OK\r\nConnection: close\r\n"
                                                          "Content-Type: text/html; charset=utf-8");
        for (size_t p = reply.find("<tr><td><a"); p != npos; p = reply.find("<tr><td><a", p + 1)) {
            size_t start = reply.find("\">", p) + 2;
            names += (names.empty() ? "" : " ") + reply.substr(start, reply.find("</a>", start) - start);
        }
        EXPECT_EQ(names, "Parent directory " + r.names) << "line " << r.line;
        const std::string &o = r.offered;
        EXPECT_NE(reply.find("<a href=\"?n" + o + "\">Name</a></th><th><a href=\"?d" + o +
                             "\">Modified</a></th><th><a href=\"?s" + o + "\">Size</a>"), npos)
            << "line " << r.line;
    }
    std::string body = bodyOf(get("/list/"));
    EXPECT_EQ(body.rfind("<html><head><title>Index of /list/</title>", 0), 0u);
    EXPECT_TRUE(std::regex_search(body, std::regex(R"(<tr><td><a href="/list/b\.txt">b\.txt</a></td>)"
                                                   R"(<td>&nbsp;\d\d-[A-Z][a-z]{2}-\d{4} \d\d:\d\d</td>)"
                                                   R"(<td>&nbsp;&nbsp;2\.9k</td></tr>\n)")))
        << body;
    EXPECT_NE(body.find("&nbsp;&nbsp;[DIRECTORY]</td>"), npos);

    /* names and links escaped, for the files and for the directory itself */
    body = bodyOf(get("/esc/"));
    for (const char *text : {"<a href=\"/esc/a%3Cb%26c.txt\">a&lt;b&amp;c.txt</a>",
                             "<a href=\"/esc/with%20space.txt\">with space.txt</a>",
                             "<a href=\"/esc/q%22%27.txt\">q&quot;&#39;.txt</a>",
                             "<a href=\"/esc/dangling\">dangling</a></td><td>&nbsp;-</td><td>&nbsp;&nbsp;-</td>"})
        EXPECT_NE(body.find(text), npos) << text << "\n" << body;
    EXPECT_EQ(bodyOf(get("/esc/a%3Cb%26c.txt")), "1");
    EXPECT_EQ(bodyOf(get("/esc/q%22%27.txt")), "3");

    body = bodyOf(get("/my%20dir%3C/"));
    EXPECT_NE(body.find("<title>Index of /my dir&lt;/</title>"), npos) << body;
    EXPECT_NE(body.find("<a href=\"/my%20dir%3C/..\">Parent directory</a></td><td>&nbsp;-</td>"), npos);
}

}  // namespace
