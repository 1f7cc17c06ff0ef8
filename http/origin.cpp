/* http/origin.cpp: posts that act on the server itself (the panel's actions, the administration page)
 * must come from a page of this server; a page on another site must not drive them, and a name
 * that is not this server's (DNS rebinding) must not reach them. */
#include <arpa/inet.h>
#include <ctype.h>
#include <string.h>

#include "http/http.h"

/* Longest Origin value quoted in the error log. */
enum { ORIGIN_SHOWN_SIZE = 128 };
/* A DNS name has at most 253 characters; brackets and an IPv6 literal fewer. */
enum { HOST_NAME_SIZE = 256 };

static bool split_authority(const char *s, size_t len, long default_port, size_t *host_len,
                            long *port);
static bool is_address_literal(char *host);
static bool is_own_name(struct qf_context *ctx, const char *name, size_t len);

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
    const char *c = colon + 1;
    uint64_t p;
    if (!scan_digits(&c, end, &p, nullptr) || c != end || p == 0 || p > 65535)
        return false;
    *port = (long) p;
    return true;
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

/* "[v6]" or a dotted IPv4 address; host may lose its closing bracket. */
static bool
is_address_literal(char *host)
{
    unsigned char addr[sizeof(struct in6_addr)];
    size_t len = strlen(host);

    if (host[0] == '[') {
        if (len < 2 || host[len - 1] != ']')
            return false;
        host[len - 1] = '\0';
        return inet_pton(AF_INET6, host + 1, addr) == 1;
    }
    return inet_pton(AF_INET, host, addr) == 1;
}

/* localhost or an entry of server_names, without regard to case or to
 * the trailing dot of a fully qualified name. */
static bool
is_own_name(struct qf_context *ctx, const char *name, size_t len)
{
    static const char localhost[] = "localhost";
    struct vec entry;
    bool own = false;

    if (len > 0 && name[len - 1] == '.')
        len--;
    if (len == sizeof(localhost) - 1 && qf_strncasecmp(name, localhost, len) == 0)
        return true;
    lock_option(ctx, OPT_SERVER_NAMES);
    const char *list = ctx->options[OPT_SERVER_NAMES];
    while (!own && (list = next_option(list, &entry, nullptr)) != nullptr) {
        size_t n = entry.len > 0 && entry.ptr[entry.len - 1] == '.' ? entry.len - 1 : entry.len;
        own = n == len && len > 0 && qf_strncasecmp(entry.ptr, name, len) == 0;
    }
    unlock_option(ctx, OPT_SERVER_NAMES);
    return own;
}

/* A request without Host (HTTP/1.0) is answered as it always was. */
bool
host_is_ours(const struct qf_connection *conn)
{
    const char *host = get_header(&conn->request_info, "Host");
    char name[HOST_NAME_SIZE];
    size_t host_len;
    long port;

    if (host == nullptr)
        return true;
    size_t len = strlen(host);
    while (len > 0 && (host[len - 1] == ' ' || host[len - 1] == '\t'))
        len--;
    if (!split_authority(host, len, 80, &host_len, &port) || host_len >= sizeof(name))
        return false;
    memcpy(name, host, host_len);
    name[host_len] = '\0';
    return is_address_literal(name) || is_own_name(conn->ctx, name, host_len);
}

/* The Host is looked at first: the path needs a look-up in the file
 * system, which requests under our own names are spared. */
bool
refuse_foreign_host(struct qf_connection *conn, const char *path)
{
    if (host_is_ours(conn) || (path != nullptr && !in_panel_directory(conn->ctx, path)))
        return false;
    send_error(conn, 421, "Misdirected Request", "%s",
               "Host not served here (see option server_names)");
    return true;
}

/* Host names, comma-separated: letters, digits, '-', '_' and '.'. A name
 * with a port or a space would never match, so it is refused rather than
 * silently ignored. An empty list names none. */
bool
set_server_names_option(struct qf_context *ctx, const char *list)
{
    struct vec name;
    const char *rest = list;

    while ((rest = next_option(rest, &name, nullptr)) != nullptr) {
        bool valid = name.len > 0;
        for (size_t i = 0; valid && i < name.len; i++) {
            unsigned char c = (unsigned char) name.ptr[i];
            valid = isalnum(c) || c == '-' || c == '_' || c == '.';
        }
        if (!valid) {
            cry(fc(ctx), "%s: invalid host name in [%s]", "set_server_names_option", list);
            return false;
        }
    }
    return true;
}
