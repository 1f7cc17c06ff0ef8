/* server/front/main.cpp: the command line, configuration file, banner, and the signals that stop, reload and reopen. */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

#include "auth/auth.h"
#include "panel/panel.h"
#include "server/config.h"
#include "server/server.h"

/* Bound of the default configuration file's path. */
enum { CONFIG_PATH_SIZE = 4096 };

static const char CONFIG_FILE_NAME[] = "quillfen.conf";

static void signal_handler(int sig);
static void qf_show_usage_string(FILE *stream);
[[noreturn]] static void show_usage_and_exit(void);
[[noreturn]] static void run_password_mode(char *argv[]);
static const char *find_config_file(int argc, char *argv[], char *buf, size_t size,
                                    struct qf_context *ctx, bool *named);
static void load_config_file(struct qf_context *ctx, const char *path, bool named);
static void apply_command_line(struct qf_context *ctx, int argc, char *argv[]);
static void check_root_or_exit(struct qf_context *ctx);
static int wait_for_stop(struct qf_context *ctx, const sigset_t *signals,
                         const struct config_source *src);
static void reload(struct qf_context *ctx, const struct config_source *src);

/* Reaps every finished child (CGI programs among them) so none lingers as
 * a zombie. The signals that stop, reload and reopen have no handler: the
 * main thread takes them with sigwaitinfo. */
static void
signal_handler(int sig)
{
    (void) sig;
    int saved_errno = errno;
    int status;
    while (waitpid(-1, &status, WNOHANG) > 0)
        ;
    errno = saved_errno;
}

/* The two heading lines always go to standard error; the option list goes
 * to stream. */
static void
qf_show_usage_string(FILE *stream)
{
    fprintf(stderr, "Quillfen version %s\n", qf_version());
    fprintf(stderr, "usage: quillfen [options] [config_file]\n");
    fprintf(stream, "  -A <htpasswd_file> <realm> <user> <passwd>\n");
    for (const struct qf_option *opt = known_options; opt->name != nullptr; opt++) {
        fprintf(stream, "  -%s\t%s", opt->name, opt->description);
        if (opt->default_value != nullptr)
            fprintf(stream, " (default: \"%s\")", opt->default_value);
        fputc('\n', stream);
    }
}

static void
show_usage_and_exit(void)
{
    qf_show_usage_string(stderr);
    exit(1);
}

static struct qf_context *
start_or_exit(void)
{
    struct qf_context *ctx = qf_start();
    if (ctx == nullptr) {
        printf("Cannot initialize Quillfen context\n");
        exit(1);
    }
    return ctx;
}

/* -A <htpasswd_file> <realm> <user> <passwd>: one change to a password file,
 * then exit with its result. */
static void
run_password_mode(char *argv[])
{
    struct qf_context *ctx = start_or_exit();
    qf_set_option(ctx, "auth_realm", argv[3]);
    int status = qf_modify_passwords_file(ctx, argv[2], argv[4], argv[5]);
    qf_stop(ctx);
    exit(status);
}

/* The context whose error log takes the panel's reports. */
static struct qf_context *panel_report_ctx;

static void
report_to_error_log(const char *message)
{
    cry(fc(panel_report_ctx), "%s", message);
}

/* Options come in "-name value" pairs; the first argument without a '-' is
 * the configuration file and must be the last. Without one, the default file
 * sits beside the program (or in the working directory when the program was
 * found through PATH). */
static const char *
find_config_file(int argc, char *argv[], char *buf, size_t size, struct qf_context *ctx,
                 bool *named)
{
    int i = 1;
    while (i < argc && argv[i][0] == '-') {
        if (i + 1 >= argc)
            show_usage_and_exit();
        i += 2;
    }
    if (i < argc) {
        if (i != argc - 1)
            show_usage_and_exit();
        *named = true;
        return argv[i];
    }

    *named = false;
    const char *slash = strrchr(argv[0], '/');
    if (slash == nullptr)
        return CONFIG_FILE_NAME;
    qf_snprintf(fc(ctx), buf, size, "%.*s%s", (int) (slash - argv[0] + 1), argv[0],
                CONFIG_FILE_NAME);
    return buf;
}

/* qf_set_option has logged why it refused. */
static bool
apply_config_option(void *ctx, const char *name, const char *value)
{
    return qf_set_option((struct qf_context *) ctx, name, value) == 1;
}

static void
load_config_file(struct qf_context *ctx, const char *path, bool named)
{
    FILE *fp = fopen(path, "r");
    if (fp == nullptr) {
        if (!named)
            return;
        fprintf(stderr, "cannot open config file %s: %s\n", path, strerror(errno));
        exit(1);
    }
    printf("Loading config file %s\n", path);

    int line_no = 0;
    switch (read_config_lines(fp, apply_config_option, ctx, &line_no)) {
    case CONFIG_INVALID:
        fprintf(stderr, "%s: line %d is invalid\n", path, line_no);
        exit(1);
    case CONFIG_REFUSED:
        exit(1);
    case CONFIG_OK:
        break;
    }
    fclose(fp);
}

/* A root that is not a directory would answer every request with 404;
 * better to say so now, once. */
