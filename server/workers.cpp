/* server/workers.cpp: the listener thread, the connection queue and the worker threads. */
#include <arpa/inet.h>
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "http/http.h"

static int read_idle_time(struct qf_context *ctx);
static int wait_for_listeners(struct qf_context *ctx, struct pollfd *fds, int *nfds);
static void close_gracefully(struct qf_connection *conn);
static bool take_waiting_client(struct qf_context *ctx, struct socket *sp);

/* The listener thread notices a stop request within this many milliseconds. */
enum { LISTENER_POLL_MS = 1000 };
/* Piece size for discarding what a client still sends after its response,
 * and the most the drain takes: a client that keeps streaming must not
 * keep its worker, so past this it gets the reset it asked for. */
enum { DRAIN_BUFFER_SIZE = 8192, MAX_DRAIN_BYTES = 64 * DRAIN_BUFFER_SIZE };
/* Bound on idle_time, so that the deadline arithmetic cannot overflow. */
enum { MAX_IDLE_SECONDS = 365 * 24 * 3600 };
/* Under load many clients are ready at once: taking them in one go saves a
 * poll per connection. Bounded so that the other listeners and a stop
 * request still get their turn. */
enum { MAX_ACCEPTS_PER_WAKE = 64 };

/* Sets the calling thread's scheduling policy (priority 0). */
static bool
set_policy(int policy)
{
    struct sched_param param;
    memset(&param, 0, sizeof(param));
    return pthread_setschedparam(pthread_self(), policy, &param) == 0;
}

static bool
stop_requested(struct qf_context *ctx)
{
    return __atomic_load_n(&ctx->stop_flag, __ATOMIC_ACQUIRE) != 0;
}

/* Starts a detached thread; every server thread is started here. Returns 0
 * or the thread library's error number (after logging it). */
int
start_thread(struct qf_context *ctx, void *(*func)(void *), void *arg)
{
    pthread_attr_t attr;
    pthread_t tid;

    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&tid, &attr, func, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0)
        cry(fc(ctx), "%s: %s", "start_thread", strerror(rc));
    return rc;
}

/* A bound below one would start no worker at all, and queued connections
 * would wait for ever; such a value (or none) is refused and the previous
 * bound stays. */
bool
set_max_threads_option(struct qf_context *ctx, const char *value)
{
    if (value == nullptr) {
        cry(fc(ctx), "%s: a number is required", "set_max_threads_option");
        return false;
    }
    long n = strtol(value, nullptr, 10);
    if (n < 1) {
        cry(fc(ctx), "%s: [%s] must be at least 1", "set_max_threads_option", value);
        return false;
    }
    pthread_mutex_lock(&ctx->thr_mutex);
    ctx->max_threads = n > INT_MAX ? INT_MAX : (int) n;
    pthread_mutex_unlock(&ctx->thr_mutex);
    return true;
}

int
set_non_blocking_mode(struct qf_connection *conn, int sock)
{
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags == -1) {
        cry(conn, "%s: fcntl(F_GETFL): %d", "set_non_blocking_mode", errno);
        return -1;
    }
    if (fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) {
        cry(conn, "%s: fcntl(F_SETFL): %d", "set_non_blocking_mode", errno);
        return -1;
    }
    return 0;
}

/* The administration page may replace idle_time while workers wait, so the
 * text is parsed under its mutex. Text without a leading number counts as 0. */
static int
read_idle_time(struct qf_context *ctx)
{
    lock_option(ctx, OPT_IDLE_TIME);
    const char *text = ctx->options[OPT_IDLE_TIME];
    long seconds = text != nullptr ? strtol(text, nullptr, 10) : 0;
    unlock_option(ctx, OPT_IDLE_TIME);
    if (seconds < 0)
        return 0;
    return seconds > MAX_IDLE_SECONDS ? MAX_IDLE_SECONDS : (int) seconds;
}

/* Hands an accepted socket to the workers. A full queue blocks the
 * listener (and with it any change of ports) until a worker takes one:
 * new clients then wait in the kernel's backlog instead of being refused.
 * A worker is started when the queue holds more sockets than there are
 * idle workers to take them; counting only "no idle worker" would leave a
 * second socket waiting behind a worker that was woken but has not yet
 * taken the first. One sleeping worker is woken per socket, after the
 * unlock, so that it does not wake only to wait for the mutex. */
