/* tests/cgi_itest.cpp: CGI programs and SSI pages served by the real binary. */
#include <gtest/gtest.h>

#include <ctype.h>
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server_bare_context.h"
#include "support/harness.h"

namespace {

const char PLAIN[] = "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n";
const char PLAIN_HEAD[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";

void script(const std::string &path, const std::string &text)
{
    qftest::writeFile(path, text);
    chmod(path.c_str(), 0755);
}

/* Children of pid that have ended but were never collected. */
int zombieChildren(pid_t pid)
{
    int zombies = 0;
    DIR *d = opendir("/proc");
    for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
        std::string stat = qftest::readFile(std::string("/proc/") + e->d_name + "/stat");
        char state = 0;
        int ppid = 0;
        size_t paren = stat.rfind(')');
        if (paren != std::string::npos && sscanf(&stat[paren + 1], " %c %d", &state, &ppid) == 2)
            zombies += state == 'Z' && ppid == pid;
    }
    if (d != nullptr) closedir(d);
    return zombies;
}

/* Threads of pid blocked in system call nr. */
std::vector<pid_t> threadsIn(pid_t pid, long nr)
{
    std::vector<pid_t> tids;
    const std::string task = "/proc/" + std::to_string(pid) + "/task/";
    DIR *d = opendir(task.c_str());
    for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
        std::string call = qftest::readFile(task + e->d_name + "/syscall");
        if (e->d_name[0] != '.' && !call.empty() && isdigit((unsigned char) call[0]) &&
            atol(call.c_str()) == nr)
            tids.push_back(atoi(e->d_name));
    }
    if (d != nullptr) closedir(d);
    return tids;
}

bool signalPending(pid_t pid, pid_t tid, int sig)
{
    std::string st = qftest::readFile("/proc/" + std::to_string(pid) + "/task/" +
                                      std::to_string(tid) + "/status");
    size_t at = st.find("\nSigPnd:");
    return at != std::string::npos && ((strtoull(&st[at + 8], nullptr, 16) >> (sig - 1)) & 1);
}

/* Everything fd receives until the peer closes or timeout_ms passes. */
std::string readToClose(int fd, int timeout_ms)
{
    std::string data;
    char buf[65536];
    struct pollfd pfd = {fd, POLLIN, 0};
    for (ssize_t n = 1; n > 0 && poll(&pfd, 1, timeout_ms) == 1;)
        if ((n = recv(fd, buf, sizeof(buf), 0)) > 0) data.append(buf, (size_t) n);
    return data;
}

/* One server with its own document root and error log. */
struct Server {
    qftest::ProductDir product;
    qftest::TempDir root, logs;
    qftest::ServerProcess proc;
    int port = qftest::freePort();

    bool start(std::vector<std::string> args)
    {
        args.insert(args.end(), {"-ports", std::to_string(port), "-root", root.path(),
                                 "-error_log", logs.file("error.log")});
        return proc.start(args, product.bin().c_str()) && proc.waitForOutput("started on port");
    }
    bool logged(const std::string &text) const { return qftest::fileGains(logs.file("error.log"), text); }
    /* "METHOD URI" with headers and body; the answer split after its empty line. */
    std::pair<std::string, std::string> ask(const std::string &line,
                                            const std::string &headers = "",
                                            const std::string &body = "")
    {
        std::string len =
            body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n";
        std::string raw = qftest::rawRequest(
            port, line + " HTTP/1.1\r\nHost: x\r\n" + len + headers + "\r\n" + body);
        size_t end = raw.find("\r\n\r\n");
        if (end == std::string::npos) return {raw, ""};
        return {raw.substr(0, end + 4), raw.substr(end + 4)};
    }
};

class Cgi : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        setenv("QF_LEAK_MARKER", "1", 1);   /* the server's own environment stays its own */
        srv = new Server;
        sub = srv->root.file("sub/");
        mkdir(sub.c_str(), 0755);
        script(sub + "env.cgi", std::string(PLAIN) + "env\necho \"cwd=$(pwd)\"\n");
        script(sub + "post.cgi",
               std::string(PLAIN) + "echo \"$REQUEST_METHOD n=$CONTENT_LENGTH\"\ncat\n");
        script(sub + "count.cgi", std::string(PLAIN) + "wc -c\n");
        script(sub + "fds.cgi", std::string(PLAIN) + "ls -l /proc/$$/fd\n");
        ASSERT_TRUE(srv->start({"-cgi_env", "QF_EXTRA=yes,QF_TWO=2"}));
    }
    static void TearDownTestSuite() { delete srv, unsetenv("QF_LEAK_MARKER"); }
    static inline Server *srv;
    static inline std::string sub;
};

