/* tests/fuzz/fuzz_support.h: what the fuzz targets share: a quiet context
 * without threads, scratch directories, and streams over the input. */
#ifndef QF_FUZZ_SUPPORT_H
#define QF_FUZZ_SUPPORT_H

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
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

}  // namespace qffuzz

#endif
