/* tests/http_files_itest.cpp: files, ranges, HEAD and directory listings through the real binary. */
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "support/harness.h"

namespace {

struct Response {
    std::string status, head, body; /* head: the header block with its empty line */
    std::map<std::string, std::string> headers;
};

std::string
run_command(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[65536];
    size_t n;
    while (p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    if (p != nullptr)
        pclose(p);
    return out;
}

Response
parse_response(const std::string &raw)
{
    Response r;
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos)
        return r;
    r.head = raw.substr(0, end + 4);
    r.body = raw.substr(end + 4);
    for (size_t pos = 0, next; pos < end; pos = next + 2) {
        next = raw.find("\r\n", pos);
        std::string line = raw.substr(pos, next - pos);
        size_t colon = line.find(": ");
        if (pos == 0)
            r.status = line;
        else if (colon != std::string::npos)
            r.headers.emplace(line.substr(0, colon), line.substr(colon + 2));
    }
    return r;
}

/* Deterministic bytes whose every window differs. */
std::string
pattern(size_t n)
{
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char &c : s)
        c = (char) ((x = x * 1103515245u + 12345u) >> 16);
    return s;
}

/* The header block without the lines that follow the clock. */
std::string
without_clock_lines(const std::string &head)
{
    std::string kept;
    for (size_t pos = 0, next; pos < head.size(); pos = next) {
        next = head.find("\r\n", pos) + 2;
        std::string line = head.substr(pos, next - pos);
        if (line.rfind("Date: ", 0) != 0 && line.rfind("Etag: ", 0) != 0)
            kept += line;
    }
    return kept;
}

class HttpFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root = new qftest::TempDir;
        std::string r = root->path();
        small = pattern(1000);
        big = pattern(5 * 1024 * 1024);
        qftest::writeFile(r + "/f", small);
        qftest::writeFile(r + "/fifty.bin", small.substr(0, 50));
        qftest::writeFile(r + "/empty.txt", "");
        qftest::writeFile(r + "/big.bin", big);
        for (const char *d : {"/list", "/list/a", "/esc", "/my dir<", "/secret"})
            mkdir((r + d).c_str(), 0755);
        qftest::writeFile(r + "/list/b.txt", std::string(3000, 'b'));
        qftest::writeFile(r + "/list/c.txt", std::string(10, 'c'));
        qftest::writeFile(r + "/esc/a<b&c.txt", "1");
        qftest::writeFile(r + "/esc/with space.txt", "2");
        qftest::writeFile(r + "/esc/q\"'.txt", "3");
        EXPECT_EQ(symlink("nowhere", (r + "/esc/dangling").c_str()), 0);

        qftest::writeFile(r + "/secret/x.txt", "x");
        product = new qftest::ProductDir;
        qftest::runQuillfen({"-A", r + "/secret/.htpasswd", "example.com", "u", "p"},
                            product->bin().c_str());
        server = new qftest::ServerProcess;
        port = qftest::freePort();
        ASSERT_TRUE(server->start({"-ports", std::to_string(port), "-root", r, "-access_log",
                                   r + "/access.log"},
                                  product->bin().c_str()));
        ASSERT_TRUE(server->waitForOutput("started on port"));
    }

    static void TearDownTestSuite()
    {
        delete server;
        delete product;
        delete root;
    }

    void SetUp() override
    {
        if (run_command("command -v curl").empty())
            GTEST_SKIP() << "curl is not installed";
    }

    static std::string url(const std::string &path)
    {
        return "'http://127.0.0.1:" + std::to_string(port) + path + "'";
    }

    /* curl with the header block on standard output ahead of the body. */
    static Response curl(const std::string &args, const std::string &path)
    {
        return parse_response(run_command("curl -s -D - " + args + " " + url(path)));
    }

    static qftest::TempDir *root;
    static qftest::ProductDir *product;
    static qftest::ServerProcess *server;
    static int port;
    static std::string small, big;
};

qftest::TempDir *HttpFiles::root;
qftest::ProductDir *HttpFiles::product;
qftest::ServerProcess *HttpFiles::server;
int HttpFiles::port;
std::string HttpFiles::small, HttpFiles::big;

