/* cgi/cgi.cpp: running a CGI program: its environment, the child process, the body passed on and the answer relayed. */
#include <arpa/inet.h>
#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "cgi/cgi.h"

/* Everything the child needs, prepared before fork: another thread may
 * hold any lock at the moment of fork, so the child reads no option and
 * logs without the error log's locks. */
struct child_setup {
    const char *prog;   /* file name, relative to dir */
    const char *dir;
    const char *interp; /* "" when no interpreter is set */
    char **envp;
    int fd_stdin;
    int fd_stdout;
    int log_fd;         /* own copy of the error log's descriptor, or -1 */
    const char *client; /* dotted address, for the log line */
    const char *method;
    const char *uri;
};

static const char *or_empty(const char *text);
static int above_standard_fds(int fd);
static void child_cry(const struct child_setup *cs, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
[[noreturn]] static void run_child(const struct child_setup *cs);
static int elapsed_ms(const struct timespec *since);
static int read_output(struct qf_connection *conn, int fd, char *buf, int len, int timeout_ms);
static bool relay_piece(struct qf_connection *conn, const char *p, int n);
static void end_program(pid_t pid);
static void close_fd(int *fd);


/* After the exchange send_cgi reaps the program itself for this long; one
 * that ignores SIGTERM is left to the front end's SIGCHLD handler. */
static const int REAP_WAIT_MS = 1000;

/* Header block of the program's answer, and one piece of its body. */
enum { CGI_BUF_SIZE = 8192 };

/* Script paths come from the dispatcher's 4096-byte path buffer. */
enum { CGI_PATH_SIZE = 4096 };

/* Longest line the child writes to the error log, as cry cuts its lines. */
enum { CHILD_LOG_LINE_SIZE = 8192 };

static const char *
or_empty(const char *text)
{
    return text != nullptr ? text : "";
}

/* Formats one NAME=value text behind the texts already stored and keeps it
 * when it fits. Returns where it was formatted, stored or not; with no room
 * left nothing is formatted there. */
char *
addenv(struct cgi_env_block *blk, const char *fmt, ...)
{
    int space = CGI_ENV_ROOM - blk->len;
    assert(space >= 0);

    char *added = blk->buf + blk->len;
    va_list ap;
    va_start(ap, fmt);
    int n = qf_vsnprintf(blk->conn, added, (size_t) space, fmt, ap);
    va_end(ap);

    /* A text cut to the room is still stored; later ones find none. */
    if (n > 0 && n < space && blk->nvars < CGI_ENV_STORED_MAX) {
        blk->vars[blk->nvars++] = added;
        blk->len += n + 1;
    }
    return added;
}

void
prepare_cgi_environment(struct qf_connection *conn, const char *prog, struct cgi_env_block *blk)
{
    struct qf_context *ctx = conn->ctx;
    const struct qf_request_info *ri = &conn->request_info;
    char addr[QF_ADDRSTRLEN];
    const char *s;

    blk->conn = conn;
    blk->len = 0;
    blk->nvars = 0;

    lock_option(ctx, OPT_AUTH_DOMAIN);
    addenv(blk, "SERVER_NAME=%s", or_empty(ctx->options[OPT_AUTH_DOMAIN]));
    unlock_option(ctx, OPT_AUTH_DOMAIN);
    addenv(blk, "%s", "GATEWAY_INTERFACE=CGI/1.1");
    addenv(blk, "%s", "SERVER_PROTOCOL=HTTP/1.1");
    addenv(blk, "%s", "REDIRECT_STATUS=200"); /* PHP refuses to run without it */
    addenv(blk, "SERVER_PORT=%d", (int) ntohs(conn->client.lsa.u.sin.sin_port));

    /* The root text must outlive SCRIPT_NAME, which points into prog behind it. */
    lock_option(ctx, OPT_ROOT);
    const char *root = or_empty(ctx->options[OPT_ROOT]);
    addenv(blk, "SERVER_ROOT=%s", root);
    addenv(blk, "DOCUMENT_ROOT=%s", root);
    addenv(blk, "REQUEST_METHOD=%s", or_empty(ri->request_method));
    qf_address_text(&conn->client.rsa, addr, sizeof(addr));
    addenv(blk, "REMOTE_ADDR=%s", addr);
    addenv(blk, "REMOTE_PORT=%d", ri->remote_port);
    addenv(blk, "REQUEST_URI=%s", or_empty(ri->uri));
    /* An aliased script may sit on a path shorter than the root. */
    size_t root_len = strlen(root);
    size_t prog_len = strlen(prog);
    addenv(blk, "SCRIPT_NAME=%s", prog + (root_len < prog_len ? root_len : prog_len));
    unlock_option(ctx, OPT_ROOT);

    s = strrchr(prog, '/');
    addenv(blk, "SCRIPT_FILENAME=%s", s != nullptr ? s + 1 : prog);
    addenv(blk, "PATH_TRANSLATED=%s", prog);
    addenv(blk, "HTTPS=%s", conn->ssl != nullptr ? "on" : "off");

    if ((s = get_header(ri, "Content-Type")) != nullptr)
        addenv(blk, "CONTENT_TYPE=%s", s);
    if (ri->query_string != nullptr)
        addenv(blk, "QUERY_STRING=%s", ri->query_string);
    if ((s = get_header(ri, "Content-Length")) != nullptr)
        addenv(blk, "CONTENT_LENGTH=%s", s);
    else if (conn->owns_post_data)
        addenv(blk, "CONTENT_LENGTH=%d", ri->post_data_len); /* a chunked body, decoded */
    if ((s = getenv("PATH")) != nullptr)
        addenv(blk, "PATH=%s", s);
    if ((s = getenv("LD_LIBRARY_PATH")) != nullptr)
        addenv(blk, "LD_LIBRARY_PATH=%s", s);
    if ((s = getenv("PERLLIB")) != nullptr)
        addenv(blk, "PERLLIB=%s", s);
    if (ri->remote_user != nullptr) {
        addenv(blk, "REMOTE_USER=%s", ri->remote_user);
        addenv(blk, "%s", "AUTH_TYPE=Digest");
    }

    /* Accept-Language: de becomes HTTP_ACCEPT_LANGUAGE=de; the value stays. */
    for (int i = 0; i < ri->num_headers; i++) {
        bool formatted = blk->len < CGI_ENV_ROOM;
        char *p = addenv(blk, "HTTP_%s=%s", ri->http_headers[i].name, ri->http_headers[i].value);
        for (; formatted && *p != '\0' && *p != '='; p++)
            *p = *p == '-' ? '_' : (char) toupper((unsigned char) *p);
    }

    lock_option(ctx, OPT_CGI_ENV);
    struct vec item;
    const char *list = ctx->options[OPT_CGI_ENV];
    while ((list = next_option(list, &item, nullptr)) != nullptr)
        addenv(blk, "%.*s", (int) item.len, item.ptr);
    unlock_option(ctx, OPT_CGI_ENV);

    blk->vars[blk->nvars++] = nullptr;
    blk->buf[blk->len++] = '\0';

    assert(blk->nvars < (int) (sizeof(blk->vars) / sizeof(blk->vars[0])));
    assert(blk->len > 0);
    assert(blk->len < (int) sizeof(blk->buf));
}

/* A pipe end that landed on 0, 1 or 2 (the server may run with some of
 * them closed) is moved above them, so that dup2 onto one standard
 * descriptor never overwrites the other pipe end. */
static int
above_standard_fds(int fd)
{
    if (fd > STDERR_FILENO)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    return moved >= 0 ? moved : fd;
}

/* The child's error-log line, in the layout of the built-in writer,
 * written straight to the descriptor: the stream and its locks belong to
 * the server's threads. */
static void
child_cry(const struct child_setup *cs, const char *fmt, ...)
{
    char line[CHILD_LOG_LINE_SIZE];
    size_t room = sizeof(line) - 1; /* the line feed always fits */

    int n = snprintf(line, room, "[%010lu] [error] [client %s] %s %s: ",
                     (unsigned long) time(nullptr), cs->client, cs->method, cs->uri);
    size_t len = n < 0 ? 0 : ((size_t) n < room ? (size_t) n : room - 1);
    /* The messages' own formats hold no byte that needs escaping, so the
     * whole message is escaped: its paths come from the request. */
    char msg[CHILD_LOG_LINE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    n = vsnprintf(msg, sizeof(msg), fmt, ap);
    va_end(ap);
    if (n > 0)
        len += log_escape(msg, (size_t) n < sizeof(msg) ? (size_t) n : sizeof(msg) - 1, line + len,
                          room - len);
    line[len++] = '\n';

    int fd = cs->log_fd >= 0 ? cs->log_fd : STDERR_FILENO;
    for (size_t done = 0; done < len;) {
        ssize_t w = write(fd, line + done, len - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += (size_t) w;
    }
}

/* The child: working directory, standard descriptors, program. Every pipe
 * end is close-on-exec, so the program inherits only its own two, as 0 and 1. */
[[noreturn]] static void
run_child(const struct child_setup *cs)
{
    if (chdir(cs->dir) != 0) {
        child_cry(cs, "%s: chdir(%s): %s", "spawn_process", cs->dir, strerror(errno));
        _exit(1);
    }
    int in = above_standard_fds(cs->fd_stdin);
    int out = above_standard_fds(cs->fd_stdout);
    if (dup2(in, STDIN_FILENO) < 0) {
        child_cry(cs, "%s: dup2(stdin, %d): %s", "spawn_process", cs->fd_stdin, strerror(errno));
        _exit(1);
    }
    if (dup2(out, STDOUT_FILENO) < 0) {
        child_cry(cs, "%s: dup2(stdout, %d): %s", "spawn_process", cs->fd_stdout,
                  strerror(errno));
        _exit(1);
    }
    if (cs->log_fd >= 0)
        (void) dup2(cs->log_fd, STDERR_FILENO);
    (void) close(in);
    (void) close(out);

    /* The server ignores SIGPIPE, blocks its stop signals in its threads
     * and raised its descriptor limit; a program expects the defaults and
     * the usual limit. */
    (void) signal(SIGPIPE, SIG_DFL);
    restore_child_state();

    if (cs->interp[0] != '\0') {
        execle(cs->interp, cs->interp, cs->prog, (char *) nullptr, cs->envp);
        child_cry(cs, "%s: execle(%s %s): %s", "spawn_process", cs->interp, cs->prog,
                  strerror(errno));
    } else {
        execle(cs->prog, cs->prog, (char *) nullptr, cs->envp);
        child_cry(cs, "%s: execle(%s): %s", "spawn_process", cs->prog, strerror(errno));
    }
    _exit(1);
}

/* Starts prog in dir with fd_stdin and fd_stdout as its standard input and
 * output. Returns the process id; both descriptors are then closed here.
 * On -1 the client has been answered and the descriptors are left open. */
pid_t
spawn_process(struct qf_connection *conn, const char *prog, char *envp[], int fd_stdin,
              int fd_stdout, const char *dir)
{
    struct qf_context *ctx = conn->ctx;
    char interp[CGI_PATH_SIZE];
    char client[QF_ADDRSTRLEN];

    lock_option(ctx, OPT_CGI_INTERPRETER);
    (void) qf_snprintf(conn, interp, sizeof(interp), "%s",
                       or_empty(ctx->options[OPT_CGI_INTERPRETER]));
    unlock_option(ctx, OPT_CGI_INTERPRETER);
    qf_address_text(&conn->client.rsa, client, sizeof(client));

    /* A private copy: the stream may be swapped by another thread at any time. */
    lock_log_streams();
    int log_fd = ctx->error_log != nullptr
                     ? fcntl(fileno(ctx->error_log), F_DUPFD_CLOEXEC, STDERR_FILENO + 1)
                     : -1;
    unlock_log_streams();

    /* Escaped as the error log escapes client text; the child cannot allocate. */
    std::string method(log_escaped(or_empty(conn->request_info.request_method)));
    std::string uri(log_escaped(or_empty(conn->request_info.uri)));
    struct child_setup cs = {prog, dir, interp, envp, fd_stdin, fd_stdout, log_fd, client,
                             method.c_str(), uri.c_str()};

    pid_t pid = fork();
    if (pid == 0)
        run_child(&cs);

    int fork_errno = errno;
    if (log_fd >= 0)
        (void) close(log_fd);
    if (pid < 0) {
        send_error(conn, 500, "Internal Server Error", "fork(): %s", strerror(fork_errno));
        return -1;
    }
    (void) close(fd_stdin);
    (void) close(fd_stdout);
    return pid;
}

static int
elapsed_ms(const struct timespec *since)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int) ((now.tv_sec - since->tv_sec) * 1000 + (now.tv_nsec - since->tv_nsec) / 1000000);
}

/* One read of the program's output. Returns the bytes read, 0 at its end,
 * -1 on an error or when nothing came for timeout_ms. */
static int
read_output(struct qf_connection *conn, int fd, char *buf, int len, int timeout_ms)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);

    for (;;) {
        int left = timeout_ms - elapsed_ms(&start);
        struct pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, left > 0 ? left : 0);
        if (ready < 0 && errno == EINTR) /* SIGCHLD of some program */
            continue;
        if (ready == 0) {
            cry(conn, "%s: CGI program sent nothing for %d ms", "relay_cgi_output", timeout_ms);
            return -1;
        }
        if (ready < 0)
            return -1;
        ssize_t n = read(fd, buf, (size_t) len);
        if (n < 0 && errno == EINTR)
            continue;
        return (int) n;
    }
}

