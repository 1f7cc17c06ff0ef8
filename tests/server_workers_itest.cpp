/* tests/server_workers_itest.cpp: the real binary under concurrent, slow and denied clients. */
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"

namespace {

const char BODY[] = "hello from the root\n";
const char REQUEST[] = "GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n";

bool
is_full_answer(const std::string &reply)
{
    return reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 &&
           reply.size() >= sizeof(BODY) - 1 &&
           reply.compare(reply.size() - (sizeof(BODY) - 1), std::string::npos, BODY) == 0;
}

/* One client connection driven step by step. */
class Client {
public:
    explicit Client(int port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in sin = {};
        sin.sin_family = AF_INET;
        sin.sin_port = htons((uint16_t) port);
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && connect(fd_, (struct sockaddr *) &sin, sizeof(sin)) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Client()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connected() const { return fd_ >= 0; }

    bool send_text(const std::string &text)
    {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == (ssize_t) text.size();
    }

    /* True when bytes or the server's close arrive within timeout_ms. */
    bool hears_something(int timeout_ms)
    {
        struct pollfd pfd = {fd_, POLLIN, 0};
        return poll(&pfd, 1, timeout_ms) == 1;
    }

    /* Everything until the server closes; closed() tells whether it did. */
    std::string read_all(int timeout_ms)
    {
        std::string reply;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        char buf[4096];
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !hears_something((int) left.count()))
                return reply;
            ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n <= 0) {
                /* a reset counts too: closing with the request unread sends one */
                closed_ = n == 0 || errno == ECONNRESET;
                return reply;
            }
            reply.append(buf, (size_t) n);
        }
    }

    bool closed() const { return closed_; }

private:
    int fd_ = -1;
    bool closed_ = false;
};

class ServerWorkers : public ::testing::Test {
protected:
    void SetUp() override
    {
        qftest::writeFile(www.file("index.html"), BODY);
        port = qftest::freePort();
        ASSERT_GT(port, 0);
    }

    /* Every test ends with a clean stop: under the sanitizers a fault in
     * the workers or the tear-down shows as a non-zero exit. */
    void TearDown() override
    {
        if (server == nullptr)
            return;
        int status = server->waitExit(0);
        if (status == -1)
            status = server->stop();
        EXPECT_EQ(status, 0) << server->err();
    }

    /* Starts the binary on the loopback port with an error log of its own. */
    void start(const std::vector<std::string> &extra)
    {
        std::vector<std::string> args = {"-ports", "127.0.0.1:" + std::to_string(port),
                                         "-root", www.path(), "-error_log", error_log()};
        args.insert(args.end(), extra.begin(), extra.end());
        /* A fresh process record each time: a reused one would still show
         * the previous run's banner. */
        server.reset(new qftest::ServerProcess);
        ASSERT_TRUE(server->start(args, product.bin().c_str()));
        ASSERT_TRUE(server->waitForOutput("started on port")) << server->err();
    }

    std::string error_log() const { return logs.file("error.log"); }

    qftest::ProductDir product;
    qftest::TempDir www;
    qftest::TempDir logs;
    std::unique_ptr<qftest::ServerProcess> server;
    int port = -1;
};

