/* tests/server_bare_context.h: a server context without its threads, for server unit tests. */
#ifndef QF_TEST_SERVER_BARE_CONTEXT_H
#define QF_TEST_SERVER_BARE_CONTEXT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "http/http.h"

namespace qftest {

/* Lines that reached the log callback of a bare context; guarded by
 * bare_log_mutex, since workers and the test thread both log. */
inline std::mutex bare_log_mutex;
inline std::vector<std::string> bare_log;

inline void
capture_bare_log(struct qf_connection *, const struct qf_request_info *, void *message)
{
    std::lock_guard<std::mutex> lock(bare_log_mutex);
    bare_log.push_back((const char *) message);
}

inline std::vector<std::string>
take_bare_log()
{
    std::lock_guard<std::mutex> lock(bare_log_mutex);
    std::vector<std::string> lines;
    lines.swap(bare_log);
    return lines;
}

/* qf_start would start the listener thread and make every stop cost a
 * second; these tests drive the pieces by hand instead. max_threads is 0,
 * so put_socket never starts a worker and the test takes sockets itself. */
class BareContext {
public:
    BareContext()
    {
        ctx = (struct qf_context *) calloc(1, sizeof(*ctx));
        for (pthread_mutex_t &m : ctx->opt_mutexes)
            pthread_mutex_init(&m, nullptr);
        pthread_mutex_init(&ctx->thr_mutex, nullptr);
        pthread_mutex_init(&ctx->callback_mutex, nullptr);
        pthread_cond_init(&ctx->thr_cond, nullptr);
        pthread_cond_init(&ctx->empty_cond, nullptr);
        pthread_cond_init(&ctx->full_cond, nullptr);
        ctx->log_callback = capture_bare_log;
        take_bare_log();
    }
    ~BareContext()
    {
        close_all_listening_sockets(ctx);
        for (int i = 0; i < ctx->num_callbacks; i++)
            free(ctx->callbacks[i].uri_regex);
        for (char *value : ctx->options)
            free(value);
        for (pthread_mutex_t &m : ctx->opt_mutexes)
            pthread_mutex_destroy(&m);
        pthread_mutex_destroy(&ctx->thr_mutex);
        pthread_mutex_destroy(&ctx->callback_mutex);
        pthread_cond_destroy(&ctx->thr_cond);
        pthread_cond_destroy(&ctx->empty_cond);
        pthread_cond_destroy(&ctx->full_cond);
        free(ctx);
    }
    BareContext(const BareContext &) = delete;
    BareContext &operator=(const BareContext &) = delete;

    struct qf_context *ctx;
};

/* An IPv4 address as the listener records it. */
inline struct usa
ipv4(const char *dotted, int port = 0)
{
    struct usa a;
    memset(&a, 0, sizeof(a));
    a.len = sizeof(a.u.sin);
    a.u.sin.sin_family = AF_INET;
    a.u.sin.sin_port = htons((uint16_t) port);
    inet_pton(AF_INET, dotted, &a.u.sin.sin_addr);
    return a;
}

/* A client socket connected to 127.0.0.1:port, or -1. */
inline int
connect_loopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct usa a = ipv4("127.0.0.1", port);
    if (fd >= 0 && connect(fd, &a.u.sa, a.len) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

}  // namespace qftest

#endif
