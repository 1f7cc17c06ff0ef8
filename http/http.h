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
    int32_t remote_ip;     /* host byte order */
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
    uint64_t num_bytes_sent;
};

#endif
