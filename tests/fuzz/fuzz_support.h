/* tests/fuzz/fuzz_support.h: what the fuzz targets share: a quiet context
 * without threads, scratch directories, and streams over the input. */
#ifndef QF_FUZZ_SUPPORT_H
#define QF_FUZZ_SUPPORT_H

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <string>

#include "server_bare_context.h"

namespace qffuzz {

/* Lines logged so far: a quiet context's error log counts them instead. */
inline unsigned long log_lines;

/* A context without threads, every option at its default, and an error
 * log that goes nowhere: millions of runs must not fill memory or disk. */
inline struct qf_context *quiet_context()
{
    static std::deque<qftest::BareContext> kept; /* released at exit */
    qftest::BareContext *bare = &kept.emplace_back();
    bare->ctx->log_callback = [](struct qf_connection *, const struct qf_request_info *, void *) {
        log_lines++;
    };
    for (const struct qf_option *opt = known_options; opt->name != nullptr; opt++)
        if (opt->default_value != nullptr)
            qf_set_option(bare->ctx, opt->name, opt->default_value);
    return bare->ctx;
}

inline void set_option(struct qf_context *ctx, const char *name, const std::string &value)
{
    if (qf_set_option(ctx, name, value.c_str()) != 1) {
        fprintf(stderr, "fuzz set-up: option %s refused [%s]\n", name, value.c_str());
        abort();
    }
}

/* A fresh directory under /tmp, removed when the fuzzer exits normally. */
inline std::string scratch_dir()
{
    static std::string made;
    char tmpl[] = "/tmp/qf-fuzz-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    made = tmpl;
    atexit([] {
        nftw(made.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); },
             16, FTW_DEPTH | FTW_PHYS);
    });
    return made;
}

inline void write_file(const std::string &path, const std::string &data)
{
    FILE *fp = fopen(path.c_str(), "wb");
    if (fp == nullptr || fwrite(data.data(), 1, data.size(), fp) != data.size() || fclose(fp) != 0) {
        perror(path.c_str());
        abort();
    }
}

inline void make_dir(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) != 0) {
        perror(path.c_str());
        abort();
    }
}

/* A read stream over bytes that the caller keeps alive; an empty input
 * reads as an empty file. */
inline FILE *open_bytes(const uint8_t *data, size_t size)
{
    static char empty[1];
    FILE *fp = size > 0 ? fmemopen((void *) data, size, "rb") : fmemopen(empty, 1, "rb");
    if (fp != nullptr && size == 0)
        (void) fgetc(fp); /* step over the one byte: nothing is left */
    if (fp == nullptr) {
        perror("fmemopen");
        abort();
    }
    return fp;
}

/* Whether a path has a ".." component (root and alias directories have none). */
inline bool climbs(const char *path)
{
    for (const char *p = path; (p = strstr(p, "..")) != nullptr; p += 2)
        if ((p == path || p[-1] == '/') && (p[2] == '\0' || p[2] == '/'))
            return true;
    return false;
}

/* A path served must lie below the root or an alias. */
inline void check_path(struct qf_connection *conn, const char *uri)
{
    char path[4096];
    translate_path(conn, uri, path, sizeof(path));
    if (climbs(path)) {
        fprintf(stderr, "URI [%s] maps to [%s], which climbs\n", uri, path);
        abort();
    }
}

inline int bytes_waiting(int sock)
{
    int n = -1;
    return ioctl(sock, FIONREAD, &n) == 0 ? n : -1;
}

/* Reads a head off conn's socket, parses it once and serves it as a worker does. With a
 * loop_ctx the intake's loop decides first, under that context: it answers (true; conn->unsent
 * holds what the socket did not take) or leaves it to a worker having sent, kept and logged
 * nothing, which the client's end (client) and the log count tell; the worker then serves the
 * same record. */
inline bool serve_head(struct qf_connection *conn, struct qf_context *loop_ctx, int client)
{
    static char buf[MAX_REQUEST_SIZE + 1];
    static struct head_record rec;
    int nread = 0;
    int request_len = read_request(nullptr, conn->client.sock, conn->ssl, buf, MAX_REQUEST_SIZE, &nread);
    if (request_len <= 0) {
        serve_request(conn, nullptr);
        return false;
    }
    (void) parse_head(buf, nread, request_len, &rec);
    if (loop_ctx != nullptr) {
        int waiting = bytes_waiting(client);
        unsigned long lines = log_lines;
        struct qf_context *ctx = conn->ctx;
        conn->ctx = loop_ctx;
        conn->in_loop = true;
        if (conn->ssl != nullptr)
            tls_loop_writes(conn->ssl);
        bool answered = serve_in_loop(conn, &rec);
        reset_per_request_attributes(conn);
        conn->in_loop = false;
        if (answered) {
            /* As cleaned for a look-up: an answer refused earlier left it raw. */
            if (conn->request_info.uri != nullptr) {
                std::string uri = conn->request_info.uri;
                clean_uri(&uri[0]);
                check_path(conn, uri.c_str());
            }
            return true;
        }
        conn->ctx = ctx;
        if (bytes_waiting(client) != waiting || conn->unsent_len != 0 || log_lines != lines) {
            fprintf(stderr, "left to a worker after output: client had %d bytes, now %d; %zu kept; %lu lines logged\n",
                    waiting, bytes_waiting(client), conn->unsent_len, log_lines - lines);
            abort();
        }
    }
    serve_request(conn, &rec);
    reset_per_request_attributes(conn);
    return false;
}

/* Sends what the loop kept as the client drains. write: > 0 bytes taken, 0
 * for none yet, < 0 when the client is gone. */
template <class Write, class Drain>
void send_kept(struct qf_connection *conn, Write write, Drain drain)
{
    for (size_t done = 0; done < conn->unsent_len;) {
        drain();
        long n = write(conn->unsent + done, conn->unsent_len - done);
        if (n < 0)
            break;
        done += (size_t) n;
    }
    free(conn->unsent);
    conn->unsent = nullptr;
    conn->unsent_len = 0;
}

inline void receive_all(int sock, std::string *into)
{
    char buf[65536];
    for (ssize_t n; (n = recv(sock, buf, sizeof(buf), MSG_DONTWAIT)) > 0;)
        into->append(buf, (size_t) n);
}

/* Serves the bytes (at most 64 KiB of them) as one client's request and returns the answer. The
 * whole request waits before the server reads, and then the client has nothing more to say: no
 * read ever waits. A worker's answer bigger than the socket's buffer is cut, not waited on. */
inline std::string serve(struct qf_context *ctx, const uint8_t *data, size_t size,
                         struct qf_context *loop_ctx = nullptr)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        abort();
    size_t sent = size < 65536 ? size : 65536;
    if (sent > 0 && write(sv[0], data, sent) != (ssize_t) sent)
        abort();
    shutdown(sv[0], SHUT_WR);
    fcntl(sv[1], F_SETFL, O_NONBLOCK);

    struct qf_connection conn;
    memset(&conn, 0, sizeof(conn));
    conn.ctx = ctx;
    conn.client.sock = sv[1];
    std::string reply;
    if (serve_head(&conn, loop_ctx, sv[0]))
        send_kept(
            &conn,
            [&](const char *p, size_t len) -> long {
                ssize_t n = send(sv[1], p, len, MSG_DONTWAIT | MSG_NOSIGNAL);
                return n >= 0 ? n : errno == EAGAIN ? 0 : -1;
            },
            [&] { receive_all(sv[0], &reply); });
    close(sv[1]);
    receive_all(sv[0], &reply);
    close(sv[0]);
    return reply;
}

}  // namespace qffuzz

#endif
