/* tests/server_workers_test.cpp: the queue, the idle wait and the access check, without workers. */
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "server_bare_context.h"
#include "support/harness.h"

namespace {

using qftest::BareContext;
using qftest::take_bare_log;
using Lines = std::vector<std::string>;

struct socket
numbered(int n)
{
    struct socket s;
    memset(&s, 0, sizeof(s));
    s.sock = n;
    return s;
}

/* Batches of different sizes walk the ring across its end many times;
 * order must hold and the counters must stay small. */
TEST(ServerWorkersQueue, KeepsOrderAcrossTheRingEnd)
{
    BareContext bare;
    int next_in = 0, next_out = 0;
    for (int batch : {1, 7, 20, 13, 20, 3, 19, 20, 11}) {
        SCOPED_TRACE(batch);
        for (int i = 0; i < batch; i++) {
            struct socket s = numbered(next_in++);
            put_socket(bare.ctx, &s);
        }
        for (int i = 0; i < batch; i++) {
            struct socket s;
            ASSERT_TRUE(get_socket(bare.ctx, &s));
            EXPECT_EQ(s.sock, next_out++);
        }
        EXPECT_EQ(bare.ctx->sq_head, bare.ctx->sq_tail);
        EXPECT_LE(bare.ctx->sq_tail, 20);
        EXPECT_EQ(bare.ctx->num_idle, 0);
    }
    EXPECT_EQ(bare.ctx->num_threads, 0);   /* max_threads 0: none started */
}

/* The listener blocks on a full queue until a worker takes a socket. */
TEST(ServerWorkersQueue, FullQueueBlocksThePutter)
{
    BareContext bare;
    for (int i = 0; i < 20; i++) {
        struct socket s = numbered(i);
        put_socket(bare.ctx, &s);
    }
    std::atomic<bool> put_done{false};
    std::thread putter([&] {
        struct socket s = numbered(20);
        put_socket(bare.ctx, &s);
        put_done = true;
    });
    /* It must still be waiting a while later: a fixed look, not a wait for success. */
    EXPECT_FALSE(qftest::waitFor([&] { return put_done.load(); }, 300));

    struct socket s;
    ASSERT_TRUE(get_socket(bare.ctx, &s));
    EXPECT_EQ(s.sock, 0);
    EXPECT_TRUE(qftest::waitFor([&] { return put_done.load(); }, 5000));
    putter.join();
    for (int i = 1; i <= 20; i++) {
        ASSERT_TRUE(get_socket(bare.ctx, &s));
        EXPECT_EQ(s.sock, i);
    }
}

/* A worker that leaves is struck from both counters in the step that saw
 * the queue empty, so put_socket never counts on it. */
TEST(ServerWorkersQueue, IdleWaitEndsTheWorkerAndItsCounts)
{
    BareContext bare;
    bare.ctx->options[OPT_IDLE_TIME] = strdup("0 seconds");
    bare.ctx->num_threads = 1;

    auto start = std::chrono::steady_clock::now();
    struct socket s;
    EXPECT_FALSE(get_socket(bare.ctx, &s));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LE(waited, std::chrono::milliseconds(2500));
    EXPECT_EQ(bare.ctx->num_threads, 0);
    EXPECT_EQ(bare.ctx->num_idle, 0);
}

TEST(ServerWorkersQueue, StopLetsWaitersLeaveButServesWhatIsQueued)
{
    BareContext bare;
    bare.ctx->num_threads = 1;
    struct socket s = numbered(42);
    put_socket(bare.ctx, &s);
    bare.ctx->stop_flag = 1;

    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(get_socket(bare.ctx, &s));
    EXPECT_EQ(s.sock, 42);
    EXPECT_FALSE(get_socket(bare.ctx, &s));
    /* idle_time is unset here (0), so a real wait would last a second */
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(bare.ctx->num_threads, 0);
}

/* A listener of the bare context on a free loopback port, with one client
 * connected and waiting to be accepted. */
class ServerWorkersAccept : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = qftest::freePort();
        std::string entry = "127.0.0.1:" + std::to_string(port);
        struct vec piece = {entry.c_str(), entry.size()};
        listener.sock = qf_open_listening_port(bare.ctx, &piece, &listener.lsa);
        ASSERT_GE(listener.sock, 0);
    }
    void TearDown() override
    {
        if (client >= 0)
            close(client);
        close(listener.sock);
    }

    void connect_and_accept(const char *acl)
    {
        free(bare.ctx->options[OPT_ACL]);
        bare.ctx->options[OPT_ACL] = acl ? strdup(acl) : nullptr;
        client = qftest::connect_loopback(port);
        ASSERT_GE(client, 0);
        struct pollfd pfd = {listener.sock, POLLIN, 0};
        ASSERT_EQ(poll(&pfd, 1, 5000), 1);
        accept_new_connection(&listener, bare.ctx);
    }

    /* True when the server side closed the client without sending a byte. */
    bool closed_silently()
    {
        struct pollfd pfd = {client, POLLIN, 0};
        char c;
        return poll(&pfd, 1, 5000) == 1 && recv(client, &c, 1, 0) == 0;
    }

    BareContext bare;
    struct socket listener {};
    int port = -1;
    int client = -1;
};

