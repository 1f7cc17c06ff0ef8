/* auth/passwords.cpp: adding, changing and deleting entries of a password file (-A). */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "auth/auth.h"

/* Longest file name, temporary suffix included. */
enum { PASSWORDS_PATH_SIZE = 4096 };
/* Lines are read in pieces of at most 511 characters; user and realm can
 * be no longer than the piece they come from. */
enum { PASSWORDS_LINE_SIZE = 512 };

static bool copy_entries(FILE *in, FILE *out, const char *user, const char *realm,
                         const char *pass);
static void write_entry(FILE *out, const char *user, const char *realm, const char *pass);

/* Rewrites fname through "fname.tmp": every line of user in ctx's realm is
 * replaced by the new entry, or dropped when pass is empty; a new entry is
 * appended when there was none; lines without a user and a realm vanish.
 * The finished temporary file is renamed over the old one, so a reader sees
 * either the old file or the new, and a failure leaves the old one whole.
 * Returns 0 on success, 1 when a file cannot be opened, written or replaced. */
int
qf_modify_passwords_file(struct qf_context *ctx, const char *fname, const char *user,
                         const char *pass)
{
    char tmp[PASSWORDS_PATH_SIZE];
    const char *realm = ctx->options[OPT_AUTH_DOMAIN]; /* as qf_get_option reads it: no lock */

    if (realm == nullptr)
        realm = "";
    /* A cut temporary name could be the file itself, truncated by "w+". */
    if ((size_t) qf_snprintf(fc(ctx), tmp, sizeof(tmp), "%s.tmp", fname) != strlen(fname) + 4)
        return 1;

    /* A missing file is created, so the first user of a new file is an add. */
    FILE *in = fopen(fname, "a+");
    if (in != nullptr)
        fclose(in);

    in = fopen(fname, "r");
    if (in == nullptr) {
        cry(fc(ctx), "Cannot open %s: %s", fname, strerror(errno));
        return 1;
    }
    FILE *out = fopen(tmp, "w+");
    if (out == nullptr) {
        cry(fc(ctx), "Cannot open %s: %s", tmp, strerror(errno));
        fclose(in);
        return 1;
    }
    /* The new file takes the old one's place, so it takes its permissions
     * too: a file kept private must not turn world-readable. */
    struct stat st;
    if (fstat(fileno(in), &st) == 0)
        (void) fchmod(fileno(out), st.st_mode & 07777);

    bool read_ok = copy_entries(in, out, user, realm, pass);
    int read_errno = errno;
    fclose(in);
    if (!read_ok) {
        cry(fc(ctx), "Cannot read %s: %s", fname, strerror(read_errno));
        fclose(out);
        remove(tmp);
        return 1;
    }
    bool write_ok = fflush(out) == 0 && ferror(out) == 0;
    write_ok = fclose(out) == 0 && write_ok;
    if (!write_ok) {
        cry(fc(ctx), "Cannot write %s: %s", tmp, strerror(errno));
        remove(tmp);
        return 1;
    }

    if (rename(tmp, fname) != 0) {
        cry(fc(ctx), "Cannot rename %s to %s: %s", tmp, fname, strerror(errno));
        remove(tmp);
        return 1;
    }
    return 0;
}

/* Copies in to out, replacing or dropping the entries of user in realm, and
 * appends the entry when none was found and pass is not empty. Returns
 * false, with errno from the read, when reading in failed. */
static bool
copy_entries(FILE *in, FILE *out, const char *user, const char *realm, const char *pass)
{
    char line[PASSWORDS_LINE_SIZE], u[PASSWORDS_LINE_SIZE], r[PASSWORDS_LINE_SIZE];
    bool is_delete = pass == nullptr || pass[0] == '\0';
    bool found = false;
    bool open_line = false;   /* the last copied piece did not end its line */

    while (fgets(line, sizeof(line), in) != nullptr) {
        if (sscanf(line, "%511[^:]:%511[^:]:%*s", u, r) != 2)
            continue;
        if (strcmp(u, user) == 0 && strcmp(r, realm) == 0) {
            found = true;
            if (!is_delete)
                write_entry(out, user, realm, pass);
            open_line = false;
            continue;
        }
        fputs(line, out);
        open_line = line[strlen(line) - 1] != '\n';
    }
    if (ferror(in))
        return false;

    /* A last line without its newline would otherwise run into the next
     * entry written after it. */
    if (open_line)
        fputc('\n', out);
    if (!found && !is_delete)
        write_entry(out, user, realm, pass);
    return true;
}

/* The entry format that Digest authentication reads back:
 * user ":" realm ":" MD5(user ":" realm ":" password). */
static void
write_entry(FILE *out, const char *user, const char *realm, const char *pass)
{
    char ha1[33];

    qf_md5(ha1, user, ":", realm, ":", pass, nullptr);
    fprintf(out, "%s:%s:%s\n", user, realm, ha1);
}
