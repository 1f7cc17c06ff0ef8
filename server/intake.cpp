/* server/intake.cpp: the intake's event loops. Each accepts, reads request heads without
 * blocking, answers plain requests for small static files itself and queues the other
 * complete heads for the workers, sends the files that workers handed over, and enforces the
 * deadlines, so that no worker ever waits on a client. For plain requests one loop would do
 * (14,000 small files a second kept a quarter of a core busy), but a TLS handshake costs far
 * more than a request, so there is one loop per CPU: each owns the connections it accepted,
 * and all of them accept from the same listeners. */
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <time.h>
#include <unistd.h>

#include "http/http.h"

enum {
    STOP_SEND_MS = 5 * 1000,         /* what a send still gets once the server stops */
    SUMMARY_INTERVAL_MS = 60 * 1000, /* the closure counts are logged at most this often */
    ACCEPT_BACKOFF_MS = 100,         /* out of descriptors: the backlog holds clients meanwhile */
    TICK_MS = 1000,                  /* the stop flag is looked at this often */
    STOP_TICK_MS = 50,               /* ... and then the last workers and sends */
    /* One client a wake-up: while this loop serves it, the next client
     * wakes another loop, so the loops share the clients evenly (a TLS
     * handshake costs half a millisecond). Taking up to 64 at once left
     * one loop busy and the other idle: a longer tail, fewer requests. */
    MAX_ACCEPTS_PER_WAKE = 1,
    MAX_EVENTS = 256,
    TRIM_PEAK = 512,                 /* after a burst of this many clients, memory goes back */
    TLS_PIECES_PER_TURN = 16,        /* 256 KiB of a TLS send per turn */
    /* A head younger than this is not cut to make room for a new client:
     * an ordinary client sends its request within it. */
    MIN_CUT_AGE_MS = 1000,
    /* Near the descriptor limit the descriptors that are not clients are
     * counted again at most this often. */
    RECOUNT_MS = 100,
};
/* A sendfile call on a non-blocking socket moves what fits its buffer. */
static const size_t SEND_CHUNK = (size_t) 1 << 30;
/* epoll data below this is a listener's index + 1 or the wake descriptor;
 * above it, a client record. */
enum { WAKE_TAG = MAX_LISTENING_SOCKETS + 1, MAX_TAG = WAKE_TAG };
static const int64_t NEVER = INT64_MAX;
/* A head must be complete this long after the accept; a send that makes
 * no progress this long is cut. */
#define HEAD_DEADLINE_MS ((int64_t) client_deadline_seconds() * 1000)
#define SEND_STALL_MS HEAD_DEADLINE_MS
/* The content type of a TLS record that carries a handshake message. */
static const unsigned char TLS_HANDSHAKE_RECORD = 0x16;

/* A connection the loop owns: its head being read, its complete head
 * waiting for room in the queue, or a file being sent. */
struct client {
    struct client *prev, *next;   /* heads or sends list */
    struct client *next_waiting;  /* parked or deferred chain */
    struct socket sock;
    SSL *ssl;                     /* TLS: non-blocking until its head is complete */
    char *buf;                    /* null until the first bytes */
    int nread;
    int request_len;              /* > 0: the header block is complete */
    bool body_wait;               /* POST/PUT: one more segment of its body */
    bool refused;                 /* bad lines or framing: answered at once, body or not */
    bool deferred;                /* readable but not read: the queue was full */
    bool registered;              /* in the epoll set */
    bool edge;                    /* TLS: waits edge-triggered for the rest of its hello */
    int64_t deadline;
    int64_t hard_deadline;        /* sends, once the server stops */
    struct file_send *send;
};

struct chain {
    struct client *first, *last;
};

struct intake {
    struct qf_context *ctx;
    int index;                    /* in ctx->wake_fds and ctx->handed_sends */
    int epfd;
    struct client heads;          /* sentinel: incomplete heads, oldest first */
    struct client sends;          /* sentinel: sends, least recent progress first */
    struct chain parked;          /* complete heads waiting for room */
    struct chain deferred;
    bool queue_full;
    bool listeners_armed;
    unsigned ports_generation;
    int64_t accept_resume;        /* accepting paused until then; 0: not paused */
    bool room_wanted;             /* a client waits, and descriptors are short */
    bool stopping;
    int clients, peak;            /* records alive; their most since the last trim */
    char *spare;                  /* a buffer for the first read of a client */
    struct qf_connection conn;    /* the request the loop answers itself */
    char scratch[MAX_REQUEST_SIZE + 1]; /* ... parsed from this copy of its head */
};

