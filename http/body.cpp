/* http/body.cpp: reading a request body that did not arrive with the headers. */
#include <ctype.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "http/http.h"

/* One read of the rest of the body. */
enum { BODY_CHUNK_SIZE = 8192 };

static bool parse_content_length(const char *text, uint64_t *len);
static bool body_failed(struct qf_connection *conn);

/* RFC 7230: Content-Length = 1*DIGIT, surrounded by optional white space.
 * strtoull alone would read "-5" as a huge length and "12abc" as 12. */
static bool
parse_content_length(const char *text, uint64_t *len)
{
    const char *p = text;
    uint64_t value = 0;

    while (*p == ' ' || *p == '\t')
        p++;
    if (!isdigit((unsigned char) *p))
        return false;
    for (; isdigit((unsigned char) *p); p++) {
        unsigned digit = (unsigned) (*p - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p != '\0')
        return false;
    *len = value;
    return true;
}

static bool
body_failed(struct qf_connection *conn)
{
    send_error(conn, 577, http_500_error, "%s", "Error handling body data");
    return false;
}

/* Answers 411 without a length, 400 for a length that is not a plain
 * decimal number, 417 for an expectation other than 100-continue. */
bool
check_request_body(struct qf_connection *conn)
{
    const char *cl = qf_get_header(conn, "Content-Length");
    uint64_t declared;

    if (cl == nullptr) {
        send_error(conn, 411, "Length Required", "%s", "");
        return false;
    }
    if (!parse_content_length(cl, &declared)) {
        send_error(conn, 400, "Bad Request", "Invalid Content-Length: [%s]", cl);
        return false;
    }
    const char *expect = qf_get_header(conn, "Expect");
    if (expect != nullptr && qf_strcasecmp(expect, "100-continue") != 0) {
        send_error(conn, 417, "Expectation Failed", "%s", "");
        return false;
    }
    return true;
}

/* The headers have passed check_request_body. A waiting client is told to
 * go on even when the whole body is already here: it cannot know that. */
bool
read_request_body(struct qf_connection *conn, FILE *fp)
{
    struct qf_request_info *ri = &conn->request_info;

    const char *expect = qf_get_header(conn, "Expect");
    if (expect != nullptr && qf_strcasecmp(expect, "100-continue") == 0)
        qf_printf(conn, "%s", "HTTP/1.1 100 Continue\r\n\r\n");

    uint64_t declared = get_content_length(conn);
    uint64_t held = (uint64_t) ri->post_data_len;
    if (declared <= held) {
        ri->post_data_len = (int) declared; /* surplus is not part of the body */
        if (fp != nullptr && push(fp, -1, nullptr, ri->post_data, declared) < declared)
            return body_failed(conn);
        return true;
    }

    /* A body in memory must fit the int count that post_data_len is. */
    if (fp == nullptr && declared > (uint64_t) INT_MAX)
        return body_failed(conn);

    if (fp != nullptr) {
        /* A short write here would leave a hole at the start of the file. */
        if (push(fp, -1, nullptr, ri->post_data, held) < held)
            return body_failed(conn);
    } else {
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
    return true;
}

/* With fp null the whole body ends up in post_data, owned by the
 * connection; with a file every body byte goes to it. False once the
 * client has been answered with an error. */
bool
handle_request_body(struct qf_connection *conn, FILE *fp)
{
    return check_request_body(conn) && read_request_body(conn, fp);
}
