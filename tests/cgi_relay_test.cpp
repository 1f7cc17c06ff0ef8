/* tests/cgi_relay_test.cpp: a CGI program's answer turned into the response: header block, status line, body, and the bounded waits. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "cgi_test_conn.h"

namespace {

using qftest::TestConn;

const char MALFORMED[] = "HTTP/1.1 500 Internal Server Error\r\n";

struct Relayed {
    std::string response;
    int status;
    uint64_t body_bytes;
    long ms;
};

/* Feeds output to relay_cgi_output through a pipe, as a program would;
 * with keep_open the program stays alive, silent, after its output. */
Relayed
relay(TestConn &t, const std::string &output, bool keep_open = false, int timeout_ms = 5000)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::thread program([&] {
        size_t done = 0;
        while (done < output.size()) {
            ssize_t n = write(fds[1], output.data() + done, output.size() - done);
            if (n <= 0)
                break;
            done += (size_t) n;
        }
        if (!keep_open)
            close(fds[1]);
    });

    auto start = std::chrono::steady_clock::now();
    Relayed r;
    t.conn.num_bytes_sent = 0;
    t.conn.request_info.status_code = 0;
    r.response = t.capture([&] { relay_cgi_output(&t.conn, fds[0], timeout_ms); });
    r.ms = (long) std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - start).count();
    r.status = t.conn.request_info.status_code;
    r.body_bytes = t.conn.num_bytes_sent;
    program.join();
    if (keep_open)
        close(fds[1]);
    close(fds[0]);
    return r;
}

std::string
pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char) ('a' + (i * 7 + i / 251) % 26);
    return s;
}

TEST(CgiRelay, HeaderBlockBecomesStatusLineAndHeaders)
{
    const std::string big = pattern(100000);
    struct Case {
        int line;
        std::string output;
        std::string response;
        int status;
    };
    const Case cases[] = {
        {__LINE__, "Content-Type: text/plain\r\n\r\nhello",
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nhello", 200},
        /* Status sets the code, the reason is always OK, the header stays */
        {__LINE__, "Status: 302 Found\r\nLocation: /next\r\n\r\n",
         "HTTP/1.1 302 OK\r\nStatus: 302 Found\r\nLocation: /next\r\n\r\n", 302},
        {__LINE__, "X-A: 1\r\nstatus: 404 gone\r\nStatus: 500\r\n\r\n",
         "HTTP/1.1 404 OK\r\nX-A: 1\r\nstatus: 404 gone\r\nStatus: 500\r\n\r\n", 404},
        {__LINE__, "Status: abc\r\n\r\n", "HTTP/1.1 0 OK\r\nStatus: abc\r\n\r\n", 0},
        /* bare line feeds end the block too */
        {__LINE__, "Content-Type: text/html\n\nbody\n",
         "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nbody\n", 200},
        /* a body spread over many reads, and one holding a blank line */
        {__LINE__, "A: b\r\n\r\n" + big, "HTTP/1.1 200 OK\r\nA: b\r\n\r\n" + big, 200},
        {__LINE__, "A: b\r\n\r\nx\r\n\r\nStatus: 1\r\n\r\n",
         "HTTP/1.1 200 OK\r\nA: b\r\n\r\nx\r\n\r\nStatus: 1\r\n\r\n", 200},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        TestConn t;
        Relayed r = relay(t, c.output);
        EXPECT_TRUE(r.response == c.response) << r.response.substr(0, 200);
        EXPECT_EQ(r.status, c.status);
        /* only the body counts for the access log */
        EXPECT_EQ(r.body_bytes, (uint64_t) (c.response.size() - c.response.find("\r\n\r\n") - 4));
    }
}

TEST(CgiRelay, BrokenOutputGetsTheMalformedAnswer)
{
    struct Case {
        int line;
        std::string output;
        std::string shown;    /* between the brackets of the message */
    };
    const Case cases[] = {
        {__LINE__, "", ""},
        {__LINE__, "no blank line after this", "no blank line after this"},
        {__LINE__, "Content-Type: text/plain\r\n", "Content-Type: text/plain\r\n"},
        {__LINE__, "X: a\x01" "b\r\n", "X: a\x01" "b\r\n"}, /* a control byte in an open block */
        {__LINE__, std::string(9000, 'h'), std::string(8192, 'h')}, /* the block cannot fit */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        TestConn t;
        Relayed r = relay(t, c.output);
        EXPECT_EQ(r.response.compare(0, strlen(MALFORMED), MALFORMED), 0) << r.response;
        /* a long text is cut by the 8192-byte response buffer */
        std::string message = "\r\n\r\nError 500: Internal Server Error\n"
                              "CGI program sent malformed HTTP headers: [" +
                              (c.shown.size() < 1000 ? c.shown + "]" : c.shown.substr(0, 1000));
        EXPECT_NE(r.response.find(message), std::string::npos) << r.response.substr(0, 300);
        EXPECT_EQ(r.status, 500);
    }
}

/* A program that stops writing but keeps its output open is given up after
 * the timeout, whether it stalls in its headers or in its body. */
TEST(CgiRelay, SilentProgramIsGivenUp)
{
    struct Case {
        int line;
        std::string output;
        std::string response_start;
    };
    const Case cases[] = {
        {__LINE__, "Content-Type: text/plain\r\n", MALFORMED},
        {__LINE__, "A: b\r\n\r\npart", "HTTP/1.1 200 OK\r\nA: b\r\n\r\npart"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        TestConn t;
        Relayed r = relay(t, c.output, true, 200);
        EXPECT_EQ(r.response.compare(0, c.response_start.size(), c.response_start), 0)
            << r.response;
        EXPECT_GE(r.ms, 150);
        EXPECT_LT(r.ms, 5000);
        EXPECT_TRUE(qftest::logged(qftest::take_bare_log(),
                                   "relay_cgi_output: CGI program sent nothing for 200 ms"));
    }
}

}  // namespace
