/* server/listen.cpp: listening sockets, the IP access list and the switch to another user. */
#include <arpa/inet.h>
#include <errno.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include "server/server.h"

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
/* One slot of the listener table stays free. */
enum { MAX_OPEN_LISTENERS = MAX_LISTENING_SOCKETS - 1 };

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

    if (scan_int(&p, end, &a) && scan_char(&p, end, '.') && scan_int(&p, end, &b) &&
        scan_char(&p, end, '.') && scan_int(&p, end, &c) && scan_char(&p, end, '.') &&
        scan_int(&p, end, &d) && scan_char(&p, end, ':') && scan_int(&p, end, port)) {
        *addr = ((uint32_t) a << 24) + ((uint32_t) b << 16) + ((uint32_t) c << 8) + (uint32_t) d;
        return true;
    }
    p = entry->ptr;
    *addr = INADDR_ANY;
    return scan_int(&p, end, port);
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
    tv.tv_sec = client_deadline_seconds(); /* then a client releases its worker */
    tv.tv_usec = 0;
    return setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0 &&
           setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0 &&
           setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0;
}

/* "[addr]:port" binds to one local IPv6 address ("[::]" to all of them);
 * anything after the port is ignored, as for IPv4 entries. */
static bool
scan_ipv6_port_entry(const struct vec *entry, struct usa *lsa)
{
    const char *end = entry->ptr + entry->len;
    const char *close = (const char *) memchr(entry->ptr, ']', entry->len);
    char text[QF_ADDRSTRLEN];
    int port;

    if (entry->len == 0 || entry->ptr[0] != '[' || close == nullptr ||
        (size_t) (close - entry->ptr - 1) >= sizeof(text))
        return false;
    memcpy(text, entry->ptr + 1, (size_t) (close - entry->ptr - 1));
    text[close - entry->ptr - 1] = '\0';
    const char *p = close + 1;
    if (inet_pton(AF_INET6, text, &lsa->u.sin6.sin6_addr) != 1 || !scan_char(&p, end, ':') ||
        !scan_int(&p, end, &port) || port < 1 || port > 65535)
        return false;
    lsa->len = sizeof(lsa->u.sin6);
    lsa->u.sin6.sin6_family = AF_INET6;
    lsa->u.sin6.sin6_port = htons((uint16_t) port);
    return true;
}

/* The local address a port entry names; false when it names none. */
static bool
entry_address(const struct vec *entry, struct usa *lsa)
{
    uint32_t addr;
    int port;

    memset(lsa, 0, sizeof(*lsa));
    if (entry->len > 0 && entry->ptr[0] == '[')
        return scan_ipv6_port_entry(entry, lsa);
    if (!scan_port_entry(entry, &addr, &port) || port < 1 || port > 65535)
        return false;
    lsa->len = sizeof(lsa->u.sin);
    lsa->u.sin.sin_family = AF_INET;
    lsa->u.sin.sin_port = htons((uint16_t) port);
    lsa->u.sin.sin_addr.s_addr = htonl(addr);
    return true;
}

static int
address_port(const struct usa *lsa)
{
    return ntohs(lsa->u.sa.sa_family == AF_INET6 ? lsa->u.sin6.sin6_port : lsa->u.sin.sin_port);
}

static bool
same_address(const struct usa *a, const struct usa *b)
{
    return a->len == b->len && memcmp(&a->u, &b->u, a->len) == 0;
}

/* Opens a listener on lsa. Returns the descriptor, or -1 after a log
 * line, with errno telling why. */
