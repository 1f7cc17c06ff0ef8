/* tests/auth_digest_test.cpp: the Digest header parser, the expected response, password-file lookup and the choice of file. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "http_clients.h"
#include "server_bare_context.h"
#include "support/harness.h"

namespace {

using qftest::digestCredentials;
using qftest::md5;

const char REALM[] = "Quorvel panel";

std::string
show(const char *field)
{
    return field != nullptr ? "[" + std::string(field) + "]" : "-";
}

TEST(AuthDigest, ParseHeader)
{
    struct Case {
        int line;
        const char *header;
        bool digest;
        const char *fields; /* username cnonce response uri qop nc nonce */
    };
    const Case cases[] = {
        /* as curl sends it: the realm's space must not cost the nonce */
        {__LINE__,
         "Digest username=\"alice\", realm=\"Quorvel panel\", nonce=\"17\", uri=\"/a b\", "
         "cnonce=\"c0\", nc=00000001, qop=auth, response=\"abc\", algorithm=MD5",
         true, "[alice] [c0] [abc] [/a b] [auth] [00000001] [17]"},
        {__LINE__, "dIGEST   username=u,response=r", true, "[u] - [r] - - - -"},
        {__LINE__, "Basic dXNlcjpwYXNz", false, "- - - - - - -"},
        {__LINE__, "Digest", false, "- - - - - - -"},
        {__LINE__, nullptr, false, "- - - - - - -"},
        /* quoted-strings keep commas, spaces and escaped quotes */
        {__LINE__, "Digest uri=\"/x,y z\", username=\"a\\\"b\\\\c\"", true,
         "[a\"b\\c] - - [/x,y z] - - -"},
        /* the last of a repeated name wins; names are case-sensitive */
        {__LINE__, "Digest nonce=1, nonce=2, Username=x", true, "- - - - - - [2]"},
        /* a bare token does not swallow the next name */
        {__LINE__, "Digest stale, username=u", true, "[u] - - - - - -"},
        {__LINE__, "Digest username = \"u\" ,nc==01, response=", true, "[u] - [] - - [01] -"},
        /* hostile shapes: unterminated quotes, lone separators, junk */
        {__LINE__, "Digest username=\"abc", true, "[abc] - - - - - -"},
        {__LINE__, "Digest username=\"", true, "[] - - - - - -"},
        {__LINE__, "Digest username=\"\\", true, "[\\] - - - - - -"},
        {__LINE__, "Digest ==,, ,=x \"", true, "- - - - - - -"},
        {__LINE__, "Digest username=\"a\"junk, nc=2", true, "[a] - - - - [2] -"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        char buf[DIGEST_BUF_SIZE];
        digest_fields df;
        EXPECT_EQ(parse_digest_header(c.header, buf, sizeof(buf), &df), c.digest);
        EXPECT_EQ(show(df.username) + " " + show(df.cnonce) + " " + show(df.response) + " " +
                      show(df.uri) + " " + show(df.qop) + " " + show(df.nc) + " " + show(df.nonce),
                  c.fields);
    }

    /* a value is cut with the working copy, and the copy stays terminated */
    std::string header = "Digest response=\"" + std::string(20000, 'r') + "\", username=u";
    char buf[DIGEST_BUF_SIZE];
    digest_fields df;
    ASSERT_TRUE(parse_digest_header(header.c_str(), buf, sizeof(buf), &df));
    EXPECT_EQ(strlen(df.response), sizeof(buf) - 1 - strlen("response=\""));
    EXPECT_EQ(df.username, nullptr);
}

/* Random headers from the characters the parser treats specially: every
 * field it reports must start and end inside the buffer; ASan watches
 * the rest. */
TEST(AuthDigest, ParseSurvivesNoise)
{
    const char alphabet[] = "\"=, \t\\ab";
    uint32_t x = 2024;
    for (int round = 0; round < 20000; round++) {
        std::string header = "Digest ";
        x = x * 1103515245u + 12345u;
        for (size_t i = 0, len = (x >> 16) % 40; i < len; i++) {
            x = x * 1103515245u + 12345u;
            header += alphabet[(x >> 16) % (sizeof(alphabet) - 1)];
        }
        char buf[32];
        digest_fields df;
        ASSERT_TRUE(parse_digest_header(header.c_str(), buf, sizeof(buf), &df));
        for (const char *f : {df.username, df.cnonce, df.response, df.uri, df.qop, df.nc,
                              df.nonce}) {
            if (f != nullptr) {
                ASSERT_TRUE(f >= buf && f + strlen(f) < buf + sizeof(buf)) << header;
            }
        }
    }
}

/* The worked example of RFC 2617, then each optional field left out: the
 * hashed text ends where the first absent field would stand. */
