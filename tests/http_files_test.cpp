/* tests/http_files_test.cpp: MIME lookup, Range parsing, listing size text and sort order, stream copy. */
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "http/http.h"

namespace {

TEST(HttpFilesMime, OptionThenBuiltinThenDefault)
{
    struct Row {
        int line;
        const char *option, *path, *type;
    };
    const Row rows[] = {
        {__LINE__, nullptr, "/a.HTML", "text/html"},         /* case-insensitive */
        {__LINE__, nullptr, "/dir/html", "text/plain"},      /* no dot, no match */
        {__LINE__, nullptr, ".html", "text/plain"},          /* must be shorter than the path */
        {__LINE__, nullptr, "/x.tar.gz", "application/x-gunzip"},
        {__LINE__, nullptr, "/song.ra", "audio/x-pn-realaudio"},
        {__LINE__, nullptr, "/pic.bmp", "image/bmp"},        /* last row of the table */
        {__LINE__, ".txt=text/x-log", "/A.TXT", "text/x-log"},
        {__LINE__, ".txt=text/x-log", ".txt", "text/x-log"}, /* an item may be as long as the path */
        {__LINE__, ".txt=text/x-log", "/a.css", "text/css"},
        {__LINE__, ".html=text/plain", "/index.html", "text/plain"},
        {__LINE__, ".gz=a/b,.tar.gz=c/d", "/x.tar.gz", "a/b"}, /* first item wins */
        {__LINE__, ".a=x/y,.b=p/q", "/f.b", "p/q"},
    };
    for (const Row &r : rows) {
        struct qf_context ctx {};
        pthread_mutex_init(&ctx.opt_mutexes[OPT_MIME_TYPES], nullptr);
        ctx.options[OPT_MIME_TYPES] = const_cast<char *>(r.option);
        char buf[64];
        size_t n = get_mime_type(&ctx, r.path, buf, sizeof(buf));
        EXPECT_STREQ(buf, r.type) << "row at line " << r.line;
        EXPECT_EQ(n, strlen(r.type)) << "row at line " << r.line;
        pthread_mutex_destroy(&ctx.opt_mutexes[OPT_MIME_TYPES]);
    }
}

TEST(HttpFilesRange, ParsedClampedOrRefused)
{
    struct Row {
        int line;
        const char *header;
        uint64_t size;
        enum range_result result;
        uint64_t first, last;
    };
    const Row rows[] = {
        {__LINE__, "bytes=100-199", 1000, RANGE_SATISFIABLE, 100, 199},
        {__LINE__, "bytes=900-", 1000, RANGE_SATISFIABLE, 900, 999},
        {__LINE__, "bytes=0-99", 50, RANGE_SATISFIABLE, 0, 49},
        {__LINE__, "bytes=0-18446744073709551615", 1000, RANGE_SATISFIABLE, 0, 999},
        {__LINE__, "bytes=100-199,300-399", 1000, RANGE_SATISFIABLE, 100, 199},
        {__LINE__, "bytes=5", 1000, RANGE_SATISFIABLE, 5, 999}, /* no '-': open end */
        {__LINE__, "bytes=1000-", 1000, RANGE_UNSATISFIABLE, 0, 0},
        {__LINE__, "bytes=0-", 0, RANGE_UNSATISFIABLE, 0, 0},
        {__LINE__, "bytes=99999999999999999999999-", 1000, RANGE_UNSATISFIABLE, 0, 0},
        {__LINE__, "bytes=5-3", 1000, RANGE_IGNORED, 0, 0},
        {__LINE__, "bytes=-100", 1000, RANGE_IGNORED, 0, 0},    /* suffix form unsupported */
        {__LINE__, "items=1-2", 1000, RANGE_IGNORED, 0, 0},
    };
    for (const Row &r : rows) {
        uint64_t first = 7, last = 7;
        enum range_result got = parse_range(r.header, r.size, &first, &last);
        EXPECT_EQ(got, r.result) << "row at line " << r.line;
        if (got == RANGE_SATISFIABLE && r.result == RANGE_SATISFIABLE) {
            EXPECT_EQ(first, r.first) << "row at line " << r.line;
            EXPECT_EQ(last, r.last) << "row at line " << r.line;
        }
    }
}

TEST(HttpFilesListing, SizeText)
{
    struct Row {
        int line;
        bool has_status, is_directory;
        uint64_t size;
        const char *text;
    };
    const Row rows[] = {
        {__LINE__, true, false, 1023, "1023"},      {__LINE__, true, false, 1024, "1.0k"},
        {__LINE__, true, false, 3000, "2.9k"},      {__LINE__, true, false, 1048576, "1.0M"},
        {__LINE__, true, false, 1073741823, "1024.0M"},
        {__LINE__, true, false, 1073741824, "1.0G"}, {__LINE__, true, true, 4096, "[DIRECTORY]"},
        {__LINE__, false, false, 0, "-"},
    };
    for (const Row &r : rows) {
        struct dir_entry de {};
        de.has_status = r.has_status;
        de.st.is_directory = r.is_directory;
        de.st.size = r.size;
        char buf[64];
        format_entry_size(&de, buf, sizeof(buf));
        EXPECT_STREQ(buf, r.text) << "row at line " << r.line;
    }
}

TEST(HttpFilesListing, ComparatorOrders)
{
    struct Entry {
        const char *name;
        bool is_directory;
        uint64_t size;
        time_t mtime;
    };
    struct Row {
        int line;
        const char *query;
        Entry a, b;
        int expected; /* sign of compare(a, b) */
    };
    const Entry dir = {"zz", true, 4096, 0}, file = {"aa", false, 1, 0};
    const Row rows[] = {
        {__LINE__, nullptr, dir, file, -1}, /* directories first in every order */
        {__LINE__, "nd", dir, file, -1},
        {__LINE__, "x", file, dir, 1},
        {__LINE__, nullptr, {"B", false, 0, 0}, {"a", false, 0, 0}, -1}, /* byte order */
        {__LINE__, "nd", {"a", false, 0, 0}, {"b", false, 0, 0}, 1},
        {__LINE__, "sa", {"a", false, 1ull << 63, 0}, {"b", false, 1, 0}, 1}, /* unsigned */
        {__LINE__, "sd", {"a", true, 10, 0}, {"b", true, 20, 0}, 1},
        {__LINE__, "da", {"a", false, 0, -5}, {"b", false, 0, 5}, -1},       /* signed */
        {__LINE__, "dd", {"a", false, 0, -5}, {"b", false, 0, 5}, 1},
        {__LINE__, "xd", {"a", false, 1, 1}, {"b", false, 2, 2}, 0},
    };
    for (const Row &r : rows) {
        struct qf_connection conn {};
        conn.request_info.query_string = const_cast<char *>(r.query);
        struct dir_entry a {}, b {};
        for (auto [de, e] : {std::pair{&a, &r.a}, std::pair{&b, &r.b}}) {
            de->conn = &conn;
            de->file_name = const_cast<char *>(e->name);
            de->has_status = true;
            de->st = {e->is_directory, e->size, e->mtime};
        }
        int ab = compare_dir_entries(&a, &b), ba = compare_dir_entries(&b, &a);
        EXPECT_EQ((ab > 0) - (ab < 0), r.expected) << "row at line " << r.line;
        EXPECT_EQ((ba > 0) - (ba < 0), -r.expected) << "row at line " << r.line;
    }
}

/* The copy starts where stdio stands, not where the descriptor does, for a
 * file (kernel copy) and a pipe (buffer copy) alike. */
TEST(HttpFilesStream, CopiesFromTheStreamPosition)
{
    for (bool from_pipe : {false, true}) {
        SCOPED_TRACE(from_pipe ? "pipe" : "regular file");
        int sv[2], fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        FILE *fp = from_pipe ? (pipe(fds) == 0 ? fdopen(fds[0], "rb") : nullptr) : tmpfile();
        ASSERT_NE(fp, nullptr);
        int wfd = from_pipe ? fds[1] : fileno(fp);
        ASSERT_EQ(write(wfd, "0123456789", 10), 10);
        if (from_pipe)
            close(fds[1]);
        else
            rewind(fp);

        struct qf_connection conn {};
        conn.client.sock = sv[0];
        char got[16] = "";
        EXPECT_EQ(fgetc(fp), '0');
        send_opened_file_stream(&conn, fp, 4);
        EXPECT_EQ(recv(sv[1], got, sizeof(got) - 1, MSG_DONTWAIT), 4);
        EXPECT_STREQ(got, "1234");
        EXPECT_EQ(fgetc(fp), '5'); /* the stream moved behind what was sent */
        send_opened_file_stream(&conn, fp, 100); /* shorter than announced */
        EXPECT_EQ(recv(sv[1], got, sizeof(got) - 1, MSG_DONTWAIT), 4);
        EXPECT_EQ(conn.num_bytes_sent, 8u);
        fclose(fp);
        close(sv[0]);
        close(sv[1]);
    }
}

}  // namespace