static void end_send(struct intake *in, struct client *c);

static struct client *
new_client(struct intake *in)
{
    struct client *c = (struct client *) calloc(1, sizeof(*c));
    if (c != nullptr && ++in->clients > in->peak)
        in->peak = in->clients;
    return c;
}

static void
free_client(struct intake *in, struct client *c)
{
    free(c);
    in->clients--;
}

static int64_t
now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t) ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void
list_init(struct client *sentinel)
{
    sentinel->prev = sentinel->next = sentinel;
}

static void
list_unlink(struct client *c)
{
    if (c->next == nullptr)
        return;
    c->prev->next = c->next;
    c->next->prev = c->prev;
    c->prev = c->next = nullptr;
}

static void
list_append(struct client *sentinel, struct client *c)
{
    c->prev = sentinel->prev;
    c->next = sentinel;
    sentinel->prev->next = c;
    sentinel->prev = c;
}

static void
chain_push(struct chain *ch, struct client *c)
{
    c->next_waiting = nullptr;
    if (ch->last != nullptr)
        ch->last->next_waiting = c;
    else
        ch->first = c;
    ch->last = c;
}

static struct client *
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

static bool
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
        return true;
    }
    return false;
}

/* Closes a connection the loop owns, as one whose peer went away. Out of
 * the set first: a CGI program being started by a worker may hold the
 * socket a moment longer, and its events must not find a freed record. */
