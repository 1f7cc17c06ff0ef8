/* tests/cgi_programs_itest.cpp: real CGI programs (shell, Perl, PHP) run by the real binary: environment, status, bodies, failures, descriptors and reaping. */
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"

namespace {

const char MALFORMED[] = "HTTP/1.1 500 Internal Server Error\r\n";
const char PLAIN[] = "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n";

struct Response {
    std::string raw;
    std::string head;   /* up to and including the empty line */
    std::string body;
};

Response
split(const std::string &raw)
{
    Response r;
    r.raw = raw;
    size_t end = raw.find("\r\n\r\n");
    r.head = end == std::string::npos ? raw : raw.substr(0, end + 4);
    r.body = end == std::string::npos ? "" : raw.substr(end + 4);
    return r;
}

void
script(const std::string &path, const std::string &text, mode_t mode = 0755)
{
    qftest::writeFile(path, text);
    chmod(path.c_str(), mode);
}

/* Children of pid that have ended but were never collected. */
int
zombie_children(pid_t pid)
{
    int zombies = 0;
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return -1;
    while (struct dirent *e = readdir(d)) {
        std::string stat = qftest::readFile(std::string("/proc/") + e->d_name + "/stat");
        size_t paren = stat.rfind(')');
        if (paren == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(stat.c_str() + paren + 1, " %c %d", &state, &ppid) == 2 && ppid == pid &&
            state == 'Z')
            zombies++;
    }
    closedir(d);
    return zombies;
}

/* One server with its own document root and error log. */
struct Server {
    qftest::ProductDir product;
    qftest::TempDir root;
    qftest::TempDir logs;
    qftest::ServerProcess proc;
    int port = qftest::freePort();

    bool start(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"-ports", std::to_string(port), "-root", root.path(),
                                         "-error_log", errorLog()};
        args.insert(args.end(), extra.begin(), extra.end());
        return proc.start(args, product.bin().c_str()) && proc.waitForOutput("started on port");
    }
    std::string errorLog() const { return logs.file("error.log"); }
    bool logged(const std::string &text) const
    {
        return qftest::waitFor(
            [&] { return qftest::readFile(errorLog()).find(text) != std::string::npos; }, 5000);
    }
    Response get(const std::string &uri, const std::string &headers = "")
    {
        return split(qftest::rawRequest(port, "GET " + uri + " HTTP/1.1\r\nHost: x\r\n" + headers +
                                                  "\r\n"));
    }
    Response post(const std::string &uri, const std::string &body,
                  const std::string &headers = "")
    {
        return split(qftest::rawRequest(
            port, "POST " + uri + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body));
    }
};

class CgiPrograms : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        /* Nothing of the server's own environment may reach a program. */
        setenv("QF_LEAK_MARKER", "1", 1);
        srv = new Server;
        const std::string sub = srv->root.file("sub");
        mkdir(sub.c_str(), 0755);
        script(sub + "/env.cgi", std::string("#!/bin/sh\n") + PLAIN + "env\necho \"cwd=$(pwd)\"\n");
        script(sub + "/status.cgi",
               "#!/bin/sh\nprintf 'Status: 302 Found\\r\\nLocation: /elsewhere\\r\\n\\r\\n'\n");
        script(sub + "/broken.cgi", "#!/bin/sh\necho 'no header block here'\n");
        script(sub + "/crash.cgi",
               "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n'\nkill -SEGV $$\n");
        script(sub + "/silent.cgi", "#!/bin/sh\nexit 3\n");
        script(sub + "/noexec.cgi", std::string("#!/bin/sh\n") + PLAIN, 0644);
        script(sub + "/post.cgi", std::string("#!/bin/sh\n") + PLAIN +
                                      "echo \"$REQUEST_METHOD q=$QUERY_STRING n=$CONTENT_LENGTH\"\n"
                                      "cat\n");
        script(sub + "/count.cgi",
               "#!/bin/sh\nn=$(wc -c)\nprintf 'Content-Type: text/plain\\r\\n\\r\\nbytes=%s\\n' \"$n\"\n");
        script(sub + "/fds.cgi", std::string("#!/bin/sh\n") + PLAIN + "ls -l /proc/$$/fd\n");
        script(sub + "/stubborn.cgi", std::string("#!/bin/sh\n") + PLAIN +
                                          "trap '' TERM\necho bye\nexec >&-\nsleep 2\n");
        script(sub + "/perl.pl",
               "#!/usr/bin/perl\nuse strict;\nuse warnings;\nmy $body = '';\n"
               "read(STDIN, $body, $ENV{CONTENT_LENGTH}) if $ENV{REQUEST_METHOD} eq 'POST';\n"
               "print \"Content-Type: text/plain\\r\\n\\r\\n\";\n"
               "print \"perl $ENV{REQUEST_METHOD} q=\", $ENV{QUERY_STRING} // '', \" body=$body\\n\";\n");
        ASSERT_TRUE(srv->start({"-cgi_env", "QF_EXTRA=yes,QF_TWO=2"}));
    }

    static void TearDownTestSuite()
    {
        delete srv;
        unsetenv("QF_LEAK_MARKER");
    }

    static Server *srv;
};

