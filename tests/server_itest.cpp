/* tests/server_itest.cpp: the real binary under load and faults: waiting, stalled, vanishing and
 * denied clients, hung peers, logs that cannot be opened, reports from many threads; the admin page. */
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "http/http.h"
#include "support/harness.h"

using namespace qftest;

namespace {

using Clock = std::chrono::steady_clock;

/* What each event set of the process watches: the descriptor numbers listed in its fdinfo. */
std::vector<std::set<int>> eventSets(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid);
    std::vector<std::set<int>> sets;
    for (const auto &e : std::filesystem::directory_iterator(dir + "/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(e.path(), ec).string() != "anon_inode:[eventpoll]") continue;
        std::istringstream info(readFile(dir + "/fdinfo/" + e.path().filename().string()));
        sets.emplace_back();
        for (std::string line; std::getline(info, line);)
            if (line.rfind("tfd:", 0) == 0) sets.back().insert(std::stoi(line.substr(4)));
    }
    return sets;
}

class ServerItest : public ::testing::Test {
protected:
    void start(const std::vector<std::string> &extra = {}) { ASSERT_TRUE(srv.start(extra)) << srv.proc.err(); }
    /* A clean stop ends every test: a stuck or crashed worker shows as a bad exit. */
    void TearDown() override { EXPECT_EQ(srv.proc.stop(15, 20000), 0) << srv.proc.err(); }
    Server srv;
};
using Faults = ServerItest;

/* The one worker held by a program that waits: the intake still answers static files and
 * errors itself, while what needs a worker (SSI, CGI, a callback, a POST) waits for it: twenty such
 * heads fill the queue, the intake holds the next and takes in no more (it pauses), and no second
 * worker starts. Everyone gets their own answer afterwards, in turn. */
TEST_F(ServerItest, OneWorkerServesWaitingClientsInTurn)
{
    const int clients = 30;
    std::vector<std::pair<std::string, std::string>> asks;   /* request, a piece of its answer */
    for (int i = 0; i < clients; i++) {
        const std::string n = std::to_string(i);
        switch (i % 4) {
        case 0: writeFile(srv.root("f" + n + ".shtml"), "page " + n);
                asks.push_back({"GET /f" + n + ".shtml HTTP/1.0\r\n\r\n", "page " + n}); break;
        case 1: writeScript(srv.root("c" + n + ".cgi"), "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\ncgi " + n + "'\n");
                asks.push_back({"GET /c" + n + ".cgi HTTP/1.0\r\n\r\n", "cgi " + n}); break;
        case 2: asks.push_back({"GET /admin HTTP/1.0\r\n\r\n", "<h1>Quillfen"}); break;
        default: writeFile(srv.root("p" + n + ".txt"), "post " + n);
                asks.push_back({"POST /p" + n + ".txt HTTP/1.0\r\nContent-Length: 0\r\n\r\n", "post " + n});
        }
    }
    writeFile(srv.root("small.txt"), "small");
    writeScript(srv.root("hold.cgi"), "#!/bin/sh\n: > held\nwhile [ ! -e go ]; do sleep 0.05; done\n"
                                      "printf 'Content-Type: text/plain\\r\\n\\r\\nreleased'\n");
    start({"-max_threads", "1", "-admin_uri", "/admin"});
    Conn first(srv.port);
    ASSERT_TRUE(first.send("GET /hold.cgi HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(waitFor([&] { return fileExists(srv.root("held")); }, 10000));   /* the worker runs it */
    const pid_t pid = srv.proc.pid();
    const int threads = threadCount(pid), fds = openDescriptors(pid);
    EXPECT_EQ(bodyOf(rawRequest(srv.port, "GET /small.txt HTTP/1.0\r\n\r\n")), "small");
    EXPECT_EQ(rawRequest(srv.port, "HEAD /none HTTP/1.0\r\n\r\n").substr(0, 22), "HTTP/1.1 404 Not Found");

    /* A head is taken in once c's bytes have arrived (acknowledged) and none are left unread. One
     * that must not be: once no loop of the intake watches the listener any more (every loop has
     * paused), nothing can accept the client and read its head later. */
    const int listener = descriptorOf(pid, srv.port);
    ASSERT_GE(listener, 0);
    auto read = [&](const Conn &c) {
        return tcpQueue(c.port(), srv.port, true) == 0 && tcpQueue(srv.port, c.port()) == 0;
    };
    auto paused = [&] {
        std::vector<std::set<int>> sets = eventSets(pid);
        return std::none_of(sets.begin(), sets.end(), [&](const std::set<int> &s) { return s.count(listener) == 1; });
    };
    std::vector<std::unique_ptr<Conn>> waiting;
    for (int i = 0; i < clients; i++) {
        waiting.push_back(std::make_unique<Conn>(srv.port));
        Conn &c = *waiting.back();
        ASSERT_TRUE(c.send(asks[i].first)) << i;
        if (i < 21) {   /* 20 queued, 1 held */
            EXPECT_TRUE(waitFor([&] { return read(c); }, 10000)) << i;
        } else if (i == 21) {
            EXPECT_TRUE(waitFor([&] { return tcpQueue(c.port(), srv.port, true) == 0 && paused(); }, 10000));
            EXPECT_FALSE(read(c));
        }
    }
    /* every client accepted or waiting in the backlog, and still only the one worker */
    EXPECT_TRUE(waitFor([&] { return openDescriptors(pid) - fds + tcpQueue(srv.port) == clients; }, 10000))
        << tcpQueue(srv.port) << " in the backlog";
    EXPECT_EQ(threadCount(pid), threads);
    EXPECT_FALSE(waiting.front()->hears(0));
    writeFile(srv.root("go"), "");
    EXPECT_NE(first.read().find("released"), std::string::npos);
    for (int i = 0; i < clients; i++)
        EXPECT_NE(waiting[i]->read().find(asks[i].second), std::string::npos) << asks[i].first;
}

/* The intake waits on clients, never the workers: with one worker, a client that reads none of a
 * large file, a head that comes one byte per segment and a GET announcing a body it never sends are
 * all served; the reader still gets every byte, and its access-log line counts them once the
 * handed-over send has ended. */
TEST_F(ServerItest, WaitingClientsHoldNoWorker)
{
    const size_t size = 32 << 20;
    writeFile(srv.root("big.bin"), std::string(size, 'b'));
    start({"-max_threads", "1", "-access_log", srv.dir.file("access.log")});
    Conn reader(srv.port);
    ASSERT_TRUE(reader.send("GET /big.bin HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(reader.hears(10000));

    Conn trickle(srv.port);
    const int on = 1;
    setsockopt(trickle.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    for (char c : INDEX_REQUEST) {
        ASSERT_TRUE(trickle.send(std::string(1, c)));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));   /* pacing only: one byte a segment */
    }
    EXPECT_TRUE(isIndexAnswer(trickle.read()));
    /* no body is waited for: a wait would outlast the read's bound (30 s) */
    EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, "GET /index.html HTTP/1.1\r\nContent-Length: 100\r\n\r\n")));

    std::string reply = reader.read(60000);
    EXPECT_TRUE(reader.closed);
    EXPECT_EQ(bodyOf(reply).size(), size);
    EXPECT_TRUE(fileGains(srv.dir.file("access.log"), "\"GET /big.bin HTTP/1.0\" 200 " + std::to_string(size) + " -"));

    /* a stop closes heads at once and gives a send 5 s, not the 30 s of a stall, logging the bytes
     * that went out */
    Conn silent(srv.port), stuck(srv.port);
    ASSERT_TRUE(stuck.send("GET /big.bin HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(stuck.hears(10000));
    EXPECT_EQ(srv.proc.stop(15, 20000), 0);
    std::smatch m;
    std::string log = readFile(srv.dir.file("access.log"));
    ASSERT_TRUE(std::regex_search(log, m, std::regex("\"GET /big.bin HTTP/1.1\" 200 ([0-9]+) -")));
    EXPECT_LT(std::stoull(m[1]), size);
}

std::string row(const std::string &name, const std::string &description, const std::string &value)
{
    return "<form method=post><tr><td>" + name + "</td><td>" + description +
           "</td><input type=hidden name=o value='" + name + "'><td><input type=text name=v value='" +
           value + "'></td><td><input type=submit value=save></td></form></tr>";
}

/* Each POST answers with a paragraph right behind the heading and the table. */
TEST_F(ServerItest, AdminPageShowsAndSetsOptions)
{
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"
                             "<html><body><h1>Quillfen v. 2.8</h1>",
                      table = "<table border=\"1\"<tr><th>Option</th><th>Description</th>"
                              "<th colspan=2>Value</th></tr>",
                      saved = "<p style=\"color: green\">Saved: ",
                      error = "<p style=\"background: red\">Error setting option \"",
                      threads = "Maximum simultaneous threads to spawn";
    start({"-admin_uri", "/admin"});
    std::string page = srv.ask("GET /admin");
    EXPECT_EQ(page.rfind(head + table + row("root", "\tWeb root directory", srv.root()), 0), 0u)
        << page.substr(0, 400);

    const struct { int line; std::string body, paragraph, row; } cases[] = {
        {__LINE__, "o=max_threads&v=50", saved + "max_threads=50</p>", row("max_threads", threads, "50")},
        {__LINE__, "o=nope&v=1", error + "nope\"</p>", ""},
        /* refused: the page says why, and the value stays */
        {__LINE__, "o=max_threads", error + "max_threads\": set_max_threads_option: a number is required</p>",
         row("max_threads", threads, "50")},
        /* names and values from the form cannot break out of the markup */
        {__LINE__, "o=auth_realm&v=%3Cb%3E'%22%26", saved + "auth_realm=&lt;b&gt;&#39;&quot;&amp;</p>",
         row("auth_realm", "Authentication domain name", "&lt;b&gt;&#39;&quot;&amp;")},
        {__LINE__, "o=%3Cscript%3E&v=1", error + "&lt;script&gt;\"</p>", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        page = srv.ask("POST /admin", "", c.body);
        EXPECT_EQ(page.rfind(head + c.paragraph + table, 0), 0u) << page.substr(0, 300);
        EXPECT_NE(page.find(c.row), std::string::npos);
    }
    /* a form of unknown length, in chunks */
    page = rawRequest(srv.port, "POST /admin HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                "5\r\no=max\r\nc\r\n_threads&v=7\r\n0\r\n\r\n");
    EXPECT_EQ(page.rfind(head + saved + "max_threads=7</p>" + table, 0), 0u) << page.substr(0, 300);
    /* new ports are listened on at once, the old ones no more */
    const int moved = freePort();
    EXPECT_NE(srv.ask("POST /admin", "", "o=ports&v=" + std::to_string(moved)).find("Saved: ports="),
              std::string::npos);
    EXPECT_TRUE(isIndexAnswer(rawRequest(moved, INDEX_REQUEST)));
    EXPECT_LT(Conn(srv.port).fd, 0);
    /* by every loop of the intake, one per CPU: one that missed the change would leave the new
     * port's clients to the others */
    cpu_set_t cpus;
    ASSERT_EQ(sched_getaffinity(srv.proc.pid(), sizeof(cpus), &cpus), 0);
    const size_t loops = std::min(CPU_COUNT(&cpus), 8);
    const int listener = descriptorOf(srv.proc.pid(), moved, 0, "00000000");
    ASSERT_GE(listener, 0);
    std::vector<std::set<int>> sets;
    EXPECT_TRUE(waitFor([&] {
        sets = eventSets(srv.proc.pid());
        return sets.size() == loops &&
               std::all_of(sets.begin(), sets.end(), [&](const std::set<int> &s) { return s.count(listener) == 1; });
    }, 5000)) << sets.size() << " event sets";
}

/* Mistakes on the administration page leave the server as it was: an access list with one bad
 * entry is refused and the old one still denies 127.0.0.1 (the page is asked from 127.0.0.2), while
 * an empty list allows everyone, as an unset one does. */
TEST_F(ServerItest, RefusedAccessListKeepsTheOldOne)
{
    start({"-admin_uri", "/admin", "-acl", "+0.0.0.0/0,-127.0.0.1"});
    auto set = [&](const std::string &value) {
        return ask(srv.port, "POST /admin", "Host: localhost\r\n", "o=acl&v=" + value, "127.0.0.2");
    };
    EXPECT_EQ(rawRequest(srv.port, INDEX_REQUEST), "");
    std::string page = set("%2B0.0.0.0%2F0%2C-127.0.0.1%2C%2B300.1.1.1");
    EXPECT_NE(page.find("<p style=\"background: red\">Error setting option \"acl\": check_acl: bad ip address: "
                        "[+300.1.1.1]</p>"), std::string::npos) << page.substr(0, 300);
    EXPECT_NE(page.find("name=v value='+0.0.0.0/0,-127.0.0.1'>"), std::string::npos);
    EXPECT_EQ(page.find("Saved"), std::string::npos);
    EXPECT_EQ(rawRequest(srv.port, INDEX_REQUEST), "");
    EXPECT_TRUE(srv.logged("] accept_new_connection: 127.0.0.1 is not allowed to connect\n"));

    EXPECT_NE(set("").find("<p style=\"color: green\">Saved: acl=</p>"), std::string::npos);
    EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST)));
    EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST, 10000, "127.0.0.2")));
}

