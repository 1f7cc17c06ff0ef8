/* http/http.h: the connection and request records, and the request and
 * response functions that the rest of the server calls. */
#ifndef QF_HTTP_H
#define QF_HTTP_H

#include "server/server.h"

enum { MAX_HTTP_HEADERS = 64 };

/* The parsed request handed to every callback. Its strings point into the
 * worker's request buffer and die with the request, except remote_user and
 * an owned post_data. */
struct qf_request_info {
    char *request_method;
    char *uri;
    char *query_string;
    char *post_data;
    char *remote_user;
    int32_t remote_ip;     /* host byte order; 0 for an IPv6 client */
    char remote_addr[QF_ADDRSTRLEN]; /* the client's address as text, IPv6 too */
    int remote_port;
    int post_data_len;
    int http_version_major;
    int http_version_minor;
    int status_code;
    int num_headers;
    struct qf_http_header {
        char *name;
        char *value;
    } http_headers[MAX_HTTP_HEADERS];
};

/* One connection and its single request. Owned by a worker thread and
 * reused for every connection that worker serves. */
struct qf_connection {
    struct qf_request_info request_info; /* first: a connection is its request */
    struct qf_context *ctx;
    SSL *ssl;
    struct socket client;
    time_t start_time;
    bool owns_post_data;
    bool callback_authorized;
    bool nonce_stale;      /* right answer to an expired nonce: challenge with stale=true */
    uint64_t num_bytes_sent;
    /* Set while the intake's loop serves the request itself: nothing may
     * wait, so writes never block and a handler that could (or that runs
     * an embedder's code) is not entered. */
    bool in_loop;
    bool needs_worker;     /* in_loop: stopped before any output; a worker serves it */
    char *unsent;          /* in_loop: bytes the socket did not take at once (heap) */
    size_t unsent_len;
    struct held_body body; /* what the intake read of the body; data moves to post_data */
};

/* Connection handling: one request per connection. */
void process_new_connection(struct qf_connection *conn);
/* Parses and serves a head read by the intake (request_len <= 0: none),
 * with the body the intake read, if any; the connection owns it then. */
void serve_request(struct qf_connection *conn, char *buf, int nread, int request_len,
                   const struct held_body *body = nullptr);
void reset_per_request_attributes(struct qf_connection *conn);

/* One transfer routine for sockets and files. */
int pull(FILE *fp, int sock, SSL *ssl, char *buf, int len);
uint64_t push(FILE *fp, int sock, SSL *ssl, const char *buf, uint64_t len);
int read_request(FILE *fp, int sock, SSL *ssl, char *buf, int bufsiz, int *nread);
int get_request_len(const char *buf, size_t len);

/* Responses. */
/* In the intake's loop: true (and the request marked for a worker) where a
 * handler would be entered that may wait or run an embedder's code. */
