/* tests/support/harness.h: what the tests share: temporary directories, a
 * copy of the demo product directory, the real binary started as a child
 * with its output captured, free loopback ports, and polling with a deadline. */
#ifndef QF_TEST_HARNESS_H
#define QF_TEST_HARNESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace qftest {

/* A fresh directory under /tmp, removed with everything in it on destruction. */
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }   /* no trailing slash */
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

/* A temporary product directory: a copy of the built demo product directory
 * (data files and the stand-in service programs) at TempDir/product/, with
 * TempDir/log/ beside it for the application log. */
class ProductDir {
public:
    ProductDir();
    std::string bin() const { return tmp_.path() + "/product/"; }  /* DREVANTA_BIN */
    std::string file(const std::string &name) const { return bin() + name; }
    std::string appLog() const { return tmp_.path() + "/log/errLog"; }
    const TempDir &tmp() const { return tmp_; }

private:
    TempDir tmp_;
};

/* Polls cond every 20 ms until it is true or timeout_ms has passed. */
bool waitFor(const std::function<bool()> &cond, int timeout_ms);

std::string readFile(const std::string &path);   /* "" when missing */
void writeFile(const std::string &path, const std::string &data);
bool fileExists(const std::string &path);

/* A loopback TCP port that nothing listens on right now. */
int freePort();

/* The real quillfen binary, started as a child of the test. */
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();   /* kills the child if it still runs */
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    /* Starts QF_BINARY with args (argv[1..]) in cwd ("" keeps the test's
     * own). drevanta_bin is put in the environment as DREVANTA_BIN unless it
     * is nullptr, in which case the variable is removed. */
    bool start(const std::vector<std::string> &args, const char *drevanta_bin,
               const std::string &cwd = "");

    /* Waits until standard output holds text. */
    bool waitForOutput(const std::string &text, int timeout_ms = 10000);
    /* Waits for the child to end; its exit status, or -1 on a timeout, or
     * 128 + signal when a signal ended it. */
    int waitExit(int timeout_ms = 15000);
    /* Sends sig and waits for the end. */
    int stop(int sig = 15, int timeout_ms = 15000);

    std::string out() const;   /* standard output so far */
    std::string err() const;   /* standard error so far */
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    TempDir io_;
};

/* Runs a quillfen with the given args until it exits; for modes that end by
 * themselves (usage, -A, start-up failures). */
struct RunResult {
    int status;
    std::string out;
    std::string err;
};
RunResult runQuillfen(const std::vector<std::string> &args, const char *drevanta_bin,
                      const std::string &cwd = "", int timeout_ms = 15000);

/* Sends raw bytes to 127.0.0.1:port and returns everything the server sends
 * back until it closes the connection ("" when the connection fails). */
std::string rawRequest(int port, const std::string &request, int timeout_ms = 10000);

}  // namespace qftest

#endif