/* Clients cannot take the descriptors that the server needs itself. Under a limit of 64, 200 idle
 * connections leave the panel's refresh thread writing its page; the oldest idle ones are cut for
 * newcomers, so a request is served meanwhile, and all is served as before once they are gone. */
TEST_F(Faults, IdleClientsLeaveTheServerItsDescriptors)
{
    srv.proc.fdLimit = 64;
    start();
    const std::string page = srv.product.bin() + "drevanta_gui.html";
    auto pageInode = [&] {
        struct stat st;
        return stat(page.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    ASSERT_TRUE(waitFor([&] { return pageInode() != 0; }, 10000));
    std::vector<std::unique_ptr<Conn>> idle;
    for (int i = 0; i < 200; i++) {
        idle.push_back(std::make_unique<Conn>(srv.port));
        ASSERT_GE(idle.back()->fd, 0);
    }
    EXPECT_TRUE(waitFor([&] { return openDescriptors(srv.proc.pid()) >= 40; }, 5000));
    const ino_t before = pageInode();   /* each pass renames a new page into place */
    EXPECT_TRUE(waitFor([&] { return pageInode() != before; }, 20000)) << srv.proc.err();
    EXPECT_TRUE(waitFor([&] { return isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST, 2000)); }, 30000));
    EXPECT_TRUE(srv.logged("connections closed before their request head was complete: descriptors ran short\n"));
    idle.clear();
    EXPECT_TRUE(waitFor([&] { return isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST, 2000)); }, 10000));
    EXPECT_EQ(srv.proc.err(), "");
}

