/* http/files.cpp: static files (whole or one byte range), MIME types and directory listings. */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "http/file_cache.h"
#include "http/http.h"

struct builtin_mime_type {
    const char *extension; /* with its dot */
    size_t ext_len;
    const char *mime_type;
    size_t mime_type_len;
};

static size_t copy_mime_type(const char *type, size_t type_len, char *buf, size_t buflen);
static uint64_t copy_fd_range(struct qf_connection *conn, int fd, off_t offset, uint64_t len);
static int64_t sendfile_range(struct qf_connection *conn, int fd, off_t *offset, uint64_t len);
static bool send_file_body(struct qf_connection *conn, int fd, off_t offset, uint64_t len);
static void hand_over(struct qf_connection *conn, struct file_send *fs);
static bool send_tls_body(struct qf_connection *conn, int fd, off_t offset, uint64_t len);
static void free_entries(struct dir_entry *entries, size_t n);
static bool read_dir_entries(struct qf_connection *conn, DIR *dirp, const char *dir,
                             struct dir_entry **entries, size_t *count);
static bool scan_number(const char **p, uint64_t *value);
static void write_listing_head(struct out_buffer *out, const char *uri, const char *q);
static void write_listing_row(struct out_buffer *out, const char *uri, const struct dir_entry *e);
static void read_file_range(struct qf_connection *conn, uint64_t size, struct file_range *r);
static size_t write_file_head(char *buf, const char *path, const struct qfstat *stp,
                              const char *mime, size_t mime_len, const struct file_range *r,
                              time_t now, const char *connection);

#define MT(ext, type) {ext, sizeof(ext) - 1, type, sizeof(type) - 1}

/* First match wins; the null row ends the table. */
static const struct builtin_mime_type mime_types[] = {
    MT(".html", "text/html"),
    MT(".htm", "text/html"),
    MT(".shtm", "text/html"),
    MT(".shtml", "text/html"),
    MT(".css", "text/css"),
    MT(".js", "application/x-javascript"),
    MT(".ico", "image/x-icon"),
    MT(".gif", "image/gif"),
    MT(".jpg", "image/jpeg"),
    MT(".jpeg", "image/jpeg"),
    MT(".png", "image/png"),
    MT(".svg", "image/svg+xml"),
    MT(".torrent", "application/x-bittorrent"),
    MT(".wav", "audio/x-wav"),
    MT(".mp3", "audio/x-mp3"),
    MT(".mid", "audio/mid"),
    MT(".m3u", "audio/x-mpegurl"),
    MT(".ram", "audio/x-pn-realaudio"),
    MT(".ra", "audio/x-pn-realaudio"),
    MT(".doc", "application/msword"),
    MT(".exe", "application/octet-stream"),
    MT(".zip", "application/x-zip-compressed"),
    MT(".xls", "application/excel"),
    MT(".tgz", "application/x-tar-gz"),
    MT(".tar", "application/x-tar"),
    MT(".gz", "application/x-gunzip"),
    MT(".arj", "application/x-arj-compressed"),
    MT(".rar", "application/x-arj-compressed"),
    MT(".rtf", "application/rtf"),
    MT(".pdf", "application/pdf"),
    MT(".swf", "application/x-shockwave-flash"),
    MT(".mpg", "video/mpeg"),
    MT(".mpeg", "video/mpeg"),
    MT(".asf", "video/x-ms-asf"),
    MT(".avi", "video/x-msvideo"),
    MT(".bmp", "image/bmp"),
    {nullptr, 0, nullptr, 0},
};

#undef MT

static const char default_mime_type[] = "text/plain";

/* A page of the panel and a small file go out with their header block in
 * one write; anything larger is sent by the kernel straight from the file. */
static const size_t HEADER_BUFFER_SIZE = 8192;

/* The copy buffer of the fallback paths (a pipe, a descriptor sendfile
 * refuses). */
enum { COPY_BUFFER_SIZE = 8192 };

/* Listings start their entry array at twice this many entries. */
enum { INITIAL_ENTRY_CAPACITY = 128 };

enum { PATH_SIZE = 4096, TEXT_SIZE = 64 };

