/* tests/hostile_input_itest.cpp: hostile requests and ordinary HTTP/1.1 clients (curl, Python's
 * http.client) against one real server: forged log lines, NUL and framing tricks, HEAD of a
 * server-side-include page, revalidation, suffix ranges, Digest replays and chunked uploads. */
#include <sys/stat.h>
#include <utime.h>

#include <regex>

#include "support/harness.h"

using namespace qftest;

namespace {

const size_t npos = std::string::npos;

class HostileInput : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        srv = new Server;
        writeFile(srv->root("x.txt"), "plain x\n");
        struct utimbuf y2001 = {978307200, 978307200}; /* Mon, 01 Jan 2001 00:00:00 GMT */
        utime(srv->root("x.txt").c_str(), &y2001);
        ASSERT_TRUE(srv->start({"-access_log", srv->dir.file("access.log")}));
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

}  // namespace