void
put_socket(struct qf_context *ctx, const struct socket *sp)
{
    pthread_mutex_lock(&ctx->thr_mutex);
    while (ctx->sq_head - ctx->sq_tail >= MAX_QUEUED_SOCKETS)
        pthread_cond_wait(&ctx->full_cond, &ctx->thr_mutex);

    ctx->queue[ctx->sq_head % MAX_QUEUED_SOCKETS] = *sp;
    ctx->sq_head++;

    if (ctx->num_idle < ctx->sq_head - ctx->sq_tail && ctx->num_threads < ctx->max_threads) {
        int rc = start_thread(ctx, worker_thread, ctx);
        if (rc != 0)
            cry(fc(ctx), "Cannot start thread: %d", rc);
        else
            ctx->num_threads++;
    }
    struct idle_worker *w = ctx->idle_workers;
    if (w != nullptr) {
        ctx->idle_workers = w->next;
        w->woken = true;
    }
    pthread_mutex_unlock(&ctx->thr_mutex);
    /* w stays valid: a woken worker does not leave get_socket before it
     * has taken this post. */
    if (w != nullptr)
        sem_post(&w->wake);
}

/* Sleeps until put_socket (or the stop) wakes self, or until deadline.
 * Called and returns with thr_mutex held. Returns true when woken. */
static bool
sleep_idle(struct qf_context *ctx, struct idle_worker *self, const struct timespec *deadline)
{
    self->woken = false;
    self->next = ctx->idle_workers;
    ctx->idle_workers = self;
    pthread_mutex_unlock(&ctx->thr_mutex);

    int rc;
    while ((rc = sem_timedwait(&self->wake, deadline)) != 0 && errno == EINTR)
        ;

    pthread_mutex_lock(&ctx->thr_mutex);
    if (!self->woken) {
        /* Nobody chose this worker: strike it from the sleepers. */
        struct idle_worker **pp = &ctx->idle_workers;
        while (*pp != self)
            pp = &(*pp)->next;
        *pp = self->next;
        return false;
    }
    if (rc != 0) {
        /* Chosen just as the wait ended: the post is on its way. It is
         * sent without the mutex, so there is no need to hold it here. */
        pthread_mutex_unlock(&ctx->thr_mutex);
        while (sem_wait(&self->wake) != 0)
            ;
        pthread_mutex_lock(&ctx->thr_mutex);
    }
    return true;
}

/* Waits for a queued socket. Returns false when none came within idle_time
 * + 1 seconds (or the server is stopping): the worker is then already
 * struck from num_threads and num_idle, in the same locked step that
 * found the queue empty, so put_socket never counts on a worker that is
 * leaving. A wait that times out looks at the queue once more first.
 * With the queue empty, a client already waiting on a listener is taken
 * first (take_waiting_client). */
bool
get_socket(struct qf_context *ctx, struct socket *sp)
{
    pthread_mutex_lock(&ctx->thr_mutex);
    bool queue_empty = ctx->sq_head == ctx->sq_tail;
    pthread_mutex_unlock(&ctx->thr_mutex);
    if (queue_empty && !stop_requested(ctx) && take_waiting_client(ctx, sp))
        return true;

    int idle_seconds = read_idle_time(ctx);
    struct idle_worker self;
    sem_init(&self.wake, 0, 0);

    pthread_mutex_lock(&ctx->thr_mutex);
    ctx->num_idle++;
    while (ctx->sq_head == ctx->sq_tail) {
        struct timespec deadline;
        deadline.tv_sec = time(nullptr) + idle_seconds + 1;
        deadline.tv_nsec = 0;
        bool woken = !stop_requested(ctx) && sleep_idle(ctx, &self, &deadline);
        if (!woken && ctx->sq_head == ctx->sq_tail) {
            ctx->num_idle--;
            ctx->num_threads--;
            assert(ctx->num_threads >= 0);
            pthread_cond_signal(&ctx->thr_cond);
            pthread_mutex_unlock(&ctx->thr_mutex);
            sem_destroy(&self.wake);
            return false;
        }
    }

    assert(ctx->sq_head > ctx->sq_tail);
    ctx->num_idle--;
    *sp = ctx->queue[ctx->sq_tail % MAX_QUEUED_SOCKETS];
    ctx->sq_tail++;
    while (ctx->sq_tail > MAX_QUEUED_SOCKETS) {
        ctx->sq_tail -= MAX_QUEUED_SOCKETS;
        ctx->sq_head -= MAX_QUEUED_SOCKETS;
    }
    pthread_mutex_unlock(&ctx->thr_mutex);
    pthread_cond_signal(&ctx->full_cond);
    sem_destroy(&self.wake);
    return true;
}

