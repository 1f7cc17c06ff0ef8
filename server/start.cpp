/* server/start.cpp: a context started with its defaults and its listener thread, stopped, and torn down. */
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "server/server.h"

static bool start_listener_thread(struct qf_context *ctx);
static bool apply_defaults(struct qf_context *ctx);
static void set_default_root(struct qf_context *ctx);

/* getcwd needs a bound; no sane document root is longer. */
enum { ROOT_PATH_SIZE = 4096 };

/* Creates a context with every option at its default and the listener
 * thread running. No port is open until option ports is set. Returns
 * nullptr when memory, a default or the listener thread fails. */
struct qf_context *
qf_start(void)
{
    struct qf_context *ctx = (struct qf_context *) calloc(1, sizeof(*ctx));
    if (ctx == nullptr) {
        /* No context means no log yet: standard error is all there is. */
        fprintf(stderr, "cannot allocate quillfen context\n");
        return nullptr;
    }
    ctx->error_log = stderr;
    ctx->log_callback = builtin_error_log;

    /* The locks come before the defaults: the max_threads setter takes
     * thr_mutex, and qf_fini on a failed default destroys them all. */
    for (pthread_rwlock_t &l : ctx->opt_locks)
        pthread_rwlock_init(&l, nullptr);
    pthread_mutex_init(&ctx->thr_mutex, nullptr);
    pthread_mutex_init(&ctx->callback_mutex, nullptr);
    pthread_mutex_init(&ctx->pool_mutex, nullptr);
    pthread_cond_init(&ctx->thr_cond, nullptr);
    ctx->last_summary = -1;
    ctx->num_loops = count_intake_loops();
    for (int &fd : ctx->wake_fds)
        fd = -1;
    for (int i = 0; i < ctx->num_loops; i++) {
        if ((ctx->wake_fds[i] = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) == -1) {
            cry(fc(ctx), "%s: eventfd: %s", "qf_start", strerror(errno));
            qf_fini(ctx);
            free(ctx);
            return nullptr;
        }
    }

    if (!apply_defaults(ctx)) {
        qf_fini(ctx);
        free(ctx);
        return nullptr;
    }
    set_default_root(ctx);

    /* A client that goes away mid-response must not kill the process. */
    signal(SIGPIPE, SIG_IGN);
    /* Every waiting client holds a descriptor. */
    raise_descriptor_limit();

    if (!start_listener_thread(ctx)) {
        qf_fini(ctx);
        free(ctx);
        return nullptr;
    }
    return ctx;
}

/* Copies every default into its slot, then runs the setters of the options
 * that now have a value, so their side effects (max_threads) take hold. */
static bool
apply_defaults(struct qf_context *ctx)
{
    const struct qf_option *opt;

    for (opt = known_options; opt->name != nullptr; opt++)
        ctx->options[opt->index] = qf_strdup(opt->default_value);
    for (opt = known_options; opt->name != nullptr; opt++)
        if (opt->setter != nullptr && ctx->options[opt->index] != nullptr &&
            !opt->setter(ctx, ctx->options[opt->index]))
            return false;
    return true;
}

static void
set_default_root(struct qf_context *ctx)
{
    char path[ROOT_PATH_SIZE];

    if (ctx->options[OPT_ROOT] != nullptr)
        return;
    if (getcwd(path, sizeof(path)) == nullptr) {
        cry(fc(ctx), "%s: getcwd: %s", "qf_start", strerror(errno));
        qf_strlcpy(path, ".", sizeof(path));
    }
    ctx->options[OPT_ROOT] = qf_strdup(path);
}

/* Without its listener thread a context could never be stopped: qf_stop
 * waits for that thread to finish the tear-down. So a failed start fails
 * qf_start instead of being ignored. */
static bool
start_listener_thread(struct qf_context *ctx)
{
    return start_thread(ctx, master_thread, ctx) == 0;
}

/* Asks the listener thread to end, waits until it has torn the context
 * down, then releases the record. Takes at least a second. */
void
qf_stop(struct qf_context *ctx)
{
    __atomic_store_n(&ctx->stop_flag, 1, __ATOMIC_SEQ_CST);
    do {
        sleep(1);
    } while (__atomic_load_n(&ctx->stop_flag, __ATOMIC_SEQ_CST) != 2);
    free(ctx);
}

/* Tears the context down; run by the listener thread as it ends, or by
 * qf_start when it fails. Waits for every worker first, because workers
 * read options and logs until their last request is done. */
void
qf_fini(struct qf_context *ctx)
{
    lock_option_for_change(ctx, OPT_PORTS);
    close_all_listening_sockets(ctx);
    unlock_option(ctx, OPT_PORTS);

    pthread_mutex_lock(&ctx->thr_mutex);
    while (ctx->num_threads > 0)
        pthread_cond_wait(&ctx->thr_cond, &ctx->thr_mutex);
    pthread_mutex_unlock(&ctx->thr_mutex);

    for (int i = 0; i < ctx->num_callbacks; i++) {
        free(ctx->callbacks[i].uri_regex);
        ctx->callbacks[i].uri_regex = nullptr;
    }
    ctx->num_callbacks = 0;

    for (char *&value : ctx->options) {
        free(value);
        value = nullptr;
    }

    lock_log_streams();
    FILE *alog = ctx->access_log, *elog = ctx->error_log;
    ctx->access_log = nullptr;
    ctx->error_log = nullptr;
    unlock_log_streams();
    release_stream(alog);
    release_stream(elog);

    tls_release_context(ctx);

    for (pthread_rwlock_t &l : ctx->opt_locks)
        pthread_rwlock_destroy(&l);
    pthread_mutex_destroy(&ctx->thr_mutex);
    pthread_mutex_destroy(&ctx->callback_mutex);
    release_head_buffers(ctx);
    pthread_mutex_destroy(&ctx->pool_mutex);
    pthread_cond_destroy(&ctx->thr_cond);
    for (int &fd : ctx->wake_fds) {
        if (fd != -1)
            close(fd);
        fd = -1;
    }

    __atomic_store_n(&ctx->stop_flag, 2, __ATOMIC_SEQ_CST);
}