static int
open_listener(struct qf_context *ctx, const struct usa *lsa)
{
    const int on = 1;
    const int port = address_port(lsa);

    /* Close-on-exec from birth: a CGI program forked by a worker meanwhile
     * must not inherit it. Non-blocking, so that an accept after a ready
     * event whose client has gone already, or that another loop of the
     * intake took, cannot stall a loop. */
    int sock = socket(lsa->u.sa.sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (sock == -1) {
        int saved = errno;
        cry(fc(ctx), "%s(%d): %s", "qf_open_listening_port", port, strerror(saved));
        errno = saved;
        return -1;
    }
    /* IPv6 only: a bare port keeps meaning every IPv4 address, and the
     * same port can be listened on for IPv6 beside it. */
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        (lsa->u.sa.sa_family == AF_INET6 &&
         setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) != 0) ||
        !set_client_socket_defaults(sock) || bind(sock, &lsa->u.sa, lsa->len) != 0 ||
        listen(sock, LISTEN_BACKLOG) != 0) {
        int saved = errno; /* the caller tells a port in use from other failures */
        cry(fc(ctx), "%s(%d): %s", "qf_open_listening_port", port, strerror(saved));
        close(sock);
        errno = saved;
        return -1;
    }
    return sock;
}

/* Opens one listener for a port entry and fills lsa with its address.
 * Returns the descriptor, or -1: silently when the entry does not scan or
 * names no usable port (the caller reports the entry), with a log line
 * when the socket layer refuses. */
int
qf_open_listening_port(struct qf_context *ctx, const struct vec *entry, struct usa *lsa)
{
    if (!entry_address(entry, lsa)) {
        errno = EINVAL;
        return -1;
    }
    return open_listener(ctx, lsa);
}

/* An entry whose address was listened on before keeps that socket: after
 * a switch to another user a privileged port could not be bound again.
 * Takes the socket out of kept (sock -1) and returns it, or -1. */
static int
take_kept_listener(struct socket *kept, int num_kept, const struct vec *entry, struct usa *lsa)
{
    if (!entry_address(entry, lsa))
        return -1;
    for (int i = 0; i < num_kept; i++) {
        if (kept[i].sock != -1 && same_address(&kept[i].lsa, lsa)) {
            int sock = kept[i].sock;
            kept[i].sock = -1;
            return sock;
        }
    }
    return -1;
}

static void
give_back_kept_listener(struct socket *kept, int num_kept, const struct socket *l)
{
    for (int i = 0; i < num_kept; i++) {
        if (kept[i].sock == -1 && same_address(&kept[i].lsa, &l->lsa)) {
            kept[i].sock = l->sock;
            return;
        }
    }
}

/* The intake's loop waits on the listeners: it must learn of new ones. */
static void
note_new_listeners(struct qf_context *ctx)
{
    __atomic_add_fetch(&ctx->ports_generation, 1, __ATOMIC_RELEASE);
    wake_intake(ctx);
}

/* The caller holds the ports lock (or is the only thread left). */
void
close_all_listening_sockets(struct qf_context *ctx)
{
    for (int i = 0; i < ctx->num_listeners; i++)
        close(ctx->listeners[i].sock);
    ctx->num_listeners = 0;
}

/* Whether a socket of old, still open, listens on the port that lsa names. */
static bool
port_held(const struct socket *old, int num_old, const struct usa *lsa)
{
    for (int i = 0; i < num_old; i++)
        if (old[i].sock != -1 && old[i].lsa.u.sa.sa_family == lsa->u.sa.sa_family &&
            address_port(&old[i].lsa) == address_port(lsa))
            return true;
    return false;
}

/* Opens the listener for one entry into l, unless the entry's address was
 * listened on before (then that socket is taken from old). Returns 1 when
 * l holds it; -1 when may_wait and an old listener that the new list
 * drops holds the port ("0.0.0.0:80" cannot be bound while
 * "127.0.0.1:80" listens), so it is opened once that one is closed; 0
 * when it failed, after logging why. */
