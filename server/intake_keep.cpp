/* server/intake_keep.cpp: connections kept open between requests. After an answer of known
 * length the connection comes back to its loop (from the loop's own answer, from the send
 * pump, or from a worker through a handed send) and waits, as a silent client does, with no
 * head buffer, for keep_alive seconds. Bytes that came behind the last request are the start
 * of the next one; they are looked at only once its answer is out, so answers go in order
 * and a client that sends without reading holds one head buffer at most. */
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>

#include "server/intake.h"

enum {
    /* A connection closes after this many requests, so that no client
     * holds one for ever and the record's counters stay small. */
    MAX_REQUESTS_PER_CONNECTION = 1000,
    /* Bound on keep_alive, so that the deadline arithmetic cannot overflow. */
    MAX_KEEP_ALIVE_SECONDS = 24 * 3600,
};

/* A whole decimal number of seconds; 0 (or no value) keeps one request per
 * connection. Anything else is refused and the previous value stays. */
bool
set_keep_alive_option(struct qf_context *ctx, const char *value)
{
    int seconds;
    if (!read_seconds_option(ctx, "set_keep_alive_option", value, MAX_KEEP_ALIVE_SECONDS, &seconds))
        return false;
    __atomic_store_n(&ctx->keep_alive_seconds, seconds, __ATOMIC_RELAXED);
    return true;
}

bool
keep_allowed(struct qf_context *ctx, int served)
{
    return __atomic_load_n(&ctx->keep_alive_seconds, __ATOMIC_RELAXED) > 0 &&
           served + 1 < MAX_REQUESTS_PER_CONNECTION;
}

bool
send_complete(const struct file_send *fs)
{
    if (fs->ssl == nullptr && fs->kept != nullptr)
        return fs->kept_sent == fs->kept_len;
    return fs->remaining == 0;
}

/* Keeps the bytes behind a kept request for the next one. Without memory
 * for them the connection closes after this answer instead. */
void
carry_rest(struct client *c, const char *bytes, int len)
{
    if (len <= 0)
        return;
    c->carry = (char *) malloc((size_t) len);
    if (c->carry == nullptr) {
        c->keeping = false;
        return;
    }
    memcpy(c->carry, bytes, (size_t) len);
    c->carry_len = len;
}

/* Over TLS the peer is told, as after any answer the server ends. */
static void
close_kept(struct intake *in, struct client *c)
{
    if (c->ssl != nullptr)
        (void) tls_notify_close(c->ssl);
    drop_client(in, c);
}

/* The answer is out: the connection waits for its next request, or reads
 * it at once when its start came already (carried, or held by TLS). */
void
keep_client(struct intake *in, struct client *c, int64_t now)
{
    c->keeping = false;
    c->send = nullptr;
    c->nread = 0;
    c->request_len = 0;
    c->edge = false;
    c->state = CLIENT_IDLE;
    if (in->stopping) {
        close_kept(in, c);
        return;
    }
    if (c->carry_len > 0 || (c->ssl != nullptr && tls_has_pending(c->ssl))) {
        if (c->carry_len > 0) {
            c->buf = take_head_buffer(in->ctx);
            if (c->buf == nullptr) {
                close_kept(in, c);
                return;
            }
            memcpy(c->buf, c->carry, (size_t) c->carry_len);
            c->nread = c->carry_len;
            free(c->carry);
            c->carry = nullptr;
            c->carry_len = 0;
        }
        /* Looked at after this turn's events, not from within this
         * answer: a long pipeline neither deepens the stack nor holds the
         * loop from its other clients. Deferred meanwhile, so that no cut
         * or deadline takes it while it waits in the chain, and out of the
         * set, so that no event reads it twice. */
        c->carried = c->nread > 0;
        if (c->registered) {
            (void) epoll_ctl(in->epfd, EPOLL_CTL_DEL, c->sock.sock, nullptr);
            c->registered = false;
        }
        c->deadline = now + HEAD_DEADLINE_MS;
        c->state = CLIENT_DEFERRED;
        list_append(&in->heads, c);
        chain_push(&in->carried, c);
        return;
    }
    int seconds = __atomic_load_n(&in->ctx->keep_alive_seconds, __ATOMIC_RELAXED);
    c->deadline = now + (int64_t) (seconds > 0 ? seconds : 1) * 1000;
    list_append(&in->idle, c);
    /* Armed for good while the loop answers its requests: no call to
     * arm it again after each answer. */
    if (!(c->registered && c->level_in) && !watch(in, c, EPOLLIN))
        close_kept(in, c);
}

/* The connections whose next head came with the last request. */
void
read_carried(struct intake *in)
{
    struct chain ready = in->carried;
    in->carried.first = in->carried.last = nullptr;
    struct client *c;
    while ((c = chain_pop(&ready)) != nullptr) {
        c->state = CLIENT_READING_HEAD;
        read_head(in, c);
    }
}

/* The first bytes of the next request: from now on the head's deadline. */
void
wake_idle_client(struct intake *in, struct client *c, int64_t now)
{
    list_unlink(c);
    c->state = CLIENT_READING_HEAD;
    c->deadline = now + HEAD_DEADLINE_MS;
    list_append(&in->heads, c);
}

/* A connection a worker kept: its socket record, its count and the start
 * of its next request came with the handed send. */
void
take_kept_connection(struct intake *in, struct client *c, struct file_send *fs, int64_t now)
{
    struct kept_connection *k = fs->keep;
    fs->keep = nullptr;
    c->sock = k->client;
    c->served = k->served;
    c->carry = k->carry;
    c->carry_len = k->carry_len;
    c->keeping = true;
    free(k);
    if (c->sock.is_ssl)
        set_blocking(c->sock.sock, false); /* the loop never waits on it */
    if (fs->remaining > 0 || fs->kept != nullptr) {
        start_send(in, c, fs, now);
        return;
    }
    /* Nothing left to send: the worker answered whole. */
    c->ssl = fs->ssl;
    fs->ssl = nullptr;
    free(fs->piece);
    free(fs->log_line);
    free(fs);
    keep_client(in, c, now);
}

/* Descriptors are short: an idle connection goes before any head. */
bool
cut_idle_client(struct intake *in)
{
    if (in->idle.next == &in->idle)
        return false;
    close_kept(in, in->idle.next);
    return true;
}

void
expire_idle(struct intake *in, int64_t now)
{
    while (in->idle.next != &in->idle && in->idle.next->deadline <= now)
        close_kept(in, in->idle.next);
}

/* The server stops: idle connections close at once. */
void
close_idle(struct intake *in)
{
    in->carried.first = in->carried.last = nullptr; /* all of them are in heads */
    while (in->idle.next != &in->idle)
        close_kept(in, in->idle.next);
}

/* When the loop must look again: at once while carried heads wait, else
 * at the first idle deadline. */
int64_t
idle_due(const struct intake *in)
{
    if (in->carried.first != nullptr)
        return 0;
    return in->idle.next != &in->idle ? in->idle.next->deadline : NEVER;
}
