/* server/intake.cpp: the intake's event loops. Each accepts, reads request heads without
 * blocking, answers plain requests for small static files itself and queues the other
 * complete heads for the workers, sends the files that workers handed over, and enforces the
 * deadlines, so that no worker ever waits on a client. For plain requests one loop would do
 * (14,000 small files a second kept a quarter of a core busy), but a TLS handshake costs far
 * more than a request, so there is one loop per CPU: each owns the connections it accepted,
 * and all of them accept from the same listeners.
 * This file holds the connection records and the loop; intake_accept.cpp accepts and reads
 * heads, intake_answer.cpp answers in the loop, send_pump.cpp moves the sends, and
 * intake_start.cpp starts and ends the loops. */
#include <errno.h>
#include <malloc.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include "server/intake.h"

struct client *
new_client(struct intake *in)
{
    struct client *c = (struct client *) calloc(1, sizeof(*c));
    if (c != nullptr && ++in->clients > in->peak)
        in->peak = in->clients;
    return c;
}

void
free_client(struct intake *in, struct client *c)
{
    free(c->carry);
    free(c);
    in->clients--;
}

int64_t
now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t) ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void
list_init(struct client *sentinel)
{
    sentinel->prev = sentinel->next = sentinel;
}

void
list_unlink(struct client *c)
{
    if (c->next == nullptr)
        return;
    c->prev->next = c->next;
    c->next->prev = c->prev;
    c->prev = c->next = nullptr;
}

void
list_append(struct client *sentinel, struct client *c)
{
    c->prev = sentinel->prev;
    c->next = sentinel;
    sentinel->prev->next = c;
    sentinel->prev = c;
}

void
chain_push(struct chain *ch, struct client *c)
{
    c->next_waiting = nullptr;
    if (ch->last != nullptr)
        ch->last->next_waiting = c;
    else
        ch->first = c;
    ch->last = c;
}

struct client *
chain_pop(struct chain *ch)
{
    struct client *c = ch->first;
    if (c != nullptr) {
        ch->first = c->next_waiting;
        if (ch->first == nullptr)
            ch->last = nullptr;
    }
    return c;
}

bool
watch(struct intake *in, struct client *c, uint32_t events)
{
    struct epoll_event ev;
    ev.events = events;
    ev.data.ptr = c;
    /* A connection that comes back from a worker may still be in the set,
     * disarmed since its head was read. */
    int op = c->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(in->epfd, op, c->sock.sock, &ev) == 0 ||
        (errno == EEXIST && epoll_ctl(in->epfd, EPOLL_CTL_MOD, c->sock.sock, &ev) == 0)) {
        c->registered = true;
        c->level_in = events == EPOLLIN;
        return true;
    }
    return false;
}

/* Closes a connection the loop owns, as one whose peer went away. Out of
 * the set first: a CGI program being started by a worker may hold the
 * socket a moment longer, and its events must not find a freed record. */
void
drop_client(struct intake *in, struct client *c)
{
    c->state = CLIENT_CLOSING;
    list_unlink(c);
    if (c->registered)
        (void) epoll_ctl(in->epfd, EPOLL_CTL_DEL, c->sock.sock, nullptr);
    if (c->ssl != nullptr)
        tls_free(c->ssl);
    close_gracefully(c->sock.sock);
    discard_body(c);
    give_back_head_buffer(in->ctx, c->buf);
    free_client(in, c);
}

/* Listeners are watched unless the queue is full, descriptors ran out a
 * moment ago or the server stops; a change of ports re-registers them.
 * Every loop watches them exclusively: a new client wakes one loop that
 * waits, not all of them. An exclusive registration cannot be modified,
 * only removed and added again. */