TEST_F(HttpFiles, WholeFilesAndRangesAreByteExact)
{
    struct Row {
        int line;
        const char *args, *path, *status;
        const char *content_range; /* "" when none is expected */
        size_t first, len;         /* the expected body, cut from the file */
    };
    const Row rows[] = {
        {__LINE__, "", "/f", "200 OK", "", 0, 1000},
        {__LINE__, "", "/empty.txt", "200 OK", "", 0, 0},
        {__LINE__, "", "/big.bin", "200 OK", "", 0, 5242880},
        {__LINE__, "-r 100-199", "/f", "206 Partial Content", "bytes 100-199/1000", 100, 100},
        {__LINE__, "-r 900-", "/f", "206 Partial Content", "bytes 900-999/1000", 900, 100},
        {__LINE__, "-r 0-99", "/fifty.bin", "206 Partial Content", "bytes 0-49/50", 0, 50},
        {__LINE__, "-r 1000000-3999999", "/big.bin", "206 Partial Content",
         "bytes 1000000-3999999/5242880", 1000000, 3000000},
        {__LINE__, "-r 1000-", "/f", "416 Requested Range Not Satisfiable", "bytes */1000", 0, 0},
        {__LINE__, "-H 'Range: bytes=5-3'", "/f", "200 OK", "", 0, 1000},
        {__LINE__, "-H 'Range: items=1-2'", "/f", "200 OK", "", 0, 1000},
        {__LINE__, "-H 'Range: bytes=-100'", "/f", "200 OK", "", 0, 1000},
    };
    for (const Row &r : rows) {
        Response res = curl(r.args, r.path);
        const std::string &data = std::string(r.path) == "/big.bin" ? big : small;
        EXPECT_EQ(res.status, std::string("HTTP/1.1 ") + r.status) << "row at line " << r.line;
        EXPECT_EQ(res.headers["Content-Range"], r.content_range) << "row at line " << r.line;
        EXPECT_EQ(res.headers["Content-Length"], std::to_string(r.len)) << "row at line " << r.line;
        EXPECT_EQ(res.headers["Content-Type"], "text/plain") << "row at line " << r.line;
        EXPECT_TRUE(res.body == data.substr(r.first, r.len))
            << "row at line " << r.line << ": " << res.body.size() << " bytes";
    }

    std::string out = root->file("download"); /* straight into a file, as a download */
    run_command("curl -s -o '" + out + "' " + url("/big.bin"));
    EXPECT_TRUE(qftest::readFile(out) == big);
}

TEST_F(HttpFiles, HeadSendsTheHeaderBlockOfGetOnly)
{
    for (std::string path : {"/f", "/big.bin", "/list/", "/list/?sd"}) {
        Response get = curl("", path);
        Response head = parse_response(run_command("curl -s -I " + url(path)));
        Response bare = parse_response(qftest::rawRequest(port, "HEAD " + path + " HTTP/1.0\r\n\r\n"));
        EXPECT_FALSE(get.head.empty()) << path;
        EXPECT_EQ(without_clock_lines(head.head), without_clock_lines(get.head)) << path;
        EXPECT_EQ(without_clock_lines(bare.head), without_clock_lines(get.head)) << path;
        EXPECT_EQ(bare.body, "") << path; /* nothing follows the block on the wire */
    }
    Response ranged = parse_response(
        qftest::rawRequest(port, "HEAD /f HTTP/1.1\r\nRange: bytes=10-19\r\n\r\n"));
    EXPECT_EQ(ranged.headers["Content-Length"], "10");
    EXPECT_EQ(ranged.body, "");
}

TEST_F(HttpFiles, DateAndEtagComeFromOneClockReading)
{
    time_t before = time(nullptr);
    Response res = curl("", "/f");
    time_t after = time(nullptr);

    unsigned long stamp = 0;
    std::string etag = res.headers["Etag"];
    ASSERT_EQ(sscanf(etag.c_str(), "\"%lx.", &stamp), 1) << etag;
    char expected_tag[64]; /* lower-case hex seconds, then the size (1000) */
    snprintf(expected_tag, sizeof(expected_tag), "\"%lx.3e8\"", stamp);
    EXPECT_EQ(etag, expected_tag);
    EXPECT_GE(stamp, (unsigned long) before);
    EXPECT_LE(stamp, (unsigned long) after);

    char expected[64];
    struct tm tm;
    time_t t = (time_t) stamp;
    strftime(expected, sizeof(expected), "%a, %d %b %Y %H:%M:%S %Z", localtime_r(&t, &tm));
    EXPECT_EQ(res.headers["Date"], expected);
}

/* The link texts of the listing's rows, in the order they appear. */
std::vector<std::string>
listed_names(const std::string &body)
{
    static const std::string row = "<tr><td><a href=\"";
    std::vector<std::string> names;
    for (size_t pos = body.find(row); pos != std::string::npos; pos = body.find(row, pos + 1)) {
        size_t start = body.find("\">", pos + row.size()) + 2;
        names.push_back(body.substr(start, body.find("</a>", start) - start));
    }
    return names;
}

