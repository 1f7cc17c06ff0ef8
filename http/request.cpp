/* http/request.cpp: one connection's request: reading, parsing, responses and the access log (served by serve.cpp). */
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "http/http.h"

/* Room for one formatted response piece and for an error body. */
enum { RESPONSE_BUF_SIZE = 8192 };


/* The loop's answers are each one write of at most RESPONSE_BUF_SIZE bytes;
 * what the socket keeps back of them never needs more than this. */
enum { MAX_UNSENT = 2 * RESPONSE_BUF_SIZE };

const char *http_500_error = "Internal Server Error";

static bool wait_writable(int fd, int timeout_ms);
static bool request_may_keep(const struct qf_connection *conn, const struct head_record *rec);
static void find_body_end(struct qf_connection *conn, const struct head_record *rec);
static int write_or_keep(struct qf_connection *conn, const char *buf, int len);

void
reset_per_request_attributes(struct qf_connection *conn)
{
    struct qf_request_info *ri = &conn->request_info;

    qf_free(ri->remote_user);
    ri->remote_user = nullptr;
    if (conn->owns_post_data && ri->post_data != nullptr) {
        qf_free(ri->post_data);
        ri->post_data = nullptr;
    }
    conn->owns_post_data = false;
    if (conn->body.in_file)
        (void) close(conn->body.fd);
    if (conn->body.reserved > 0)
        release_body_room(conn->body.reserved);
    free(conn->body.rest);
    memset(&conn->body, 0, sizeof(conn->body));
    conn->body_read = false;
    conn->after_body = nullptr;
    conn->after_len = 0;
}

void
begin_request(struct qf_connection *conn, struct head_record *rec,
              const struct held_body *body)
{
    struct qf_request_info *ri = &conn->request_info;

    reset_per_request_attributes(conn);
    conn->callback_authorized = false;
    conn->num_bytes_sent = 0;
    conn->head = rec;
    conn->may_keep = false;
    conn->said_keep = false;
    if (rec == nullptr)
        memset(ri, 0, sizeof(*ri));
    else
        *ri = rec->ri;
    /* Owned from here, so that every way out releases it. */
    if (body != nullptr && body->data != nullptr) {
        conn->body = *body;
        ri->post_data = conn->body.data;
        ri->post_data_len = conn->body.len;
        conn->body.data = nullptr;
        conn->owns_post_data = true;
    }
    if (rec == nullptr || rec->verdict == HEAD_MALFORMED)
        return; /* answered before the client's address is looked at */
    ri->remote_port = ntohs(conn->client.rsa.u.sin.sin_port);
    /* An IPv6 client has no 32-bit address: remote_ip is 0, remote_addr tells. */
    if (conn->client.rsa.u.sa.sa_family != AF_INET6)
        ri->remote_ip = (int32_t) ntohl(conn->client.rsa.u.sin.sin_addr.s_addr);
    qf_address_text(&conn->client.rsa, ri->remote_addr, sizeof(ri->remote_addr));
    if (rec->routed)
        ri->query_string = rec->route.query_string;
    conn->may_keep = request_may_keep(conn, rec);
    if (conn->may_keep)
        find_body_end(conn, rec);
}

/* A connection stays open after a request that asks for it: HTTP/1.1
 * unless it says close, HTTP/1.0 only when it says keep-alive. Its body,
 * if any, must also be read to its end before an answer keeps it
 * (body_read). */
static bool
request_may_keep(const struct qf_connection *conn, const struct head_record *rec)
{
    if (!conn->keep_allowed || rec->verdict != HEAD_OK || rec->connection_close)
        return false;
    return rec->ri.http_version_minor != 0 || rec->connection_keep_alive;
}

/* Where the request's body ends, when that is known before any handler
 * runs: it has none, it lies whole in the head's buffer, or the intake
 * read it whole. A body still to come is read by its handler
 * (read_request_body), which tells. */
