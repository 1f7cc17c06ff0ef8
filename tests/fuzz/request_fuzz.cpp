/* tests/fuzz/request_fuzz.cpp: bytes as a client sends them, through the
 * whole request path: reading the header block off a socket, the request
 * line and headers, dispatch over a small tree (files, a listing, an SSI
 * page, a Digest-protected directory, aliases, a form handler that reads
 * the body) and the answer. Fails when
 * a cleaned URI maps to a path that climbs, or an answer carries the
 * secret that lies outside the root and the alias directories. */
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz/fuzz_support.h"

namespace {

const char SECRET[] = "QF-FUZZ-SECRET-7f3a";

struct qf_context *ctx;
/* QF_FUZZ_SHOW=1 prints every answer, for a look at what an input does. */
bool show_replies;
/* The form handler echoed request data in this answer. */
bool echoed;

/* A ".." component of a translated path (root and alias directories have none). */
bool climbs(const char *path)
{
    for (const char *p = path; (p = strstr(p, "..")) != nullptr; p += 2)
        if ((p == path || p[-1] == '/') && (p[2] == '\0' || p[2] == '/'))
            return true;
    return false;
}

/* Runs on every request after the Digest check: the cleaned URI must map
 * below the root or an alias. POSTs are refused here, but for the form
 * handler below: a POST to a plain file would reach the control panel,
 * whose actions start and signal programs. */
void guard(struct qf_connection *conn, const struct qf_request_info *ri, void *)
{
    char path[4096];
    translate_path(conn, ri->uri, path, sizeof(path));
    if (climbs(path)) {
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
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        abort();
    /* The whole request is waiting before the server reads, and then the
     * client has nothing more to say: no read ever waits. */
    for (size_t off = 0; off < size;) {
        ssize_t n = write(sv[0], data + off, size - off);
        if (n <= 0)
            abort();
        off += (size_t) n;
    }
    shutdown(sv[0], SHUT_WR);
    /* An answer bigger than the socket's buffer is cut, not waited on. */
    fcntl(sv[1], F_SETFL, O_NONBLOCK);

    struct qf_connection conn;
    memset(&conn, 0, sizeof(conn));
    conn.ctx = ctx;
    conn.client.sock = sv[1];
    echoed = false;
    process_new_connection(&conn);
    reset_per_request_attributes(&conn);
    close(sv[1]);

    std::string reply;
    char buf[65536];
    ssize_t n;
    while ((n = recv(sv[0], buf, sizeof(buf), MSG_DONTWAIT)) > 0)
        reply.append(buf, (size_t) n);
    close(sv[0]);
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