/* "Content-Range: bytes F-L/S\r\n" with three 20-digit numbers. */
enum { RANGE_TEXT_SIZE = 96 };
/* What a file's answer sends of it, after the request's Range. */
struct file_range {
    int status;
    const char *reason;
    uint64_t first, len;             /* the bytes sent */
    char text[RANGE_TEXT_SIZE];      /* the Content-Range line, or "" */
};

/* Copies the type into buf, cut to fit. Returns the length stored. */
static size_t
copy_mime_type(const char *type, size_t type_len, char *buf, size_t buflen)
{
    if (type_len >= buflen)
        type_len = buflen - 1;
    memcpy(buf, type, type_len);
    buf[type_len] = '\0';
    return type_len;
}

/* The MIME type of path: an item of option mime_types first, then the
 * built-in table, else text/plain. The type is copied into buf because the
 * option text may change once its lock is released. Returns its length. */
size_t
get_mime_type(struct qf_context *ctx, const char *path, char *buf, size_t buflen)
{
    size_t path_len = strlen(path);
    struct vec ext, type;

    lock_option(ctx, OPT_MIME_TYPES);
    const char *list = ctx->options[OPT_MIME_TYPES];
    while ((list = next_option(list, &ext, &type)) != nullptr) {
        if (ext.len <= path_len &&
            qf_strncasecmp(path + path_len - ext.len, ext.ptr, ext.len) == 0) {
            size_t n = copy_mime_type(type.ptr != nullptr ? type.ptr : "", type.len, buf, buflen);
            unlock_option(ctx, OPT_MIME_TYPES);
            return n;
        }
    }
    unlock_option(ctx, OPT_MIME_TYPES);

    /* The rows are lower case: a last character that differs rules a row
     * out before the full comparison. */
    int last = path_len > 0 ? lowercase(path + path_len - 1) : 0;
    for (const struct builtin_mime_type *row = mime_types; row->extension != nullptr; row++)
        if (row->ext_len < path_len && row->extension[row->ext_len - 1] == last &&
            qf_strcasecmp(path + path_len - row->ext_len, row->extension) == 0)
            return copy_mime_type(row->mime_type, row->mime_type_len, buf, buflen);

    return copy_mime_type(default_mime_type, sizeof(default_mime_type) - 1, buf, buflen);
}

/* Reads digits at *p into *value; false when there is no digit. Leading
 * blanks are skipped, a sign is not accepted. Too large a number saturates. */
static bool
scan_number(const char **p, uint64_t *value)
{
    *p += strspn(*p, " \t");
    return scan_digits(p, nullptr, value, nullptr);
}

/* Range: bytes=FIRST-[LAST] or bytes=-SUFFIX, only the first range of a
 * list counts. LAST is clamped to the end of the file; a first byte at or
 * past it cannot be served; LAST before FIRST makes the header void. A
 * suffix as long as the file or longer means all of it; an empty suffix,
 * or any of an empty file, cannot be served. Fills *first and *last
 * (inclusive) for RANGE_SATISFIABLE. */
enum range_result
parse_range(const char *header, uint64_t size, uint64_t *first, uint64_t *last)
{
    static const char prefix[] = "bytes=";
    uint64_t r1, r2;

    if (header == nullptr || strncmp(header, prefix, sizeof(prefix) - 1) != 0)
        return RANGE_IGNORED;
    const char *p = header + sizeof(prefix) - 1;
    if (*p == '-') {
        /* A suffix range, "-" and a length: the last bytes. */
        p++;
        if (!scan_number(&p, &r2))
            return RANGE_IGNORED;
        if (r2 == 0 || size == 0)
            return RANGE_UNSATISFIABLE;
        *first = r2 < size ? size - r2 : 0;
        *last = size - 1;
        return RANGE_SATISFIABLE;
    }
    if (!scan_number(&p, &r1))
        return RANGE_IGNORED;
    bool has_end = false;
    if (*p == '-') {
        p++;
        has_end = scan_number(&p, &r2);
    }
    if (has_end && r2 < r1)
        return RANGE_IGNORED;
    if (r1 >= size)
        return RANGE_UNSATISFIABLE;
    *first = r1;
    *last = has_end && r2 < size - 1 ? r2 : size - 1;
    return RANGE_SATISFIABLE;
}

