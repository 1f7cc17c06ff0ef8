/* http/serve.cpp: one request served from its head: parsed, dispatched to its handler, logged. */
#include <arpa/inet.h>
#include <string.h>
#include <time.h>

#include "http/http.h"

/* Reads the head itself: for a caller without the intake. */
void
process_new_connection(struct qf_connection *conn)
{
    /* One spare byte so the body behind the headers can always be
     * NUL-terminated before it is handed to the panel. */
    char buf[MAX_REQUEST_SIZE + 1];
    int nread = 0;

    int request_len = read_request(nullptr, conn->client.sock, conn->ssl, buf,
                                   MAX_REQUEST_SIZE, &nread);
    serve_request(conn, buf, nread, request_len);
}

void
serve_request(struct qf_connection *conn, char *buf, int nread, int request_len)
{
    struct qf_request_info *ri = &conn->request_info;

    reset_per_request_attributes(conn);
    conn->owns_post_data = false;
    conn->callback_authorized = false;
    conn->needs_worker = false;
    conn->num_bytes_sent = 0;
    memset(ri, 0, sizeof(*ri));

    if (request_len <= 0)
        return; /* peer gone, block too long or garbage: nobody to answer */

    /* Judged before the tokenizer cuts the block up; refused lines are
     * answered as a malformed request line is. */
    bool lines_valid = head_lines_valid(buf, request_len);
    char *e;
    if (!parse_request_line(buf, request_len, ri, &e) || !lines_valid) {
        send_error(conn, 400, "Bad Request", "Can not parse request: [%.*s]", nread, buf);
        return;
    }

    parse_http_headers(&e, ri);
    ri->remote_port = ntohs(conn->client.rsa.u.sin.sin_port);
    /* An IPv6 client has no 32-bit address: remote_ip is 0, remote_addr tells. */
    if (conn->client.rsa.u.sa.sa_family != AF_INET6)
        ri->remote_ip = (int32_t) ntohl(conn->client.rsa.u.sin.sin_addr.s_addr);
    qf_address_text(&conn->client.rsa, ri->remote_addr, sizeof(ri->remote_addr));

    if (ri->http_version_major != 1 || (unsigned) ri->http_version_minor > 1) {
        send_error(conn, 505, "HTTP version not supported", "%s", "Weird HTTP version");
        if (!conn->needs_worker)
            log_access(conn);
        return;
    }

    ri->post_data = buf + request_len;
    ri->post_data_len = nread - request_len;
    conn->start_time = time(nullptr);
    analyze_request(conn);
    /* A send left to the intake takes the connection along, and the
     * intake writes the line when it ends; a request left to a worker is
     * logged by the worker. */
    if (conn->client.sock != -1 && !conn->needs_worker && conn->handed_send == nullptr)
        log_access(conn);
}
