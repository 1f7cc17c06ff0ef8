/* tests/cgi_itest.cpp: CGI programs and SSI pages served by the real binary. */
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>

#include "support/harness.h"

using namespace qftest;

namespace {

const std::string PLAIN = "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n";
const std::string PLAIN_HEAD = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";

class Cgi : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        setenv("QF_LEAK_MARKER", "1", 1);   /* the server's own environment stays its own */
        srv = new Server;
        sub = srv->root("sub/");
        mkdir(sub.c_str(), 0755);
        writeScript(sub + "env.cgi", PLAIN + "env\necho \"cwd=$(pwd)\"\n");
        writeScript(sub + "post.cgi", PLAIN + "echo \"$REQUEST_METHOD n=$CONTENT_LENGTH\"\ncat\n");
        writeScript(sub + "count.cgi", PLAIN + "wc -c\n");
        writeScript(sub + "fds.cgi", PLAIN + "ls -l /proc/$$/fd\n");
        writeScript(sub + "limit.cgi", PLAIN + "ulimit -n; exec grep SigBlk /proc/self/status\n");
        writeFile(sub + "limit.shtml", "<!--#exec \"ulimit -n; exec grep SigBlk /proc/self/status\"-->");
        /* the server starts with a low descriptor limit below a higher hard one */
        struct rlimit saved, low;
        getrlimit(RLIMIT_NOFILE, &saved);
        low = saved;
        low.rlim_cur = START_LIMIT < saved.rlim_max ? START_LIMIT : saved.rlim_max;
        setrlimit(RLIMIT_NOFILE, &low);
        ASSERT_TRUE(srv->start({"-cgi_env", "QF_EXTRA=yes,QF_TWO=2"}));
        setrlimit(RLIMIT_NOFILE, &saved);
    }
    static const rlim_t START_LIMIT = 512;
    static void TearDownTestSuite() { delete srv, unsetenv("QF_LEAK_MARKER"); }
    static std::string body(const std::string &line, const std::string &headers = "",
                            const std::string &data = "")
    {
        return bodyOf(srv->ask(line, headers, data));
    }
    static inline Server *srv;
    static inline std::string sub;
};

TEST_F(Cgi, EnvironmentReachesTheProgram)
{
    std::string reply = srv->ask("GET /sub/env.cgi?a=1&b=two", "X-Foo-Bar: v-1\r\nContent-Type: text/x\r\n");
    ASSERT_EQ(reply.rfind(PLAIN_HEAD, 0), 0u) << reply;
    const std::string root = srv->root(), env = "\n" + bodyOf(reply);
    for (const std::string &l : std::vector<std::string>{
             "GATEWAY_INTERFACE=CGI/1.1", "SERVER_PROTOCOL=HTTP/1.1", "REDIRECT_STATUS=200",
             "SERVER_PORT=" + std::to_string(srv->port), "DOCUMENT_ROOT=" + root, "REQUEST_METHOD=GET",
             "REMOTE_ADDR=127.0.0.1", "REQUEST_URI=/sub/env.cgi", "SCRIPT_NAME=/sub/env.cgi",
             "SCRIPT_FILENAME=env.cgi", "PATH_TRANSLATED=" + root + "/sub/env.cgi", "QUERY_STRING=a=1&b=two",
             "CONTENT_TYPE=text/x", "HTTP_X_FOO_BAR=v-1", "QF_EXTRA=yes", "QF_TWO=2", "cwd=" + root + "/sub"})
        EXPECT_NE(env.find("\n" + l + "\n"), std::string::npos) << l << env;
    for (const char *absent : {"QF_LEAK_MARKER", "CONTENT_LENGTH", "REMOTE_USER"})
        EXPECT_EQ(env.find(absent), std::string::npos) << absent;
    EXPECT_EQ(body("GET /sub/env.cgi").find("QUERY_STRING"), std::string::npos);
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
        std::string reply = srv->ask("GET /sub/env.cgi", many);
        EXPECT_EQ(reply.rfind(PLAIN_HEAD, 0), 0u) << len;
        EXPECT_NE(reply.find("\nHTTP_X_H0=v"), std::string::npos) << reply;
        EXPECT_EQ(reply.find("QF_TWO"), std::string::npos) << reply;
    }
    EXPECT_TRUE(srv->logged("truncating vsnprintf buffer: ["));
}

/* Without a whole header block the 500 quotes what the program printed. Every program is
 * collected, even a crashed one and one that ignores SIGTERM. */
