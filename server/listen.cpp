/* server/listen.cpp: listening sockets, the IP access list and the uid setter. */
#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include "server/server.h"

static bool scan_number(const char **p, const char *end, int *n);
static bool scan_char(const char **p, const char *end, char c);
static bool scan_port_entry(const struct vec *entry, uint32_t *addr, int *port);
static bool set_client_socket_defaults(int sock);
static void note_new_listeners(struct qf_context *ctx);

/* Connections waiting for accept in the kernel. Once max_threads workers
 * are busy and the queue is full, new clients wait here; at 300 concurrent
 * clients a backlog of 128 overflowed and the dropped SYNs cost their
 * clients a one-second retransmit, which 1024 avoids. The kernel caps it
 * at net.core.somaxconn. */
enum { LISTEN_BACKLOG = 1024 };
/* A client that sends or takes nothing for this long releases its worker. */
enum { CLIENT_IO_TIMEOUT_SECONDS = 30 };
/* One slot of the listener table stays free. */
enum { MAX_OPEN_LISTENERS = MAX_LISTENING_SOCKETS - 1 };

/* Reads a decimal number the way scanf's %d does (leading white space, an
 * optional sign, digits) but never past end, and clamps what does not fit
 * an int instead of overflowing. */
static bool
scan_number(const char **p, const char *end, int *n)
{
    if (*p >= end)
        return false;
    char *stop;
    errno = 0;
    long v = strtol(*p, &stop, 10);
    /* Digits and white space never cross the ',' or NUL that ends an entry,
     * so strtol stops inside it; the check keeps that true for any caller. */
    if (stop == *p || stop > end)
        return false;
    *n = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int) v;
    *p = stop;
    return true;
}

static bool
scan_char(const char **p, const char *end, char c)
{
    if (*p >= end || **p != c)
        return false;
    (*p)++;
    return true;
}

/* "a.b.c.d:port" binds to one local address, a bare "port" to all of them.
 * The address numbers are not limited to bytes: the address is the 32-bit
 * value a*2^24 + b*2^16 + c*2^8 + d. Anything after the port is ignored. */
static bool
scan_port_entry(const struct vec *entry, uint32_t *addr, int *port)
{
    const char *end = entry->ptr + entry->len;
    const char *p = entry->ptr;
    int a, b, c, d;

    if (scan_number(&p, end, &a) && scan_char(&p, end, '.') && scan_number(&p, end, &b) &&
        scan_char(&p, end, '.') && scan_number(&p, end, &c) && scan_char(&p, end, '.') &&
        scan_number(&p, end, &d) && scan_char(&p, end, ':') && scan_number(&p, end, port)) {
        *addr = ((uint32_t) a << 24) + ((uint32_t) b << 16) + ((uint32_t) c << 8) + (uint32_t) d;
        return true;
    }
    p = entry->ptr;
    *addr = INADDR_ANY;
    return scan_number(&p, end, port);
}

/* Options set on a listener are inherited by every socket it accepts, so
 * setting them once here saves three system calls per connection: the I/O
 * timeouts keep a silent client from holding a worker for ever, and
 * no-delay sends a header and a small body without waiting for an ACK. */
static bool
set_client_socket_defaults(int sock)
{
    const int on = 1;
    struct timeval tv;
    tv.tv_sec = CLIENT_IO_TIMEOUT_SECONDS;
    tv.tv_usec = 0;
    return setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0 &&
           setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0 &&
           setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0;
}

/* Opens one listener for a port entry and fills lsa with its address.
 * Returns the descriptor, or -1: silently when the entry does not scan or
 * names no usable port (the caller reports the entry), with a log line
 * when the socket layer refuses. */
int
qf_open_listening_port(struct qf_context *ctx, const struct vec *entry, struct usa *lsa)
{
    uint32_t addr;
    int port;
    const int on = 1;

    memset(lsa, 0, sizeof(*lsa));
    if (!scan_port_entry(entry, &addr, &port) || port < 1 || port > 65535)
        return -1;
    lsa->len = sizeof(lsa->u.sin);
    lsa->u.sin.sin_family = AF_INET;
    lsa->u.sin.sin_port = htons((uint16_t) port);
    lsa->u.sin.sin_addr.s_addr = htonl(addr);

    /* Close-on-exec from birth: a CGI program forked by a worker meanwhile
     * must not inherit it. Non-blocking, so that an accept after a ready
     * poll whose client has gone already cannot stall the listener thread. */
    int sock = socket(PF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (sock == -1) {
        cry(fc(ctx), "%s(%d): %s", "qf_open_listening_port", port, strerror(errno));
        return -1;
    }
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        !set_client_socket_defaults(sock) || bind(sock, &lsa->u.sa, lsa->len) != 0 ||
        listen(sock, LISTEN_BACKLOG) != 0) {
        cry(fc(ctx), "%s(%d): %s", "qf_open_listening_port", port, strerror(errno));
        close(sock);
        return -1;
    }
    return sock;
}

