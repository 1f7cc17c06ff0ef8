/* tests/http_put_test.cpp: put_dir, and PUT and DELETE on disk through a socket pair: refusals, broken bodies, what is left behind. */
#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "server_bare_context.h"
#include "support/harness.h"

namespace fs = std::filesystem;

namespace {

/* Every name under dir, relative and sorted, '/' behind directories. */
std::string
tree(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        std::string name = e.path().lexically_relative(dir).string();
        names.push_back(fs::is_directory(e.symlink_status()) ? name + "/" : name);
    }
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string &n : names)
        all += (all.empty() ? "" : " ") + n;
    return all;
}

TEST(HttpPut, PutDir)
{
    struct Case {
        int line;
        std::string path; /* below the test directory */
        int expected;
        int err;
        const char *tree;
    };
    const Case cases[] = {
        {__LINE__, "/f.txt", 1, 0, "file"},
        {__LINE__, "/a/b/c/f.txt", 1, 0, "a/ a/b/ a/b/c/ file"},
        {__LINE__, "/a//b/", 0, 0, "a/ a/b/ file"},
        /* nothing can be made below a file */
        {__LINE__, "/file/x", -1, ENOTDIR, "file"},
        {__LINE__, "/file/", -1, ENOTDIR, "file"},
        {__LINE__, "/" + std::string(300, 'n') + "/f", -1, ENAMETOOLONG, "file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        qftest::TempDir dir;
        qftest::writeFile(dir.file("file"), "x");
        int result = put_dir((dir.path() + c.path).c_str());
        EXPECT_EQ(result == -1 ? errno : 0, c.err);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(tree(dir.path()), c.tree);
    }
    /* the first two characters never end a directory of their own */
    EXPECT_EQ(put_dir("/"), 1);
    EXPECT_EQ(put_dir("./"), 1);
}

/* A bare context and a connection whose client is one end of a socket
 * pair: the test writes what the client sends after the headers, closes,
 * and reads the answer. Bodies stay far below the socket buffer. */
class PutRequest : public ::testing::Test {
protected:
    qftest::BareContext bare;
    struct qf_connection conn;
    qftest::TempDir root;
    int peer = -1;
    std::string block, held, method;

    void SetUp() override
    {
        qftest::writeFile(root.file("old.txt"), "old");
        memset(&conn, 0, sizeof(conn));
        conn.ctx = bare.ctx;
    }
    void TearDown() override { reset_per_request_attributes(&conn); }

    /* Runs handler on path for a request with these header lines, body
     * bytes that came with them and bytes sent later; returns the answer. */
    std::string serve(void (*handler)(struct qf_connection *, const char *),
                      const std::string &path, const std::string &m, const std::string &headers,
                      const std::string &h = "", const std::string &sent = "")
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        conn.client.sock = sv[0];
        memset(&conn.request_info, 0, sizeof(conn.request_info));
        method = m;
        block = headers + "\r\n";
        char *p = &block[0];
        parse_http_headers(&p, &conn.request_info);
        conn.request_info.request_method = &method[0];
        held = h;
        conn.request_info.post_data = &held[0];
        conn.request_info.post_data_len = (int) held.size();
        EXPECT_EQ(write(sv[1], sent.data(), sent.size()), (ssize_t) sent.size());
        shutdown(sv[1], SHUT_WR);

        handler(&conn, path.c_str());
        shutdown(sv[0], SHUT_WR);
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(sv[1], buf, sizeof(buf))) > 0)
            out.append(buf, (size_t) n);
        close(sv[0]);
        close(sv[1]);
        return out;
    }
};