TEST_F(Cgi, EnvironmentReachesTheProgram)
{
    auto r = srv->ask("GET /sub/env.cgi?a=1&b=two", "X-Foo-Bar: v-1\r\nContent-Type: text/x\r\n");
    ASSERT_EQ(r.first, PLAIN_HEAD) << r.second;
    const std::string root = srv->root.path(), body = "\n" + r.second;
    for (const std::string &l : std::vector<std::string>{
             "GATEWAY_INTERFACE=CGI/1.1", "SERVER_PROTOCOL=HTTP/1.1", "REDIRECT_STATUS=200",
             "SERVER_PORT=" + std::to_string(srv->port), "DOCUMENT_ROOT=" + root,
             "REQUEST_METHOD=GET", "REMOTE_ADDR=127.0.0.1", "REQUEST_URI=/sub/env.cgi",
             "SCRIPT_NAME=/sub/env.cgi", "SCRIPT_FILENAME=env.cgi",
             "PATH_TRANSLATED=" + root + "/sub/env.cgi", "QUERY_STRING=a=1&b=two",
             "CONTENT_TYPE=text/x", "HTTP_X_FOO_BAR=v-1", "QF_EXTRA=yes", "QF_TWO=2",
             "cwd=" + root + "/sub"})
        EXPECT_NE(body.find("\n" + l + "\n"), std::string::npos) << l << "\n" << r.second;
    for (const char *absent : {"QF_LEAK_MARKER", "CONTENT_LENGTH", "REMOTE_USER"})
        EXPECT_EQ(body.find(absent), std::string::npos) << absent;
    EXPECT_EQ(srv->ask("GET /sub/env.cgi").second.find("QUERY_STRING"), std::string::npos);
}

/* At most 62 variables and 4094 bytes; the options' variables come last and are left out.
 * Where the block runs out depends on the root's path and PATH, so the cut variable may be
 * any; two long lengths, as one of them may happen to fill the room exactly and cut nothing. */
TEST_F(Cgi, EnvironmentLimitsHoldForAnyRequest)
{
    for (size_t len : {1, 100, 101}) {
        std::string many;
        for (int i = 0; i < 60; i++)
            many += "X-H" + std::to_string(i) + ": " + std::string(len, 'v') + "\r\n";
        auto r = srv->ask("GET /sub/env.cgi", many);
        EXPECT_EQ(r.first, PLAIN_HEAD) << len;
        EXPECT_NE(r.second.find("\nHTTP_X_H0=v"), std::string::npos) << r.second;
        EXPECT_EQ(r.second.find("QF_TWO"), std::string::npos) << r.second;
    }
    EXPECT_TRUE(srv->logged("truncating vsnprintf buffer: ["));
}

