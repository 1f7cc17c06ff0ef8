/* server/admin.cpp: the built-in administration page, one form per option, and the setter of admin_uri that registers it. */
#include <string.h>

#include "http/http.h"

/* The page is gathered here and sent in pieces of this size. */
enum { PAGE_BUF_SIZE = 8192 };

struct page {
    struct qf_connection *conn;
    size_t len;
    char buf[PAGE_BUF_SIZE];
};

static void page_flush(struct page *pg);
static void page_bytes(struct page *pg, const char *p, size_t n);
static void page_text(struct page *pg, const char *s);
static void page_escaped(struct page *pg, const char *s);
static void admin_page(struct qf_connection *conn, const struct qf_request_info *ri,
                       void *user_data);

static void
page_flush(struct page *pg)
{
    if (pg->len > 0)
        (void) qf_write(pg->conn, pg->buf, (int) pg->len);
    pg->len = 0;
}

static void
page_bytes(struct page *pg, const char *p, size_t n)
{
    while (n > 0) {
        if (pg->len == sizeof(pg->buf))
            page_flush(pg);
        size_t k = sizeof(pg->buf) - pg->len;
        if (k > n)
            k = n;
        memcpy(pg->buf + pg->len, p, k);
        pg->len += k;
        p += k;
        n -= k;
    }
}

static void
page_text(struct page *pg, const char *s)
{
    page_bytes(pg, s, strlen(s));
}

/* Option values come from anyone who can reach the page; escaped, none of
 * them can close the attribute or the cell it stands in. */
static void
page_escaped(struct page *pg, const char *s)
{
    for (; *s != '\0'; s++) {
        switch (*s) {
        case '&': page_text(pg, "&amp;"); break;
        case '<': page_text(pg, "&lt;"); break;
        case '>': page_text(pg, "&gt;"); break;
        case '"': page_text(pg, "&quot;"); break;
        case '\'': page_text(pg, "&#39;"); break;
        default: page_bytes(pg, s, 1); break;
        }
    }
}

/* A POST with form variables o and v sets one option first; then every
 * option is shown as a form of its own that posts back here. */
static void
admin_page(struct qf_connection *conn, const struct qf_request_info *ri, void *user_data)
{
    struct qf_context *ctx = conn->ctx;
    struct page pg;

    (void) user_data;
    pg.conn = conn;
    pg.len = 0;
    conn->request_info.status_code = 200;

    page_text(&pg, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><h1>Quillfen v. ");
    page_text(&pg, qf_version());
    page_text(&pg, "</h1>");

    if (ri->request_method != nullptr && strcmp(ri->request_method, "POST") == 0) {
        char *name = qf_get_var(conn, "o");
        char *value = qf_get_var(conn, "v");
        if (qf_set_option(ctx, name, value) == -1) {
            page_text(&pg, "<p style=\"background: red\">Error setting option \"");
            page_escaped(&pg, name != nullptr ? name : "(null)");
            page_text(&pg, "\"</p>");
        } else {
            /* Reported as saved even when the setter refused it: it is stored all the same. */
            page_text(&pg, "<p style=\"color: green\">Saved: ");
            page_escaped(&pg, name);
            page_text(&pg, "=");
            page_escaped(&pg, value != nullptr ? value : "NULL");
            page_text(&pg, "</p>");
        }
        qf_free(name);
        qf_free(value);
    }

    /* The table tag lacks its '>': browsers have always accepted it so. */
    page_text(&pg, "<table border=\"1\"<tr><th>Option</th><th>Description</th>"
                   "<th colspan=2>Value</th></tr>");
    for (const struct qf_option *opt = known_options; opt->name != nullptr; opt++) {
        /* A copy taken under the lock: the option may be set again while
         * the row is still being sent. */
        lock_option(ctx, opt->index);
        char *value = qf_strdup(qf_get_option(ctx, opt->name));
        unlock_option(ctx, opt->index);

        page_text(&pg, "<form method=post><tr><td>");
        page_text(&pg, opt->name);
        page_text(&pg, "</td><td>");
        page_escaped(&pg, opt->description);
        page_text(&pg, "</td><input type=hidden name=o value='");
        page_text(&pg, opt->name);
        page_text(&pg, "'><td><input type=text name=v value='");
        page_escaped(&pg, value != nullptr ? value : "");
        page_text(&pg, "'></td><td><input type=submit value=save></td></form></tr>");
        qf_free(value);
    }
    page_text(&pg, "</table></body></html>");
    page_flush(&pg);
}

/* Registers the page for uri. Setting the option again adds another
 * entry; the earlier URI keeps serving the page. A form without a value
 * posts null, which names no URI and is refused. */
bool
set_admin_uri_option(struct qf_context *ctx, const char *uri)
{
    if (uri == nullptr) {
        cry(fc(ctx), "%s: a URI is required", "set_admin_uri_option");
        return false;
    }
    qf_set_uri_callback(ctx, uri, admin_page, nullptr);
    return true;
}
