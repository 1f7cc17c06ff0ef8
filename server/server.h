/* server/server.h: the server context, its option table, the error log and
 * the small string and file utilities that every part of the server uses. */
#ifndef QF_SERVER_H
#define QF_SERVER_H

#include <netinet/in.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

#include <string>

#include "server/text.h"

struct qf_connection;
struct qf_request_info;

/* The TLS library's handles, declared as the library declares them, so
 * that only server/tls.cpp includes its headers. */
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef int (*qf_ssl_password_cb)(char *buf, int size, int rwflag, void *userdata);

/* Handler of URI, authorization and error callbacks and of the log
 * callback; for the log callback user_data is the text of the error line. */
typedef void (*qf_callback_t)(struct qf_connection *conn,
                              const struct qf_request_info *ri, void *user_data);

/* An IPv4 or IPv6 socket address with its length. */
struct usa {
    socklen_t len;
    union {
        struct sockaddr sa;
        struct sockaddr_in sin;
        struct sockaddr_in6 sin6;
    } u;
};

/* Room for an address in text form, IPv6 included. */
enum { QF_ADDRSTRLEN = 46 };
/* The address in its usual text form ("::1", "10.0.0.1"); an empty record
 * (no client) reads as "0.0.0.0". */
void qf_address_text(const struct usa *a, char *buf, size_t size);

/* A listening or accepted socket. */
struct socket {
    int sock;
    struct usa lsa; /* local address */
    struct usa rsa; /* remote address */
    bool is_ssl;
};

/* A piece of a longer string, not terminated. */
struct vec {
    const char *ptr;
    size_t len;
};

/* What qf_stat reports of a file. */
struct qfstat {
    bool is_directory;
    uint64_t size;
    time_t mtime;
};

/* One registered URI, authorization or error callback. */
struct callback {
    char *uri_regex;     /* owned copy; null for error callbacks */
    qf_callback_t func;
    bool is_auth;
    int status_code;     /* error code, 0 for every code, -1 for URI/auth */
    void *user_data;
};

enum {
    NUM_OPTIONS = 27,
    MAX_LISTENING_SOCKETS = 10,
    MAX_CALLBACKS = 20,
    MAX_QUEUED_SOCKETS = 20,
    MAX_REQUEST_SIZE = 8192, /* a request head with the body bytes read with it */
    MAX_INTAKE_LOOPS = 8,    /* one per CPU, up to this */
    PANEL_DIR_SIZE = 4096,   /* a real path: PATH_MAX */
};

/* Option ids: the slot of each option in options[] and opt_locks[].
 * Ids 18 and 19 are not used by any option. */
enum {
    OPT_ROOT = 0,
    OPT_INDEX_FILES = 1,
    OPT_PORTS = 2,
    OPT_DIR_LIST = 3,
    OPT_CGI_EXTENSIONS = 4,
    OPT_CGI_INTERPRETER = 5,
    OPT_CGI_ENV = 6,
    OPT_SSI_EXTENSIONS = 7,
    OPT_AUTH_DOMAIN = 8,
    OPT_AUTH_GPASSWD = 9,
    OPT_AUTH_PUT = 10,
    OPT_ACCESS_LOG = 11,
    OPT_ERROR_LOG = 12,
    OPT_SSL_CERTIFICATE = 13,
    OPT_ALIASES = 14,
    OPT_ACL = 15,
    OPT_UID = 16,
    OPT_PROTECT = 17,
    OPT_ADMIN_URI = 20,
    OPT_MAX_THREADS = 21,
    OPT_IDLE_TIME = 22,
    OPT_MIME_TYPES = 23,
    OPT_SERVER_NAMES = 24,
    OPT_KEEP_ALIVE = 25,
    OPT_FILE_CACHE = 26,
};

/* A worker asleep in get_socket, on its own stack: put_socket wakes the
 * most recently idle one, whose stack and cache are still warm, and the
 * semaphore lets it sleep and wake without holding thr_mutex. */
