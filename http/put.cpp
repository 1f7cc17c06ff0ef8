/* http/put.cpp: uploads with PUT, the directories they need, and DELETE. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "http/file_cache.h"
#include "http/http.h"

/* Directory prefixes of a translated path, which is always shorter. */
enum { PUT_DIR_BUF_SIZE = 4096 };
/* A temporary name: the target's directory, a dot, at most TMP_BASE_MAX
 * bytes of its name and a unique suffix. */
enum { PUT_TMP_NAME_SIZE = 4096 + 64 };
/* Keeps the temporary name's last component under NAME_MAX (255). */
enum { TMP_BASE_MAX = 200 };
/* Names are unique by process and counter; a clash means a stale file of
 * an earlier process with the same pid, so a few tries are plenty. */
enum { TMP_ATTEMPTS = 16 };

static FILE *open_temp_beside(const char *path, char *tmp, size_t size,
                              const struct stat *old);
static bool finish_temp(struct qf_connection *conn, FILE *fp, const char *tmp);

/* Creates the missing directories along path, from its third character on
 * so that the leading '/' of "/x" or the "./" of "./x" is never a
 * directory of its own. A prefix that exists as something other than a
 * directory fails with ENOTDIR: nothing could be created below it. */
int
put_dir(const char *path)
{
    char buf[PUT_DIR_BUF_SIZE];
    struct qfstat st;
    size_t len = strlen(path);

    for (size_t k = 2; k < len; k++) {
        if (path[k] != '/')
            continue;
        if (k >= sizeof(buf)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(buf, path, k);
        buf[k] = '\0';
        if (qf_stat(buf, &st) == 0) {
            if (!st.is_directory) {
                errno = ENOTDIR;
                return -1;
            }
        } else if (mkdir(buf, 0755) != 0 && errno != EEXIST) {
            return -1; /* EEXIST: a concurrent upload made it first */
        }
        if (k == len - 1)
            return 0;
    }
    return 1;
}

/* Opens a new, unique, close-on-exec file in path's directory, so that
 * renaming it over path later is atomic. It takes the permissions of the
 * file it replaces (old), or for a new file 0666 less the umask, as fopen
 * would give it. Returns the stream with its name in tmp, or nullptr with
 * errno set. */
static FILE *
open_temp_beside(const char *path, char *tmp, size_t size, const struct stat *old)
{
    static std::atomic<unsigned> counter{0};
    const char *slash = strrchr(path, '/');
    int dir_len = slash != nullptr ? (int) (slash - path + 1) : 0;
    const char *base = path + dir_len;
    int base_len = (int) strnlen(base, TMP_BASE_MAX);

    for (int attempt = 0; attempt < TMP_ATTEMPTS; attempt++) {
        int len = snprintf(tmp, size, "%.*s.%.*s.put-%ld-%u", dir_len, path, base_len, base,
                           (long) getpid(), ++counter);
        if (len < 0 || (size_t) len >= size) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, old != nullptr ? 0600 : 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return nullptr;
        }
        if (old != nullptr)
            (void) fchmod(fd, old->st_mode & 0777);
        FILE *fp = fdopen(fd, "wb");
        if (fp == nullptr) {
            int err = errno;
            close(fd);
            unlink(tmp);
            errno = err;
        }
        return fp;
    }
    errno = EEXIST;
    return nullptr;
}

/* Closes the temporary file once the body is in; true when every byte
 * reached the disk's cache, else the client has had the 577. */
static bool
finish_temp(struct qf_connection *conn, FILE *fp, const char *tmp)
{
    bool ok = fflush(fp) == 0 && ferror(fp) == 0;
    ok = fclose(fp) == 0 && ok;
    if (!ok) {
        send_error(conn, 577, http_500_error, "%s", "Error handling body data");
        unlink(tmp);
    }
    return ok;
}

/* The body goes into a temporary file beside the target, which replaces
 * the target only when the body is complete: a refused or broken upload
 * leaves an existing file as it was and makes no new one. Headers are
 * checked before anything on disk is touched. The answers are a bare
 * status line: 201 for a new file, 200 for a replaced one. */
void
put_file(struct qf_connection *conn, const char *path)
{
    struct qf_request_info *ri = &conn->request_info;
    struct stat st;
    bool exists = stat(path, &st) == 0;
    size_t len = strlen(path);
    const int status = exists ? 200 : 201;

    if (qf_get_header(conn, "Range") != nullptr) {
        send_error(conn, 501, "Not Implemented", "%s",
                   "Range support for PUT requests is not implemented");
        return;
    }
    if (!check_request_body(conn))
        return;
    /* A directory named without its trailing '/' cannot take a body; this
     * is the answer that opening it for writing would give. */
    if (exists && S_ISDIR(st.st_mode) && len > 0 && path[len - 1] != '/') {
        send_error(conn, 500, http_500_error, "fopen(%s): %s", path, strerror(EISDIR));
        return;
    }

    int rc = put_dir(path);
    if (rc == -1) {
        send_error(conn, 500, http_500_error, "put_dir(%s): %s", path, strerror(errno));
        return;
    }
    if (rc == 0) {
        ri->status_code = status;
        qf_printf(conn, "HTTP/1.1 %d OK\r\n%s\r\n", status, keep_alive_fields(conn));
        return;
    }

    char tmp[PUT_TMP_NAME_SIZE];
    FILE *fp = open_temp_beside(path, tmp, sizeof(tmp), exists ? &st : nullptr);
    if (fp == nullptr) {
        send_error(conn, 500, http_500_error, "fopen(%s): %s", path, strerror(errno));
        return;
    }
    if (!read_request_body(conn, fp)) {
        fclose(fp);
        unlink(tmp);
        return;
    }
    if (!finish_temp(conn, fp, tmp))
        return;
    if (rename(tmp, path) != 0) {
        int err = errno;
        unlink(tmp);
        send_error(conn, 500, http_500_error, "rename(%s): %s", path, strerror(err));
        return;
    }
    file_cache_forget_all();
    ri->status_code = status;
    qf_printf(conn, "HTTP/1.1 %d OK\r\n%s\r\n", status, keep_alive_fields(conn));
}

/* Removes one file (or link). A missing file is 404 as for GET; a
 * directory is refused, since remove() would take an empty one, the
 * document root included. */
void
delete_file(struct qf_connection *conn, const char *path)
{
    struct stat st;

    if (lstat(path, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            send_error(conn, 404, "Not Found", "%s", "File not found");
        else
            send_error(conn, 500, http_500_error, "remove(%s): %s", path, strerror(errno));
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        send_error(conn, 403, "Forbidden", "%s", "Directories cannot be deleted");
        return;
    }
    if (unlink(path) != 0) {
        send_error(conn, 500, http_500_error, "remove(%s): %s", path, strerror(errno));
        return;
    }
    file_cache_forget_all();
    send_error(conn, 200, "OK", "%s", "");
}
