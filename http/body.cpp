/* http/body.cpp: reading a request body that did not arrive with the headers. */
#include <ctype.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "http/http.h"

/* One read of the rest of the body. */
enum { BODY_CHUNK_SIZE = 8192 };

static bool body_failed(struct qf_connection *conn);
static bool read_chunked_body(struct qf_connection *conn, FILE *fp);
static bool append_body(struct qf_connection *conn, char **body, size_t *len, size_t *cap,
                        const char *p, size_t n);

/* The temporary files of all bodies being read or waiting for a worker:
 * their clients are not authorised yet, and a crowd of them must not fill
 * the disk. Sixteen of the largest bodies. */
static const uint64_t BODY_FILE_ROOM = 16 * (uint64_t) MAX_BODY_IN_MEMORY;
static uint64_t body_file_use; /* reserved, process-wide */

bool
reserve_body_room(uint64_t bytes)
{
    uint64_t used = __atomic_load_n(&body_file_use, __ATOMIC_RELAXED);
    do {
        if (bytes > BODY_FILE_ROOM - used)
            return false;
    } while (!__atomic_compare_exchange_n(&body_file_use, &used, used + bytes, true,
                                          __ATOMIC_RELAXED, __ATOMIC_RELAXED));
    return true;
}

void
release_body_room(uint64_t reserved)
{
    __atomic_sub_fetch(&body_file_use, reserved, __ATOMIC_RELAXED);
}

static bool
body_failed(struct qf_connection *conn)
{
    conn->body_read = false; /* where the body ends is not known: the connection closes */
    send_error(conn, 577, http_500_error, "%s", "Error handling body data");
    return false;
}

/* Two lengths, or a length beside a chunked coding, let whatever reads
 * the body and whatever sits in front of the server disagree on where the
 * body ends; the client is refused rather than guessed at. */
bool
check_body_framing(struct qf_connection *conn)
{
    struct body_framing f = request_framing(conn);

    switch (f.verdict) {
    case FRAMING_BAD_LENGTH:
        send_error(conn, 400, "Bad Request", "Invalid Content-Length: [%s]", f.text);
        return false;
    case FRAMING_CONFLICTING_LENGTHS:
        send_error(conn, 400, "Bad Request", "%s", "Conflicting Content-Length headers");
        return false;
    case FRAMING_CODING_WITH_LENGTH:
        send_error(conn, 400, "Bad Request", "%s", "Transfer-Encoding with Content-Length");
        return false;
    case FRAMING_UNKNOWN_CODING:
        send_error(conn, 501, "Not Implemented", "Transfer-Encoding %s is not implemented", f.text);
        return false;
    default:
        return true;
    }
}

bool
is_chunked_body(const struct qf_connection *conn)
{
    return request_framing(conn).verdict == FRAMING_CHUNKED;
}

bool
decode_held_chunks(struct qf_connection *conn)
{
    struct qf_request_info *ri = &conn->request_info;
    struct chunked_decoder dec;
    size_t produced;

    (void) dec.feed(ri->post_data, (size_t) ri->post_data_len, ri->post_data, &produced);
    if (dec.failed()) {
        send_error(conn, 400, "Bad Request", "%s", "Malformed chunked body");
        return false;
    }
    ri->post_data_len = (int) produced;
    return true;
}

bool
pass_held_body(struct qf_connection *conn, FILE *fp)
{
    const struct qf_request_info *ri = &conn->request_info;
    uint64_t len = (uint64_t) ri->post_data_len;

    return push(fp, -1, nullptr, ri->post_data, len) == len || body_failed(conn);
}

/* Answers 400 or 501 for bad framing (check_body_framing), 411 without a
 * length unless the body comes chunked, 417 for an expectation other
 * than 100-continue. */
bool
check_request_body(struct qf_connection *conn)
{
    if (!check_body_framing(conn))
        return false;
    if (!is_chunked_body(conn) && qf_get_header(conn, "Content-Length") == nullptr) {
        send_error(conn, 411, "Length Required", "%s", "");
        return false;
    }
    const char *expect = qf_get_header(conn, "Expect");
    if (expect != nullptr && qf_strcasecmp(expect, "100-continue") != 0) {
        conn->body_read = false; /* a client that waits for its odd expectation */
        send_error(conn, 417, "Expectation Failed", "%s", "");
        return false;
    }
    return true;
}

/* The fault of a body the intake read, answered as the same fault met
 * while reading from the client is. True when it answered. */
static bool
answer_body_fault(struct qf_connection *conn)
{
    switch (conn->body.fault) {
    case BODY_TOO_LARGE:
        send_error(conn, 413, "Request Entity Too Large", "Request body larger than %d bytes",
                   (int) MAX_BODY_IN_MEMORY);
        return true;
    case BODY_MALFORMED:
        send_error(conn, 400, "Bad Request", "%s", "Malformed chunked body");
        return true;
    case BODY_CUT_SHORT:
        return !body_failed(conn);
    default:
        return false;
    }
}

/* The part of a body the intake held in its file: written to fp, or
 * appended to post_data (with room for a terminator). Read once. */