struct idle_worker {
    sem_t wake;                /* posted once when woken is set */
    bool woken;                /* chosen by put_socket or the stop */
    struct idle_worker *next;
};

/* A request body the intake read before it queued the request. With whole
 * false, data holds the first bytes of a body that the worker reads on
 * from the client, as it does one that came with the head. */
enum body_fault {
    BODY_SOUND,
    BODY_TOO_LARGE, /* chunked, past the bound of a body in memory: none of it kept */
    BODY_MALFORMED, /* chunked, malformed */
    BODY_CUT_SHORT, /* the client left, or the temporary file failed */
};
struct held_body {
    char *data;         /* heap, one spare byte for a terminator; null: nothing held */
    int len;            /* bytes in data */
    bool whole;         /* the whole body, decoded when it came chunked */
    bool in_file;       /* then the bytes behind data's are in fd, unlinked */
    bool continued;     /* "100 Continue" has been sent */
    enum body_fault fault;
    int fd;
    uint64_t file_len;
    uint64_t reserved;  /* of the room for bodies in files: release_body_room */
    /* Read past the body's end: the next request's start (heap, at most
     * MAX_REQUEST_SIZE bytes). rest_lost: there was no memory to keep it. */
    char *rest;
    int rest_len;
    bool rest_lost;
};
/* The room for request bodies held in temporary files, shared by all
 * clients (http/body.cpp): reserve_body_room is false when it is used up. */
bool reserve_body_room(uint64_t bytes);
void release_body_room(uint64_t reserved);

/* A complete request head on its way from the intake to a worker: the
 * bytes read so far (the header block, maybe some body) in a pooled buffer
 * of MAX_REQUEST_SIZE + 1 bytes, with the record of the head's one parse
 * kept behind them (http.h: head_record_of), which the worker gives back. */
struct request_head {
    struct socket client;
    SSL *ssl;        /* a TLS connection, its handshake done; null for plain */
    char *buf;
    int nread;       /* bytes in buf */
    int request_len; /* length of the header block */
    struct held_body body; /* the worker owns it from serve_request on */
    int served;      /* requests answered on the connection before this one */
};

/* A connection that stays open after its answer goes back to an intake
 * loop with what its next request needs. */
struct kept_connection {
    struct socket client;
    int served;      /* requests answered on it, this one included */
    char *carry;     /* bytes read beyond the request: the next one's start (heap) */
    int carry_len;
};

/* The rest of a file that a worker could not send without waiting: the
 * intake sends it as the client drains and then writes the access-log
 * line (log_line with the byte count put in at log_split; null when there
 * was no access log). */
struct file_send {
    int sock;
    int fd;
    off_t offset;
    uint64_t remaining;
    uint64_t sent;   /* body bytes sent so far, the worker's included */
    char *log_line;
    size_t log_split;
    SSL *ssl;        /* TLS: the file goes through it piece by piece */
    char *piece;     /* the piece being written (TLS) */
    size_t piece_len;
    size_t piece_written;
    char *kept;      /* bytes of the loop's answer the socket did not take at once */
    size_t kept_len, kept_sent;
    /* Non-null: once all is sent the connection waits for its next request
     * (close_notify is not sent). */
    struct kept_connection *keep;
    struct file_send *next;
};

/* Buffers of heads, kept for reuse; guarded by pool_mutex. */
struct pooled_buffer {
    struct pooled_buffer *next;
};

/* The whole state of one running server. */
struct qf_context {
    volatile int stop_flag;  /* 0 running, 1 asked to stop, 2 finished */
    SSL_CTX *ssl_ctx;
    FILE *access_log;
    FILE *error_log;

    /* Guarded by opt_locks[OPT_PORTS]; read by the intake's loops. */
    struct socket listeners[MAX_LISTENING_SOCKETS];
    int num_listeners;

