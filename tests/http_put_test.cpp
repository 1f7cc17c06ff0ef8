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

/* Every name under dir, relative and sorted, with '/' behind directories. */
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
        const char *path; /* below the test directory */
        int expected;
        int err;          /* errno when expected is -1 */
        const char *tree; /* the directory afterwards */
    };
    const std::string long_name(300, 'n');
    const Case cases[] = {
        {__LINE__, "/f.txt", 1, 0, "file"},
        {__LINE__, "/a/b/c/f.txt", 1, 0, "a/ a/b/ a/b/c/ file"},
        {__LINE__, "/a/b/", 0, 0, "a/ a/b/ file"},
        {__LINE__, "/a//b/", 0, 0, "a/ a/b/ file"},
        {__LINE__, "/d/", 0, 0, "d/ file"},
        /* nothing can be made below a file */
        {__LINE__, "/file/x", -1, ENOTDIR, "file"},
        {__LINE__, "/file/", -1, ENOTDIR, "file"},
        {__LINE__, "/a/file/b/x", 1, 0, "a/ a/file/ a/file/b/ file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        qftest::TempDir dir;
        qftest::writeFile(dir.file("file"), "x");
        std::string path = dir.path() + c.path;
        errno = 0;
        EXPECT_EQ(put_dir(path.c_str()), c.expected);
        if (c.expected == -1) {
            EXPECT_EQ(errno, c.err);
        }
        EXPECT_EQ(tree(dir.path()), c.tree);
    }

    /* new directories get 0755, less the umask */
    qftest::TempDir dir;
    mode_t mask = umask(022);
    ASSERT_EQ(put_dir((dir.path() + "/m/f").c_str()), 1);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(dir.file("m").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    /* a failing mkdir is reported with its errno */
    EXPECT_EQ(put_dir((dir.path() + "/" + long_name + "/f").c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);

    /* the first two characters never end a directory of their own */
    EXPECT_EQ(put_dir("/"), 1);
    EXPECT_EQ(put_dir("./"), 1);
}

/* A bare context and a connection whose client is one end of a socket
 * pair: the test writes what the client still sends, then reads what the
 * server answered. */
class PutRequest : public ::testing::Test {
protected:
    qftest::BareContext bare;
    struct qf_connection conn;
    qftest::TempDir dir;
    int peer = -1;
    std::string block, held, method = "PUT";

    void SetUp() override
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        memset(&conn, 0, sizeof(conn));
        conn.ctx = bare.ctx;
        conn.client.sock = sv[0];
        peer = sv[1];
    }
    void TearDown() override
    {
        reset_per_request_attributes(&conn);
        close(conn.client.sock);
        close(peer);
    }

    /* headers: the header lines; held: body bytes that came with them;
     * sent: what arrives later, before the client closes. */
    void request(const std::string &m, const std::string &headers, const std::string &h,
                 const std::string &sent)
    {
        memset(&conn.request_info, 0, sizeof(conn.request_info));
        method = m;
        block = headers + "\r\n";
        char *p = &block[0];
        parse_http_headers(&p, &conn.request_info);
        conn.request_info.request_method = &method[0];
        held = h;
        conn.request_info.post_data = &held[0];
        conn.request_info.post_data_len = (int) held.size();
        ASSERT_EQ(write(peer, sent.data(), sent.size()), (ssize_t) sent.size());
        shutdown(peer, SHUT_WR);
    }

    std::string answer()
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

TEST_F(PutRequest, Put)
{
    struct Case {
        int line;
        const char *target; /* below the test directory */
        std::string headers, held, sent;
        std::string answer; /* the start of what the server sent */
        const char *content; /* of the target afterwards; nullptr: absent */
        const char *tree;
    };
    const std::string created = "HTTP/1.1 201 OK\r\n\r\n", replaced = "HTTP/1.1 200 OK\r\n\r\n";
    const std::string broken = "HTTP/1.1 577 Internal Server Error\r\n";
    const Case cases[] = {
        {__LINE__, "new.txt", "Content-Length: 5\r\n", "hello", "", created, "hello",
         "new.txt old.txt"},
        {__LINE__, "up/new.txt", "Content-Length: 10\r\n", "abcd", "efghij", created,
         "abcdefghij", "old.txt up/ up/new.txt"},
        {__LINE__, "old.txt", "Content-Length: 3\r\n", "new", "", replaced, "new", "old.txt"},
        {__LINE__, "old.txt", "Content-Length: 0\r\n", "", "", replaced, "", "old.txt"},
        {__LINE__, "old.txt", "Content-Length: 3\r\n", "abcdef", "", replaced, "abc", "old.txt"},
        {__LINE__, "old.txt", "Content-Length: 3\r\nExpect: 100-continue\r\n", "", "xyz",
         "HTTP/1.1 100 Continue\r\n\r\n" + replaced, "xyz", "old.txt"},
        /* a body that stops short leaves the old file and makes no new one */
        {__LINE__, "old.txt", "Content-Length: 10\r\n", "abcd", "ef", broken, "old", "old.txt"},
        {__LINE__, "new.txt", "Content-Length: 100000\r\n", "", std::string(50000, 'z'), broken,
         nullptr, "old.txt"},
        /* refused before the target or its directories are touched */
        {__LINE__, "up/old.txt", "", "abc", "", "HTTP/1.1 411 Length Required\r\n", nullptr,
         "old.txt"},
        {__LINE__, "old.txt", "", "abc", "", "HTTP/1.1 411 Length Required\r\n", "old",
         "old.txt"},
        {__LINE__, "up/x", "Content-Length: -3\r\n", "", "", "HTTP/1.1 400 Bad Request\r\n",
         nullptr, "old.txt"},
        {__LINE__, "old.txt", "Content-Length: 3x\r\n", "abc", "", "HTTP/1.1 400 Bad Request\r\n",
         "old", "old.txt"},
        {__LINE__, "old.txt", "Content-Length: 99999999999999999999999\r\n", "", "",
         "HTTP/1.1 400 Bad Request\r\n", "old", "old.txt"},
        {__LINE__, "up/old.txt", "Content-Length: 3\r\nExpect: later\r\n", "abc", "",
         "HTTP/1.1 417 Expectation Failed\r\n", nullptr, "old.txt"},
        {__LINE__, "old.txt", "Content-Length: 3\r\nRange: bytes=0-2\r\n", "abc", "",
         "HTTP/1.1 501 Not Implemented\r\n", "old", "old.txt"},
        /* a directory: made at once, no body read */
        {__LINE__, "up/dir/", "Content-Length: 3\r\n", "", "", created, nullptr,
         "old.txt up/ up/dir/"},
        {__LINE__, "old.txt/x", "Content-Length: 1\r\n", "x", "",
         "HTTP/1.1 500 Internal Server Error\r\n", nullptr, "old.txt"},
        {__LINE__, "", "Content-Length: 1\r\n", "x", "", "HTTP/1.1 500 Internal Server Error\r\n",
         nullptr, "old.txt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        TearDown();
        SetUp();
        qftest::TempDir root;
        qftest::writeFile(root.file("old.txt"), "old");
        std::string path = root.path() + (c.target[0] != '\0' ? "/" + std::string(c.target) : "");
        request("PUT", c.headers, c.held, c.sent);
        put_file(&conn, path.c_str());
        std::string got = answer();
        EXPECT_EQ(got.substr(0, c.answer.size()), c.answer) << got;
        std::string target = c.target;
        if (c.content != nullptr) {
            EXPECT_EQ(qftest::readFile(path), c.content);
        } else if (!target.empty() && target.back() != '/') {
            EXPECT_FALSE(qftest::fileExists(path));
        }
        EXPECT_EQ(tree(root.path()), c.tree);
    }
}

TEST_F(PutRequest, PutMessages)
{
    const std::string file = dir.file("f");
    struct Case {
        int line;
        std::string target, body;
    };
    const Case cases[] = {
        {__LINE__, dir.path(), "fopen(" + dir.path() + "): Is a directory"},
        {__LINE__, file + "/x", "put_dir(" + file + "/x): Not a directory"},
    };
    qftest::writeFile(file, "f");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        TearDown();
        SetUp();
        request("PUT", "Content-Length: 1\r\n", "x", "");
        put_file(&conn, c.target.c_str());
        std::string got = answer();
        EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4),
                  "Error 500: Internal Server Error\n" + c.body);
    }
}

