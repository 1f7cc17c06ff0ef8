/* server/connection.h: the connection and request records, which every
 * layer of the server reads, from the error log up. */
#ifndef QF_CONNECTION_H
#define QF_CONNECTION_H

#include "server/server.h"

struct head_record;

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
    /* The head being served; null for a connection made without one. */
    struct head_record *head;
    /* Set while the intake's loop serves the request itself: writes never
     * block, what the socket does not take is kept. */
    bool in_loop;
    char *unsent;          /* in_loop: bytes the socket did not take at once (heap) */
    size_t unsent_len;
    struct held_body body; /* what the intake read of the body; data moves to post_data */
    /* The rest of a send that the handler leaves to the intake; the worker
     * hands it over after the request (see send_file). */
    struct file_send *handed_send;
    /* Set by the intake before a request: the connection may stay open
     * after it. may_keep: this request may keep it (decided from its head
     * in begin_request; a handler whose answer has no known length clears
     * it); said_keep: the answer said Connection: keep-alive. */
    bool keep_allowed;
    bool may_keep;
    bool said_keep;
    /* The body (none counts) was read to its end, so the bytes after it,
     * after_body (after_len of them, in the head's buffer or in
     * body.rest), are where the next request starts. Until then no answer
     * keeps the connection: an unread body would be taken for a head. */
    bool body_read;
    const char *after_body;
    int after_len;
};

#endif /* QF_CONNECTION_H */