TEST_F(ServerWorkersAccept, AdmittedClientIsQueuedReadyToServe)
{
    for (const char *acl : {(const char *) nullptr, "-0.0.0.0/0,+127.0.0.1"}) {
        SCOPED_TRACE(acl ? acl : "(no acl)");
        connect_and_accept(acl);
        ASSERT_EQ(bare.ctx->sq_head - bare.ctx->sq_tail, 1);
        struct socket s;
        ASSERT_TRUE(get_socket(bare.ctx, &s));

        EXPECT_EQ(ntohl(s.rsa.u.sin.sin_addr.s_addr), INADDR_LOOPBACK);
        EXPECT_EQ(s.lsa.u.sin.sin_port, listener.lsa.u.sin.sin_port);
        EXPECT_FALSE(s.is_ssl);
        /* a CGI program must never inherit another request's client */
        EXPECT_NE(fcntl(s.sock, F_GETFD) & FD_CLOEXEC, 0);
        /* set once on the listener: worth it only while every client inherits them */
        for (int opt : {SO_RCVTIMEO, SO_SNDTIMEO}) {
            struct timeval tv = {0, 0};
            socklen_t len = sizeof(tv);
            ASSERT_EQ(getsockopt(s.sock, SOL_SOCKET, opt, &tv, &len), 0);
            EXPECT_EQ(tv.tv_sec, 30) << opt;
        }
        int nodelay = 0;
        socklen_t len = sizeof(nodelay);
        ASSERT_EQ(getsockopt(s.sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
        EXPECT_NE(nodelay, 0);
        /* the listener's non-blocking mode must not reach the client */
        EXPECT_EQ(fcntl(s.sock, F_GETFL) & O_NONBLOCK, 0);
        close(s.sock);
        close(client);
        client = -1;
    }
    EXPECT_EQ(take_bare_log(), Lines{});
}

TEST_F(ServerWorkersAccept, DeniedClientIsClosedAndLogged)
{
    connect_and_accept("-0.0.0.0/0,+10.0.0.0/8");
    EXPECT_EQ(bare.ctx->sq_head, bare.ctx->sq_tail);
    EXPECT_TRUE(closed_silently());
    EXPECT_EQ(take_bare_log(), Lines{"accept_new_connection: 127.0.0.1 is not allowed to connect"});
}

/* A malformed list stored at run time lets everyone in, and says why each time. */
TEST_F(ServerWorkersAccept, MalformedListAdmitsAndComplains)
{
    connect_and_accept("+300.1.1.1");
    EXPECT_EQ(bare.ctx->sq_head - bare.ctx->sq_tail, 1);
    EXPECT_EQ(take_bare_log(), Lines{"check_acl: bad ip address: [+300.1.1.1]"});
    struct socket s;
    ASSERT_TRUE(get_socket(bare.ctx, &s));
    close(s.sock);
}

}  // namespace
