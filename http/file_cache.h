/* http/file_cache.h: what an intake loop remembers of the files it serves, so that a small
 * file on a kept connection costs no open, read or close. Only loop threads have one; on any
 * other thread every call falls through to the file system. */
#ifndef QF_HTTP_FILE_CACHE_H
#define QF_HTTP_FILE_CACHE_H

#include <stddef.h>

#include "server/server.h"

/* The calling thread gets a cache of its own (an intake loop, at its start). */
void file_cache_attach(void);
void file_cache_detach(void);

/* The file_cache option: seconds a found file's status and a directory's
 * lack of a password file are trusted without looking again (0: never). */
bool set_file_cache_option(struct qf_context *ctx, const char *value);

/* qf_stat through the cache: 0 and st filled, or -1. */
int cached_stat(struct qf_context *ctx, const char *path, struct qfstat *st);

/* The whole body of a small regular file, as the last cached_stat of path
 * saw it; null when it is not held (then the caller reads the file). */
const char *cached_body(const char *path, const struct qfstat *st, size_t *len);

/* Whether the password file at name (a directory's) is known to be absent,
 * and the note that it was found so. */
bool password_file_known_absent(struct qf_context *ctx, const char *name);
void note_password_file_absent(struct qf_context *ctx, const char *name);

/* The server itself changed a file (PUT, DELETE): every loop forgets all. */
void file_cache_forget_all(void);

#endif
