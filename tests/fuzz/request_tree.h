/* tests/fuzz/request_tree.h: what the request targets share: a small tree
 * (files, a listing, an SSI page, a Digest-protected directory, aliases, a
 * form handler that reads the body) served by a quiet context, and the
 * checks on every request and answer. Fails when a cleaned URI maps to a
 * path that climbs, or an answer carries the secret that lies outside the
 * root and the alias directories. */
#ifndef QF_FUZZ_REQUEST_TREE_H
#define QF_FUZZ_REQUEST_TREE_H

#include <signal.h>
#include <string.h>

#include "fuzz/fuzz_support.h"

namespace qffuzz {

inline const char REQUEST_SECRET[] = "QF-FUZZ-SECRET-7f3a";
/* QF_FUZZ_SHOW=1 prints every answer, for a look at what an input does. */
inline bool show_replies;
/* The form handler echoed request data in this answer. */
inline bool form_echoed;

/* Runs on every request after the Digest check: the cleaned URI must map
 * below the root or an alias. POSTs are refused here, but for the form
 * handler below: a POST to a plain file would reach the control panel,
 * whose actions start and signal programs. */
inline void guard_request(struct qf_connection *conn, const struct qf_request_info *ri, void *)
{
    check_path(conn, ri->uri);
    if (strcmp(ri->request_method, "POST") != 0 || strncmp(ri->uri, "/cb", 3) == 0)
        qf_authorize(conn);
}

/* A form handler as an embedder registers one: the body is read into
 * memory first, then a variable is looked up in it and the query. */
inline void form_handler(struct qf_connection *conn, const struct qf_request_info *, void *)
{
    form_echoed = true;
    char *value = qf_get_var(conn, "a");
    qf_printf(conn, "HTTP/1.1 200 OK\r\n\r\n[%s]", value != nullptr ? value : "-");
    qf_free(value);
}

/* A quiet context serving the tree under top: guarded, as today's worker
 * path is, or as the intake's loop sees an embedder without callbacks that
 * would send every request to a worker. */
inline struct qf_context *tree_context(const std::string &top, bool guarded)
{
    struct qf_context *ctx = quiet_context();
    /* An access log that counts its lines and keeps none. */
    cookie_io_functions_t counter = {};
    counter.write = [](void *, const char *, size_t len) -> ssize_t {
        log_lines++;
        return (ssize_t) len;
    };
    ctx->access_log = fopencookie(nullptr, "w", counter);
    set_option(ctx, "root", top + "/root");
    set_option(ctx, "aliases", "/up=" + top + "/al/,/doc=" + top + "/al");
    if (guarded)
        qf_set_auth_callback(ctx, "*", guard_request, nullptr);
    qf_set_uri_callback(ctx, "/cb*", form_handler, nullptr);
    return ctx;
}

/* The tree under a fresh scratch directory (returned in *top), the
 * guarded context serving it, and in *loop_ctx the loop's. */
inline struct qf_context *request_tree(std::string *top, struct qf_context **loop_ctx)
{
    signal(SIGPIPE, SIG_IGN);
    show_replies = getenv("QF_FUZZ_SHOW") != nullptr;
    *top = scratch_dir();
    std::string root = *top + "/root";
    for (const char *d : {"/root", "/root/d", "/root/p", "/al", "/al/sub"})
        make_dir(*top + d);
    write_file(*top + "/secret.txt", REQUEST_SECRET);
    write_file(*top + "/root.secret", REQUEST_SECRET); /* beside the root, sharing its name */
    write_file(root + "/f.txt", "plain file\n");
    write_file(root + "/d/g.txt", "in d\n");
    write_file(root + "/s.shtml",
               "a<!--#include virtual=\"f.txt\"-->b<!--#include \"d/g.txt\"-->c<b>d</b><!--#bad\x01-->");
    write_file(root + "/p/h.txt", "protected\n");
    write_file(root + "/p/.htpasswd", "u:example.com:" + qftest::md5("u:example.com:pw") + "\n");
    write_file(*top + "/al/a.txt", "alias a\n");
    *loop_ctx = tree_context(*top, false);
    return tree_context(*top, true);
}

/* Error answers and the form handler echo what the request said, and the
 * fuzzer soon learns to say the marker itself: only a file, listing or
 * page answer can betray a document from outside the root. */
inline void check_reply(const std::string &reply)
{
    if (show_replies)
        fprintf(stderr, "--- reply:\n%s\n", reply.c_str());
    bool served = reply.compare(0, 13, "HTTP/1.1 200 ") == 0 ||
                  reply.compare(0, 13, "HTTP/1.1 206 ") == 0;
    if (served && !form_echoed && reply.find(REQUEST_SECRET) != std::string::npos) {
        fprintf(stderr, "the answer carries the secret:\n%s\n", reply.c_str());
        abort();
    }
}

}  // namespace qffuzz

#endif