static void
drop_client(struct intake *in, struct client *c)
{
    list_unlink(c);
    if (c->registered)
        (void) epoll_ctl(in->epfd, EPOLL_CTL_DEL, c->sock.sock, nullptr);
    if (c->ssl != nullptr)
        tls_free(c->ssl);
    close_gracefully(c->sock.sock);
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

/* What a complete head needs next. */
enum head_step { HEAD_READY, HEAD_WAIT_BODY, HEAD_REFUSED };

/* A small form body often trails its POST or PUT head by one segment, and
 * the panel hook sees only the body that came with the head, so such a
 * head waits for one more read. Not when the client waits for an answer
 * first (Expect), not past a full buffer, and not when the head will be
 * refused whatever follows (bad lines or framing): that one is answered at
 * once. Read from a copy, by the same rules as the worker's. */
static enum head_step
next_head_step(struct intake *in, const struct client *c)
{
    const char *buf = c->buf;
    if (c->request_len < 5 || (strncmp(buf, "POST ", 5) != 0 && strncmp(buf, "PUT ", 4) != 0))
        return HEAD_READY;
    if (!head_lines_valid(buf, c->request_len))
        return HEAD_REFUSED;
    memcpy(in->scratch, buf, (size_t) c->request_len);
    struct qf_request_info ri;
    memset(&ri, 0, sizeof(ri));
    char *e;
    if (!parse_request_line(in->scratch, c->request_len, &ri, &e))
        return HEAD_REFUSED;
    parse_http_headers(&e, &ri);
    struct body_framing f = read_body_framing(&ri);
    if (f.verdict != FRAMING_NONE && f.verdict != FRAMING_LENGTH && f.verdict != FRAMING_CHUNKED)
        return HEAD_REFUSED;
    if (c->nread >= MAX_REQUEST_SIZE || get_header(&ri, "Expect") != nullptr)
        return HEAD_READY;
    return f.verdict == FRAMING_LENGTH && f.length > (uint64_t) (c->nread - c->request_len)
               ? HEAD_WAIT_BODY
               : HEAD_READY;
}

/* Puts a send on the list the loop serves as the client drains. */
static void
start_send(struct intake *in, struct client *c, struct file_send *fs, int64_t now)
{
    c->send = fs;
    c->deadline = now + SEND_STALL_MS;
    c->hard_deadline = in->stopping ? now + STOP_SEND_MS : NEVER;
    list_append(&in->sends, c);
    if (!watch(in, c, EPOLLOUT))
        end_send(in, c);
}

static bool
has_body_method(const char *buf)
{
    return strncmp(buf, "POST ", 5) == 0 || strncmp(buf, "PUT ", 4) == 0 ||
           strncmp(buf, "DELETE ", 7) == 0;
}

/* GETs and HEADs of static files, the ordinary error answers and heads
 * refused whatever their body are answered here: waking a worker costs
 * more than the answer. The request is parsed from a copy, because
 * parsing cuts the head up in place; when
 * it turns out to need a worker (a callback, CGI, SSI, a listing, a large
 * body) nothing has been sent or logged, and the worker gets the original.
 * An embedder's log callback could wait, so with one every request goes to
 * a worker. True when the client was answered: its record is gone or
 * sends what the socket did not take (and close_notify, over TLS). */
static bool
answer_in_loop(struct intake *in, struct client *c)
{
    struct qf_context *ctx = in->ctx;
    if ((has_body_method(c->buf) && !c->refused) || ctx->log_callback != builtin_error_log)
        return false;

    struct qf_connection *conn = &in->conn;
    memcpy(in->scratch, c->buf, (size_t) c->nread);
    conn->client = c->sock;
    conn->ssl = c->ssl;
    conn->ctx = ctx;
    conn->start_time = time(nullptr);
    conn->in_loop = true;
    if (c->ssl != nullptr)
        tls_loop_writes(c->ssl);
    serve_request(conn, in->scratch, c->nread, c->request_len);
    reset_per_request_attributes(conn);
    conn->request_info.request_method = nullptr;
    conn->request_info.uri = nullptr;
    conn->ssl = nullptr;
    if (conn->needs_worker)
        return false;

    char *kept = conn->unsent;
    size_t kept_len = conn->unsent_len;
    conn->unsent = nullptr;
    conn->unsent_len = 0;
    give_back_head_buffer(ctx, c->buf);
    c->buf = nullptr;
    if (kept_len == 0 && (c->ssl == nullptr || tls_notify_close(c->ssl) == TLS_DONE)) {
        free(kept);
        drop_client(in, c); /* closed as a worker closes */
        return true;
    }
    struct file_send *fs = (struct file_send *) calloc(1, sizeof(*fs));
    if (fs == nullptr) {
        free(kept);
        drop_client(in, c);
        return true;
    }
    fs->sock = c->sock.sock;
    fs->fd = -1;
    fs->kept = kept;
    fs->kept_len = kept_len;
    fs->remaining = kept_len;
    fs->ssl = c->ssl; /* the send owns it now */
    c->ssl = nullptr;
    start_send(in, c, fs, now_ms());
    return true;
}

/* The descriptors that are not clients (listeners, logs, the event sets,
 * files being sent, pipes of CGI programs), as last counted; -1 before the
 * first count. Process-wide, as the limit is. */
static int other_descriptors = -1;
static int64_t other_counted_at;

/* A guess at the descriptors that are not clients, where /proc cannot
 * tell: the usual three, logs, listeners, event sets and some files. */
enum { OTHER_DESCRIPTORS_GUESS = 32 };

/* Counts every open descriptor of the process but the clients; -1 when no
 * descriptor is left for the count itself. */
static int
count_other_descriptors(void)
{
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return errno == EMFILE || errno == ENFILE ? -1 : OTHER_DESCRIPTORS_GUESS;
    int n = 0;
    while (readdir(d) != nullptr)
        n++;
    closedir(d);
    n -= 3; /* ".", ".." and the directory's own descriptor */
    n -= count_open_clients();
    return n < 0 ? 0 : n;
}

/* Descriptors kept for what the server opens while clients hold the
 * rest: logs, password files, CGI pipes, the panel's files, TLS files and
 * the files being sent. A sixteenth of the limit and 16 more, but no more
 * than a quarter of it. */
static int64_t
descriptor_reserve(int64_t limit)
{
    int64_t r = 16 + limit / 16;
    return r > limit / 4 ? limit / 4 : r;
}

/* Whether fewer descriptors than the reserve are free. Clients are
 * counted as they come and go; the rest is counted again only near the
 * limit, where it matters, and at most every RECOUNT_MS. */
static bool
descriptors_short(int64_t now)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return false;
    const int64_t limit = (int64_t) rl.rlim_cur, reserve = descriptor_reserve(limit);
    int64_t clients = count_open_clients();
    int other = __atomic_load_n(&other_descriptors, __ATOMIC_RELAXED);
    int64_t last = __atomic_load_n(&other_counted_at, __ATOMIC_RELAXED);
    if (other < 0 || (clients + other + 2 * reserve >= limit && now - last >= RECOUNT_MS)) {
        __atomic_store_n(&other_counted_at, now, __ATOMIC_RELAXED);
        int counted = count_other_descriptors();
        if (counted < 0)
            return true;
        other = counted;
        __atomic_store_n(&other_descriptors, other, __ATOMIC_RELAXED);
    }
    return clients + other + reserve > limit;
}