static bool
take_held_file(struct qf_connection *conn, FILE *fp)
{
    struct qf_request_info *ri = &conn->request_info;
    uint64_t left = conn->body.file_len;
    conn->body.file_len = 0;
    if (left == 0)
        return true;
    if (lseek(conn->body.fd, 0, SEEK_SET) != 0)
        return body_failed(conn);
    char chunk[BODY_CHUNK_SIZE];
    char *to = chunk;
    if (fp == nullptr) {
        /* The intake keeps no more than this in a file for memory. */
        if (left > MAX_BODY_IN_MEMORY)
            return body_failed(conn);
        char *grown = (char *) realloc(ri->post_data, (size_t) ri->post_data_len + left + 1);
        if (grown == nullptr)
            return body_failed(conn);
        ri->post_data = grown;
    }
    while (left > 0) {
        if (fp == nullptr)
            to = ri->post_data + ri->post_data_len;
        size_t want = fp == nullptr ? (size_t) left : left < sizeof(chunk) ? (size_t) left : sizeof(chunk);
        ssize_t n = read(conn->body.fd, to, want);
        if (n <= 0)
            return body_failed(conn);
        if (fp != nullptr && push(fp, -1, nullptr, chunk, (uint64_t) n) < (uint64_t) n)
            return body_failed(conn);
        if (fp == nullptr)
            ri->post_data_len += (int) n;
        left -= (uint64_t) n;
    }
    return true;
}

/* A body the intake read whole: from memory and its file, to fp or all
 * into post_data. */
static bool
use_held_body(struct qf_connection *conn, FILE *fp)
{
    const struct qf_request_info *ri = &conn->request_info;
    if (answer_body_fault(conn))
        return false;
    if (fp != nullptr && push(fp, -1, nullptr, ri->post_data, (uint64_t) ri->post_data_len) <
                             (uint64_t) ri->post_data_len)
        return body_failed(conn);
    return take_held_file(conn, fp);
}

bool
hold_whole_body(struct qf_connection *conn)
{
    struct qf_request_info *ri = &conn->request_info;
    if (conn->body.whole) {
        if (!use_held_body(conn, nullptr))
            return false;
    } else if (is_chunked_body(conn) && !decode_held_chunks(conn)) {
        return false;
    }
    /* A body in the head's buffer is copied first: the byte behind it may
     * be the next request's first. */
    if (!conn->owns_post_data) {
        char *copy = (char *) malloc((size_t) ri->post_data_len + 1);
        if (copy == nullptr)
            return body_failed(conn);
        memcpy(copy, ri->post_data, (size_t) ri->post_data_len);
        ri->post_data = copy;
        conn->owns_post_data = true;
    }
    ri->post_data[ri->post_data_len] = '\0';
    return true;
}

/* The headers have passed check_request_body. A waiting client is told to
 * go on even when the whole body is already here: it cannot know that. */
bool
read_request_body(struct qf_connection *conn, FILE *fp)
{
    struct qf_request_info *ri = &conn->request_info;

    const char *expect = qf_get_header(conn, "Expect");
    if (expect != nullptr && qf_strcasecmp(expect, "100-continue") == 0 && !conn->body.continued)
        qf_printf(conn, "%s", "HTTP/1.1 100 Continue\r\n\r\n");

    if (conn->body.whole)
        return use_held_body(conn, fp);
    if (is_chunked_body(conn))
        return read_chunked_body(conn, fp);

    uint64_t declared = get_content_length(conn);
    uint64_t held = (uint64_t) ri->post_data_len;
    if (declared <= held) {
        ri->post_data_len = (int) declared; /* surplus is not part of the body */
        if (fp != nullptr && push(fp, -1, nullptr, ri->post_data, declared) < declared)
            return body_failed(conn);
        if (!conn->body_read) /* else begin_request found its end, and held is cut to it */
            body_read_to_end(conn, ri->post_data + declared, (int) (held - declared));
        return true;
    }

    /* A body in memory must fit the int count that post_data_len is. */
    if (fp == nullptr && declared > (uint64_t) INT_MAX)
        return body_failed(conn);

    if (fp != nullptr) {
        /* A short write here would leave a hole at the start of the file. */
        if (push(fp, -1, nullptr, ri->post_data, held) < held)
            return body_failed(conn);
    } else if (!conn->owns_post_data) {
        char *copy = (char *) malloc(held > 0 ? held : 1);
        if (copy == nullptr)
            return body_failed(conn);
        memcpy(copy, ri->post_data, held);
        ri->post_data = copy;
        conn->owns_post_data = true;
    }

    char chunk[BODY_CHUNK_SIZE];
    uint64_t remaining = declared - held;
    while (remaining > 0) {
        int want = remaining < sizeof(chunk) ? (int) remaining : (int) sizeof(chunk);
        int n = pull(nullptr, conn->client.sock, conn->ssl, chunk, want);
        if (n <= 0)
            return body_failed(conn);
        if (fp != nullptr) {
            if (push(fp, -1, nullptr, chunk, (uint64_t) n) < (uint64_t) n)
                return body_failed(conn);
        } else {
            char *grown = (char *) realloc(ri->post_data, (size_t) ri->post_data_len + (size_t) n);
            if (grown == nullptr)
                return body_failed(conn);
            memcpy(grown + ri->post_data_len, chunk, (size_t) n);
            ri->post_data = grown;
            ri->post_data_len += n;
        }
        remaining -= (uint64_t) n;
    }
    body_read_to_end(conn, nullptr, 0); /* never read past the declared length */
    return true;
}

