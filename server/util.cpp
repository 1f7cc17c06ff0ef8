/* server/util.cpp: bounded formatting and copying, list splitting, small file helpers. */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server/server.h"
#include "server/text.h"

/* The truncation report shows only the start of what was cut, enough to find
 * the caller without flooding the log with a whole page. */
static const int TRUNCATION_SHOWN = 200;

/* Formats into buf, never past buflen, and always terminates it. Returns the
 * number of characters stored; a cut or failed format is reported through
 * the error log of conn. */
int
qf_vsnprintf(struct qf_connection *conn, char *buf, size_t buflen, const char *fmt, va_list ap)
{
    if (buflen == 0)
        return 0;

    int n = vsnprintf(buf, buflen, fmt, ap);
    if (n < 0) {
        cry(conn, "vsnprintf error");
        buf[0] = '\0';
        return 0;
    }
    if ((size_t) n >= buflen) {
        cry(conn, "truncating vsnprintf buffer: [%.*s]", TRUNCATION_SHOWN, buf);
        return (int) (buflen - 1);
    }
    return n;
}

int
qf_snprintf(struct qf_connection *conn, char *buf, size_t buflen, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = qf_vsnprintf(conn, buf, buflen, fmt, ap);
    va_end(ap);
    return n;
}

/* Copies at most n - 1 characters; dst is terminated whenever n > 0. A null
 * src copies as the empty string so that callers need not test it first. */
void
qf_strlcpy(char *dst, const char *src, size_t n)
{
    if (n == 0)
        return;
    size_t i = 0;
    if (src != nullptr)
        for (; i + 1 < n && src[i] != '\0'; i++)
            dst[i] = src[i];
    dst[i] = '\0';
}

/* Returns a heap copy that the caller releases with qf_free, or nullptr when
 * text is null or memory is exhausted. */
char *
qf_strdup(const char *text)
{
    if (text == nullptr)
        return nullptr;
    size_t len = strlen(text) + 1;
    char *copy = (char *) malloc(len);
    if (copy != nullptr)
        memcpy(copy, text, len);
    return copy;
}

void
qf_free(void *p)
{
    free(p);
}

/* Splits the next piece off a comma-separated option value. The pieces
 * point into the list, so they live only as long as the option text. With
 * eq_val, a piece "key=value" is split at its first '='; without an '='
 * eq_val comes back empty (ptr null, len 0). Returns the rest of the list,
 * or nullptr at its end: a trailing comma ends the list cleanly, two commas
 * in a row yield an empty piece. */
const char *
next_option(const char *list, struct vec *val, struct vec *eq_val)
{
    if (list == nullptr || *list == '\0')
        return nullptr;

    val->ptr = list;
    const char *comma = strchr(list, ',');
    if (comma != nullptr) {
        val->len = (size_t) (comma - list);
        list = comma + 1;
    } else {
        val->len = strlen(list);
        list += val->len;
    }

    if (eq_val != nullptr) {
        eq_val->ptr = nullptr;
        eq_val->len = 0;
        const char *eq = (const char *) memchr(val->ptr, '=', val->len);
        if (eq != nullptr) {
            eq_val->ptr = eq + 1;
            eq_val->len = (size_t) (val->ptr + val->len - eq_val->ptr);
            val->len = (size_t) (eq - val->ptr);
        }
    }
    return list;
}

bool
is_true(const char *text)
{
    static const char *const yes[] = {"1", "yes", "true", "ja"};

    if (text == nullptr)
        return false;
    for (const char *word : yes)
        if (strcasecmp(text, word) == 0)
            return true;
    return false;
}

/* Returns 0 and fills st, or -1 when path is missing or cannot be examined. */
int
qf_stat(const char *path, struct qfstat *st)
{
    struct stat sb;

    if (path == nullptr || stat(path, &sb) != 0)
        return -1;
    st->is_directory = S_ISDIR(sb.st_mode);
    st->size = (uint64_t) sb.st_size;
    st->mtime = sb.st_mtime;
    return 0;
}

/* Descriptors of listeners and logs must not leak into CGI programs. */
void
set_close_on_exec(int fd)
{
    (void) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

/* The limit the process started with, for its children: programs written
 * for the usual 1024 may use select, which breaks above it. */
static struct rlimit child_nofile;
static bool child_nofile_saved;
static pthread_once_t nofile_once = PTHREAD_ONCE_INIT;

static void
raise_nofile_once(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    child_nofile = rl;
    child_nofile_saved = true;
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        (void) setrlimit(RLIMIT_NOFILE, &rl);
    }
}

