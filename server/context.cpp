/* server/context.cpp: the option table, start, stop, tear-down, and the list and log setters. */
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <fcntl.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "http/http.h"

static bool start_listener_thread(struct qf_context *ctx);
static void release_stream(FILE *fp);
static bool apply_defaults(struct qf_context *ctx);
static void set_default_root(struct qf_context *ctx);

/* Every option is a row; its order is the order of the usage text and the
 * administration page. The descriptions of root, uid and acl start with a
 * tab so that they line up after the short names. */
const struct qf_option known_options[] = {
    {"root", "\tWeb root directory", nullptr, OPT_ROOT, nullptr},
    {"index_files", "Index files", "index.html,index.htm,index.cgi", OPT_INDEX_FILES, nullptr},
    {"ssl_cert", "SSL certificate file", nullptr, OPT_SSL_CERTIFICATE, set_ssl_option},
    {"ports", "Listening ports", nullptr, OPT_PORTS, set_ports_option},
    {"dir_list", "Directory listing", "yes", OPT_DIR_LIST, nullptr},
    {"protect", "URI to htpasswd mapping", nullptr, OPT_PROTECT, set_kv_list_option},
    {"cgi_ext", "CGI extensions", ".cgi,.pl,.php", OPT_CGI_EXTENSIONS, nullptr},
    {"cgi_interp", "CGI interpreter to use with all CGI scripts", nullptr, OPT_CGI_INTERPRETER,
     nullptr},
    {"cgi_env", "Custom CGI enviroment variables", nullptr, OPT_CGI_ENV, set_kv_list_option},
    {"ssi_ext", "SSI extensions", ".shtml,.shtm", OPT_SSI_EXTENSIONS, nullptr},
    {"auth_realm", "Authentication domain name", "example.com", OPT_AUTH_DOMAIN, nullptr},
    {"auth_gpass", "Global passwords file", nullptr, OPT_AUTH_GPASSWD, set_gpass_option},
    {"auth_PUT", "PUT,DELETE auth file", nullptr, OPT_AUTH_PUT, nullptr},
    {"uid", "\tRun as user", nullptr, OPT_UID, set_uid_option},
    {"access_log", "Access log file", nullptr, OPT_ACCESS_LOG, set_alog_option},
    {"error_log", "Error log file", nullptr, OPT_ERROR_LOG, set_elog_option},
    {"aliases", "Path=URI mappings", nullptr, OPT_ALIASES, set_kv_list_option},
    {"admin_uri", "Administration page URI", nullptr, OPT_ADMIN_URI, set_admin_uri_option},
    {"acl", "\tAllow/deny IP addresses/subnets", nullptr, OPT_ACL, set_acl_option},
    {"max_threads", "Maximum simultaneous threads to spawn", "100", OPT_MAX_THREADS,
     set_max_threads_option},
    {"idle_time", "Time in seconds connection stays idle", "10", OPT_IDLE_TIME, nullptr},
    {"mime_types", "Comma separated list of ext=mime_type pairs", nullptr, OPT_MIME_TYPES,
     set_kv_list_option},
    {"server_names", "Comma-separated host names the panel and administration page answer to",
     nullptr, OPT_SERVER_NAMES, set_server_names_option},
    {nullptr, nullptr, nullptr, 0, nullptr},
};

/* getcwd needs a bound; no sane document root is longer. */
enum { ROOT_PATH_SIZE = 4096 };

const char *
qf_version(void)
{
    return "2.8";
}

const struct qf_option *
find_opt(const char *name)
{
    if (name == nullptr)
        return nullptr;
    for (const struct qf_option *opt = known_options; opt->name != nullptr; opt++)
        if (strcmp(opt->name, name) == 0)
            return opt;
    return nullptr;
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

/* Standard error belongs to the process, not to the context: dropping it
 * from a slot must not close descriptor 2. */
static void
release_stream(FILE *fp)
{
    if (fp != nullptr && fp != stderr && fp != stdout)
        fclose(fp);
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

/* The lines the setter now running on this thread has logged, kept for
 * the reason of a refusal; null while no setter runs. */
static thread_local std::string *setter_lines;
/* Why the last value refused on this thread was refused. */
static thread_local std::string last_refusal;

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

/* Runs the option's setter and stores a copy of value once the setter took
 * it. A refused value changes nothing: the previous value stays in force
 * and stored, so what is shown is what is applied. Returns -1 for an
 * unknown name, else 1 for success and 0 for a refusal, whose reason
 * qf_last_refusal then tells. */
int
qf_set_option(struct qf_context *ctx, const char *name, const char *value)
{
    const struct qf_option *opt = find_opt(name);
    if (opt == nullptr) {
        cry(fc(ctx), "%s: No such option: [%s]", "qf_set_option",
            name != nullptr ? name : "(null)");
        return -1;
    }

    std::string lines;
    lock_option_for_change(ctx, opt->index);
    setter_lines = &lines;
    int result = opt->setter != nullptr ? (int) opt->setter(ctx, value) : 1;
    setter_lines = nullptr;
    if (result != 0) {
        free(ctx->options[opt->index]);
        ctx->options[opt->index] = qf_strdup(value);
    }
    unlock_option(ctx, opt->index);

    if (result == 0) {
        cry(fc(ctx), "%s(%s): failure", "qf_set_option", opt->name);
        last_refusal = !lines.empty() ? lines : "qf_set_option(" + std::string(opt->name) + "): failure";
    }
    return result;
}

/* Takes no lock: the text stays valid only until the option is next set. */
const char *
qf_get_option(const struct qf_context *ctx, const char *name)
{
    const struct qf_option *opt = find_opt(name);
    return opt != nullptr ? ctx->options[opt->index] : nullptr;
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
