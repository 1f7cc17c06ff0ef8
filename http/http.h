/* http/http.h: the request and response functions that the rest of the
 * server calls; the records they work on are in server/connection.h. */
#ifndef QF_HTTP_H
#define QF_HTTP_H

#include "server/connection.h"

/* The strict reading of a head (http/head.cpp). */
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

/* What a head is worth, decided once when it is complete. */
enum head_verdict {
    HEAD_OK,
    HEAD_MALFORMED,   /* request line or header lines: 400 "Can not parse request" */
    HEAD_BAD_VERSION, /* 505 */
    HEAD_BAD_FRAMING, /* 400 or 501, as framing.verdict says */
};
enum http_method { METHOD_OTHER, METHOD_GET, METHOD_HEAD, METHOD_POST, METHOD_PUT, METHOD_DELETE };
enum expect_token { EXPECT_NONE, EXPECT_CONTINUE, EXPECT_OTHER };

/* Every translated path is built in a buffer of this size; longer ones are
 * cut and reported. */
enum { PATH_BUF_SIZE = 4096 };

/* Which handler answers a request, found by route_request before any
 * handler runs. */
enum route_kind {
    ROUTE_CALLBACK,       /* an authorization or URI callback: the embedder's code */
    ROUTE_FORBIDDEN,      /* a password file: 403 */
    ROUTE_PUT_DELETE,
    ROUTE_NOT_FOUND,
    ROUTE_REDIRECT,       /* a directory named without its '/' */
    ROUTE_LISTING,
    ROUTE_LISTING_DENIED,
    ROUTE_CGI,
    ROUTE_SSI,
    ROUTE_FILE,
};

/* The result of routing: the URI decoded and cleaned in place, its path,
 * the file's status and the handler. For a directory path holds its index
 * file's path, or for a listing the directory's without trailing '/';
 * dir_len is then the length of the path as translated, whose bytes from
 * dir_at on were all '/' (0: path is as translated). */
struct route {
    enum route_kind kind;
    bool found;            /* the translated path exists */
    bool is_directory;     /* ... and is a directory */
    size_t dir_at, dir_len;
    struct qfstat st;      /* of the file answered */
    char *query_string;
    char path[PATH_BUF_SIZE];
};

/* A request head read once, in place, by parse_head: the request line and
 * headers as every handler sees them (ri: method, target, version, headers,
 * the body bytes read with the head) and the verdicts taken from them. It
 * is kept beside the head's pooled buffer (head_record_of), travels with
 * it to a worker, and carries the route when the intake routed it. */
struct head_record {
    enum head_verdict verdict;
    enum http_method method;
    struct body_framing framing;  /* Content-Length and Transfer-Encoding */
    bool connection_close;        /* Connection tokens */
    bool connection_keep_alive;
    enum expect_token expect;
    char *buf;                    /* the head's bytes */
    int nread;                    /* bytes in buf, body bytes included */
    int request_len;              /* length of the header block */
    struct qf_request_info ri;
    bool routed;                  /* route is filled, the URI decoded in place */
    struct route route;
};

/* A pooled head buffer: MAX_REQUEST_SIZE + 1 bytes, then its record. */
static const size_t HEAD_RECORD_OFFSET =
    (MAX_REQUEST_SIZE + 1 + alignof(struct head_record) - 1) / alignof(struct head_record) *
    alignof(struct head_record);
static const size_t HEAD_BUFFER_SIZE = HEAD_RECORD_OFFSET + sizeof(struct head_record);
inline struct head_record *
head_record_of(char *buf)
{
    return (struct head_record *) (void *) (buf + HEAD_RECORD_OFFSET);
}

/* Reads the complete head of request_len bytes at buf (nread bytes held)
 * into *rec, cutting it up in place: the request line, the header lines
 * (refused as RFC 9112 says), the version, the body framing and the
 * Connection and Expect tokens. Nothing is written to the client; the
 * verdict says what is owed. True for HEAD_OK. */
bool parse_head(char *buf, int nread, int request_len, struct head_record *rec);
/* The head's buffer holds nread bytes now: body bytes read after the head
 * was parsed count as held with it. */
void head_body_bytes(struct head_record *rec, int nread);

/* Connection handling: one request per connection (serve.cpp, above dispatch). */
void process_new_connection(struct qf_connection *conn);
/* Serves a head parsed by parse_head (null: none was read, nothing owed),
 * with the body the intake read, if any; the connection owns it then. */
void serve_request(struct qf_connection *conn, struct head_record *rec,
                   const struct held_body *body = nullptr);
/* The start of serving rec: the request record reset and filled from it. */
void begin_request(struct qf_connection *conn, struct head_record *rec,
                   const struct held_body *body = nullptr);
/* Answers a head whose verdict is not HEAD_OK, and logs it as always. */
void answer_bad_head(struct qf_connection *conn);
/* For the intake's loop, with conn->in_loop set: answers rec there and
 * returns true, or returns false having written and logged nothing, when a
 * worker is to serve it (serve_request, which goes on from the route). */
bool serve_in_loop(struct qf_connection *conn, struct head_record *rec);
void reset_per_request_attributes(struct qf_connection *conn);
/* The one say over a kept connection. The value of the Connection field of
 * an answer of known length ("keep-alive" when the request may keep the
 * connection, else "close"); the fields an answer that today has neither
 * Content-Length nor Connection needs to be kept ("" when it closes).
 * answer_keeps: the answer said keep-alive and nothing since cleared
 * may_keep, so the connection waits for the next request. */
const char *connection_field(struct qf_connection *conn);
const char *keep_alive_fields(struct qf_connection *conn);
bool answer_keeps(const struct qf_connection *conn);
/* A handler read the body to its end: the next request starts at after
 * (len bytes, alive as long as the request; null for none). */
void body_read_to_end(struct qf_connection *conn, const char *after, int len);

/* One transfer routine for sockets and files. */
int pull(FILE *fp, int sock, SSL *ssl, char *buf, int len);
uint64_t push(FILE *fp, int sock, SSL *ssl, const char *buf, uint64_t len);
int read_request(FILE *fp, int sock, SSL *ssl, char *buf, int bufsiz, int *nread);
int get_request_len(const char *buf, size_t len);

/* Responses. */
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
/* The body framing read with the head. */
struct body_framing request_framing(const struct qf_connection *conn);
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

/* Dispatch (dispatch.cpp, above the handlers it calls). route_request routes the request of conn->head (decoding and
 * cleaning its URI in place); false when routing answered it (400, 421).
 * analyze_request routes a head not routed yet and runs its handler.
 * loop_may_take tells, from the head alone, whether the intake's loop may
 * answer it (routing it first when the head is sound); route_may_block,
 * from the route, whether its handler may wait or run an embedder's code
 * (then a worker runs it). */
bool loop_may_take(struct qf_connection *conn);
bool route_request(struct qf_connection *conn);
bool route_may_block(const struct qf_connection *conn);
void analyze_request(struct qf_connection *conn);
/* URIs as paths (uri.cpp). */
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
/* Finishes a send that a handler left in conn->handed_send when the intake
 * takes none any more; frees fs and closes its file. */
void send_rest_here(struct qf_connection *conn, struct file_send *fs);
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
struct body_framing read_body_framing(const struct qf_request_info *ri);

/* Request bodies, PUT and DELETE. */
/* Before any handler: every Content-Length a plain decimal number and all
 * equal, and a Transfer-Encoding only "chunked" and never beside a
 * Content-Length. False once it has answered 400 or 501. */
bool check_body_framing(struct qf_connection *conn);
/* Whether the body comes chunked. */
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
