/* auth/digest.cpp: HTTP Digest checks: which password file applies, the header, the response, the 401 challenge. */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "auth/auth.h"
#include "http/file_cache.h"

/* Password-file names: the length of a translated path, which is bounded
 * by the dispatcher's 4096-byte path buffer. */
enum { AUTH_PATH_SIZE = 4096 };
/* Password-file lines are read in pieces of at most 255 characters; no
 * field can be longer than the piece it comes from. */
enum { PASSWORD_LINE_SIZE = 256 };

static const char HTPASSWD_NAME[] = ".htpasswd";

/* The secret behind the nonces' hash: 16 random bytes as hex. */
enum { NONCE_SECRET_BYTES = 16 };
/* How long a nonce is good for: long enough for a person at a form,
 * short enough that a captured header soon stops working. */
enum { NONCE_LIFETIME_SECONDS = 300 };
/* A nonce's hash part: 20 decimal digits hold any 64-bit value. */
enum { NONCE_HASH_DIGITS = 20 };

static int authorize_and_close(struct qf_connection *conn, FILE *fp);
static const char *nonce_secret(void);
static uint64_t nonce_hash(unsigned long issued);
static bool uri_is_target(const struct qf_request_info *ri, const char *uri);
static char *take_value(char **p);
static bool same_digest(const char *response, const char *expected);

/* RFC 2617:
 *   credentials      = "Digest" digest-response
 *   digest-response  = 1#( username | realm | nonce | digest-uri | response
 *                        | [ algorithm ] | [cnonce] | [opaque] | [message-qop]
 *                        | [nonce-count] | [auth-param] )
 *   auth-param       = token "=" ( token | quoted-string )
 * The header is copied into buf (cut to its size) and taken apart there;
 * the recognised fields point into buf. Unknown names are ignored, a
 * repeated name keeps its last value, a bare token without '=' is passed
 * over. Quoted values run to their closing quote, so a realm with a space
 * or a URI with a comma stays whole. False when the scheme is not Digest. */
bool
parse_digest_header(const char *header, char *buf, size_t size, struct digest_fields *df)
{
    memset(df, 0, sizeof(*df));
    if (header == nullptr || size == 0 || qf_strncasecmp(header, "Digest ", 7) != 0)
        return false;
    qf_strlcpy(buf, header + 7, size);

    static const struct {
        const char *name;
        const char *digest_fields::*field;
    } known[] = {
        {"username", &digest_fields::username}, {"cnonce", &digest_fields::cnonce},
        {"response", &digest_fields::response}, {"uri", &digest_fields::uri},
        {"qop", &digest_fields::qop},           {"nc", &digest_fields::nc},
        {"nonce", &digest_fields::nonce},
    };

    char *p = buf;
    for (;;) {
        p += strspn(p, " \t,");
        if (*p == '\0')
            break;
        char *name = p;
        p += strcspn(p, "=, \t");
        char *name_end = p;
        p += strspn(p, " \t");
        if (*p != '=')
            continue; /* a bare token carries nothing we use */
        p += strspn(p, "=");
        *name_end = '\0';
        char *value = take_value(&p);
        for (const auto &k : known)
            if (strcmp(name, k.name) == 0)
                df->*k.field = value;
    }
    return true;
}

/* Terminates the value at *p in place and moves *p behind it and its
 * separator. A quoted-string loses its quotes and backslash escapes
 * (the unescaped text never runs ahead of the scan); anything between
 * its closing quote and the next comma is dropped. */
static char *
take_value(char **p)
{
    char *s = *p + strspn(*p, " \t");
    char *value;

    if (*s == '"') {
        value = ++s;
        char *out = s;
        while (*s != '\0' && *s != '"') {
            if (*s == '\\' && s[1] != '\0')
                s++;
            *out++ = *s++;
        }
        if (*s == '"')
            s++;
        s += strcspn(s, ",");
        *out = '\0';
    } else {
        value = s;
        s += strcspn(s, ", \t");
        if (*s != '\0')
            *s++ = '\0';
    }
    *p = s;
    return value;
}

/* RFC 2617, qop "auth":
 *   response = MD5(ha1 ":" nonce ":" nc ":" cnonce ":" qop ":" MD5(method ":" uri))
 * An absent field ends the hashed text where it would stand, as qf_md5's
 * argument list ends at the first null pointer. */
