/* server/intake_start.cpp: start-up and tear-down of the intake's loops: one per CPU, loop 0
 * on the listener thread, which joins the others and then tears the context down. */
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "http/file_cache.h"
#include "server/intake.h"

/* Idle workers would otherwise sit out idle_time before the stop can end;
 * waking them lets each leave once the queue is empty. Posted under the
 * lock, so no woken worker can leave before its post. */
void
wake_idle_workers(struct qf_context *ctx)
{
    pthread_mutex_lock(&ctx->thr_mutex);
    for (struct idle_worker *w = ctx->idle_workers; w != nullptr; w = ctx->idle_workers) {
        ctx->idle_workers = w->next;
        w->woken = true;
        sem_post(&w->wake);
    }
    pthread_mutex_unlock(&ctx->thr_mutex);
}

/* One loop per CPU that the process may run on, up to MAX_INTAKE_LOOPS. */
int
count_intake_loops(void)
{
    cpu_set_t set;
    long n = sched_getaffinity(0, sizeof(set), &set) == 0 ? CPU_COUNT(&set)
                                                          : sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : n > MAX_INTAKE_LOOPS ? MAX_INTAKE_LOOPS : (int) n;
}

/* Loop index with its own event set, which holds its wake descriptor; null
 * (errno telling why) when the set cannot be made. */
static struct intake *
open_intake(struct qf_context *ctx, int index)
{
    struct intake *in = (struct intake *) calloc(1, sizeof(*in));
    if (in == nullptr)
        return nullptr;
    in->ctx = ctx;
    in->index = index;
    in->epfd = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev;
    ev.events = EPOLLIN;
    ev.data.u64 = WAKE_TAG;
    if (in->epfd == -1 || epoll_ctl(in->epfd, EPOLL_CTL_ADD, ctx->wake_fds[index], &ev) != 0) {
        int saved = errno;
        if (in->epfd != -1)
            close(in->epfd);
        free(in);
        errno = saved;
        return nullptr;
    }
    list_init(&in->heads);
    list_init(&in->sends);
    list_init(&in->idle);
    return in;
}

static void
close_intake(struct intake *in)
{
    give_back_head_buffer(in->ctx, in->spare);
    close(in->epfd);
    free(in);
}

/* A loop remembers the small files it serves (its own cache, no lock). */
static void
run_caching_intake(struct intake *in)
{
    file_cache_attach();
    run_intake(in);
    file_cache_detach();
}

static void *
intake_thread(void *arg)
{
    run_caching_intake((struct intake *) arg);
    return nullptr;
}

/* The listener thread: loop 0 of the intake, the other loops started and
 * joined here, until the server stops and the last worker and send have
 * ended; then the tear-down of the context. */
void *
master_thread(void *arg)
{
    struct qf_context *ctx = (struct qf_context *) arg;
    /* Woken by every new client, the listener would otherwise preempt the
     * very client that is about to send its request. As a batch thread it
     * lets the sender go on, and then takes the clients that arrived
     * meanwhile, requests and all, in one go. Only an ordinary thread is
     * demoted; the other loops inherit the policy, and the workers (which
     * run CGI programs and the panel's commands) get the ordinary one back. */
    int policy;
    struct sched_param param;
    if (pthread_getschedparam(pthread_self(), &policy, &param) == 0 && policy == SCHED_OTHER &&
        set_policy(SCHED_BATCH))
        __atomic_store_n(&ctx->listener_batched, true, __ATOMIC_RELEASE);

    struct intake *loops[MAX_INTAKE_LOOPS] = {};
    pthread_t threads[MAX_INTAKE_LOOPS];
    int opened = 0;
    while (opened < ctx->num_loops && (loops[opened] = open_intake(ctx, opened)) != nullptr)
        opened++;
    if (opened == 0) {
        cry(fc(ctx), "%s: cannot start the intake: %s", "master_thread", strerror(errno));
        /* Nothing is served; the stop still finds a finished context. */
        while (!stop_requested(ctx))
            sleep(1);
    } else {
        /* Running before any starts: a send may go to a loop that has
         * not yet begun, never to one that has ended. */
        pthread_mutex_lock(&ctx->thr_mutex);
        for (int i = 0; i < opened; i++)
            ctx->loop_running[i] = true;
        pthread_mutex_unlock(&ctx->thr_mutex);
        __atomic_store_n(&ctx->intake_running, true, __ATOMIC_RELEASE);
        int started = 1, rc = 0;
        while (started < opened &&
               (rc = pthread_create(&threads[started], nullptr, intake_thread, loops[started])) == 0)
            started++;
        if (started < opened) {
            cry(fc(ctx), "%s: %d of %d intake loops: %s", "master_thread", started, opened,
                strerror(rc));
            pthread_mutex_lock(&ctx->thr_mutex);
            for (int i = started; i < opened; i++)
                ctx->loop_running[i] = false;
            pthread_mutex_unlock(&ctx->thr_mutex);
        }
        run_caching_intake(loops[0]);
        for (int i = 1; i < started; i++)
            pthread_join(threads[i], nullptr);
        __atomic_store_n(&ctx->intake_running, false, __ATOMIC_RELEASE);
    }
    for (int i = 0; i < opened; i++)
        close_intake(loops[i]);
    wake_idle_workers(ctx);
    qf_fini(ctx);
    return nullptr;
}

