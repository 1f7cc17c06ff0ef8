/* tests/http_request_test.cpp: request parsing, decoding, form variables, MIME types, ranges. */
#include <limits.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "http/http.h"
#include "support/harness.h"

namespace {

TEST(HttpRequest, GetRequestLen)
{
    const struct { int line; std::string buf; int expected; } cases[] = {
        {__LINE__, "\n", 0}, {__LINE__, "\n\n", 2}, {__LINE__, "GET /\r\n\r", 0},
        {__LINE__, "GET / HTTP/1.1\r\n\r\n", 18}, {__LINE__, "GET /\n\r\n", 8},
        {__LINE__, "GET /\nHost: x\r\n\r\nbody", 17}, {__LINE__, "GET / HTTP/1.1\r\n", 0},
        /* a control byte condemns an unfinished block, but not a finished one */
        {__LINE__, "GET \x01/", -1}, {__LINE__, std::string("GET \0/ x", 8), -1},
        {__LINE__, "GET \x01/\n\n", 8}, {__LINE__, "GET /\n\n\x01\x02", 7},
        {__LINE__, "GET /\x01", 0}, /* the last byte is never judged alone */
        {__LINE__, "GET /\x80\xff\n\n", 9},
    };
    for (const auto &c : cases)
        EXPECT_EQ(get_request_len(c.buf.data(), c.buf.size()), c.expected) << "line " << c.line;
}

/* Names in any case, values trimmed in front, the first of a name wins; 64 at most. */
TEST(HttpRequest, ParseHeaders)
{
    struct qf_request_info ri {};
    std::string block = "Host:   example:8080\r\nx-a: 1\r\nX-A: 2\r\nEmpty:\r\n";
    for (int i = 0; i < 70; i++) block += "H" + std::to_string(i) + ": v" + std::to_string(i) + "\r\n";
    char *p = &block[0];
    parse_http_headers(&p, &ri);
    EXPECT_EQ(ri.num_headers, MAX_HTTP_HEADERS);
    EXPECT_STREQ(get_header(&ri, "host"), "example:8080");
    EXPECT_STREQ(get_header(&ri, "X-A"), "1");
    EXPECT_STREQ(get_header(&ri, "empty"), "");
    EXPECT_STREQ(get_header(&ri, "H59"), "v59");
    EXPECT_EQ(get_header(&ri, "H60"), nullptr);
}

/* The lines a head may hold: bare line feeds end lines; anything two readers could split
 * differently is refused. */
TEST(HttpRequest, HeadLinesValid)
{
    std::string lines64, lines65 = "H0: v\r\n";
    for (int i = 1; i <= MAX_HTTP_HEADERS; i++) lines64 += "H" + std::to_string(i) + ": v\r\n";
    lines65 += lines64;
    const struct { int line; std::string head; bool valid; } rows[] = {
        {__LINE__, "GET / HTTP/1.1\r\n\r\n", true}, {__LINE__, "GET / HTTP/1.1\n\n", true},
        {__LINE__, "GET / HTTP/1.1\r\nHost:   a:8080\r\nE:\r\nT:\tx \r\n\r\n", true},
        {__LINE__, "GET / HTTP/1.1\nA: b\r\n\r\n", true},
        {__LINE__, "GET / HTTP/1.1\r\n" + lines64 + "\r\n", true},
        {__LINE__, "GET / HTTP/1.1\r\n" + lines65 + "\r\n", false},
        {__LINE__, "GET / HTTP/1.1\r\nHost : a\r\n\r\n", false},
        {__LINE__, "GET / HTTP/1.1\r\nHost\t: a\r\n\r\n", false},
        {__LINE__, "GET / HTTP/1.1\r\nX Y: a\r\n\r\n", false},
        {__LINE__, "GET / HTTP/1.1\r\nHost a\r\n\r\n", false},
        {__LINE__, "GET / HTTP/1.1\r\n: a\r\n\r\n", false},
        {__LINE__, "GET / HTTP/1.1\r\nA: b\rc\r\n\r\n", false},
        {__LINE__, "GET / HTTP/1.1\r\r\nA: b\r\n\r\n", false},
        {__LINE__, "GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", false},
        {__LINE__, "GET / HTTP/1.1\r\n\tA: b\r\n\r\n", false},
        {__LINE__, std::string("GET / HTTP/1.1\r\nA: b\0c\r\n\r\n", 26), false},
        {__LINE__, std::string("GET /\0 HTTP/1.1\r\n\r\n", 19), false},
    };
    for (const auto &r : rows) {
        int len = get_request_len(r.head.data(), r.head.size());
        ASSERT_EQ(len, (int) r.head.size()) << "line " << r.line;
        EXPECT_EQ(head_lines_valid(r.head.data(), len), r.valid) << "line " << r.line;
    }
}

/* The intake's loop never waits on a socket: what it does not take is kept, in order, and later
 * writes queue behind it; a peer that is gone gets nothing kept. */
TEST(HttpRequest, LoopWritesKeepWhatTheSocketRefusesInOrder)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    struct qf_connection conn {};
    conn.in_loop = true;
    conn.client.sock = sv[0];
    EXPECT_EQ(qf_write(&conn, "at once", 7), 7);
    EXPECT_EQ(conn.unsent_len, 0u);
    char got[8] = "";
    EXPECT_EQ(recv(sv[1], got, sizeof(got), 0), 7);

