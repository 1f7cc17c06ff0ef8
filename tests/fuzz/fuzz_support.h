/* tests/fuzz/fuzz_support.h: what the fuzz targets share: a quiet context
 * without threads, scratch directories, and streams over the input. */
#ifndef QF_FUZZ_SUPPORT_H
#define QF_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <string>

#include "server_bare_context.h"

namespace qffuzz {

/* A context without threads, every option at its default, and an error
 * log that goes nowhere: millions of runs must not fill memory or disk. */
inline struct qf_context *quiet_context()
{
    static std::deque<qftest::BareContext> kept; /* released at exit */
    qftest::BareContext *bare = &kept.emplace_back();
    bare->ctx->log_callback = [](struct qf_connection *, const struct qf_request_info *, void *) {};
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

/* Serves the bytes (at most 64 KiB of them) as one client's request and returns the answer. The
 * whole request waits before the server reads, and then the client has nothing more to say: no
 * read ever waits. An answer bigger than the socket's buffer is cut, not waited on. */
inline std::string serve(struct qf_context *ctx, const uint8_t *data, size_t size)
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
    process_new_connection(&conn);
    reset_per_request_attributes(&conn);
    close(sv[1]);

    std::string reply;
    char buf[65536];
    for (ssize_t n; (n = recv(sv[0], buf, sizeof(buf), MSG_DONTWAIT)) > 0;)
        reply.append(buf, (size_t) n);
    close(sv[0]);
    return reply;
}

}  // namespace qffuzz

#endif