/* Sends FIN first so the client sees the end of the response at once,
 * then discards what it still sent before closing: closing a socket with
 * unread input makes the kernel answer with a reset, which can destroy
 * the response on its way. Most clients have nothing left to read; asking
 * the kernel first spares them the switch to non-blocking mode and a read.
 * The drain never waits: it ends at the first read that yields nothing,
 * or at MAX_DRAIN_BYTES. */
static void
close_gracefully(struct qf_connection *conn)
{
    int sock = conn->client.sock;
    int pending = 0;

    (void) shutdown(sock, SHUT_WR);
    if (ioctl(sock, FIONREAD, &pending) != 0 || pending > 0) {
        if (set_non_blocking_mode(conn, sock) == 0) {
            char buf[DRAIN_BUFFER_SIZE];
            long drained = 0;
            int n;
            while (drained < MAX_DRAIN_BYTES &&
                   (n = pull(nullptr, sock, conn->ssl, buf, sizeof(buf))) > 0)
                drained += n;
        }
    }
    (void) close(sock);
}

/* Serves one connection at a time until no connection comes for a while.
 * The connection record is reused; process_new_connection resets its
 * request part for each connection. */
void *
worker_thread(void *arg)
{
    struct qf_context *ctx = (struct qf_context *) arg;
    struct qf_connection conn;
    memset(&conn, 0, sizeof(conn));
    if (__atomic_load_n(&ctx->listener_batched, __ATOMIC_ACQUIRE))
        set_policy(SCHED_OTHER); /* undo what it inherited from the listener */

    while (get_socket(ctx, &conn.client)) {
        conn.start_time = time(nullptr);
        conn.ctx = ctx;
        process_new_connection(&conn);
        reset_per_request_attributes(&conn);
        /* The request's strings lived in process_new_connection's buffer;
         * a log line about the close must not print them. */
        conn.request_info.request_method = nullptr;
        conn.request_info.uri = nullptr;
        if (conn.client.sock != -1)
            close_gracefully(&conn);
    }
    /* get_socket has struck this worker from the counters: ctx may be gone. */
    return nullptr;
}

/* What accept_client found on a listener. */
enum accept_result { NO_CLIENT, CLIENT_DENIED, CLIENT_ADMITTED };

/* Accepts one client of a listener into *accepted, unless the access list
 * denies it (then it is logged and closed). A malformed stored list (-1)
 * lets the client in; its message is logged again. Called with the ports
 * mutex held, so the listener stays open meanwhile. */
static enum accept_result
accept_client(const struct socket *listener, struct qf_context *ctx, struct socket *accepted)
{
    memset(accepted, 0, sizeof(*accepted));
    accepted->lsa = listener->lsa;
    accepted->rsa.len = sizeof(accepted->rsa.u.sin);
    /* Close-on-exec in the same call: a CGI program forked by another
     * worker in between must never inherit this client. */
    accepted->sock = accept4(listener->sock, &accepted->rsa.u.sa, &accepted->rsa.len, SOCK_CLOEXEC);
    if (accepted->sock == -1)
        return NO_CLIENT;

    lock_option(ctx, OPT_ACL);
    const char *acl = ctx->options[OPT_ACL];
    bool denied = acl != nullptr && check_acl(ctx, acl, &accepted->rsa) == 0;
    unlock_option(ctx, OPT_ACL);
    if (denied) {
        char addr[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &accepted->rsa.u.sin.sin_addr, addr, sizeof(addr));
        cry(fc(ctx), "%s: %s is not allowed to connect", "accept_new_connection", addr);
        close(accepted->sock);
        return CLIENT_DENIED;
    }
    accepted->is_ssl = listener->is_ssl;
    return CLIENT_ADMITTED;
}

/* Accepts one client of a ready listener and queues it. Returns false
 * when no client was waiting. */
