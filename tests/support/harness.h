/* tests/support/harness.h: what every test includes: GoogleTest, temporary directories, the real
 * binary as a child, client sockets, polling with a deadline. */
#ifndef QF_TEST_HARNESS_H
#define QF_TEST_HARNESS_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
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

/* A copy of the built demo product directory at product/, with log/ beside it. */
struct ProductDir : TempDir {
    ProductDir();
    std::string bin() const { return file("product/"); }   /* DREVANTA_BIN */
};

bool waitFor(const std::function<bool()> &cond, int timeout_ms);   /* polls cond every 20 ms */
std::string readFile(const std::string &path);   /* "" when missing */
void writeFile(const std::string &path, const std::string &data);
void writeScript(const std::string &path, const std::string &text);   /* mode 0755 */
bool fileExists(const std::string &path);
/* Whether the file comes to hold text within timeout_ms. */
bool fileGains(const std::string &path, const std::string &text, int timeout_ms = 5000);
/* A TCP port that nothing holds on any IPv4 or IPv6 address right now: one below the kernel's
 * ephemeral range, or the first above after that is below 1024 (-1 when there is none). */
int freePort(int after = 0);
/* How often what occurs in text. */
int occurrences(const std::string &text, const std::string &what);
/* A socket of ours listening on 127.0.0.1:port, so that binding it fails; -1 when it cannot. */
int holdPort(int port);
std::string runCommand(const std::string &cmd);   /* a shell command's standard output */
std::string bodyOf(const std::string &reply);     /* what follows the header block */
std::string headerOf(const std::string &reply, const std::string &name);   /* "" when absent */
/* Processes whose parent is pid; with zombies, only the ended ones nobody collected. */
int childProcesses(pid_t pid, bool zombies = false);
int openDescriptors(pid_t pid);
/* Live processes (no zombies) that run a program below the directory prefix, in order. */
std::vector<pid_t> processesRunning(const std::string &prefix);
int threadCount(pid_t pid);
/* Threads of pid blocked in system call nr (SYS_futex: on a mutex, condition or semaphore). */
std::vector<pid_t> threadsIn(pid_t pid, long nr);
/* Whether sig is pending for process pid (or its thread tid), or pid has ended. */
bool signalled(pid_t pid, int sig, pid_t tid = 0);
/* The unread bytes of the loopback TCP socket with these ports (sent: the bytes it sent that are not
 * acknowledged yet); for a listener (remote 0), the connections it has not accepted yet. -1 when
 * there is no such socket. */
int tcpQueue(int local_port, int remote_port = 0, bool sent = false);
/* The descriptor number in process pid of its IPv4 socket local_port <-> remote_port on local_addr
 * (as /proc/net/tcp writes it: "0100007F" for 127.0.0.1); remote_port 0: the listener. -1 if none. */
int descriptorOf(pid_t pid, int local_port, int remote_port = 0, const char *local_addr = "0100007F");
/* A descriptor of our own for descriptor fd of process pid (pidfd_getfd: needs root), or -1. */
int takeDescriptor(pid_t pid, int fd);

/* Runs f on a thread of its own, so that a call that blocks by mistake fails its test instead of
 * hanging it. A call still running when the Call ends cannot be stopped safely: the test program
 * then ends at once, saying so. */
class Call {
public:
    explicit Call(std::function<void()> f);
    ~Call();
    bool returns(int timeout_ms = 10000);   /* f has returned (within timeout_ms) */

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

/* The real quillfen binary, started as a child of the test and killed on destruction. */
class ServerProcess {   /* not copyable, as its TempDir is not */
public:
    ~ServerProcess();
    /* Starts QF_BINARY with args in cwd ("" keeps ours); DREVANTA_BIN is drevanta_bin, or unset for nullptr. */
    bool start(const std::vector<std::string> &args, const char *drevanta_bin, const std::string &cwd = "");
    bool waitForOutput(const std::string &text, int timeout_ms = 10000);
    /* Sends sig (0: none) and waits: the exit status, 128 + signal, or -1 on a timeout. */
    int stop(int sig = 15, int timeout_ms = 15000);
    std::string out() const { return readFile(io_.file("stdout")); }
    std::string err() const { return readFile(io_.file("stderr")); }
    pid_t pid() const { return pid_; }
    long fdLimit = 0;   /* > 0: the descriptor limit (soft and hard) the server starts with */

private:
    pid_t pid_ = -1;
    int status_ = -1;
    TempDir io_;
};

/* Runs quillfen until it exits (usage, -A, start-up failures). */
struct RunResult { int status; std::string out, err; };
RunResult runQuillfen(const std::vector<std::string> &args, const char *drevanta_bin,
                      const std::string &cwd = "", int timeout_ms = 15000);

/* A client connection to 127.0.0.1:port, or [::1]:port when from is an IPv6 address, from that
 * address if any, driven step by step. */
struct Conn {
    /* fd is -1 when connect fails; rcvbuf > 0: our receive buffer, set before the connect */
    explicit Conn(int port, const char *from = nullptr, int rcvbuf = 0);
    ~Conn();
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;
    bool send(const std::string &data);   /* all of it */
    bool hears(int timeout_ms);           /* bytes or a close to read */
    /* What arrives until the server closes (a reset counts too: see closed), timeout_ms passes or at
     * least `enough` bytes came. */
    std::string read(int timeout_ms = 20000, size_t enough = SIZE_MAX);
    int port() const;   /* our end's */
    int fd = -1;
    bool closed = false;
};

/* Sends raw bytes over a Conn; everything sent back until close ("" when connect fails). */
std::string rawRequest(int port, const std::string &request, int timeout_ms = 10000, const char *from = nullptr);

/* "METHOD URI" with the header lines given and a body (with its Content-Length), from that address
 * if any: everything sent back until close. */
std::string ask(int port, const std::string &line, const std::string &headers = "", const std::string &body = "",
                const char *from = nullptr);

/* The server's answer to an error (send_error); HEAD gets the header block only. */
std::string errorAnswer(const std::string &code, const std::string &reason, const std::string &detail,
                        bool head = false);

/* Every Server's root holds index.html; INDEX_REQUEST asks for it. */
extern const std::string INDEX_REQUEST;
bool isIndexAnswer(const std::string &reply);   /* a 200 with exactly its body */

/* The real server on a free loopback port over a fresh tree: dir/root/ is the document root,
 * dir/error.log the error log; the rest of dir is free for the test. */
struct Server {
    Server();
    /* The default options, then extra; true once the banner shows. */
    bool start(const std::vector<std::string> &extra = {});
    std::string root(const std::string &name = "") const;   /* no trailing slash for "" */
    bool logged(const std::string &text) const { return fileGains(dir.file("error.log"), text); }
    /* "METHOD URI" with Host localhost (one of the server's own names), extra header lines and
     * a body; the whole answer. */
    std::string ask(const std::string &line, const std::string &headers = "",
                    const std::string &body = "") const;

    ProductDir product;
    TempDir dir;
    ServerProcess proc;
    const int port = freePort();
};

}  // namespace qftest

#endif