static void
find_body_end(struct qf_connection *conn, const struct head_record *rec)
{
    struct qf_request_info *ri = &conn->request_info;
    const struct body_framing *f = &rec->framing;
    const char *behind = rec->buf + rec->request_len;
    int held = rec->nread - rec->request_len;

    if (conn->owns_post_data) {
        conn->body_read = conn->body.whole && conn->body.fault == BODY_SOUND &&
                          !conn->body.rest_lost;
        conn->after_body = conn->body.rest;
        conn->after_len = conn->body.rest_len;
    } else if (f->verdict == FRAMING_NONE && rec->method != METHOD_POST &&
               rec->method != METHOD_PUT) {
        /* The bytes behind it are the next request's, not a body. A POST
         * or PUT without a length may mean its body to end at the close
         * (it is refused with 411): that is not taken for a head. */
        ri->post_data_len = 0;
        conn->body_read = true;
        conn->after_body = behind;
        conn->after_len = held;
    } else if (f->verdict == FRAMING_LENGTH && f->length <= (uint64_t) held) {
        ri->post_data_len = (int) f->length;
        conn->body_read = true;
        conn->after_body = behind + f->length;
        conn->after_len = held - (int) f->length;
    }
}

void
body_read_to_end(struct qf_connection *conn, const char *after, int len)
{
    conn->body_read = true;
    conn->after_body = after;
    conn->after_len = len;
}

/* Whether this answer, written now, keeps the connection. */
static bool
keeps_now(const struct qf_connection *conn)
{
    return conn->may_keep && conn->body_read;
}

const char *
connection_field(struct qf_connection *conn)
{
    conn->said_keep = keeps_now(conn);
    return conn->said_keep ? "keep-alive" : "close";
}

const char *
keep_alive_fields(struct qf_connection *conn)
{
    conn->said_keep = keeps_now(conn);
    return conn->said_keep ? "Content-Length: 0\r\nConnection: keep-alive\r\n" : "";
}

bool
answer_keeps(const struct qf_connection *conn)
{
    return conn->said_keep && keeps_now(conn);
}

void
answer_bad_head(struct qf_connection *conn)
{
    const struct head_record *rec = conn->head;

    switch (rec->verdict) {
    case HEAD_MALFORMED:
        send_error(conn, 400, "Bad Request", "Can not parse request: [%.*s]", rec->nread,
                   rec->buf);
        return; /* no access-log line: there is no request to name */
    case HEAD_BAD_VERSION:
        send_error(conn, 505, "HTTP version not supported", "%s", "Weird HTTP version");
        break;
    default:
        (void) check_body_framing(conn);
        break;
    }
    log_access(conn);
}


/* Client sockets carry a send and receive timeout, and on such a socket a
 * signal (SIGCHLD of a CGI program ends up in any thread) makes a blocked
 * recv or send fail with EINTR whatever the handler's flags: such a call
 * is simply made again. */
static ssize_t
recv_retrying(int sock, char *buf, size_t len)
{
    ssize_t n;
    while ((n = recv(sock, buf, len, 0)) < 0 && errno == EINTR)
        ;
    return n;
}

int
pull(FILE *fp, int sock, SSL *ssl, char *buf, int len)
{
    if (ssl != nullptr)
        return tls_pull(ssl, buf, len);

    if (fp != nullptr) {
        int n = (int) fread(buf, 1, (size_t) len, fp);
        return ferror(fp) ? -1 : n;
    }

    memset(buf, 0, (size_t) len);
    return (int) recv_retrying(sock, buf, (size_t) len);
}

/* Whether fd takes more bytes within timeout_ms. */
static bool
wait_writable(int fd, int timeout_ms)
{
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = timeout_ms - ((now.tv_sec - start.tv_sec) * 1000 +
                                  (now.tv_nsec - start.tv_nsec) / 1000000);
        struct pollfd pfd = {fd, POLLOUT, 0};
        int ready = poll(&pfd, 1, left > 0 ? (int) left : 0);
        if (ready < 0 && errno == EINTR) /* SIGCHLD of some program */
            continue;
        return ready == 1;
    }
}