bool
accept_new_connection(const struct socket *listener, struct qf_context *ctx)
{
    struct socket accepted;
    enum accept_result r = accept_client(listener, ctx, &accepted);
    if (r == CLIENT_ADMITTED)
        put_socket(ctx, &accepted);
    return r != NO_CLIENT;
}

/* A worker that has found the queue empty takes a client that is already
 * waiting on a listener itself. Under load the kernel's backlog is seldom
 * empty, and serving from it spares the listener's hand-off: a wake-up of
 * the listener and one of the worker per connection. The worker is not
 * counted idle meanwhile, so put_socket still starts a worker for a
 * connection that the listener queues in the same moment. try-lock: the
 * listener may hold the ports mutex while it waits for room in the queue,
 * and a change of ports must not wait for workers. */
static bool
take_waiting_client(struct qf_context *ctx, struct socket *sp)
{
    if (pthread_mutex_trylock(&ctx->opt_mutexes[OPT_PORTS]) != 0)
        return false;
    bool taken = false;
    for (int i = 0; i < ctx->num_listeners && !taken; i++) {
        enum accept_result r;
        while ((r = accept_client(&ctx->listeners[i], ctx, sp)) == CLIENT_DENIED)
            ;
        taken = r == CLIENT_ADMITTED;
    }
    unlock_option(ctx, OPT_PORTS);
    return taken;
}

/* Copies the listeners into fds (*nfds of them) under the ports mutex and
 * waits for a client; returns what poll returns. With no listener the
 * wait is a plain sleep. */
static int
wait_for_listeners(struct qf_context *ctx, struct pollfd *fds, int *nfds)
{
    lock_option(ctx, OPT_PORTS);
    *nfds = ctx->num_listeners;
    for (int i = 0; i < *nfds; i++) {
        fds[i].fd = ctx->listeners[i].sock;
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    unlock_option(ctx, OPT_PORTS);
    return poll(fds, (nfds_t) *nfds, LISTENER_POLL_MS);
}

/* The listener thread: waits for clients on every listener, a second at a
 * time so that a stop request is seen soon, and finally tears the context
 * down. poll rather than select: a listener opened late (ports changed at
 * run time) may have a descriptor beyond select's fixed set. */
void *
master_thread(void *arg)
{
    struct qf_context *ctx = (struct qf_context *) arg;
    struct pollfd fds[MAX_LISTENING_SOCKETS];
    int nfds;
    /* Woken by every new client, the listener would otherwise preempt the
     * very client that is about to send its request, and the worker would
     * then wait for it. As a batch thread it lets the sender go on, and
     * then takes the clients that arrived meanwhile, requests and all, in
     * one go. Only an ordinary thread is demoted, and the workers it
     * starts (which run CGI programs and the panel's commands) get the
     * ordinary policy back. */
    int policy;
    struct sched_param param;
    if (pthread_getschedparam(pthread_self(), &policy, &param) == 0 && policy == SCHED_OTHER &&
        set_policy(SCHED_BATCH))
        __atomic_store_n(&ctx->listener_batched, true, __ATOMIC_RELEASE);

    while (!stop_requested(ctx)) {
        if (wait_for_listeners(ctx, fds, &nfds) <= 0)
            continue;
        /* The table may have changed since the poll: accept only on a
         * descriptor that is still the same listener. The listeners are
         * non-blocking, so a stale readiness costs one failed accept. */
        lock_option(ctx, OPT_PORTS);
        for (int i = 0; i < nfds && i < ctx->num_listeners; i++)
            if (fds[i].fd == ctx->listeners[i].sock && (fds[i].revents & POLLIN))
                for (int n = 0; n < MAX_ACCEPTS_PER_WAKE; n++)
                    if (!accept_new_connection(&ctx->listeners[i], ctx))
                        break;
        unlock_option(ctx, OPT_PORTS);
    }

    /* Idle workers would otherwise sit out idle_time before qf_fini can
     * finish; waking them lets each leave once the queue is empty. Posted
     * under the lock, so no woken worker can leave before its post. */
    pthread_mutex_lock(&ctx->thr_mutex);
    for (struct idle_worker *w = ctx->idle_workers; w != nullptr; w = ctx->idle_workers) {
        ctx->idle_workers = w->next;
        w->woken = true;
        sem_post(&w->wake);
    }
    pthread_mutex_unlock(&ctx->thr_mutex);
    qf_fini(ctx);
    return nullptr;
}