static int
open_entry(struct qf_context *ctx, const struct vec *entry, struct socket *old, int num_old,
           struct socket *l, bool may_wait)
{
    l->sock = take_kept_listener(old, num_old, entry, &l->lsa);
    const bool kept = l->sock != -1;
    l->is_ssl = entry->len > 0 && entry->ptr[entry->len - 1] == 's';
    if (!kept) {
        struct usa lsa;
        if (may_wait && entry_address(entry, &lsa) && port_held(old, num_old, &lsa) &&
            (!l->is_ssl || tls_available(ctx))) {
            l->lsa = lsa;
            return -1;
        }
        l->sock = qf_open_listening_port(ctx, entry, &l->lsa);
    }
    if (l->sock == -1) {
        cry(fc(ctx), "cannot bind to %.*s", (int) entry->len, entry->ptr);
        return 0;
    }
    if (l->is_ssl && !tls_available(ctx)) {
        if (kept)
            give_back_kept_listener(old, num_old, l);
        else
            close(l->sock);
        l->sock = -1;
        cry(fc(ctx), "%s",
            "cannot add SSL socket, please specify -ssl_cert option BEFORE -ports option");
        return 0;
    }
    return 1;
}

/* Whether s is a socket of the table orig, kept for the new list. */
static bool
was_kept(const struct socket *orig, int num_orig, const struct socket *s)
{
    for (int i = 0; i < num_orig; i++)
        if (orig[i].sock == s->sock && same_address(&orig[i].lsa, &s->lsa))
            return true;
    return false;
}

/* A refused change: the table becomes orig again. Kept sockets are still
 * open; those closed for a waiting entry are opened again, and a port that
 * can no longer be bound is logged and left out. What the change opened
 * is closed. */
static void
restore_listeners(struct qf_context *ctx, const struct socket *orig, int num_orig,
                  struct socket *fresh, int num_fresh)
{
    int n = 0;
    for (int i = 0; i < num_orig; i++) {
        struct socket l = orig[i];
        int j = 0;
        while (j < num_fresh && !(fresh[j].sock == l.sock && same_address(&fresh[j].lsa, &l.lsa)))
            j++;
        if (j < num_fresh)
            fresh[j].sock = -1; /* kept: it stays */
        else if ((l.sock = open_listener(ctx, &l.lsa)) == -1)
            continue;
        ctx->listeners[n++] = l;
    }
    for (int j = 0; j < num_fresh; j++)
        if (fresh[j].sock != -1)
            close(fresh[j].sock);
    ctx->num_listeners = n;
}

/* Replaces the listeners by one per entry of list. Every new listener is
 * open before an old one is closed, and entries that were listened on
 * before keep their sockets; when any entry fails, what was opened is
 * closed again and the old listeners stay, all of them. Only an entry
 * whose port an old, dropped listener holds must wait for that one to
 * close; should it still fail then, the dropped listeners are opened
 * again. Runs under the ports lock (taken by qf_set_option), so the
 * intake's loops never see the table half changed. */
bool
set_ports_option(struct qf_context *ctx, const char *list)
{
    struct socket orig[MAX_LISTENING_SOCKETS], old[MAX_LISTENING_SOCKETS];
    struct socket fresh[MAX_LISTENING_SOCKETS];
    struct vec waiting[MAX_LISTENING_SOCKETS];
    int waiting_slot[MAX_LISTENING_SOCKETS];
    const int num_old = ctx->num_listeners;
    int num_fresh = 0, num_waiting = 0;
    struct vec entry;
    bool ok = true;

    memcpy(orig, ctx->listeners, sizeof(orig));
    memcpy(old, ctx->listeners, sizeof(old));
    while (ok && (list = next_option(list, &entry, nullptr)) != nullptr) {
        if (num_fresh >= MAX_OPEN_LISTENERS) {
            cry(fc(ctx), "%s", "Too many listeninig sockets");
            ok = false;
            break;
        }
        int r = open_entry(ctx, &entry, old, num_old, &fresh[num_fresh], true);
        if (r == 0) {
            ok = false;
            break;
        }
        if (r == -1) {
            waiting[num_waiting] = entry;
            waiting_slot[num_waiting++] = num_fresh;
        }
        num_fresh++;
    }
    if (!ok) {
        for (int j = 0; j < num_fresh; j++)
            if (fresh[j].sock != -1 && !was_kept(orig, num_old, &fresh[j]))
                close(fresh[j].sock);
        return false;
    }

    /* The new listeners are open: those the list no longer names go. */
    for (int i = 0; i < num_old; i++)
        if (old[i].sock != -1)
            close(old[i].sock);
    for (int k = 0; k < num_waiting && ok; k++)
        ok = open_entry(ctx, &waiting[k], old, 0, &fresh[waiting_slot[k]], false) == 1;
    if (ok) {
        memcpy(ctx->listeners, fresh, sizeof(fresh[0]) * (size_t) num_fresh);
        ctx->num_listeners = num_fresh;
    } else {
        restore_listeners(ctx, orig, num_old, fresh, num_fresh);
    }
    note_new_listeners(ctx);
    return ok;
}