/* Without a whole header block the 500 quotes what the program printed. */
TEST_F(Cgi, AnswersFollowTheHeaderBlock)
{
    const std::string bad = "Error 500: Internal Server Error\n"
                            "CGI program sent malformed HTTP headers: [";
    const char *malformed = "HTTP/1.1 500 Internal Server Error\r\n";
    struct Case { int line; std::string program, head, body; bool cut = false; };
    const Case cases[] = {
        {__LINE__, "printf 'Status: 302 Found\\r\\nLocation: /elsewhere\\r\\n\\r\\n'",
         "HTTP/1.1 302 OK\r\nStatus: 302 Found\r\nLocation: /elsewhere\r\n\r\n", ""},
        {__LINE__, "printf 'X-A: 1\\r\\nstatus: 404 gone\\r\\nStatus: 500\\r\\n\\r\\n'",
         "HTTP/1.1 404 OK\r\nX-A: 1\r\nstatus: 404 gone\r\nStatus: 500\r\n\r\n", ""},
        {__LINE__, "printf 'Content-Type: text/html\\n\\nbody\\n'",
         "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n", "body\n"},
        {__LINE__, "printf 'A: b\\r\\n\\r\\n'; head -c 100000 /dev/zero | tr '\\0' z",
         "HTTP/1.1 200 OK\r\nA: b\r\n\r\n", std::string(100000, 'z')},
        {__LINE__, "echo 'no header block here'", malformed, bad + "no header block here\n]"},
        {__LINE__, "printf 'Content-Type: text/plain\\r\\n'; kill -SEGV $$", malformed,
         bad + "Content-Type: text/plain\r\n]"},
        {__LINE__, "printf 'X: a\\001b\\r\\n'", malformed, bad + "X: a\x01" "b\r\n]"},
        {__LINE__, "exit 3", malformed, bad + "]"},
        /* a block that cannot fit: the quote is cut with the 8192-byte answer */
        {__LINE__, "head -c 9000 /dev/zero | tr '\\0' h", malformed,
         bad + std::string(1000, 'h'), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        script(sub + "t" + std::to_string(c.line) + ".cgi", "#!/bin/sh\n" + c.program + "\n");
        auto r = srv->ask("GET /sub/t" + std::to_string(c.line) + ".cgi");
        EXPECT_EQ(r.first.compare(0, c.head.size(), c.head), 0) << r.first;
        EXPECT_EQ(r.second.substr(0, c.cut ? c.body.size() : std::string::npos), c.body);
    }
    qftest::writeFile(sub + "noexec.cgi", PLAIN);
    EXPECT_EQ(srv->ask("GET /sub/noexec.cgi").second, bad + "]");
    EXPECT_TRUE(
        srv->logged("GET /sub/noexec.cgi: spawn_process: execle(noexec.cgi): Permission denied"));
}

/* The input ends after the body (wc and cat return); a GET's input is empty. */
TEST_F(Cgi, PostBodiesReachThePrograms)
{
    EXPECT_EQ(srv->ask("POST /sub/post.cgi", "", "hello world").second, "POST n=11\nhello world");
    EXPECT_EQ(srv->ask("POST /sub/count.cgi", "", std::string(100000, 'b')).second, "100000\n");
    EXPECT_EQ(srv->ask("GET /sub/post.cgi").second, "GET n=\n");
}

/* Only its own pipe ends as 0 and 1, even with concurrent spawns; no server socket. */
TEST_F(Cgi, ProgramsInheritOnlyTheirOwnDescriptors)
{
    const int n = 8;
    std::vector<std::string> listings(n);
    std::vector<std::thread> clients;
    for (int i = 0; i < n; i++)
        clients.emplace_back([&, i] { listings[i] = srv->ask("GET /sub/fds.cgi").second; });
    for (std::thread &c : clients) c.join();
    std::set<std::string> own, others;   /* pipes at descriptors 0 and 1, and above */
    for (const std::string &l : listings) {
        EXPECT_EQ(l.find("socket:"), std::string::npos) << l;
        std::istringstream in(l);
        for (std::string line; std::getline(in, line);) {
            size_t arrow = line.find(" -> pipe:");
            if (arrow == std::string::npos) continue;
            bool std_io = atoi(&line[line.rfind(' ', arrow - 1) + 1]) < 2;
            (std_io ? own : others).insert(line.substr(arrow + 4));
        }
    }
    EXPECT_EQ(own.size(), 2u * n);
    for (const std::string &p : others) EXPECT_EQ(own.count(p), 0u) << p;
}

/* A crashed program and one that ignores SIGTERM are both collected. */
TEST_F(Cgi, NoProgramIsLeftUncollected)
{
    script(sub + "crash.cgi", "#!/bin/sh\nkill -SEGV $$\n");
    script(sub + "stubborn.cgi",
           std::string(PLAIN) + "trap '' TERM\necho bye\nexec >&-\nsleep 1\n");
    srv->ask("GET /sub/crash.cgi");
    EXPECT_EQ(srv->ask("GET /sub/stubborn.cgi").second, "bye\n");
    EXPECT_TRUE(qftest::waitFor([] { return zombieChildren(srv->proc.pid()) == 0; }, 10000));
}

/* Every program's end raises SIGCHLD in some thread of the server. A worker
 * blocked on its client's socket (which has a timeout) sees that as a failed
 * recv or send; its exchange must go on: waiting for the rest of a request,
 * and sending an answer larger than the socket buffers. */
TEST_F(Cgi, ProgramEndSignalsDoNotCutOtherExchanges)
{
    const size_t size = 16000000;
    script(sub + "big.cgi", std::string(PLAIN) + "head -c " + std::to_string(size) + " /dev/zero");
    const pid_t pid = srv->proc.pid();
    struct Case { long blocked_in; std::string first, rest; };
    const Case cases[] = {
        {SYS_recvfrom, "GET /sub/big.cgi HTTP/1.1\r\n", "Host: x\r\n\r\n"},
        {SYS_sendto, "GET /sub/big.cgi HTTP/1.1\r\nHost: x\r\n\r\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.blocked_in);
        int fd = qftest::connect_loopback(srv->port);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, c.first.data(), c.first.size(), 0), (ssize_t) c.first.size());
        /* Twice: a send that has moved some bytes returns their count,
         * so only a call that found the buffer full fails outright. */
        std::vector<pid_t> tids;
        for (int round = 0; round < 2; round++) {
            bool blocked = qftest::waitFor(
                [&] { return !(tids = threadsIn(pid, c.blocked_in)).empty(); }, 10000);
            EXPECT_TRUE(blocked) << "round " << round;
            if (!blocked) break;
            for (pid_t tid : tids) syscall(SYS_tgkill, pid, tid, SIGCHLD);
            EXPECT_TRUE(
                qftest::waitFor([&] { return !signalPending(pid, tids[0], SIGCHLD); }, 10000));
        }
        if (!c.rest.empty()) send(fd, c.rest.data(), c.rest.size(), 0);
        std::string reply = readToClose(fd, 30000);
        close(fd);
        EXPECT_EQ(reply.rfind(PLAIN_HEAD, 0), 0u) << reply.substr(0, 200);
        EXPECT_EQ(reply.size(), sizeof(PLAIN_HEAD) - 1 + size);
    }
}

