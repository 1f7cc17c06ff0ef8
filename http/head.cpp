/* http/head.cpp: the one reading of a request head: its lines, request line, version, body
 * framing and tokens, into the record that travels with the head from the intake to a worker. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "http/http.h"

static enum http_method method_of(const char *method);
static bool parse_http_version(const char *text, struct qf_request_info *ri);
static void read_tokens(struct head_record *rec);

/* RFC 9112: the lines a recipient must refuse rather than guess at, since
 * two readers that guess differently disagree on where a request ends. A
 * bare LF ends a line as CRLF does. */
bool
head_lines_valid(const char *buf, int request_len)
{
    const char *p = buf, *end = buf + request_len;
    int headers = -1; /* the request line comes first */

    if (request_len <= 0 || memchr(buf, '\0', (size_t) request_len) != nullptr)
        return false;
    while (p < end) {
        const char *lf = (const char *) memchr(p, '\n', (size_t) (end - p));
        if (lf == nullptr)
            return false;
        const char *eol = lf > p && lf[-1] == '\r' ? lf - 1 : lf;
        size_t len = (size_t) (eol - p);
        if (memchr(p, '\r', len) != nullptr)
            return false; /* a CR that ends no line */
        if (len == 0)
            break; /* the empty line that ends the block */
        if (headers >= 0) {
            const char *colon = (const char *) memchr(p, ':', len);
            /* a line without a name or colon, white space in or behind the
             * name, an obs-fold continuation, one line more than is kept */
            if (colon == nullptr || colon == p || memchr(p, ' ', (size_t) (colon - p)) != nullptr ||
                memchr(p, '\t', (size_t) (colon - p)) != nullptr || ++headers > MAX_HTTP_HEADERS)
                return false;
        } else {
            headers = 0;
        }
        p = lf + 1;
    }
    return true;
}

/* Content-Length = 1*DIGIT, with optional white space around it; "-5",
 * "12abc" and a number past 64 bits are malformed. */
bool
parse_content_length(const char *text, uint64_t *len)
{
    const char *p = text + strspn(text, " \t");
    uint64_t value;
    bool fits;

    if (!scan_digits(&p, nullptr, &value, &fits) || !fits || p[strspn(p, " \t")] != '\0')
        return false;
    *len = value;
    return true;
}

/* Transfer-Encoding = 1#transfer-coding; only "chunked" alone is taken,
 * with optional white space around it. */
bool
is_chunked_coding(const char *te)
{
    static const char chunked[] = "chunked";

    te += strspn(te, " \t");
    if (qf_strncasecmp(te, chunked, sizeof(chunked) - 1) != 0)
        return false;
    te += sizeof(chunked) - 1;
    return te[strspn(te, " \t")] == '\0';
}

/* The first malformed or differing Content-Length decides, in header
 * order; codings are judged only once every length is sound. */
struct body_framing
read_body_framing(const struct qf_request_info *ri)
{
    struct body_framing f = {FRAMING_NONE, 0, nullptr};
    const char *te = nullptr;
    int te_count = 0;
    bool has_length = false;
    uint64_t value;

    for (int i = 0; i < ri->num_headers; i++) {
        const char *name = ri->http_headers[i].name, *text = ri->http_headers[i].value;
        if (qf_strcasecmp(name, "Transfer-Encoding") == 0) {
            te = text;
            te_count++;
            continue;
        }
        if (qf_strcasecmp(name, "Content-Length") != 0)
            continue;
        if (!parse_content_length(text, &value))
            return {FRAMING_BAD_LENGTH, 0, text};
        if (has_length && value != f.length)
            return {FRAMING_CONFLICTING_LENGTHS, 0, nullptr};
        has_length = true;
        f.length = value;
    }
    if (te_count == 0) {
        f.verdict = has_length ? FRAMING_LENGTH : FRAMING_NONE;
        return f;
    }
    if (has_length)
        return {FRAMING_CODING_WITH_LENGTH, 0, te};
    if (te_count > 1 || !is_chunked_coding(te))
        return {FRAMING_UNKNOWN_CODING, 0, te};
    return {FRAMING_CHUNKED, 0, te};
}