/* Sends one piece of the body; false when the client took less. */
static bool
relay_piece(struct qf_connection *conn, const char *p, int n)
{
    int written = qf_write(conn, p, n);
    if (written > 0)
        conn->num_bytes_sent += (uint64_t) written;
    return written == n;
}

/* Whether the program's answer can keep the connection: it tells its
 * length (one Content-Length, read as a request's), says nothing of the
 * connection or of a coding itself, and has a status whose answer carries
 * that body. *declared gets the length. */
static bool
cgi_length_known(const struct qf_request_info *cgi_ri, int status, uint64_t *declared)
{
    int lengths = 0;
    const char *text = nullptr;
    if (status < 200 || status == 204 || status == 304)
        return false;
    for (int i = 0; i < cgi_ri->num_headers; i++) {
        const char *name = cgi_ri->http_headers[i].name;
        if (qf_strcasecmp(name, "Connection") == 0 || qf_strcasecmp(name, "Transfer-Encoding") == 0)
            return false;
        if (qf_strcasecmp(name, "Content-Length") == 0) {
            lengths++;
            text = cgi_ri->http_headers[i].value;
        }
    }
    return lengths == 1 && parse_content_length(text, declared);
}

void
relay_cgi_output(struct qf_connection *conn, int fd, int timeout_ms)
{
    char buf[CGI_BUF_SIZE];
    int nread = 0;
    int headers_len = 0;
    int n;

    /* The request reader's loop, with a bounded wait for each read. */
    while (nread < (int) sizeof(buf) && headers_len == 0 &&
           (n = read_output(conn, fd, buf + nread, (int) sizeof(buf) - nread, timeout_ms)) > 0) {
        nread += n;
        headers_len = get_request_len(buf, (size_t) nread);
    }
    if (headers_len <= 0) {
        send_error(conn, 500, "Internal Server Error",
                   "CGI program sent malformed HTTP headers: [%.*s]", nread, buf);
        return;
    }

    struct qf_request_info cgi_ri;
    memset(&cgi_ri, 0, sizeof(cgi_ri));
    buf[headers_len - 1] = '\0';
    char *p = buf;
    parse_http_headers(&p, &cgi_ri);

    /* "Status: 404 Not Found" gives 404; the reason is always OK. */
    const char *status_text = get_header(&cgi_ri, "Status");
    int status = status_text != nullptr ? (int) strtol(status_text, nullptr, 10) : 200;
    conn->request_info.status_code = status;

    /* Only an answer whose length the program tells keeps the connection,
     * and only when exactly that many bytes follow: no more are sent than
     * it declared, and any other count closes the connection. */
    uint64_t declared = 0;
    bool keeping = conn->may_keep && conn->body_read && cgi_length_known(&cgi_ri, status, &declared);
    if (!keeping)
        conn->may_keep = false;

    qf_printf(conn, "HTTP/1.1 %d OK\r\n", status);
    for (int i = 0; i < cgi_ri.num_headers; i++)
        qf_printf(conn, "%s: %s\r\n", cgi_ri.http_headers[i].name, cgi_ri.http_headers[i].value);
    if (keeping)
        qf_printf(conn, "Connection: %s\r\n", connection_field(conn));
    qf_printf(conn, "%s", "\r\n");

    uint64_t output = 0; /* body bytes the program wrote */
    bool whole = true;   /* every byte owed to the client was sent */
    const char *at = buf + headers_len;
    n = nread - headers_len;
    do {
        output += (uint64_t) n;
        int owed = n;
        if (keeping) {
            uint64_t before = output - (uint64_t) n;
            owed = before >= declared ? 0 : declared - before < (uint64_t) n ? (int) (declared - before) : n;
        }
        if (owed > 0 && !relay_piece(conn, at, owed)) {
            whole = false;
            break;
        }
        at = buf;
    } while ((n = read_output(conn, fd, buf, (int) sizeof(buf), timeout_ms)) > 0);
    if (!whole || n < 0 || output != declared)
        conn->may_keep = false;
}