static void
check_root_or_exit(struct qf_context *ctx)
{
    struct qfstat st;
    const char *root = qf_get_option(ctx, "root");
    if (root != nullptr && qf_stat(root, &st) == 0 && st.is_directory)
        return;
    fprintf(stderr, "quillfen: root %s is not a directory\n", root != nullptr ? root : "(none)");
    exit(1);
}

/* The same steps as the start, the file read again; systemd hears of it
 * when it listens. */
static void
reload(struct qf_context *ctx, const struct config_source *src)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned long long usec = (unsigned long long) now.tv_sec * 1000000ULL +
                              (unsigned long long) now.tv_nsec / 1000;
    sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu", usec);
    (void) qf_reload_config(ctx, src);
    sd_notify(0, "READY=1");
}

/* Takes the blocked signals one at a time until one asks to stop: SIGHUP
 * reads the configuration again, SIGUSR1 reopens the logs (both on this
 * thread, never in a handler). Returns the number of the stop signal. */
static int
wait_for_stop(struct qf_context *ctx, const sigset_t *signals, const struct config_source *src)
{
    for (;;) {
        int sig = sigwaitinfo(signals, nullptr);
        if (sig == SIGHUP)
            reload(ctx, src);
        else if (sig == SIGUSR1)
            qf_reopen_logs(ctx);
        else if (sig == SIGTERM || sig == SIGINT)
            return sig;
    }
}

/* Applied after the file, so the command line wins. */
static void
apply_command_line(struct qf_context *ctx, int argc, char *argv[])
{
    for (int i = 1; i + 1 < argc && argv[i][0] == '-'; i += 2)
        if (qf_set_option(ctx, argv[i] + 1, argv[i + 1]) != 1)
            exit(1);
}

/* The command line's pairs, for a reload to apply over the file again. */
static std::vector<config_setting>
command_line_settings(int argc, char *argv[])
{
    std::vector<config_setting> out;
    for (int i = 1; i + 1 < argc && argv[i][0] == '-'; i += 2)
        out.push_back({0, argv[i] + 1, argv[i + 1]});
    return out;
}

/* A reload may come after the working directory's meaning is long
 * forgotten: keep the file's absolute name. */
static std::string
absolute_path(const char *path)
{
    char cwd[CONFIG_PATH_SIZE];
    if (path[0] == '/' || getcwd(cwd, sizeof(cwd)) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

int
main(int argc, char *argv[])
{
    /* Help and the password file need no product directory. */
    if (argc > 1 && strncmp(argv[1], "-A", 2) == 0) {
        if (argc != 6)
            show_usage_and_exit();
        run_password_mode(argv);
    }
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0))
        show_usage_and_exit();

    /* Every thread, the panel's among them, inherits a mask without these,
     * so that they wait for this thread's sigwaitinfo: a thread asleep in a
     * long wait could otherwise take one and leave it unseen (sanitizer
     * runtimes hold a signal until its thread wakes). Programs the server
     * starts get an empty mask back. */
    sigset_t control_signals;
    sigemptyset(&control_signals);
    sigaddset(&control_signals, SIGTERM);
    sigaddset(&control_signals, SIGINT);
    sigaddset(&control_signals, SIGHUP);
    sigaddset(&control_signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &control_signals, nullptr);

    drevanta_main();

    signal(SIGCHLD, signal_handler);

    struct qf_context *ctx = start_or_exit();
    panel_report_ctx = ctx;
    panelErrorReport = report_to_error_log;
    /* Before any port opens: the panel's files answer only to our own names. */
    if (!qf_set_panel_directory(ctx, pcGlobDrevantaBin))
        exit(1);
    qf_set_panel_hooks(drevanta_analyzePost, drevanta_isPanelPage);

    struct config_source src;
    src.start_values = current_settings(ctx);
    src.command_line = command_line_settings(argc, argv);

    char default_path[CONFIG_PATH_SIZE];
    bool named = false;
    const char *config = find_config_file(argc, argv, default_path, sizeof(default_path), ctx,
                                          &named);
    std::string config_path = absolute_path(config);
    src.path = config_path.c_str();
    src.named = named;
    load_config_file(ctx, config, named);
    apply_command_line(ctx, argc, argv);

    if (qf_get_option(ctx, "ports") == nullptr && qf_set_option(ctx, "ports", "8080") != 1)
        exit(1);
    check_root_or_exit(ctx);

    /* Under the options' locks: a request may already be changing them. */
    lock_option(ctx, OPT_PORTS);
    lock_option(ctx, OPT_ROOT);
    printf("Quillfen %s started on port(s) [%s], serving directory [%s]\n", qf_version(),
           qf_get_option(ctx, "ports"), qf_get_option(ctx, "root"));
    fflush(stdout);
    unlock_option(ctx, OPT_ROOT);
    unlock_option(ctx, OPT_PORTS);

    /* Every listener is bound and the certificate loaded: systemd (when
     * it started us with a NOTIFY_SOCKET) may now count us as started. */
    sd_notify(0, "READY=1");
    int sig = wait_for_stop(ctx, &control_signals, &src);
    sd_notify(0, "STOPPING=1");

    printf("Exiting on signal %d, waiting for all threads to finish...", sig);
    fflush(stdout);
    panelErrorReport = nullptr;
    qf_stop(ctx);
    printf(" done.\n");
    return 0;
}