/* Sends len bytes of fd from *offset with sendfile, advancing *offset.
 * Returns the bytes sent, or -1 when nothing was sent because the
 * descriptor or the connection cannot be used with sendfile. */
static int64_t
sendfile_range(struct qf_connection *conn, int fd, off_t *offset, uint64_t len)
{
    if (conn->ssl != nullptr)
        return -1;
    uint64_t sent;
    if (send_file_plain(conn->client.sock, fd, offset, len, false, &sent) == SEND_REFUSED)
        return -1;
    return (int64_t) sent;
}

/* Buffer copy for what sendfile refuses. Returns the bytes sent. */
static uint64_t
copy_fd_range(struct qf_connection *conn, int fd, off_t offset, uint64_t len)
{
    char buf[COPY_BUFFER_SIZE];
    uint64_t sent = 0;

    while (sent < len) {
        size_t want = len - sent < sizeof(buf) ? (size_t) (len - sent) : sizeof(buf);
        ssize_t n = pread(fd, buf, want, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        int written = qf_write(conn, buf, (int) n);
        if (written < n)
            break;
        sent += (uint64_t) n;
        offset += n;
    }
    return sent;
}

/* Leaves the rest of a send, with the access line to write when it ends,
 * in conn->handed_send: the worker that called the handler gives it to
 * the intake with the connection, or finishes it with send_rest_here. fs
 * and its file then belong to the worker. */
static void
hand_over(struct qf_connection *conn, struct file_send *fs)
{
    fs->sock = conn->client.sock;
    fs->log_line = format_access_line(conn, &fs->log_split);
    conn->handed_send = fs;
}

static bool
hand_over_rest(struct qf_connection *conn, int fd, off_t offset, uint64_t remaining)
{
    struct file_send *fs = (struct file_send *) calloc(1, sizeof(*fs));
    if (fs == nullptr)
        return false;
    fs->fd = fd;
    fs->offset = offset;
    fs->remaining = remaining;
    fs->sent = conn->num_bytes_sent;
    hand_over(conn, fs);
    return true;
}

/* The same through TLS, which sendfile cannot carry: pieces are encrypted
 * here until the client stops taking them as fast, then the intake goes
 * on with the piece in hand. */
static bool
send_tls_body(struct qf_connection *conn, int fd, off_t offset, uint64_t len)
{
    struct file_send *fs = (struct file_send *) calloc(1, sizeof(*fs));
    if (fs == nullptr || !tls_prepare_send(fs, conn->ssl)) {
        if (fs != nullptr)
            free(fs->piece);
        free(fs);
        conn->num_bytes_sent += copy_fd_range(conn, fd, offset, len);
        return false;
    }
    fs->fd = fd;
    fs->offset = offset;
    fs->remaining = len;
    fs->sent = conn->num_bytes_sent;
    int sock = conn->client.sock;
    bool may_hand_over = __atomic_load_n(&conn->ctx->intake_running, __ATOMIC_ACQUIRE);
    if (may_hand_over)
        set_blocking(sock, false);

    while (fs->remaining > 0) {
        enum tls_step step = send_file_tls(fs, 0);
        if (step == TLS_DONE)
            continue;
        if (step != TLS_WANT_READ && step != TLS_WANT_WRITE)
            break;
        if (may_hand_over) {
            hand_over(conn, fs);
            return true;
        }
        if (errno != EINTR)
            break; /* the socket's send timeout */
    }
    if (may_hand_over)
        set_blocking(sock, true); /* for the close_notify */
    conn->num_bytes_sent = fs->sent;
    free(fs->piece);
    free(fs);
    return false;
}

/* The body of a file too large for the header's write. The kernel copies
 * it; once the client stops taking it as fast, the rest is left for the
 * intake (true: fd went with it), which sends it as the client drains, so
 * a slow or silent reader holds no worker. */
static bool
send_file_body(struct qf_connection *conn, int fd, off_t offset, uint64_t len)
{
    if (conn->ssl != nullptr)
        return send_tls_body(conn, fd, offset, len);
    int sock = conn->client.sock;
    bool may_hand_over = __atomic_load_n(&conn->ctx->intake_running, __ATOMIC_ACQUIRE);
    if (may_hand_over)
        set_blocking(sock, false);

    uint64_t sent = 0;
    for (;;) {
        uint64_t n;
        enum send_result r = send_file_plain(sock, fd, &offset, len - sent, false, &n);
        sent += n;
        if (r == SEND_WAIT && may_hand_over) {
            conn->num_bytes_sent += sent;
            if (hand_over_rest(conn, fd, offset, len - sent))
                return true;
            conn->num_bytes_sent -= sent;
            may_hand_over = false; /* no memory: send it here after all */
            set_blocking(sock, true);
            continue;
        }
        if (r == SEND_REFUSED && sent == 0) {
            if (may_hand_over)
                set_blocking(sock, true);
            conn->num_bytes_sent += copy_fd_range(conn, fd, offset, len);
            return false;
        }
        break; /* all sent, the file ended early, or the write failed or timed out */
    }
    conn->num_bytes_sent += sent;
    return false;
}

/* What no loop took (the intake stopped meanwhile) is sent by this
 * thread, on the blocking socket, as it would have been had the intake
 * not run. */
void
send_rest_here(struct qf_connection *conn, struct file_send *fs)
{
    free(fs->log_line);
    set_blocking(fs->sock, true);
    if (fs->ssl == nullptr) {
        uint64_t n;
        (void) send_file_plain(fs->sock, fs->fd, &fs->offset, fs->remaining, false, &n);
        conn->num_bytes_sent += n;
    } else {
        while (fs->remaining > 0) {
            enum tls_step step = send_file_tls(fs, 0);
            if (step == TLS_DONE)
                continue;
            if ((step != TLS_WANT_READ && step != TLS_WANT_WRITE) || errno != EINTR)
                break; /* failed, or the socket's send timeout */
        }
        conn->num_bytes_sent = fs->sent;
        free(fs->piece);
    }
    close(fs->fd);
    free(fs);
}

void
send_opened_file_stream(struct qf_connection *conn, FILE *fp, uint64_t len)
{
    /* ftello accounts for what stdio has buffered, so the kernel copy starts
     * where a fread would; the stream is moved behind what was sent. */
    off_t offset = ftello(fp);
    if (offset >= 0) {
        int64_t sent = sendfile_range(conn, fileno(fp), &offset, len);
        if (sent >= 0) {
            conn->num_bytes_sent += (uint64_t) sent;
            (void) fseeko(fp, offset, SEEK_SET);
            return;
        }
    }

    char buf[COPY_BUFFER_SIZE];
    while (len > 0) {
        size_t want = len < sizeof(buf) ? (size_t) len : sizeof(buf);
        size_t n = fread(buf, 1, want, fp);
        if (n == 0)
            break;
        int written = qf_write(conn, buf, (int) n);
        if (written < (int) n)
            break;
        conn->num_bytes_sent += n;
        len -= n;
    }
}

/* Appends to a buffer that the caller has sized for everything. */
struct header_writer {
    char *buf;
    size_t len;

    void bytes(const char *p, size_t n)
    {
        memcpy(buf + len, p, n);
        len += n;
    }
    void text(const char *s) { bytes(s, strlen(s)); }
    void number(uint64_t v, unsigned base)
    {
        char digits[24];
        size_t n = 0;
        do {
            digits[sizeof(digits) - ++n] = "0123456789abcdef"[v % base];
            v /= base;
        } while (v != 0);
        bytes(digits + sizeof(digits) - n, n);
    }
};

/* The Date text of a second, local time. Kept per thread for the second it
 * was made: under load most responses of a thread fall in the same second,
 * and localtime_r takes a process-wide lock. */
static const char *
date_text(time_t now)
{
    static thread_local time_t made_for = (time_t) -1;
    static thread_local char text[TEXT_SIZE];

    if (now != made_for) {
        struct tm tm;
        localtime_r(&now, &tm);
        if (strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S %Z", &tm) == 0)
            text[0] = '\0';
        made_for = now;
    }
    return text;
}

/* Reads the request's Range against a file of size bytes into r: the
 * status, its reason, the bytes to send and the Content-Range line. */
static void
read_file_range(struct qf_connection *conn, uint64_t size, struct file_range *r)
{
    uint64_t last = 0;
    r->status = 200;
    r->reason = "OK";
    r->first = 0;
    r->len = size;
    r->text[0] = '\0';
    const char *hdr = qf_get_header(conn, "Range");
    switch (hdr != nullptr ? parse_range(hdr, size, &r->first, &last) : RANGE_IGNORED) {
    case RANGE_SATISFIABLE:
        r->status = 206;
        r->reason = "Partial Content";
        r->len = last - r->first + 1;
        snprintf(r->text, sizeof(r->text),
                 "Content-Range: bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64 "\r\n", r->first, last,
                 size);
        break;
    case RANGE_UNSATISFIABLE:
        r->status = 416;
        r->reason = "Requested Range Not Satisfiable";
        r->len = 0;
        snprintf(r->text, sizeof(r->text), "Content-Range: bytes */%" PRIu64 "\r\n", size);
        break;
    case RANGE_IGNORED:
        break;
    }
}

/* Writes the answer's header block for the file at path to buf (of
 * HEADER_BUFFER_SIZE bytes); returns its length. connection: the value of
 * the Connection field. */
static size_t
write_file_head(char *buf, const char *path, const struct qfstat *stp, const char *mime,
                size_t mime_len, const struct file_range *r, time_t now, const char *connection)
{
    char last_modified[TEXT_SIZE];
    /* Every piece is bounded (type 255, dates and tag 63, range 95 bytes),
     * so the block always fits and is put together without printf. */
    struct header_writer h = {buf, 0};
    h.text("HTTP/1.1 ");
    h.number(r->status, 10);
    h.text(" ");
    h.text(r->reason);
    h.text("\r\nDate: ");
    h.text(date_text(now));
    h.text("\r\nEtag: \"");
    h.number((unsigned long) now, 16);
    h.text(".");
    h.number((unsigned long) (stp->size & 0xffffffffu), 16);
    h.text("\"\r\nLast-Modified: ");
    h.text(http_date(stp->mtime, last_modified, sizeof(last_modified)));
    h.text("\r\nContent-Type: ");
    h.bytes(mime, mime_len);
    h.text("\r\nContent-Length: ");
    h.number(r->len, 10);
    h.text("\r\nConnection: ");
    h.text(connection);
    h.text("\r\nAccept-Ranges: bytes\r\n");
    if (panel_page_hook != nullptr && panel_page_hook(path))
        h.text("Cache-Control: no-store\r\n"); /* no stale status, not even on Back */
    h.text(r->text);
    h.text("\r\n");
    return h.len;
}

void
send_file(struct qf_connection *conn, const char *path, struct qfstat *stp)
{
    time_t now = time(nullptr); /* one clock reading for Date and Etag */
    char mime[256];
    size_t mime_len = get_mime_type(conn->ctx, path, mime, sizeof(mime));

    struct file_range r;
    size_t held_len = 0;
    const char *held = cached_body(path, stp, &held_len);
    if (held != nullptr) {
        read_file_range(conn, stp->size, &r);
        conn->request_info.status_code = r.status;
        char buf[HEADER_BUFFER_SIZE + SMALL_BODY_MAX];
        size_t hlen = write_file_head(buf, path, stp, mime, mime_len, &r, now,
                                      connection_field(conn));
        size_t len = is_head_request(conn) ? 0 : (size_t) r.len;
        if (len > 0) /* a refused range's first byte may lie past the end */
            memcpy(buf + hlen, held + r.first, len);
        int written = qf_write(conn, buf, (int) (hlen + len));
        if (written > (int) hlen)
            conn->num_bytes_sent += (uint64_t) (written - (int) hlen);
        return;
    }

    /* A bare descriptor, no stream: the body goes out by pread or sendfile.
     * The error text keeps the wording the logs have always shown. */
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        send_error(conn, 500, "Internal Server Error", "fopen(%s): %s", path, strerror(errno));
        return;
    }

    read_file_range(conn, stp->size, &r);
    conn->request_info.status_code = r.status;

    char buf[HEADER_BUFFER_SIZE];
    int hlen = (int) write_file_head(buf, path, stp, mime, mime_len, &r, now,
                                         connection_field(conn));
    uint64_t len = r.len, first = r.first;

    if (is_head_request(conn) || len == 0) {
        qf_write(conn, buf, hlen);
    } else if (len <= sizeof(buf) - (size_t) hlen) {
        ssize_t n = pread(fd, buf + hlen, (size_t) len, (off_t) first);
        if (n < 0)
            n = 0; /* the body ends early, as with a short file */
        int written = qf_write(conn, buf, hlen + (int) n);
        if (written > hlen)
            conn->num_bytes_sent += (uint64_t) (written - hlen);
    } else if (qf_write(conn, buf, hlen) == hlen) {
        if (send_file_body(conn, fd, (off_t) first, len))
            return; /* fd went with the rest to the intake */
    }
    close(fd);
}

/* Size column: "-" when the status is unknown, "[DIRECTORY]", or the size
 * in bytes, kilo-, mega- or gigabytes with one decimal. */
void
format_entry_size(const struct dir_entry *de, char *buf, size_t buflen)
{
    uint64_t size = de->st.size;

    if (!de->has_status)
        snprintf(buf, buflen, "-");
    else if (de->st.is_directory)
        snprintf(buf, buflen, "[DIRECTORY]");
    else if (size < 1024)
        snprintf(buf, buflen, "%lu", (unsigned long) size);
    else if (size < 1048576)
        snprintf(buf, buflen, "%.1fk", (double) size / 1024.0);
    else if (size < 1073741824)
        snprintf(buf, buflen, "%.1fM", (double) size / 1048576.0);
    else
        snprintf(buf, buflen, "%.1fG", (double) size / 1073741824.0);
}

/* Orders listing entries by the query string ("na" without one): first
 * letter n(ame), d(ate) or s(ize), second letter d for descending.
 * Directories come first in every order. */
int
compare_dir_entries(const void *p1, const void *p2)
{
    const struct dir_entry *a = (const struct dir_entry *) p1;
    const struct dir_entry *b = (const struct dir_entry *) p2;
    const char *key = a->conn->request_info.query_string;
    if (key == nullptr)
        key = "na";

    if (a->st.is_directory != b->st.is_directory)
        return a->st.is_directory ? -1 : 1;

    int cmp = 0;
    switch (key[0]) {
    case 'n':
        cmp = strcmp(a->file_name, b->file_name);
        break;
    case 's':
        cmp = (a->st.size > b->st.size) - (a->st.size < b->st.size);
        break;
    case 'd':
        cmp = (a->st.mtime > b->st.mtime) - (a->st.mtime < b->st.mtime);
        break;
    default:
        break;
    }
    if (key[0] != '\0' && key[1] == 'd')
        cmp = -cmp;
    return cmp;
}

static void
free_entries(struct dir_entry *entries, size_t n)
{
    for (size_t i = 0; i < n; i++)
        qf_free(entries[i].file_name);
    free(entries);
}

/* Reads the entries of dirp into *entries. False when memory ran out; the
 * entries read so far are released then. */
static bool
read_dir_entries(struct qf_connection *conn, DIR *dirp, const char *dir,
                 struct dir_entry **entries, size_t *count)
{
    struct dir_entry *list = nullptr;
    size_t n = 0, capacity = INITIAL_ENTRY_CAPACITY;
    size_t dir_len = strlen(dir);
    struct dirent *de;

    while ((de = readdir(dirp)) != nullptr) {
        const char *name = de->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strcmp(name, ".htpasswd") == 0)
            continue;

        if (list == nullptr || n == capacity) {
            capacity *= 2;
            struct dir_entry *grown =
                (struct dir_entry *) realloc(list, capacity * sizeof(*list));
            if (grown == nullptr) {
                free_entries(list, n);
                return false;
            }
            list = grown;
        }

        struct dir_entry *e = &list[n];
        e->conn = conn;
        e->file_name = qf_strdup(name);
        if (e->file_name == nullptr) {
            free_entries(list, n);
            return false;
        }
        n++;

        /* An entry that vanished, a dangling link or a path too long for
         * the buffer is still listed, without status. */
        memset(&e->st, 0, sizeof(e->st));
        e->has_status = false;
        if (dir_len + 1 + strlen(name) < PATH_SIZE) {
            char path[PATH_SIZE];
            snprintf(path, sizeof(path), "%s%c%s", dir, '/', name);
            struct qfstat st;
            if (qf_stat(path, &st) == 0) {
                e->st = st;
                e->has_status = true;
            }
        }
    }
    *entries = list;
    *count = n;
    return true;
}