/* Bodies are read by the intake: with two workers, twenty clients that send their POST bodies a
 * byte at a time hold none of them, and a program is run for another client meanwhile. Each body
 * then arrives whole, in however many pieces it came: at a program (with a length or chunked, after
 * 100 Continue, past 64 KiB through a file), at the panel and at a callback (PUT too). */
TEST_F(ServerItest, SlowBodiesHoldNoWorker)
{
    /* all of its input first: a large echo would fill both pipes */
    writeScript(srv.root("echo.cgi"), "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n[%s]' \"$CONTENT_LENGTH\"\n"
                                      "cat > in.$$; cat in.$$; rm in.$$\n");
    writeScript(srv.root("hi.cgi"), "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nhi'\n");
    writeFile(srv.root("page.txt"), "page");
    start({"-max_threads", "2", "-admin_uri", "/admin"});
    const std::string big(200000, 'b'), form = "basicsetupbutton=Save&SipProxyIP=10.9.9.9";
    auto length = [](const std::string &b) { return "Content-Length: " + std::to_string(b.size()) + "\r\n\r\n" + b; };
    const std::string chunked = "Transfer-Encoding: chunked\r\n\r\n";
    const struct { int line; std::string wire, answer; size_t piece = 1; } rows[] = {
        {__LINE__, "POST /echo.cgi HTTP/1.1\r\n" + length("x=1&y=2"), "[7]x=1&y=2"},
        {__LINE__, "POST /echo.cgi HTTP/1.1\r\n" + chunked + "3\r\nabc\r\n4;e=1\r\ndefg\r\n0\r\n\r\n", "[7]abcdefg"},
        {__LINE__, "POST /echo.cgi HTTP/1.1\r\nExpect: 100-continue\r\n" + length("go on"), "[5]go on"},
        {__LINE__, "POST /echo.cgi HTTP/1.1\r\n" + length(big), "[200000]" + big, 20000},
        {__LINE__, "POST /echo.cgi HTTP/1.1\r\n" + chunked + "30d40\r\n" + big + "\r\n0\r\n\r\n", "[200000]" + big, 20000},
        {__LINE__, "POST /page.txt HTTP/1.1\r\n" + length(form), "page"},
        {__LINE__, "POST /admin HTTP/1.1\r\n" + length("o=idle_time&v=10"), "Saved: idle_time=10"},
        {__LINE__, "PUT /admin?x HTTP/1.1\r\n" + length("a callback takes it"), "<h1>Quillfen"},
    };
    const int clients = 20, on = 1;
    std::vector<std::unique_ptr<Conn>> slow;
    std::vector<size_t> sent;
    for (int i = 0; i < clients; i++) {
        const auto &r = rows[i % std::size(rows)];
        slow.push_back(std::make_unique<Conn>(srv.port));
        setsockopt(slow.back()->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        sent.push_back(r.wire.find("\r\n\r\n") + 5);   /* the head and one byte of the body */
        ASSERT_TRUE(slow.back()->send(r.wire.substr(0, sent.back()))) << r.line;
    }
    auto round = [&] {   /* the next piece of every body; false when all were sent */
        std::this_thread::sleep_for(std::chrono::milliseconds(20));   /* pacing only: a piece a segment */
        bool more = false;
        for (int i = 0; i < clients; i++) {
            const auto &r = rows[i % std::size(rows)];
            if (sent[i] >= r.wire.size()) continue;
            EXPECT_TRUE(slow[i]->send(r.wire.substr(sent[i], r.piece))) << r.line;
            more = true;
            sent[i] += r.piece;
        }
        return more;
    };
    round();   /* a second segment: nobody waits for the body to come with the head */
    EXPECT_EQ(bodyOf(rawRequest(srv.port, "GET /hi.cgi HTTP/1.0\r\n\r\n")), "hi");
    while (round()) {}
    for (int i = 0; i < clients; i++) {
        const auto &r = rows[i % std::size(rows)];
        std::string reply = slow[i]->read();
        const bool interim = r.wire.find("Expect") != std::string::npos;
        EXPECT_EQ(reply.rfind(interim ? "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK" : "HTTP/1.1 200 OK", 0), 0u)
            << r.line << " " << reply.substr(0, 100);
        EXPECT_NE(bodyOf(reply.substr(interim ? 25 : 0)).find(r.answer), std::string::npos) << r.line;
    }
    EXPECT_NE(readFile(srv.product.bin() + "quorvel.conf").find("\nSipProxyIP=10.9.9.9"), std::string::npos);
}

/* Every peer that stops talking holds at most its own worker, until the client deadline (30 s,
 * here shortened to 8), and the programs are ended; the stalls run side by side, so this takes ~9 s.
 * A head must be complete within the deadline after the accept however it trickles in, and a file
 * send is cut after as long without progress; the error log sums such closures up in one line a
 * minute. Idle workers (idle_time 60) leave at once on SIGTERM, or the stop in TearDown would miss
 * its 20 s. */
TEST_F(Faults, StalledPeersAreCutOffAfterTheTimeout)
{
    const std::string deadline_s = "8";
    /* bounded sleeps: a failed run leaves no orphan for long */
    writeScript(srv.root("hang.cgi"), "#!/bin/sh\nexec sleep 60");
    writeScript(srv.root("late.cgi"), "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\npart'\nexec sleep 60");
    setenv("QF_TEST_CLIENT_DEADLINE", deadline_s.c_str(), 1);
    start({"-idle_time", "60", "-access_log", srv.dir.file("access.log")});
    unsetenv("QF_TEST_CLIENT_DEADLINE");
    const std::string malformed = "HTTP/1.1 500 Internal Server Error\r\n";
    const struct { int line; std::string request, head, body; bool early = false; } cases[] = {
        {__LINE__, "", "", ""},
        {__LINE__, "GET /index.html HTTP/1.1\r\nHost: x\r\n", "", ""},
        {__LINE__, "GET /hang.cgi HTTP/1.1\r\n\r\n", malformed,
         "Error 500: Internal Server Error\nCGI program sent malformed HTTP headers: []"},
        {__LINE__, "GET /late.cgi HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n",
         "part", true},
        /* the program never reads: its input pipe fills up */
        {__LINE__, "POST /hang.cgi HTTP/1.1\r\nContent-Length: 200000\r\n\r\n" + std::string(200000, 'p'),
         "HTTP/1.1 577 Internal Server Error\r\n", "Error 577: Internal Server Error\n"},
        /* a body that stops coming: closed unanswered */
        {__LINE__, "POST /hang.cgi HTTP/1.1\r\nContent-Length: 10\r\n\r\nab", "", ""},
    };
    std::vector<std::unique_ptr<Conn>> stalled;
    for (const auto &c : cases) {
        stalled.push_back(std::make_unique<Conn>(srv.port));
        ASSERT_TRUE(c.request.empty() || stalled.back()->send(c.request)) << c.line;
    }
    Conn resumed(srv.port);   /* stalls, then finishes its request */
    ASSERT_TRUE(resumed.send("GET /index.html HT"));
    const size_t size = 32 << 20;
    writeFile(srv.root("big.bin"), std::string(size, 'b'));
    Conn reader(srv.port);   /* takes nothing of its file */
    ASSERT_TRUE(reader.send("GET /big.bin HTTP/1.0\r\n\r\n"));
    std::atomic<bool> trickle_cut{false};
    std::thread trickler([&] {   /* a header byte every 2 s, for as long as the server listens */
        Conn t(srv.port);
        bool sending = t.send("GET /index.html HTTP/1.1\r\n");
        for (int i = 0; i < 25 && sending && !t.hears(2000); i++) sending = t.send("x");
        trickle_cut = t.read(1000).empty() && t.closed;
    });
    for (int i = 0; i < 10; i++) EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST))) << i;
    for (size_t i = 0; i < stalled.size(); i++)   /* the silent ones only looked at */
        EXPECT_EQ(stalled[i]->hears(cases[i].early ? 10000 : 0), cases[i].early) << cases[i].line;
    EXPECT_FALSE(resumed.hears(0));
    ASSERT_TRUE(resumed.send("TP/1.0\r\n\r\n"));
    EXPECT_TRUE(isIndexAnswer(resumed.read()));

    auto deadline = Clock::now() + std::chrono::seconds(std::stoi(deadline_s) + 15);
    for (size_t i = 0; i < stalled.size(); i++) {
        SCOPED_TRACE(cases[i].line);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        std::string reply = stalled[i]->read((int) left.count());
        EXPECT_TRUE(stalled[i]->closed);
        EXPECT_EQ(reply.substr(0, cases[i].head.size()), cases[i].head);
        EXPECT_EQ(bodyOf(reply).substr(0, cases[i].body.size()), cases[i].body) << reply;
    }
    trickler.join();
    EXPECT_TRUE(trickle_cut);
    /* cut: its line is written, with what went out before the stall */
    std::smatch m;
    const std::regex cut("\"GET /big.bin HTTP/1.0\" 200 ([0-9]+) -");
    std::string log;
    EXPECT_TRUE(waitFor([&] { return std::regex_search(log = readFile(srv.dir.file("access.log")), m, cut); }, 15000));
    EXPECT_LT(std::stoull(m.size() > 1 ? m[1].str() : "0"), size);
    reader.read(10000);
    EXPECT_TRUE(reader.closed);
    EXPECT_TRUE(waitFor([&] { return childProcesses(srv.proc.pid()) == 0; }, 5000));
    EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST)));
    const std::regex summary("\\] [1-9][0-9]* connections closed: request head not complete within " + deadline_s +
                             " s; [0-9]+: no progress sending for " + deadline_s + " s\n");
    auto summaries = [&] {
        std::string log = readFile(srv.dir.file("error.log"));
        return std::distance(std::sregex_iterator(log.begin(), log.end(), summary), std::sregex_iterator());
    };
    EXPECT_TRUE(waitFor([&] { return summaries() > 0; }, 5000));
    EXPECT_EQ(summaries(), 1);   /* the next one a minute later at the earliest */
}