/* Closes the oldest connection of this loop that is still reading its head
 * (not one waiting for room in the queue, nor one younger than
 * MIN_CUT_AGE_MS): a slow or silent client gives way to a new one. False
 * when there is none. */
static bool
cut_oldest_head(struct intake *in, int64_t now)
{
    for (struct client *c = in->heads.next; c != &in->heads; c = c->next) {
        if (c->deadline - HEAD_DEADLINE_MS > now - MIN_CUT_AGE_MS)
            return false; /* oldest first: the rest are younger still */
        if (c->deferred || c->body_wait)
            continue;
        __atomic_add_fetch(&in->ctx->head_cuts, 1, __ATOMIC_RELAXED);
        drop_client(in, c);
        return true;
    }
    return false;
}

/* The head is answered here, goes to a worker, or waits for room with the
 * intake paused. A worker reads and writes blocking, bounded by the
 * socket's timeouts. */
static void
head_complete(struct intake *in, struct client *c)
{
    list_unlink(c);
    /* Out of the set before the record goes: a registration left behind
     * would carry the freed record for as long as the socket lives. */
    if (c->registered) {
        (void) epoll_ctl(in->epfd, EPOLL_CTL_DEL, c->sock.sock, nullptr);
        c->registered = false;
    }
    if (answer_in_loop(in, c))
        return;
    if (c->ssl != nullptr)
        set_blocking(c->sock.sock, true);
    struct request_head head = {c->sock, c->ssl, c->buf, c->nread, c->request_len};
    if (!in->queue_full && put_socket(in->ctx, &head)) {
        free_client(in, c);
        return;
    }
    in->queue_full = true;
    chain_push(&in->parked, c);
}

/* One read of a client without waiting: > 0 bytes, 0 when it is gone or
 * failed, -1 when nothing came yet (*wait_for: what to wait for). */
static ssize_t
read_some(struct client *c, char *buf, size_t len, uint32_t *wait_for)
{
    *wait_for = EPOLLIN;
    if (c->ssl == nullptr) {
        ssize_t n = recv(c->sock.sock, buf, len, MSG_DONTWAIT);
        return n < 0 && (errno == EAGAIN || errno == EINTR) ? -1 : n < 0 ? 0 : n;
    }
    enum tls_step step;
    int n = tls_read(c->ssl, buf, (int) len, &step);
    if (n > 0)
        return n;
    if (step == TLS_WANT_WRITE)
        *wait_for = EPOLLOUT;
    return step == TLS_WANT_READ || step == TLS_WANT_WRITE ? -1 : 0;
}

/* The TLS handshake, a step at a time under the head's deadline. True
 * when it is done; else the client waits for its socket or is gone. */
static bool
shake_hands(struct intake *in, struct client *c)
{
    enum tls_step step = tls_handshake(c->ssl);
    if (step == TLS_DONE)
        return true;
    if (step != TLS_WANT_READ && step != TLS_WANT_WRITE)
        drop_client(in, c);
    else if (!watch(in, c, (step == TLS_WANT_READ ? EPOLLIN : EPOLLOUT) | EPOLLONESHOT))
        drop_client(in, c);
    return false;
}

/* Whether the first TLS record (the client's hello) has fully arrived;
 * -1 when the client is gone. Only peeks: the bytes stay for the library. */
static int
hello_arrived(int sock)
{
    unsigned char head[5];
    ssize_t n = recv(sock, head, sizeof(head), MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    if (n <= 0)
        return -1;
    if (head[0] != TLS_HANDSHAKE_RECORD)
        return 1; /* no TLS at all: the library refuses it at once */
    int pending = 0;
    if (n == (ssize_t) sizeof(head) && ioctl(sock, FIONREAD, &pending) == 0 &&
        pending >= (int) sizeof(head) + (head[3] << 8 | head[4]))
        return 1;
    /* A client that has closed its side can never finish its hello; the
     * bytes it left keep the socket readable, so only this tells. */
    struct pollfd pfd = {sock, POLLRDHUP, 0};
    return poll(&pfd, 1, 0) == 1 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) ? -1 : 0;
}

