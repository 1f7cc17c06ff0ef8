/* server/log.cpp: the error log: cry, the line writer, fc, the log-stream lock and reopening the logs. */
#include <arpa/inet.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>

#include "server/connection.h"

/* Longest error message; longer ones are cut. */
enum { ERROR_MESSAGE_SIZE = 8192 };

/* One conversion of a format: "%" flags width precision length letter. */
enum { CONVERSION_TEXT_SIZE = 64 };
struct conversion {
    char text[CONVERSION_TEXT_SIZE]; /* rebuilt, '*' replaced by its argument */
    char length[3];                  /* "h", "ll", "z", ...; "" for none */
    char letter;
    int precision;                   /* -1: none */
};

static size_t format_escaped(char *buf, size_t size, const char *fmt, va_list ap);
static void read_conversion(const char **fmtp, va_list *ap, struct conversion *cv);
static bool format_conversion(const struct conversion *cv, va_list *ap, char *out, size_t room,
                              int *written);
static void reopen_log(struct qf_context *ctx, int id, FILE **slot);
static void escaped_request_copy(const struct qf_request_info *ri, struct qf_request_info *copy,
                                 std::string *method, std::string *uri, std::string *user);

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

static bool
needs_escape(unsigned char c, bool keep_quotes = false)
{
    return c < 0x20 || c >= 0x7f || (!keep_quotes && (c == '"' || c == '\\'));
}

/* With keep_quotes, '"' and '\\' are copied: what a message quotes from
 * files (SSI page text) or has escaped already keeps its form. */
static size_t
escape_bytes(const char *src, size_t len, char *dst, size_t size, bool keep_quotes)
{
    static const char hex[] = "0123456789abcdef";
    size_t j = 0;

    if (size == 0)
        return 0;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char) src[i];
        if (!needs_escape(c, keep_quotes)) {
            if (j + 1 >= size)
                break;
            dst[j++] = (char) c;
            continue;
        }
        if (j + 4 >= size)
            break; /* an escape is never cut in half */
        dst[j++] = '\\';
        dst[j++] = 'x';
        dst[j++] = hex[c >> 4];
        dst[j++] = hex[c & 0xf];
    }
    dst[j] = '\0';
    return j;
}

size_t
log_escape(const char *src, size_t len, char *dst, size_t size)
{
    return escape_bytes(src, len, dst, size, false);
}

std::string
log_escaped(const char *text)
{
    size_t len = strlen(text);
    std::string out(len * 4 + 1, '\0');
    out.resize(log_escape(text, len, &out[0], out.size()));
    return out;
}

void
fput_log_escaped(const char *s, FILE *fp)
{
    char buf[256];

    for (size_t i = 0; s[i] != '\0'; i++) {
        unsigned char c = (unsigned char) s[i];
        if (!needs_escape(c)) {
            putc_unlocked(c, fp);
            continue;
        }
        log_escape(s + i, 1, buf, sizeof(buf));
        fputs(buf, fp);
    }
}

/* Reads one conversion at *fmtp (past its '%') into cv, rebuilt with each
 * '*' replaced by its argument; *fmtp ends behind the letter. */
static void
read_conversion(const char **fmtp, va_list *ap, struct conversion *cv)
{
    const char *fmt = *fmtp;
    char *conv = cv->text;
    size_t n = 0;
    cv->precision = -1;
    conv[n++] = *fmt++;
    while (*fmt != '\0' && strchr("-+ #0", *fmt) != nullptr && n < 8)
        conv[n++] = *fmt++;
    for (int part = 0; part < 2; part++) {
        if (part == 1) {
            if (*fmt != '.')
                break;
            conv[n++] = *fmt++;
            cv->precision = 0;
        }
        int value = 0;
        if (*fmt == '*') {
            fmt++;
            value = va_arg(*ap, int);
            n += (size_t) snprintf(conv + n, 16, "%d", value);
        } else {
            for (; *fmt >= '0' && *fmt <= '9' && n < 40; fmt++) {
                value = value * 10 + (*fmt - '0');
                conv[n++] = *fmt;
            }
        }
        if (part == 1)
            cv->precision = value < 0 ? -1 : value;
    }
    memset(cv->length, 0, sizeof(cv->length));
    size_t l = 0;
    while (*fmt != '\0' && strchr("hlqjztL", *fmt) != nullptr && l < 2)
        conv[n++] = cv->length[l++] = *fmt++;
    cv->letter = *fmt != '\0' ? *fmt++ : '%';
    conv[n++] = cv->letter;
    conv[n] = '\0';
    *fmtp = fmt;
}

/* Writes one conversion with its argument to out (room bytes), %s
 * escaped; *written gets what snprintf would. False for %n or an unknown
 * letter, which end the message. */
