/* tests/http_request_test.cpp: request parsing, decoding, form variables and the status response. */
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "http/http.h"

namespace {

std::vector<std::string> logged;

void
capture_log(struct qf_connection *, const struct qf_request_info *, void *message)
{
    logged.push_back((const char *) message);
}

/* A context with just what the response helpers touch: the callback
 * registry, option locks and a log callback; no threads, no sockets. */
struct BareContext {
    struct qf_context ctx;
    BareContext()
    {
        memset(&ctx, 0, sizeof(ctx));
        pthread_mutex_init(&ctx.callback_mutex, nullptr);
        for (pthread_mutex_t &m : ctx.opt_mutexes)
            pthread_mutex_init(&m, nullptr);
        ctx.log_callback = capture_log;
        logged.clear();
    }
    ~BareContext()
    {
        pthread_mutex_destroy(&ctx.callback_mutex);
        for (pthread_mutex_t &m : ctx.opt_mutexes)
            pthread_mutex_destroy(&m);
    }
};

/* A connection whose client socket is one end of a socket pair; the test
 * reads what the server side wrote from the other end. */
struct PairedConnection {
    struct qf_connection conn;
    int peer = -1;
    explicit PairedConnection(struct qf_context *ctx)
    {
        int fds[2];
        memset(&conn, 0, sizeof(conn));
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        conn.ctx = ctx;
        conn.client.sock = fds[0];
        peer = fds[1];
    }
    ~PairedConnection()
    {
        close(conn.client.sock);
        close(peer);
    }
    /* Everything written so far; closes the server side first. */
    std::string written()
    {
        shutdown(conn.client.sock, SHUT_WR);
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(peer, buf, sizeof(buf))) > 0)
            out.append(buf, (size_t) n);
        return out;
    }
};

/* Parses the header lines of text (a whole block) into ri; text is kept
 * alive by the caller since ri points into it. */
void
parse_headers(std::string &text, struct qf_request_info *ri)
{
    memset(ri, 0, sizeof(*ri));
    char *p = &text[0];
    parse_http_headers(&p, ri);
}

TEST(HttpRequest, GetRequestLen)
{
    struct Case {
        int line;
        std::string buf;
        int expected;
    };
    const Case cases[] = {
        {__LINE__, "", 0},
        {__LINE__, "\n", 0},
        {__LINE__, "\x01", 0},
        {__LINE__, "\n\n", 2},
        {__LINE__, "GET / HTTP/1.1\r\n\r\n", 18},
        {__LINE__, "GET / HTTP/1.1\n\n", 16},
        {__LINE__, "GET /\n\r\n", 8},
        {__LINE__, "GET /\nHost: x\r\n\r\nbody", 17},
        /* not complete yet */
        {__LINE__, "GET / HTTP/1.1\r\n", 0},
        {__LINE__, "GET /\r\n\r", 0},
        {__LINE__, "GET /\n\r", 0},
        /* a control byte condemns only an unfinished block */
        {__LINE__, "GET \x01/", -1},
        {__LINE__, "GET /\tx", -1},
        {__LINE__, std::string("GET \0/ x", 8), -1},
        {__LINE__, "\x7f" "a", -1},
        {__LINE__, "GET \x01/\n\n", 8},
        {__LINE__, "GET /\n\n\x01\x02", 7},
        /* the last byte is never looked at on its own */
        {__LINE__, "GET /\x01", 0},
        /* bytes from 128 up are accepted */
        {__LINE__, "GET /\x80\xff\n\n", 9},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(get_request_len(c.buf.data(), c.buf.size()), c.expected);
    }
}

TEST(HttpRequest, ParseHeaders)
{
    std::string block = "Host:   example:8080\r\nx-a: 1\r\nX-A: 2\r\nEmpty:\r\nAfter: 3\r\n";
    struct qf_request_info ri;
    parse_headers(block, &ri);
    ASSERT_EQ(ri.num_headers, 5);
    EXPECT_STREQ(ri.http_headers[0].name, "Host");
    EXPECT_STREQ(get_header(&ri, "host"), "example:8080");
    EXPECT_STREQ(get_header(&ri, "X-A"), "1"); /* the first of two */
    EXPECT_STREQ(get_header(&ri, "After"), "3");
    EXPECT_EQ(get_header(&ri, "Missing"), nullptr);

    /* A block as the parser gets it: its final line feed already cut. */
    std::string cut = "A: 1\r\n\r";
    parse_headers(cut, &ri);
    EXPECT_EQ(ri.num_headers, 1);
    EXPECT_STREQ(get_header(&ri, "A"), "1");

    /* Lines beyond the 64th are ignored. */
    block.clear();
    for (int i = 0; i < 70; i++)
        block += "H" + std::to_string(i) + ": v" + std::to_string(i) + "\r\n";
    parse_headers(block, &ri);
    EXPECT_EQ(ri.num_headers, MAX_HTTP_HEADERS);
    EXPECT_STREQ(get_header(&ri, "H63"), "v63");
    EXPECT_EQ(get_header(&ri, "H64"), nullptr);
}

