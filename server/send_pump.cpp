/* server/send_pump.cpp: the intake's sends: files that workers handed over and what the
 * loop's own answers left unsent, moved as each client drains, through TLS or not. */
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/intake.h"

/* Puts a send on the list the loop serves as the client drains. */
void
start_send(struct intake *in, struct client *c, struct file_send *fs, int64_t now)
{
    c->send = fs;
    c->state = CLIENT_SENDING;
    c->deadline = now + SEND_STALL_MS;
    c->hard_deadline = in->stopping ? now + STOP_SEND_MS : NEVER;
    list_append(&in->sends, c);
    if (!watch(in, c, EPOLLOUT))
        end_send(in, c);
}

/* The send is over: done, cut or failed. The access-log line tells the
 * bytes that really went out. The socket is the caller's to close. */
static void
finish_send(struct qf_context *ctx, struct file_send *fs)
{
    log_access_line(ctx, fs->log_line, fs->log_split, fs->sent);
    if (fs->fd != -1)
        close(fs->fd);
    free(fs->log_line);
    free(fs->piece);
    free(fs->kept);
    if (fs->ssl != nullptr)
        tls_free(fs->ssl);
    free(fs);
}

/* A kept connection that cannot be kept after all: it closes as any. */
static void
drop_kept(struct file_send *fs)
{
    if (fs->keep != nullptr)
        free(fs->keep->carry);
    free(fs->keep);
    fs->keep = nullptr;
}

/* A kept connection whose answer went out whole waits for its next
 * request; any other closes. */
void
end_send(struct intake *in, struct client *c)
{
    struct file_send *fs = c->send;
    if (c->keeping && send_complete(fs)) {
        c->ssl = fs->ssl; /* the connection's again */
        fs->ssl = nullptr;
        finish_send(in->ctx, fs);
        list_unlink(c);
        keep_client(in, c, now_ms());
        return;
    }
    finish_send(in->ctx, fs);
    drop_client(in, c);
}

/* A send made progress: it goes to the back of the deadline order. */
static void
note_progress(struct intake *in, struct client *c, int64_t now)
{
    list_unlink(c);
    c->deadline = now + SEND_STALL_MS;
    list_append(&in->sends, c);
}

/* Pieces through TLS while the socket takes them (a few per turn, so that
 * other clients get theirs), then close_notify, which may wait too. */
static void
pump_tls_send(struct intake *in, struct client *c, int64_t now)
{
    struct file_send *fs = c->send;
    uint64_t before = fs->sent;
    enum tls_step step = send_file_tls(fs, TLS_PIECES_PER_TURN);
    if (fs->remaining == 0 && !c->keeping)
        step = tls_notify_close(fs->ssl);
    if (step == TLS_WANT_READ || step == TLS_WANT_WRITE ||
        (step == TLS_DONE && fs->remaining > 0)) {
        if (fs->sent != before)
            note_progress(in, c, now);
        if (!watch(in, c, step == TLS_WANT_READ ? EPOLLIN : EPOLLOUT))
            end_send(in, c);
        return;
    }
    end_send(in, c); /* all sent, the file ended early, or the client is gone */
}

/* What the loop's own answer left unsent, as the socket takes it. */
static void
pump_kept(struct intake *in, struct client *c, int64_t now)
{
    struct file_send *fs = c->send;
    ssize_t n;
    while ((n = send(c->sock.sock, fs->kept + fs->kept_sent, fs->kept_len - fs->kept_sent,
                     MSG_DONTWAIT | MSG_NOSIGNAL)) < 0 && errno == EINTR)
        ;
    if (n < 0 && errno == EAGAIN)
        return;
    if (n > 0)
        fs->kept_sent += (size_t) n;
    if (n > 0 && fs->kept_sent < fs->kept_len)
        note_progress(in, c, now);
    else
        end_send(in, c); /* all sent, or the client is gone */
}

void
pump_send(struct intake *in, struct client *c, int64_t now)
{
    struct file_send *fs = c->send;
    if (fs->ssl != nullptr) {
        pump_tls_send(in, c, now);
        return;
    }
    if (fs->kept != nullptr) {
        pump_kept(in, c, now);
        return;
    }
    /* One call a turn: on a non-blocking socket it moves what fits the buffer. */
    uint64_t n;
    enum send_result r =
        send_file_plain(c->sock.sock, fs->fd, &fs->offset, fs->remaining, true, &n);
    fs->sent += n;
    fs->remaining -= n;
    if (r == SEND_MORE) {
        note_progress(in, c, now);
        return;
    }
    if (r == SEND_WAIT)
        return;
    end_send(in, c); /* all sent, the file ended early, or the client is gone */
}

/* Sends that workers handed over since the last look. */
void
take_handed_sends(struct intake *in, int64_t now)
{
    struct qf_context *ctx = in->ctx;
    pthread_mutex_lock(&ctx->thr_mutex);
    struct file_send *list = ctx->handed_sends[in->index];
    ctx->handed_sends[in->index] = nullptr;
    pthread_mutex_unlock(&ctx->thr_mutex);

    while (list != nullptr) {
        struct file_send *fs = list;
        list = fs->next;
        struct client *c = new_client(in);
        if (c == nullptr) {
            int sock = fs->sock;
            drop_kept(fs);
            finish_send(ctx, fs);
            close_gracefully(sock);
            continue;
        }
        if (fs->keep != nullptr) {
            take_kept_connection(in, c, fs, now);
            continue;
        }
        c->sock.sock = fs->sock;
        start_send(in, c, fs, now);
    }
}
