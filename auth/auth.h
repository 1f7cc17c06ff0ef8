/* auth/auth.h: MD5, Digest authentication and password files. */
#ifndef QF_AUTH_H
#define QF_AUTH_H

#include <stddef.h>

#include "http/http.h"

/* Writes the MD5 of the concatenated NUL-terminated strings (the list ends
 * at the first null pointer) into buf as 32 lower-case hex digits and a NUL;
 * buf holds at least 33 bytes. */
void qf_md5(char *buf, ...) __attribute__((sentinel));

/* Writes len bytes as 2*len lower-case hex digits and a NUL. */
void bin2str(char *to, const unsigned char *p, size_t len);

/* Adds, changes or (with an empty pass) deletes the entry of user in the
 * realm of ctx's auth_realm. Returns 0 on success, 1 when the file or its
 * temporary file could not be opened or replaced. */
int qf_modify_passwords_file(struct qf_context *ctx, const char *fname,
                             const char *user, const char *pass);

#endif
