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

/* 1 when the request for the translated path may proceed, 0 when it must
 * be answered with the challenge. is_directory tells whether path names a
 * directory: -1 when unknown (then it is looked up), else 0 or 1, for a
 * caller that has just looked the path up itself. */
int check_authorization(struct qf_connection *conn, const char *path, int is_directory = -1);

/* Non-zero when the request's Digest credentials match the password file
 * open on fp. */
int authorize(struct qf_connection *conn, FILE *fp);

/* Sets status 401 and writes the Digest challenge. */
void send_authorization_request(struct qf_connection *conn);

/* Lets a request go on past the authorization callback that calls it. */
void qf_authorize(struct qf_connection *conn);

/* Nonces: the issue time in decimal followed by 20 decimal digits of a
 * keyed hash of it under a secret made at start-up, so the server knows
 * its own nonces without keeping them. */
enum { NONCE_SIZE = 48 };
enum nonce_state { NONCE_FRESH, NONCE_EXPIRED, NONCE_FORGED };
void make_nonce(time_t issued, char *buf, size_t size);
enum nonce_state check_nonce(const char *nonce, time_t now);
/* How long a nonce is accepted: 300 seconds, or for tests only the number
 * of seconds in the environment variable QF_TEST_NONCE_LIFETIME. */
long nonce_lifetime(void);

/* The working copy of an Authorization header: longer values are cut. */
enum { DIGEST_BUF_SIZE = 8192 };

/* The Digest fields that the check uses; each points into the working
 * copy, or is null when the header lacks it. */
struct digest_fields {
    const char *username;
    const char *cnonce;
    const char *response;
    const char *uri;
    const char *qop;
    const char *nc;
    const char *nonce;
};

/* Copies the header value behind "Digest " (any case) into buf and fills
 * df from it. False, with df all null, for another scheme or none. */
bool parse_digest_header(const char *header, char *buf, size_t size, struct digest_fields *df);

/* The response a client with the password behind ha1 sends for method. */
void digest_expected_response(char *expected, const char *ha1, const char *method,
                              const struct digest_fields *df);

/* Finds the first "user:realm:ha1" line for user in realm from fp's
 * position on and copies its ha1; false when there is none. */
bool find_password_entry(FILE *fp, const char *user, const char *realm, char *ha1, size_t size);

#endif