bool
isbyte(int n)
{
    return n >= 0 && n <= 255;
}

/* The mask length after an access-list address, max when there is none;
 * false (after logging why) when it is out of range. rest is the list from
 * this entry on, for the message. */
static bool
scan_mask_length(struct qf_context *ctx, const char **p, const char *end, int max,
                 const char *rest, int *bits)
{
    *bits = max;
    if (scan_char(p, end, '/') && !scan_int(p, end, bits))
        *bits = max;
    if (*bits < 0 || *bits > max) {
        cry(fc(ctx), "%s: bad subnet mask: %d [%s]", "check_acl", *bits, rest);
        return false;
    }
    return true;
}

/* Whether an access-list entry names an IPv6 subnet: a ':' before the mask. */
static bool
is_ipv6_entry(const struct vec *entry)
{
    const char *slash = (const char *) memchr(entry->ptr, '/', entry->len);
    size_t n = slash != nullptr ? (size_t) (slash - entry->ptr) : entry->len;
    return memchr(entry->ptr, ':', n) != nullptr;
}

/* An IPv6 entry "[+|-]addr[/bits]" (bits 128 when absent): 1 when it
 * matches the client, 0 when not (IPv4 clients never do), -1 when it is
 * malformed, after logging why. As for IPv4, the entry is not masked. */
static int
check_ipv6_entry(struct qf_context *ctx, const struct vec *entry, const char *rest,
                 const struct usa *remote)
{
    const char *end = entry->ptr + entry->len;
    const char *slash = (const char *) memchr(entry->ptr, '/', entry->len);
    const char *p = slash != nullptr ? slash : end;
    const size_t len = (size_t) (p - entry->ptr - 1);
    char text[QF_ADDRSTRLEN];
    struct in6_addr net;

    if (entry->ptr[0] != '+' && entry->ptr[0] != '-') {
        cry(fc(ctx), "%s: flag must be + or -: [%s]", "check_acl", rest);
        return -1;
    }
    if (len < sizeof(text)) {
        memcpy(text, entry->ptr + 1, len);
        text[len] = '\0';
    }
    if (len >= sizeof(text) || inet_pton(AF_INET6, text, &net) != 1) {
        cry(fc(ctx), "%s: bad ip address: [%s]", "check_acl", rest);
        return -1;
    }
    int bits;
    if (!scan_mask_length(ctx, &p, end, 128, rest, &bits))
        return -1;
    if (remote->u.sa.sa_family != AF_INET6)
        return 0;
    const uint8_t *client = remote->u.sin6.sin6_addr.s6_addr;
    for (int i = 0; i < 16; i++) {
        int left = bits - 8 * i;
        uint8_t mask = left >= 8 ? 0xff : left <= 0 ? 0 : (uint8_t) (0xff << (8 - left));
        if ((client[i] & mask) != net.s6_addr[i])
            return 0;
    }
    return 1;
}

