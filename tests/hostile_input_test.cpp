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

/* Only nonces of this process, not older than their lifetime, not from the future. */
TEST(DigestNonce, IssuedExpiredForged)
{
    const time_t now = 1800000000;
    char n[NONCE_SIZE], late[NONCE_SIZE];
    make_nonce(now - 10, n, sizeof(n));
    make_nonce(now - 301, late, sizeof(late));
    std::string tampered = n;
    tampered[3] = tampered[3] == '9' ? '0' : (char) (tampered[3] + 1);
    const struct { int line; std::string nonce; time_t at; enum nonce_state state; } rows[] = {
        {__LINE__, n, now, NONCE_FRESH}, {__LINE__, n, now + 290, NONCE_FRESH},
        {__LINE__, n, now + 291, NONCE_EXPIRED}, {__LINE__, late, now, NONCE_EXPIRED},
        {__LINE__, n, now - 11, NONCE_FORGED}, /* issued "later" than the clock */
        {__LINE__, tampered, now, NONCE_FORGED}, {__LINE__, "17", now, NONCE_FORGED},
        {__LINE__, std::string(n) + "0", now, NONCE_FORGED}, {__LINE__, "", now, NONCE_FORGED},
        {__LINE__, std::string(n).substr(0, 10) + "-" + std::string(n).substr(11), now, NONCE_FORGED},
    };
    EXPECT_EQ(std::string(n).size(), 30u); /* ten digits of time, twenty of hash */
    for (const auto &r : rows)
        EXPECT_EQ(check_nonce(r.nonce.c_str(), r.at), r.state) << "line " << r.line;
}

/* The decoder's verdict and output, fed at once and byte by byte: pieces never change either. */
TEST(ChunkedDecoder, WholeAndPiecewise)
{
    const std::string ok = "done", more = "more", bad = "error";
    const struct { int line; std::string in, out, state; size_t consumed; } rows[] = {
        {__LINE__, "5\r\nhello\r\n0\r\n\r\n", "hello", ok, 15},
        {__LINE__, "5\r\nhello\r\n0\r\n\r\nNEXT", "hello", ok, 15}, /* bytes behind stay unread */
        {__LINE__, "3;a=b;c\r\nabc\r\n1A \t;x\r\n" + std::string(26, 'z') + "\r\n000\r\nT: v\r\nU: w\r\n\r\n",
         "abc" + std::string(26, 'z'), ok, 69},
        {__LINE__, "2\nab\n0\n\n", "ab", ok, 8},           /* bare line feeds */
        {__LINE__, "0\r\n\r\n", "", ok, 5},
        {__LINE__, "5\r\nhel", "hel", more, 6},
        {__LINE__, "5\r\nhello\r\n0\r\nT: v\r\n", "hello", more, 19},
        {__LINE__, "", "", more, 0},
        {__LINE__, "\r\n", "", bad, 0},                       /* no size */
        {__LINE__, "-5\r\n", "", bad, 0},
        {__LINE__, "5 x\r\nhello\r\n", "", bad, 2},           /* only ';' may follow white space */
        {__LINE__, "5x\r\n", "", bad, 1},
        {__LINE__, "5\r\nhelloX\r\n", "hello", bad, 9},       /* data longer than its size */
        {__LINE__, "5\rhello", "", bad, 3},
        {__LINE__, "1000000000000000\r\n", "", bad, 15},      /* sixteen hex digits */
        {__LINE__, "1;\x01\r\n", "", bad, 3},                 /* control byte in an extension */
        {__LINE__, "0\r\nT: \x7f\r\n\r\n", "", bad, 7},
        {__LINE__, "1;" + std::string(5000, 'e'), "", bad, 4098},
        {__LINE__, "0\r\n" + std::string(9000, 't'), "", bad, 8196},
    };
    for (const auto &r : rows) {
        for (size_t piece : {r.in.size() + 1, (size_t) 1, (size_t) 7}) {
            struct chunked_decoder dec;
            std::string buf = r.in, out;
            size_t consumed = 0;
            while (consumed < buf.size() && !dec.done() && !dec.failed()) {
                size_t n = std::min(piece, buf.size() - consumed), produced;
                char *p = &buf[consumed];
                consumed += dec.feed(p, n, p, &produced); /* in place, as the server decodes */
                out.append(p, produced);
            }
            std::string state = dec.done() ? ok : dec.failed() ? bad : more;
            EXPECT_EQ(state, r.state) << "line " << r.line << " piece " << piece;
            EXPECT_EQ(out, r.out) << "line " << r.line << " piece " << piece;
            if (piece > r.in.size()) {
                EXPECT_EQ(consumed, r.consumed) << "line " << r.line;
            }
        }
    }
}

}  // namespace