/* Clients that drop a download or a program's output halfway, with a close or a reset, cost the
 * server nothing that lasts: descriptors and programs are released. Afterwards a whole file still
 * goes out, even to a client whose extra bytes are never read (the close must not become a reset). */
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
                struct linger reset = {1, 0};
                if ((i + t) % 2 == 0) setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
            }
        });
    for (std::thread &c : clients) c.join();

    Conn client(srv.port);
    ASSERT_TRUE(client.send("GET /big.bin HTTP/1.1\r\n\r\n" + std::string(60000, 'x')));
    EXPECT_EQ(bodyOf(client.read()).size(), size);
    EXPECT_TRUE(client.closed);
    EXPECT_TRUE(waitFor([&] { return openDescriptors(srv.proc.pid()) <= before; }, 10000))
        << openDescriptors(srv.proc.pid()) << " descriptors, " << before << " before";
    EXPECT_TRUE(waitFor([&] { return childProcesses(srv.proc.pid()) == 0; }, 5000));
}

/* A log that cannot be opened at run time is refused, a FIFO at once (without waiting for a reader),
 * and the old one stays in use; a good path later takes over. */
TEST_F(Faults, UnopenableLogsAtRunTimeKeepServing)
{
    const TempDir &dir = srv.dir;
    start({"-admin_uri", "/admin", "-access_log", dir.file("access.log")});
    const std::string fifo = dir.file("log.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct { const char *name; std::string path, why; } rows[] = {
        {"access_log", dir.path(), "Is a directory"},
        {"error_log", dir.file("no/such.log"), "No such file or directory"},
        {"error_log", fifo, "not a regular file"},
        {"access_log", fifo, "not a regular file"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.path);
        std::string page;
        Call call([&] { page = srv.ask("POST /admin", "", std::string("o=") + r.name + "&v=" + r.path); });
        ASSERT_TRUE(call.returns(5000));
        const std::string said = "open_log_file(" + r.path + "): " + r.why;
        EXPECT_NE(page.find(std::string("<p style=\"background: red\">Error setting option \"") + r.name + "\": " +
                            said + "</p>"), std::string::npos) << page.substr(0, 300);
        EXPECT_TRUE(srv.logged("] " + said + "\n"));
    }
    EXPECT_TRUE(srv.logged("] qf_set_option(access_log): failure\n"));
    EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST)));
    EXPECT_EQ(srv.ask("GET /gone").rfind("HTTP/1.1 404 ", 0), 0u);
    /* the old logs stay in use */
    EXPECT_TRUE(fileGains(dir.file("access.log"), "\"GET /index.html HTTP/1.1\" 200"));
    EXPECT_TRUE(srv.logged("GET /gone: Error 404"));
    EXPECT_EQ(srv.proc.err(), "");

    srv.ask("POST /admin", "", "o=access_log&v=" + dir.file("again.log"));
    EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST)));
    EXPECT_TRUE(fileGains(dir.file("again.log"), "\"GET /index.html HTTP/1.1\" 200"));
}

