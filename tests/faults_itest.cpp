/* tests/faults_itest.cpp: the real binary under faults: stalled clients, hung and
 * vanishing peers, log files that cannot be opened, reports from many threads. */
#include <gtest/gtest.h>
#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "server_bare_context.h"
#include "support/harness.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string BODY = "hello from the root\n";
const std::string REQUEST = "GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n";

bool answered(const std::string &reply)
{
    return reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 && qftest::bodyOf(reply) == BODY;
}

/* A client socket driven step by step. */
struct Conn {
    explicit Conn(int port) : fd(qftest::connect_loopback(port)) {}
    ~Conn() { close(fd); }
    bool send(const std::string &t)
    {
        for (size_t sent = 0; sent < t.size();) {
            ssize_t n = ::send(fd, t.data() + sent, t.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += (size_t) n;
        }
        return true;
    }
    bool hears(int ms)
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        return poll(&pfd, 1, ms) == 1;
    }
    /* Reads until the server closes (a reset counts too), at most until deadline,
     * or until at least `enough` bytes came. */
    std::string read(Clock::time_point deadline, size_t enough = SIZE_MAX)
    {
        std::string reply;
        char buf[65536];
        while (reply.size() < enough) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || !hears((int) left.count())) break;
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n <= 0) {
                closed = n == 0 || errno == ECONNRESET;
                break;
            }
            reply.append(buf, (size_t) n);
        }
        return reply;
    }
    int fd;
    bool closed = false;
};

/* Descriptors the process holds now. */
int openDescriptors(pid_t pid)
{
    int n = 0;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) n += e->d_name[0] != '.';
    if (d != nullptr) closedir(d);
    return n;
}

/* Processes whose parent is pid, ended ones included. */
int children(pid_t pid)
{
    int n = 0;
    DIR *d = opendir("/proc");
    for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
        std::string stat = qftest::readFile(std::string("/proc/") + e->d_name + "/stat");
        size_t paren = stat.rfind(')');
        int ppid = 0;
        char state = 0;
        if (paren != std::string::npos && sscanf(&stat[paren + 1], " %c %d", &state, &ppid) == 2)
            n += ppid == pid;
    }
    if (d != nullptr) closedir(d);
    return n;
}

void script(const std::string &path, const std::string &text)
{
    qftest::writeFile(path, "#!/bin/sh\n" + text + "\n");
    chmod(path.c_str(), 0755);
}

class Faults : public ::testing::Test {
protected:
    void start(const std::vector<std::string> &extra = {})
    {
        qftest::writeFile(www.file("index.html"), BODY);
        std::vector<std::string> args = {"-ports", "127.0.0.1:" + std::to_string(port), "-root",
                                         www.path(), "-error_log", logs.file("error.log")};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(server.start(args, product.bin().c_str()));
        ASSERT_TRUE(server.waitForOutput("started on port")) << server.err();
    }
    /* A clean stop ends every test: a stuck or crashed worker shows as a bad exit. */
    void TearDown() override { EXPECT_EQ(server.stop(15, 20000), 0) << server.err(); }

    qftest::ProductDir product;
    qftest::TempDir www, logs;
    qftest::ServerProcess server;
    int port = qftest::freePort();
};

/* Every peer that stops talking holds a worker only until the 30-second timeout,
 * and the programs are ended; the stalls run side by side, so this takes ~31 s. */
TEST_F(Faults, StalledPeersAreCutOffAfterTheTimeout)
{
    script(www.file("hang.cgi"), "exec sleep 60");   /* bounded: a failed run leaves no orphan for long */
    script(www.file("late.cgi"), "printf 'Content-Type: text/plain\\r\\n\\r\\npart'\nexec sleep 60");
    start();
    const std::string malformed = "HTTP/1.1 500 Internal Server Error\r\n",
                      quote = "CGI program sent malformed HTTP headers: []";
    const struct { int line; std::string request, head, body; bool early = false; } cases[] = {
        {__LINE__, "", "", ""},
        {__LINE__, "GET /index.html HTTP/1.1\r\nHost: x\r\n", "", ""},
        {__LINE__, "GET /hang.cgi HTTP/1.1\r\n\r\n", malformed,
         "Error 500: Internal Server Error\n" + quote},
        {__LINE__, "GET /late.cgi HTTP/1.1\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", "part", true},
        /* the program never reads: its input pipe fills up */
        {__LINE__, "POST /hang.cgi HTTP/1.1\r\nContent-Length: 200000\r\n\r\n" +
                       std::string(200000, 'p'),
         "HTTP/1.1 577 Internal Server Error\r\n", "Error 577: Internal Server Error\n"},
    };
    std::vector<std::unique_ptr<Conn>> stalled;
    for (const auto &c : cases) {
        stalled.push_back(std::make_unique<Conn>(port));
        ASSERT_TRUE(c.request.empty() || stalled.back()->send(c.request)) << c.line;
    }
    for (int i = 0; i < 10; i++) EXPECT_TRUE(answered(qftest::rawRequest(port, REQUEST))) << i;
    for (size_t i = 0; i < stalled.size(); i++)   /* the silent ones only looked at */
        EXPECT_EQ(stalled[i]->hears(cases[i].early ? 10000 : 0), cases[i].early) << cases[i].line;

    auto deadline = Clock::now() + std::chrono::seconds(45);
    for (size_t i = 0; i < stalled.size(); i++) {
        SCOPED_TRACE(cases[i].line);
        std::string reply = stalled[i]->read(deadline);
        EXPECT_TRUE(stalled[i]->closed);
        EXPECT_EQ(reply.substr(0, cases[i].head.size()), cases[i].head);
        EXPECT_EQ(qftest::bodyOf(reply).substr(0, cases[i].body.size()), cases[i].body) << reply;
    }
    EXPECT_TRUE(qftest::waitFor([&] { return children(server.pid()) == 0; }, 5000));
    EXPECT_TRUE(answered(qftest::rawRequest(port, REQUEST)));
}

