/* server/intake.h: what the files of the intake share: its limits, the record of a
 * connection a loop owns, the loop's own record, and the steps one file lends another.
 * Private to the intake's files (intake, intake_accept, intake_answer, send_pump,
 * intake_start); the rest of the server sees only server.h. */
#ifndef QF_SERVER_INTAKE_H
#define QF_SERVER_INTAKE_H

#include <stdint.h>
#include <sys/types.h>

#include "http/http.h"

enum {
    STOP_SEND_MS = 5 * 1000,         /* what a send still gets once the server stops */
    SUMMARY_INTERVAL_MS = 60 * 1000, /* the closure counts are logged at most this often */
    ACCEPT_BACKOFF_MS = 100,         /* out of descriptors: the backlog holds clients meanwhile */
    TICK_MS = 1000,                  /* the stop flag is looked at this often */
    STOP_TICK_MS = 50,               /* ... and then the last workers and sends */
    /* One client a wake-up: while this loop serves it, the next client
     * wakes another loop, so the loops share the clients evenly (a TLS
     * handshake costs half a millisecond). Taking up to 64 at once left
     * one loop busy and the other idle: a longer tail, fewer requests. */
    MAX_ACCEPTS_PER_WAKE = 1,
    MAX_EVENTS = 256,
    TRIM_PEAK = 512,                 /* after a burst of this many clients, memory goes back */
    TLS_PIECES_PER_TURN = 16,        /* 256 KiB of a TLS send per turn */
    /* A head younger than this is not cut to make room for a new client:
     * an ordinary client sends its request within it. */
    MIN_CUT_AGE_MS = 1000,
    /* Near the descriptor limit the descriptors that are not clients are
     * counted again at most this often. */
    RECOUNT_MS = 100,
};
/* epoll data below this is a listener's index + 1 or the wake descriptor;
 * above it, a client record. */
enum { WAKE_TAG = MAX_LISTENING_SOCKETS + 1, MAX_TAG = WAKE_TAG };
static const int64_t NEVER = INT64_MAX;
/* A head must be complete this long after the accept; a send that makes
 * no progress this long is cut. */
#define HEAD_DEADLINE_MS ((int64_t) client_deadline_seconds() * 1000)
#define SEND_STALL_MS HEAD_DEADLINE_MS

/* Where a connection the loop owns stands. A queued head leaves the loop
 * with its record, so a worker's part is not kept here. */
enum client_state {
    CLIENT_READING_HEAD,  /* in heads: its head is being read */
    CLIENT_WAITING_BODY,  /* in heads: complete head, one more segment of its body */
    CLIENT_READING_BODY,  /* in heads: the loop reads its whole body (intake_body.cpp) */
    CLIENT_DEFERRED,      /* in heads and deferred: readable but not read, the queue was full */
    CLIENT_PARKED,        /* in parked: complete head waiting for room in the queue */
    CLIENT_SENDING,       /* in sends: the rest of an answer or a file */
    CLIENT_CLOSING,       /* being closed; the record goes with it */
    CLIENT_IDLE,          /* in idle: between requests on a kept connection */
};

/* A connection the loop owns: its head being read, its complete head
 * waiting for room in the queue, or a file being sent. */
struct client {
    struct client *prev, *next;   /* heads or sends list */
    struct client *next_waiting;  /* parked or deferred chain */
    struct socket sock;
    SSL *ssl;                     /* TLS: non-blocking until its head is complete */
    char *buf;                    /* null until the first bytes; its record behind it */
    int nread;
    int request_len;              /* > 0: the header block is complete and parsed */
    enum client_state state;
    bool registered;              /* in the epoll set */
    bool level_in;                /* ... for EPOLLIN alone, level-triggered: an idle
                                   * kept connection stays armed across its requests */
    bool edge;                    /* TLS: waits edge-triggered for the rest of its hello */
    int64_t deadline;
    int64_t hard_deadline;        /* sends, once the server stops */
    struct file_send *send;
    struct body_reader *body;     /* a POST whose body the loop reads (intake_body.cpp) */
    int served;                   /* requests answered on the connection */
    bool keeping;                 /* sending an answer after which it stays open */
    bool carried;                 /* buf holds bytes carried over, not yet looked at */
    char *carry;                  /* bytes read beyond the last request (heap) */
    int carry_len;
};