/* Whether a TLS client may read its head. Its TLS state (some 40 KiB while
 * the handshake lasts) is made only once its hello is complete, so that a
 * silent or trickling client costs no more than a plain one. */
static bool
tls_ready(struct intake *in, struct client *c)
{
    if (c->ssl == nullptr) {
        int arrived = hello_arrived(c->sock.sock);
        if (arrived == 0) {
            /* Edge-triggered and armed once: the bytes already there must
             * not wake the loop again (re-arming would, at once). */
            if (!c->edge && !(c->edge = watch(in, c, EPOLLIN | EPOLLRDHUP | EPOLLET)))
                drop_client(in, c);
            return false;
        }
        if (arrived < 0 || (c->ssl = tls_new(in->ctx, c->sock.sock)) == nullptr) {
            drop_client(in, c);
            return false;
        }
    }
    return tls_handshake_done(c->ssl) || shake_hands(in, c);
}

/* Reads a readable (or new) connection. Its registration is one-shot: it
 * is armed again only while the head is still wanted. */
static void
read_head(struct intake *in, struct client *c)
{
    if (in->queue_full) {
        c->deferred = true;
        chain_push(&in->deferred, c);
        return;
    }
    if (c->sock.is_ssl && !tls_ready(in, c))
        return;
    /* A silent client costs no buffer: the first read goes to the spare,
     * which the client keeps once bytes came. */
    if (c->buf == nullptr && in->spare == nullptr &&
        (in->spare = take_head_buffer(in->ctx)) == nullptr) {
        drop_client(in, c);
        return;
    }
    for (;;) {
        char *buf = c->buf != nullptr ? c->buf : in->spare;
        uint32_t wait_for;
        ssize_t n = read_some(c, buf + c->nread, (size_t) (MAX_REQUEST_SIZE - c->nread),
                              &wait_for);
        if (n > 0 && c->buf == nullptr) {
            c->buf = in->spare;
            in->spare = nullptr;
        }
        if (n < 0) {
            if (!watch(in, c, wait_for | EPOLLONESHOT))
                drop_client(in, c);
            return;
        }
        if (n == 0) { /* gone: with a complete head it is still served */
            if (c->body_wait)
                head_complete(in, c);
            else
                drop_client(in, c);
            return;
        }
        c->nread += (int) n;
        /* TLS may hold decrypted bytes that no event will announce. */
        bool more = c->ssl != nullptr && c->nread < MAX_REQUEST_SIZE && tls_has_pending(c->ssl);
        if (!c->body_wait) {
            int len = get_request_len(c->buf, (size_t) c->nread);
            if (len < 0 || (len == 0 && c->nread >= MAX_REQUEST_SIZE)) {
                drop_client(in, c); /* garbage or too long: no answer */
                return;
            }
            if (len == 0) {
                if (more)
                    continue;
                if (!watch(in, c, EPOLLIN | EPOLLONESHOT))
                    drop_client(in, c);
                return;
            }
            c->request_len = len;
            enum head_step step = next_head_step(in, c);
            c->refused = step == HEAD_REFUSED;
            if (step == HEAD_WAIT_BODY) {
                c->body_wait = true;
                if (more)
                    continue;
                if (!watch(in, c, EPOLLIN | EPOLLONESHOT))
                    head_complete(in, c);
                return;
            }
        }
        head_complete(in, c);
        return;
    }
}

/* Accepts what waits on listener i (under the ports lock, so that it stays
 * open meanwhile), applies the access list, and reads each head at once:
 * under load the request is often there already. */
