/* tests/fuzz/request_fuzz.cpp: bytes as a client sends them, through the
 * whole request path: reading the header block off a socket, the request
 * line and headers, dispatch over a small tree (files, a listing, an SSI
 * page, a Digest-protected directory, aliases, a form handler that reads
 * the body) and the answer. Fails when
 * a cleaned URI maps to a path that climbs, or an answer carries the
 * secret that lies outside the root and the alias directories. */
#include <signal.h>
#include <string.h>

#include "fuzz/fuzz_support.h"

namespace {

const char SECRET[] = "QF-FUZZ-SECRET-7f3a";

struct qf_context *ctx;
/* QF_FUZZ_SHOW=1 prints every answer, for a look at what an input does. */
bool show_replies;
/* The form handler echoed request data in this answer. */
bool echoed;

/* Runs on every request after the Digest check: the cleaned URI must map
 * below the root or an alias. POSTs are refused here, but for the form
 * handler below: a POST to a plain file would reach the control panel,
 * whose actions start and signal programs. */
void guard(struct qf_connection *conn, const struct qf_request_info *ri, void *)
{
    char path[4096];
    translate_path(conn, ri->uri, path, sizeof(path));
    if (qffuzz::climbs(path)) {
        fprintf(stderr, "URI [%s] maps to [%s], which climbs\n", ri->uri, path);
        abort();
    }
    if (strcmp(ri->request_method, "POST") != 0 || strncmp(ri->uri, "/cb", 3) == 0)
        qf_authorize(conn);
}

/* A form handler as an embedder registers one: the body is read into
 * memory first, then a variable is looked up in it and the query. */
void form_handler(struct qf_connection *conn, const struct qf_request_info *, void *)
{
    echoed = true;
    char *value = qf_get_var(conn, "a");
    qf_printf(conn, "HTTP/1.1 200 OK\r\n\r\n[%s]", value != nullptr ? value : "-");
    qf_free(value);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    signal(SIGPIPE, SIG_IGN);
    show_replies = getenv("QF_FUZZ_SHOW") != nullptr;
    std::string top = qffuzz::scratch_dir(), root = top + "/root";
    for (const char *d : {"/root", "/root/d", "/root/p", "/al", "/al/sub"})
        qffuzz::make_dir(top + d);
    qffuzz::write_file(top + "/secret.txt", SECRET);
    qffuzz::write_file(top + "/root.secret", SECRET); /* beside the root, sharing its name */
    qffuzz::write_file(root + "/f.txt", "plain file\n");
    qffuzz::write_file(root + "/d/g.txt", "in d\n");
    qffuzz::write_file(root + "/s.shtml",
                       "a<!--#include virtual=\"f.txt\"-->b<!--#include \"d/g.txt\"-->c<b>d</b>");
    qffuzz::write_file(root + "/p/h.txt", "protected\n");
    qffuzz::write_file(root + "/p/.htpasswd",
                       "u:example.com:" + qftest::md5("u:example.com:pw") + "\n");
    qffuzz::write_file(top + "/al/a.txt", "alias a\n");

    ctx = qffuzz::quiet_context();
    qffuzz::set_option(ctx, "root", root);
    qffuzz::set_option(ctx, "aliases", "/up=" + top + "/al/,/doc=" + top + "/al");
    qf_set_auth_callback(ctx, "*", guard, nullptr);
    qf_set_uri_callback(ctx, "/cb*", form_handler, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    echoed = false;
    std::string reply = qffuzz::serve(ctx, data, size);
    if (show_replies)
        fprintf(stderr, "--- reply:\n%s\n", reply.c_str());
    /* Error answers and the form handler echo what the request said, and the
     * fuzzer soon learns to say the marker itself: only a file, listing or
     * page answer can betray a document from outside the root. */
    bool served = reply.compare(0, 13, "HTTP/1.1 200 ") == 0 ||
                  reply.compare(0, 13, "HTTP/1.1 206 ") == 0;
    if (served && !echoed && reply.find(SECRET) != std::string::npos) {
        fprintf(stderr, "the answer carries the secret:\n%s\n", reply.c_str());
        abort();
    }
    return 0;
}
