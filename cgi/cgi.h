/* cgi/cgi.h: CGI programs and server-side includes: the environment block, the relay of a program's answer, and the include and exec directives. */
#ifndef QF_CGI_H
#define QF_CGI_H

#include <sys/types.h>

#include "http/http.h"

enum {
    CGI_ENV_BUF_SIZE = 4096,
    /* Room for the texts: two bytes of the buffer stay free, one for the
     * NUL of the last text and one for the NUL that ends the block. */
    CGI_ENV_ROOM = CGI_ENV_BUF_SIZE - 2,
    CGI_ENV_MAX_VARS = 64,
    /* Stored variables; the two spare slots keep room for the closing null
     * pointer and one more than the invariant needs. */
    CGI_ENV_STORED_MAX = CGI_ENV_MAX_VARS - 2,
};

/* Deepest nesting of included pages below the requested one. */
enum { SSI_MAX_INCLUDE_LEVEL = 10 };

/* The environment of one CGI program while it is built: NAME=value texts
 * one after another in buf, each with its NUL, and vars pointing at them,
 * closed by a null pointer. Lives on the stack of send_cgi. */
struct cgi_env_block {
    struct qf_connection *conn; /* for the formatter's error reports */
    char buf[CGI_ENV_BUF_SIZE];
    int len;                    /* bytes of buf in use */
    char *vars[CGI_ENV_MAX_VARS];
    int nvars;                  /* entries of vars in use */
};

/* CGI. */
void send_cgi(struct qf_connection *conn, const char *prog);
void prepare_cgi_environment(struct qf_connection *conn, const char *prog,
                             struct cgi_env_block *blk);
char *addenv(struct cgi_env_block *blk, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
pid_t spawn_process(struct qf_connection *conn, const char *prog, char *envp[], int fd_stdin,
                    int fd_stdout, const char *dir);
/* Reads the program's answer from fd and relays it to the client: the
 * status line and headers made from its header block, then the rest. Each
 * wait for output ends after timeout_ms; a wait that ends so counts as the
 * end of the output. */
void relay_cgi_output(struct qf_connection *conn, int fd, int timeout_ms);

/* Server-side includes. */
void send_ssi_file(struct qf_connection *conn, const char *path, FILE *fp, int include_level);

/* The tag scanner of send_ssi_file, apart from any connection: it reads fp
 * to its end and hands over, in page order, page text to pass on, each
 * directive tag ("<!--#" up to its '>', NUL-terminated, len bytes), and
 * each report of a tag dropped for its length. */
struct ssi_sink {
    void (*text)(void *arg, const char *p, int len);
    void (*directive)(void *arg, const char *tag, int len);
    void (*tag_too_large)(void *arg);
    void *arg;
};
void ssi_scan(FILE *fp, const struct ssi_sink *sink);

/* A directive word is recognised by its first letters; *args is set to
 * what follows them (for an unknown word, to the word itself). */
enum ssi_command { SSI_COMMAND_INCLUDE, SSI_COMMAND_EXEC, SSI_COMMAND_UNKNOWN };
enum ssi_command ssi_command_of(const char *tag, const char **args);

/* The form of an include's args and the name it gives; name holds 8192
 * bytes. A leading space in a form matches any white space, and the
 * closing quote is not required. */
enum ssi_include_form {
    SSI_INCLUDE_VIRTUAL,  /* virtual="name": under the document root */
    SSI_INCLUDE_FILE,     /* file="name": as written */
    SSI_INCLUDE_RELATIVE, /* "name": beside the including page */
    SSI_INCLUDE_BAD,
};
enum ssi_include_form ssi_include_form(const char *args, char *name);
/* The file an include names, bounded by size; root is read for the
 * virtual form, page (the including file's path) for the relative one. */
void ssi_include_path(struct qf_connection *conn, enum ssi_include_form form, const char *name,
                      const char *root, const char *page, char *file, size_t size);
/* The command of an exec's args (8192 bytes at cmd); false when none. */
bool ssi_exec_command(const char *args, char *cmd);

#endif
