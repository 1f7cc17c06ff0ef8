/* server/admin.cpp: the built-in administration page, one form per option, and the setter of admin_uri that registers it. */
#include <string.h>

#include "http/http.h"

/* A POST with form variables o and v sets one option first; then every
 * option is shown as a form of its own that posts back here. */
static void
admin_page(struct qf_connection *conn, const struct qf_request_info *ri, void *user_data)
{
    struct qf_context *ctx = conn->ctx;
    struct out_buffer out;

    (void) user_data;
    if (refuse_foreign_host(conn))
        return; /* another name that resolves to us must not reach the options */
    if (refuse_cross_site_post(conn))
        return; /* another site's page must not set options */
    out_init(&out, conn, false);
    conn->request_info.status_code = 200;

    out_text(&out, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><h1>Quillfen v. ");
    out_text(&out, qf_version());
    out_text(&out, "</h1>");

    if (ri->request_method != nullptr && strcmp(ri->request_method, "POST") == 0) {
        char *name = qf_get_var(conn, "o");
        char *value = qf_get_var(conn, "v");
        int result = qf_set_option(ctx, name, value);
        if (result == -1) {
            out_text(&out, "<p style=\"background: red\">Error setting option \"");
            out_html(&out, name != nullptr ? name : "(null)");
            out_text(&out, "\"</p>");
        } else if (result == 0) {
            /* Refused: the previous value stays, and the page says why. */
            out_text(&out, "<p style=\"background: red\">Error setting option \"");
            out_html(&out, name);
            out_text(&out, "\": ");
            out_html(&out, qf_last_refusal());
            out_text(&out, "</p>");
        } else {
            out_text(&out, "<p style=\"color: green\">Saved: ");
            out_html(&out, name);
            out_text(&out, "=");
            out_html(&out, value != nullptr ? value : "NULL");
            out_text(&out, "</p>");
        }
        qf_free(name);
        qf_free(value);
    }

    /* The table tag lacks its '>': browsers have always accepted it so. */
    out_text(&out, "<table border=\"1\"<tr><th>Option</th><th>Description</th>"
                   "<th colspan=2>Value</th></tr>");
    for (const struct qf_option *opt = known_options; opt->name != nullptr; opt++) {
        /* A copy taken under the lock: the option may be set again while
         * the row is still being sent. */
        lock_option(ctx, opt->index);
        char *value = qf_strdup(qf_get_option(ctx, opt->name));
        unlock_option(ctx, opt->index);

        out_text(&out, "<form method=post><tr><td>");
        out_text(&out, opt->name);
        out_text(&out, "</td><td>");
        out_html(&out, opt->description);
        out_text(&out, "</td><input type=hidden name=o value='");
        out_text(&out, opt->name);
        out_text(&out, "'><td><input type=text name=v value='");
        out_html(&out, value != nullptr ? value : "");
        out_text(&out, "'></td><td><input type=submit value=save></td></form></tr>");
        qf_free(value);
    }
    out_text(&out, "</table></body></html>");
    out_flush(&out);
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