static bool
format_conversion(const struct conversion *cv, va_list *ap, char *out, size_t room, int *written)
{
    const char *conv = cv->text, *length = cv->length;
    char letter = cv->letter;
    if (letter == '%') {
        *written = snprintf(out, room, "%%");
    } else if (letter == 's') {
        const char *s = va_arg(*ap, const char *);
        if (s == nullptr)
            s = "(null)";
        size_t slen = cv->precision >= 0 ? strnlen(s, (size_t) cv->precision) : strlen(s);
        *written = (int) escape_bytes(s, slen, out, room, true);
    } else if (strchr("diouxXc", letter) != nullptr) {
        if (strcmp(length, "ll") == 0 || strcmp(length, "q") == 0)
            *written = snprintf(out, room, conv, va_arg(*ap, long long));
        else if (strcmp(length, "l") == 0)
            *written = snprintf(out, room, conv, va_arg(*ap, long));
        else if (strcmp(length, "z") == 0)
            *written = snprintf(out, room, conv, va_arg(*ap, size_t));
        else if (strcmp(length, "j") == 0)
            *written = snprintf(out, room, conv, va_arg(*ap, intmax_t));
        else if (strcmp(length, "t") == 0)
            *written = snprintf(out, room, conv, va_arg(*ap, ptrdiff_t));
        else
            *written = snprintf(out, room, conv, va_arg(*ap, int));
    } else if (strchr("eEfFgGaA", letter) != nullptr) {
        if (strcmp(length, "L") == 0)
            *written = snprintf(out, room, conv, va_arg(*ap, long double));
        else
            *written = snprintf(out, room, conv, va_arg(*ap, double));
    } else if (letter == 'p') {
        *written = snprintf(out, room, conv, va_arg(*ap, void *));
    } else {
        return false;
    }
    return true;
}

/* vsnprintf, except that control and non-ASCII bytes of every %s
 * argument are escaped: the arguments are where client text enters a
 * message, while the format's own line feeds are the server's. Quotes and
 * backslashes are left to the callers that quote request text
 * (log_escaped), since other arguments are the server's own texts. A width
 * on %s is not applied. Returns the length stored. */
static size_t
format_escaped(char *buf, size_t size, const char *fmt, va_list ap)
{
    size_t len = 0;
    va_list args;
    va_copy(args, ap);

    buf[0] = '\0';
    while (*fmt != '\0' && len + 1 < size) {
        if (*fmt != '%') {
            buf[len++] = *fmt++;
            buf[len] = '\0';
            continue;
        }
        struct conversion cv;
        read_conversion(&fmt, &args, &cv);
        size_t room = size - len;
        int written = 0;
        if (!format_conversion(&cv, &args, buf + len, room, &written))
            break; /* %n or unknown: the rest of the format is dropped */
        if (written < 0)
            written = 0;
        len += (size_t) written < room ? (size_t) written : room - 1;
        buf[len] = '\0';
    }
    va_end(args);
    return len;
}

/* The request as a log callback sees it: method, URI and user name
 * escaped, each kept in the caller's strings. */
static void
escaped_request_copy(const struct qf_request_info *ri, struct qf_request_info *copy,
                     std::string *method, std::string *uri, std::string *user)
{
    char *const *fields[] = {&ri->request_method, &ri->uri, &ri->remote_user};
    char **targets[] = {&copy->request_method, &copy->uri, &copy->remote_user};
    std::string *texts[] = {method, uri, user};

    *copy = *ri;
    for (int i = 0; i < 3; i++) {
        const char *s = *fields[i];
        if (s == nullptr)
            continue;
        *texts[i] = log_escaped(s);
        *targets[i] = &(*texts[i])[0];
    }
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

/* Formats a message and hands it to the context's log callback; client
 * text in it (any %s argument, and the request's method, URI and user) is
 * escaped so that no request can write a line of its own. Works with
 * any connection: without one, or without a context or callback, the
 * built-in writer takes the line. */
void
cry(struct qf_connection *conn, const char *fmt, ...)
{
    char msg[ERROR_MESSAGE_SIZE];
    va_list ap;

    va_start(ap, fmt);
    (void) format_escaped(msg, sizeof(msg), fmt, ap);
    va_end(ap);

    /* The callback sees the request's client text escaped as the message's. */
    struct qf_request_info copy;
    std::string method, uri, user;
    const struct qf_request_info *ri = nullptr;
    if (conn != nullptr) {
        escaped_request_copy(&conn->request_info, &copy, &method, &uri, &user);
        ri = &copy;
    }
    note_setter_line(msg);
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

/* Holds the option's lock throughout, so that a change of the option from
 * the administration page cannot swap the stream between our open and
 * our swap. */
static void
reopen_log(struct qf_context *ctx, int id, FILE **slot)
{
    lock_option(ctx, id);
    const char *path = ctx->options[id];
    if (path == nullptr) {
        unlock_option(ctx, id);
        return;
    }
    FILE *fp = fopen(path, "ae");
    if (fp == nullptr) {
        int open_errno = errno;
        std::string name(path);
        unlock_option(ctx, id);
        if (slot == &ctx->error_log)
            fprintf(stderr,
                    "[%010lu] [error] [client 0.0.0.0] %s(%s): %s; the old file stays in use\n",
                    (unsigned long) time(nullptr), "reopen_log", name.c_str(),
                    strerror(open_errno));
        else
            cry(fc(ctx), "%s(%s): %s; the old file stays in use", "reopen_log", name.c_str(),
                strerror(open_errno));
        return;
    }

    lock_log_streams();
    FILE *old = *slot;
    *slot = fp;
    unlock_log_streams();
    unlock_option(ctx, id);
    if (old != nullptr && old != stderr && old != stdout)
        fclose(old);
}

void
qf_reopen_logs(struct qf_context *ctx)
{
    reopen_log(ctx, OPT_ACCESS_LOG, &ctx->access_log);
    reopen_log(ctx, OPT_ERROR_LOG, &ctx->error_log);
}