uint64_t
push(FILE *fp, int sock, SSL *ssl, const char *buf, uint64_t len)
{
    uint64_t sent = 0;

    while (sent < len) {
        uint64_t left = len - sent;
        size_t k = left > (uint64_t) INT_MAX ? (size_t) INT_MAX : (size_t) left;
        long n;
        if (ssl != nullptr) {
            n = tls_push(ssl, buf + sent, (int) k);
        } else if (fp != nullptr) {
            n = (long) fwrite(buf + sent, 1, k, fp);
            if (ferror(fp)) {
                sent += (uint64_t) n;
                /* A CGI program's input is non-blocking: one that stops
                 * reading must not hold the worker for ever. */
                if (errno == EAGAIN && wait_writable(fileno(fp), client_deadline_seconds() * 1000)) {
                    clearerr(fp);
                    continue;
                }
                break;
            }
        } else {
            while ((n = (long) send(sock, buf + sent, k, 0)) < 0 && errno == EINTR)
                ; /* see recv_retrying */
        }
        if (n <= 0)
            break;
        sent += (uint64_t) n;
    }
    return sent;
}

int
read_request(FILE *fp, int sock, SSL *ssl, char *buf, int bufsiz, int *nread)
{
    int request_len = 0;
    int n;

    while (*nread < bufsiz && request_len == 0 &&
           (n = pull(fp, sock, ssl, buf + *nread, bufsiz - *nread)) > 0) {
        *nread += n;
        request_len = get_request_len(buf, (size_t) *nread);
    }
    return request_len;
}

/* The header block ends at the first empty line, "\n\n" or "\n\r\n". A
 * control byte only condemns a block that has not ended yet. */
int
get_request_len(const char *buf, size_t len)
{
    const unsigned char *s = (const unsigned char *) buf;
    int r = 0;

    for (size_t p = 0; len > 1 && p < len - 1 && r <= 0; p++) {
        unsigned char c = s[p];
        if (c < 128 && (c < 0x20 || c == 0x7f) && c != '\r' && c != '\n')
            r = -1;
        else if (c == '\n' && s[p + 1] == '\n')
            r = (int) p + 2;
        else if (c == '\n' && s[p + 1] == '\r' && p + 1 < len - 1 && s[p + 2] == '\n')
            r = (int) p + 3;
    }
    return r;
}

/* The loop's write: whatever the socket does not take at once is kept, in
 * order behind anything kept before, for the loop to send as the client
 * drains. Counts as written once kept, as bytes in the kernel's buffer do. */
static int
write_or_keep(struct qf_connection *conn, const char *buf, int len)
{
    ssize_t n = 0;
    if (conn->unsent_len == 0 && conn->ssl != nullptr) {
        enum tls_step step;
        n = tls_write(conn->ssl, buf, len, &step);
        if (n == 0 && step != TLS_WANT_READ && step != TLS_WANT_WRITE)
            return 0; /* the client is gone */
    } else if (conn->unsent_len == 0) {
        while ((n = send(conn->client.sock, buf, (size_t) len, MSG_DONTWAIT | MSG_NOSIGNAL)) < 0 &&
               errno == EINTR)
            ;
        if (n < 0 && errno != EAGAIN)
            return 0; /* the client is gone */
        if (n < 0)
            n = 0;
    }
    if (n == len)
        return len;
    size_t rest = (size_t) len - (size_t) n;
    char *kept = conn->unsent_len + rest <= MAX_UNSENT
                     ? (char *) realloc(conn->unsent, conn->unsent_len + rest)
                     : nullptr;
    if (kept == nullptr)
        return (int) n;
    memcpy(kept + conn->unsent_len, buf + n, rest);
    conn->unsent = kept;
    conn->unsent_len += rest;
    return len;
}

int
qf_write(struct qf_connection *conn, const void *buf, int len)
{
    if (conn->in_loop)
        return write_or_keep(conn, (const char *) buf, len);
    return (int) push(nullptr, conn->client.sock, conn->ssl, (const char *) buf, (uint64_t) len);
}

