/* server/front/main.cpp: the command line, configuration file, banner and wait for a signal. */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "auth/auth.h"
#include "panel/panel.h"
#include "server/config.h"
#include "server/server.h"

/* Bound of the default configuration file's path. */
enum { CONFIG_PATH_SIZE = 4096 };

static const char CONFIG_FILE_NAME[] = "quillfen.conf";

/* Written only by signal_handler, read by the main thread once a second:
 * the number of the signal that asked for exit, 0 until then. */
static volatile sig_atomic_t exit_flag;

static void signal_handler(int sig);
static void qf_show_usage_string(FILE *stream);
[[noreturn]] static void show_usage_and_exit(void);
[[noreturn]] static void run_password_mode(char *argv[]);
static const char *find_config_file(int argc, char *argv[], char *buf, size_t size,
                                    struct qf_context *ctx, bool *named);
static void load_config_file(struct qf_context *ctx, const char *path, bool named);
static void apply_command_line(struct qf_context *ctx, int argc, char *argv[]);

/* Reaps every finished child (CGI programs among them) so none lingers as
 * a zombie; any other signal asks the main loop to stop. */
static void
signal_handler(int sig)
{
    if (sig == SIGCHLD) {
        int saved_errno = errno;
        int status;
        while (waitpid(-1, &status, WNOHANG) > 0)
            ;
        errno = saved_errno;
    } else {
        exit_flag = sig;
    }
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

/* Applied after the file, so the command line wins. */
static void
apply_command_line(struct qf_context *ctx, int argc, char *argv[])
{
    for (int i = 1; i + 1 < argc && argv[i][0] == '-'; i += 2)
        if (qf_set_option(ctx, argv[i] + 1, argv[i + 1]) != 1)
            exit(1);
}

int
main(int argc, char *argv[])
{
    drevanta_main();

    if (argc > 1 && strncmp(argv[1], "-A", 2) == 0) {
        if (argc != 6)
            show_usage_and_exit();
        run_password_mode(argv);
    }
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0))
        show_usage_and_exit();

    signal(SIGCHLD, signal_handler);
    signal(SIGTERM, signal_handler);
    signal(SIGINT, signal_handler);

    /* The server's threads inherit a mask without the stop signals, so that
     * they reach this thread, which waits for them: a thread asleep in a
     * long wait could otherwise take one and leave it unseen (sanitizer
     * runtimes hold a signal until its thread wakes). */
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    struct qf_context *ctx = start_or_exit();
    panel_report_ctx = ctx;
    panelErrorReport = report_to_error_log;
    /* Before any port opens: the panel's files answer only to our own names. */
    if (!qf_set_panel_directory(ctx, pcGlobDrevantaBin))
        exit(1);

    char default_path[CONFIG_PATH_SIZE];
    bool named = false;
    const char *config = find_config_file(argc, argv, default_path, sizeof(default_path), ctx,
                                          &named);
    load_config_file(ctx, config, named);
    apply_command_line(ctx, argc, argv);

    if (qf_get_option(ctx, "ports") == nullptr && qf_set_option(ctx, "ports", "8080") != 1)
        exit(1);

    /* Under the options' locks: a request may already be changing them. */
    lock_option(ctx, OPT_PORTS);
    lock_option(ctx, OPT_ROOT);
    printf("Quillfen %s started on port(s) [%s], serving directory [%s]\n", qf_version(),
           qf_get_option(ctx, "ports"), qf_get_option(ctx, "root"));
    fflush(stdout);
    unlock_option(ctx, OPT_ROOT);
    unlock_option(ctx, OPT_PORTS);

    pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
    while (exit_flag == 0)
        sleep(1);

    printf("Exiting on signal %d, waiting for all threads to finish...", (int) exit_flag);
    fflush(stdout);
    panelErrorReport = nullptr;
    qf_stop(ctx);
    printf(" done.\n");
    return 0;
}
