/* tests/front_signals_itest.cpp: what an operator does to a running server: rotate its logs
 * (SIGUSR1), change its configuration (SIGHUP), and what systemd hears on NOTIFY_SOCKET. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

#include "support/harness.h"

using namespace qftest;

namespace {

/* A unix datagram socket of our own, given to the server as NOTIFY_SOCKET. */
class NotifySocket {
public:
    explicit NotifySocket(const std::string &path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof(a.sun_path), "%s", path.c_str());
        bound_ = fd_ >= 0 && bind(fd_, (struct sockaddr *) &a, sizeof(a)) == 0;
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~NotifySocket()
    {
        unsetenv("NOTIFY_SOCKET");
        if (fd_ >= 0) close(fd_);
    }
    bool bound() const { return bound_; }
    /* The next message, "" when none comes in time. */
    std::string next(int timeout_ms = 10000)
    {
        std::string msg;
        waitFor([&] {
            char buf[4096];
            ssize_t n = recv(fd_, buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0) msg.assign(buf, (size_t) n);
            return n > 0;
        }, timeout_ms);
        return msg;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

/* A free port that is none of these. */
int otherPort(const std::vector<int> &taken)
{
    for (;;) {
        int p = freePort();
        if (std::find(taken.begin(), taken.end(), p) == taken.end()) return p;
    }
}

bool answers(int port)
{
    return isIndexAnswer(rawRequest(port, INDEX_REQUEST, 5000));
}

bool refused(int port)
{
    Conn c(port);
    return c.fd == -1;
}

/* Every line of the files, each checked to be whole. */
std::vector<std::string> wholeLines(const std::vector<std::string> &files, std::string *broken)
{
    std::vector<std::string> lines;
    for (const std::string &f : files) {
        std::string text = readFile(f);
        if (!text.empty() && text.back() != '\n') *broken += f + " ends inside a line; ";
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
    }
    return lines;
}

class LogRotation : public ::testing::Test {
protected:
    /* Clients ask without pause, each request marked by its User-Agent, while the logs are renamed
     * and reopened twice; every request must be answered and logged exactly once, whole. */
    void rotateUnderLoad(const std::vector<std::string> &extra)
    {
        const std::string log = logs + "/access.log";
        std::vector<std::string> args = {"-access_log", log, "-error_log", logs + "/error.log"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(srv.start(args)) << srv.proc.err();

        std::atomic<bool> stop{false};
        std::atomic<int> sent{0}, failed{0};
        auto client = [&](int id) {
            for (int n = 0; !stop; n++) {
                std::string mark = "c" + std::to_string(id) + "-" + std::to_string(n);
                std::string reply = rawRequest(srv.port, "GET /index.html HTTP/1.1\r\nHost: x\r\nUser-Agent: " +
                                                             mark + "\r\n\r\n");
                sent++;
                if (!isIndexAnswer(reply)) failed++;
            }
        };
        std::thread a(client, 1), b(client, 2);
        for (int round = 1; round <= 2; round++) {
            int before = sent;
            EXPECT_TRUE(waitFor([&] { return sent > before + 50; }, 10000));
            ASSERT_EQ(rename(log.c_str(), (log + "." + std::to_string(round)).c_str()), 0);
            kill(srv.proc.pid(), SIGUSR1);
            EXPECT_TRUE(waitFor([&] { return readFile(log).size() > 1000; }, 10000)) << "round " << round;
        }
        stop = true;
        a.join();
        b.join();

        EXPECT_EQ(failed, 0);
        /* a line may follow its answer by a moment */
        std::string broken;
        std::vector<std::string> lines;
        waitFor([&] {
            broken.clear();
            lines = wholeLines({log + ".1", log + ".2", log}, &broken);
            return (int) lines.size() >= sent;
        }, 5000);
        EXPECT_EQ(broken, "");
        EXPECT_FALSE(readFile(log + ".1").empty());
        EXPECT_FALSE(readFile(log + ".2").empty());
        std::map<std::string, int> seen;
        const std::regex whole(R"re(127\.0\.0\.1 - - \[[^\]]+\] "GET /index\.html HTTP/1\.1" 200 \d+ - "(c\d-\d+)")re");
        for (const std::string &line : lines) {
            std::smatch m;
            if (std::regex_match(line, m, whole)) seen[m[1]]++;
            else ADD_FAILURE() << "not a whole line: [" << line << "]";
        }
        EXPECT_EQ((int) seen.size(), sent.load());
        for (const auto &[mark, count] : seen) EXPECT_EQ(count, 1) << mark;

        /* The error log moves too. */
        ASSERT_EQ(rename((logs + "/error.log").c_str(), (logs + "/error.log.1").c_str()), 0);
        kill(srv.proc.pid(), SIGUSR1);
        ASSERT_TRUE(waitFor([&] { return fileExists(logs + "/error.log"); }, 10000));
        rawRequest(srv.port, "GET /after-rotation HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_TRUE(fileGains(logs + "/error.log", "GET /after-rotation"));
        EXPECT_EQ(readFile(logs + "/error.log.1").find("/after-rotation"), std::string::npos);
    }

    Server srv;
    std::string logs = srv.dir.file("log");
};

TEST_F(LogRotation, EveryRequestLoggedOnceAndWholeAcrossSigusr1)
{
    ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
    rotateUnderLoad({});
}

/* As packaged: the log directory belongs to the service's account, the server drops to it. */
TEST_F(LogRotation, ReopensAfterSwitchingUser)
{
    if (geteuid() != 0) GTEST_SKIP() << "not root: the switch to another user cannot be shown";
    struct passwd *user = getpwnam("nobody");
    if (user == nullptr) GTEST_SKIP() << "no user nobody";
    ASSERT_EQ(mkdir(logs.c_str(), 0750), 0);
    ASSERT_EQ(chown(logs.c_str(), user->pw_uid, user->pw_gid), 0);
    runCommand("chmod 755 " + srv.dir.path() + " && chown -R nobody " + srv.product.path());
    rotateUnderLoad({"-uid", "nobody"});
}

/* A path that cannot be opened keeps the old file, and says so once. */
TEST_F(LogRotation, FailedReopenKeepsTheOldFile)
{
    ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
    const std::string alog = logs + "/access.log", elog = logs + "/error.log";
    ASSERT_TRUE(srv.start({"-access_log", alog, "-error_log", elog})) << srv.proc.err();
    ASSERT_EQ(rename(alog.c_str(), (alog + ".1").c_str()), 0);
    ASSERT_EQ(rename(elog.c_str(), (elog + ".1").c_str()), 0);
    ASSERT_EQ(mkdir(alog.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(elog.c_str(), 0755), 0);
    kill(srv.proc.pid(), SIGUSR1);

    const std::string access_said = "reopen_log(" + alog + "): Is a directory; the old file stays in use";
    EXPECT_TRUE(fileGains(elog + ".1", access_said));
    EXPECT_TRUE(waitFor([&] {
        return srv.proc.err().find("reopen_log(" + elog + "): Is a directory; the old file stays in use\n") !=
               std::string::npos;
    }, 5000)) << srv.proc.err();
    EXPECT_TRUE(answers(srv.port));
    EXPECT_TRUE(fileGains(alog + ".1", "GET /index.html"));
    std::string text = readFile(elog + ".1");
    EXPECT_EQ(text.find(access_said), text.rfind(access_said)) << "said more than once";
}

class Reload : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(notify.bound());
        conf = srv.dir.file("q.conf");
    }
    void writeConf(const std::string &ports, const std::string &more = "")
    {
        writeFile(conf, "# the test's\nports " + ports + "\nroot " + srv.root() + "\nerror_log " +
                            srv.dir.file("error.log") + "\n" + more);
    }
    /* SIGHUP, and systemd's two notices around it. */
    void reload()
    {
        kill(srv.proc.pid(), SIGHUP);
        EXPECT_NE(notify.next().find("RELOADING=1\n"), std::string::npos);
        EXPECT_EQ(notify.next(), "READY=1");
    }

    Server srv;
    NotifySocket notify{srv.dir.file("notify")};
    std::string conf;
    int a = srv.port, b = otherPort({a}), held = otherPort({a, b});
};

/* READY=1 comes once the port answers, STOPPING=1 when it begins to stop; a reload applies the
 * new file (a new port answers, a removed one stops) and a connection in progress finishes. */
TEST_F(Reload, NewFileAppliedWhileAConnectionFinishes)
{
    writeConf("127.0.0.1:" + std::to_string(a));
    ASSERT_TRUE(srv.proc.start({conf}, srv.product.bin().c_str()));
    ASSERT_EQ(notify.next(), "READY=1") << srv.proc.err();
    EXPECT_TRUE(answers(a));

    Conn pending(a);
    ASSERT_TRUE(pending.send("GET /index.html HTTP/1.1\r\nHost: x\r\n"));
    /* in progress: accepted, its head half read (one still in the kernel's backlog goes with it) */
    ASSERT_TRUE(waitFor([&] { return tcpQueue(a) == 0; }, 5000));
    writeConf("127.0.0.1:" + std::to_string(b), "aliases /other/=" + srv.root() + "/\n");
    reload();
    EXPECT_TRUE(answers(b));
    EXPECT_TRUE(refused(a));
    EXPECT_TRUE(isIndexAnswer(rawRequest(b, "GET /other/index.html HTTP/1.1\r\nHost: x\r\n\r\n")));
    ASSERT_TRUE(pending.send("\r\n"));
    EXPECT_TRUE(isIndexAnswer(pending.read()));
    EXPECT_TRUE(srv.logged("q.conf: reloaded, 2 option(s) applied"));

    EXPECT_EQ(srv.proc.stop(SIGTERM), 0);
    EXPECT_EQ(notify.next(), "STOPPING=1");
}

/* A file with a mistake anywhere changes nothing, and the error log names the line. */
TEST_F(Reload, ABadFileChangesNothing)
{
    /* a port of the test's own, so that binding it fails */
    const int holder = holdPort(held);
    ASSERT_GE(holder, 0);

    writeConf("127.0.0.1:" + std::to_string(a), "aliases /other/=" + srv.root() + "/\n");
    ASSERT_TRUE(srv.proc.start({conf}, srv.product.bin().c_str()));
    ASSERT_EQ(notify.next(), "READY=1") << srv.proc.err();

    const std::string new_port = "127.0.0.1:" + std::to_string(b);
    const struct { int line; std::string more, said; } cases[] = {
        {__LINE__, "no_such 1\n", "q.conf: line 5: No such option: [no_such]; nothing changed"},
        {__LINE__, "dir_list no\nports\n", "q.conf: line 6 is invalid; nothing changed"},
        {__LINE__, "acl +10.0.0.0/33\n", "q.conf: line 5: acl [+10.0.0.0/33] refused; nothing changed"},
        {__LINE__, "root " + srv.dir.file("no-such-dir") + "\n", "q.conf: line 5: root [" +
                                                                    srv.dir.file("no-such-dir") + "] refused"},
        /* refused only once applied: what came before it is undone */
        {__LINE__, "max_threads 0\n", "q.conf: line 5: max_threads refused; nothing changed"},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.line);
        writeConf(new_port, k.more);
        reload();
        EXPECT_TRUE(srv.logged(k.said));
        EXPECT_TRUE(answers(a));
        EXPECT_TRUE(refused(b));
        EXPECT_TRUE(isIndexAnswer(rawRequest(a, "GET /other/index.html HTTP/1.1\r\nHost: x\r\n\r\n")));
    }
    /* a port that cannot be bound: the old ports stay */
    writeConf("127.0.0.1:" + std::to_string(held));
    reload();
    EXPECT_TRUE(srv.logged("q.conf: line 2: ports refused; nothing changed"));
    EXPECT_TRUE(answers(a));
    EXPECT_TRUE(isIndexAnswer(rawRequest(a, "GET /other/index.html HTTP/1.1\r\nHost: x\r\n\r\n")));
    close(holder);
}

}  // namespace
