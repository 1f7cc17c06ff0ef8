/* http/origin.cpp: posts that act on the server itself (the panel's actions, the administration page)
 * must come from a page of this server; a page on another site must not drive them. */
#include <string.h>

#include "http/http.h"

/* Longest Origin value quoted in the error log. */
enum { ORIGIN_SHOWN_SIZE = 128 };

/* Splits "host[:port]" (host may be a bracketed IPv6 literal); an empty or
 * absent port is the scheme's default. False when it is not of that form. */
static bool
split_authority(const char *s, size_t len, long default_port, size_t *host_len, long *port)
{
    const char *end = s + len, *colon;
    if (len > 0 && s[0] == '[') {
        const char *close = (const char *) memchr(s, ']', len);
        if (close == nullptr || (close + 1 < end && close[1] != ':'))
            return false;
        colon = close + 1 < end ? close + 1 : nullptr;
    } else {
        colon = (const char *) memchr(s, ':', len);
    }
    *host_len = colon != nullptr ? (size_t) (colon - s) : len;
    *port = default_port;
    if (*host_len == 0)
        return false;
    if (colon == nullptr || colon + 1 == end)
        return true;
    long p = 0;
    for (const char *c = colon + 1; c < end; c++) {
        if (*c < '0' || *c > '9' || p > 65535)
            return false;
        p = p * 10 + (*c - '0');
    }
    *port = p;
    return p > 0 && p <= 65535;
}

/* Whether origin names the scheme, host and port that the request was sent
 * to, as its Host header tells. "null" and anything malformed do not. */
static bool
same_origin(const struct qf_connection *conn, const char *origin)
{
    const char *host = get_header(&conn->request_info, "Host");
    const char *scheme = conn->ssl != nullptr ? "https" : "http";
    long default_port = conn->ssl != nullptr ? 443 : 80;
    size_t scheme_len = strlen(scheme);
    if (host == nullptr || qf_strncasecmp(origin, scheme, scheme_len) != 0 ||
        strncmp(origin + scheme_len, "://", 3) != 0)
        return false;

    const char *authority = origin + scheme_len + 3;
    size_t origin_host_len, host_len;
    long origin_port, host_port;
    return split_authority(authority, strlen(authority), default_port, &origin_host_len, &origin_port) &&
           split_authority(host, strlen(host), default_port, &host_len, &host_port) &&
           origin_host_len == host_len && qf_strncasecmp(authority, host, host_len) == 0 &&
           origin_port == host_port;
}

bool
refuse_cross_site_post(struct qf_connection *conn)
{
    const struct qf_request_info *ri = &conn->request_info;
    const char *origin = get_header(ri, "Origin");
    if (origin == nullptr || ri->request_method == nullptr ||
        qf_strcasecmp(ri->request_method, "POST") != 0 || same_origin(conn, origin))
        return false;

    /* The value is the client's: no control byte of it reaches the log. */
    char shown[ORIGIN_SHOWN_SIZE];
    size_t n = 0;
    for (const char *p = origin; *p != '\0' && n + 1 < sizeof(shown); p++)
        shown[n++] = (unsigned char) *p < 0x20 || *p == 0x7f ? '?' : *p;
    shown[n] = '\0';
    cry(conn, "cross-site POST refused: Origin %s is not this server", shown);
    send_error(conn, 403, "Forbidden", "%s", "Cross-site request refused");
    return true;
}
