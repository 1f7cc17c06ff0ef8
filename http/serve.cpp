/* http/serve.cpp: one request served from its head: parsed, dispatched to its handler, logged;
 * and the intake's one decision whether it answers a head itself. */
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
    struct head_record rec;
    int nread = 0;

    int request_len = read_request(nullptr, conn->client.sock, conn->ssl, buf,
                                   MAX_REQUEST_SIZE, &nread);
    if (request_len <= 0) {
        serve_request(conn, nullptr); /* peer gone, block too long or garbage */
        return;
    }
    (void) parse_head(buf, nread, request_len, &rec);
    serve_request(conn, &rec);
}

void
serve_request(struct qf_connection *conn, struct head_record *rec, const struct held_body *body)
{
    begin_request(conn, rec, body);
    if (rec == nullptr)
        return; /* nobody to answer */
    if (rec->verdict != HEAD_OK) {
        answer_bad_head(conn);
        return;
    }
    conn->start_time = time(nullptr);
    analyze_request(conn);
    /* A send left to the intake takes the connection along, and the
     * intake writes the line when it ends. */
    if (conn->client.sock != -1 && conn->handed_send == nullptr)
        log_access(conn);
}

/* The one place that decides whether the loop answers a head itself: a
 * refused head at once from its verdict, and GETs and HEADs whose route
 * needs no handler that may wait (static files of one write, redirects,
 * the ordinary error answers): waking a worker costs more than the answer.
 * The head was parsed in place when it was complete; a worker gets that
 * record, and the route when routing ran here. True when the loop took
 * the request and answered it; false when nothing was written or logged
 * and a worker serves it. */
bool
serve_in_loop(struct qf_connection *conn, struct head_record *rec)
{
    begin_request(conn, rec);
    if (!loop_may_take(conn))
        return false;
    if (rec->verdict != HEAD_OK) {
        answer_bad_head(conn);
        return true;
    }
    if (route_request(conn)) {
        if (route_may_block(conn))
            return false;
        analyze_request(conn); /* routed: authorization and the handler */
    }
    log_access(conn);
    return true;
}
