/* http/head.cpp: the strict reading of a request head's lines and of its body framing, shared
 * by the intake (which must know at once whether to wait for body bytes) and the worker. */
#include <stdint.h>
#include <string.h>

#include "http/http.h"

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