Server *CgiPrograms::srv;

TEST_F(CgiPrograms, EnvironmentReachesTheProgram)
{
    Response r = srv->get("/sub/env.cgi?a=1&b=two", "X-Foo-Bar: v-1\r\n");
    ASSERT_EQ(r.head, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n") << r.raw;

    const std::string root = srv->root.path();
    const std::vector<std::string> lines = {
        "GATEWAY_INTERFACE=CGI/1.1",
        "SERVER_PROTOCOL=HTTP/1.1",
        "REDIRECT_STATUS=200",
        "SERVER_PORT=" + std::to_string(srv->port),
        "DOCUMENT_ROOT=" + root,
        "REQUEST_METHOD=GET",
        "REMOTE_ADDR=127.0.0.1",
        "REQUEST_URI=/sub/env.cgi",
        "SCRIPT_NAME=/sub/env.cgi",
        "SCRIPT_FILENAME=env.cgi",
        "PATH_TRANSLATED=" + root + "/sub/env.cgi",
        "QUERY_STRING=a=1&b=two",
        "HTTPS=off",
        "HTTP_HOST=x",
        "HTTP_X_FOO_BAR=v-1",
        "QF_EXTRA=yes",
        "QF_TWO=2",
        "cwd=" + root + "/sub",
    };
    const std::string body = "\n" + r.body; /* env prints in no fixed order */
    for (const std::string &l : lines)
        EXPECT_NE(body.find("\n" + l + "\n"), std::string::npos) << l << "\n" << r.body;
    EXPECT_EQ(r.body.find("QF_LEAK_MARKER"), std::string::npos);
    EXPECT_EQ(r.body.find("CONTENT_LENGTH"), std::string::npos);

    /* without '?' there is no QUERY_STRING at all */
    EXPECT_EQ(srv->get("/sub/env.cgi").body.find("QUERY_STRING"), std::string::npos);
}

/* The status line and headers come from the program's header block; a
 * program without a complete one gets the 500 quoting what it printed. */
TEST_F(CgiPrograms, AnswersFollowTheHeaderBlock)
{
    const std::string malformed = "Error 500: Internal Server Error\n"
                                  "CGI program sent malformed HTTP headers: [";
    struct Case {
        int line;
        const char *uri;
        std::string head_start;
        std::string body;
        std::string log;         /* a line the error log must hold, or "" */
    };
    const Case cases[] = {
        {__LINE__, "/sub/status.cgi",
         "HTTP/1.1 302 OK\r\nStatus: 302 Found\r\nLocation: /elsewhere\r\n\r\n", "", ""},
        {__LINE__, "/sub/broken.cgi", MALFORMED, malformed + "no header block here\n]", ""},
        {__LINE__, "/sub/crash.cgi", MALFORMED, malformed + "Content-Type: text/plain\r\n]", ""},
        {__LINE__, "/sub/silent.cgi", MALFORMED, malformed + "]", ""},
        {__LINE__, "/sub/noexec.cgi", MALFORMED, malformed + "]",
         "] GET /sub/noexec.cgi: spawn_process: execle(noexec.cgi): Permission denied"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        Response r = srv->get(c.uri);
        EXPECT_EQ(r.head.compare(0, c.head_start.size(), c.head_start), 0) << r.raw;
        EXPECT_EQ(r.body, c.body);
        if (!c.log.empty()) {
            EXPECT_TRUE(srv->logged(c.log)) << qftest::readFile(srv->errorLog());
        }
    }
}

TEST_F(CgiPrograms, BodiesAndQueriesReachThePrograms)
{
    const std::string big(100000, 'b');
    struct Case {
        int line;
        const char *method;
        const char *uri;
        std::string body;
        std::string expected;   /* the response body */
    };
    const Case cases[] = {
        {__LINE__, "POST", "/sub/post.cgi?x=1", "hello world", "POST q=x=1 n=11\nhello world"},
        {__LINE__, "POST", "/sub/post.cgi", "", "POST q= n=0\n"},
        /* wc reads to the end of its input: the body is followed by that end */
        {__LINE__, "POST", "/sub/count.cgi", big, "bytes=100000\n"},
        {__LINE__, "GET", "/sub/post.cgi?y", "", "GET q=y n=\n"},
        {__LINE__, "POST", "/sub/perl.pl?z=2", "a=1&b=2", "perl POST q=z=2 body=a=1&b=2\n"},
        {__LINE__, "GET", "/sub/perl.pl?z=3", "", "perl GET q=z=3 body=\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        Response r = strcmp(c.method, "POST") == 0 ? srv->post(c.uri, c.body) : srv->get(c.uri);
        EXPECT_EQ(r.head, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n") << r.raw;
        EXPECT_EQ(r.body, c.expected);
    }

    /* a POST without a length is refused before the program sees anything */
    Response r = split(qftest::rawRequest(
        srv->port, "POST /sub/post.cgi HTTP/1.1\r\nHost: x\r\n\r\n"));
    const std::string refused = "HTTP/1.1 411 Length Required\r\n";
    EXPECT_EQ(r.raw.compare(0, refused.size(), refused), 0) << r.raw;
}

/* The pipe behind each descriptor that ls -l shows: fd number -> inode. */
std::map<int, std::string>
pipes_of(const std::string &listing)
{
    std::map<int, std::string> pipes;
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
        size_t arrow = line.find(" -> pipe:");
        size_t space = line.rfind(' ', arrow - 1);
        if (arrow != std::string::npos && space != std::string::npos)
            pipes[atoi(line.c_str() + space + 1)] = line.substr(arrow + 4);
    }
    return pipes;
}

/* Each program gets its own two pipe ends as 0 and 1 and no other end of
 * any program's pipes, even while other workers start programs at the
 * same moment; no socket of the server reaches it. (Descriptors that the
 * server itself inherited from whoever started it are not its to close.) */
TEST_F(CgiPrograms, ProgramsInheritOnlyTheirOwnDescriptors)
{
    const int n = 8;
    std::vector<std::string> listings(n);
    std::vector<std::thread> clients;
    for (int i = 0; i < n; i++)
        clients.emplace_back([&, i] { listings[i] = srv->get("/sub/fds.cgi").body; });
    for (std::thread &c : clients)
        c.join();

    std::set<std::string> program_pipes;
    for (const std::string &l : listings) {
        std::map<int, std::string> pipes = pipes_of(l);
        ASSERT_EQ(pipes.count(0) + pipes.count(1), 2u) << l;
        program_pipes.insert(pipes[0]);
        program_pipes.insert(pipes[1]);
    }
    EXPECT_EQ(program_pipes.size(), 2u * n);
    for (const std::string &l : listings) {
        for (const auto &p : pipes_of(l))
            EXPECT_TRUE(p.first < 2 || program_pipes.count(p.second) == 0) << l;
        EXPECT_EQ(l.find("socket:"), std::string::npos) << l;
        EXPECT_NE(l.find(" 2 -> " + srv->errorLog()), std::string::npos) << l;
    }
}

/* Every program is collected: those that end with their output, those that
 * crash, and one that ignores SIGTERM and lives on after its answer. */
TEST_F(CgiPrograms, NoProgramIsLeftUncollected)
{
    for (const char *uri : {"/sub/env.cgi", "/sub/crash.cgi", "/sub/broken.cgi", "/sub/perl.pl"})
        srv->get(uri);
    Response r = srv->get("/sub/stubborn.cgi");
    EXPECT_EQ(r.body, "bye\n");
    EXPECT_TRUE(qftest::waitFor([] { return zombie_children(srv->proc.pid()) == 0; }, 10000));
}

/* cgi_interp runs every script: the interpreter gets the file name as its
 * only argument and the script's directory as working directory. */
TEST(CgiInterpreter, InterpreterRunsTheScript)
{
    Server srv;
    mkdir(srv.root.file("d").c_str(), 0755);
    script(srv.root.file("d/x.cgi"),
           std::string(PLAIN) + "echo \"0=$0 n=$# cwd=$(pwd)\"\n", 0644);
    ASSERT_TRUE(srv.start({"-cgi_interp", "/bin/sh"}));
    Response r = srv.get("/d/x.cgi");
    EXPECT_EQ(r.body, "0=x.cgi n=0 cwd=" + srv.root.file("d") + "\n") << r.raw;
}

TEST(CgiInterpreter, PhpScripts)
{
    const char *php = "/usr/bin/php-cgi";
    if (access(php, X_OK) != 0)
        GTEST_SKIP() << "php-cgi is not installed";

    Server srv;
    qftest::writeFile(srv.root.file("hello.php"),
                      "<?php header('X-Php: yes');\n"
                      "echo 'q=', $_GET['q'] ?? '', ' p=', $_POST['p'] ?? '', ' ',\n"
                      "     $_SERVER['REQUEST_METHOD'], \"\\n\";\n");
    qftest::writeFile(srv.root.file("status.php"),
                      "<?php http_response_code(404); echo \"missing\\n\";\n");
    ASSERT_TRUE(srv.start({"-cgi_interp", php}));

    struct Case {
        int line;
        Response r;
        const char *status_line;
        std::string body;
    };
    const Case cases[] = {
        {__LINE__, srv.get("/hello.php?q=1"), "HTTP/1.1 200 OK\r\n", "q=1 p= GET\n"},
        {__LINE__,
         srv.post("/hello.php?q=2", "p=3",
                  "Content-Type: application/x-www-form-urlencoded\r\n"),
         "HTTP/1.1 200 OK\r\n", "q=2 p=3 POST\n"},
        {__LINE__, srv.get("/status.php"), "HTTP/1.1 404 OK\r\n", "missing\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.r.head.compare(0, strlen(c.status_line), c.status_line), 0) << c.r.raw;
        EXPECT_EQ(c.r.body, c.body) << c.r.raw;
    }
    EXPECT_NE(cases[0].r.head.find("\r\nX-Php: yes\r\n"), std::string::npos) << cases[0].r.head;
}

}  // namespace
