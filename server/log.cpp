/* server/log.cpp: the error log: cry, the line writer, fc and the log-stream lock. */
#include <arpa/inet.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include "http/http.h"

/* Longest error message; longer ones are cut. */
enum { ERROR_MESSAGE_SIZE = 8192 };

/* Code that holds only a context reports through this record. Only its ctx
 * is ever set. One per thread: threads that report at the same moment would
 * otherwise store into one shared record unsynchronised (a data race, even
 * with the same pointer). Its zero client address prints as 0.0.0.0 and it
 * has no request. */
static thread_local struct qf_connection fake_connection;

/* Guards the access_log and error_log slots of every context against a swap
 * (option set at run time from the administration page) while a writer uses
 * the stream. Held only around a slot read plus one line, or a slot swap;
 * nothing is logged while it is held. */
static pthread_mutex_t log_streams_mutex = PTHREAD_MUTEX_INITIALIZER;

struct qf_connection *
fc(struct qf_context *ctx)
{
    fake_connection.ctx = ctx;
    return &fake_connection;
}

void
lock_log_streams(void)
{
    (void) pthread_mutex_lock(&log_streams_mutex);
}

void
unlock_log_streams(void)
{
    (void) pthread_mutex_unlock(&log_streams_mutex);
}

/* Writes one line: time, client, request and message. Lines from different
 * threads never interleave, and each is flushed so an operator can tail the
 * file. Without an error-log stream the line goes to standard error: the
 * report that a log file cannot be opened must land somewhere. */
void
builtin_error_log(struct qf_connection *conn, const struct qf_request_info *ri, void *message)
{
    char addr[QF_ADDRSTRLEN] = "0.0.0.0";

    if (conn != nullptr)
        qf_address_text(&conn->client.rsa, addr, sizeof(addr));

    lock_log_streams();
    FILE *fp = nullptr;
    if (conn != nullptr && conn->ctx != nullptr)
        fp = conn->ctx->error_log;
    if (fp == nullptr)
        fp = stderr;

    flockfile(fp);
    fprintf(fp, "[%010lu] [error] [client %s] ", (unsigned long) time(nullptr), addr);
    if (ri != nullptr && ri->request_method != nullptr)
        fprintf(fp, "%s %s: ", ri->request_method, ri->uri != nullptr ? ri->uri : "");
    fprintf(fp, "%s\n", (const char *) message);
    fflush(fp);
    funlockfile(fp);
    unlock_log_streams();
}

/* Formats a message and hands it to the context's log callback. Works with
 * any connection: without one, or without a context or callback, the
 * built-in writer takes the line. */
void
cry(struct qf_connection *conn, const char *fmt, ...)
{
    char msg[ERROR_MESSAGE_SIZE];
    va_list ap;

    va_start(ap, fmt);
    if (vsnprintf(msg, sizeof(msg), fmt, ap) < 0)
        msg[0] = '\0';
    va_end(ap);

    const struct qf_request_info *ri = conn != nullptr ? &conn->request_info : nullptr;
    qf_callback_t cb = builtin_error_log;
    if (conn != nullptr && conn->ctx != nullptr && conn->ctx->log_callback != nullptr)
        cb = conn->ctx->log_callback;
    cb(conn, ri, msg);
}

void
qf_set_log_callback(struct qf_context *ctx, qf_callback_t cb)
{
    ctx->log_callback = cb != nullptr ? cb : builtin_error_log;
}
