/* server/intake_accept.cpp: the intake's accepting of new clients (the access list, the
 * descriptor reserve, the oldest head cut for a new one) and its reading of request heads
 * without blocking, TLS handshakes included, until a head is complete. */
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "server/intake.h"

/* The content type of a TLS record that carries a handshake message. */
static const unsigned char TLS_HANDSHAKE_RECORD = 0x16;

/* For the bodies the loop does not read itself (start_body: a PUT of a
 * file, a body declared too large): a small body often trails its head by
 * one segment, so such a head waits for one more read. Not when the
 * client waits for an answer first (Expect), not past a full buffer, and
 * not when the head is refused whatever follows (its verdict): that one
 * is answered at once. */
static bool
waits_for_body(const struct client *c, const struct head_record *rec)
{
    if (rec->verdict != HEAD_OK)
        return false;
    if (rec->method != METHOD_POST && rec->method != METHOD_PUT)
        return false;
    if (c->nread >= MAX_REQUEST_SIZE || rec->expect != EXPECT_NONE)
        return false;
    return rec->framing.verdict == FRAMING_LENGTH &&
           rec->framing.length > (uint64_t) (c->nread - c->request_len);
}

/* Hands a complete head, its record behind it, to the workers; false when
 * the queue is full. */
static bool
queue_head(struct intake *in, struct client *c)
{
    struct request_head head = {c->sock, c->ssl, c->buf, c->nread, c->request_len,
                                held_body_of(c), c->served};
    return put_socket(in->ctx, &head);
}

/* The descriptors that are not clients (listeners, logs, the event sets,
 * files being sent, pipes of CGI programs), as last counted; -1 before the
 * first count. Process-wide, as the limit is. */
static int other_descriptors = -1;
static int64_t other_counted_at;
/* The descriptor limit, read with each count rather than on every accept
 * (the server sets it once, at start); -1 for no limit. */
static int64_t descriptor_limit = -1;

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
    int64_t clients = count_open_clients();
    int other = __atomic_load_n(&other_descriptors, __ATOMIC_RELAXED);
    int64_t last = __atomic_load_n(&other_counted_at, __ATOMIC_RELAXED);
    int64_t limit = __atomic_load_n(&descriptor_limit, __ATOMIC_RELAXED);
    if (other < 0 ||
        (limit >= 0 && clients + other + 2 * descriptor_reserve(limit) >= limit && now - last >= RECOUNT_MS)) {
        __atomic_store_n(&other_counted_at, now, __ATOMIC_RELAXED);
        struct rlimit rl;
        limit = getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY ? -1 : (int64_t) rl.rlim_cur;
        __atomic_store_n(&descriptor_limit, limit, __ATOMIC_RELAXED);
        if (limit < 0)
            return false;
        int counted = count_other_descriptors();
        if (counted < 0)
            return true;
        other = counted;
        __atomic_store_n(&other_descriptors, other, __ATOMIC_RELAXED);
    }
    return limit >= 0 && clients + other + descriptor_reserve(limit) > limit;
}

/* Closes an idle kept connection of this loop, else the oldest connection
 * that is still reading its head (not one waiting for room in the queue,
 * nor one younger than MIN_CUT_AGE_MS): a slow or silent client gives way
 * to a new one. False when there is none. */
bool
cut_oldest_head(struct intake *in, int64_t now)
{
    if (cut_idle_client(in))
        return true;
    for (struct client *c = in->heads.next; c != &in->heads; c = c->next) {
        if (c->deadline - HEAD_DEADLINE_MS > now - MIN_CUT_AGE_MS)
            return false; /* oldest first: the rest are younger still */
        if (c->state != CLIENT_READING_HEAD)
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
void
head_complete(struct intake *in, struct client *c)
{
    list_unlink(c);
    /* body bytes read since the head was parsed are held with it */
    head_body_bytes(head_record_of(c->buf), c->nread);
    /* Answered here, the record stays, and whatever comes next (a send, the
     * wait for the next request, the close) sets its registration before
     * the loop waits again. */
    if (answer_in_loop(in, c))
        return;
    /* Out of the set before the record goes: a registration left behind
     * would carry the freed record for as long as the socket lives. */
    if (c->registered) {
        (void) epoll_ctl(in->epfd, EPOLL_CTL_DEL, c->sock.sock, nullptr);
        c->registered = false;
    }
    /* A kept connection may come back non-blocking from a handed send. */
    if (c->ssl != nullptr || c->served > 0)
        set_blocking(c->sock.sock, true);
    if (!in->queue_full && queue_head(in, c)) {
        body_handed_on(c);
        free_client(in, c);
        return;
    }
    in->queue_full = true;
    c->state = CLIENT_PARKED;
    chain_push(&in->parked, c);
}

ssize_t
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
void
read_head(struct intake *in, struct client *c)
{
    if (c->state == CLIENT_IDLE)
        wake_idle_client(in, c, now_ms());
    if (in->queue_full) {
        if (c->registered && c->level_in) {
            /* unread, it would wake the loop on every turn */
            (void) epoll_ctl(in->epfd, EPOLL_CTL_DEL, c->sock.sock, nullptr);
            c->registered = false;
        }
        c->state = CLIENT_DEFERRED;
        chain_push(&in->deferred, c);
        return;
    }
    if (c->body != nullptr) {
        read_body(in, c);
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
        /* Bytes carried over from the last request are looked at first. */
        bool carried = c->carried;
        c->carried = false;
        ssize_t n = carried ? 0 : read_some(c, buf + c->nread,
                                            (size_t) (MAX_REQUEST_SIZE - c->nread), &wait_for);
        if (n > 0 && c->buf == nullptr) {
            c->buf = in->spare;
            in->spare = nullptr;
        }
        if (n < 0) {
            if (!watch(in, c, wait_for | EPOLLONESHOT))
                drop_client(in, c);
            return;
        }
        if (n == 0 && !carried) { /* gone: with a complete head it is still served */
            if (c->state == CLIENT_WAITING_BODY)
                head_complete(in, c);
            else
                drop_client(in, c);
            return;
        }
        c->nread += (int) n;
        /* TLS may hold decrypted bytes that no event will announce. */
        bool more = c->ssl != nullptr && c->nread < MAX_REQUEST_SIZE && tls_has_pending(c->ssl);
        if (c->state != CLIENT_WAITING_BODY) {
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
            /* The one time this head is parsed, in place. */
            struct head_record *rec = head_record_of(c->buf);
            if (parse_head(c->buf, c->nread, len, rec) && start_body(in, c, rec))
                return;
            if (waits_for_body(c, rec)) {
                c->state = CLIENT_WAITING_BODY;
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
void
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

/* Room in the queue: the parked heads go first, in order, then the
 * connections that became readable meanwhile are read. */
void
resume_intake(struct intake *in)
{
    if (!in->queue_full)
        return;
    while (in->parked.first != nullptr) {
        struct client *c = in->parked.first;
        if (!queue_head(in, c))
            return;
        body_handed_on(c);
        chain_pop(&in->parked);
        free_client(in, c);
    }
    in->queue_full = false;
    struct chain waiting = in->deferred;
    in->deferred.first = in->deferred.last = nullptr;
    struct client *c;
    while ((c = chain_pop(&waiting)) != nullptr) {
        c->state = c->body != nullptr    ? CLIENT_READING_BODY
                   : c->request_len > 0 ? CLIENT_WAITING_BODY
                                        : CLIENT_READING_HEAD;
        read_head(in, c);
    }
}
