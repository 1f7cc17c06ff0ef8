/* server/intake_body.cpp: the intake's reading of POST bodies, so that a client that sends
 * its body slowly holds a record and a descriptor, never a worker. The whole body is read
 * before the request is queued: in memory up to BODY_IN_MEMORY, beyond that into an unlinked
 * temporary file, chunked bodies decoded as they come. A body that cannot be held (no room
 * left for files) goes on with what was read, and its worker reads the rest as before. */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "server/intake.h"
#include "server/text.h"

enum {
    /* A form or a small upload stays in memory; a larger body goes to a
     * file, so that a thousand slow clients cost at most 64 MiB. */
    BODY_IN_MEMORY = 64 * 1024,
    BODY_PIECE = 16 * 1024, /* one read, on the loop's stack */
};
static_assert((int) MAX_REQUEST_SIZE <= (int) BODY_PIECE, "a chunked read fits the piece");
static const char CONTINUE[] = "HTTP/1.1 100 Continue\r\n\r\n";

struct body_reader {
    bool chunked;
    uint64_t remaining;         /* with a length: bytes still to come */
    struct chunked_decoder dec; /* chunked: every byte taken so far (in memory they are kept raw) */
    uint64_t decoded;           /* chunked, in the file: data bytes written */
    size_t cap;                 /* of held.data, less the spare byte */
    struct held_body held;
};

/* What a feed left to do. */
enum body_step { BODY_MORE, BODY_DONE };

/* An unlinked file in TMPDIR or /tmp; -1 when none can be made. */
static int
open_body_file(void)
{
    const char *dir = getenv("TMPDIR");
    if (dir == nullptr || dir[0] == '\0')
        dir = "/tmp";
    int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    char name[4096]; /* a path */
    if (snprintf(name, sizeof(name), "%s/quillfen-body-XXXXXX", dir) >= (int) sizeof(name))
        return -1;
    fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0)
        (void) unlink(name);
    return fd;
}

static bool
write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= (size_t) w;
    }
    return true;
}

/* Moves the body held in memory to a file, decoding it when it came
 * chunked. False when there is no room for it: it goes on as it is. */
static bool
spill(struct body_reader *r)
{
    struct held_body *h = &r->held;
    uint64_t want = r->chunked ? (uint64_t) MAX_BODY_IN_MEMORY : (uint64_t) h->len + r->remaining;
    if (!reserve_body_room(want))
        return false;
    int fd = open_body_file();
    if (fd < 0) {
        release_body_room(want);
        return false;
    }
    h->reserved = want;
    h->in_file = true;
    h->fd = fd;
    size_t len = (size_t) h->len;
    if (r->chunked) {
        struct chunked_decoder fresh;
        (void) fresh.feed(h->data, len, h->data, &len);
        r->decoded = len;
    }
    if (!write_all(fd, h->data, len))
        h->fault = BODY_CUT_SHORT;
    h->file_len = len;
    h->len = 0;
    return true;
}

/* Keeps n raw bytes in memory (with the spare byte); false without memory. */
static bool
keep(struct body_reader *r, const char *p, size_t n)
{
    struct held_body *h = &r->held;
    if ((size_t) h->len + n > r->cap) {
        size_t want = r->cap * 2 > (size_t) h->len + n ? r->cap * 2 : (size_t) h->len + n;
        char *grown = (char *) realloc(h->data, want + 1);
        if (grown == nullptr)
            return false;
        h->data = grown;
        r->cap = want;
    }
    memcpy(h->data + h->len, p, n);
    h->len += (int) n;
    return true;
}

/* The body is complete in memory: a chunked one is decoded in place. */
static enum body_step
whole_in_memory(struct body_reader *r)
{
    struct held_body *h = &r->held;
    if (r->chunked) {
        struct chunked_decoder fresh;
        size_t produced;
        (void) fresh.feed(h->data, (size_t) h->len, h->data, &produced);
        h->len = (int) produced;
    }
    h->whole = true;
    return BODY_DONE;
}

static enum body_step
fault(struct body_reader *r, enum body_fault f)
{
    r->held.whole = true;
    r->held.fault = f;
    return BODY_DONE;
}