TEST_F(Cgi, SsiDirectivesAndPageText)
{
    qftest::writeFile(srv->root.file("inc.txt"), "INC");
    qftest::writeFile(sub + "rel.txt", "REL");
    qftest::writeFile(sub + "plain.html", "<!--#exec \"echo no\"-->");
    qftest::writeFile(sub + "nest.shtml", "[<!--#include \"rel.txt\"-->]");
    const std::string page = sub + "page.shtml";
    struct Case { int line; std::string text, sent, log; };
    const Case cases[] = {
        {__LINE__, "<b>x</b><!-- comment --><!--#", "<b>x</b><!-- comment --><!--#", ""},
        {__LINE__, "a<!--#include virtual=\"/inc.txt\" -->b", "aINCb", ""},
        {__LINE__, "<!--#include file=\"" + srv->root.file("inc.txt") + "\"-->", "INC", ""},
        {__LINE__, "<!--#include \"nest.shtml\"-->", "[REL]", ""},
        {__LINE__, "<!--#include \"plain.html\"-->", "<!--#exec \"echo no\"-->", ""},
        {__LINE__, "<!--#exec \"echo hi; echo there\"-->!", "hi\nthere\n!", ""},
        {__LINE__, "<!--#exec echo-->", "", "Bad SSI #exec: [ echo-->]"},
        {__LINE__, "<!--#include virtual=\"\"-->", "", "Bad SSI #include: [ virtual=\"\"-->]"},
        {__LINE__, "<!--#include virtual=\"gone\"-->x", "x",
         "Cannot open SSI #include: [ virtual=\"gone\"-->]: fopen(" + srv->root.file("gone") +
             "): No such file or directory"},
        {__LINE__, "<!--#echo var=\"x\"-->y", "y",
         page + ": unknown SSI command: \"<!--#echo var=\"x\"-->\""},
        /* a page that includes itself: itself and ten levels below it */
        {__LINE__, "L<!--#include \"page.shtml\"-->", std::string(11, 'L'),
         "SSI #include level is too deep (" + page + ")"},
        /* a tag still open at 8190 characters is dropped; the scan restarts */
        {__LINE__, "<!--#" + std::string(9000, 'x') + ">z", std::string(815, 'x') + ">z",
         page + ": SSI tag is too large"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        qftest::writeFile(page, c.text);
        auto r = srv->ask("GET /sub/page.shtml");
        EXPECT_EQ(r.first,
                  "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(r.second, c.sent);
        EXPECT_TRUE(c.log.empty() || srv->logged(c.log)) << c.log;
    }
}

TEST(CgiInterpreter, PhpScripts)
{
    const char *php = "/usr/bin/php-cgi";
    if (access(php, X_OK) != 0) GTEST_SKIP() << "php-cgi is not installed";
    Server srv;
    qftest::writeFile(srv.root.file("hello.php"),
                      "<?php header('X-Php: yes');\n"
                      "if (!isset($_GET['q'])) http_response_code(404);\n"
                      "echo 'q=', $_GET['q'] ?? '', ' p=', $_POST['p'] ?? '', \"\\n\";\n");
    ASSERT_TRUE(srv.start({"-cgi_interp", php}));
    auto r = srv.ask("POST /hello.php?q=2", "Content-Type: application/x-www-form-urlencoded\r\n",
                     "p=3");
    EXPECT_EQ(r.first.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r.first;
    EXPECT_NE(r.first.find("\r\nX-Php: yes\r\n"), std::string::npos) << r.first;
    EXPECT_EQ(r.second, "q=2 p=3\n");
    r = srv.ask("GET /hello.php");
    EXPECT_EQ(r.first.rfind("HTTP/1.1 404 OK\r\n", 0), 0u) << r.first;
    EXPECT_EQ(r.second, "q= p=\n");
}

}  // namespace
