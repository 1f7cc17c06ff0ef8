/* http/dispatch.cpp: maps a parsed request onto its handler: callbacks, authorization, files, scripts. */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "auth/auth.h"
#include "cgi/cgi.h"
#include "http/file_cache.h"
#include "http/http.h"

static bool put_delete_authorized(struct qf_connection *conn);
static bool find_index_file(struct qf_connection *conn, char *path, size_t size, size_t n,
                            struct qfstat *st);
static bool is_method(const struct qf_request_info *ri, const char *method);
static bool listing_enabled(struct qf_context *ctx);
static void split_query(struct qf_request_info *ri);
static bool decode_uri(struct qf_connection *conn);
static void choose_handler(struct qf_connection *conn, struct route *r, bool callbacks);
static bool run_callbacks(struct qf_connection *conn, struct route *r);
static bool check_route_authorization(struct qf_connection *conn, struct route *r);
static void serve_script(struct qf_connection *conn, struct route *r);
static bool answer_not_modified(struct qf_connection *conn, const struct qfstat *st);
static bool hand_post_to_panel(struct qf_connection *conn);

static bool
match_extension_option(struct qf_connection *conn, const char *path, int id)
{
    lock_option(conn->ctx, id);
    bool match = match_extension(path, conn->ctx->options[id]);
    unlock_option(conn->ctx, id);
    return match;
}

static bool
is_method(const struct qf_request_info *ri, const char *method)
{
    return strcmp(ri->request_method, method) == 0;
}

/* PUT and DELETE need the auth_PUT password file, whatever else allows. */
static bool
put_delete_authorized(struct qf_connection *conn)
{
    struct qf_context *ctx = conn->ctx;
    bool ok = false;

    lock_option(ctx, OPT_AUTH_PUT);
    const char *file = ctx->options[OPT_AUTH_PUT];
    FILE *fp = file != nullptr ? fopen(file, "re") : nullptr;
    unlock_option(ctx, OPT_AUTH_PUT);
    if (fp != nullptr) {
        ok = authorize(conn, fp) != 0;
        fclose(fp);
    }
    return ok;
}

/* path holds a directory whose first n characters carry no trailing '/';
 * tries each index file behind it. On a hit path and st describe that
 * file; otherwise path is left with '/' at n and the last name tried. */
static bool
find_index_file(struct qf_connection *conn, char *path, size_t size, size_t n,
                struct qfstat *st)
{
    struct vec name;
    bool found = false;

    path[n] = '/';
    lock_option(conn->ctx, OPT_INDEX_FILES);
    const char *list = conn->ctx->options[OPT_INDEX_FILES];
    while (!found && (list = next_option(list, &name, nullptr)) != nullptr) {
        if (n + 1 + name.len + 1 > size)
            continue;
        qf_strlcpy(path + n + 1, name.ptr, name.len + 1);
        found = cached_stat(conn->ctx, path, st) == 0;
    }
    unlock_option(conn->ctx, OPT_INDEX_FILES);
    return found;
}

static bool
listing_enabled(struct qf_context *ctx)
{
    lock_option(ctx, OPT_DIR_LIST);
    bool listing = is_true(ctx->options[OPT_DIR_LIST]);
    unlock_option(ctx, OPT_DIR_LIST);
    return listing;
}

/* Cuts the query string off the URI, if there is one. */
static void
split_query(struct qf_request_info *ri)
{
    char *query = strchr(ri->uri, '?');
    if (query != nullptr) {
        *query = '\0';
        ri->query_string = query + 1;
    } else {
        ri->query_string = nullptr;
    }
}

/* Decodes the URI in place; false when it was refused (answered). */
static bool
decode_uri(struct qf_connection *conn)
{
    struct qf_request_info *ri = &conn->request_info;
    /* A decoded NUL would silently cut the path that every check sees. */
    size_t uri_len = strlen(ri->uri);
    if ((size_t) url_decode(ri->uri, uri_len, ri->uri, uri_len + 1, 0) != strlen(ri->uri)) {
        send_error(conn, 400, "Bad Request", "%s", "Invalid URI: encoded NUL");
        return false;
    }
    return true;
}

/* Fills in the handler of the routed path: a registered callback (when
 * callbacks are looked for), a password file, PUT and DELETE, a missing
 * file, a directory (its redirect, its index file, its listing), a CGI
 * program, an SSI page or a plain file, in the order they are answered. A
 * found index file replaces path and st. */