/* Clients that drop a download or a program's output halfway, with a close or a
 * reset, cost the server nothing that lasts: descriptors and programs are released. */
TEST_F(Faults, VanishingClientsLeaveNothingBehind)
{
    const size_t size = 8 << 20;
    qftest::writeFile(www.file("big.bin"), std::string(size, 'b'));
    script(www.file("big.cgi"), "printf 'A: b\\r\\n\\r\\n'\nexec head -c 8388608 /dev/zero");
    start();
    ASSERT_TRUE(answered(qftest::rawRequest(port, REQUEST)));
    int before = openDescriptors(server.pid());

    std::vector<std::thread> clients;
    for (int t = 0; t < 4; t++)
        clients.emplace_back([&, t] {
            for (int i = 0; i < 8; i++) {
                Conn c(port);
                c.send(i % 2 ? "GET /big.bin HTTP/1.1\r\n\r\n" : "GET /big.cgi HTTP/1.1\r\n\r\n");
                c.read(Clock::now() + std::chrono::seconds(10), 100000 * (t + 1));
                if ((i + t) % 2 == 0) {
                    struct linger reset = {1, 0};
                    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
                }
            }
        });
    for (std::thread &c : clients) c.join();

    std::string whole = qftest::rawRequest(port, "GET /big.bin HTTP/1.1\r\n\r\n");
    EXPECT_EQ(qftest::bodyOf(whole).size(), size);
    EXPECT_TRUE(qftest::waitFor([&] { return openDescriptors(server.pid()) <= before; }, 10000))
        << openDescriptors(server.pid()) << " descriptors, " << before << " before";
    EXPECT_TRUE(qftest::waitFor([&] { return children(server.pid()) == 0; }, 5000));
}

/* A log that cannot be opened at run time leaves the server serving, its lines
 * on standard error; a good path later takes over again. */
TEST_F(Faults, UnopenableLogsAtRunTimeKeepServing)
{
    start({"-admin_uri", "/admin", "-access_log", logs.file("access.log")});
    auto set = [&](const std::string &name, const std::string &value) {
        std::string body = "o=" + name + "&v=" + value;
        return qftest::rawRequest(port, "POST /admin HTTP/1.1\r\nContent-Length: " +
                                            std::to_string(body.size()) + "\r\n\r\n" + body);
    };
    const std::string missing = logs.file("no/such.log");
    EXPECT_NE(set("access_log", logs.path()).find("Saved: access_log="), std::string::npos);
    EXPECT_NE(set("error_log", missing).find("Saved: error_log="), std::string::npos);
    EXPECT_TRUE(answered(qftest::rawRequest(port, REQUEST)));
    EXPECT_EQ(qftest::rawRequest(port, "GET /gone HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 ", 0), 0u);
    EXPECT_TRUE(qftest::fileGains(logs.file("error.log"),
                                  "open_log_file(" + logs.path() + "): Is a directory\n"));
    for (const std::string &line : {"open_log_file(" + missing + "): No such file or directory\n",
                                     std::string("GET /gone: Error 404")})
        EXPECT_TRUE(qftest::waitFor([&] { return server.err().find(line) != std::string::npos; },
                                    5000))
            << line << "\n" << server.err();

    set("access_log", logs.file("again.log"));
    EXPECT_TRUE(answered(qftest::rawRequest(port, REQUEST)));
    EXPECT_TRUE(qftest::fileGains(logs.file("again.log"), "\"GET /index.html HTTP/1.1\" 200"));
}

/* The listener (denied clients) and workers (refused settings) report at the same
 * time: every line arrives whole. Under ThreadSanitizer this also guards the
 * record that context-only reports go through. */
TEST_F(Faults, ReportsFromManyThreadsAtOnceStayWhole)
{
    start({"-admin_uri", "/admin", "-acl", "+0.0.0.0/0,-127.0.0.2"});
    const int rounds = 50;
    std::atomic<bool> done{false};
    int denials = 0;
    std::thread denied([&] {   /* for as long as the workers report */
        for (; !done || denials == 0; denials++) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            struct usa from = qftest::ipv4("127.0.0.2"), to = qftest::ipv4("127.0.0.1", port);
            if (bind(fd, &from.u.sa, from.len) == 0 && connect(fd, &to.u.sa, to.len) == 0) {
                char c;
                (void) recv(fd, &c, 1, 0);   /* until the server closes */
            }
            close(fd);
        }
    });
    std::vector<std::thread> refused;
    for (int t = 0; t < 2; t++)
        refused.emplace_back([&] {
            for (int i = 0; i < rounds; i++)
                qftest::rawRequest(port, "POST /admin HTTP/1.1\r\nContent-Length: 17\r\n\r\n"
                                         "o=max_threads&v=0");
        });
    for (std::thread &t : refused) t.join();
    done = true;
    denied.join();

    const std::string log = logs.file("error.log");
    auto count = [&](const std::string &line) {
        std::string text = qftest::readFile(log);
        int n = 0;
        for (size_t p = 0; (p = text.find("] " + line + "\n", p)) != std::string::npos; p++) n++;
        return n;
    };
    EXPECT_TRUE(qftest::waitFor(
        [&] { return count("accept_new_connection: 127.0.0.2 is not allowed to connect") == denials; },
        5000));
    EXPECT_EQ(count("set_max_threads_option: [0] must be at least 1"), 2 * rounds);
    EXPECT_EQ(count("qf_set_option(max_threads): failure"), 2 * rounds);
}

}  // namespace
