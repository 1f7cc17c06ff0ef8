/* cgi/ssi.cpp: pages with server-side include directives: the tag scanner, include and exec. */
#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cgi/cgi.h"

static FILE *open_for_include(const char *path);
static void do_include(struct qf_connection *conn, const char *path, const char *args,
                       int include_level);
static void do_exec(struct qf_connection *conn, const char *args);
static void do_directive(struct qf_connection *conn, const char *path, const char *tag,
                         int include_level);

/* Page text waiting to be written, or the tag being collected; also the
 * size of a directive's name or command. */
enum { SSI_BUF_SIZE = 8192 };

/* A tag still open at this length is dropped: the '>' that may end it and
 * the NUL the directive parser puts behind it must still fit. */
enum { SSI_MAX_TAG_LEN = SSI_BUF_SIZE - 2 };

/* Include paths; the same bound as the dispatcher's path buffer. */
enum { SSI_PATH_SIZE = 4096 };

/* Every byte of a directive tag fits a name: the forms below read at most
 * this many characters. */
static_assert(SSI_BUF_SIZE == 8192, "the scanf widths below say 8191");

static const char DIRECTIVE_START[] = "<!--#";
enum { DIRECTIVE_START_LEN = sizeof(DIRECTIVE_START) - 1 };

/* Opened close-on-exec at once: a CGI program started by another worker
 * must not inherit it. */
static FILE *
open_for_include(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    FILE *fp = fdopen(fd, "rb");
    if (fp == nullptr) {
        int saved = errno;
        (void) close(fd);
        errno = saved;
    }
    return fp;
}

enum ssi_include_form
ssi_include_form(const char *args, char *name)
{
    if (sscanf(args, " virtual=\"%8191[^\"]\"", name) == 1)
        return SSI_INCLUDE_VIRTUAL;
    if (sscanf(args, " file=\"%8191[^\"]\"", name) == 1)
        return SSI_INCLUDE_FILE;
    if (sscanf(args, " \"%8191[^\"]\"", name) == 1)
        return SSI_INCLUDE_RELATIVE;
    return SSI_INCLUDE_BAD;
}

void
ssi_include_path(struct qf_connection *conn, enum ssi_include_form form, const char *name,
                 const char *root, const char *page, char *file, size_t size)
{
    if (form == SSI_INCLUDE_VIRTUAL) {
        (void) qf_snprintf(conn, file, size, "%s/%s", root != nullptr ? root : "", name);
    } else if (form == SSI_INCLUDE_FILE) {
        (void) qf_snprintf(conn, file, size, "%s", name);
    } else {
        /* Relative to the including file's directory. */
        const char *slash = strrchr(page, '/');
        int dir_len = slash != nullptr ? (int) (slash - page) + 1 : 0;
        (void) qf_snprintf(conn, file, size, "%.*s%s", dir_len, page, name);
    }
}

bool
ssi_exec_command(const char *args, char *cmd)
{
    return sscanf(args, " \"%8191[^\"]\"", cmd) == 1;
}

enum ssi_command
ssi_command_of(const char *tag, const char **args)
{
    const char *word = tag + DIRECTIVE_START_LEN;

    if (strncmp(word, "include", 7) == 0) {
        *args = word + 7;
        return SSI_COMMAND_INCLUDE;
    }
    if (strncmp(word, "exec", 4) == 0) {
        *args = word + 4;
        return SSI_COMMAND_EXEC;
    }
    *args = word;
    return SSI_COMMAND_UNKNOWN;
}

/* args is the tag after the word "include", '>' included. */
static void
do_include(struct qf_connection *conn, const char *path, const char *args, int include_level)
{
    struct qf_context *ctx = conn->ctx;
    char name[SSI_BUF_SIZE];
    char file[SSI_PATH_SIZE];

    enum ssi_include_form form = ssi_include_form(args, name);
    if (form == SSI_INCLUDE_BAD) {
        cry(conn, "Bad SSI #include: [%s]", args);
        return;
    }
    if (form == SSI_INCLUDE_VIRTUAL) {
        lock_option(ctx, OPT_ROOT);
        ssi_include_path(conn, form, name, ctx->options[OPT_ROOT], path, file, sizeof(file));
        unlock_option(ctx, OPT_ROOT);
    } else {
        ssi_include_path(conn, form, name, nullptr, path, file, sizeof(file));
    }

    FILE *fp = open_for_include(file);
    if (fp == nullptr) {
        cry(conn, "Cannot open SSI #include: [%s]: fopen(%s): %s", args, file, strerror(errno));
        return;
    }

    lock_option(ctx, OPT_SSI_EXTENSIONS);
    bool nested = match_extension(file, ctx->options[OPT_SSI_EXTENSIONS]);
    unlock_option(ctx, OPT_SSI_EXTENSIONS);

    if (nested)
        send_ssi_file(conn, file, fp, include_level + 1);
    else
        send_opened_file_stream(conn, fp, UINT64_MAX);
    fclose(fp);
}

