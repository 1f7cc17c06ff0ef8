/* server/context.cpp: the option locks, the reasons of refusals, and the list and log setters. */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server/server.h"

const char *
qf_version(void)
{
    return "2.8";
}

void
lock_option(struct qf_context *ctx, int id)
{
    int rc = pthread_rwlock_rdlock(&ctx->opt_locks[id]);
    if (rc != 0)
        cry(fc(ctx), "pthread_rwlock_rdlock: %s", strerror(rc));
}

void
lock_option_for_change(struct qf_context *ctx, int id)
{
    int rc = pthread_rwlock_wrlock(&ctx->opt_locks[id]);
    if (rc != 0)
        cry(fc(ctx), "pthread_rwlock_wrlock: %s", strerror(rc));
}

void
unlock_option(struct qf_context *ctx, int id)
{
    int rc = pthread_rwlock_unlock(&ctx->opt_locks[id]);
    if (rc != 0)
        cry(fc(ctx), "pthread_rwlock_unlock: %s", strerror(rc));
}

/* Standard error belongs to the process, not to the context: dropping it
 * from a slot must not close descriptor 2. */
void
release_stream(FILE *fp)
{
    if (fp != nullptr && fp != stderr && fp != stdout)
        fclose(fp);
}

/* The lines the setter now running on this thread has logged, kept for
 * the reason of a refusal; null while no setter runs. */
thread_local std::string *setter_lines;
/* Why the last value refused on this thread was refused. */
thread_local std::string last_refusal;

void
note_setter_line(const char *message)
{
    if (setter_lines == nullptr)
        return;
    if (!setter_lines->empty())
        setter_lines->append("; ");
    setter_lines->append(message);
}

const char *
qf_last_refusal(void)
{
    return last_refusal.c_str();
}

/* Lists of key=value pairs (protect, cgi_env, aliases, mime_types): every
 * piece needs both halves. An empty or null list is valid. */
bool
set_kv_list_option(struct qf_context *ctx, const char *value)
{
    struct vec key, val;
    const char *list = value;

    while ((list = next_option(list, &key, &val)) != nullptr) {
        if (key.len == 0 || val.len == 0) {
            cry(fc(ctx), "Invalid list specified: [%s], expecting key1=value1,key2=value2,...",
                value);
            return false;
        }
    }
    return true;
}

/* The global password file must exist when it is named; a null name fails. */
bool
set_gpass_option(struct qf_context *ctx, const char *value)
{
    struct qfstat st;
    (void) ctx;
    return qf_stat(value, &st) == 0;
}

bool
set_elog_option(struct qf_context *ctx, const char *value)
{
    return open_log_file(ctx, &ctx->error_log, value);
}

bool
set_alog_option(struct qf_context *ctx, const char *value)
{
    return open_log_file(ctx, &ctx->access_log, value);
}

/* Logs go to regular files only (and to /dev/null or /dev/stderr): a FIFO
 * or a device could hold every writer, and opening a FIFO with no reader
 * waits for one. So the type is checked before the open, and the open
 * itself never waits; the check is repeated on what was opened. Returns
 * the stream, or null with the reason in *why. */
static FILE *
open_log_stream(const char *path, const char **why)
{
    const bool special = strcmp(path, "/dev/null") == 0 || strcmp(path, "/dev/stderr") == 0;
    struct stat st;
    if (!special && stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        *why = S_ISDIR(st.st_mode) ? strerror(EISDIR) : "not a regular file";
        return nullptr;
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd == -1) {
        *why = strerror(errno);
        return nullptr;
    }
    if (!special && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        *why = "not a regular file";
        return nullptr;
    }
    /* Blocking again: a line must not be lost to a full terminal or pipe. */
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1)
        (void) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE *fp = fdopen(fd, "a");
    if (fp == nullptr) {
        *why = strerror(errno);
        close(fd);
    }
    return fp;
}

/* Replaces the stream in *stream_slot by path opened for appending; a null
 * path leaves the slot empty. A path that cannot be opened, or is no
 * regular file, leaves the old stream in place. The old stream is closed
 * unless it is standard error. */
bool
open_log_file(struct qf_context *ctx, FILE **stream_slot, const char *path)
{
    FILE *fp = nullptr;
    const char *why = nullptr;

    if (path != nullptr && (fp = open_log_stream(path, &why)) == nullptr) {
        cry(fc(ctx), "%s(%s): %s", "open_log_file", path, why);
        return false;
    }

    lock_log_streams();
    FILE *old = *stream_slot;
    *stream_slot = fp;
    unlock_log_streams();
    release_stream(old);
    return true;
}