TEST_F(HttpFiles, ListingOrdersAndLinks)
{
    struct Row {
        int line;
        const char *query;
        std::vector<std::string> names;
        std::string offered; /* the direction the column links offer */
    };
    const Row rows[] = {
        {__LINE__, "", {"Parent directory", "a/", "b.txt", "c.txt"}, "d"},
        {__LINE__, "?nd", {"Parent directory", "a/", "c.txt", "b.txt"}, "a"},
        {__LINE__, "?sd", {"Parent directory", "a/", "b.txt", "c.txt"}, "a"},
        {__LINE__, "?sa", {"Parent directory", "a/", "c.txt", "b.txt"}, "d"},
    };
    for (const Row &r : rows) {
        Response res = curl("", std::string("/list/") + r.query);
        EXPECT_EQ(res.head, "HTTP/1.1 200 OK\r\nConnection: close\r\n"
                            "Content-Type: text/html; charset=utf-8\r\n\r\n")
            << "row at line " << r.line;
        EXPECT_EQ(listed_names(res.body), r.names) << "row at line " << r.line;
        const std::string &o = r.offered;
        EXPECT_NE(res.body.find("<a href=\"?n" + o + "\">Name</a></th><th><a href=\"?d" + o +
                                "\">Modified</a></th><th><a href=\"?s" + o + "\">Size</a>"),
                  std::string::npos)
            << "row at line " << r.line;
    }

    std::string body = curl("", "/list/").body;
    EXPECT_EQ(body.rfind("<html><head><title>Index of /list/</title>", 0), 0u);
    EXPECT_NE(body.find("<tr><td><a href=\"/list/..\">Parent directory</a></td>"
                        "<td>&nbsp;-</td><td>&nbsp;&nbsp;-</td></tr>\n"),
              std::string::npos);
    const std::string b_row = "<tr><td><a href=\"/list/b.txt\">b.txt</a></td><td>&nbsp;";
    size_t b = body.find(b_row) + b_row.size();
    char day[3], month[4], tail[64];
    int year, hour, minute;
    EXPECT_EQ(sscanf(body.c_str() + b, "%2[0-9]-%3[A-Za-z]-%4d %2d:%2d%63[^\n]", day, month,
                     &year, &hour, &minute, tail), 6);
    EXPECT_STREQ(tail, "</td><td>&nbsp;&nbsp;2.9k</td></tr>");
    EXPECT_NE(body.find("<a href=\"/list/a\">a/</a></td><td>&nbsp;"), std::string::npos);
    EXPECT_NE(body.find("&nbsp;&nbsp;[DIRECTORY]</td>"), std::string::npos);
    EXPECT_NE(body.find("&nbsp;&nbsp;10</td>"), std::string::npos);
    EXPECT_EQ(body.substr(body.size() - 22), "</table></body></html>");
}

TEST_F(HttpFiles, ListingHidesThePasswordFile)
{
    std::string body = run_command("curl -s --digest -u u:p " + url("/secret/"));
    EXPECT_NE(body.find(">x.txt</a>"), std::string::npos) << body;
    EXPECT_EQ(body.find(".htpasswd"), std::string::npos) << body;
}

TEST_F(HttpFiles, ListingEscapesNamesAndLinks)
{
    std::string body = curl("", "/esc/").body;
    for (const char *text : {
             "<a href=\"/esc/a%3Cb%26c.txt\">a&lt;b&amp;c.txt</a>",
             "<a href=\"/esc/with%20space.txt\">with space.txt</a>",
             "<a href=\"/esc/q%22%27.txt\">q&quot;&#39;.txt</a>",
             /* a dangling link is listed without status */
             "<a href=\"/esc/dangling\">dangling</a></td><td>&nbsp;-</td><td>&nbsp;&nbsp;-</td>",
         })
        EXPECT_NE(body.find(text), std::string::npos) << text << "\n" << body;
    EXPECT_EQ(curl("", "/esc/a%3Cb%26c.txt").body, "1"); /* the links lead to the files */
    EXPECT_EQ(curl("", "/esc/q%22%27.txt").body, "3");

    /* The decoded URI is escaped in the text and encoded again in links. */
    body = curl("", "/my%20dir%3C/").body;
    EXPECT_NE(body.find("<title>Index of /my dir&lt;/</title>"), std::string::npos) << body;
    EXPECT_NE(body.find("<h1>Index of /my dir&lt;/</h1>"), std::string::npos);
    EXPECT_NE(body.find("<a href=\"/my%20dir%3C/..\">Parent directory</a>"), std::string::npos);
}

TEST_F(HttpFiles, AccessLogCountsBodyBytesOnly)
{
    Response listing = curl("", "/list/?nd");
    curl("-r 100-199", "/f");
    curl("-I", "/f");
    std::string log;
    ASSERT_TRUE(qftest::waitFor(
        [&] {
            log = qftest::readFile(root->file("access.log"));
            return log.find("\"HEAD /f HTTP/1.1\"") != std::string::npos;
        },
        5000));
    for (std::string line : {"\"GET /list/ HTTP/1.1\" 200 " + std::to_string(listing.body.size()) + " ",
                             std::string("\"GET /f HTTP/1.1\" 206 100 "),
                             std::string("\"HEAD /f HTTP/1.1\" 200 0 ")})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

}  // namespace