    const std::string fill(4096, 'f');
    while (send(sv[0], fill.data(), fill.size(), MSG_DONTWAIT) > 0) {}
    EXPECT_EQ(qf_write(&conn, "first", 5), 5);
    EXPECT_EQ(qf_write(&conn, "second", 6), 6);
    EXPECT_EQ(std::string(conn.unsent, conn.unsent_len), "firstsecond");
    const std::string huge(3 * 8192, 'h');   /* past what one answer can leave behind */
    EXPECT_LT(qf_write(&conn, huge.data(), (int) huge.size()), (int) huge.size());
    EXPECT_EQ(conn.unsent_len, 11u);
    free(conn.unsent);

    struct qf_connection gone {};
    gone.in_loop = true;
    gone.client.sock = sv[0];
    close(sv[1]);
    EXPECT_EQ(qf_write(&gone, "lost", 4), 0);
    EXPECT_EQ(gone.unsent, nullptr);
    close(sv[0]);
}

TEST(Text, UrlDecode)
{
    const struct { int line; std::string src; size_t src_len, dst_len; int form; std::string out; } cases[] = {
        {__LINE__, "a%2Fb+c", 7, 64, 0, "a/b+c"}, {__LINE__, "a%2fb+c", 7, 64, 1, "a/b c"},
        {__LINE__, "%zz%4", 5, 64, 0, "%zz%4"}, {__LINE__, "%41%", 4, 64, 0, "A%"},
        {__LINE__, "%4a%e9", 6, 64, 0, "J\xe9"},
        {__LINE__, "%41", 2, 64, 0, "%4"}, /* digits beyond src_len are not read */
        {__LINE__, "abcdef", 6, 4, 0, "abc"}, {__LINE__, "%41%42%43", 9, 3, 0, "AB"},
        {__LINE__, std::string("%00x", 4), 4, 64, 0, std::string("\0x", 2)},
    };
    for (const auto &c : cases) {
        char dst[64];
        memset(dst, 'Z', sizeof(dst));
        int n = url_decode(c.src.data(), c.src_len, dst, c.dst_len, c.form);
        ASSERT_EQ(n, (int) c.out.size()) << "line " << c.line;
        EXPECT_EQ(std::string(dst, (size_t) n + 2), c.out + '\0' + 'Z') << "line " << c.line;
    }
}

