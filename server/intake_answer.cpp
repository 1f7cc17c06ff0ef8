/* server/intake_answer.cpp: the intake's answering of a complete head in the loop itself,
 * where that costs less than waking a worker. */
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "server/intake.h"

/* Answers a complete head in the loop when serve_in_loop (the one place
 * that decides) takes it. True when the client was answered: its record is
 * gone or sends what the socket did not take (and close_notify, over TLS);
 * false when the head, with its record, is for a worker. */
bool
answer_in_loop(struct intake *in, struct client *c)
{
    struct qf_context *ctx = in->ctx;
    struct qf_connection *conn = &in->conn;
    struct head_record *rec = head_record_of(c->buf);
    conn->client = c->sock;
    conn->ssl = c->ssl;
    conn->ctx = ctx;
    conn->start_time = time(nullptr);
    conn->in_loop = true;
    conn->keep_allowed = keep_allowed(ctx, c->served);
    if (c->ssl != nullptr)
        tls_loop_writes(c->ssl);
    bool answered = serve_in_loop(conn, rec);
    c->keeping = answered && answer_keeps(conn);
    reset_per_request_attributes(conn);
    conn->request_info.request_method = nullptr;
    conn->request_info.uri = nullptr;
    conn->head = nullptr;
    conn->ssl = nullptr;
    if (!answered)
        return false;

    char *kept = conn->unsent;
    size_t kept_len = conn->unsent_len;
    conn->unsent = nullptr;
    conn->unsent_len = 0;
    if (c->keeping) {
        c->served++;
        carry_rest(c, c->buf + rec->request_len, rec->nread - rec->request_len);
    }
    /* The loop's spare takes the next head, mostly this connection's own. */
    if (in->spare == nullptr)
        in->spare = c->buf;
    else
        give_back_head_buffer(ctx, c->buf);
    c->buf = nullptr;
    if (kept_len == 0 && c->keeping) {
        free(kept);
        keep_client(in, c, now_ms());
        return true;
    }
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
