/* http/outbuf.cpp: responses gathered in a fixed buffer and sent in a few
 * writes, with HTML escaping and percent-encoding for generated pages. */
#include <string.h>

#include "http/http.h"

void
out_init(struct out_buffer *out, struct qf_connection *conn, bool counted)
{
    out->conn = conn;
    out->len = 0;
    out->uncounted = 0;
    out->counted = counted;
    out->failed = false;
}

/* Sends what is gathered. Once a write falls short the client is gone, and
 * the rest of the page is dropped. */
void
out_flush(struct out_buffer *out)
{
    if (out->failed || out->len == 0)
        return;
    int written = qf_write(out->conn, out->data, (int) out->len);
    size_t w = written > 0 ? (size_t) written : 0;
    size_t header = out->uncounted < w ? out->uncounted : w;
    if (out->counted)
        out->conn->num_bytes_sent += w - header;
    out->uncounted -= header;
    if (w < out->len)
        out->failed = true;
    out->len = 0;
}

void
out_bytes(struct out_buffer *out, const char *p, size_t n)
{
    while (n > 0 && !out->failed) {
        if (out->len == sizeof(out->data))
            out_flush(out);
        size_t room = sizeof(out->data) - out->len;
        size_t k = n < room ? n : room;
        memcpy(out->data + out->len, p, k);
        out->len += k;
        p += k;
        n -= k;
    }
}

void
out_text(struct out_buffer *out, const char *s)
{
    out_bytes(out, s, strlen(s));
}

/* Text for element content and attribute values: nothing in it can close
 * the element or the attribute it stands in. */
void
out_html(struct out_buffer *out, const char *s)
{
    for (; *s != '\0'; s++) {
        switch (*s) {
        case '&': out_text(out, "&amp;"); break;
        case '<': out_text(out, "&lt;"); break;
        case '>': out_text(out, "&gt;"); break;
        case '"': out_text(out, "&quot;"); break;
        case '\'': out_text(out, "&#39;"); break;
        default: out_bytes(out, s, 1); break;
        }
    }
}

/* A path for an href: every byte but the unreserved ones and '/' is
 * percent-encoded, so the result needs no HTML escaping either. */
void
out_url(struct out_buffer *out, const char *s)
{
    static const char hex[] = "0123456789ABCDEF";

    for (; *s != '\0'; s++) {
        unsigned char c = (unsigned char) *s;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out_bytes(out, s, 1);
        } else {
            char enc[3] = {'%', hex[c >> 4], hex[c & 15]};
            out_bytes(out, enc, sizeof(enc));
        }
    }
}