void
digest_expected_response(char *expected, const char *ha1, const char *method,
                         const struct digest_fields *df)
{
    char ha2[33];

    qf_md5(ha2, method != nullptr ? method : "", ":", df->uri, nullptr);
    qf_md5(expected, ha1, ":", df->nonce, ":", df->nc, ":", df->cnonce, ":", df->qop, ":", ha2,
           nullptr);
}

/* Reads "user:realm:ha1" lines from the current position of fp; the ha1
 * field ends at the first white space. Only the start of an over-long
 * line is looked at: its later pieces are not lines of their own. Copies
 * the ha1 of the first line for user in realm into ha1 and returns true. */
bool
find_password_entry(FILE *fp, const char *user, const char *realm, char *ha1, size_t size)
{
    char line[PASSWORD_LINE_SIZE], u[PASSWORD_LINE_SIZE], r[PASSWORD_LINE_SIZE],
        h[PASSWORD_LINE_SIZE];
    bool at_line_start = true;

    while (fgets(line, sizeof(line), fp) != nullptr) {
        bool starts_line = at_line_start;
        at_line_start = strchr(line, '\n') != nullptr;
        if (!starts_line || sscanf(line, "%255[^:]:%255[^:]:%255s", u, r, h) != 3)
            continue;
        if (strcmp(u, user) == 0 && strcmp(r, realm) == 0) {
            qf_strlcpy(ha1, h, size);
            return true;
        }
    }
    return false;
}