/* The listener (denied clients, closed without an answer) and workers (refused settings) report at
 * the same time: every line arrives whole. Under ThreadSanitizer this also guards the record
 * context-only reports use. */
TEST_F(Faults, ReportsFromManyThreadsAtOnceStayWhole)
{
    start({"-admin_uri", "/admin", "-acl", "+0.0.0.0/0,-127.0.0.2"});
    const int rounds = 50;
    std::atomic<bool> done{false};
    int denials = 0;
    std::thread denied([&] {   /* for as long as the workers report */
        for (; !done || denials == 0; denials++) {
            Conn c(srv.port, "127.0.0.2");
            c.send(INDEX_REQUEST);   /* may fail: the server can close first */
            EXPECT_TRUE(c.read().empty() && c.closed);
        }
    });
    std::vector<std::thread> refused;
    for (int t = 0; t < 2; t++)
        refused.emplace_back([&] {
            for (int i = 0; i < rounds; i++) srv.ask("POST /admin", "", "o=max_threads&v=0");
        });
    for (std::thread &t : refused) t.join();
    done = true;
    denied.join();

    auto count = [&](const std::string &line) {
        return occurrences(readFile(srv.dir.file("error.log")), "] " + line + "\n");
    };
    EXPECT_TRUE(waitFor(
        [&] { return count("accept_new_connection: 127.0.0.2 is not allowed to connect") == denials; }, 5000));
    EXPECT_EQ(count("set_max_threads_option: [0] must be at least 1"), 2 * rounds);
    EXPECT_EQ(count("qf_set_option(max_threads): failure"), 2 * rounds);
}

