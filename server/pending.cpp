/* server/pending.cpp: stand-in setters and listener thread until their modules land. */
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "server/server.h"

/* Accepts any list and opens nothing; the real setter binds the ports. */
bool
set_ports_option(struct qf_context *ctx, const char *list)
{
    (void) ctx;
    (void) list;
    return true;
}

bool
set_acl_option(struct qf_context *ctx, const char *list)
{
    (void) ctx;
    (void) list;
    return true;
}

bool
set_ssl_option(struct qf_context *ctx, const char *path)
{
    (void) ctx;
    (void) path;
    return true;
}

bool
set_uid_option(struct qf_context *ctx, const char *uid)
{
    (void) ctx;
    (void) uid;
    return true;
}

bool
set_admin_uri_option(struct qf_context *ctx, const char *uri)
{
    (void) ctx;
    (void) uri;
    return true;
}

/* A bound below one would start no worker at all, and queued connections
 * would wait for ever; such a value (or none) is refused and the previous
 * bound stays. */
bool
set_max_threads_option(struct qf_context *ctx, const char *value)
{
    if (value == nullptr) {
        cry(fc(ctx), "%s: a number is required", "set_max_threads_option");
        return false;
    }
    long n = strtol(value, nullptr, 10);
    if (n < 1) {
        cry(fc(ctx), "%s: [%s] must be at least 1", "set_max_threads_option", value);
        return false;
    }
    pthread_mutex_lock(&ctx->thr_mutex);
    ctx->max_threads = n > INT_MAX ? INT_MAX : (int) n;
    pthread_mutex_unlock(&ctx->thr_mutex);
    return true;
}

/* Until the listener lands, the thread only waits for the stop request and
 * then tears the context down, as the real one does when it leaves its loop. */
void *
master_thread(void *arg)
{
    struct qf_context *ctx = (struct qf_context *) arg;

    while (__atomic_load_n(&ctx->stop_flag, __ATOMIC_SEQ_CST) == 0)
        sleep(1);
    qf_fini(ctx);
    return nullptr;
}
