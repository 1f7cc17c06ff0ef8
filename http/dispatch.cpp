/* http/dispatch.cpp: maps a parsed request onto its handler: URI cleaning, root and aliases, callbacks, files. */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "auth/auth.h"
#include "cgi/cgi.h"
#include "http/http.h"
#include "panel/panel.h"

/* Every translated path is built here; longer ones are cut and reported. */
enum { PATH_BUF_SIZE = 4096 };

static bool put_delete_authorized(struct qf_connection *conn);
static bool find_index_file(struct qf_connection *conn, char *path, size_t size, size_t n,
                            struct qfstat *st);
static bool is_method(const struct qf_request_info *ri, const char *method);
static bool listing_enabled(struct qf_context *ctx);
static bool is_bodiless_read(const struct qf_connection *conn);
static bool needs_worker(struct qf_connection *conn, const char *path, bool found,
                         const struct qfstat *st);
static bool is_separator(char c);
static size_t dot_segment_len(const char *s);
static void split_query(struct qf_request_info *ri);
static bool decode_uri(struct qf_connection *conn);
static bool run_callbacks(struct qf_connection *conn, const char *path, bool *found,
                          struct qfstat *st);
static bool serve_directory(struct qf_connection *conn, char *path, size_t size, struct qfstat *st);
static bool serve_script(struct qf_connection *conn, const char *path);
static bool answer_not_modified(struct qf_connection *conn, const struct qfstat *st);
static bool hand_post_to_panel(struct qf_connection *conn);

static bool
is_separator(char c)
{
    return c == '/' || c == '\\';
}

/* The length of the "." or ".." segment at s, or 0 when s starts another
 * name ("...", ".x") or none. */
static size_t
dot_segment_len(const char *s)
{
    size_t dots = s[0] == '.' ? (s[1] == '.' ? 2 : 1) : 0;
    return dots > 0 && (s[dots] == '\0' || is_separator(s[dots])) ? dots : 0;
}

/* RFC 3986 remove_dot_segments, in place, with '\\' a separator as well
 * and runs of separators collapsed to their first one: "." segments go,
 * ".." takes the segment before it along, and a ".." with none before it
 * is dropped, so the path cannot climb out of the directory it is
 * appended to. Every check then sees the path the file system opens:
 * "/./p/x" is "/p/x" for a protected prefix too. A clean URI is left as
 * it is. */
void
clean_uri(char *s)
{
    char *out = s;
    const char *in = s;

    while (*in != '\0') {
        if (is_separator(*in)) {
            if (out == s || !is_separator(out[-1]))
                *out++ = *in;
            in++;
            continue;
        }
        /* At the start of a segment: out is empty or ends with a separator. */
        size_t dots = dot_segment_len(in);
        if (dots == 2 && out > s) {
            out--; /* the separator behind the segment that goes */
            while (out > s && !is_separator(out[-1]))
                out--;
            if (out == s && is_separator(*s))
                out++; /* the leading separator stays */
        }
        if (dots > 0) {
            in += dots;
            while (is_separator(*in))
                in++;
            continue;
        }
        while (*in != '\0' && !is_separator(*in))
            *out++ = *in++;
    }
    *out = '\0';
}

/* An item matches only when it is shorter than the path; an empty item
 * matches any non-empty path. */
bool
match_extension(const char *path, const char *ext_list)
{
    struct vec ext;
    size_t path_len = strlen(path);

    if (ext_list == nullptr)
        return false;
    while ((ext_list = next_option(ext_list, &ext, nullptr)) != nullptr)
        if (ext.len < path_len &&
            qf_strncasecmp(path + path_len - ext.len, ext.ptr, ext.len) == 0)
            return true;
    return false;
}

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

/* path = root + uri, unless the first alias whose prefix starts the URI
 * maps it to directory + the rest of the URI. */
