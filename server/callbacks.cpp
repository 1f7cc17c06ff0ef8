/* server/callbacks.cpp: the registry of URI, authorization and error callbacks, and the panel's directory and entries. */
#include <assert.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "server/server.h"

static void remove_callback(struct qf_context *ctx, const char *uri_regex, int status_code,
                            bool is_auth);

/* One slot of the table stays free. */
enum { MAX_REGISTERED_CALLBACKS = MAX_CALLBACKS - 1 };

/* True when pattern covers the whole uri; '*' stands for any run of
 * characters, the empty one included, everything else for itself. A
 * mismatch after a '*' retries from that '*' one character further on:
 * only the latest '*' ever needs to be retried, so a client's URI costs
 * at most length times pattern steps, never an exponential search. */
bool
match_regex(const char *uri, const char *pattern)
{
    const char *star = nullptr;  /* latest '*' seen in pattern */
    const char *resume = nullptr; /* where in uri that '*' will next end */

    while (*uri != '\0') {
        if (*pattern == '*') {
            star = pattern++;
            resume = uri;
        } else if (*pattern != '\0' && *pattern == *uri) {
            pattern++;
            uri++;
        } else if (star != nullptr) {
            pattern = star + 1;
            uri = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        pattern++;
    return *pattern == '\0';
}

/* Removes the first entry that matches: by pattern and kind, or, for error
 * callbacks, by code (an entry for 0 matches every code). Later entries
 * move down so the registration order is kept. The caller holds
 * callback_mutex. */
static void
remove_callback(struct qf_context *ctx, const char *uri_regex, int status_code, bool is_auth)
{
    for (int i = 0; i < ctx->num_callbacks; i++) {
        struct callback *cb = &ctx->callbacks[i];
        bool match = uri_regex != nullptr
                         ? cb->uri_regex != nullptr && strcmp(cb->uri_regex, uri_regex) == 0 &&
                               cb->is_auth == is_auth
                         : cb->status_code == 0 || cb->status_code == status_code;
        if (match) {
            free(cb->uri_regex);
            memmove(cb, cb + 1, (size_t) (ctx->num_callbacks - i - 1) * sizeof(*cb));
            ctx->num_callbacks--;
            return;
        }
    }
}

/* Appends an entry, or with a null func removes one. A second entry for
 * the same pattern does not replace the first: lookups take the first
 * match, so the older one keeps answering. */
void
add_callback(struct qf_context *ctx, const char *uri_regex, int status_code,
             qf_callback_t func, bool is_auth, void *user_data)
{
    bool full = false;

    pthread_mutex_lock(&ctx->callback_mutex);
    if (func == nullptr) {
        remove_callback(ctx, uri_regex, status_code, is_auth);
    } else if (ctx->num_callbacks >= MAX_REGISTERED_CALLBACKS) {
        full = true;
    } else {
        char *copy = qf_strdup(uri_regex);
        if (uri_regex != nullptr && copy == nullptr) {
            /* Out of memory: a pattern-less entry would pose as an error
             * callback, so nothing is registered. */
            pthread_mutex_unlock(&ctx->callback_mutex);
            return;
        }
        struct callback *cb = &ctx->callbacks[ctx->num_callbacks++];
        cb->uri_regex = copy;
        cb->func = func;
        cb->is_auth = is_auth;
        cb->status_code = status_code;
        cb->user_data = user_data;
    }
    pthread_mutex_unlock(&ctx->callback_mutex);

    /* Logged outside the lock: the log callback is the embedder's code. */
    if (full)
        cry(fc(ctx), "%s", "Too many callbacks! Increase MAX_CALLBACKS.");
}

/* With a uri: the first URI (or, with is_auth, authorization) callback
 * whose pattern covers it. Without: the first error callback for
 * status_code or for every code. */
bool
has_error_callbacks(struct qf_context *ctx)
{
    bool found = false;

    pthread_mutex_lock(&ctx->callback_mutex);
    for (int i = 0; i < ctx->num_callbacks && !found; i++)
        found = ctx->callbacks[i].uri_regex == nullptr;
    pthread_mutex_unlock(&ctx->callback_mutex);
    return found;
}

const struct callback *
find_callback(struct qf_context *ctx, bool is_auth, const char *uri, int status_code)
{
    const struct callback *found = nullptr;

    pthread_mutex_lock(&ctx->callback_mutex);
    for (int i = 0; i < ctx->num_callbacks && found == nullptr; i++) {
        const struct callback *cb = &ctx->callbacks[i];
        if (uri != nullptr ? cb->uri_regex != nullptr && cb->is_auth == is_auth &&
                                 match_regex(uri, cb->uri_regex)
                           : cb->status_code == 0 || cb->status_code == status_code)
            found = cb;
    }
    pthread_mutex_unlock(&ctx->callback_mutex);
    return found;
}

void
qf_set_uri_callback(struct qf_context *ctx, const char *uri_regex, qf_callback_t func,
                    void *user_data)
{
    assert(uri_regex != NULL);
    add_callback(ctx, uri_regex, -1, func, false, user_data);
}

void
qf_set_auth_callback(struct qf_context *ctx, const char *uri_regex, qf_callback_t func,
                     void *user_data)
{
    assert(uri_regex != NULL);
    add_callback(ctx, uri_regex, -1, func, true, user_data);
}

void
qf_set_error_callback(struct qf_context *ctx, int error_code, qf_callback_t func,
                      void *user_data)
{
    assert(error_code >= 0 && error_code < 1000);
    add_callback(ctx, nullptr, error_code, func, false, user_data);
}

/* Kept as a real path so that a root, an alias or a link that leads into
 * the directory is recognised however it is spelled. */
bool
qf_set_panel_directory(struct qf_context *ctx, const char *dir)
{
    char real[PATH_MAX];

    static_assert(sizeof(real) <= sizeof(ctx->panel_dir), "a real path fits panel_dir");
    real[0] = '\0';
    if (dir != nullptr && dir[0] != '\0' && realpath(dir, real) == nullptr) {
        cry(fc(ctx), "%s: %s: %s", "qf_set_panel_directory", dir, strerror(errno));
        return false;
    }
    pthread_mutex_lock(&ctx->callback_mutex);
    qf_strlcpy(ctx->panel_dir, real, sizeof(ctx->panel_dir));
    pthread_mutex_unlock(&ctx->callback_mutex);
    return true;
}

bool
in_panel_directory(struct qf_context *ctx, const char *path)
{
    char real[PATH_MAX];

    pthread_mutex_lock(&ctx->callback_mutex);
    bool none = ctx->panel_dir[0] == '\0';
    pthread_mutex_unlock(&ctx->callback_mutex);
    if (none)
        return false; /* spares every request the look-up */
    if (realpath(path, real) == nullptr)
        return true;

    pthread_mutex_lock(&ctx->callback_mutex);
    size_t n = strlen(ctx->panel_dir);
    bool inside = n > 0 && strncmp(real, ctx->panel_dir, n) == 0 &&
                  (real[n] == '\0' || real[n] == '/' || ctx->panel_dir[n - 1] == '/');
    pthread_mutex_unlock(&ctx->callback_mutex);
    return inside;
}

qf_panel_post_hook panel_post_hook;
qf_panel_page_hook panel_page_hook;

void
qf_set_panel_hooks(qf_panel_post_hook post, qf_panel_page_hook is_page)
{
    panel_post_hook = post;
    panel_page_hook = is_page;
}