TEST(AuthDigest, ExpectedResponse)
{
    const std::string ha1 = md5("Mufasa:testrealm@host.com:Circle Of Life");
    const std::string nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
    const char *uri = "/dir/index.html";
    struct Case {
        int line;
        digest_fields df;
        std::string expected;
    };
    const Case cases[] = {
        {__LINE__, {"Mufasa", "0a4f113b", nullptr, uri, "auth", "00000001", nonce.c_str()},
         "6629fae49393a05397450978507c4ef1"},
        {__LINE__, {"Mufasa", "0a4f113b", nullptr, uri, "auth", "00000001", nullptr},
         md5(ha1 + ":")},
        {__LINE__, {"Mufasa", "0a4f113b", nullptr, uri, "auth", nullptr, nonce.c_str()},
         md5(ha1 + ":" + nonce + ":")},
        {__LINE__, {"Mufasa", nullptr, nullptr, uri, "auth", "00000001", nonce.c_str()},
         md5(ha1 + ":" + nonce + ":00000001:")},
        {__LINE__, {"Mufasa", "0a4f113b", nullptr, uri, nullptr, "00000001", nonce.c_str()},
         md5(ha1 + ":" + nonce + ":00000001:0a4f113b:")},
        {__LINE__, {"Mufasa", "0a4f113b", nullptr, nullptr, "auth", "00000001", nonce.c_str()},
         md5(ha1 + ":" + nonce + ":00000001:0a4f113b:auth:" + md5("GET:"))},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        char expected[33];
        digest_expected_response(expected, ha1.c_str(), "GET", &c.df);
        EXPECT_EQ(std::string(expected), c.expected);
    }
}