/* Keeps the bytes read behind the body's end (its length, or the chunked
 * terminator with its trailers): they start the next request on a kept
 * connection. Reads stop short enough that they fit a head's buffer. */
static void
keep_rest(struct body_reader *r, const char *p, size_t n)
{
    struct held_body *h = &r->held;
    if (n == 0)
        return;
    if (n > MAX_REQUEST_SIZE || (h->rest = (char *) malloc(n)) == nullptr) {
        h->rest_lost = true;
        return;
    }
    memcpy(h->rest, p, n);
    h->rest_len = (int) n;
}

/* Takes n bytes that came from the client; p is scratch (chunked bytes are
 * decoded in place). BODY_DONE when the request can go on: its body is
 * whole or faulty, or left to the worker with what came so far. */
static enum body_step
feed(struct body_reader *r, char *p, size_t n)
{
    struct held_body *h = &r->held;
    if (!r->chunked && n > r->remaining) {
        keep_rest(r, p + r->remaining, n - (size_t) r->remaining);
        n = (size_t) r->remaining; /* bytes behind the body are no part of it */
    }
    size_t produced = n;
    if (!h->in_file) {
        /* Raw, so that a body left to the worker is what it would have read. */
        if (!keep(r, p, n))
            return fault(r, BODY_CUT_SHORT);
        if (r->chunked) {
            size_t used = r->dec.feed(p, n, p, &produced);
            if (r->dec.failed())
                return BODY_DONE; /* the worker finds it, as before */
            if (r->dec.done()) {
                /* From the raw copy: what came behind the terminator. */
                h->len -= (int) (n - used);
                keep_rest(r, h->data + h->len, n - used);
                return whole_in_memory(r);
            }
        } else if ((r->remaining -= n) == 0) {
            return whole_in_memory(r);
        }
        if (h->len > BODY_IN_MEMORY && !spill(r))
            return BODY_DONE;
        if (h->in_file) {
            char *small = (char *) realloc(h->data, 1);
            h->data = small != nullptr ? small : h->data;
            r->cap = 0;
        }
        return h->fault != BODY_SOUND ? fault(r, h->fault) : BODY_MORE;
    }

    if (r->chunked) {
        /* Decoded in place, the output never ahead of the input: the
         * bytes behind the terminator are still as they came. */
        size_t used = r->dec.feed(p, n, p, &produced);
        if (r->dec.failed())
            return fault(r, BODY_MALFORMED);
        if (r->dec.done())
            keep_rest(r, p + used, n - used);
        if (produced > MAX_BODY_IN_MEMORY - r->decoded)
            return fault(r, BODY_TOO_LARGE);
        r->decoded += produced;
    } else {
        r->remaining -= n;
    }
    if (!write_all(h->fd, p, produced))
        return fault(r, BODY_CUT_SHORT);
    h->file_len += produced;
    bool done = r->chunked ? r->dec.done() : r->remaining == 0;
    if (!done)
        return BODY_MORE;
    h->whole = true;
    return BODY_DONE;
}

/* Whether a URI callback answers this target, as the dispatcher finds
 * it: without the query, decoded and cleaned. On a copy: the worker
 * routes the target as it came. */
static bool
has_uri_callback(struct qf_context *ctx, const char *target)
{
    char uri[MAX_REQUEST_SIZE + 1];
    size_t n = strcspn(target, "?");
    memcpy(uri, target, n);
    uri[n] = '\0';
    (void) url_decode(uri, n, uri, n + 1, 0);
    clean_uri(uri);
    return find_callback(ctx, false, uri, -1) != nullptr;
}

/* Whether the loop reads this head's body: a POST (or a PUT to a URI
 * callback, which takes it into memory) whose body is announced and not
 * all here, that the client sends at once or after 100 Continue. A body
 * declared larger than any taker accepts, a missing length, an odd
 * expectation or bad framing go on at once to the worker, which answers
 * 413, 411, 417 or 400 as before. So does a PUT of a file: it is
 * authorised before any of its body is read, and its size has no bound,
 * so its worker reads it. */