static void
update_listeners(struct intake *in, int64_t now)
{
    struct qf_context *ctx = in->ctx;
    bool want = !in->stopping && !in->queue_full && now >= in->accept_resume;
    unsigned generation = __atomic_load_n(&ctx->ports_generation, __ATOMIC_ACQUIRE);
    if (want == in->listeners_armed && (!want || generation == in->ports_generation))
        return;

    lock_option(ctx, OPT_PORTS);
    for (int i = 0; i < ctx->num_listeners; i++) {
        struct epoll_event ev;
        ev.events = EPOLLIN | EPOLLEXCLUSIVE;
        ev.data.u64 = (uint64_t) i + 1;
        int fd = ctx->listeners[i].sock;
        (void) epoll_ctl(in->epfd, EPOLL_CTL_DEL, fd, nullptr);
        if (want)
            (void) epoll_ctl(in->epfd, EPOLL_CTL_ADD, fd, &ev);
    }
    in->ports_generation = __atomic_load_n(&ctx->ports_generation, __ATOMIC_ACQUIRE);
    unlock_option(ctx, OPT_PORTS);
    in->listeners_armed = want;
    if (want)
        in->accept_resume = 0;
}

/* Cuts heads past their deadline and sends past theirs; a head still
 * waiting for its body segment goes to a worker with what it has. */
static void
enforce_deadlines(struct intake *in, int64_t now)
{
    struct client *c, *next;
    for (c = in->heads.next; c != &in->heads && c->deadline <= now; c = next) {
        next = c->next;
        if (c->state == CLIENT_DEFERRED)
            continue; /* unread through no fault of the client */
        if (c->state == CLIENT_READING_BODY) {
            drop_client(in, c); /* its body made no progress this long */
        } else if (c->state == CLIENT_WAITING_BODY) {
            /* still armed: no event may reach the record once it is gone */
            (void) epoll_ctl(in->epfd, EPOLL_CTL_DEL, c->sock.sock, nullptr);
            c->registered = false;
            head_complete(in, c);
        } else {
            __atomic_add_fetch(&in->ctx->head_timeouts, 1, __ATOMIC_RELAXED);
            drop_client(in, c);
        }
    }
    expire_idle(in, now);
    for (c = in->sends.next; c != &in->sends; c = next) {
        next = c->next;
        if (c->deadline <= now) {
            __atomic_add_fetch(&in->ctx->send_timeouts, 1, __ATOMIC_RELAXED);
            end_send(in, c);
        } else if (c->hard_deadline <= now) {
            end_send(in, c);
        } else if (!in->stopping) {
            break; /* in deadline order, until the stop */
        }
    }
}

/* When the next summary line is due; NEVER while there is nothing to tell. */
static int64_t
summary_due(struct qf_context *ctx)
{
    if (__atomic_load_n(&ctx->head_timeouts, __ATOMIC_RELAXED) == 0 &&
        __atomic_load_n(&ctx->send_timeouts, __ATOMIC_RELAXED) == 0 &&
        __atomic_load_n(&ctx->head_cuts, __ATOMIC_RELAXED) == 0)
        return NEVER;
    int64_t last = __atomic_load_n(&ctx->last_summary, __ATOMIC_ACQUIRE);
    return last < 0 ? 0 : last + SUMMARY_INTERVAL_MS;
}

/* One line for the whole server: the loop that claims the minute writes
 * it, with the counts of every loop. */
static void
log_summary(struct intake *in, int64_t now)
{
    struct qf_context *ctx = in->ctx;
    if (summary_due(ctx) > now)
        return;
    int64_t last = __atomic_load_n(&ctx->last_summary, __ATOMIC_ACQUIRE);
    if ((last >= 0 && now - last < SUMMARY_INTERVAL_MS) ||
        !__atomic_compare_exchange_n(&ctx->last_summary, &last, now, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE))
        return;
    int heads = __atomic_exchange_n(&ctx->head_timeouts, 0, __ATOMIC_RELAXED);
    int sends = __atomic_exchange_n(&ctx->send_timeouts, 0, __ATOMIC_RELAXED);
    int cuts = __atomic_exchange_n(&ctx->head_cuts, 0, __ATOMIC_RELAXED);
    if (heads != 0 || sends != 0)
        cry(fc(ctx),
            "%d connections closed: request head not complete within %d s; %d: no progress sending for %d s",
            heads, client_deadline_seconds(), sends, client_deadline_seconds());
    if (cuts != 0)
        cry(fc(ctx), "%d connections closed before their request head was complete: "
                     "descriptors ran short", cuts);
}