/* Hex digits of either case; decimal digits within a bound, saturating, and read as %d would. */
TEST(Text, HexDigitsAndNumbers)
{
    const struct { int line; int c, value; } hex[] = {
        {__LINE__, '0', 0}, {__LINE__, '9', 9}, {__LINE__, 'a', 10}, {__LINE__, 'F', 15},
        {__LINE__, 'g', -1}, {__LINE__, '/', -1}, {__LINE__, ':', -1}, {__LINE__, '@', -1},
        {__LINE__, (char) 0xe1, -1},
    };
    for (const auto &c : hex)
        EXPECT_EQ(hex_digit(c.c), c.value) << "line " << c.line;

    const struct { int line; const char *text; size_t bound; bool ok; uint64_t value; bool fits; size_t used; } digits[] = {
        {__LINE__, "123x", 9, true, 123, true, 3}, {__LINE__, "12345", 2, true, 12, true, 2},
        {__LINE__, " 1", 9, false, 0, true, 0}, {__LINE__, "-1", 9, false, 0, true, 0},
        {__LINE__, "1", 0, false, 0, true, 0},
        {__LINE__, "18446744073709551615", 99, true, UINT64_MAX, true, 20},
        {__LINE__, "18446744073709551616", 99, true, UINT64_MAX, false, 20},
    };
    for (const auto &c : digits) {
        const char *p = c.text;
        uint64_t v = 0;
        bool fits = true;
        EXPECT_EQ(scan_digits(&p, c.text + std::min(c.bound, strlen(c.text)), &v, &fits), c.ok) << "line " << c.line;
        EXPECT_EQ(v, c.value) << "line " << c.line;
        EXPECT_EQ(fits, c.fits) << "line " << c.line;
        EXPECT_EQ((size_t) (p - c.text), c.used) << "line " << c.line;
    }

    const struct { int line; const char *text; bool ok; int value; } ints[] = {
        {__LINE__, " \t+42,", true, 42}, {__LINE__, "-7", true, -7}, {__LINE__, "- 7", false, 0},
        {__LINE__, "99999999999", true, INT_MAX}, {__LINE__, "-2147483648", true, INT_MIN},
        {__LINE__, "-99999999999", true, INT_MIN}, {__LINE__, "x", false, 0},
    };
    for (const auto &c : ints) {
        const char *p = c.text;
        int v = 0;
        EXPECT_EQ(scan_int(&p, nullptr, &v), c.ok) << "line " << c.line;
        EXPECT_EQ(v, c.value) << "line " << c.line;
    }
}

/* Dot segments resolve as a file system would, but never above the start; clean URIs stay as they are. */
TEST(HttpRequest, CleanUri)
{
    const struct { int line; const char *uri, *clean; } cases[] = {
        {__LINE__, "/a/b.txt", "/a/b.txt"}, {__LINE__, "/", "/"}, {__LINE__, "/a/", "/a/"},
        {__LINE__, "/...", "/..."}, {__LINE__, "/.x/..y/a..", "/.x/..y/a.."},
        {__LINE__, "/./p/s", "/p/s"}, {__LINE__, "/.//p/s", "/p/s"}, {__LINE__, "//p///s", "/p/s"},
        {__LINE__, "/a/./b/.", "/a/b/"}, {__LINE__, "/a/..", "/"}, {__LINE__, "/a/../b", "/b"},
        {__LINE__, "/a/b/../../c", "/c"}, {__LINE__, "/a/b/../c/./d", "/a/c/d"},
        {__LINE__, "/../../etc/passwd", "/etc/passwd"}, {__LINE__, "/a/../../..", "/"},
        {__LINE__, "/.", "/"}, {__LINE__, "/..", "/"}, {__LINE__, "\\..\\x", "\\x"},
        {__LINE__, "/a\\.\\..\\b", "/b"}, {__LINE__, "", ""},
    };
    for (const auto &c : cases) {
        std::string uri = c.uri;
        clean_uri(&uri[0]);
        EXPECT_STREQ(uri.c_str(), c.clean) << "line " << c.line;
    }
}

/* The one form-field reader of the server, the panel's buttons and Basic Setup: whole names only,
 * values form-decoded, read within the length given. */
