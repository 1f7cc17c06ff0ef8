/* server/workers.cpp: the queue of request heads, the worker threads and the head buffers. */
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "http/http.h"

static int read_idle_time(struct qf_context *ctx);

/* Piece size for discarding what a client still sends after its response,
 * and the most the drain takes: a client that keeps streaming must not
 * keep its worker, so past this it gets the reset it asked for. */
enum { DRAIN_BUFFER_SIZE = 8192, MAX_DRAIN_BYTES = 64 * DRAIN_BUFFER_SIZE };
/* Bound on idle_time, so that the deadline arithmetic cannot overflow. */
enum { MAX_IDLE_SECONDS = 365 * 24 * 3600 };
/* Head buffers kept for reuse (about 512 KiB). */
enum { MAX_FREE_BUFFERS = 64 };

/* Sets the calling thread's scheduling policy (priority 0). */
bool
set_policy(int policy)
{
    struct sched_param param;
    memset(&param, 0, sizeof(param));
    return pthread_setschedparam(pthread_self(), policy, &param) == 0;
}

bool
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

/* The administration page may replace idle_time while workers wait, so the
 * text is parsed under its lock. Text without a leading number counts as 0. */
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

/* Queues a complete head for the workers; false when the queue is full:
 * the intake then holds it and reads no new heads until a worker makes
 * room and wakes it. A worker is started when the queue holds more heads
 * than there are idle workers to take them; counting only "no idle worker"
 * would leave a second head waiting behind a worker that was woken but has
 * not yet taken the first. One sleeping worker is woken per head, after
 * the unlock, so that it does not wake only to wait for the mutex. */