TEST(AuthDigest, FindPasswordEntry)
{
    /* fgets hands the first line over as 255 x's, then "alice:r:tail" */
    const std::string file = std::string(255, 'x') + "alice:r:tail\n"
                             "garbage\n:r:nouser\nalice::norealm\nalice:other:0000\n"
                             "alice:r:first \r\nalice:r:second\nbob:r:last";
    struct Case {
        int line;
        const char *user, *realm;
        const char *ha1; /* nullptr: not found */
    };
    const Case cases[] = {
        /* not the tail of the long line; the first of two; ha1 ends at white space */
        {__LINE__, "alice", "r", "first"},
        {__LINE__, "alice", "other", "0000"},
        {__LINE__, "alice", "R", nullptr},
        {__LINE__, "Alice", "r", nullptr},
        {__LINE__, "bob", "r", "last"},
        {__LINE__, "", "r", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        FILE *fp = fmemopen((void *) file.data(), file.size(), "r");
        char ha1[256] = "";
        EXPECT_EQ(find_password_entry(fp, c.user, c.realm, ha1, sizeof(ha1)), c.ha1 != nullptr);
        EXPECT_STREQ(ha1, c.ha1 != nullptr ? c.ha1 : "");
        fclose(fp);
    }
}

/* A request of a bare context with the headers, method and URI that the
 * dispatcher leaves; authorize and check_authorization only read it. */
class AuthRequest : public ::testing::Test {
protected:
    qftest::BareContext bare;
    struct qf_connection conn;
    std::string block, method, uri;

    void SetUp() override
    {
        memset(&conn, 0, sizeof(conn));
        conn.ctx = bare.ctx;
        setOption(OPT_AUTH_DOMAIN, REALM);
    }
    void TearDown() override { reset_per_request_attributes(&conn); }

    void setOption(int id, const std::string &value)
    {
        free(bare.ctx->options[id]);
        bare.ctx->options[id] = value.empty() ? nullptr : strdup(value.c_str());
    }

    void request(const std::string &m, const std::string &u, const std::string &auth)
    {
        reset_per_request_attributes(&conn);
        memset(&conn.request_info, 0, sizeof(conn.request_info));
        method = m;
        uri = u;
        block = auth.empty() ? "\r\n" : "Authorization: " + auth + "\r\n\r\n";
        char *p = &block[0];
        parse_http_headers(&p, &conn.request_info);
        conn.request_info.request_method = &method[0];
        conn.request_info.uri = &uri[0];
    }
};

TEST_F(AuthRequest, Authorize)
{
    const std::string file = "alice:other:" + md5("alice:other:pw") + "\n" + "alice:" + REALM +
                             ":" + md5(std::string("alice:") + REALM + ":pw") + "\n";
    const std::string good = digestCredentials("alice", "pw", REALM, "GET", "/x");
    const size_t at = good.find("response=\"") + 10;
    std::string upper = good, other_realm = good, r31 = good, r33 = good;
    for (size_t i = at; i < at + 32; i++)
        upper[i] = (char) toupper((unsigned char) upper[i]);
    other_realm.replace(good.find(REALM), strlen(REALM), "nowhere");
    r31.erase(at, 1);
    r33.insert(at, "0");

    struct Case {
        int line;
        std::string method, header;
        int expected;
        const char *remote_user;
    };
    const Case cases[] = {
        {__LINE__, "GET", good, 1, "alice"},
        {__LINE__, "GET", upper, 1, "alice"},
        /* the client's realm is not read, its nonce not checked */
        {__LINE__, "GET", other_realm, 1, "alice"},
        {__LINE__, "GET", digestCredentials("alice", "pw", REALM, "GET", "/x", "old"), 1, "alice"},
        /* the method is part of the response */
        {__LINE__, "PUT", good, 0, "alice"},
        {__LINE__, "GET", digestCredentials("alice", "bad", REALM, "GET", "/x"), 0, "alice"},
        {__LINE__, "GET", digestCredentials("alice", "pw", "other", "GET", "/x"), 0, "alice"},
        {__LINE__, "GET", digestCredentials("bob", "pw", REALM, "GET", "/x"), 0, "bob"},
        {__LINE__, "GET", r31, 0, "alice"},
        {__LINE__, "GET", r33, 0, "alice"},
        /* no user name or no response: nothing to compare */
        {__LINE__, "GET", good.substr(good.find(", realm")).replace(0, 1, "Digest"), 0, nullptr},
        {__LINE__, "GET", good.substr(0, good.find(", response")), 0, "alice"},
        {__LINE__, "GET", "Basic YWxpY2U6cHc=", 0, nullptr},
        {__LINE__, "GET", "", 0, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        request(c.method, "/elsewhere", c.header); /* the header's uri is what counts */
        FILE *fp = fmemopen((void *) file.data(), file.size(), "r");
        EXPECT_EQ(authorize(&conn, fp), c.expected);
        fclose(fp);
        EXPECT_EQ(show(conn.request_info.remote_user), show(c.remote_user));
    }
}

/* Each candidate file holds alice with a password of its own, so the
 * password that gets in tells which file decided. */
TEST_F(AuthRequest, ChoiceOfPasswordFile)
{
    qftest::TempDir dir;
    auto entry = [&](const std::string &pass) {
        std::string user_realm = std::string("alice:") + REALM;
        return user_realm + ":" + md5(user_realm + ":" + pass);
    };
    const std::string root = dir.path() + "/root";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/sec").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/sec/sub").c_str(), 0755), 0);
    qftest::writeFile(root + "/sec/.htpasswd", entry("dirpw"));
    qftest::writeFile(dir.file("protect"), entry("protectpw"));
    qftest::writeFile(dir.file("global"), entry("globalpw"));

    const std::string prot = "/a=" + dir.file("protect"), global = dir.file("global");
    const std::string missing = "/sec=" + dir.file("nowhere") + ",/=" + dir.file("protect");
    struct Case {
        int line;
        std::string protect, gpass, uri, pass;
        int expected;
    };
    const Case cases[] = {
        {__LINE__, "", "", "/pub.txt", "", 1},
        /* .htpasswd guards its directory and the files directly in it */
        {__LINE__, "", "", "/sec/f.txt", "", 0},
        {__LINE__, "", "", "/sec/f.txt", "dirpw", 1},
        {__LINE__, "", "", "/sec/", "dirpw", 1},
        {__LINE__, "", "", "/sec", "", 0},
        {__LINE__, "", "", "/sec/sub/f.txt", "", 1},
        /* a protect prefix is a plain prefix: /a covers /abc */
        {__LINE__, prot, "", "/abc", "protectpw", 1},
        {__LINE__, prot, "", "/abc", "dirpw", 0},
        /* protect wins over the global file, the global file over .htpasswd */
        {__LINE__, "/sec=" + dir.file("protect"), global, "/sec/f.txt", "protectpw", 1},
        {__LINE__, prot, global, "/sec/f.txt", "globalpw", 1},
        {__LINE__, prot, global, "/sec/f.txt", "dirpw", 0},
        {__LINE__, prot, global, "/pub.txt", "", 0},
        /* the first matching entry decides even when its file is missing:
         * the later entry is not tried, the decision passes on */
        {__LINE__, missing, "", "/sec/f.txt", "dirpw", 1},
        {__LINE__, missing, "", "/sec/f.txt", "protectpw", 0},
        {__LINE__, missing, global, "/sec/f.txt", "globalpw", 1},
        /* a global file that has gone is no reason to let everyone in */
        {__LINE__, "", dir.file("gone"), "/pub.txt", "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        setOption(OPT_PROTECT, c.protect);
        setOption(OPT_AUTH_GPASSWD, c.gpass);
        request("GET", c.uri,
                c.pass.empty() ? "" : digestCredentials("alice", c.pass, REALM, "GET", c.uri));
        EXPECT_EQ(check_authorization(&conn, (root + c.uri).c_str()), c.expected);
    }

    std::string log;
    for (const std::string &l : qftest::take_bare_log())
        log += l + "\n";
    EXPECT_NE(log.find("check_authorization: cannot open " + dir.file("nowhere") +
                       ": No such file or directory\n"),
              std::string::npos);
    EXPECT_NE(log.find("fopen(" + dir.file("gone") + "): No such file or directory\n"),
              std::string::npos);
}

}  // namespace
