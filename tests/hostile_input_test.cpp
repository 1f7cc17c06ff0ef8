/* tests/hostile_input_test.cpp: what a client sends, in pieces: log escaping, the chunked body
 * decoder, suffix ranges, If-Modified-Since dates and Digest nonces. */
#include "server_bare_context.h"
#include "support/harness.h"

using namespace qftest;

namespace {

std::string escape(const std::string &text, size_t size = 1024)
{
    std::string out(size, '\0');
    out.resize(log_escape(text.data(), text.size(), &out[0], size));
    return out;
}

TEST(LogEscape, ControlQuoteBackslashAndHighBytes)
{
    const struct { int line; std::string in, out; size_t size; } rows[] = {
        {__LINE__, "/index.html?a=1&b=~", "/index.html?a=1&b=~", 1024},
        {__LINE__, "/nx\n127.0.0.1 - -", "/nx\\x0a127.0.0.1 - -", 1024},
        {__LINE__, std::string("a\0b\r\t\x1b", 6), "a\\x00b\\x0d\\x09\\x1b", 1024},
        {__LINE__, "\"q\" \\ \x7f\xc3\xa9", "\\x22q\\x22 \\x5c \\x7f\\xc3\\xa9", 1024},
        /* cut at the buffer, never inside an escape */
        {__LINE__, "ab\ncd", "ab", 6},
        {__LINE__, "ab\ncd", "ab\\x0a", 7},
    };
    for (const auto &r : rows)
        EXPECT_EQ(escape(r.in, r.size), r.out) << "line " << r.line;
}

/* The arguments of a message carry client text: controls escaped, quotes kept (SSI page text is
 * quoted too); the format's own line feeds stay; the request's URI is escaped whole. */
TEST(LogEscape, CryEscapesArgumentsAndTheRequestButNotTheFormat)
{
    BareContext bare;
    static std::string seen_uri, seen_method;
    struct qf_connection conn {};
    conn.ctx = bare.ctx;
    char method[] = "GET", uri[] = "/a\nb\"";
    conn.request_info.request_method = method;
    conn.request_info.uri = uri;

    cry(&conn, "%s: unknown SSI command: \"%s\" %d %lu %.*s|%5.2f%%", "/p\r\n", "<!--#x\x01-->", -3,
        (unsigned long) 7, 2, "\\zz", 1.5);
    cry(&conn, "Error %d: %s\n", 404, "Not Found");
    EXPECT_EQ(take_bare_log(), (std::vector<std::string>{
                                   "/p\\x0d\\x0a: unknown SSI command: \"<!--#x\\x01-->\" -3 7 \\z| 1.50%",
                                   "Error 404: Not Found\n"}));

    bare.ctx->log_callback = [](struct qf_connection *, const struct qf_request_info *ri, void *) {
        seen_method = ri->request_method;
        seen_uri = ri->uri;
    };
    cry(&conn, "%s", "x");
    EXPECT_EQ(seen_uri, "/a\\x0ab\\x22");
    EXPECT_EQ(seen_method, "GET");
    EXPECT_STREQ(conn.request_info.uri, "/a\nb\""); /* the request itself is untouched */
}

}  // namespace