static void
choose_handler(struct qf_connection *conn, struct route *r, bool callbacks)
{
    struct qf_request_info *ri = &conn->request_info;
    r->dir_len = 0;
    if (callbacks && (find_callback(conn->ctx, true, ri->uri, -1) != nullptr ||
                      find_callback(conn->ctx, false, ri->uri, -1) != nullptr)) {
        r->kind = ROUTE_CALLBACK;
        return;
    }
    if (strstr(r->path, ".htpasswd") != nullptr) {
        r->kind = ROUTE_FORBIDDEN;
        return;
    }
    if (is_method(ri, "PUT") || is_method(ri, "DELETE")) {
        r->kind = ROUTE_PUT_DELETE;
        return;
    }
    if (!r->found) {
        r->kind = ROUTE_NOT_FOUND;
        return;
    }
    if (r->st.is_directory) {
        if (ri->uri[0] == '\0' || ri->uri[strlen(ri->uri) - 1] != '/') {
            r->kind = ROUTE_REDIRECT;
            return;
        }
        size_t len = strlen(r->path), n = len;
        while (n > 0 && r->path[n - 1] == '/')
            n--;
        r->dir_at = n;
        r->dir_len = len;
        if (!find_index_file(conn, r->path, sizeof(r->path), n, &r->st)) {
            r->path[n] = '\0';
            r->kind = listing_enabled(conn->ctx) ? ROUTE_LISTING : ROUTE_LISTING_DENIED;
            return;
        }
    }
    r->kind = match_extension_option(conn, r->path, OPT_CGI_EXTENSIONS)   ? ROUTE_CGI
              : match_extension_option(conn, r->path, OPT_SSI_EXTENSIONS) ? ROUTE_SSI
                                                                          : ROUTE_FILE;
}

bool
route_request(struct qf_connection *conn)
{
    struct qf_request_info *ri = &conn->request_info;
    struct head_record *rec = conn->head;
    struct route *r = &rec->route;

    split_query(ri);
    r->query_string = ri->query_string;
    if (!decode_uri(conn))
        return false;
    clean_uri(ri->uri);
    translate_path(conn, ri->uri, r->path, sizeof(r->path));
    r->found = cached_stat(conn->ctx, r->path, &r->st) == 0;
    r->is_directory = r->found && r->st.is_directory;
    rec->routed = true;
    /* The panel's files answer only to our own names: a page under a
     * stranger's name that resolves to us must not read or drive them. */
    if (r->found && refuse_foreign_host(conn, r->path))
        return false;
    choose_handler(conn, r, true);
    return true;
}

/* Nothing while an embedder's log or error callback is registered: it
 * could wait. Else a refused head, or a GET or HEAD without a body. */
bool
loop_may_take(struct qf_connection *conn)
{
    const struct head_record *rec = conn->head;
    if (conn->ctx->log_callback != builtin_error_log || has_error_callbacks(conn->ctx))
        return false;
    if (rec->verdict != HEAD_OK)
        return true;
    if (rec->method != METHOD_GET && rec->method != METHOD_HEAD)
        return false;
    if (rec->framing.verdict == FRAMING_CHUNKED ||
        (rec->framing.verdict == FRAMING_LENGTH && rec->framing.length != 0))
        return false;
    return true;
}

/* Whether each handler may wait or run an embedder's code, one row per
 * enum route_kind, in its order. */
static const bool handler_may_block[] = {
    true,  /* ROUTE_CALLBACK: the embedder's code, the administration page */
    false, /* ROUTE_FORBIDDEN */
    true,  /* ROUTE_PUT_DELETE: a body, a file written or removed */
    false, /* ROUTE_NOT_FOUND */
    false, /* ROUTE_REDIRECT */
    true,  /* ROUTE_LISTING: a whole directory read and sent */
    false, /* ROUTE_LISTING_DENIED */
    true,  /* ROUTE_CGI: a program */
    true,  /* ROUTE_SSI: files and commands included */
    false, /* ROUTE_FILE: unless its body is larger than one write */
};
static_assert(sizeof(handler_may_block) / sizeof(handler_may_block[0]) == ROUTE_FILE + 1,
              "one row per handler");

/* A file's body larger than one write waits on the client. */
bool
route_may_block(const struct qf_connection *conn)
{
    const struct route *r = &conn->head->route;
    if (r->kind == ROUTE_FILE)
        return r->st.size > SMALL_BODY_MAX && conn->head->method != METHOD_HEAD;
    return handler_may_block[r->kind];
}

/* Runs the callbacks registered for the URI: the authorizing one first
 * (which may change the file, so the file is looked up and its handler
 * chosen again), then the answering one. True when the request is done. */
static bool
run_callbacks(struct qf_connection *conn, struct route *r)
{
    struct qf_request_info *ri = &conn->request_info;
    const struct callback *cb;
    if ((cb = find_callback(conn->ctx, true, ri->uri, -1)) != nullptr) {
        cb->func(conn, ri, cb->user_data);
        if (!conn->callback_authorized)
            return true; /* the callback has answered */
        r->found = qf_stat(r->path, &r->st) == 0;
    }

    if ((cb = find_callback(conn->ctx, false, ri->uri, -1)) != nullptr) {
        if ((is_method(ri, "POST") || is_method(ri, "PUT")) && !handle_request_body(conn, nullptr))
            return true;
        cb->func(conn, ri, cb->user_data);
        return true;
    }
    choose_handler(conn, r, false);
    return false;
}

/* The authorization of the translated path: for a directory, its path as
 * translated, before its index file or its listing took its place. */