/* The listing's page head, its table's column heads (each sorting link
 * turns the order of the column sorted by now) and the parent's row. */
static void
write_listing_head(struct out_buffer *out, const char *uri, const char *q)
{
    char dir_letter[2] = {q != nullptr && q[0] != '\0' && q[1] == 'd' ? 'a' : 'd', '\0'};

    out_text(out, "<html><head><title>Index of ");
    out_html(out, uri);
    out_text(out, "</title><style>th {text-align: left;}</style></head><body><h1>Index of ");
    out_html(out, uri);
    out_text(out, "</h1><pre><table cellpadding=\"0\"><tr><th><a href=\"?n");
    out_text(out, dir_letter);
    out_text(out, "\">Name</a></th><th><a href=\"?d");
    out_text(out, dir_letter);
    out_text(out, "\">Modified</a></th><th><a href=\"?s");
    out_text(out, dir_letter);
    out_text(out, "\">Size</a></th></tr><tr><td colspan=\"3\"><hr></td></tr>");

    out_text(out, "<tr><td><a href=\"");
    out_url(out, uri);
    out_text(out, "..\">Parent directory</a></td><td>&nbsp;-</td><td>&nbsp;&nbsp;-</td></tr>\n");
}

/* One entry's row of the listing: link, modification time and size. */
static void
write_listing_row(struct out_buffer *out, const char *uri, const struct dir_entry *e)
{
    char size_text[TEXT_SIZE], time_text[TEXT_SIZE] = "-";
    format_entry_size(e, size_text, sizeof(size_text));
    if (e->has_status) {
        struct tm tm;
        localtime_r(&e->st.mtime, &tm);
        strftime(time_text, sizeof(time_text), "%d-%b-%Y %H:%M", &tm);
    }
    out_text(out, "<tr><td><a href=\"");
    out_url(out, uri);
    out_url(out, e->file_name);
    out_text(out, "\">");
    out_html(out, e->file_name);
    out_text(out, e->st.is_directory ? "/" : "");
    out_text(out, "</a></td><td>&nbsp;");
    out_text(out, time_text);
    out_text(out, "</td><td>&nbsp;&nbsp;");
    out_text(out, size_text);
    out_text(out, "</td></tr>\n");
}