bool leave_to_worker(struct qf_connection *conn);
/* A HEAD answer carries the header block of the GET answer and no body. */
bool is_head_request(const struct qf_connection *conn);
int qf_write(struct qf_connection *conn, const void *buf, int len);
int qf_printf(struct qf_connection *conn, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void send_error(struct qf_connection *conn, int status, const char *reason,
                const char *fmt, ...) __attribute__((format(printf, 4, 5)));
extern const char *http_500_error;

/* Request inspection. */
bool parse_request_line(char *buf, int request_len, struct qf_request_info *ri, char **headers);
char *skip(char **buf, const char *delimiters);
void parse_http_headers(char **buf, struct qf_request_info *ri);
const char *get_header(const struct qf_request_info *ri, const char *name);
const char *qf_get_header(const struct qf_connection *conn, const char *name);
/* The one Content-Length, as read_body_framing reads it; all ones without one. */
uint64_t get_content_length(const struct qf_connection *conn);
int lowercase(const char *s);
int qf_strcasecmp(const char *s1, const char *s2);
int qf_strncasecmp(const char *s1, const char *s2, size_t len);
char *get_var(const char *name, const char *buf, size_t buf_len);
char *qf_get_var(const struct qf_connection *conn, const char *name);

/* Access log. */
void log_access(const struct qf_connection *conn);
void log_header(const struct qf_connection *conn, const char *header, FILE *fp);
char *format_access_line(const struct qf_connection *conn, size_t *split);
void log_access_line(struct qf_context *ctx, const char *line, size_t split, uint64_t bytes);

/* A response gathered in a fixed buffer and sent in a few writes. With
 * counted, what follows the first uncounted bytes (the header block) is
 * added to num_bytes_sent. */
struct out_buffer {
    struct qf_connection *conn;
    size_t len;
    size_t uncounted;
    bool counted;
    bool failed; /* a write fell short: the rest is dropped */
    char data[8192];
};
void out_init(struct out_buffer *out, struct qf_connection *conn, bool counted);
void out_flush(struct out_buffer *out);
void out_bytes(struct out_buffer *out, const char *p, size_t n);
void out_text(struct out_buffer *out, const char *s);
void out_html(struct out_buffer *out, const char *s);
void out_url(struct out_buffer *out, const char *s);

/* Dispatch. */
void analyze_request(struct qf_connection *conn);
bool match_extension(const char *path, const char *ext_list);
/* In place: separator runs collapse, "." and ".." segments are resolved
 * (a ".." above the start is dropped). */
void clean_uri(char *uri);
/* The file-system path of a cleaned URI: root + uri, or the first alias. */
void translate_path(struct qf_connection *conn, const char *uri, char *path, size_t size);
/* For a POST whose Origin header names another origin than the Host it was
 * sent to (or "null"): logs it, answers 403 and returns true. Requests
 * without Origin (scripts, older clients) pass. */
bool refuse_cross_site_post(struct qf_connection *conn);
/* Whether the Host header names this server: an IP address literal,
 * localhost or an entry of server_names; a request without Host passes. */
bool host_is_ours(const struct qf_connection *conn);
/* For a request to the panel or the administration page whose Host is not
 * one of ours (a stranger's name that resolves to us): answers 421 and
 * returns true. With a path, only when that existing file or directory
 * lies in the panel's directory. */
bool refuse_foreign_host(struct qf_connection *conn, const char *path = nullptr);

/* Static files and directory listings. */
/* A body this small goes out in one write with its header block (at most
 * about 700 bytes), so the intake's loop can answer with it itself. */
enum { SMALL_BODY_MAX = 7 * 1024 };
void send_file(struct qf_connection *conn, const char *path, struct qfstat *stp);
void send_opened_file_stream(struct qf_connection *conn, FILE *fp, uint64_t len);
void send_directory_listing(struct qf_connection *conn, const char *dir);
int compare_dir_entries(const void *a, const void *b);

/* One entry of a directory listing, alive while the listing is written. */
struct dir_entry {
    struct qf_connection *conn; /* the comparator reads the query string */
    char *file_name;            /* heap copy */
    struct qfstat st;           /* all zero when has_status is false */
    bool has_status;            /* false: vanished or dangling, shown as "-" */
};

enum range_result {
    RANGE_IGNORED,       /* no usable Range header: the whole file */
    RANGE_SATISFIABLE,   /* 206 with the clamped range */
    RANGE_UNSATISFIABLE, /* 416: the first byte is past the end */
};

size_t get_mime_type(struct qf_context *ctx, const char *path, char *buf, size_t buflen);
enum range_result parse_range(const char *header, uint64_t size, uint64_t *first,
                              uint64_t *last);
void format_entry_size(const struct dir_entry *de, char *buf, size_t buflen);

/* Decodes a chunked request body as it arrives, in pieces of any size. */
struct chunked_decoder {
    enum chunk_state {
        CHUNK_SIZE,         /* hex digits of a chunk size */
        CHUNK_SIZE_BWS,     /* white space behind the size */
        CHUNK_EXT,          /* behind the size, to the end of its line */
        CHUNK_SIZE_LF,      /* the LF of the size line's CRLF */
        CHUNK_DATA,         /* remaining bytes of chunk data */
        CHUNK_DATA_CR,      /* the CRLF behind the data */
        CHUNK_DATA_LF,
        CHUNK_TRAILER,      /* the start of a trailer line, or the final CRLF */
        CHUNK_TRAILER_LINE, /* inside a trailer field */
        CHUNK_FINAL_LF,
        CHUNK_DONE,
        CHUNK_ERROR,
    } state = CHUNK_SIZE;
    uint64_t remaining = 0; /* the size being read, then its data bytes left */
    size_t count = 0;       /* digits, extension or trailer bytes so far */

    /* Consumes input up to the end of the body or an error and writes the
     * data bytes to out, which has room for n bytes and may be in itself.
     * Returns the input bytes consumed; *produced gets the bytes written. */
    size_t feed(const char *in, size_t n, char *out, size_t *produced);
    bool done() const { return state == CHUNK_DONE; }
    bool failed() const { return state == CHUNK_ERROR; }
};

/* The largest body held in memory, or handed to a CGI program or the
 * panel: far above any form, and small enough that a few clients at once
 * cannot make the server swap. */
enum { MAX_BODY_IN_MEMORY = 16 * 1024 * 1024 };

/* The strict reading of a head, the same for the intake and the worker. */
/* Whether a raw header block (request line first) holds only lines that
 * may be read: no NUL, no CR that ends no line, every header line a name
 * without white space, a colon, no obs-fold, at most MAX_HTTP_HEADERS. */
bool head_lines_valid(const char *buf, int request_len);
bool parse_content_length(const char *text, uint64_t *len);
bool is_chunked_coding(const char *te);
enum framing_verdict {
    FRAMING_NONE,                /* no body announced */
    FRAMING_LENGTH,              /* length holds the one Content-Length */
    FRAMING_CHUNKED,
    FRAMING_BAD_LENGTH,          /* text: the malformed value */
    FRAMING_CONFLICTING_LENGTHS,
    FRAMING_CODING_WITH_LENGTH,
    FRAMING_UNKNOWN_CODING,      /* text: the last Transfer-Encoding */
};
struct body_framing {
    enum framing_verdict verdict;
    uint64_t length;
    const char *text;
};
struct body_framing read_body_framing(const struct qf_request_info *ri);

/* Request bodies, PUT and DELETE. */
/* Before any handler: every Content-Length a plain decimal number and all
 * equal, and a Transfer-Encoding only "chunked" and never beside a
 * Content-Length. False once it has answered 400 or 501. */
bool check_body_framing(struct qf_connection *conn);
/* Whether the body comes chunked (after check_body_framing). */
bool is_chunked_body(const struct qf_connection *conn);
/* Decodes in place the chunked body bytes that came with the head; false
 * after a 400 for malformed chunking. */
bool decode_held_chunks(struct qf_connection *conn);
/* The whole body in post_data and NUL-terminated, as the panel takes it:
 * what the intake read, or else the chunked bytes that came with the head,
 * decoded. False after a 400, 413 or 577. */
bool hold_whole_body(struct qf_connection *conn);
/* Writes the body held in memory to fp; false after a 577 for a short write. */
bool pass_held_body(struct qf_connection *conn, FILE *fp);
/* With fp null (a body for memory) a declared length above
 * MAX_BODY_IN_MEMORY is refused with 413 before the body is read. */
bool handle_request_body(struct qf_connection *conn, FILE *fp);
/* For a declared length above MAX_BODY_IN_MEMORY: answers 413 at once,
 * reading none of the body, and returns true. */
bool refuse_large_body(struct qf_connection *conn);
/* The two halves of handle_request_body, for PUT, which must refuse bad
 * headers before it touches the target: the header checks (answering
 * 411, 400 or 417 themselves), then 100 Continue and the reading. */
bool check_request_body(struct qf_connection *conn);
bool read_request_body(struct qf_connection *conn, FILE *fp);
/* 1: every directory of the file path exists; 0: path ends with '/' and
 * that directory exists; -1: a mkdir failed (errno says why). */
int put_dir(const char *path);
/* The PUT and DELETE answers, after auth_PUT has admitted the request. */
void put_file(struct qf_connection *conn, const char *path);
void delete_file(struct qf_connection *conn, const char *path);

#endif