static void
accept_new_connection(struct intake *in, int i, int64_t now)
{
    struct qf_context *ctx = in->ctx;
    struct client *fresh[MAX_ACCEPTS_PER_WAKE];
    int n = 0;

    lock_option(ctx, OPT_PORTS);
    while (i < ctx->num_listeners && n < MAX_ACCEPTS_PER_WAKE) {
        if (descriptors_short(now)) {
            /* The reserve stays free: accepting pauses (the backlog holds
             * the clients) until the end of this turn cuts a head. */
            in->accept_resume = now + ACCEPT_BACKOFF_MS;
            in->room_wanted = true;
            break;
        }
        const struct socket *listener = &ctx->listeners[i];
        struct socket s;
        memset(&s, 0, sizeof(s));
        s.lsa = listener->lsa;
        s.rsa.len = sizeof(s.rsa.u);
        /* Close-on-exec in the same call: a CGI program forked by a worker
         * in between must never inherit this client. Blocking, for the
         * worker: the loop reads with MSG_DONTWAIT. */
        s.sock = accept4(listener->sock, &s.rsa.u.sa, &s.rsa.len,
                         SOCK_CLOEXEC | (listener->is_ssl ? SOCK_NONBLOCK : 0));
        if (s.sock == -1) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                /* Paused, not retried at once: the listener stays readable. */
                in->accept_resume = now + ACCEPT_BACKOFF_MS;
                __atomic_store_n(&other_descriptors, -1, __ATOMIC_RELAXED);
            }
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            break;
        }
        s.is_ssl = listener->is_ssl;

        lock_option(ctx, OPT_ACL);
        /* An empty list is no list: everyone, as when acl is unset. */
        const char *acl = ctx->options[OPT_ACL];
        bool denied = acl != nullptr && acl[0] != '\0' && check_acl(ctx, acl, &s.rsa) == 0;
        unlock_option(ctx, OPT_ACL);
        if (denied) {
            char addr[QF_ADDRSTRLEN];
            qf_address_text(&s.rsa, addr, sizeof(addr));
            cry(fc(ctx), "%s: %s is not allowed to connect", "accept_new_connection", addr);
            close(s.sock);
            continue;
        }
        struct client *c = new_client(in);
        if (c == nullptr) {
            close(s.sock);
            break;
        }
        note_client_opened();
        c->sock = s;
        c->deadline = now + HEAD_DEADLINE_MS;
        fresh[n++] = c;
    }
    unlock_option(ctx, OPT_PORTS);

    for (int k = 0; k < n; k++) {
        list_append(&in->heads, fresh[k]);
        read_head(in, fresh[k]);
    }
}

/* The send is over: done, cut or failed. The access-log line tells the
 * bytes that really went out. The socket is the caller's to close. */
static void
finish_send(struct qf_context *ctx, struct file_send *fs)
{
    log_access_line(ctx, fs->log_line, fs->log_split, fs->sent);
    if (fs->fd != -1)
        close(fs->fd);
    free(fs->log_line);
    free(fs->piece);
    free(fs->kept);
    if (fs->ssl != nullptr)
        tls_free(fs->ssl);
    free(fs);
}

static void
end_send(struct intake *in, struct client *c)
{
    finish_send(in->ctx, c->send);
    drop_client(in, c);
}

/* A send made progress: it goes to the back of the deadline order. */
static void
note_progress(struct intake *in, struct client *c, int64_t now)
{
    list_unlink(c);
    c->deadline = now + SEND_STALL_MS;
    list_append(&in->sends, c);
}

/* Pieces through TLS while the socket takes them (a few per turn, so that
 * other clients get theirs), then close_notify, which may wait too. */
static void
pump_tls_send(struct intake *in, struct client *c, int64_t now)
{
    struct file_send *fs = c->send;
    enum tls_step step = TLS_DONE;
    uint64_t before = fs->sent;
    for (int k = 0; k < TLS_PIECES_PER_TURN && fs->remaining > 0 && step == TLS_DONE; k++)
        step = tls_send_piece(fs);
    if (fs->remaining == 0)
        step = tls_notify_close(fs->ssl);
    if (step == TLS_WANT_READ || step == TLS_WANT_WRITE ||
        (step == TLS_DONE && fs->remaining > 0)) {
        if (fs->sent != before)
            note_progress(in, c, now);
        if (!watch(in, c, step == TLS_WANT_READ ? EPOLLIN : EPOLLOUT))
            end_send(in, c);
        return;
    }
    end_send(in, c); /* all sent, the file ended early, or the client is gone */
}

/* What the loop's own answer left unsent, as the socket takes it. */
static void
pump_kept(struct intake *in, struct client *c, int64_t now)
{
    struct file_send *fs = c->send;
    ssize_t n;
    while ((n = send(c->sock.sock, fs->kept + fs->kept_sent, fs->kept_len - fs->kept_sent,
                     MSG_DONTWAIT | MSG_NOSIGNAL)) < 0 && errno == EINTR)
        ;
    if (n < 0 && errno == EAGAIN)
        return;
    if (n > 0)
        fs->kept_sent += (size_t) n;
    if (n > 0 && fs->kept_sent < fs->kept_len)
        note_progress(in, c, now);
    else
        end_send(in, c); /* all sent, or the client is gone */
}

