/* tests/fuzz/url_fuzz.cpp: a request target through what the dispatcher
 * does to it before it touches a file: the query cut off, URL decoding in
 * place, cleaning, and the mapping onto the root or an alias. The first
 * byte picks one of a few root and alias settings. Fails when decoding
 * writes past its bound or disagrees with itself, when a separator is
 * still followed by "..", or when the mapped path has a ".." component. */
#include <string.h>

#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

struct setting {
    const char *root;
    const char *aliases;
};

const setting settings[] = {
    {"/fz/root", nullptr},
    {"/fz/root/", "/up=/fz/alias/,/doc=/fz/docs"},
    {"/fz/root", "/x.=/fz/x/,/y\\=/fz/y\\,/a/b/=/fz/ab,/=/fz/slash/"},
    {"/fz/root.", "/up=/fz/alias/,/up/x=/fz/shadowed/,/\\=/fz/back"},
};
const size_t num_settings = sizeof(settings) / sizeof(settings[0]);

std::vector<struct qf_context *> contexts;

[[noreturn]] void fail(const char *what, const std::string &input, const char *result)
{
    fprintf(stderr, "%s: [%s] -> [%s]\n", what, input.c_str(), result);
    abort();
}

/* Decoding into a buffer of exactly dst_len bytes gives the first
 * dst_len - 1 bytes of the unbounded result. */
void check_bounded_decode(const std::string &src, const std::string &full, size_t dst_len,
                          int form)
{
    std::vector<char> dst(dst_len);
    int n = url_decode(src.data(), src.size(), dst.data(), dst_len, form);
    size_t room = dst_len == 0 ? 0 : dst_len - 1;
    if (n < 0 || (size_t) n > room || (size_t) n > full.size() ||
        (dst_len > 0 && (dst[(size_t) n] != '\0' || memcmp(dst.data(), full.data(), (size_t) n) != 0)) ||
        (dst_len > 0 && (size_t) n < room && (size_t) n != full.size()))
        fail("bounded decoding", src, dst_len > 0 ? dst.data() : "");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    for (const setting &s : settings) {
        struct qf_context *ctx = qffuzz::quiet_context();
        qffuzz::set_option(ctx, "root", s.root);
        if (s.aliases != nullptr)
            qffuzz::set_option(ctx, "aliases", s.aliases);
        contexts.push_back(ctx);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    struct qf_context *ctx = contexts[data[0] % num_settings];
    unsigned bound = data[0] / num_settings;

    /* A target as the request line gives it: up to the first NUL, and
     * starting with '/' (the parser refuses any other). */
    std::string raw((const char *) data + 1, size - 1);
    raw = raw.substr(0, raw.find('\0'));
    std::string uri = raw[0] == '/' ? raw : "/" + raw;

    /* Both decodings on exact-size heap copies, so a stray byte shows. */
    for (int form = 0; form <= 1; form++) {
        std::vector<char> copy(uri.begin(), uri.end());
        std::vector<char> out(uri.size() + 1);
        int n = url_decode(copy.data(), copy.size(), out.data(), out.size(), form);
        std::string full(out.data(), (size_t) n);
        check_bounded_decode(uri, full, bound % (uri.size() + 2), form);
        check_bounded_decode(uri, full, 0, form);
    }

    std::vector<char> buf(uri.begin(), uri.end());
    buf.push_back('\0');
    char *target = buf.data();
    if (char *q = strchr(target, '?'))
        *q = '\0';
    size_t len = strlen(target);
    std::string before(target);
    url_decode(target, len, target, len + 1, 0);
    if (target[0] != '/')
        fail("decoding lost the leading '/'", before, target);
    clean_uri(target);
    auto sep = [](char c) { return c == '/' || c == '\\'; };
    for (const char *p = target; *p != '\0'; p++) {
        if (!sep(*p))
            continue;
        size_t dots = strspn(p + 1, ".");
        if ((dots == 1 || dots == 2) && (p[1 + dots] == '\0' || sep(p[1 + dots])))
            fail("cleaning left a dot segment", before, target);
        if (sep(p[1]))
            fail("cleaning left two separators in a row", before, target);
    }
    std::string once(target);
    clean_uri(target);
    if (once != target)
        fail("cleaning a clean URI changed it", once, target);

    struct qf_connection *conn = fc(ctx);
    char path[4096];
    translate_path(conn, target, path, sizeof(path));
    if (qffuzz::climbs(path))
        fail("the mapped path climbs", before, path);
    return 0;
}
