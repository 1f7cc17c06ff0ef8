/* tests/faults_itest.cpp: the real binary under faults: stalled clients, hung and
 * vanishing peers, log files that cannot be opened, reports from many threads. */
#include <gtest/gtest.h>
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "server_bare_context.h"
#include "support/harness.h"

using namespace qftest;

namespace {

using Clock = std::chrono::steady_clock;

/* Descriptors the process holds now. */
int openDescriptors(pid_t pid)
{
    int n = 0;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) n += e->d_name[0] != '.';
    if (d != nullptr) closedir(d);
    return n;
}

class Faults : public ::testing::Test {
protected:
    void start(const std::vector<std::string> &extra = {}) { ASSERT_TRUE(srv.start(extra)) << srv.proc.err(); }
    /* A clean stop ends every test: a stuck or crashed worker shows as a bad exit. */
    void TearDown() override { EXPECT_EQ(srv.proc.stop(15, 20000), 0) << srv.proc.err(); }
    Server srv;
};

/* Every peer that stops talking holds a worker only until the 30-second timeout,
 * and the programs are ended; the stalls run side by side, so this takes ~31 s. */
TEST_F(Faults, StalledPeersAreCutOffAfterTheTimeout)
{
    writeScript(srv.root("hang.cgi"), "#!/bin/sh\nexec sleep 60");   /* bounded: a failed run leaves no orphan for long */
    writeScript(srv.root("late.cgi"), "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\npart'\nexec sleep 60");
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
        stalled.push_back(std::make_unique<Conn>(srv.port));
        ASSERT_TRUE(c.request.empty() || stalled.back()->send(c.request)) << c.line;
    }
    for (int i = 0; i < 10; i++) EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST))) << i;
    for (size_t i = 0; i < stalled.size(); i++)   /* the silent ones only looked at */
        EXPECT_EQ(stalled[i]->hears(cases[i].early ? 10000 : 0), cases[i].early) << cases[i].line;

    auto deadline = Clock::now() + std::chrono::seconds(45);
    for (size_t i = 0; i < stalled.size(); i++) {
        SCOPED_TRACE(cases[i].line);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        std::string reply = stalled[i]->read((int) left.count());
        EXPECT_TRUE(stalled[i]->closed);
        EXPECT_EQ(reply.substr(0, cases[i].head.size()), cases[i].head);
        EXPECT_EQ(bodyOf(reply).substr(0, cases[i].body.size()), cases[i].body) << reply;
    }
    EXPECT_TRUE(waitFor([&] { return childProcesses(srv.proc.pid()) == 0; }, 5000));
    EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST)));
}

/* Clients that drop a download or a program's output halfway, with a close or a
 * reset, cost the server nothing that lasts: descriptors and programs are released. */
TEST_F(Faults, VanishingClientsLeaveNothingBehind)
{
    const size_t size = 8 << 20;
    writeFile(srv.root("big.bin"), std::string(size, 'b'));
    writeScript(srv.root("big.cgi"), "#!/bin/sh\nprintf 'A: b\\r\\n\\r\\n'\nexec head -c 8388608 /dev/zero");
    start();
    ASSERT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST)));
    int before = openDescriptors(srv.proc.pid());

    std::vector<std::thread> clients;
    for (int t = 0; t < 4; t++)
        clients.emplace_back([&, t] {
            for (int i = 0; i < 8; i++) {
                Conn c(srv.port);
                c.send(i % 2 ? "GET /big.bin HTTP/1.1\r\n\r\n" : "GET /big.cgi HTTP/1.1\r\n\r\n");
                c.read(10000, 100000 * (t + 1));
                if ((i + t) % 2 == 0) {
                    struct linger reset = {1, 0};
                    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
                }
            }
        });
    for (std::thread &c : clients) c.join();

    EXPECT_EQ(bodyOf(rawRequest(srv.port, "GET /big.bin HTTP/1.1\r\n\r\n")).size(), size);
    EXPECT_TRUE(waitFor([&] { return openDescriptors(srv.proc.pid()) <= before; }, 10000))
        << openDescriptors(srv.proc.pid()) << " descriptors, " << before << " before";
    EXPECT_TRUE(waitFor([&] { return childProcesses(srv.proc.pid()) == 0; }, 5000));
}

/* A log that cannot be opened at run time leaves the server serving, its lines
 * on standard error; a good path later takes over again. */
TEST_F(Faults, UnopenableLogsAtRunTimeKeepServing)
{
    const TempDir &dir = srv.dir;
    start({"-admin_uri", "/admin", "-access_log", dir.file("access.log")});
    auto set = [&](const std::string &name, const std::string &value) {
        return srv.ask("POST /admin", "", "o=" + name + "&v=" + value);
    };
    const std::string missing = dir.file("no/such.log");
    EXPECT_NE(set("access_log", dir.path()).find("Saved: access_log="), std::string::npos);
    EXPECT_NE(set("error_log", missing).find("Saved: error_log="), std::string::npos);
    EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST)));
    EXPECT_EQ(srv.ask("GET /gone").rfind("HTTP/1.1 404 ", 0), 0u);
    EXPECT_TRUE(srv.logged("open_log_file(" + dir.path() + "): Is a directory\n"));
    for (const std::string &line : {"open_log_file(" + missing + "): No such file or directory\n",
                                     std::string("GET /gone: Error 404")})
        EXPECT_TRUE(waitFor([&] { return srv.proc.err().find(line) != std::string::npos; }, 5000))
            << line << "\n" << srv.proc.err();

    set("access_log", dir.file("again.log"));
    EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST)));
    EXPECT_TRUE(fileGains(dir.file("again.log"), "\"GET /index.html HTTP/1.1\" 200"));
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
            struct usa from = qftest::ipv4("127.0.0.2"), to = qftest::ipv4("127.0.0.1", srv.port);
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
                srv.ask("POST /admin", "", "o=max_threads&v=0");
        });
    for (std::thread &t : refused) t.join();
    done = true;
    denied.join();

    auto count = [&](const std::string &line) {
        std::string text = readFile(srv.dir.file("error.log"));
        int n = 0;
        for (size_t p = 0; (p = text.find("] " + line + "\n", p)) != std::string::npos; p++) n++;
        return n;
    };
    EXPECT_TRUE(waitFor(
        [&] { return count("accept_new_connection: 127.0.0.2 is not allowed to connect") == denials; },
        5000));
    EXPECT_EQ(count("set_max_threads_option: [0] must be at least 1"), 2 * rounds);
    EXPECT_EQ(count("qf_set_option(max_threads): failure"), 2 * rounds);
}

}  // namespace
