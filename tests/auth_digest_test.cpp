/* tests/auth_digest_test.cpp: the Digest header parser, the expected response, password-file lookup and the choice of file. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "auth/auth.h"
#include "server_bare_context.h"
#include "support/harness.h"

namespace {

std::string
md5(const std::string &text)
{
    char buf[33];
    qf_md5(buf, text.c_str(), nullptr);
    return buf;
}

/* What a correct client sends, built from the formula itself rather than
 * from the code under test. */
std::string
client_header(const std::string &user, const std::string &pass, const std::string &realm,
              const std::string &method, const std::string &uri,
              const std::string &nonce = "1700000000")
{
    std::string ha1 = md5(user + ":" + realm + ":" + pass);
    std::string ha2 = md5(method + ":" + uri);
    std::string resp = md5(ha1 + ":" + nonce + ":00000001:0a4f113b:auth:" + ha2);
    return "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
           "\", uri=\"" + uri + "\", qop=auth, nc=00000001, cnonce=\"0a4f113b\", response=\"" +
           resp + "\"";
}

std::string
show(const char *field)
{
    return field != nullptr ? "[" + std::string(field) + "]" : "-";
}

/* The seven fields in one line: username cnonce response uri qop nc nonce. */
std::string
fields_of(const digest_fields &df)
{
    return show(df.username) + " " + show(df.cnonce) + " " + show(df.response) + " " +
           show(df.uri) + " " + show(df.qop) + " " + show(df.nc) + " " + show(df.nonce);
}

