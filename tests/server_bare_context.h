/* tests/server_bare_context.h: a server context without its threads, for unit tests. */
#ifndef QF_TEST_SERVER_BARE_CONTEXT_H
#define QF_TEST_SERVER_BARE_CONTEXT_H

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "auth/auth.h"
#include "http/http.h"

namespace qftest {

/* Lines that reached the log callback of a bare context. */
inline std::mutex bare_log_mutex;
inline std::vector<std::string> bare_log;

inline std::vector<std::string> take_bare_log()
{
    std::lock_guard<std::mutex> lock(bare_log_mutex);
    return std::exchange(bare_log, {});
}

/* No listener thread (no second-long stop, no intake: num_loops 0); max_threads 0: put_socket starts no worker. */
struct BareContext {
    BareContext() : ctx((struct qf_context *) calloc(1, sizeof(*ctx)))
    {
        for (pthread_rwlock_t &l : ctx->opt_locks)
            pthread_rwlock_init(&l, nullptr);
        for (pthread_mutex_t *m : {&ctx->thr_mutex, &ctx->callback_mutex, &ctx->pool_mutex})
            pthread_mutex_init(m, nullptr);
        pthread_cond_init(&ctx->thr_cond, nullptr);
        ctx->log_callback = [](struct qf_connection *, const struct qf_request_info *, void *m) {
            std::lock_guard<std::mutex> lock(bare_log_mutex);
            bare_log.push_back((const char *) m);
        };
        take_bare_log();
    }
    ~BareContext()
    {
        close_all_listening_sockets(ctx);
        release_head_buffers(ctx);
        tls_release_context(ctx);
        for (int i = 0; i < ctx->num_callbacks; i++)
            free(ctx->callbacks[i].uri_regex);
        for (char *value : ctx->options)
            free(value);
        free(ctx);
    }
    BareContext(const BareContext &) = delete;
    BareContext &operator=(const BareContext &) = delete;

    struct qf_context *ctx;
};

/* The hex MD5 of text (for tests linked with auth). */
inline std::string md5(const std::string &text)
{
    char buf[33];
    qf_md5(buf, text.c_str(), nullptr);
    return buf;
}

/* A nonce this process issues now (a server process has its own: see nonceOf). */
inline std::string freshNonce()
{
    char nonce[NONCE_SIZE];
    make_nonce(time(nullptr), nonce, sizeof(nonce));
    return nonce;
}

/* The nonce of a 401 challenge; "" when there is none. */
inline std::string nonceOf(const std::string &challenge)
{
    size_t p = challenge.find("nonce=\"");
    return p == std::string::npos ? "" : challenge.substr(p + 7, challenge.find('"', p + 7) - p - 7);
}

/* The Authorization value of a correct client (nc 1, cnonce c). */
inline std::string digestAuth(const std::string &user, const std::string &realm,
                              const std::string &pass, const std::string &method,
                              const std::string &uri, const std::string &nonce = freshNonce())
{
    std::string ha1 = md5(user + ":" + realm + ":" + pass), ha2 = md5(method + ":" + uri);
    return "Digest username=\"" + user + "\", nonce=\"" + nonce + "\", uri=\"" + uri + "\", qop=auth, " +
           "nc=1, cnonce=\"c\", response=\"" + md5(ha1 + ":" + nonce + ":1:c:auth:" + ha2) + "\"";
}

/* An IPv4 or IPv6 address as the listener records it. */
inline struct usa address(const char *text, int port = 0)
{
    struct usa a {};
    a.u.sin.sin_port = htons((uint16_t) port);   /* where sin6_port is too */
    if (inet_pton(AF_INET6, text, &a.u.sin6.sin6_addr) == 1) {
        a.len = sizeof(a.u.sin6);
        a.u.sin6.sin6_family = AF_INET6;
    } else {
        a.len = sizeof(a.u.sin);
        a.u.sin.sin_family = AF_INET;
        inet_pton(AF_INET, text, &a.u.sin.sin_addr);
    }
    return a;
}

}  // namespace qftest

#endif