/* Appends n decoded bytes to the body held in memory; false after a 413
 * past the bound, or a 577 when memory runs out. */
static bool
append_body(struct qf_connection *conn, char **body, size_t *len, size_t *cap, const char *p,
            size_t n)
{
    if (n == 0)
        return true;
    if (n > MAX_BODY_IN_MEMORY - *len) {
        send_error(conn, 413, "Request Entity Too Large", "Request body larger than %d bytes",
                   (int) MAX_BODY_IN_MEMORY);
        return false;
    }
    if (*len + n > *cap) {
        size_t want = *cap * 2 > *len + n ? *cap * 2 : *len + n;
        char *grown = (char *) realloc(*body, want);
        if (grown == nullptr)
            return body_failed(conn);
        *body = grown;
        *cap = want;
    }
    memcpy(*body + *len, p, n);
    *len += n;
    return true;
}

/* The bytes read behind a chunked body, copied for the next request:
 * where they lie may be freed or read over before it starts. */
static void
keep_bytes_behind(struct qf_connection *conn, const char *p, size_t n)
{
    char *copy = nullptr;
    if (n > 0 && (n > MAX_REQUEST_SIZE || (copy = (char *) malloc(n)) == nullptr))
        return; /* the connection closes after this answer */
    if (n > 0)
        memcpy(copy, p, n);
    free(conn->body.rest);
    conn->body.rest = copy;
    conn->body.rest_len = (int) n;
    body_read_to_end(conn, copy, (int) n);
}

/* The bytes that came with the head first, then reads from the client
 * until the last chunk and its trailer are through. Decoded data is
 * written to fp, or else gathered in post_data (at most
 * MAX_BODY_IN_MEMORY bytes). Bytes behind the body are kept for the next
 * request when the connection may stay open. */
static bool
read_chunked_body(struct qf_connection *conn, FILE *fp)
{
    struct qf_request_info *ri = &conn->request_info;
    struct chunked_decoder dec;
    char chunk[BODY_CHUNK_SIZE];
    char *body = nullptr;
    size_t len = 0, cap = 0, produced;
    char *in = ri->post_data;
    int n = ri->post_data_len;
    bool ok = true;

    for (;;) {
        /* Decoded in place: the input is ours once it has been read. The
         * output never runs ahead of the input, so what lies behind the
         * terminator is as it came. */
        size_t used = dec.feed(in, (size_t) n, in, &produced);
        if (dec.failed()) {
            send_error(conn, 400, "Bad Request", "%s", "Malformed chunked body");
            ok = false;
            break;
        }
        if (fp != nullptr)
            ok = push(fp, -1, nullptr, in, produced) == produced || body_failed(conn);
        else
            ok = append_body(conn, &body, &len, &cap, in, produced);
        if (ok && dec.done() && conn->may_keep)
            keep_bytes_behind(conn, in + used, (size_t) n - used);
        if (!ok || dec.done())
            break;
        in = chunk;
        n = pull(nullptr, conn->client.sock, conn->ssl, chunk, (int) sizeof(chunk));
        if (n <= 0) {
            ok = body_failed(conn);
            break;
        }
    }

    if (fp != nullptr)
        return ok;
    if (!ok) {
        free(body);
        return false;
    }
    if (conn->owns_post_data)
        free(ri->post_data);
    ri->post_data = body != nullptr ? body : (char *) malloc(1);
    if (ri->post_data == nullptr) {
        ri->post_data_len = 0;
        return body_failed(conn);
    }
    ri->post_data_len = (int) len;
    conn->owns_post_data = true;
    return true;
}

/* Only the declared length counts here: none of the body is read, and a
 * chunked body is bounded as it is decoded (append_body). */
bool
refuse_large_body(struct qf_connection *conn)
{
    if (qf_get_header(conn, "Content-Length") == nullptr ||
        get_content_length(conn) <= MAX_BODY_IN_MEMORY)
        return false;
    send_error(conn, 413, "Request Entity Too Large", "Request body larger than %d bytes",
               (int) MAX_BODY_IN_MEMORY);
    return true;
}

/* With fp null the whole body ends up in post_data, owned by the
 * connection; with a file every body byte goes to it. False once the
 * client has been answered with an error. The size is checked before
 * read_request_body sends 100 Continue, so a client that waits for it
 * hears 413 instead and sends nothing. */
bool
handle_request_body(struct qf_connection *conn, FILE *fp)
{
    return check_request_body(conn) && (fp != nullptr || !refuse_large_body(conn)) &&
           read_request_body(conn, fp);
}