    /* Guarded by callback_mutex. */
    struct callback callbacks[MAX_CALLBACKS];
    int num_callbacks;
    /* The panel's product directory as a real path, "" when there is no
     * panel; guarded by callback_mutex. Its files answer only to this
     * server's own host names. */
    char panel_dir[PANEL_DIR_SIZE];

    /* options[id] is read under opt_locks[id] and changed under it held
     * for a change. Reader-writer locks: every request reads several
     * options, and the intake's loops would otherwise queue for them. */
    char *options[NUM_OPTIONS];
    pthread_rwlock_t opt_locks[NUM_OPTIONS];

    /* thr_mutex guards the counters and the queue below. */
    int max_threads;
    int num_threads;
    int num_idle;
    pthread_mutex_t thr_mutex;
    pthread_cond_t thr_cond;   /* a worker ended */
    pthread_mutex_t callback_mutex;
    struct request_head queue[MAX_QUEUED_SOCKETS];
    int sq_head;               /* heads put in */
    int sq_tail;               /* heads taken out */
    struct idle_worker *idle_workers; /* asleep, most recent first */
    bool listener_batched;     /* the listener runs as SCHED_BATCH */
    bool intake_waits;         /* a loop of the intake found the queue full */

    /* The intake runs num_loops event loops, loop 0 in the listener thread
     * and each other in a thread of its own. wake_fds[i] (an eventfd) wakes
     * loop i for room in the queue, a handed send, new listeners or the
     * stop. Under thr_mutex: handed_sends[i], the sends for loop i not yet
     * taken, and loop_running[i], whether it still takes any. */
    int num_loops;
    int wake_fds[MAX_INTAKE_LOOPS];
    struct file_send *handed_sends[MAX_INTAKE_LOOPS];
    bool loop_running[MAX_INTAKE_LOOPS];
    int next_send_loop;        /* handed sends go round the loops */
    bool intake_running;       /* some loop runs */
    unsigned ports_generation; /* changed with the listener table */

    /* Connections closed for a deadline, summed over the loops since the
     * last summary line (at last_summary; -1: none yet). Atomic. */
    int head_timeouts, send_timeouts;
    /* Heads closed to keep descriptors free, likewise. Atomic. */
    int head_cuts;
    int64_t last_summary;
    /* keep_alive in seconds, as its setter read it (0: one request per
     * connection). Atomic. */
    int keep_alive_seconds;
    /* file_cache in seconds, as its setter read it. Atomic. */
    int file_cache_seconds;

    pthread_mutex_t pool_mutex;
    struct pooled_buffer *free_buffers;
    int num_free_buffers;

    qf_ssl_password_cb ssl_password_callback; /* under the ssl_cert lock */
    qf_callback_t log_callback;
};

typedef bool (*qf_setter)(struct qf_context *ctx, const char *value);

/* One row of the option table. */
struct qf_option {
    const char *name;
    const char *description;
    const char *default_value;
    int index;
    qf_setter setter;
};

extern const struct qf_option known_options[];

/* Start, stop and tear-down (start.cpp); the option table and options by
 * name (options.cpp); the option locks and refusals (context.cpp). */
struct qf_context *qf_start(void);
void qf_stop(struct qf_context *ctx);
void qf_fini(struct qf_context *ctx);
int qf_set_option(struct qf_context *ctx, const char *name, const char *value);
const char *qf_get_option(const struct qf_context *ctx, const char *name);
/* Why the last value refused on the calling thread was refused: the lines
 * its setter logged (joined by "; "), as the error log shows them. */
const char *qf_last_refusal(void);
/* Called by cry with every line: kept while a setter runs on this thread. */
void note_setter_line(const char *message);
/* What note_setter_line keeps (set by qf_set_option while a setter runs),
 * and what qf_last_refusal tells. */
