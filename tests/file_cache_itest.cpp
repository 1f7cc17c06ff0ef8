/* tests/file_cache_itest.cpp: what a loop remembers of the small files it serves never outlives
 * the file. With file_cache 0 a change on disk is served at once, however it was made; with
 * file_cache on, what the server changes itself (PUT, DELETE) is too, and a change made behind
 * its back within the option's seconds. */
#include <fcntl.h>
#include <sys/stat.h>

#include "support/harness.h"

using namespace qftest;

namespace {

/* Waits until the file's times lie far enough back for a loop to hold its body. */
bool settled(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    time_t last = std::max(st.st_mtime, st.st_ctime);
    return waitFor([&] { return time(nullptr) >= last + 3; }, 6000);
}

/* Puts the modification time of path back to what `was` says. */
void putTimesBack(const std::string &path, const struct stat &was)
{
    struct timespec times[2] = {was.st_atim, was.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

}  // namespace

TEST(FileCache, ChangesOnDiskAreServedAtOnce)
{
    Server s;
    std::string a = s.root("a.txt");
    writeFile(a, "0123456789");
    ASSERT_TRUE(s.start()) << s.proc.err();
    ASSERT_TRUE(settled(a));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(bodyOf(s.ask("GET /a.txt")), "0123456789");

    /* Ranges and HEAD from what is held. */
    std::string range = s.ask("GET /a.txt", "Range: bytes=2-4\r\n");
    EXPECT_NE(range.find("206 Partial Content"), std::string::npos) << range;
    EXPECT_EQ(bodyOf(range), "234");
    std::string head = s.ask("HEAD /a.txt");
    EXPECT_EQ(headerOf(head, "Content-Length"), "10");
    EXPECT_EQ(bodyOf(head), "");
    std::string refused = s.ask("GET /a.txt", "Range: bytes=100-\r\n");
    EXPECT_EQ(refused.find("HTTP/1.1 416 "), 0u) << refused;
    EXPECT_EQ(headerOf(refused, "Content-Range"), "bytes */10");
    EXPECT_EQ(bodyOf(refused), "");

    /* Same size, modification time put back: only the change time tells. */
    struct stat was;
    ASSERT_EQ(stat(a.c_str(), &was), 0);
    writeFile(a, "abcdefghij");
    putTimesBack(a, was);
    EXPECT_EQ(bodyOf(s.ask("GET /a.txt")), "abcdefghij");

    /* Held again, then replaced by another file with the old times. */
    ASSERT_TRUE(settled(a));
    EXPECT_EQ(bodyOf(s.ask("GET /a.txt")), "abcdefghij");
    writeFile(a + ".new", "ABCDEFGHIJ");
    putTimesBack(a + ".new", was);
    ASSERT_EQ(rename((a + ".new").c_str(), a.c_str()), 0);
    EXPECT_EQ(bodyOf(s.ask("GET /a.txt")), "ABCDEFGHIJ");

    /* Unreadable, then gone. */
    ASSERT_TRUE(settled(a));
    EXPECT_EQ(bodyOf(s.ask("GET /a.txt")), "ABCDEFGHIJ");
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(a.c_str(), 0), 0);
        EXPECT_NE(s.ask("GET /a.txt").find("HTTP/1.1 500 "), std::string::npos);
        ASSERT_EQ(chmod(a.c_str(), 0644), 0);
    }
    ASSERT_EQ(unlink(a.c_str()), 0);
    EXPECT_NE(s.ask("GET /a.txt").find("HTTP/1.1 404 "), std::string::npos);

    /* A password file put beside it protects it at once. */
    writeFile(a, "0123456789");
    ASSERT_TRUE(settled(a));
    EXPECT_EQ(bodyOf(s.ask("GET /a.txt")), "0123456789");
    writeFile(s.root(".htpasswd"), "user:example.com:0123456789abcdef0123456789abcdef\n");
    EXPECT_NE(s.ask("GET /a.txt").find("HTTP/1.1 401 "), std::string::npos);
}

TEST(FileCache, TrustedForItsSecondsButNotPastTheServersOwnChanges)
{
    if (system("command -v curl >/dev/null") != 0)
        GTEST_SKIP() << "curl is not installed";
    Server s;
    std::string a = s.root("a.txt"), pw = s.dir.file("putpw");
    writeFile(a, "first");
    runQuillfen({"-A", pw, "example.com", "bob", "pw"}, s.product.bin().c_str());
    ASSERT_TRUE(s.start({"-file_cache", "2", "-auth_PUT", pw})) << s.proc.err();
    ASSERT_TRUE(settled(a));
    EXPECT_EQ(bodyOf(s.ask("GET /a.txt")), "first");

    /* Changed behind the server's back: seen once the seconds are over. */
    writeFile(a, "second");
    EXPECT_TRUE(waitFor([&] { return bodyOf(s.ask("GET /a.txt")) == "second"; }, 5000));

    /* A password file put there by hand protects within the seconds too. */
    writeFile(s.root(".htpasswd"), "user:example.com:0123456789abcdef0123456789abcdef\n");
    EXPECT_TRUE(waitFor([&] { return s.ask("GET /a.txt").find("HTTP/1.1 401 ") == 0; }, 5000));
    ASSERT_EQ(unlink(s.root(".htpasswd").c_str()), 0);
    EXPECT_TRUE(waitFor([&] { return bodyOf(s.ask("GET /a.txt")) == "second"; }, 5000));

    /* What the server writes or removes itself is served at once. */
    std::string url = " http://127.0.0.1:" + std::to_string(s.port) + "/a.txt";
    writeFile(s.dir.file("upload"), "third");
    EXPECT_EQ(runCommand("curl -s -o /dev/null -w '%{http_code}' --digest -u bob:pw -T " +
                         s.dir.file("upload") + url), "200");
    EXPECT_EQ(bodyOf(s.ask("GET /a.txt")), "third");
    EXPECT_EQ(runCommand("curl -s -o /dev/null -w '%{http_code}' --digest -u bob:pw -X DELETE" + url),
              "200");
    EXPECT_EQ(s.ask("GET /a.txt").find("HTTP/1.1 404 "), 0u);
}