TEST(Text, FormFields)
{
    const struct { int line; const char *buf; size_t len; const char *name; bool any_case; const char *value; } cases[] = {
        {__LINE__, "a=1&b=2", 7, "b", true, "2"}, {__LINE__, "ab=5&b=6", 8, "b", true, "6"},
        {__LINE__, "xa=1", 4, "a", true, nullptr}, {__LINE__, "A=x+y%21&a=2", 12, "a", true, "x y!"},
        {__LINE__, "A=1&a=2", 7, "a", false, "2"}, {__LINE__, "c=b=1&b=2", 9, "b", false, "2"},
        {__LINE__, "a=&b=2", 6, "a", true, ""}, {__LINE__, "b=1&a", 5, "a", true, nullptr},
        {__LINE__, "a=12345", 4, "a", true, "12"},
        {__LINE__, "xcontrolbutton=Stop", 19, "controlbutton", false, nullptr},
        {__LINE__, "x=controlbutton=Stop", 20, "controlbutton", false, nullptr},
        {__LINE__, "controlbutton=Sto%70&c", 22, "controlbutton", false, "Stop"},
    };
    for (const auto &c : cases) {
        char dst[64];
        int n = read_form_field(c.buf, c.len, c.name, c.any_case, dst, sizeof(dst));
        EXPECT_EQ(n, c.value != nullptr ? (int) strlen(c.value) : -1) << "line " << c.line;
        EXPECT_STREQ(dst, c.value != nullptr ? c.value : "") << "line " << c.line;
        if (!c.any_case) continue;
        char *v = get_var(c.name, c.buf, c.len);
        EXPECT_STREQ(v, c.value) << "line " << c.line;
        qf_free(v);
    }

    /* qf_get_var: the body first, within its length, then the query. */
    struct qf_connection conn {};
    char query[] = "a=1&b=2", body[] = "b=3&c=4";
    conn.request_info.query_string = query;
    conn.request_info.post_data = body;
    const struct { int line; int body_len; const char *name, *value; } conn_cases[] = {
        {__LINE__, 3, "a", "1"}, {__LINE__, 3, "b", "3"},
        {__LINE__, 3, "c", nullptr}, {__LINE__, 0, "b", "2"},
    };
    for (const auto &c : conn_cases) {
        conn.request_info.post_data_len = c.body_len;
        char *v = qf_get_var(&conn, c.name);
        EXPECT_STREQ(v, c.value) << "line " << c.line;
        qf_free(v);
    }
}

TEST(HttpFiles, MimeTypeOptionFirstThenBuiltin)
{
    const struct { int line; const char *option, *path, *type; } cases[] = {
        {__LINE__, nullptr, "/a.HTML", "text/html"},
        {__LINE__, nullptr, "/dir/html", "text/plain"},
        {__LINE__, nullptr, ".html", "text/plain"}, /* a builtin must be shorter than the path */
        {__LINE__, nullptr, "/x.tar.gz", "application/x-gunzip"},
        {__LINE__, nullptr, "/pic.bmp", "image/bmp"}, /* the table's last row */
        {__LINE__, ".txt=text/x-log", "/A.TXT", "text/x-log"},
        {__LINE__, ".txt=text/x-log", "/a.css", "text/css"},
        {__LINE__, ".html=text/plain", "/index.html", "text/plain"},
        {__LINE__, ".gz=a/b,.tar.gz=c/d", "/x.tar.gz", "a/b"},
    };
    for (const auto &c : cases) {
        struct qf_context ctx {};
        pthread_rwlock_init(&ctx.opt_locks[OPT_MIME_TYPES], nullptr);
        ctx.options[OPT_MIME_TYPES] = const_cast<char *>(c.option);
        char buf[64];
        EXPECT_EQ(get_mime_type(&ctx, c.path, buf, sizeof(buf)), strlen(c.type)) << "line " << c.line;
        EXPECT_STREQ(buf, c.type) << "line " << c.line;
        pthread_rwlock_destroy(&ctx.opt_locks[OPT_MIME_TYPES]);
    }
}

}  // namespace