extern thread_local std::string *setter_lines;
extern thread_local std::string last_refusal;
const char *qf_version(void);
void qf_set_log_callback(struct qf_context *ctx, qf_callback_t cb);
const struct qf_option *find_opt(const char *name);
void lock_option(struct qf_context *ctx, int id);            /* to read it */
void lock_option_for_change(struct qf_context *ctx, int id); /* alone */
void unlock_option(struct qf_context *ctx, int id);

/* Setters of this module. */
bool set_kv_list_option(struct qf_context *ctx, const char *value);
bool set_gpass_option(struct qf_context *ctx, const char *value);
bool set_elog_option(struct qf_context *ctx, const char *value);
bool set_alog_option(struct qf_context *ctx, const char *value);
bool open_log_file(struct qf_context *ctx, FILE **stream_slot, const char *path);
/* Closes a log stream unless it is standard error or standard output. */
void release_stream(FILE *fp);

/* Setters that belong to the listener, worker and admin modules. */
bool set_ports_option(struct qf_context *ctx, const char *list);
bool set_acl_option(struct qf_context *ctx, const char *list);
bool set_ssl_option(struct qf_context *ctx, const char *path);
bool set_uid_option(struct qf_context *ctx, const char *uid);
bool set_max_threads_option(struct qf_context *ctx, const char *value);
bool set_admin_uri_option(struct qf_context *ctx, const char *uri);
bool set_server_names_option(struct qf_context *ctx, const char *list);
bool set_keep_alive_option(struct qf_context *ctx, const char *value);

/* Listening sockets, the access list and the unavailable SSL and user
 * options. The listener table changes only under the ports lock. */
int qf_open_listening_port(struct qf_context *ctx, const struct vec *entry, struct usa *lsa);
void close_all_listening_sockets(struct qf_context *ctx);
int check_acl(struct qf_context *ctx, const char *list, const struct usa *remote);
bool isbyte(int n);

void qf_set_ssl_password_callback(struct qf_context *ctx, qf_ssl_password_cb cb);

/* TLS (server/tls.cpp). ctx->ssl_ctx is swapped whole by set_ssl_option;
 * tls_new takes a connection from the one in use. The calls never block
 * on a non-blocking socket: they tell what they wait for. */
enum tls_step { TLS_DONE, TLS_WANT_READ, TLS_WANT_WRITE, TLS_CLOSED, TLS_FAILED };
bool tls_available(struct qf_context *ctx);
void tls_release_context(struct qf_context *ctx);
SSL *tls_new(struct qf_context *ctx, int sock); /* null: no context or no memory */
enum tls_step tls_handshake(SSL *ssl);
bool tls_handshake_done(SSL *ssl);
/* > 0 bytes read; 0 with *step telling why nothing was. */
int tls_read(SSL *ssl, char *buf, int len, enum tls_step *step);
bool tls_has_pending(SSL *ssl);
/* For a worker's blocking socket: bytes moved, 0 at close_notify, -1. */
int tls_pull(SSL *ssl, char *buf, int len);
int tls_push(SSL *ssl, const char *buf, int len);
/* > 0 bytes taken; 0 with *step telling why none were. */
int tls_write(SSL *ssl, const char *buf, int len, enum tls_step *step);
void tls_loop_writes(SSL *ssl);
enum tls_step tls_notify_close(SSL *ssl);
void tls_free(SSL *ssl);

/* Sending a range of an open file (server/send.cpp), for the workers and the intake alike.
 *
 * send_file_plain: sendfile from fd at *offset (advanced) to the plain socket sock, blocking or
 * not as the socket is. Calls are made, a signal's made again, until len bytes are sent, a call
 * moves nothing, or with one_call after the first call that moved some. *sent: the bytes sent
 * by this call, whatever it returns.
 *   SEND_DONE     all len bytes sent
 *   SEND_MORE     one_call: bytes moved, some left
 *   SEND_WAIT     EAGAIN: a non-blocking socket is full, or a blocking one's send timed out
 *   SEND_REFUSED  nothing sent: sendfile cannot carry this descriptor or socket (EINVAL,
 *                 ENOSYS); the caller may copy instead
 *   SEND_FAILED   the file ended early or the write failed */