bool
put_socket(struct qf_context *ctx, const struct request_head *head)
{
    pthread_mutex_lock(&ctx->thr_mutex);
    if (ctx->sq_head - ctx->sq_tail >= MAX_QUEUED_SOCKETS) {
        __atomic_store_n(&ctx->intake_waits, true, __ATOMIC_RELEASE); /* read by loops unlocked */
        pthread_mutex_unlock(&ctx->thr_mutex);
        return false;
    }
    ctx->queue[ctx->sq_head % MAX_QUEUED_SOCKETS] = *head;
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
    return true;
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

/* Waits for a queued head. Returns false when none came within idle_time
 * + 1 seconds (or the server is stopping): the worker is then already
 * struck from num_threads and num_idle, in the same locked step that
 * found the queue empty, so put_socket never counts on a worker that is
 * leaving. A wait that times out looks at the queue once more first. */
bool
get_socket(struct qf_context *ctx, struct request_head *head)
{
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
    *head = ctx->queue[ctx->sq_tail % MAX_QUEUED_SOCKETS];
    ctx->sq_tail++;
    while (ctx->sq_tail > MAX_QUEUED_SOCKETS) {
        ctx->sq_tail -= MAX_QUEUED_SOCKETS;
        ctx->sq_head -= MAX_QUEUED_SOCKETS;
    }
    bool wake = ctx->intake_waits;
    __atomic_store_n(&ctx->intake_waits, false, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&ctx->thr_mutex);
    if (wake)
        wake_intake(ctx);
    sem_destroy(&self.wake);
    return true;
}

static void
wake_loop(struct qf_context *ctx, int loop)
{
    uint64_t one = 1;
    if (ctx->wake_fds[loop] != -1)
        (void) !write(ctx->wake_fds[loop], &one, sizeof(one));
}

/* Room in the queue may be for any loop that found it full, and new
 * listeners and the stop concern them all. */
void
wake_intake(struct qf_context *ctx)
{
    for (int i = 0; i < ctx->num_loops; i++)
        wake_loop(ctx, i);
}

/* Sends go round the loops that still run, so that the encryption of
 * large TLS sends is spread over the cores as the handshakes are. A loop
 * stops taking sends only once no worker is left (see all_done), so the
 * one chosen here takes this one. */
bool
hand_over_send(struct qf_context *ctx, struct file_send *fs)
{
    int loop = -1;
    pthread_mutex_lock(&ctx->thr_mutex);
    for (int k = 0; k < ctx->num_loops && loop == -1; k++) {
        int i = (ctx->next_send_loop + k) % ctx->num_loops;
        if (ctx->loop_running[i])
            loop = i;
    }
    if (loop != -1) {
        fs->next = ctx->handed_sends[loop];
        ctx->handed_sends[loop] = fs;
        ctx->next_send_loop = (loop + 1) % ctx->num_loops;
    }
    pthread_mutex_unlock(&ctx->thr_mutex);
    if (loop == -1)
        return false;
    wake_loop(ctx, loop);
    return true;
}

/* A silent client costs no buffer: the intake takes one at the first
 * bytes. Kept buffers are reused; past MAX_FREE_BUFFERS they go back to the
 * allocator, so a burst does not stay resident. */
char *
take_head_buffer(struct qf_context *ctx)
{
    pthread_mutex_lock(&ctx->pool_mutex);
    struct pooled_buffer *b = ctx->free_buffers;
    if (b != nullptr) {
        ctx->free_buffers = b->next;
        ctx->num_free_buffers--;
    }
    pthread_mutex_unlock(&ctx->pool_mutex);
    return b != nullptr ? (char *) b : (char *) malloc(HEAD_BUFFER_SIZE);
}

void
give_back_head_buffer(struct qf_context *ctx, char *buf)
{
    if (buf == nullptr)
        return;
    pthread_mutex_lock(&ctx->pool_mutex);
    bool keep = ctx->num_free_buffers < MAX_FREE_BUFFERS;
    if (keep) {
        struct pooled_buffer *b = (struct pooled_buffer *) (void *) buf;
        b->next = ctx->free_buffers;
        ctx->free_buffers = b;
        ctx->num_free_buffers++;
    }
    pthread_mutex_unlock(&ctx->pool_mutex);
    if (!keep)
        free(buf);
}

void
release_head_buffers(struct qf_context *ctx)
{
    pthread_mutex_lock(&ctx->pool_mutex);
    struct pooled_buffer *b = ctx->free_buffers;
    ctx->free_buffers = nullptr;
    ctx->num_free_buffers = 0;
    pthread_mutex_unlock(&ctx->pool_mutex);
    while (b != nullptr) {
        struct pooled_buffer *next = b->next;
        free(b);
        b = next;
    }
}

/* Client connections open in the process (one descriptor each), counted
 * by the intake at the accept and uncounted here, the one place where
 * they are closed. Process-wide, as descriptors are. */
static int open_clients;

void
note_client_opened(void)
{
    __atomic_add_fetch(&open_clients, 1, __ATOMIC_RELAXED);
}

int
count_open_clients(void)
{
    return __atomic_load_n(&open_clients, __ATOMIC_RELAXED);
}

/* Sends FIN first so the client sees the end of the response at once,
 * then discards what it still sent before closing: closing a socket with
 * unread input makes the kernel answer with a reset, which can destroy
 * the response on its way. Most clients have nothing left to read; asking
 * the kernel first spares them a read. The drain never waits: it ends at
 * the first read that yields nothing, or at MAX_DRAIN_BYTES. */
void
close_gracefully(int sock)
{
    int pending = 0;

    (void) shutdown(sock, SHUT_WR);
    if (ioctl(sock, FIONREAD, &pending) != 0 || pending > 0) {
        char buf[DRAIN_BUFFER_SIZE];
        long drained = 0;
        ssize_t n;
        while (drained < MAX_DRAIN_BYTES &&
               ((n = recv(sock, buf, sizeof(buf), MSG_DONTWAIT)) > 0 || (n < 0 && errno == EINTR)))
            drained += n > 0 ? n : 0;
    }
    (void) close(sock);
    __atomic_sub_fetch(&open_clients, 1, __ATOMIC_RELAXED);
}

/* A handler left the rest of its send to the intake: the connection goes
 * with it (client.sock -1, ssl null), and the intake writes the access
 * line when the send ends. When no loop takes sends any more, the rest is
 * sent here and logged as any answer. */
static void
pass_send_to_intake(struct qf_connection *conn)
{
    struct file_send *fs = conn->handed_send;
    conn->handed_send = nullptr;
    if (hand_over_send(conn->ctx, fs)) {
        conn->client.sock = -1;
        conn->ssl = nullptr;
        return;
    }
    send_rest_here(conn, fs);
    log_access(conn);
}

/* What a loop needs to keep the connection of an answer that keeps it:
 * the socket record, the count, and the bytes read behind the request and
 * its body, the next request's start. Null when the connection is not
 * kept, or no memory is left to keep it. */
static struct kept_connection *
keep_record(const struct qf_connection *conn, const struct request_head *head)
{
    if (!answer_keeps(conn) || conn->after_len > MAX_REQUEST_SIZE)
        return nullptr;
    struct kept_connection *k = (struct kept_connection *) calloc(1, sizeof(*k));
    if (k == nullptr)
        return nullptr;
    k->client = conn->client;
    k->served = head->served + 1;
    int rest = conn->after_len;
    if (rest > 0) {
        k->carry = (char *) malloc((size_t) rest);
        if (k->carry == nullptr) {
            free(k);
            return nullptr;
        }
        memcpy(k->carry, conn->after_body, (size_t) rest);
        k->carry_len = rest;
    }
    return k;
}

/* A kept connection goes back to a loop, with the rest of its send when a
 * handler left one, else with nothing left to send. False when no loop
 * takes it: the caller then finishes and closes as for any answer. */
static bool
hand_back_kept(struct qf_connection *conn, struct kept_connection *k)
{
    struct file_send *fs = conn->handed_send;
    if (fs == nullptr) {
        fs = (struct file_send *) calloc(1, sizeof(*fs));
        if (fs == nullptr)
            return false;
        fs->sock = conn->client.sock;
        fs->fd = -1;
        fs->ssl = conn->ssl;
    }
    fs->keep = k;
    if (!hand_over_send(conn->ctx, fs)) {
        fs->keep = nullptr;
        if (conn->handed_send == nullptr)
            free(fs);
        return false;
    }
    conn->handed_send = nullptr;
    conn->client.sock = -1;
    conn->ssl = nullptr;
    return true;
}

/* Serves one head at a time until none comes for a while. The connection
 * record is reused; serve_request resets its request part each time. */
void *
worker_thread(void *arg)
{
    struct qf_context *ctx = (struct qf_context *) arg;
    struct qf_connection conn;
    struct request_head head;
    memset(&conn, 0, sizeof(conn));
    if (__atomic_load_n(&ctx->listener_batched, __ATOMIC_ACQUIRE))
        set_policy(SCHED_OTHER); /* undo what it inherited from the listener */

    while (get_socket(ctx, &head)) {
        conn.client = head.client;
        conn.ssl = head.ssl;
        conn.start_time = time(nullptr);
        conn.ctx = ctx;
        conn.keep_allowed = keep_allowed(ctx, head.served);
        serve_request(&conn, head_record_of(head.buf), &head.body);
        struct kept_connection *k = keep_record(&conn, &head);
        if (k != nullptr && !hand_back_kept(&conn, k)) {
            free(k->carry);
            free(k);
        }
        if (conn.handed_send != nullptr)
            pass_send_to_intake(&conn);
        reset_per_request_attributes(&conn);
        /* The request's strings lived in the head's buffer; a log line
         * about the close must not print them. */
        conn.request_info.request_method = nullptr;
        conn.request_info.uri = nullptr;
        conn.head = nullptr;
        give_back_head_buffer(ctx, head.buf);
        if (conn.ssl != nullptr) {
            if (conn.client.sock != -1)
                (void) tls_notify_close(conn.ssl);
            tls_free(conn.ssl);
            conn.ssl = nullptr;
        }
        if (conn.client.sock != -1)
            close_gracefully(conn.client.sock);
    }
    /* get_socket has struck this worker from the counters: ctx may be gone. */
    return nullptr;
}