static void
pump_send(struct intake *in, struct client *c, int64_t now)
{
    struct file_send *fs = c->send;
    if (fs->ssl != nullptr) {
        pump_tls_send(in, c, now);
        return;
    }
    if (fs->kept != nullptr) {
        pump_kept(in, c, now);
        return;
    }
    size_t want = fs->remaining < SEND_CHUNK ? (size_t) fs->remaining : SEND_CHUNK;
    ssize_t n;
    while ((n = sendfile(c->sock.sock, fs->fd, &fs->offset, want)) < 0 && errno == EINTR)
        ;
    if (n > 0) {
        fs->sent += (uint64_t) n;
        fs->remaining -= (uint64_t) n;
        if (fs->remaining > 0) {
            note_progress(in, c, now);
            return;
        }
    } else if (n < 0 && errno == EAGAIN) {
        return;
    }
    end_send(in, c); /* all sent, the file ended early, or the client is gone */
}

/* Sends that workers handed over since the last look. */
static void
take_handed_sends(struct intake *in, int64_t now)
{
    struct qf_context *ctx = in->ctx;
    pthread_mutex_lock(&ctx->thr_mutex);
    struct file_send *list = ctx->handed_sends[in->index];
    ctx->handed_sends[in->index] = nullptr;
    pthread_mutex_unlock(&ctx->thr_mutex);

    while (list != nullptr) {
        struct file_send *fs = list;
        list = fs->next;
        struct client *c = new_client(in);
        if (c == nullptr) {
            int sock = fs->sock;
            finish_send(ctx, fs);
            close_gracefully(sock);
            continue;
        }
        c->sock.sock = fs->sock;
        start_send(in, c, fs, now);
    }
}

/* Room in the queue: the parked heads go first, in order, then the
 * connections that became readable meanwhile are read. */
static void
resume_intake(struct intake *in)
{
    if (!in->queue_full)
        return;
    while (in->parked.first != nullptr) {
        struct client *c = in->parked.first;
        struct request_head head = {c->sock, c->ssl, c->buf, c->nread, c->request_len};
        if (!put_socket(in->ctx, &head))
            return;
        chain_pop(&in->parked);
        free_client(in, c);
    }
    in->queue_full = false;
    struct chain waiting = in->deferred;
    in->deferred.first = in->deferred.last = nullptr;
    struct client *c;
    while ((c = chain_pop(&waiting)) != nullptr) {
        c->deferred = false;
        read_head(in, c);
    }
}

/* Cuts heads past their deadline and sends past theirs; a head still
 * waiting for its body segment goes to a worker with what it has. */
static void
enforce_deadlines(struct intake *in, int64_t now)
{
    struct client *c, *next;
    for (c = in->heads.next; c != &in->heads && c->deadline <= now; c = next) {
        next = c->next;
        if (c->deferred)
            continue; /* unread through no fault of the client */
        if (c->body_wait) {
            /* still armed: no event may reach the record once it is gone */
            (void) epoll_ctl(in->epfd, EPOLL_CTL_DEL, c->sock.sock, nullptr);
            c->registered = false;
            head_complete(in, c);
        } else {
            __atomic_add_fetch(&in->ctx->head_timeouts, 1, __ATOMIC_RELAXED);
            drop_client(in, c);
        }
    }
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
    if (in->accept_resume != 0 && in->accept_resume < next)
        next = in->accept_resume;
    int64_t summary = summary_due(in->ctx);
    if (summary < next)
        next = summary;
    return next <= now ? 0 : (int) (next - now);
}

/* Idle workers would otherwise sit out idle_time before the stop can end;
 * waking them lets each leave once the queue is empty. Posted under the
 * lock, so no woken worker can leave before its post. */
static void
wake_idle_workers(struct qf_context *ctx)
{
    pthread_mutex_lock(&ctx->thr_mutex);
    for (struct idle_worker *w = ctx->idle_workers; w != nullptr; w = ctx->idle_workers) {
        ctx->idle_workers = w->next;
        w->woken = true;
        sem_post(&w->wake);
    }
    pthread_mutex_unlock(&ctx->thr_mutex);
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

static void
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
                if (c->send != nullptr)
                    pump_send(in, c, now);
                else if (!in->stopping)
                    read_head(in, c);
            }
        }
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