/* Ends the program and reaps it. A program that has ended already is not
 * signalled: once reaped (the SIGCHLD handler may be first), its process
 * id can belong to another process. */
static void
end_program(pid_t pid)
{
    siginfo_t info;
    memset(&info, 0, sizeof(info));
    if (waitid(P_PID, (id_t) pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0)
        (void) kill(pid, SIGTERM);

    for (int waited = 0; waited < REAP_WAIT_MS; waited++) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) /* ECHILD: the handler reaped it */
            return;
        if (r == 0) {
            struct timespec ms = {0, 1000000};
            nanosleep(&ms, nullptr);
        }
    }
}

static void
close_fd(int *fd)
{
    if (*fd >= 0)
        (void) close(*fd);
    *fd = -1;
}

void
send_cgi(struct qf_connection *conn, const char *prog)
{
    struct cgi_env_block blk;
    char dir[CGI_PATH_SIZE];
    int to_prog[2] = {-1, -1};   /* the program's standard input */
    int from_prog[2] = {-1, -1}; /* its standard output */
    FILE *in = nullptr;
    FILE *out = nullptr;
    bool post = strcmp(conn->request_info.request_method, "POST") == 0;

    /* A body too large for the program is refused before it starts. */
    if (post && refuse_large_body(conn))
        return;
    /* A chunked body has no length until it is all here: it is read
     * before the program starts, so that CONTENT_LENGTH can be set. */
    bool held = post && is_chunked_body(conn);
    if (held && !handle_request_body(conn, nullptr))
        return;

    prepare_cgi_environment(conn, prog, &blk);

    (void) qf_snprintf(conn, dir, sizeof(dir), "%s", prog);
    const char *file = dir;
    const char *workdir = ".";
    char *slash = strrchr(dir, '/');
    if (slash != nullptr) {
        *slash = '\0';
        file = slash + 1;
        workdir = dir[0] != '\0' ? dir : "/";
    }

    /* Close-on-exec from the start: a program that another worker starts
     * at this moment must not inherit them. */
    if (pipe2(to_prog, O_CLOEXEC) != 0 || pipe2(from_prog, O_CLOEXEC) != 0) {
        send_error(conn, 500, "Internal Server Error", "Cannot create CGI pipe: %s",
                   strerror(errno));
        close_fd(&to_prog[0]);
        close_fd(&to_prog[1]);
        return;
    }
    /* Only our end: passing the body on then waits a bounded time for a
     * program that stops reading (push), instead of blocking for ever.
     * Should this fail, the write merely stays unbounded. */
    (void) set_non_blocking_mode(conn, to_prog[1]);

    pid_t pid = spawn_process(conn, file, blk.vars, to_prog[0], from_prog[1], workdir);
    if (pid < 0) {
        close_fd(&to_prog[0]);
        close_fd(&to_prog[1]);
        close_fd(&from_prog[0]);
        close_fd(&from_prog[1]);
        return;
    }
    to_prog[0] = from_prog[1] = -1; /* closed by spawn_process */

    if ((in = fdopen(to_prog[1], "wb")) != nullptr)
        to_prog[1] = -1;
    if ((out = fdopen(from_prog[0], "rb")) != nullptr)
        from_prog[0] = -1;

    if (in == nullptr || out == nullptr) {
        send_error(conn, 500, "Internal Server Error", "fopen: %s", strerror(errno));
    } else {
        setvbuf(in, nullptr, _IONBF, 0);
        setvbuf(out, nullptr, _IONBF, 0);
        bool body_passed = !post || (held ? pass_held_body(conn, in) : handle_request_body(conn, in));
        /* End of input as soon as the body is through, so a program that
         * reads to the end of its input does not wait for ever. */
        fclose(in);
        in = nullptr;
        if (body_passed)
            /* silent this long: taken as finished, the bound a client socket has */
            relay_cgi_output(conn, fileno(out), client_deadline_seconds() * 1000);
    }

    end_program(pid);
    if (in != nullptr)
        fclose(in);
    if (out != nullptr)
        fclose(out);
    close_fd(&to_prog[1]);
    close_fd(&from_prog[0]);
}