TEST_F(PutRequest, Put)
{
    const std::string created = "HTTP/1.1 201 OK\r\n\r\n", replaced = "HTTP/1.1 200 OK\r\n\r\n";
    const std::string broken = "HTTP/1.1 577 Internal Server Error\r\n";
    const std::string failed = "HTTP/1.1 500 Internal Server Error\r\n";
    struct Case {
        int line;
        std::string target, headers, held, sent;
        std::string answer;  /* the start of it */
        const char *content; /* of the target afterwards; nullptr: absent */
        const char *tree;
        std::string message = ""; /* somewhere in the answer */
    };
    const Case cases[] = {
        {__LINE__, "up/new.txt", "Content-Length: 10", "abcd", "efghij", created, "abcdefghij",
         "old.txt up/ up/new.txt"},
        {__LINE__, "old.txt", "Content-Length: 0", "", "", replaced, "", "old.txt"},
        {__LINE__, "old.txt", "Content-Length: 3", "abcdef", "", replaced, "abc", "old.txt"},
        {__LINE__, "old.txt", "Content-Length: 3\r\nExpect: 100-continue", "", "xyz",
         "HTTP/1.1 100 Continue\r\n\r\n" + replaced, "xyz", "old.txt"},
        /* a body that stops short leaves the old file and makes no new one */
        {__LINE__, "old.txt", "Content-Length: 10", "abcd", "ef", broken, "old", "old.txt"},
        {__LINE__, "new.txt", "Content-Length: 100000", "", std::string(50000, 'z'), broken,
         nullptr, "old.txt"},
        /* refused before the target or its directories are touched */
        {__LINE__, "up/old.txt", "", "abc", "", "HTTP/1.1 411 Length Required\r\n", nullptr,
         "old.txt"},
        {__LINE__, "old.txt", "", "abc", "", "HTTP/1.1 411 Length Required\r\n", "old",
         "old.txt"},
        {__LINE__, "up/x", "Content-Length: -3", "", "", "HTTP/1.1 400 Bad Request\r\n",
         nullptr, "old.txt"},
        {__LINE__, "old.txt", "Content-Length: 3x", "abc", "", "HTTP/1.1 400 Bad Request\r\n",
         "old", "old.txt"},
        {__LINE__, "old.txt", "Content-Length: 99999999999999999999999", "", "",
         "HTTP/1.1 400 Bad Request\r\n", "old", "old.txt"},
        {__LINE__, "up/old.txt", "Content-Length: 3\r\nExpect: later", "abc", "",
         "HTTP/1.1 417 Expectation Failed\r\n", nullptr, "old.txt"},
        {__LINE__, "old.txt", "Content-Length: 3\r\nRange: bytes=0-2", "abc", "",
         "HTTP/1.1 501 Not Implemented\r\n", "old", "old.txt"},
        /* a directory: made at once, no body read */
        {__LINE__, "up/dir/", "Content-Length: 3", "", "", created, nullptr,
         "old.txt up/ up/dir/"},
        {__LINE__, "old.txt/x", "Content-Length: 1", "x", "", failed, nullptr, "old.txt",
         "\nput_dir(" + root.file("old.txt/x") + "): Not a directory"},
        {__LINE__, "", "Content-Length: 1", "x", "", failed, nullptr, "old.txt",
         "\nfopen(" + root.path() + "): Is a directory"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string path = root.path() + (c.target.empty() ? "" : "/" + c.target);
        fs::remove_all(root.file("up"));
        fs::remove(root.file("new.txt"));
        qftest::writeFile(root.file("old.txt"), "old");
        std::string got = serve(put_file, path, "PUT", c.headers, c.held, c.sent);
        EXPECT_EQ(got.substr(0, c.answer.size()), c.answer) << got;
        EXPECT_NE(got.find(c.message), std::string::npos) << got;
        if (c.content != nullptr) {
            EXPECT_EQ(qftest::readFile(path), c.content);
        }
        EXPECT_EQ(tree(root.path()), c.tree);
    }
}

/* A replaced file keeps its permissions: an upload must not widen them. */
TEST_F(PutRequest, ReplacedFileKeepsMode)
{
    const std::string path = root.file("old.txt");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    EXPECT_EQ(serve(put_file, path, "PUT", "Content-Length: 3", "new"), "HTTP/1.1 200 OK\r\n\r\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(PutRequest, Delete)
{
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 14\r\n"
                           "Connection: close\r\n\r\nError 200: OK\n";
    struct Case {
        int line;
        std::string target, answer;
        const char *tree;
    };
    const Case cases[] = {
        {__LINE__, "/old.txt", ok, "d/ d/g.txt link"},
        /* the link goes, what it points at stays */
        {__LINE__, "/link", ok, "d/ d/g.txt old.txt"},
        {__LINE__, "/missing", "HTTP/1.1 404 Not Found\r\n", "d/ d/g.txt link old.txt"},
        {__LINE__, "/old.txt/x", "HTTP/1.1 404 Not Found\r\n", "d/ d/g.txt link old.txt"},
        /* no directory, not even an empty one or the root itself */
        {__LINE__, "/d", "HTTP/1.1 403 Forbidden\r\n", "d/ d/g.txt link old.txt"},
        {__LINE__, "/d/e/", "HTTP/1.1 403 Forbidden\r\n", "d/ d/e/ d/g.txt link old.txt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        qftest::TempDir dir;
        qftest::writeFile(dir.file("old.txt"), "f");
        ASSERT_TRUE(fs::create_directories(dir.file("d/e")));
        qftest::writeFile(dir.file("d/g.txt"), "g");
        ASSERT_EQ(symlink("d/g.txt", dir.file("link").c_str()), 0);
        if (c.target != "/d/e/")
            fs::remove(dir.file("d/e"));
        std::string got = serve(delete_file, dir.path() + c.target, "DELETE", "");
        EXPECT_EQ(got.substr(0, c.answer.size()), c.answer) << got;
        EXPECT_EQ(tree(dir.path()), c.tree);
    }
}

}  // namespace