/* The loop tries a request first and hands it to a worker as soon as it
 * needs one (here: a protect file that cannot be opened, which refuses the
 * request; an embedder's error answer would too); what it reported
 * meanwhile must not be reported again by the worker. */
TEST(Embedding, ARequestHandedOnIsReportedOnce)
{
    TempDir dir;
    struct qf_context *ctx = qf_start();
    ASSERT_NE(ctx, nullptr);
    const int port = freePort();
    for (const auto &[name, value] : std::vector<std::pair<std::string, std::string>>{
             {"root", dir.path()}, {"error_log", dir.file("error.log")},
             {"protect", "/p=" + dir.file("no-such-passwords")},
             {"ports", "127.0.0.1:" + std::to_string(port)}})
        ASSERT_EQ(qf_set_option(ctx, name.c_str(), value.c_str()), 1) << name;
    qf_set_error_callback(ctx, 0, [](struct qf_connection *conn, const struct qf_request_info *ri, void *) {
        qf_printf(conn, "HTTP/1.1 %d Embedder\r\nContent-Length: 0\r\n\r\n", ri->status_code);
    }, nullptr);
    EXPECT_EQ(rawRequest(port, "GET /p/gone HTTP/1.1\r\nHost: x\r\n\r\n")
                  .rfind("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest qop=\"auth\"", 0),
              0u);
    EXPECT_EQ(rawRequest(port, "GET /gone HTTP/1.1\r\nHost: x\r\n\r\n").substr(0, 23),
              "HTTP/1.1 404 Embedder\r\n");
    qf_stop(ctx);
    const std::string log = readFile(dir.file("error.log"));
    EXPECT_EQ(occurrences(log, "cannot open"), 1) << log;
}

}  // namespace