void
translate_path(struct qf_connection *conn, const char *uri, char *path, size_t size)
{
    struct qf_context *ctx = conn->ctx;

    lock_option(ctx, OPT_ROOT);
    const char *root = ctx->options[OPT_ROOT] != nullptr ? ctx->options[OPT_ROOT] : ".";
    size_t root_len = strlen(root), uri_len = strlen(uri);
    if (root_len + uri_len < size) {
        memcpy(path, root, root_len);
        memcpy(path + root_len, uri, uri_len + 1);
    } else {
        qf_snprintf(conn, path, size, "%s%s", root, uri); /* cuts and reports */
    }
    unlock_option(ctx, OPT_ROOT);

    lock_option(ctx, OPT_ALIASES);
    const char *list = ctx->options[OPT_ALIASES];
    struct vec prefix, dir;
    while ((list = next_option(list, &prefix, &dir)) != nullptr) {
        if (strncmp(uri, prefix.ptr, prefix.len) != 0)
            continue;
        const char *rest = uri + prefix.len;
        /* A prefix without its trailing '/' leaves "/doc../x" as "../x" and
         * "/doc./x" as "./x". Behind a directory that ends in a separator
         * (or an empty one) that would be a segment of its own, which
         * climbs or names the directory under a URI the protect prefixes
         * do not cover; it goes, as cleaning drops such segments. */
        if (dir.len == 0 || is_separator(dir.ptr[dir.len - 1]))
            rest += dot_segment_len(rest);
        qf_snprintf(conn, path, size, "%.*s%s", (int) dir.len,
                    dir.ptr != nullptr ? dir.ptr : "", rest);
        break;
    }
    unlock_option(ctx, OPT_ALIASES);
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
        found = qf_stat(path, st) == 0;
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

/* A GET or HEAD that announces no body: the only kind the loop answers. */
static bool
is_bodiless_read(const struct qf_connection *conn)
{
    const struct qf_request_info *ri = &conn->request_info;
    if (!is_method(ri, "GET") && !is_method(ri, "HEAD"))
        return false;
    uint64_t len = get_content_length(conn);
    return (len == 0 || len == UINT64_MAX) && !is_chunked_body(conn);
}

/* Whether the answer needs a handler that may wait or runs an embedder's
 * code: a callback, CGI, SSI, a listing, or a body too large for one write.
 * Asked before the authorization check, which may log, so that a request
 * the loop leaves to a worker is logged once, by the worker. */
static bool
needs_worker(struct qf_connection *conn, const char *path, bool found, const struct qfstat *st)
{
    const struct qf_request_info *ri = &conn->request_info;
    if (find_callback(conn->ctx, true, ri->uri, -1) != nullptr ||
        find_callback(conn->ctx, false, ri->uri, -1) != nullptr)
        return true;
    if (!found || strstr(path, ".htpasswd") != nullptr)
        return false; /* 404 or 403 */

    char index[PATH_BUF_SIZE];
    struct qfstat index_st;
    if (st->is_directory) {
        size_t n = strlen(ri->uri);
        if (n == 0 || ri->uri[n - 1] != '/')
            return false; /* 301 */
        qf_strlcpy(index, path, sizeof(index));
        n = strlen(index);
        while (n > 0 && index[n - 1] == '/')
            n--;
        if (!find_index_file(conn, index, sizeof(index), n, &index_st))
            return listing_enabled(conn->ctx);
        path = index;
        st = &index_st;
    }
    return match_extension_option(conn, path, OPT_CGI_EXTENSIONS) ||
           match_extension_option(conn, path, OPT_SSI_EXTENSIONS) ||
           (st->size > SMALL_BODY_MAX && !is_method(ri, "HEAD"));
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

/* Runs the callbacks registered for the URI: the authorizing one first
 * (which may change the file, so *found and *st are looked up again),
 * then the answering one. True when the request is done: answered, or
 * left to a worker. */
static bool
run_callbacks(struct qf_connection *conn, const char *path, bool *found, struct qfstat *st)
{
    struct qf_request_info *ri = &conn->request_info;
    const struct callback *cb;
    /* The loop's guards here and below catch a change made since
     * needs_worker looked (a callback added, an option set). */
    if ((cb = find_callback(conn->ctx, true, ri->uri, -1)) != nullptr) {
        if (leave_to_worker(conn))
            return true;
        cb->func(conn, ri, cb->user_data);
        if (!conn->callback_authorized)
            return true; /* the callback has answered */
        *found = qf_stat(path, st) == 0;
    }

    if ((cb = find_callback(conn->ctx, false, ri->uri, -1)) != nullptr) {
        if (leave_to_worker(conn))
            return true;
        if ((is_method(ri, "POST") || is_method(ri, "PUT")) && !handle_request_body(conn, nullptr))
            return true;
        cb->func(conn, ri, cb->user_data);
        return true;
    }
    return false;
}

/* A directory: redirected to its name with a slash, or its index file
 * put in path and *st. True when the request is done: redirected, listed,
 * refused or left to a worker. */
static bool
serve_directory(struct qf_connection *conn, char *path, size_t size, struct qfstat *st)
{
    struct qf_request_info *ri = &conn->request_info;
    if (ri->uri[0] == '\0' || ri->uri[strlen(ri->uri) - 1] != '/') {
        qf_printf(conn, "HTTP/1.1 301 Moved Permanently\r\nLocation: %s/\r\n\r\n", ri->uri);
        return true;
    }
    size_t n = strlen(path);
    while (n > 0 && path[n - 1] == '/')
        n--;
    if (find_index_file(conn, path, size, n, st))
        return false;
    path[n] = '\0';
    bool listing = listing_enabled(conn->ctx);
    if (listing && leave_to_worker(conn))
        return true;
    if (listing)
        send_directory_listing(conn, path);
    else
        send_error(conn, 403, "Directory Listing Denied", "Directory listing denied");
    return true;
}

/* A CGI program or an SSI page, by the file's extension. True when the
 * file is one of them: answered, or left to a worker. */
static bool
serve_script(struct qf_connection *conn, const char *path)
{
    struct qf_request_info *ri = &conn->request_info;
    if (match_extension_option(conn, path, OPT_CGI_EXTENSIONS)) {
        if (leave_to_worker(conn))
            return true;
        if (!is_method(ri, "POST") && !is_method(ri, "GET"))
            send_error(conn, 501, "Not Implemented", "Method %s is not implemented",
                       ri->request_method);
        else
            send_cgi(conn, path);
        return true;
    }

    if (!match_extension_option(conn, path, OPT_SSI_EXTENSIONS))
        return false;
    if (leave_to_worker(conn))
        return true;
    /* Close-on-exec from the start: exec directives and CGI programs of
     * other workers must not inherit the page. */
    FILE *fp = fopen(path, "rbe");
    if (fp == nullptr) {
        send_error(conn, 500, "Internal Server Error", "fopen(%s): %s", path, strerror(errno));
        return true;
    }
    ri->status_code = 200;
    qf_printf(conn, "%s",
              "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n");
    if (!is_method(ri, "HEAD"))
        send_ssi_file(conn, path, fp, 0);
    fclose(fp);
    return true;
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
    (void) drevanta_analyzePost(ri->post_data);
    return true;
}

void
analyze_request(struct qf_connection *conn)
{
    struct qf_request_info *ri = &conn->request_info;
    char path[PATH_BUF_SIZE];
    struct qfstat st;

    conn->nonce_stale = false;

    /* Framing is settled before anything can act on the request. */
    if (!check_body_framing(conn))
        return;

    split_query(ri);
    /* The loop answers only GETs and HEADs without a body. A URI that may
     * not fit the path buffer is reported when it is cut; a worker serves
     * it, so that the report is written once. */
    if (conn->in_loop && (!is_bodiless_read(conn) || strlen(ri->uri) >= PATH_BUF_SIZE / 2)) {
        leave_to_worker(conn);
        return;
    }

    if (!decode_uri(conn))
        return;
    clean_uri(ri->uri);
    translate_path(conn, ri->uri, path, sizeof(path));

    /* One look-up serves the authorization and the answer, unless a
     * callback runs in between and may have changed the file. */
    bool found = qf_stat(path, &st) == 0;
    /* The panel's files answer only to our own names: a page under a
     * stranger's name that resolves to us must not read or drive them. */
    if (found && refuse_foreign_host(conn, path))
        return;
    if (conn->in_loop && needs_worker(conn, path, found, &st)) {
        leave_to_worker(conn);
        return;
    }
    if (check_authorization(conn, path, found && st.is_directory) == 0) {
        if (conn->needs_worker)
            return;
        send_authorization_request(conn);
        return;
    }

    if (run_callbacks(conn, path, &found, &st))
        return;

    if (strstr(path, ".htpasswd") != nullptr) {
        send_error(conn, 403, "Forbidden", "Access Forbidden");
        return;
    }

    if (is_method(ri, "PUT") || is_method(ri, "DELETE")) {
        if (!put_delete_authorized(conn))
            send_authorization_request(conn);
        else if (is_method(ri, "PUT"))
            put_file(conn, path);
        else
            delete_file(conn, path);
        return;
    }

    if (!found) {
        send_error(conn, 404, "Not Found", "%s", "File not found");
        return;
    }
    if (st.is_directory && serve_directory(conn, path, sizeof(path), &st))
        return;
    if (serve_script(conn, path) || answer_not_modified(conn, &st) || !hand_post_to_panel(conn))
        return;

    send_file(conn, path, &st);
}