/* Entries are "[+|-]a.b.c.d[/bits]" or "[+|-]ipv6-address[/bits]"; the last entry that matches the
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

        if (entry.len == 0 || !scan_int(&p, end, &a) || !scan_char(&p, end, '.') ||
            !scan_int(&p, end, &b) || !scan_char(&p, end, '.') ||
            !scan_int(&p, end, &c) || !scan_char(&p, end, '.') ||
            !scan_int(&p, end, &d)) {
            /* Not IPv4: an IPv6 entry, or nothing this list knows. */
            if (entry.len > 1 && is_ipv6_entry(&entry)) {
                int match = check_ipv6_entry(ctx, &entry, rest, remote);
                if (match < 0)
                    return -1;
                if (match == 1)
                    verdict = flag;
                continue;
            }
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

        int bits;
        if (!scan_mask_length(ctx, &p, end, 32, rest, &bits))
            return -1;

        uint32_t mask = bits == 0 ? 0 : 0xffffffffu << (32 - bits);
        uint32_t net = ((uint32_t) a << 24) | ((uint32_t) b << 16) | ((uint32_t) c << 8) |
                       (uint32_t) d;
        if (remote->u.sa.sa_family != AF_INET6 && (client & mask) == net)
            verdict = flag;
    }
    return verdict == '+' ? 1 : 0;
}

/* Only validates: the intake's loops apply the stored list to every
 * client. A null or empty list allows nothing to be checked and is valid. */
bool
set_acl_option(struct qf_context *ctx, const char *list)
{
    struct usa any;
    memset(&any, 0, sizeof(any));
    return check_acl(ctx, list, &any) != -1;
}

/* Kept under the ssl_cert lock: set_ssl_option, its one reader, runs
 * under that mutex. */
void
qf_set_ssl_password_callback(struct qf_context *ctx, qf_ssl_password_cb cb)
{
    lock_option_for_change(ctx, OPT_SSL_CERTIFICATE);
    ctx->ssl_password_callback = cb;
    unlock_option(ctx, OPT_SSL_CERTIFICATE);
}

/* Switches the whole process to the user: its group, its supplementary
 * groups, then its user id (the C library passes each change on to every
 * thread). Listeners and logs already open stay open, so privileged ports
 * bound before keep serving. Naming the user the process already is changes
 * nothing; anything else needs root. */
bool
set_uid_option(struct qf_context *ctx, const char *user)
{
    static const char fn[] = "set_uid_option";
    if (user == nullptr || *user == '\0') {
        cry(fc(ctx), "%s: no user name given", fn);
        return false;
    }
    struct passwd pw, *found = nullptr;
    char buf[16384];
    int rc = getpwnam_r(user, &pw, buf, sizeof(buf), &found);
    if (found == nullptr) {
        if (rc == 0 || rc == ENOENT || rc == ESRCH)
            cry(fc(ctx), "%s: unknown user [%s]", fn, user);
        else
            cry(fc(ctx), "%s: cannot look up user [%s]: %s", fn, user, strerror(rc));
        return false;
    }

    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (getresuid(&ruid, &euid, &suid) == 0 && getresgid(&rgid, &egid, &sgid) == 0 &&
        ruid == pw.pw_uid && euid == pw.pw_uid && suid == pw.pw_uid && rgid == pw.pw_gid &&
        egid == pw.pw_gid && sgid == pw.pw_gid)
        return true;
    if (geteuid() != 0) {
        cry(fc(ctx), "%s: cannot run as %s: the server does not run as root", fn, user);
        return false;
    }
    if (setresgid(pw.pw_gid, pw.pw_gid, pw.pw_gid) != 0) {
        cry(fc(ctx), "%s: setresgid(%u): %s", fn, (unsigned) pw.pw_gid, strerror(errno));
        return false;
    }
    if (initgroups(pw.pw_name, pw.pw_gid) != 0) {
        cry(fc(ctx), "%s: initgroups(%s): %s", fn, pw.pw_name, strerror(errno));
        return false;
    }
    if (setresuid(pw.pw_uid, pw.pw_uid, pw.pw_uid) != 0) {
        cry(fc(ctx), "%s: setresuid(%u): %s", fn, (unsigned) pw.pw_uid, strerror(errno));
        return false;
    }
    if (pw.pw_uid != 0 && (setuid(0) == 0 || seteuid(0) == 0)) {
        cry(fc(ctx), "%s: root can still be regained after switching to %s", fn, user);
        return false;
    }
    return true;
}