TEST(HttpRequest, UrlDecode)
{
    struct Case {
        int line;
        std::string src;
        int form;
        size_t dst_len;
        std::string expected;
    };
    const Case cases[] = {
        {__LINE__, "a%2Fb+c", 0, 64, "a/b+c"},
        {__LINE__, "a%2fb+c", 1, 64, "a/b c"},
        {__LINE__, "%zz", 0, 64, "%zz"},
        {__LINE__, "%4", 0, 64, "%4"},
        {__LINE__, "%41%", 0, 64, "A%"},
        {__LINE__, "%4a%4A%e9", 0, 64, "JJ\xe9"},
        {__LINE__, "%2e%2E", 0, 64, ".."},
        {__LINE__, "abcdef", 0, 4, "abc"},
        {__LINE__, "%41%42%43%44", 0, 3, "AB"},
        {__LINE__, "abc", 0, 1, ""},
        {__LINE__, "", 0, 64, ""},
        {__LINE__, std::string("%00x", 4), 0, 64, std::string("\0x", 2)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        char dst[64];
        memset(dst, 'Z', sizeof(dst));
        int n = url_decode(c.src.data(), c.src.size(), dst, c.dst_len, c.form);
        ASSERT_EQ(n, (int) c.expected.size());
        EXPECT_EQ(std::string(dst, (size_t) n), c.expected);
        EXPECT_EQ(dst[n], '\0');
        EXPECT_EQ(dst[n + 1], 'Z'); /* nothing written past the terminator */
    }

    /* A '%' whose digits lie beyond src_len is copied as it is. */
    char dst[8];
    EXPECT_EQ(url_decode("%41", 2, dst, sizeof(dst), 0), 2);
    EXPECT_STREQ(dst, "%4");

    char buf[] = "/a%20b%2F%2e%2e/c%2";
    size_t len = strlen(buf);
    EXPECT_EQ(url_decode(buf, len, buf, len + 1, 0), 11);
    EXPECT_STREQ(buf, "/a b/../c%2");
}

TEST(HttpRequest, CaseInsensitiveComparison)
{
    struct Case {
        int line;
        const char *s1;
        const char *s2;
        size_t len; /* SIZE_MAX: qf_strcasecmp */
        int sign;
    };
    const Case cases[] = {
        {__LINE__, "Content-Length", "content-length", SIZE_MAX, 0},
        {__LINE__, "abc", "abd", SIZE_MAX, -1},
        {__LINE__, "b", "A", SIZE_MAX, 1},
        {__LINE__, "a", "ab", SIZE_MAX, -1},
        {__LINE__, "\xe9", "a", SIZE_MAX, 1}, /* bytes compare unsigned */
        {__LINE__, "a", "b", 0, 0},
        {__LINE__, "abcX", "ABCY", 3, 0},
        {__LINE__, "abcX", "ABCY", 4, -1},
        {__LINE__, "ab", "abc", 5, -1},
        {__LINE__, "ab", "AB", 9, 0}, /* stops at the end of s1 */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        int r = c.len == SIZE_MAX ? qf_strcasecmp(c.s1, c.s2) : qf_strncasecmp(c.s1, c.s2, c.len);
        EXPECT_EQ((r > 0) - (r < 0), c.sign);
    }
}

TEST(HttpRequest, GetVar)
{
    struct Case {
        int line;
        const char *buf;
        size_t len; /* 0: the whole string */
        const char *name;
        const char *expected; /* nullptr: not found */
    };
    const Case cases[] = {
        {__LINE__, "a=1&b=2", 0, "b", "2"},
        {__LINE__, "ab=5&b=6", 0, "b", "6"},
        {__LINE__, "xa=1", 0, "a", nullptr},
        {__LINE__, "A=1", 0, "a", "1"},
        {__LINE__, "a=x+y%21&c=3", 0, "a", "x y!"},
        {__LINE__, "a=1&a=2", 0, "a", "1"},
        {__LINE__, "a=&b=2", 0, "a", ""},
        {__LINE__, "a", 0, "a", nullptr},
        {__LINE__, "b=1&a", 0, "a", nullptr},
        {__LINE__, "a=12345", 4, "a", "12"},
        {__LINE__, "a=1", 1, "a", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        char *v = get_var(c.name, c.buf, c.len != 0 ? c.len : strlen(c.buf));
        if (c.expected == nullptr)
            EXPECT_EQ(v, nullptr);
        else
            EXPECT_STREQ(v, c.expected);
        qf_free(v);
    }
}

TEST(HttpRequest, QfGetVarPrefersTheBody)
{
    struct qf_connection conn;
    memset(&conn, 0, sizeof(conn));
    char query[] = "a=1&b=2";
    char body[] = "b=3&c=4";
    conn.request_info.query_string = query;
    conn.request_info.post_data = body;
    conn.request_info.post_data_len = 3; /* "b=3" only */

    struct Case {
        int line;
        const char *name;
        const char *expected;
    };
    const Case cases[] = {
        {__LINE__, "a", "1"},
        {__LINE__, "b", "3"},
        {__LINE__, "c", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        char *v = qf_get_var(&conn, c.name);
        if (c.expected == nullptr)
            EXPECT_EQ(v, nullptr);
        else
            EXPECT_STREQ(v, c.expected);
        qf_free(v);
    }

    conn.request_info.post_data_len = 0;
    char *v = qf_get_var(&conn, "b");
    EXPECT_STREQ(v, "2");
    qf_free(v);
}

int error_callback_calls;

void
answer_teapot(struct qf_connection *conn, const struct qf_request_info *ri, void *user_data)
{
    error_callback_calls++;
    EXPECT_EQ(ri, &conn->request_info);
    EXPECT_EQ(ri->status_code, 404);
    qf_printf(conn, "%s", (const char *) user_data);
}

TEST(HttpRequest, SendErrorLeavesTheAnswerToAnErrorCallback)
{
    BareContext bare;
    char text[] = "custom";
    bare.ctx.callbacks[0] = {nullptr, answer_teapot, false, 404, text};
    bare.ctx.num_callbacks = 1;
    PairedConnection pc(&bare.ctx);

    error_callback_calls = 0;
    send_error(&pc.conn, 404, "Not Found", "%s", "File not found");
    EXPECT_EQ(pc.written(), "custom");
    EXPECT_EQ(error_callback_calls, 1);
    EXPECT_TRUE(logged.empty());
}

/* Writes pieces to fd with a pause before each but the first. */
void
write_slowly(int fd, std::vector<std::string> pieces)
{
    for (size_t i = 0; i < pieces.size(); i++) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(write(fd, pieces[i].data(), pieces[i].size()), (ssize_t) pieces[i].size());
    }
}

TEST(HttpRequest, ReadRequestCollectsHeaderPieces)
{
    PairedConnection pc(nullptr);
    std::thread writer(write_slowly, pc.peer,
                       std::vector<std::string>{"GET / HT", "TP/1.1\r\nA: 1\r", "\n\r\nextra"});
    char buf[8193];
    int nread = 0;
    int len = read_request(nullptr, pc.conn.client.sock, nullptr, buf, 8192, &nread);
    writer.join();
    EXPECT_EQ(len, 24);
    EXPECT_EQ(nread, 29);
}

/* Reads a body through a connection whose peer wrote `sent` and then
 * closed or not; the header lines and the held bytes are given. */
struct BodyCase {
    int line;
    std::string headers;
    std::string held;
    std::string sent;
    bool ok;
    std::string body;     /* post_data afterwards, when ok */
    std::string answer;   /* what the client got: a prefix of it */
};

TEST(HttpRequest, HandleRequestBodyIntoMemory)
{
    const std::string big(20000, 'b');
    const BodyCase cases[] = {
        {__LINE__, "Content-Length: 5\r\n", "a=1&b", "", true, "a=1&b", ""},
        {__LINE__, "Content-Length: 3\r\n", "a=1&b", "", true, "a=1", ""},
        {__LINE__, "Content-Length: 10\r\n", "abcd", "efghij", true, "abcdefghij", ""},
        {__LINE__, "Content-Length: 20000\r\n", "", big, true, big, ""},
        {__LINE__, "Content-Length: 4\r\nExpect: 100-Continue\r\n", "ab", "cd", true, "abcd",
         "HTTP/1.1 100 Continue\r\n\r\n"},
        {__LINE__, "", "", "", false, "", "HTTP/1.1 411 Length Required\r\n"},
        {__LINE__, "Content-Length: 1\r\nExpect: later\r\n", "x", "", false, "",
         "HTTP/1.1 417 Expectation Failed\r\n"},
        {__LINE__, "Content-Length: 10\r\n", "abcd", "ef", false, "",
         "HTTP/1.1 577 Internal Server Error\r\nContent-Type: text/plain\r\n"
         "Content-Length: 57\r\nConnection: close\r\n\r\n"
         "Error 577: Internal Server Error\nError handling body data"},
    };
    for (const BodyCase &c : cases) {
        SCOPED_TRACE(c.line);
        BareContext bare;
        PairedConnection pc(&bare.ctx);
        std::string headers = c.headers;
        parse_headers(headers, &pc.conn.request_info);
        char method[] = "POST";
        pc.conn.request_info.request_method = method;
        std::string held = c.held;
        pc.conn.request_info.post_data = &held[0];
        pc.conn.request_info.post_data_len = (int) held.size();

        std::thread writer([&] {
            size_t off = 0;
            while (off < c.sent.size()) {
                ssize_t n = write(pc.peer, c.sent.data() + off, c.sent.size() - off);
                if (n <= 0)
                    break;
                off += (size_t) n;
            }
            shutdown(pc.peer, SHUT_WR); /* the client has nothing more */
        });
        bool ok = handle_request_body(&pc.conn, nullptr);
        writer.join();
        EXPECT_EQ(ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(std::string(pc.conn.request_info.post_data,
                                  (size_t) pc.conn.request_info.post_data_len),
                      c.body);
        }
        EXPECT_EQ(pc.written().substr(0, c.answer.size()), c.answer);
        reset_per_request_attributes(&pc.conn);
    }
}

}  // namespace