/* How long the loop may sleep: until the next deadline, at most a tick. */
static int
wait_ms(const struct intake *in, int64_t now)
{
    int64_t next = now + (in->stopping ? STOP_TICK_MS : TICK_MS);
    /* Deferred heads are not cut, so while there are some their deadlines
     * are looked at once a tick only. */
    if (in->heads.next != &in->heads && in->deferred.first == nullptr &&
        in->heads.next->deadline < next)
        next = in->heads.next->deadline;
    if (in->sends.next != &in->sends && in->sends.next->deadline < next)
        next = in->sends.next->deadline;
    if (idle_due(in) < next)
        next = idle_due(in);
    if (in->accept_resume != 0 && in->accept_resume < next)
        next = in->accept_resume;
    int64_t summary = summary_due(in->ctx);
    if (summary < next)
        next = summary;
    return next <= now ? 0 : (int) (next - now);
}

/* Requests in flight are finished by their workers; heads still being read
 * are closed at once; sends get STOP_SEND_MS more. */
static void
begin_stop(struct intake *in, int64_t now)
{
    in->stopping = true;
    struct client *c;
    while ((c = chain_pop(&in->parked)) != nullptr)
        drop_client(in, c);
    in->deferred.first = in->deferred.last = nullptr; /* all of them are in heads */
    close_idle(in);
    while (in->heads.next != &in->heads)
        drop_client(in, in->heads.next);
    in->queue_full = false;
    for (c = in->sends.next; c != &in->sends; c = c->next)
        c->hard_deadline = now + STOP_SEND_MS;
}

/* A loop ends once its sends are done and no worker is left that could
 * hand it another; in the same locked step it stops taking sends. */
static bool
all_done(struct intake *in)
{
    struct qf_context *ctx = in->ctx;
    if (in->sends.next != &in->sends)
        return false;
    pthread_mutex_lock(&ctx->thr_mutex);
    bool done = ctx->num_threads == 0 && ctx->handed_sends[in->index] == nullptr;
    if (done)
        ctx->loop_running[in->index] = false;
    pthread_mutex_unlock(&ctx->thr_mutex);
    return done;
}

void
run_intake(struct intake *in)
{
    struct qf_context *ctx = in->ctx;
    struct epoll_event events[MAX_EVENTS];

    int64_t now = now_ms();
    for (;;) {
        if (!in->stopping && stop_requested(ctx))
            begin_stop(in, now);
        if (in->stopping) {
            wake_idle_workers(ctx);
            if (all_done(in))
                return;
        }
        update_listeners(in, now);
        int n = epoll_wait(in->epfd, events, MAX_EVENTS, wait_ms(in, now));
        now = now_ms();
        for (int i = 0; i < n; i++) {
            uint64_t tag = events[i].data.u64;
            if (tag == WAKE_TAG) {
                uint64_t count;
                (void) !read(ctx->wake_fds[in->index], &count, sizeof(count));
                take_handed_sends(in, now);
                resume_intake(in);
            } else if (tag <= MAX_TAG) {
                /* Another loop found the queue full: this one waits with it
                 * (the same wake ends both waits), so that the loops
                 * together hold no more than one head each. */
                if (!in->stopping && !in->queue_full &&
                    __atomic_load_n(&ctx->intake_waits, __ATOMIC_ACQUIRE))
                    in->queue_full = true;
                if (!in->stopping && !in->queue_full && now >= in->accept_resume)
                    accept_new_connection(in, (int) tag - 1, now);
            } else {
                struct client *c = (struct client *) events[i].data.ptr;
                if (c->state == CLIENT_SENDING)
                    pump_send(in, c, now);
                else if (!in->stopping)
                    read_head(in, c);
            }
        }
        read_carried(in);
        enforce_deadlines(in, now);
        /* After the turn's events, none of which may find its record gone. */
        if (in->room_wanted) {
            in->room_wanted = false;
            if (!in->stopping && cut_oldest_head(in, now))
                in->accept_resume = 0;
        }
        log_summary(in, now);
        if (in->peak >= TRIM_PEAK && in->clients < in->peak / 8) {
            malloc_trim(0);
            in->peak = in->clients;
        }
    }
}