/* The intake's loop waits on the listeners: it must learn of new ones. */
static void
note_new_listeners(struct qf_context *ctx)
{
    __atomic_add_fetch(&ctx->ports_generation, 1, __ATOMIC_RELEASE);
    wake_intake(ctx);
}

/* The caller holds the ports mutex (or is the only thread left). */
void
close_all_listening_sockets(struct qf_context *ctx)
{
    for (int i = 0; i < ctx->num_listeners; i++)
        close(ctx->listeners[i].sock);
    ctx->num_listeners = 0;
}

/* Replaces every listener by one per entry of list. Runs under the ports
 * mutex (taken by qf_set_option), so the listener thread never sees the
 * table half changed. Listeners opened before a bad entry stay open. */
bool
set_ports_option(struct qf_context *ctx, const char *list)
{
    struct vec entry;

    close_all_listening_sockets(ctx);
    while ((list = next_option(list, &entry, nullptr)) != nullptr) {
        if (ctx->num_listeners >= MAX_OPEN_LISTENERS) {
            cry(fc(ctx), "%s", "Too many listeninig sockets");
            return false;
        }
        struct socket *l = &ctx->listeners[ctx->num_listeners];
        l->sock = qf_open_listening_port(ctx, &entry, &l->lsa);
        if (l->sock == -1) {
            cry(fc(ctx), "cannot bind to %.*s", (int) entry.len, entry.ptr);
            return false;
        }
        l->is_ssl = entry.len > 0 && entry.ptr[entry.len - 1] == 's';
        if (l->is_ssl && !tls_available(ctx)) {
            close(l->sock);
            cry(fc(ctx), "%s",
                "cannot add SSL socket, please specify -ssl_cert option BEFORE -ports option");
            return false;
        }
        ctx->num_listeners++;
        note_new_listeners(ctx);
    }
    return true;
}

bool
isbyte(int n)
{
    return n >= 0 && n <= 255;
}

/* Entries are "[+|-]a.b.c.d[/bits]"; the last entry that matches the
 * client decides, and a client that none matches is denied. Returns 1 to
 * allow, 0 to deny, -1 for a malformed list (after logging why). An
 * entry's address is not masked, so one with host bits set never matches. */
int
check_acl(struct qf_context *ctx, const char *list, const struct usa *remote)
{
    const uint32_t client = ntohl(remote->u.sin.sin_addr.s_addr);
    char verdict = '-';
    struct vec entry;

    while (list != nullptr && *list != '\0') {
        const char *rest = list; /* the messages show the list from this entry on */
        list = next_option(list, &entry, nullptr);
        const char *end = entry.ptr + entry.len;
        const char *p = entry.ptr;
        char flag = entry.len > 0 ? *p++ : '\0';
        int a, b, c, d;

        if (entry.len == 0 || !scan_number(&p, end, &a) || !scan_char(&p, end, '.') ||
            !scan_number(&p, end, &b) || !scan_char(&p, end, '.') ||
            !scan_number(&p, end, &c) || !scan_char(&p, end, '.') ||
            !scan_number(&p, end, &d)) {
            cry(fc(ctx), "%s: subnet must be [+|-]x.x.x.x[/x]", "check_acl");
            return -1;
        }
        if (flag != '+' && flag != '-') {
            cry(fc(ctx), "%s: flag must be + or -: [%s]", "check_acl", rest);
            return -1;
        }
        if (!isbyte(a) || !isbyte(b) || !isbyte(c) || !isbyte(d)) {
            cry(fc(ctx), "%s: bad ip address: [%s]", "check_acl", rest);
            return -1;
        }

        int bits = 32;
        if (scan_char(&p, end, '/') && !scan_number(&p, end, &bits))
            bits = 32;
        if (bits < 0 || bits > 32) {
            cry(fc(ctx), "%s: bad subnet mask: %d [%s]", "check_acl", bits, rest);
            return -1;
        }

        uint32_t mask = bits == 0 ? 0 : 0xffffffffu << (32 - bits);
        uint32_t net = ((uint32_t) a << 24) | ((uint32_t) b << 16) | ((uint32_t) c << 8) |
                       (uint32_t) d;
        if ((client & mask) == net)
            verdict = flag;
    }
    return verdict == '+' ? 1 : 0;
}

/* Only validates: the listener thread applies the stored list to every
 * client. A null or empty list allows nothing to be checked and is valid. */
bool
set_acl_option(struct qf_context *ctx, const char *list)
{
    struct usa any;
    memset(&any, 0, sizeof(any));
    return check_acl(ctx, list, &any) != -1;
}

/* Kept under the ssl_cert mutex: set_ssl_option, its one reader, runs
 * under that mutex. */
void
qf_set_ssl_password_callback(struct qf_context *ctx, qf_ssl_password_cb cb)
{
    lock_option(ctx, OPT_SSL_CERTIFICATE);
    ctx->ssl_password_callback = cb;
    unlock_option(ctx, OPT_SSL_CERTIFICATE);
}

/* The process never changes its user. */
bool
set_uid_option(struct qf_context *ctx, const char *user)
{
    (void) ctx;
    (void) user;
    fprintf(stderr, "%s", "Cannont set_uid_option\n");
    return false;
}
