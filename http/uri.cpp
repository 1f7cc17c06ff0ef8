/* http/uri.cpp: a request's URI as a path: cleaning, extensions, root and aliases. */
#include <string.h>

#include "http/http.h"

static bool is_separator(char c);
static size_t dot_segment_len(const char *s);

static bool
is_separator(char c)
{
    return c == '/' || c == '\\';
}

/* The length of the "." or ".." segment at s, or 0 when s starts another
 * name ("...", ".x") or none. */
static size_t
dot_segment_len(const char *s)
{
    size_t dots = s[0] == '.' ? (s[1] == '.' ? 2 : 1) : 0;
    return dots > 0 && (s[dots] == '\0' || is_separator(s[dots])) ? dots : 0;
}

/* RFC 3986 remove_dot_segments, in place, with '\\' a separator as well
 * and runs of separators collapsed to their first one: "." segments go,
 * ".." takes the segment before it along, and a ".." with none before it
 * is dropped, so the path cannot climb out of the directory it is
 * appended to. Every check then sees the path the file system opens:
 * "/./p/x" is "/p/x" for a protected prefix too. A clean URI is left as
 * it is. */
void
clean_uri(char *s)
{
    char *out = s;
    const char *in = s;

    while (*in != '\0') {
        if (is_separator(*in)) {
            if (out == s || !is_separator(out[-1]))
                *out++ = *in;
            in++;
            continue;
        }
        /* At the start of a segment: out is empty or ends with a separator. */
        size_t dots = dot_segment_len(in);
        if (dots == 2 && out > s) {
            out--; /* the separator behind the segment that goes */
            while (out > s && !is_separator(out[-1]))
                out--;
            if (out == s && is_separator(*s))
                out++; /* the leading separator stays */
        }
        if (dots > 0) {
            in += dots;
            while (is_separator(*in))
                in++;
            continue;
        }
        while (*in != '\0' && !is_separator(*in))
            *out++ = *in++;
    }
    *out = '\0';
}

/* An item matches only when it is shorter than the path; an empty item
 * matches any non-empty path. */
bool
match_extension(const char *path, const char *ext_list)
{
    struct vec ext;
    size_t path_len = strlen(path);

    if (ext_list == nullptr)
        return false;
    while ((ext_list = next_option(ext_list, &ext, nullptr)) != nullptr)
        if (ext.len < path_len &&
            qf_strncasecmp(path + path_len - ext.len, ext.ptr, ext.len) == 0)
            return true;
    return false;
}

/* path = root + uri, unless the first alias whose prefix starts the URI
 * maps it to directory + the rest of the URI. */
void
translate_path(struct qf_connection *conn, const char *uri, char *path, size_t size)
{
    struct qf_context *ctx = conn->ctx;

    lock_option(ctx, OPT_ROOT);
    const char *root = ctx->options[OPT_ROOT] != nullptr ? ctx->options[OPT_ROOT] : ".";
    size_t root_len = strlen(root), uri_len = strlen(uri);
    if (root_len + uri_len < size) {
        memcpy(path, root, root_len);
        memcpy(path + root_len, uri, uri_len + 1);
    } else {
        qf_snprintf(conn, path, size, "%s%s", root, uri); /* cuts and reports */
    }
    unlock_option(ctx, OPT_ROOT);

    lock_option(ctx, OPT_ALIASES);
    const char *list = ctx->options[OPT_ALIASES];
    struct vec prefix, dir;
    while ((list = next_option(list, &prefix, &dir)) != nullptr) {
        if (strncmp(uri, prefix.ptr, prefix.len) != 0)
            continue;
        const char *rest = uri + prefix.len;
        /* A prefix without its trailing '/' leaves "/doc../x" as "../x" and
         * "/doc./x" as "./x". Behind a directory that ends in a separator
         * (or an empty one) that would be a segment of its own, which
         * climbs or names the directory under a URI the protect prefixes
         * do not cover; it goes, as cleaning drops such segments. */
        if (dir.len == 0 || is_separator(dir.ptr[dir.len - 1]))
            rest += dot_segment_len(rest);
        qf_snprintf(conn, path, size, "%.*s%s", (int) dir.len,
                    dir.ptr != nullptr ? dir.ptr : "", rest);
        break;
    }
    unlock_option(ctx, OPT_ALIASES);
}