static_assert(QF_ADDRSTRLEN >= INET6_ADDRSTRLEN, "an IPv6 address fits");

void
qf_address_text(const struct usa *a, char *buf, size_t size)
{
    if (a->u.sa.sa_family == AF_INET6) {
        if (inet_ntop(AF_INET6, &a->u.sin6.sin6_addr, buf, (socklen_t) size) == nullptr)
            qf_strlcpy(buf, "0.0.0.0", size);
        return;
    }
    /* Every request needs it, and the library formats it with printf. */
    char text[INET_ADDRSTRLEN], *p = text;
    const unsigned char *b = (const unsigned char *) &a->u.sin.sin_addr;
    for (int i = 0; i < 4; i++) {
        unsigned v = b[i];
        if (v >= 100)
            *p++ = (char) ('0' + v / 100);
        if (v >= 10)
            *p++ = (char) ('0' + v / 10 % 10);
        *p++ = (char) ('0' + v % 10);
        *p++ = i < 3 ? '.' : '\0';
    }
    qf_strlcpy(buf, text, size);
}

void
raise_descriptor_limit(void)
{
    pthread_once(&nofile_once, raise_nofile_once);
}

/* Async-signal-safe: runs between fork and exec. A program must not
 * inherit the threads' blocked stop signals: it could not be stopped. */
void
restore_child_state(void)
{
    if (child_nofile_saved)
        (void) setrlimit(RLIMIT_NOFILE, &child_nofile);
    sigset_t none;
    sigemptyset(&none);
    (void) sigprocmask(SIG_SETMASK, &none, nullptr);
}

pid_t
spawn_shell(const char *cmd, int *out_fd)
{
    int fds[2] = {-1, -1};
    if (out_fd != nullptr && pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        restore_child_state();
        /* dup2 clears close-on-exec; a pipe end that already is
         * descriptor 1 must have it cleared by hand */
        if (out_fd != nullptr && fds[1] == STDOUT_FILENO)
            (void) fcntl(STDOUT_FILENO, F_SETFD, 0);
        else if (out_fd != nullptr)
            (void) dup2(fds[1], STDOUT_FILENO);
        execl("/bin/sh", "sh", "-c", cmd, (char *) nullptr);
        _exit(127);
    }
    int fork_errno = errno;
    if (out_fd != nullptr) {
        close(fds[1]);
        if (pid < 0)
            close(fds[0]);
        else
            *out_fd = fds[0];
    }
    errno = fork_errno;
    return pid;
}

enum { CLIENT_DEADLINE_SECONDS = 30 };

int
client_deadline_seconds(void)
{
    static const int deadline = [] {
        const char *test = getenv("QF_TEST_CLIENT_DEADLINE");
        long v = test != nullptr ? strtol(test, nullptr, 10) : 0;
        return v > 0 && v < CLIENT_DEADLINE_SECONDS ? (int) v : (int) CLIENT_DEADLINE_SECONDS;
    }();
    return deadline;
}

int
set_non_blocking_mode(struct qf_connection *conn, int sock)
{
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags == -1) {
        cry(conn, "%s: fcntl(F_GETFL): %d", "set_non_blocking_mode", errno);
        return -1;
    }
    if (fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) {
        cry(conn, "%s: fcntl(F_SETFL): %d", "set_non_blocking_mode", errno);
        return -1;
    }
    return 0;
}

void
set_blocking(int sock, bool blocking)
{
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags != -1)
        (void) fcntl(sock, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

/* A setter's whole number of seconds from 0 to max (no value: 0). Anything
 * else is refused in the setter's name, and *seconds is left alone. */
bool
read_seconds_option(struct qf_context *ctx, const char *setter, const char *value, int max,
                    int *seconds)
{
    uint64_t n = 0;
    if (value != nullptr && value[0] != '\0') {
        const char *p = value;
        bool fits = false;
        if (!scan_digits(&p, nullptr, &n, &fits) || *p != '\0' || !fits || n > (uint64_t) max) {
            cry(fc(ctx), "%s: [%s] must be a number of seconds from 0 to %d", setter, value, max);
            return false;
        }
    }
    *seconds = (int) n;
    return true;
}
