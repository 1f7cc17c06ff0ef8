/* tests/auth_put_test.cpp: Digest header parsing, expected responses, password-file choice. */
#include <gtest/gtest.h>

#include <string.h>

#include <filesystem>
#include <string>

#include "server_bare_context.h"
#include "support/harness.h"

namespace {

using qftest::md5;

const char REALM[] = "Quorvel panel";

/* What a correct client sends, from the RFC 2617 formula. */
std::string creds(const std::string &user, const std::string &pass, const std::string &uri,
                  const std::string &realm = REALM)
{
    std::string ha1 = md5(user + ":" + realm + ":" + pass), ha2 = md5("GET:" + uri);
    return "Digest username=\"" + user + "\", nonce=\"17\", uri=\"" + uri + "\", qop=auth, " +
           "nc=1, cnonce=\"c\", response=\"" + md5(ha1 + ":17:1:c:auth:" + ha2) + "\"";
}

std::string show(const char *field)
{
    return field != nullptr ? "[" + std::string(field) + "]" : "-";
}

/* Known headers, then random ones into a small buffer: every field must lie inside it. */
TEST(AuthDigest, ParseHeader)
{
    const struct { int line; const char *header; bool digest; const char *fields; } cases[] = {
        {__LINE__,
         "Digest username=\"alice\", realm=\"Quorvel panel\", nonce=\"17\", uri=\"/a b\", "
         "cnonce=\"c0\", nc=00000001, qop=auth, response=\"abc\"",
         true, "[alice] [c0] [abc] [/a b] [auth] [00000001] [17]"},
        {__LINE__, "dIGEST   username=u,response=r", true, "[u] - [r] - - - -"},
        {__LINE__, "Basic dXNlcjpwYXNz", false, "- - - - - - -"},
        {__LINE__, nullptr, false, "- - - - - - -"},
        {__LINE__, "Digest stale, uri=\"/x,y z\", username=\"a\\\"b\\\\c\"", true,
         "[a\"b\\c] - - [/x,y z] - - -"},
    };
    char buf[DIGEST_BUF_SIZE];
    digest_fields df;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parse_digest_header(c.header, buf, sizeof(buf), &df), c.digest);
        EXPECT_EQ(show(df.username) + " " + show(df.cnonce) + " " + show(df.response) + " " +
                      show(df.uri) + " " + show(df.qop) + " " + show(df.nc) + " " + show(df.nonce),
                  c.fields);
    }
    const char alphabet[] = "\"=, \t\\ab";
    uint32_t x = 2024;
    for (int round = 0; round < 20000; round++) {
        std::string header = "Digest ";
        for (size_t len = ((x = x * 1103515245u + 12345u) >> 16) & 63; header.size() < 7 + len;)
            header += alphabet[((x = x * 1103515245u + 12345u) >> 16) % (sizeof(alphabet) - 1)];
        ASSERT_TRUE(parse_digest_header(header.c_str(), buf, 32, &df));
        for (const char *f : {df.username, df.cnonce, df.response, df.uri, df.qop, df.nc, df.nonce})
            ASSERT_TRUE(f == nullptr || (f >= buf && f + strlen(f) < buf + 32)) << header;
    }
}

/* RFC 2617's example; the hashed text ends where the first absent field would stand. */
TEST(AuthDigest, ExpectedResponse)
{
    const std::string ha1 = md5("Mufasa:testrealm@host.com:Circle Of Life");
    const std::string n = "dcd98b7102dd2f0e8b11d0f600bfb0c093", head = ha1 + ":" + n;
    const char *u = "/dir/index.html", *cn = "0a4f113b", *nc = "00000001", *no = n.c_str();
    const struct { int line; digest_fields df; std::string expected; } cases[] = {
        {__LINE__, {"Mufasa", cn, nullptr, u, "auth", nc, no}, "6629fae49393a05397450978507c4ef1"},
        {__LINE__, {"Mufasa", cn, nullptr, u, "auth", nc, nullptr}, md5(ha1 + ":")},
        {__LINE__, {"Mufasa", nullptr, nullptr, u, "auth", nc, no}, md5(head + ":00000001:")},
        {__LINE__, {"Mufasa", cn, nullptr, nullptr, "auth", nc, no},
         md5(head + ":00000001:0a4f113b:auth:" + md5("GET:"))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        char expected[33];
        digest_expected_response(expected, ha1.c_str(), "GET", &c.df);
        EXPECT_EQ(std::string(expected), c.expected);
    }
}

/* Each file knows alice with its name as password: what gets in tells which file decided. */
TEST(AuthDigest, ChoiceOfPasswordFile)
{
    qftest::BareContext bare;
    struct qf_connection conn {};
    conn.ctx = bare.ctx;
    auto set = [&](int id, const std::string &v) {
        free(bare.ctx->options[id]);
        bare.ctx->options[id] = v.empty() ? nullptr : strdup(v.c_str());
    };
    set(OPT_AUTH_DOMAIN, REALM);
    qftest::TempDir dir;
    std::filesystem::create_directories(dir.file("root/sec"));
    const std::string alice = std::string("alice:") + REALM, dirpw = "root/sec/.htpasswd";
    for (const std::string &f : {dirpw, std::string("protect"), std::string("global")})
        qftest::writeFile(dir.file(f), alice + ":" + md5(alice + ":" + f));
    const std::string sec = "/sec=" + dir.file("protect"), global = dir.file("global");
    const std::string missing = "/sec=" + dir.file("nowhere") + ",/=" + dir.file("protect");
    const struct { int line; std::string protect, gpass, uri, pass; int expected; } cases[] = {
        {__LINE__, "", "", "/pub.txt", "", 1},
        {__LINE__, "", "", "/sec/f.txt", "", 0},
        {__LINE__, "", "", "/sec/f.txt", dirpw, 1},
        {__LINE__, sec, "", "/sec/f.txt", "protect", 1},
        {__LINE__, sec, "", "/sec/f.txt", dirpw, 0},
        {__LINE__, sec, global, "/sec/f.txt", "protect", 1},
        {__LINE__, "", global, "/sec/f.txt", "global", 1},
        {__LINE__, "", global, "/sec/f.txt", dirpw, 0},
        /* the first matching entry's missing file passes the decision on */
        {__LINE__, missing, "", "/sec/f.txt", dirpw, 1},
        {__LINE__, missing, "", "/sec/f.txt", "protect", 0},
        /* a global file that has gone lets nobody in */
        {__LINE__, "", dir.file("gone"), "/pub.txt", "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        set(OPT_PROTECT, c.protect);
        set(OPT_AUTH_GPASSWD, c.gpass);
        std::string name = "Authorization", value = creds("alice", c.pass, c.uri), uri = c.uri;
        std::string method = "GET";
        conn.request_info.request_method = &method[0];
        conn.request_info.uri = &uri[0];
        conn.request_info.num_headers = c.pass.empty() ? 0 : 1;
        conn.request_info.http_headers[0] = {&name[0], &value[0]};
        EXPECT_EQ(check_authorization(&conn, (dir.file("root") + c.uri).c_str()), c.expected);
        reset_per_request_attributes(&conn);
    }
}

}  // namespace