/* A replaced file keeps its permissions: an upload must not widen them. */
TEST_F(PutRequest, ReplacedFileKeepsMode)
{
    const std::string path = dir.file("private.txt");
    qftest::writeFile(path, "old");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    request("PUT", "Content-Length: 3\r\n", "new", "");
    put_file(&conn, path.c_str());
    EXPECT_EQ(answer(), "HTTP/1.1 200 OK\r\n\r\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(qftest::readFile(path), "new");
}

TEST_F(PutRequest, Delete)
{
    struct Case {
        int line;
        const char *target;
        std::string answer;
        const char *tree;
    };
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 14\r\n"
                           "Connection: close\r\n\r\nError 200: OK\n";
    const Case cases[] = {
        {__LINE__, "f.txt", ok, "d/ d/g.txt link"},
        /* the link goes, what it points at stays */
        {__LINE__, "link", ok, "d/ d/g.txt f.txt"},
        {__LINE__, "missing", "HTTP/1.1 404 Not Found\r\n", "d/ d/g.txt f.txt link"},
        {__LINE__, "f.txt/x", "HTTP/1.1 404 Not Found\r\n", "d/ d/g.txt f.txt link"},
        {__LINE__, "d", "HTTP/1.1 403 Forbidden\r\n", "d/ d/g.txt f.txt link"},
        {__LINE__, "d/", "HTTP/1.1 403 Forbidden\r\n", "d/ d/g.txt f.txt link"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        TearDown();
        SetUp();
        qftest::TempDir root;
        qftest::writeFile(root.file("f.txt"), "f");
        ASSERT_EQ(mkdir(root.file("d").c_str(), 0755), 0);
        qftest::writeFile(root.file("d/g.txt"), "g");
        ASSERT_EQ(symlink("d/g.txt", root.file("link").c_str()), 0);
        request("DELETE", "", "", "");
        delete_file(&conn, root.file(c.target).c_str());
        std::string got = answer();
        EXPECT_EQ(got.substr(0, c.answer.size()), c.answer) << got;
        EXPECT_EQ(tree(root.path()), c.tree);
    }

    /* an empty directory, even the root itself, is not deleted either */
    qftest::TempDir empty;
    TearDown();
    SetUp();
    request("DELETE", "", "", "");
    delete_file(&conn, (empty.path() + "/").c_str());
    EXPECT_EQ(answer().substr(0, 24), "HTTP/1.1 403 Forbidden\r\n");
    EXPECT_TRUE(qftest::fileExists(empty.path()));
}

}  // namespace