struct chain {
    struct client *first, *last;
};

struct intake {
    struct qf_context *ctx;
    int index;                    /* in ctx->wake_fds and ctx->handed_sends */
    int epfd;
    struct client heads;          /* sentinel: incomplete heads, oldest first */
    struct client sends;          /* sentinel: sends, least recent progress first */
    struct chain parked;          /* complete heads waiting for room */
    struct chain deferred;
    struct client idle;           /* sentinel: kept connections between requests, oldest first */
    struct chain carried;         /* in heads, deferred: the next head is already in buf */
    bool queue_full;
    bool listeners_armed;
    unsigned ports_generation;
    int64_t accept_resume;        /* accepting paused until then; 0: not paused */
    bool room_wanted;             /* a client waits, and descriptors are short */
    bool stopping;
    int clients, peak;            /* records alive; their most since the last trim */
    char *spare;                  /* a buffer for the first read of a client */
    struct qf_connection conn;    /* the request the loop answers itself */
};

/* server/intake.cpp: records, lists and the loop */
struct client *new_client(struct intake *in);
void free_client(struct intake *in, struct client *c);
int64_t now_ms(void);
void list_init(struct client *sentinel);
void list_unlink(struct client *c);
void list_append(struct client *sentinel, struct client *c);
void chain_push(struct chain *ch, struct client *c);
struct client *chain_pop(struct chain *ch);
bool watch(struct intake *in, struct client *c, uint32_t events);
void drop_client(struct intake *in, struct client *c);
void run_intake(struct intake *in);

/* server/intake_accept.cpp: accepting and reading heads */
bool cut_oldest_head(struct intake *in, int64_t now);
void head_complete(struct intake *in, struct client *c);
void read_head(struct intake *in, struct client *c);
void accept_new_connection(struct intake *in, int i, int64_t now);
void resume_intake(struct intake *in);
/* One read of a client without waiting: > 0 bytes, 0 when it is gone or
 * failed, -1 when nothing came yet (*wait_for: what to wait for). */
ssize_t read_some(struct client *c, char *buf, size_t len, uint32_t *wait_for);

/* server/intake_body.cpp: reading request bodies */
/* For a complete head: true when the loop reads its body before the
 * request goes on (the client is then in its care), false when it goes on
 * as it is. */
bool start_body(struct intake *in, struct client *c, const struct head_record *rec);
void read_body(struct intake *in, struct client *c);
/* The body for the request's head; body_handed_on once the head is queued. */
struct held_body held_body_of(const struct client *c);
void body_handed_on(struct client *c);
/* Releases what a dropped client held of its body. */
void discard_body(struct client *c);

/* server/intake_answer.cpp: answering in the loop */
bool answer_in_loop(struct intake *in, struct client *c);

/* server/send_pump.cpp: the sends the loop serves */
void start_send(struct intake *in, struct client *c, struct file_send *fs, int64_t now);
void end_send(struct intake *in, struct client *c);
void pump_send(struct intake *in, struct client *c, int64_t now);
void take_handed_sends(struct intake *in, int64_t now);

/* server/intake_keep.cpp: kept connections between requests */
void keep_client(struct intake *in, struct client *c, int64_t now);
void wake_idle_client(struct intake *in, struct client *c, int64_t now);
void carry_rest(struct client *c, const char *bytes, int len);
void take_kept_connection(struct intake *in, struct client *c, struct file_send *fs, int64_t now);
bool cut_idle_client(struct intake *in);
void expire_idle(struct intake *in, int64_t now);
void close_idle(struct intake *in);
void read_carried(struct intake *in);
int64_t idle_due(const struct intake *in);
/* A kept answer is sent whole: what the loop kept, or the rest of the file. */
bool send_complete(const struct file_send *fs);

/* server/intake_start.cpp: start-up and tear-down of the loops */
void wake_idle_workers(struct qf_context *ctx);

#endif