int
qf_printf(struct qf_connection *conn, const char *fmt, ...)
{
    char buf[RESPONSE_BUF_SIZE];
    va_list ap;

    va_start(ap, fmt);
    int len = qf_vsnprintf(conn, buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return qf_write(conn, buf, len);
}

bool
is_head_request(const struct qf_connection *conn)
{
    const char *method = conn->request_info.request_method;
    return method != nullptr && strcmp(method, "HEAD") == 0;
}

/* The plain-text status answer. A registered error callback takes over the
 * whole answer. HEAD gets the same header block, Content-Length included,
 * but no body. */
void
send_error(struct qf_connection *conn, int status, const char *reason, const char *fmt, ...)
{
    struct qf_request_info *ri = &conn->request_info;
    char body[RESPONSE_BUF_SIZE];
    int len = 0;

    ri->status_code = status;

    const struct callback *cb = find_callback(conn->ctx, false, nullptr, status);
    if (cb != nullptr) {
        cb->func(conn, ri, cb->user_data);
        return;
    }

    body[0] = '\0';
    if (status >= 200 && status != 204 && status != 304) {
        len = qf_snprintf(conn, body, sizeof(body), "Error %d: %s\n", status, reason);
        cry(conn, "Error %d: %s\n", status, reason);
        va_list ap;
        va_start(ap, fmt);
        len += qf_vsnprintf(conn, body + len, sizeof(body) - (size_t) len, fmt, ap);
        va_end(ap);
    }

    bool head = is_head_request(conn);
    conn->num_bytes_sent = head ? 0 : (uint64_t) len;
    qf_printf(conn,
              "HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n"
              "Connection: %s\r\n\r\n%s",
              status, reason, len, connection_field(conn), head ? "" : body);
}

char *
skip(char **buf, const char *delimiters)
{
    char *begin = *buf;
    char *p = begin + strcspn(begin, delimiters);

    while (*p != '\0' && strchr(delimiters, *p) != nullptr)
        *p++ = '\0';
    *buf = p;
    return begin;
}

void
parse_http_headers(char **buf, struct qf_request_info *ri)
{
    for (int i = 0; i < MAX_HTTP_HEADERS; i++) {
        ri->http_headers[i].name = skip(buf, ": ");
        ri->http_headers[i].value = skip(buf, "\r\n");
        if (ri->http_headers[i].name[0] == '\0')
            break;
        ri->num_headers = i + 1;
    }
}

const char *
get_header(const struct qf_request_info *ri, const char *name)
{
    for (int i = 0; i < ri->num_headers; i++)
        if (qf_strcasecmp(name, ri->http_headers[i].name) == 0)
            return ri->http_headers[i].value;
    return nullptr;
}

const char *
qf_get_header(const struct qf_connection *conn, const char *name)
{
    return get_header(&conn->request_info, name);
}

/* Read once with the head; a connection made without one (an embedder's,
 * a test's) has its headers read now. */
struct body_framing
request_framing(const struct qf_connection *conn)
{
    return conn->head != nullptr ? conn->head->framing : read_body_framing(&conn->request_info);
}

uint64_t
get_content_length(const struct qf_connection *conn)
{
    struct body_framing f = request_framing(conn);
    return f.verdict == FRAMING_LENGTH ? f.length : UINT64_MAX;
}

int
lowercase(const char *s)
{
    return tolower((unsigned char) *s);
}

int
qf_strcasecmp(const char *s1, const char *s2)
{
    int diff;

    do {
        diff = lowercase(s1++) - lowercase(s2++);
    } while (diff == 0 && s1[-1] != '\0');
    return diff;
}

int
qf_strncasecmp(const char *s1, const char *s2, size_t len)
{
    int diff = 0;

    if (len > 0)
        do {
            diff = lowercase(s1++) - lowercase(s2++);
        } while (diff == 0 && s1[-1] != '\0' && --len > 0);
    return diff;
}

/* Names match in any case. Returns a decoded heap copy, or nullptr. */
char *
get_var(const char *name, const char *buf, size_t buf_len)
{
    const char *value;
    size_t len;

    if (!find_form_field(buf, buf_len, name, true, &value, &len))
        return nullptr;
    char *copy = (char *) malloc(len + 1);
    if (copy == nullptr)
        return nullptr;
    url_decode(value, len, copy, len + 1, 1);
    return copy;
}

/* The body's value wins over the query string's. */
char *
qf_get_var(const struct qf_connection *conn, const char *name)
{
    const struct qf_request_info *ri = &conn->request_info;
    char *from_query = nullptr;
    char *from_body = nullptr;

    if (ri->query_string != nullptr)
        from_query = get_var(name, ri->query_string, strlen(ri->query_string));
    if (ri->post_data_len >= 1)
        from_body = get_var(name, ri->post_data, (size_t) ri->post_data_len);
    if (from_body != nullptr) {
        qf_free(from_query);
        return from_body;
    }
    return from_query;
}

void
log_header(const struct qf_connection *conn, const char *header, FILE *fp)
{
    const char *value = qf_get_header(conn, header);

    if (value != nullptr) {
        fputs(" \"", fp);
        fput_log_escaped(value, fp);
        fputc('"', fp);
    } else {
        fputs(" -", fp);
    }
}

/* The access-log line up to its byte count, and from there on. Client
 * text (user, method, URI, Referer, User-Agent) is escaped, so a request
 * cannot end its line and forge another. The stream is the caller's, locked
 * or private. */
static void
print_access_head(const struct qf_connection *conn, FILE *fp)
{
    const struct qf_request_info *ri = &conn->request_info;
    char date[64];
    char addr[QF_ADDRSTRLEN];
    struct tm tm;

    localtime_r(&conn->start_time, &tm);
    if (strftime(date, sizeof(date), "%d/%b/%Y:%H:%M:%S %z", &tm) == 0)
        date[0] = '\0';
    qf_address_text(&conn->client.rsa, addr, sizeof(addr));
    fprintf(fp, "%s - ", addr);
    fput_log_escaped(ri->remote_user != nullptr ? ri->remote_user : "-", fp);
    fprintf(fp, " [%s] \"", date);
    fput_log_escaped(ri->request_method != nullptr ? ri->request_method : "-", fp);
    fputc(' ', fp);
    fput_log_escaped(ri->uri != nullptr ? ri->uri : "-", fp);
    fprintf(fp, " HTTP/%d.%d\" %d ", ri->http_version_major, ri->http_version_minor,
            ri->status_code);
}

static void
print_access_tail(const struct qf_connection *conn, FILE *fp)
{
    log_header(conn, "Referer", fp);
    log_header(conn, "User-Agent", fp);
    fputc('\n', fp);
}

/* The one writer of access-log lines: from the request itself, or from a
 * line made earlier by format_access_line (conn null). The stream slot is
 * read under the log-stream lock so that an option change cannot close it
 * under us; the line itself is one flockfile section so that concurrent
 * requests never interleave. */
static void
write_access_line(struct qf_context *ctx, const struct qf_connection *conn, const char *line,
                  size_t split, uint64_t bytes)
{
    lock_log_streams();
    FILE *fp = ctx->access_log;
    if (fp != nullptr) {
        flockfile(fp);
        if (conn != nullptr) {
            print_access_head(conn, fp);
            fprintf(fp, "%llu", (unsigned long long) bytes);
            print_access_tail(conn, fp);
        } else {
            fprintf(fp, "%.*s%llu%s", (int) split, line, (unsigned long long) bytes, line + split);
        }
        fflush(fp);
        funlockfile(fp);
    }
    unlock_log_streams();
}

void
log_access(const struct qf_connection *conn)
{
    if (conn->ctx != nullptr)
        write_access_line(conn->ctx, conn, nullptr, 0, conn->num_bytes_sent);
}

/* The line of a request whose byte count is known only later, as a heap
 * text with *split where the count goes; null without an access log. */
char *
format_access_line(const struct qf_connection *conn, size_t *split)
{
    lock_log_streams();
    bool logging = conn->ctx->access_log != nullptr;
    unlock_log_streams();
    if (!logging)
        return nullptr;

    char *text = nullptr;
    size_t size = 0;
    FILE *fp = open_memstream(&text, &size);
    if (fp == nullptr)
        return nullptr;
    print_access_head(conn, fp);
    fflush(fp);
    *split = size;
    print_access_tail(conn, fp);
    if (fclose(fp) != 0) {
        free(text);
        return nullptr;
    }
    return text;
}

/* Writes a line made by format_access_line with its byte count. */
void
log_access_line(struct qf_context *ctx, const char *line, size_t split, uint64_t bytes)
{
    if (line != nullptr)
        write_access_line(ctx, nullptr, line, split, bytes);
}