/* args is the tag after the word "exec". The command runs through the
 * shell with the server's environment and working directory. */
static void
do_exec(struct qf_connection *conn, const char *args)
{
    char cmd[SSI_BUF_SIZE];

    if (!ssi_exec_command(args, cmd)) {
        cry(conn, "Bad SSI #exec: [%s]", args);
        return;
    }
    int out = -1;
    pid_t pid = spawn_shell(cmd, &out);
    FILE *fp = pid < 0 ? nullptr : fdopen(out, "r");
    if (fp == nullptr) {
        cry(conn, "Cannot SSI #exec: [%s]: %s", cmd, strerror(errno));
        if (pid >= 0) {
            close(out);
            (void) waitpid(pid, nullptr, 0);
        }
        return;
    }
    send_opened_file_stream(conn, fp, UINT64_MAX);
    fclose(fp);
    (void) waitpid(pid, nullptr, 0); /* ECHILD when the SIGCHLD handler reaped it first */
}

static void
do_directive(struct qf_connection *conn, const char *path, const char *tag, int include_level)
{
    const char *args;

    switch (ssi_command_of(tag, &args)) {
    case SSI_COMMAND_INCLUDE:
        do_include(conn, path, args, include_level);
        break;
    case SSI_COMMAND_EXEC:
        do_exec(conn, args);
        break;
    case SSI_COMMAND_UNKNOWN:
        cry(conn, "%s: unknown SSI command: \"%s\"", log_escaped(path).c_str(), tag);
        break;
    }
}

void
ssi_scan(FILE *fp, const struct ssi_sink *sink)
{
    char buf[SSI_BUF_SIZE];
    int len = 0;
    bool in_tag = false;
    int ch;

    while ((ch = getc(fp)) != EOF) {
        if (in_tag && ch == '>') {
            buf[len++] = (char) ch;
            if (len > DIRECTIVE_START_LEN && memcmp(buf, DIRECTIVE_START, DIRECTIVE_START_LEN) == 0) {
                buf[len] = '\0';
                sink->directive(sink->arg, buf, len);
            } else {
                sink->text(sink->arg, buf, len);
            }
            len = 0;
            in_tag = false;
        } else if (in_tag) {
            /* Five characters decide whether the tag may be a directive. */
            if (len == DIRECTIVE_START_LEN && memcmp(buf, DIRECTIVE_START, DIRECTIVE_START_LEN) != 0) {
                in_tag = false;
            } else if (len == SSI_MAX_TAG_LEN) {
                sink->tag_too_large(sink->arg);
                len = 0;
            }
            buf[len++] = (char) ch;
        } else if (ch == '<') {
            if (len > 0)
                sink->text(sink->arg, buf, len);
            buf[0] = (char) ch;
            len = 1;
            in_tag = true;
        } else {
            buf[len++] = (char) ch;
            if (len == (int) sizeof(buf)) {
                sink->text(sink->arg, buf, len);
                len = 0;
            }
        }
        assert(len <= (int) sizeof(buf));
    }

    if (len > 0)
        sink->text(sink->arg, buf, len);
}

/* What send_ssi_file hands its scanner: the page, its include depth and
 * the connection that receives it. */
struct ssi_page {
    struct qf_connection *conn;
    const char *path;
    int include_level;
};

/* Copies the rest of fp to the client, a directive's result in place of
 * each directive. Nothing found wrong reaches the client: it goes to the
 * error log and the page goes on. */
void
send_ssi_file(struct qf_connection *conn, const char *path, FILE *fp, int include_level)
{
    if (include_level > SSI_MAX_INCLUDE_LEVEL) {
        cry(conn, "SSI #include level is too deep (%s)", log_escaped(path).c_str());
        return;
    }

    struct ssi_page page = {conn, path, include_level};
    struct ssi_sink sink;
    sink.text = [](void *arg, const char *p, int len) {
        (void) qf_write(((struct ssi_page *) arg)->conn, p, len);
    };
    sink.directive = [](void *arg, const char *tag, int) {
        const struct ssi_page *pg = (const struct ssi_page *) arg;
        do_directive(pg->conn, pg->path, tag, pg->include_level);
    };
    sink.tag_too_large = [](void *arg) {
        const struct ssi_page *pg = (const struct ssi_page *) arg;
        cry(pg->conn, "%s: SSI tag is too large", log_escaped(pg->path).c_str());
    };
    sink.arg = &page;
    ssi_scan(fp, &sink);
}
