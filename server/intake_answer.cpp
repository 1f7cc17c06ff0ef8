/* server/intake_answer.cpp: the intake's answering of a complete head in the loop itself,
 * where that costs less than waking a worker. */
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "server/intake.h"

static bool
has_body_method(const char *buf)
{
    return strncmp(buf, "POST ", 5) == 0 || strncmp(buf, "PUT ", 4) == 0 ||
           strncmp(buf, "DELETE ", 7) == 0;
}

/* GETs and HEADs of static files, the ordinary error answers and heads
 * refused whatever their body are answered here: waking a worker costs
 * more than the answer. The request is parsed from a copy, because
 * parsing cuts the head up in place; when
 * it turns out to need a worker (a callback, CGI, SSI, a listing, a large
 * body) nothing has been sent or logged, and the worker gets the original.
 * An embedder's log callback could wait, so with one every request goes to
 * a worker. True when the client was answered: its record is gone or
 * sends what the socket did not take (and close_notify, over TLS). */
bool
answer_in_loop(struct intake *in, struct client *c)
{
    struct qf_context *ctx = in->ctx;
    if ((has_body_method(c->buf) && !c->refused) || ctx->log_callback != builtin_error_log)
        return false;

    struct qf_connection *conn = &in->conn;
    memcpy(in->scratch, c->buf, (size_t) c->nread);
    conn->client = c->sock;
    conn->ssl = c->ssl;
    conn->ctx = ctx;
    conn->start_time = time(nullptr);
    conn->in_loop = true;
    if (c->ssl != nullptr)
        tls_loop_writes(c->ssl);
    serve_request(conn, in->scratch, c->nread, c->request_len);
    reset_per_request_attributes(conn);
    conn->request_info.request_method = nullptr;
    conn->request_info.uri = nullptr;
    conn->ssl = nullptr;
    if (conn->needs_worker)
        return false;

    char *kept = conn->unsent;
    size_t kept_len = conn->unsent_len;
    conn->unsent = nullptr;
    conn->unsent_len = 0;
    give_back_head_buffer(ctx, c->buf);
    c->buf = nullptr;
    if (kept_len == 0 && (c->ssl == nullptr || tls_notify_close(c->ssl) == TLS_DONE)) {
        free(kept);
        drop_client(in, c); /* closed as a worker closes */
        return true;
    }
    struct file_send *fs = (struct file_send *) calloc(1, sizeof(*fs));
    if (fs == nullptr) {
        free(kept);
        drop_client(in, c);
        return true;
    }
    fs->sock = c->sock.sock;
    fs->fd = -1;
    fs->kept = kept;
    fs->kept_len = kept_len;
    fs->remaining = kept_len;
    fs->ssl = c->ssl; /* the send owns it now */
    c->ssl = nullptr;
    start_send(in, c, fs, now_ms());
    return true;
}