TEST_F(ServerWorkers, ManyConcurrentConnectionsAreAllAnswered)
{
    start({});
    const int clients = 48, rounds = 5;
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; t++)
        threads.emplace_back([&] {
            for (int r = 0; r < rounds; r++)
                if (is_full_answer(qftest::rawRequest(port, REQUEST, 20000)))
                    answered++;
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(answered.load(), clients * rounds);
}

/* One worker, one client that holds it with half a header, and more
 * waiting clients than the queue has slots: nobody else is answered while
 * the first stalls, and everyone is once it finishes. */
TEST_F(ServerWorkers, OneWorkerServesWaitingClientsInTurn)
{
    start({"-max_threads", "1"});
    Client first(port);
    ASSERT_TRUE(first.connected());
    ASSERT_TRUE(first.send_text("GET /index.html HTTP/1.1\r\n"));

    std::vector<std::unique_ptr<Client>> waiting;
    for (int i = 0; i < 25; i++) {
        waiting.emplace_back(new Client(port));
        ASSERT_TRUE(waiting.back()->connected()) << i;
        ASSERT_TRUE(waiting.back()->send_text(REQUEST)) << i;
    }
    /* A look of fixed length: the single worker is busy with the first. */
    EXPECT_FALSE(waiting.front()->hears_something(300));
    EXPECT_FALSE(waiting.back()->hears_something(50));

    ASSERT_TRUE(first.send_text("\r\n"));
    EXPECT_TRUE(is_full_answer(first.read_all(10000)));
    for (size_t i = 0; i < waiting.size(); i++)
        EXPECT_TRUE(is_full_answer(waiting[i]->read_all(10000))) << i;
}

/* Each client has its own worker: one that stops mid-header holds only its own. */
TEST_F(ServerWorkers, StalledClientDoesNotBlockOthers)
{
    start({});
    Client stalled(port);
    ASSERT_TRUE(stalled.connected());
    ASSERT_TRUE(stalled.send_text("GET /index.html HT"));

    for (int i = 0; i < 10; i++)
        EXPECT_TRUE(is_full_answer(qftest::rawRequest(port, REQUEST, 10000))) << i;
    EXPECT_FALSE(stalled.hears_something(0));

    /* finishing late is still fine */
    ASSERT_TRUE(stalled.send_text("TP/1.0\r\n\r\n"));
    EXPECT_TRUE(is_full_answer(stalled.read_all(10000)));
}

/* Bytes the server never reads must not turn the close into a reset: a
 * reset throws away whatever of the response is still queued for the
 * client, so a large file would arrive cut short. */
TEST_F(ServerWorkers, UnreadClientBytesDoNotCutTheResponse)
{
    const size_t size = 8 << 20;
    qftest::writeFile(www.file("big.bin"), std::string(size, 'b'));
    start({});
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        Client client(port);
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send_text("GET /big.bin HTTP/1.1\r\n\r\n" + std::string(60000, 'x')));
        std::string reply = client.read_all(20000);
        size_t head = reply.find("\r\n\r\n");
        ASSERT_NE(head, std::string::npos);
        EXPECT_EQ(reply.size() - head - 4, size);
        EXPECT_TRUE(client.closed());
    }
}

TEST_F(ServerWorkers, AccessListDecidesAtAccept)
{
    struct Case {
        int line;
        const char *acl;
        bool allowed;
    };
    const Case cases[] = {
        {__LINE__, "-0.0.0.0/0,+10.0.0.0/8", false},
        {__LINE__, "-0.0.0.0/0,+127.0.0.1", true},
        {__LINE__, "+127.0.0.0/8,-127.0.0.1", false},
    };
    const std::string denial = "accept_new_connection: 127.0.0.1 is not allowed to connect";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        start({"-acl", c.acl});

        Client client(port);
        ASSERT_TRUE(client.connected());
        client.send_text(REQUEST);   /* may fail: the server can close first */
        std::string reply = client.read_all(10000);
        if (c.allowed) {
            EXPECT_TRUE(is_full_answer(reply));
        } else {
            EXPECT_EQ(reply, "");
            EXPECT_TRUE(client.closed());
            EXPECT_TRUE(qftest::waitFor(
                [&] { return qftest::readFile(error_log()).find(denial) != std::string::npos; },
                5000))
                << qftest::readFile(error_log());
        }
        EXPECT_EQ(server->stop(), 0);
        if (c.allowed) {
            EXPECT_EQ(qftest::readFile(error_log()).find(denial), std::string::npos);
        }
        unlink(error_log().c_str());
    }
}

/* Idle workers leave when the server stops instead of sitting out idle_time. */
TEST_F(ServerWorkers, SigtermWhileIdleEndsPromptly)
{
    start({"-idle_time", "60"});
    for (int i = 0; i < 4; i++)
        ASSERT_TRUE(is_full_answer(qftest::rawRequest(port, REQUEST)));

    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(server->stop(15, 20000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(8));
    const std::string farewell =
        "Exiting on signal 15, waiting for all threads to finish... done.\n";
    EXPECT_NE(server->out().find(farewell), std::string::npos) << server->out();
    EXPECT_EQ(qftest::rawRequest(port, REQUEST, 1000), "");
}

}  // namespace