static bool
wants_body(struct intake *in, const struct client *c, const struct head_record *rec,
           struct body_reader *r, bool *expect)
{
    if (rec->verdict != HEAD_OK || (rec->method != METHOD_POST && rec->method != METHOD_PUT) ||
        rec->expect == EXPECT_OTHER)
        return false;
    *expect = rec->expect == EXPECT_CONTINUE;
    if (rec->method == METHOD_PUT && !has_uri_callback(in->ctx, rec->ri.uri))
        return false;
    const struct body_framing &f = rec->framing;
    r->chunked = f.verdict == FRAMING_CHUNKED;
    r->remaining = f.length;
    return r->chunked || (f.verdict == FRAMING_LENGTH && f.length <= MAX_BODY_IN_MEMORY &&
                          f.length > (uint64_t) (c->nread - c->request_len));
}

static bool
send_continue(struct client *c)
{
    const int n = (int) sizeof(CONTINUE) - 1;
    if (c->ssl == nullptr)
        return send(c->sock.sock, CONTINUE, (size_t) n, MSG_DONTWAIT | MSG_NOSIGNAL) == n;
    enum tls_step step;
    return tls_write(c->ssl, CONTINUE, n, &step) == n;
}

/* Progress: the deadline starts again, and the client goes to the end of
 * the list, which stays in deadline order. */
static void
touch(struct intake *in, struct client *c)
{
    c->deadline = now_ms() + HEAD_DEADLINE_MS;
    list_unlink(c);
    list_append(&in->heads, c);
}

bool
start_body(struct intake *in, struct client *c, const struct head_record *rec)
{
    struct body_reader *r = new (std::nothrow) body_reader();
    bool expect = false;
    if (r == nullptr)
        return false;
    /* Never null, so that the worker always finds what was held here. */
    if (!wants_body(in, c, rec, r, &expect) || (r->held.data = (char *) malloc(1)) == nullptr) {
        delete r;
        return false;
    }
    c->body = r;
    c->state = CLIENT_READING_BODY;
    /* A copy: chunked bytes are decoded in place, and the head's buffer
     * must stay as it came. */
    char piece[MAX_REQUEST_SIZE];
    size_t n = (size_t) (c->nread - c->request_len);
    memcpy(piece, c->buf + c->request_len, n);
    if (feed(r, piece, n) == BODY_DONE) {
        head_complete(in, c);
        return true;
    }
    /* The client waits for this before it sends the body; a socket that
     * cannot take 25 bytes at once is not worth waiting for. */
    if (expect) {
        if (!send_continue(c)) {
            drop_client(in, c);
            return true;
        }
        r->held.continued = true;
    }
    touch(in, c);
    read_body(in, c);
    return true;
}

void
read_body(struct intake *in, struct client *c)
{
    struct body_reader *r = c->body;
    char piece[BODY_PIECE];
    bool progress = false;
    for (;;) {
        /* Never past a declared length; a chunked body's end is known only
         * once read, so what may come behind it is kept to a head's size. */
        size_t want = r->chunked                     ? (size_t) MAX_REQUEST_SIZE
                      : r->remaining < sizeof(piece) ? (size_t) r->remaining
                                                     : sizeof(piece);
        uint32_t wait_for;
        ssize_t n = read_some(c, piece, want, &wait_for);
        if (n < 0) {
            if (progress)
                touch(in, c);
            if (!watch(in, c, wait_for | EPOLLONESHOT))
                drop_client(in, c);
            return;
        }
        if (n == 0) {
            /* Gone or half-closed: answered as its worker would answer
             * a body cut short. */
            if (r->held.in_file)
                (void) fault(r, BODY_CUT_SHORT);
            head_complete(in, c);
            return;
        }
        progress = true;
        if (feed(r, piece, (size_t) n) == BODY_DONE) {
            head_complete(in, c);
            return;
        }
    }
}

struct held_body
held_body_of(const struct client *c)
{
    struct held_body none;
    memset(&none, 0, sizeof(none));
    return c->body != nullptr ? c->body->held : none;
}

void
body_handed_on(struct client *c)
{
    delete c->body;
    c->body = nullptr;
}

void
discard_body(struct client *c)
{
    struct body_reader *r = c->body;
    if (r == nullptr)
        return;
    free(r->held.data);
    free(r->held.rest);
    if (r->held.in_file)
        (void) close(r->held.fd);
    if (r->held.reserved > 0)
        release_body_room(r->held.reserved);
    body_handed_on(c);
}