TEST(AuthDigest, ParseHeader)
{
    struct Case {
        int line;
        const char *header;
        bool digest;
        const char *fields;
    };
    const Case cases[] = {
        /* as curl and Python send it; the realm's space must not cost the nonce */
        {__LINE__,
         "Digest username=\"alice\", realm=\"Quorvel panel\", nonce=\"17\", uri=\"/a b\", "
         "cnonce=\"c0\", nc=00000001, qop=auth, response=\"abc\", algorithm=MD5",
         true, "[alice] [c0] [abc] [/a b] [auth] [00000001] [17]"},
        {__LINE__, "digest username=u", true, "[u] - - - - - -"},
        {__LINE__, "DIGEST   username=u,response=r", true, "[u] - [r] - - - -"},
        {__LINE__, "Basic dXNlcjpwYXNz", false, "- - - - - - -"},
        {__LINE__, "Digest", false, "- - - - - - -"},
        {__LINE__, "Digest\tusername=u", false, "- - - - - - -"},
        {__LINE__, "", false, "- - - - - - -"},
        {__LINE__, nullptr, false, "- - - - - - -"},
        /* quoted-strings keep commas, spaces and escaped quotes */
        {__LINE__, "Digest uri=\"/x,y z\", username=\"a\\\"b\\\\c\"", true,
         "[a\"b\\c] - - [/x,y z] - - -"},
        /* the last of a repeated name wins; names are case-sensitive */
        {__LINE__, "Digest nonce=1, nonce=2, Username=x, USERNAME=y", true, "- - - - - - [2]"},
        /* a bare token does not swallow the next name */
        {__LINE__, "Digest stale, username=u, userhash", true, "[u] - - - - - -"},
        {__LINE__, "Digest username = \"u\" ,nc==01", true, "[u] - - - - [01] -"},
        {__LINE__, "Digest username=\"\", response=", true, "[] - [] - - - -"},
        /* hostile shapes: unterminated quotes, lone separators, junk */
        {__LINE__, "Digest username=\"abc", true, "[abc] - - - - - -"},
        {__LINE__, "Digest username=\"", true, "[] - - - - - -"},
        {__LINE__, "Digest \"", true, "- - - - - - -"},
        {__LINE__, "Digest =", true, "- - - - - - -"},
        {__LINE__, "Digest ==,, ,=x", true, "- - - - - - -"},
        {__LINE__, "Digest username=\"a\"junk, nc=2", true, "[a] - - - - [2] -"},
        {__LINE__, "Digest username=\\", true, "[\\] - - - - - -"},
        {__LINE__, "Digest username=\"\\", true, "[\\] - - - - - -"},
        {__LINE__, "Digest ,,,   ", true, "- - - - - - -"},
        {__LINE__, "Digest username=\xff\xfe", true, "[\xff\xfe] - - - - - -"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        char buf[DIGEST_BUF_SIZE];
        digest_fields df;
        EXPECT_EQ(parse_digest_header(c.header, buf, sizeof(buf), &df), c.digest);
        EXPECT_EQ(fields_of(df), c.fields);
    }
}

/* Values are cut with the working copy, never read or written past it. */
TEST(AuthDigest, ParseCutsLongHeaders)
{
    std::string header = "Digest response=\"" + std::string(20000, 'r') + "\", username=u";
    char buf[DIGEST_BUF_SIZE];
    digest_fields df;
    ASSERT_TRUE(parse_digest_header(header.c_str(), buf, sizeof(buf), &df));
    ASSERT_NE(df.response, nullptr);
    EXPECT_EQ(strlen(df.response), (size_t) DIGEST_BUF_SIZE - 1 - strlen("response=\""));
    EXPECT_EQ(df.username, nullptr);

    /* a tiny buffer holds what fits and stays terminated */
    char small[12];
    ASSERT_TRUE(parse_digest_header("Digest nc=0123456789abc", small, sizeof(small), &df));
    EXPECT_STREQ(df.nc, "01234567");
}

/* Random headers from the characters the parser treats specially: every
 * field it reports must lie in the buffer and end there. ASan watches the
 * rest. */
TEST(AuthDigest, ParseSurvivesNoise)
{
    const char alphabet[] = "\"=, \t\\ab";
    uint32_t x = 2024;
    for (int round = 0; round < 20000; round++) {
        std::string header = "Digest ";
        x = x * 1103515245u + 12345u;
        size_t len = (x >> 16) % 40;
        for (size_t i = 0; i < len; i++) {
            x = x * 1103515245u + 12345u;
            header += alphabet[(x >> 16) % (sizeof(alphabet) - 1)];
        }
        char buf[32];
        digest_fields df;
        ASSERT_TRUE(parse_digest_header(header.c_str(), buf, sizeof(buf), &df));
        for (const char *f : {df.username, df.cnonce, df.response, df.uri, df.qop, df.nc,
                              df.nonce}) {
            if (f == nullptr)
                continue;
            ASSERT_TRUE(f >= buf && f < buf + sizeof(buf)) << header;
            ASSERT_LT(f + strlen(f), buf + sizeof(buf)) << header;
        }
    }
}

/* The worked example of RFC 2617, then each optional field left out: the
 * hashed text ends where the first absent field would stand. */
TEST(AuthDigest, ExpectedResponse)
{
    const std::string ha1 = md5("Mufasa:testrealm@host.com:Circle Of Life");
    const std::string nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
    struct Case {
        int line;
        digest_fields df;
        std::string expected;
    };
    const char *uri = "/dir/index.html";
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
    /* fgets hands this over as 255 x's, then "alice:r:tail" */
    const std::string long_line = std::string(255, 'x') + "alice:r:tail\n";
    const std::string file = "garbage line\n"
                             "alice:other:0000\n"
                             ":r:nouser\n"
                             "alice::norealm\n" +
                             long_line +
                             "alice:r:first \r\n"
                             "alice:r:second\n"
                             "bob:r:b0b\tcomment\n"
                             "carol:r:last-without-newline";
    struct Case {
        int line;
        const char *user, *realm;
        const char *ha1; /* nullptr: not found */
    };
    const Case cases[] = {
        /* not the tail of the over-long line, but the first of two lines;
         * the ha1 ends at white space */
        {__LINE__, "alice", "r", "first"},
        {__LINE__, "alice", "other", "0000"},
        {__LINE__, "alice", "R", nullptr}, /* realms are case-sensitive */
        {__LINE__, "Alice", "r", nullptr},
        {__LINE__, "bob", "r", "b0b"},
        {__LINE__, "carol", "r", "last-without-newline"},
        {__LINE__, "xalice", "r", nullptr},
        {__LINE__, "", "r", nullptr},
        {__LINE__, "alice", "", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        FILE *fp = fmemopen((void *) file.data(), file.size(), "r");
        ASSERT_NE(fp, nullptr);
        char ha1[256] = "untouched";
        bool found = find_password_entry(fp, c.user, c.realm, ha1, sizeof(ha1));
        fclose(fp);
        EXPECT_EQ(found, c.ha1 != nullptr);
        if (c.ha1 != nullptr) {
            EXPECT_STREQ(ha1, c.ha1);
        }
    }
}

/* A request of a bare context: headers, method and URI as the dispatcher
 * leaves them; no socket, since authorize and check_authorization only
 * read the request. */
class AuthRequest : public ::testing::Test {
protected:
    qftest::BareContext bare;
    struct qf_connection conn;
    std::string block, method, uri;

    void SetUp() override
    {
        memset(&conn, 0, sizeof(conn));
        conn.ctx = bare.ctx;
        conn.client.sock = -1;
        setOption(OPT_AUTH_DOMAIN, "Quorvel panel");
    }
    void TearDown() override { reset_per_request_attributes(&conn); }

    void setOption(int id, const char *value)
    {
        free(bare.ctx->options[id]);
        bare.ctx->options[id] = value != nullptr ? strdup(value) : nullptr;
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

    int authorizeWith(const std::string &file)
    {
        FILE *fp = fmemopen((void *) file.data(), file.size(), "r");
        int r = authorize(&conn, fp);
        fclose(fp);
        return r;
    }
};

TEST_F(AuthRequest, Authorize)
{
    const std::string realm = "Quorvel panel";
    const std::string file = "alice:other:" + md5("alice:other:pw") + "\n" +
                             "alice:" + realm + ":" + md5("alice:" + realm + ":pw") + "\n";
    const std::string good = client_header("alice", "pw", realm, "GET", "/x");
    std::string resp = good.substr(good.find("response=\"") + 10, 32);
    std::string upper = good;
    for (size_t i = good.find("response=\"") + 10; i < good.size() - 1; i++)
        upper[i] = (char) toupper((unsigned char) upper[i]);
    std::string elsewhere = good;
    elsewhere.replace(good.find(realm), realm.size(), "nowhere");
    std::string r31 = good, r33 = good;
    r31.replace(good.find(resp), 32, resp.substr(0, 31));
    r33.replace(good.find(resp), 32, resp + "0");

    struct Case {
        int line;
        std::string method, uri, header;
        int expected;
        const char *remote_user;
    };
    const Case cases[] = {
        {__LINE__, "GET", "/x", good, 1, "alice"},
        {__LINE__, "GET", "/x", "digest" + good.substr(6), 1, "alice"},
        {__LINE__, "GET", "/x", upper, 1, "alice"},
        /* the header's uri is hashed, not compared with the request's */
        {__LINE__, "GET", "/elsewhere", good, 1, "alice"},
        /* the client's realm is not read, nor is the nonce checked */
        {__LINE__, "GET", "/x", elsewhere, 1, "alice"},
        {__LINE__, "GET", "/x", client_header("alice", "pw", realm, "GET", "/x", "old"), 1,
         "alice"},
        /* but the method is part of the response */
        {__LINE__, "PUT", "/x", good, 0, "alice"},
        {__LINE__, "GET", "/x", client_header("alice", "bad", realm, "GET", "/x"), 0, "alice"},
        {__LINE__, "GET", "/x", client_header("alice", "pw", "other", "GET", "/x"), 0, "alice"},
        {__LINE__, "GET", "/x", client_header("bob", "pw", realm, "GET", "/x"), 0, "bob"},
        {__LINE__, "GET", "/x", r31, 0, "alice"},
        {__LINE__, "GET", "/x", r33, 0, "alice"},
        /* no user name or no response: refused, nothing to compare */
        {__LINE__, "GET", "/x", "Digest response=\"" + resp + "\"", 0, nullptr},
        {__LINE__, "GET", "/x", "Digest username=\"alice\"", 0, "alice"},
        {__LINE__, "GET", "/x", "Digest ", 0, nullptr},
        {__LINE__, "GET", "/x", "Basic YWxpY2U6cHc=", 0, nullptr},
        {__LINE__, "GET", "/x", "", 0, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        request(c.method, c.uri, c.header);
        EXPECT_EQ(authorizeWith(file), c.expected);
        EXPECT_EQ(show(conn.request_info.remote_user), show(c.remote_user));
    }

    /* a realm that no line has matches nothing, even with a right answer */
    setOption(OPT_AUTH_DOMAIN, nullptr);
    request("GET", "/x", good);
    EXPECT_EQ(authorizeWith(file), 0);
}

/* Each candidate file holds alice with a password of its own, so the
 * password that gets in tells which file decided. */
TEST_F(AuthRequest, ChoiceOfPasswordFile)
{
    qftest::TempDir dir;
    const std::string realm = "Quorvel panel";
    auto entry = [&](const std::string &pass) {
        return "alice:" + realm + ":" + md5("alice:" + realm + ":" + pass) + "\n";
    };
    const std::string root = dir.path() + "/root";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/sec").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/sec/sub").c_str(), 0755), 0);
    qftest::writeFile(root + "/sec/.htpasswd", entry("dirpw"));
    qftest::writeFile(dir.file("protect"), entry("protectpw"));
    qftest::writeFile(dir.file("global"), entry("globalpw"));

    const std::string prot = "/a=" + dir.file("protect");
    const std::string missing = "/sec=" + dir.file("nowhere") + ",/=" + dir.file("protect");
    struct Case {
        int line;
        std::string protect, gpass, uri, pass;
        int expected;
    };
    const Case cases[] = {
        /* no password file anywhere near: open to all */
        {__LINE__, "", "", "/pub.txt", "", 1},
        /* .htpasswd guards its directory and the files directly in it */
        {__LINE__, "", "", "/sec/f.txt", "", 0},
        {__LINE__, "", "", "/sec/f.txt", "dirpw", 1},
        {__LINE__, "", "", "/sec/", "dirpw", 1},
        {__LINE__, "", "", "/sec", "", 0},
        {__LINE__, "", "", "/sec/sub/f.txt", "", 1},
        {__LINE__, "", "", "/sec/missing/f.txt", "", 1},
        /* a protect prefix is a plain prefix: /a covers /abc */
        {__LINE__, prot, "", "/abc", "protectpw", 1},
        {__LINE__, prot, "", "/abc", "dirpw", 0},
        {__LINE__, prot, "", "/b", "", 1},
        /* protect wins over the global file and .htpasswd */
        {__LINE__, "/sec=" + dir.file("protect"), dir.file("global"), "/sec/f.txt", "protectpw",
         1},
        {__LINE__, "/sec=" + dir.file("protect"), dir.file("global"), "/sec/f.txt", "dirpw", 0},
        /* the global file covers everything no protect entry settles */
        {__LINE__, prot, dir.file("global"), "/sec/f.txt", "globalpw", 1},
        {__LINE__, prot, dir.file("global"), "/pub.txt", "", 0},
        /* the first matching entry decides even when its file is missing:
         * the walk stops and the later entry is not tried */
        {__LINE__, missing, "", "/sec/f.txt", "dirpw", 1},
        {__LINE__, missing, "", "/sec/f.txt", "protectpw", 0},
        {__LINE__, missing, dir.file("global"), "/sec/f.txt", "globalpw", 1},
        /* a global file that has gone is no reason to let everyone in */
        {__LINE__, "", dir.file("gone"), "/pub.txt", "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        setOption(OPT_PROTECT, c.protect.empty() ? nullptr : c.protect.c_str());
        setOption(OPT_AUTH_GPASSWD, c.gpass.empty() ? nullptr : c.gpass.c_str());
        std::string auth = c.pass.empty() ? "" : client_header("alice", c.pass, realm, "GET", c.uri);
        request("GET", c.uri, auth);
        std::string path = root + c.uri;
        EXPECT_EQ(check_authorization(&conn, path.c_str()), c.expected);
    }

    /* the misses above were reported, each in its own words */
    std::vector<std::string> log = qftest::take_bare_log();
    bool protect_line = false, gpass_line = false;
    for (const std::string &l : log) {
        protect_line |= l == "check_authorization: cannot open " + dir.file("nowhere") +
                                 ": No such file or directory";
        gpass_line |= l == "fopen(" + dir.file("gone") + "): No such file or directory";
    }
    EXPECT_TRUE(protect_line);
    EXPECT_TRUE(gpass_line);
}

}  // namespace