/* Made once per process; a server restart makes every nonce stale. */
static const char *
nonce_secret(void)
{
    static std::once_flag once;
    static char secret[2 * NONCE_SECRET_BYTES + 1];

    std::call_once(once, [] {
        unsigned char raw[NONCE_SECRET_BYTES];
        size_t got = 0;
        while (got < sizeof(raw)) {
            ssize_t n = getrandom(raw + got, sizeof(raw) - got, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += (size_t) n;
        }
        if (got < sizeof(raw)) { /* no entropy source: still unguessable enough per start */
            struct timespec ts;
            clock_gettime(CLOCK_REALTIME, &ts);
            unsigned long mix[] = {(unsigned long) ts.tv_nsec, (unsigned long) ts.tv_sec,
                                   (unsigned long) getpid(), (unsigned long) &got};
            memcpy(raw, mix, sizeof(raw) < sizeof(mix) ? sizeof(raw) : sizeof(mix));
        }
        bin2str(secret, raw, sizeof(raw));
    });
    return secret;
}

static uint64_t
nonce_hash(unsigned long issued)
{
    char t[24], digest[33];

    snprintf(t, sizeof(t), "%lu", issued);
    qf_md5(digest, nonce_secret(), ":", t, nullptr);
    digest[16] = '\0';
    return (uint64_t) strtoull(digest, nullptr, 16);
}

long
nonce_lifetime(void)
{
    static const long lifetime = [] {
        const char *test = getenv("QF_TEST_NONCE_LIFETIME");
        long v = test != nullptr ? strtol(test, nullptr, 10) : 0;
        return v > 0 && v < NONCE_LIFETIME_SECONDS ? v : (long) NONCE_LIFETIME_SECONDS;
    }();
    return lifetime;
}

void
make_nonce(time_t issued, char *buf, size_t size)
{
    snprintf(buf, size, "%lu%0*llu", (unsigned long) issued, (int) NONCE_HASH_DIGITS,
             (unsigned long long) nonce_hash((unsigned long) issued));
}

/* Ours when the hash part is the hash of the time part; a time ahead of
 * the clock is not one we issued. */
enum nonce_state
check_nonce(const char *nonce, time_t now)
{
    size_t len = nonce != nullptr ? strlen(nonce) : 0;

    if (len <= NONCE_HASH_DIGITS || len > NONCE_HASH_DIGITS + 19 ||
        strspn(nonce, "0123456789") != len)
        return NONCE_FORGED;
    char time_part[24];
    memcpy(time_part, nonce, len - NONCE_HASH_DIGITS);
    time_part[len - NONCE_HASH_DIGITS] = '\0';
    unsigned long issued = strtoul(time_part, nullptr, 10);
    char expected[NONCE_SIZE];
    make_nonce((time_t) issued, expected, sizeof(expected));
    if (strcmp(expected, nonce) != 0 || (time_t) issued > now)
        return NONCE_FORGED;
    return now - (time_t) issued > nonce_lifetime() ? NONCE_EXPIRED : NONCE_FRESH;
}

/* The header's uri names the request's target: taken apart as the
 * dispatcher took the target (query cut off, decoded, cleaned), it must
 * give the same path and the same query. */
static bool
uri_is_target(const struct qf_request_info *ri, const char *uri)
{
    char buf[DIGEST_BUF_SIZE];

    if (ri->uri == nullptr || uri == nullptr)
        return false;
    qf_strlcpy(buf, uri, sizeof(buf));
    char *query = strchr(buf, '?');
    if (query != nullptr)
        *query++ = '\0';
    if ((query == nullptr) != (ri->query_string == nullptr) ||
        (query != nullptr && strcmp(query, ri->query_string) != 0))
        return false;
    size_t len = strlen(buf);
    if ((size_t) url_decode(buf, len, buf, len + 1, 0) != strlen(buf))
        return false;
    clean_uri(buf);
    return strcmp(buf, ri->uri) == 0;
}

/* The claimed user name is kept for the access log and CGI whether or not
 * the check succeeds. A response counts only for this request's target and
 * under a nonce this server issued; a right response under an expired
 * nonce marks the connection for a stale=true challenge. The client's
 * realm and nc are not checked. */
int
authorize(struct qf_connection *conn, FILE *fp)
{
    struct qf_request_info *ri = &conn->request_info;
    struct qf_context *ctx = conn->ctx;
    char buf[DIGEST_BUF_SIZE];
    struct digest_fields df;

    if (!parse_digest_header(qf_get_header(conn, "Authorization"), buf, sizeof(buf), &df))
        return 0;
    if (df.username != nullptr) {
        /* PUT and DELETE are checked twice; the second copy replaces the first. */
        qf_free(ri->remote_user);
        ri->remote_user = qf_strdup(df.username);
    }
    if (df.username == nullptr || df.response == nullptr || strlen(df.response) != 32)
        return 0;

    /* A realm longer than a password-file line can match no line. */
    char realm[PASSWORD_LINE_SIZE];
    lock_option(ctx, OPT_AUTH_DOMAIN);
    const char *configured = ctx->options[OPT_AUTH_DOMAIN];
    bool fits = strnlen(configured != nullptr ? configured : "", sizeof(realm)) < sizeof(realm);
    qf_strlcpy(realm, configured, sizeof(realm));
    unlock_option(ctx, OPT_AUTH_DOMAIN);

    char ha1[PASSWORD_LINE_SIZE];
    if (!fits || !find_password_entry(fp, df.username, realm, ha1, sizeof(ha1)))
        return 0;

    enum nonce_state nonce = check_nonce(df.nonce, time(nullptr));
    if (nonce == NONCE_FORGED || !uri_is_target(ri, df.uri))
        return 0;
    char expected[33];
    digest_expected_response(expected, ha1, ri->request_method, &df);
    if (!same_digest(df.response, expected))
        return 0;
    if (nonce == NONCE_EXPIRED) {
        conn->nonce_stale = true;
        return 0;
    }
    return 1;
}

/* Both 32 hex digits, compared without regard to case. Every digit is
 * looked at, so the time taken does not tell how many matched: a client
 * picks its own nonce and could otherwise learn a valid response digit
 * by digit. */
static bool
same_digest(const char *response, const char *expected)
{
    unsigned diff = 0;

    for (int i = 0; i < 32; i++)
        diff |= (unsigned) (lowercase(response + i) ^ lowercase(expected + i));
    return diff == 0;
}

static int
authorize_and_close(struct qf_connection *conn, FILE *fp)
{
    int result = authorize(conn, fp);
    fclose(fp);
    return result;
}

/* The first protect entry whose prefix starts the URI names the file; a
 * file that cannot be opened passes the decision to auth_gpass when that
 * is set, and refuses otherwise: a protected path must never open up
 * because its file went missing or became unreadable. Then auth_gpass,
 * which once set must be readable: a global file that has gone missing
 * refuses everything rather than open the whole site. Last the
 * .htpasswd beside the requested file (or in the requested directory),
 * whose absence leaves the request unprotected. */
int
check_authorization(struct qf_connection *conn, const char *path, int is_directory)
{
    struct qf_context *ctx = conn->ctx;
    const char *uri = conn->request_info.uri != nullptr ? conn->request_info.uri : "";
    char name[AUTH_PATH_SIZE];
    FILE *fp = nullptr;
    bool matched = false;
    int err = 0;

    lock_option(ctx, OPT_PROTECT);
    const char *list = ctx->options[OPT_PROTECT];
    struct vec prefix, file;
    while ((list = next_option(list, &prefix, &file)) != nullptr) {
        if (strncmp(uri, prefix.ptr, prefix.len) != 0)
            continue;
        matched = true;
        qf_strlcpy(name, file.ptr, file.len + 1 < sizeof(name) ? file.len + 1 : sizeof(name));
        if ((fp = fopen(name, "re")) == nullptr)
            err = errno;
        break;
    }
    unlock_option(ctx, OPT_PROTECT);
    if (fp != nullptr)
        return authorize_and_close(conn, fp);
    if (matched)
        cry(conn, "%s: cannot open %s: %s", "check_authorization", name, strerror(err));

    /* An empty value is how the administration page clears the option. */
    lock_option(ctx, OPT_AUTH_GPASSWD);
    const char *gpass = ctx->options[OPT_AUTH_GPASSWD];
    bool has_gpass = gpass != nullptr && gpass[0] != '\0';
    if (has_gpass) {
        qf_strlcpy(name, gpass, sizeof(name));
        if ((fp = fopen(name, "re")) == nullptr)
            err = errno;
    }
    unlock_option(ctx, OPT_AUTH_GPASSWD);
    if (has_gpass) {
        if (fp != nullptr)
            return authorize_and_close(conn, fp);
        cry(fc(ctx), "fopen(%s): %s", name, strerror(err));
        return 0;
    }
    if (matched)
        return 0;

    /* The directory part ends at the last '/', a trailing one included. */
    if (is_directory < 0) {
        struct qfstat st;
        is_directory = qf_stat(path, &st) == 0 && st.is_directory;
    }
    const char *slash = strrchr(path, '/');
    size_t dir_len = is_directory ? strlen(path) : slash != nullptr ? (size_t) (slash - path) : 0;
    size_t sep = slash != nullptr || dir_len > 0 ? 1 : 0; /* no '/' at all: the bare name */
    if (dir_len + sep + sizeof(HTPASSWD_NAME) > sizeof(name)) {
        cry(conn, "%s: path too long: %s", "check_authorization", log_escaped(path).c_str());
        return 0; /* the file that would protect it cannot even be named */
    }
    memcpy(name, path, dir_len);
    name[dir_len] = '/';
    memcpy(name + dir_len + sep, HTPASSWD_NAME, sizeof(HTPASSWD_NAME));
    /* Most directories have no password file: a bare open spares that
     * common case the stream's allocation and stdio's global list lock. */
    if (password_file_known_absent(ctx, name))
        return 1;
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if ((fp = fdopen(fd, "r")) != nullptr)
            return authorize_and_close(conn, fp);
        err = errno;
        close(fd);
    } else {
        err = errno;
    }
    if (err == ENOENT || err == ENOTDIR) {
        note_password_file_absent(ctx, name);
        return 1;
    }
    /* There, but unreadable: it was meant to protect something. */
    cry(conn, "fopen(%s): %s", log_escaped(name).c_str(), strerror(err));
    return 0;
}

/* A fresh nonce each time; stale=true tells a client whose only fault was
 * an old nonce to answer again without asking its user. */
void
send_authorization_request(struct qf_connection *conn)
{
    struct qf_context *ctx = conn->ctx;
    char buf[8192], nonce[NONCE_SIZE];

    make_nonce(time(nullptr), nonce, sizeof(nonce));

    conn->request_info.status_code = 401;
    /* Formatted under the realm's lock, sent outside it: a slow client must
     * not hold up an option change. */
    lock_option(ctx, OPT_AUTH_DOMAIN);
    const char *realm = ctx->options[OPT_AUTH_DOMAIN];
    int len = qf_snprintf(conn, buf, sizeof(buf),
                          "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest qop=\"auth\", "
                          "realm=\"%s\", nonce=\"%s\"%s\r\n%s\r\n",
                          realm != nullptr ? realm : "", nonce,
                          conn->nonce_stale ? ", stale=true" : "", keep_alive_fields(conn));
    unlock_option(ctx, OPT_AUTH_DOMAIN);
    qf_write(conn, buf, len);
}

/* For authorization callbacks: lets the request go on past the callback. */
void
qf_authorize(struct qf_connection *conn)
{
    conn->callback_authorized = true;
}