TEST_F(Cgi, AnswersFollowTheHeaderBlock)
{
    const std::string bad = "Error 500: Internal Server Error\nCGI program sent malformed HTTP headers: [";
    const char *malformed = "HTTP/1.1 500 Internal Server Error\r\n";
    const struct { int line; std::string program, head, body; bool cut = false; } cases[] = {
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
        {__LINE__, "trap '' TERM\nprintf 'A: b\\r\\n\\r\\nbye'\nexec >&-\nsleep 1",
         "HTTP/1.1 200 OK\r\nA: b\r\n\r\n", "bye"},
        /* a block that cannot fit: the quote is cut with the 8192-byte answer */
        {__LINE__, "head -c 9000 /dev/zero | tr '\\0' h", malformed, bad + std::string(1000, 'h'), true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        writeScript(sub + "t" + std::to_string(c.line) + ".cgi", "#!/bin/sh\n" + c.program + "\n");
        std::string reply = srv->ask("GET /sub/t" + std::to_string(c.line) + ".cgi");
        EXPECT_EQ(reply.compare(0, c.head.size(), c.head), 0) << reply.substr(0, 300);
        EXPECT_EQ(bodyOf(reply).substr(0, c.cut ? c.body.size() : std::string::npos), c.body);
    }
    writeFile(sub + "noexec.cgi", PLAIN);
    EXPECT_EQ(body("GET /sub/noexec.cgi"), bad + "]");
    EXPECT_TRUE(srv->logged("GET /sub/noexec.cgi: spawn_process: execle(noexec.cgi): Permission denied"));
    EXPECT_TRUE(waitFor([] { return childProcesses(srv->proc.pid(), true) == 0; }, 10000));
}

/* The input ends after the body (wc and cat return); a GET's input is empty. */
TEST_F(Cgi, PostBodiesReachThePrograms)
{
    EXPECT_EQ(body("POST /sub/post.cgi", "", "hello world"), "POST n=11\nhello world");
    EXPECT_EQ(body("POST /sub/count.cgi", "", std::string(100000, 'b')), "100000\n");
    EXPECT_EQ(body("GET /sub/post.cgi"), "GET n=\n");
}

/* Only its own pipe ends as 0 and 1, even with concurrent spawns; no server socket. */
TEST_F(Cgi, ProgramsInheritOnlyTheirOwnDescriptors)
{
    const int n = 8;
    std::vector<std::string> listings(n);
    std::vector<std::thread> clients;
    for (int i = 0; i < n; i++) clients.emplace_back([&, i] { listings[i] = body("GET /sub/fds.cgi"); });
    for (std::thread &c : clients) c.join();
    std::set<std::string> own, others;   /* pipes at descriptors 0 and 1, and above */
    const std::regex pipe(R"( (\d+) -> (pipe:\[\d+\]))");
    for (const std::string &l : listings) {
        EXPECT_EQ(l.find("socket:"), std::string::npos) << l;
        for (std::sregex_iterator m(l.begin(), l.end(), pipe), end; m != end; ++m)
            (std::stoi((*m)[1]) < 2 ? own : others).insert((*m)[2]);
    }
    EXPECT_EQ(own.size(), 2u * n);
    for (const std::string &p : others) EXPECT_EQ(own.count(p), 0u) << p;
}

/* Every program's end raises SIGCHLD in some server thread. A worker blocked on its client's socket
 * (which has a timeout) sees that as a failed send; its exchange must go on: sending an answer
 * larger than the socket buffers. (A request body is read by the intake, never by a waiting
 * worker.) */
TEST_F(Cgi, ProgramEndSignalsDoNotCutOtherExchanges)
{
    const size_t size = 16000000;
    writeScript(sub + "big.cgi", PLAIN + "head -c " + std::to_string(size) + " /dev/zero");
    const pid_t pid = srv->proc.pid();
    const struct { long blocked_in; std::string first, rest, interim; } cases[] = {
        {SYS_sendto, "GET /sub/big.cgi HTTP/1.1\r\nHost: x\r\n\r\n", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.blocked_in);
        Conn conn(srv->port);
        ASSERT_TRUE(conn.send(c.first));
        /* twice: a send that moved some bytes returns their count; only one that found the buffer full fails */
        std::vector<pid_t> tids;
        for (int round = 0; round < 2; round++) {
            bool blocked = waitFor([&] { return !(tids = threadsIn(pid, c.blocked_in)).empty(); }, 10000);
            EXPECT_TRUE(blocked) << "round " << round;
            if (!blocked) break;
            for (pid_t tid : tids) syscall(SYS_tgkill, pid, tid, SIGCHLD);
            EXPECT_TRUE(waitFor([&] { return !signalled(pid, SIGCHLD, tids[0]); }, 10000));
        }
        conn.send(c.rest);
        std::string reply = conn.read(60000);
        EXPECT_EQ(reply.rfind(c.interim + PLAIN_HEAD, 0), 0u) << reply.substr(0, 200);
        EXPECT_EQ(reply.size(), c.interim.size() + PLAIN_HEAD.size() + size);
    }
}

/* The server raises its own descriptor limit to the hard limit and blocks its stop signals in
 * its threads; programs and exec commands get the limit it started with and no blocked signal. */
TEST_F(Cgi, ProgramsGetTheDescriptorLimitTheServerStartedWith)
{
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    const rlim_t start = START_LIMIT < rl.rlim_max ? START_LIMIT : rl.rlim_max;
    const std::string expected = std::to_string(start) + "\nSigBlk:\t0000000000000000\n";
    EXPECT_EQ(body("GET /sub/limit.cgi"), expected);
    EXPECT_EQ(body("GET /sub/limit.shtml"), expected);
    std::smatch m;
    std::string limits = readFile("/proc/" + std::to_string(srv->proc.pid()) + "/limits");
    ASSERT_TRUE(std::regex_search(limits, m, std::regex("Max open files +([0-9]+) +([0-9]+)")));
    EXPECT_EQ(m[1], m[2]);
}

TEST_F(Cgi, SsiDirectivesAndPageText)
{
    writeFile(srv->root("inc.txt"), "INC");
    writeFile(sub + "rel.txt", "REL");
    writeFile(sub + "plain.html", "<!--#exec \"echo no\"-->");
    writeFile(sub + "nest.shtml", "[<!--#include \"rel.txt\"-->]");
    const std::string page = sub + "page.shtml";
    const struct { int line; std::string text, sent, log; } cases[] = {
        {__LINE__, "<b>x</b><!-- comment --><!--#", "<b>x</b><!-- comment --><!--#", ""},
        {__LINE__, "a<!--#include virtual=\"/inc.txt\" -->b", "aINCb", ""},
        {__LINE__, "<!--#include file=\"" + srv->root("inc.txt") + "\"-->", "INC", ""},
        {__LINE__, "<!--#include \"nest.shtml\"-->", "[REL]", ""},
        {__LINE__, "<!--#include \"plain.html\"-->", "<!--#exec \"echo no\"-->", ""},
        {__LINE__, "<!--#exec \"echo hi; echo there\"-->!", "hi\nthere\n!", ""},
        {__LINE__, "<!--#exec echo-->", "", "Bad SSI #exec: [ echo-->]"},
        {__LINE__, "<!--#include virtual=\"\"-->", "", "Bad SSI #include: [ virtual=\"\"-->]"},
        {__LINE__, "<!--#include virtual=\"gone\"-->x", "x",
         "Cannot open SSI #include: [ virtual=\"gone\"-->]: fopen(" + srv->root("gone") +
             "): No such file or directory"},
        {__LINE__, "<!--#echo var=\"x\"-->y", "y", page + ": unknown SSI command: \"<!--#echo var=\"x\"-->\""},
        /* a page that includes itself: itself and ten levels below it */
        {__LINE__, "L<!--#include \"page.shtml\"-->", std::string(11, 'L'),
         "SSI #include level is too deep (" + page + ")"},
        /* a tag still open at 8190 characters is dropped; the scan restarts */
        {__LINE__, "<!--#" + std::string(9000, 'x') + ">z", std::string(815, 'x') + ">z",
         page + ": SSI tag is too large"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        writeFile(page, c.text);
        EXPECT_EQ(srv->ask("GET /sub/page.shtml"),
                  "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n" + c.sent);
        EXPECT_TRUE(c.log.empty() || srv->logged(c.log)) << c.log;
    }
}

TEST(CgiInterpreter, PhpScripts)
{
    const char *php = "/usr/bin/php-cgi";
    if (access(php, X_OK) != 0) GTEST_SKIP() << "php-cgi is not installed";
    Server srv;
    writeFile(srv.root("hello.php"),
              "<?php header('X-Php: yes');\n"
              "if (!isset($_GET['q'])) http_response_code(404);\n"
              "echo 'q=', $_GET['q'] ?? '', ' p=', $_POST['p'] ?? '', \"\\n\";\n");
    ASSERT_TRUE(srv.start({"-cgi_interp", php}));
    std::string reply =
        srv.ask("POST /hello.php?q=2", "Content-Type: application/x-www-form-urlencoded\r\n", "p=3");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("\r\nX-Php: yes\r\n"), std::string::npos) << reply;
    EXPECT_EQ(bodyOf(reply), "q=2 p=3\n");
    reply = srv.ask("GET /hello.php");
    EXPECT_EQ(reply.rfind("HTTP/1.1 404 OK\r\n", 0), 0u) << reply;
    EXPECT_EQ(bodyOf(reply), "q= p=\n");
}

}  // namespace