/* One loop per CPU that the process may run on, up to MAX_INTAKE_LOOPS. */
int
count_intake_loops(void)
{
    cpu_set_t set;
    long n = sched_getaffinity(0, sizeof(set), &set) == 0 ? CPU_COUNT(&set)
                                                          : sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : n > MAX_INTAKE_LOOPS ? MAX_INTAKE_LOOPS : (int) n;
}

/* Loop index with its own event set, which holds its wake descriptor; null
 * (errno telling why) when the set cannot be made. */
static struct intake *
open_intake(struct qf_context *ctx, int index)
{
    struct intake *in = (struct intake *) calloc(1, sizeof(*in));
    if (in == nullptr)
        return nullptr;
    in->ctx = ctx;
    in->index = index;
    in->epfd = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev;
    ev.events = EPOLLIN;
    ev.data.u64 = WAKE_TAG;
    if (in->epfd == -1 || epoll_ctl(in->epfd, EPOLL_CTL_ADD, ctx->wake_fds[index], &ev) != 0) {
        int saved = errno;
        if (in->epfd != -1)
            close(in->epfd);
        free(in);
        errno = saved;
        return nullptr;
    }
    list_init(&in->heads);
    list_init(&in->sends);
    return in;
}

static void
close_intake(struct intake *in)
{
    give_back_head_buffer(in->ctx, in->spare);
    close(in->epfd);
    free(in);
}

static void *
intake_thread(void *arg)
{
    run_intake((struct intake *) arg);
    return nullptr;
}

/* The listener thread: loop 0 of the intake, the other loops started and
 * joined here, until the server stops and the last worker and send have
 * ended; then the tear-down of the context. */
void *
master_thread(void *arg)
{
    struct qf_context *ctx = (struct qf_context *) arg;
    /* Woken by every new client, the listener would otherwise preempt the
     * very client that is about to send its request. As a batch thread it
     * lets the sender go on, and then takes the clients that arrived
     * meanwhile, requests and all, in one go. Only an ordinary thread is
     * demoted; the other loops inherit the policy, and the workers (which
     * run CGI programs and the panel's commands) get the ordinary one back. */
    int policy;
    struct sched_param param;
    if (pthread_getschedparam(pthread_self(), &policy, &param) == 0 && policy == SCHED_OTHER &&
        set_policy(SCHED_BATCH))
        __atomic_store_n(&ctx->listener_batched, true, __ATOMIC_RELEASE);

    struct intake *loops[MAX_INTAKE_LOOPS] = {};
    pthread_t threads[MAX_INTAKE_LOOPS];
    int opened = 0;
    while (opened < ctx->num_loops && (loops[opened] = open_intake(ctx, opened)) != nullptr)
        opened++;
    if (opened == 0) {
        cry(fc(ctx), "%s: cannot start the intake: %s", "master_thread", strerror(errno));
        /* Nothing is served; the stop still finds a finished context. */
        while (!stop_requested(ctx))
            sleep(1);
    } else {
        /* Running before any starts: a send may go to a loop that has
         * not yet begun, never to one that has ended. */
        pthread_mutex_lock(&ctx->thr_mutex);
        for (int i = 0; i < opened; i++)
            ctx->loop_running[i] = true;
        pthread_mutex_unlock(&ctx->thr_mutex);
        __atomic_store_n(&ctx->intake_running, true, __ATOMIC_RELEASE);
        int started = 1, rc = 0;
        while (started < opened &&
               (rc = pthread_create(&threads[started], nullptr, intake_thread, loops[started])) == 0)
            started++;
        if (started < opened) {
            cry(fc(ctx), "%s: %d of %d intake loops: %s", "master_thread", started, opened,
                strerror(rc));
            pthread_mutex_lock(&ctx->thr_mutex);
            for (int i = started; i < opened; i++)
                ctx->loop_running[i] = false;
            pthread_mutex_unlock(&ctx->thr_mutex);
        }
        run_intake(loops[0]);
        for (int i = 1; i < started; i++)
            pthread_join(threads[i], nullptr);
        __atomic_store_n(&ctx->intake_running, false, __ATOMIC_RELEASE);
    }
    for (int i = 0; i < opened; i++)
        close_intake(loops[i]);
    wake_idle_workers(ctx);
    qf_fini(ctx);
    return nullptr;
}