static bool
check_route_authorization(struct qf_connection *conn, struct route *r)
{
    if (r->dir_len == 0)
        return check_authorization(conn, r->path, r->is_directory) != 0;
    char dir[PATH_BUF_SIZE];
    memcpy(dir, r->path, r->dir_at);
    memset(dir + r->dir_at, '/', r->dir_len - r->dir_at);
    dir[r->dir_len] = '\0';
    return check_authorization(conn, dir, 1) != 0;
}

/* A CGI program or an SSI page, by the file's extension. */
static void
serve_script(struct qf_connection *conn, struct route *r)
{
    struct qf_request_info *ri = &conn->request_info;
    const char *path = r->path;
    if (r->kind == ROUTE_CGI) {
        if (!is_method(ri, "POST") && !is_method(ri, "GET"))
            send_error(conn, 501, "Not Implemented", "Method %s is not implemented",
                       ri->request_method);
        else
            send_cgi(conn, path);
        return;
    }

    /* Close-on-exec from the start: exec directives and CGI programs of
     * other workers must not inherit the page. */
    FILE *fp = fopen(path, "rbe");
    if (fp == nullptr) {
        send_error(conn, 500, "Internal Server Error", "fopen(%s): %s", path, strerror(errno));
        return;
    }
    ri->status_code = 200;
    qf_printf(conn, "%s",
              "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n");
    if (!is_method(ri, "HEAD"))
        send_ssi_file(conn, path, fp, 0);
    fclose(fp);
}

/* Answers 304 when the file is not later than the date the client holds;
 * a date ahead of our clock cannot come from us and proves nothing. True
 * when it answered. */
static bool
answer_not_modified(struct qf_connection *conn, const struct qfstat *st)
{
    const char *ims = get_header(&conn->request_info, "If-Modified-Since");
    time_t since = ims != nullptr ? parse_http_date(ims) : 0;
    if (ims != nullptr && since <= time(nullptr) && st->mtime <= since) {
        send_error(conn, 304, "Not Modified", "%s", "");
        return true;
    }
    return false;
}

/* The panel's forms post to plain pages: the whole body, as the intake
 * read it, goes to the panel, then the page is sent as for GET.
 * Another site's page must not act through the administrator's browser,
 * nor a stranger's name that resolves to us; and the panel takes no
 * more than a body held in memory could be. False when the post was
 * refused (answered). */
static bool
hand_post_to_panel(struct qf_connection *conn)
{
    struct qf_request_info *ri = &conn->request_info;
    if (qf_strcasecmp(ri->request_method, "POST") != 0)
        return true;
    if (refuse_foreign_host(conn) || refuse_cross_site_post(conn) || refuse_large_body(conn))
        return false;
    if (!hold_whole_body(conn))
        return false;
    if (panel_post_hook != nullptr)
        (void) panel_post_hook(ri->post_data);
    return true;
}

void
analyze_request(struct qf_connection *conn)
{
    struct qf_request_info *ri = &conn->request_info;
    struct route *r = &conn->head->route;

    conn->nonce_stale = false;
    if (!conn->head->routed && !route_request(conn))
        return;

    if (!check_route_authorization(conn, r)) {
        send_authorization_request(conn);
        return;
    }
    /* Answers whose length only the end of the connection tells; a CGI
     * program's answer tells when its program does (relay_cgi_output). */
    if (r->kind == ROUTE_CALLBACK || r->kind == ROUTE_LISTING || r->kind == ROUTE_SSI)
        conn->may_keep = false;
    if (r->kind == ROUTE_CALLBACK && run_callbacks(conn, r))
        return;

    switch (r->kind) {
    case ROUTE_CALLBACK: /* chosen again by run_callbacks */
        return;
    case ROUTE_FORBIDDEN:
        send_error(conn, 403, "Forbidden", "Access Forbidden");
        return;
    case ROUTE_PUT_DELETE:
        if (!put_delete_authorized(conn))
            send_authorization_request(conn);
        else if (is_method(ri, "PUT"))
            put_file(conn, r->path);
        else
            delete_file(conn, r->path);
        return;
    case ROUTE_NOT_FOUND:
        send_error(conn, 404, "Not Found", "%s", "File not found");
        return;
    case ROUTE_REDIRECT:
        qf_printf(conn, "HTTP/1.1 301 Moved Permanently\r\nLocation: %s/\r\n%s\r\n", ri->uri,
                  keep_alive_fields(conn));
        return;
    case ROUTE_LISTING:
        send_directory_listing(conn, r->path);
        return;
    case ROUTE_LISTING_DENIED:
        send_error(conn, 403, "Directory Listing Denied", "Directory listing denied");
        return;
    case ROUTE_CGI:
    case ROUTE_SSI:
        serve_script(conn, r);
        return;
    case ROUTE_FILE:
        break;
    }
    if (answer_not_modified(conn, &r->st) || !hand_post_to_panel(conn))
        return;
    send_file(conn, r->path, &r->st);
}