static enum http_method
method_of(const char *method)
{
    static const struct {
        const char *name;
        enum http_method method;
    } methods[] = {
        {"GET", METHOD_GET}, {"POST", METHOD_POST}, {"HEAD", METHOD_HEAD},
        {"PUT", METHOD_PUT}, {"DELETE", METHOD_DELETE},
    };

    for (const auto &m : methods)
        if (strcmp(method, m.name) == 0)
            return m.method;
    return METHOD_OTHER;
}

/* HTTP-Version = "HTTP" "/" 1*DIGIT "." 1*DIGIT, and nothing behind it. */
static bool
parse_http_version(const char *text, struct qf_request_info *ri)
{
    int n = 0;

    /* What nearly every client sends, without a trip through sscanf. */
    if (strncmp(text, "HTTP/1.", 7) == 0 && (text[7] == '0' || text[7] == '1') &&
        text[8] == '\0') {
        ri->http_version_major = 1;
        ri->http_version_minor = text[7] - '0';
        return true;
    }
    return sscanf(text, "HTTP/%d.%d%n", &ri->http_version_major,
                  &ri->http_version_minor, &n) == 2 && text[n] == '\0';
}

/* Request-Line = Method SP Request-URI SP HTTP-Version CRLF
 * The block's final line feed becomes the terminator; method, target and
 * version are cut apart in place, and *headers is left on the first header
 * line. False for an unknown method, a target without its leading '/' or a
 * malformed version. */
bool
parse_request_line(char *buf, int request_len, struct qf_request_info *ri, char **headers)
{
    buf[request_len - 1] = '\0';
    char *e = buf;
    ri->request_method = skip(&e, " ");
    ri->uri = skip(&e, " ");
    char *version = skip(&e, "\r\n");
    *headers = e;
    return method_of(ri->request_method) != METHOD_OTHER && ri->uri[0] == '/' &&
           parse_http_version(version, ri);
}

/* Connection = #connection-option: the tokens of every Connection line;
 * Expect: the first line's value. One pass over the headers. */
static void
read_tokens(struct head_record *rec)
{
    const struct qf_request_info *ri = &rec->ri;

    for (int i = 0; i < ri->num_headers; i++) {
        const char *name = ri->http_headers[i].name, *value = ri->http_headers[i].value;
        if (rec->expect == EXPECT_NONE && qf_strcasecmp(name, "Expect") == 0) {
            rec->expect = qf_strcasecmp(value, "100-continue") == 0 ? EXPECT_CONTINUE : EXPECT_OTHER;
            continue;
        }
        if (qf_strcasecmp(name, "Connection") != 0)
            continue;
        while (*value != '\0') {
            value += strspn(value, " \t,");
            size_t len = strcspn(value, " \t,");
            if (len == 5 && qf_strncasecmp(value, "close", 5) == 0)
                rec->connection_close = true;
            else if (len == 10 && qf_strncasecmp(value, "keep-alive", 10) == 0)
                rec->connection_keep_alive = true;
            value += len;
        }
    }
}

/* The lines are judged before the tokenizer cuts the block up; refused
 * lines are answered as a malformed request line is. Then the version and
 * the framing, in that order, as they have always been answered. */
bool
parse_head(char *buf, int nread, int request_len, struct head_record *rec)
{
    struct qf_request_info *ri = &rec->ri;

    memset(rec, 0, offsetof(struct head_record, route));
    rec->buf = buf;
    rec->nread = nread;
    rec->request_len = request_len;
    bool lines_valid = head_lines_valid(buf, request_len);
    char *e;
    if (!parse_request_line(buf, request_len, ri, &e) || !lines_valid) {
        rec->verdict = HEAD_MALFORMED;
        return false;
    }
    parse_http_headers(&e, ri);
    rec->method = method_of(ri->request_method);
    if (ri->http_version_major != 1 || (unsigned) ri->http_version_minor > 1) {
        rec->verdict = HEAD_BAD_VERSION;
        return false;
    }
    ri->post_data = buf + request_len;
    ri->post_data_len = nread - request_len;
    rec->framing = read_body_framing(ri);
    switch (rec->framing.verdict) {
    case FRAMING_NONE:
    case FRAMING_LENGTH:
    case FRAMING_CHUNKED:
        break;
    default:
        rec->verdict = HEAD_BAD_FRAMING;
        return false;
    }
    read_tokens(rec);
    return true;
}

void
head_body_bytes(struct head_record *rec, int nread)
{
    rec->nread = nread;
    if (rec->ri.post_data != nullptr)
        rec->ri.post_data_len = nread - rec->request_len;
}