enum send_result { SEND_DONE, SEND_MORE, SEND_WAIT, SEND_REFUSED, SEND_FAILED };
enum send_result send_file_plain(int sock, int fd, off_t *offset, uint64_t len, bool one_call,
                                 uint64_t *sent);
/* TLS: tls_prepare_send gives fs its piece buffer and corks the socket (false: no memory).
 * send_file_tls then writes records of fs's kept bytes, or of its file from fs->offset, counting
 * them in fs->sent and fs->remaining, until fs->remaining is 0, max_records went out (<= 0: no
 * limit) or a write does not go through; the last record uncorks. It returns TLS_DONE when
 * every write went through (fs->remaining tells whether all is sent), TLS_WANT_READ or
 * TLS_WANT_WRITE when one must wait (on a blocking socket: a signal, errno EINTR, or the send
 * timeout) and is to be made again with the same fs, TLS_CLOSED or TLS_FAILED when the client
 * is gone or the file ended early. It never closes the connection. */
bool tls_prepare_send(struct file_send *fs, SSL *ssl);
enum tls_step send_file_tls(struct file_send *fs, int max_records);

/* The listener thread with the intake's event loops, the queue and the workers. */
void *master_thread(void *ctx);
int count_intake_loops(void);
bool put_socket(struct qf_context *ctx, const struct request_head *head);
bool get_socket(struct qf_context *ctx, struct request_head *head);
void *worker_thread(void *ctx);
void wake_intake(struct qf_context *ctx); /* every loop */
bool stop_requested(struct qf_context *ctx);
bool set_policy(int policy); /* the calling thread's, priority 0 */
/* Gives a send to the intake; false when no intake runs (nothing taken). */
bool hand_over_send(struct qf_context *ctx, struct file_send *fs);
/* Whether a connection that has answered served requests may answer one
 * more and stay open (keep_alive on, fewer than the most per connection). */
bool keep_allowed(struct qf_context *ctx, int served);
char *take_head_buffer(struct qf_context *ctx);
void give_back_head_buffer(struct qf_context *ctx, char *buf);
void release_head_buffers(struct qf_context *ctx);
/* FIN, then what the client still sent is discarded without waiting, then
 * the close: closing over unread input would reset the connection. */
void close_gracefully(int sock);
/* Client connections open in the process: counted at the accept, and
 * uncounted by close_gracefully, which closes every one of them. */
void note_client_opened(void);
int count_open_clients(void);
int start_thread(struct qf_context *ctx, void *(*func)(void *), void *arg);

/* The callback registry. A null func removes the first matching entry. */
void qf_set_uri_callback(struct qf_context *ctx, const char *uri_regex, qf_callback_t func,
                         void *user_data);
void qf_set_auth_callback(struct qf_context *ctx, const char *uri_regex, qf_callback_t func,
                          void *user_data);
void qf_set_error_callback(struct qf_context *ctx, int error_code, qf_callback_t func,
                           void *user_data);
void add_callback(struct qf_context *ctx, const char *uri_regex, int status_code,
                  qf_callback_t func, bool is_auth, void *user_data);
/* The entry stays valid after the registry lock is released only because
 * entries are never removed while requests are served. */
const struct callback *find_callback(struct qf_context *ctx, bool is_auth, const char *uri,
                                     int status_code);
/* Whether any error callback is registered. */
bool has_error_callbacks(struct qf_context *ctx);
bool match_regex(const char *uri, const char *pattern);
/* Names the directory whose files (the panel's pages, images and settings)
 * answer only when the request's Host is one of this server's names; null
 * or "" names none. False, with nothing changed, when dir cannot be
 * resolved to a real path. */