void
send_directory_listing(struct qf_connection *conn, const char *dir)
{
    DIR *dirp = opendir(dir);
    if (dirp == nullptr) {
        send_error(conn, 500, "Cannot open directory", "Error: opendir(%s): %s", dir,
                   strerror(errno));
        return;
    }
    set_close_on_exec(dirfd(dirp));

    /* The entries are read before anything is written, so that running out
     * of memory still gets a clean error response. */
    bool head = is_head_request(conn);
    struct dir_entry *entries = nullptr;
    size_t n = 0;
    bool ok = head || read_dir_entries(conn, dirp, dir, &entries, &n);
    closedir(dirp);
    if (!ok) {
        send_error(conn, 500, "Cannot open directory", "%s", "Error: cannot allocate memory");
        return;
    }

    struct out_buffer out;
    out_init(&out, conn, true);
    out_text(&out, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n\r\n");
    out.uncounted = out.len;
    conn->request_info.status_code = 200;
    if (head) {
        out_flush(&out);
        return;
    }

    const char *uri = conn->request_info.uri != nullptr ? conn->request_info.uri : "";
    write_listing_head(&out, uri, conn->request_info.query_string);

    if (n > 1)
        qsort(entries, n, sizeof(*entries), compare_dir_entries);

    for (size_t i = 0; i < n; i++)
        write_listing_row(&out, uri, &entries[i]);
    free_entries(entries, n);

    out_text(&out, "</table></body></html>");
    out_flush(&out);
}