bool qf_set_panel_directory(struct qf_context *ctx, const char *dir);
/* Whether the existing file or directory path lies in the panel's
 * directory (resolving links); a path that cannot be resolved counts as
 * inside while there is a panel directory. */
bool in_panel_directory(struct qf_context *ctx, const char *path);
/* The panel's two entries, which the front end registers before any port
 * opens: the action of a form body posted to a plain file (the body is
 * NUL-terminated and writable), and whether a path names one of its pages,
 * which no cache may keep. Both null (the default) for a server without a
 * panel. Process-wide, as the panel is. */
typedef int (*qf_panel_post_hook)(char *body);
typedef bool (*qf_panel_page_hook)(const char *path);
extern qf_panel_post_hook panel_post_hook;
extern qf_panel_page_hook panel_page_hook;
void qf_set_panel_hooks(qf_panel_post_hook post, qf_panel_page_hook is_page);

/* Error log. */
void cry(struct qf_connection *conn, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
struct qf_connection *fc(struct qf_context *ctx);
void builtin_error_log(struct qf_connection *conn, const struct qf_request_info *ri,
                       void *message);

/* Client text for a log line: bytes below 0x20, 0x7f and above, '"' and
 * '\\' become \xHH, the rest is copied. Stores at most size - 1 bytes and a
 * NUL, never half an escape; returns the length stored. */
size_t log_escape(const char *src, size_t len, char *dst, size_t size);
/* The same as a string, for a message argument that quotes request text
 * (cry itself escapes only control and non-ASCII bytes of arguments). */
std::string log_escaped(const char *text);
/* The same, written to a stream the caller has locked. */
void fput_log_escaped(const char *s, FILE *fp);

/* Opens the access and error logs again at the paths their options name
 * (after the files were renamed for rotation). A stream is swapped under
 * the lock its writers take, so every line lands whole in one file. A
 * file that cannot be opened leaves the old stream in use, said once in
 * the error log (on standard error for the error log itself). */
void qf_reopen_logs(struct qf_context *ctx);

/* Held by whoever reads ctx->error_log or ctx->access_log and writes a line
 * to it, and by open_log_file while it swaps a stream; keeps a stream from
 * being closed under a writer. Never log while holding it. */
void lock_log_streams(void);
void unlock_log_streams(void);

/* Utilities. */
const char *next_option(const char *list, struct vec *val, struct vec *eq_val);
bool is_true(const char *text);
int qf_vsnprintf(struct qf_connection *conn, char *buf, size_t buflen,
                 const char *fmt, va_list ap) __attribute__((format(printf, 4, 0)));
int qf_snprintf(struct qf_connection *conn, char *buf, size_t buflen,
                const char *fmt, ...) __attribute__((format(printf, 4, 5)));
void qf_strlcpy(char *dst, const char *src, size_t n);
char *qf_strdup(const char *text);
int qf_stat(const char *path, struct qfstat *st);
bool read_seconds_option(struct qf_context *ctx, const char *setter, const char *value, int max,
                         int *seconds);
void qf_free(void *p);
void set_close_on_exec(int fd);
int set_non_blocking_mode(struct qf_connection *conn, int sock);
void set_blocking(int sock, bool blocking);

/* The descriptor limit: raised to the hard limit for the server, the one
 * it started with for the programs it runs. restore_child_state (that
 * limit and an empty signal mask) is called in a forked child before exec; spawn_shell runs "sh -c cmd" so, with its
 * output on *out_fd when out_fd is not null. */
void raise_descriptor_limit(void);
void restore_child_state(void);
pid_t spawn_shell(const char *cmd, int *out_fd);
/* How long a client may send or take nothing (a head, a body, a send, a
 * program's output): 30 seconds, or for tests only the number of seconds
 * in the environment variable QF_TEST_CLIENT_DEADLINE. */
int client_deadline_seconds(void);

#endif
