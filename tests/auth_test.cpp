/* tests/auth_test.cpp: MD5, Digest header parsing, password-file choice and rewrites. */
#include <string.h>
#include <sys/stat.h>

#include <filesystem>

#include "server_bare_context.h"
#include "support/harness.h"

using namespace qftest;

namespace {

const char REALM[] = "Quorvel panel";

/* RFC 1321 vectors, then lengths around the 56-byte padding mark. */
TEST(AuthMd5, Digests)
{
    const struct { int line; std::string input; const char *digest; } cases[] = {
        {__LINE__, "", "d41d8cd98f00b204e9800998ecf8427e"},
        {__LINE__, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {__LINE__, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {__LINE__, std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {__LINE__, std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {__LINE__, std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
    };
    for (const auto &c : cases) EXPECT_EQ(md5(c.input), c.digest) << c.line;
    char buf[33];
    qf_md5(buf, "message ", "", "digest", nullptr);   /* pieces hash as one text */
    EXPECT_STREQ(buf, "f96b697d7cb7938d525a2f31aaf161d0");
}

std::string show(const char *field) { return field != nullptr ? "[" + std::string(field) + "]" : "-"; }

/* Field values as found: quoted or not, escapes undone, any case for the scheme. */
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
}

/* Each file knows alice with its name as password, behind her line of another realm: what gets in
 * tells which file decided. */
TEST(AuthDigest, ChoiceOfPasswordFile)
{
    BareContext bare;
    struct qf_connection conn {};
    conn.ctx = bare.ctx;
    auto set = [&](int id, const std::string &v) {
        free(bare.ctx->options[id]);
        bare.ctx->options[id] = v.empty() ? nullptr : strdup(v.c_str());
    };
    set(OPT_AUTH_DOMAIN, REALM);
    TempDir dir;
    std::filesystem::create_directories(dir.file("root/sec"));
    const std::string alice = std::string("alice:") + REALM, dirpw = "root/sec/.htpasswd";
    for (const std::string &f : {dirpw, std::string("protect"), std::string("global")})
        writeFile(dir.file(f), "alice:elsewhere:" + md5("alice:elsewhere:" + f) + "\n" + alice + ":" +
                                   md5(alice + ":" + f));
    const std::string sec = "/sec=" + dir.file("protect"), global = dir.file("global");
    const std::string missing = "/sec=" + dir.file("nowhere") + ",/=" + dir.file("protect");
    const struct { int line; std::string protect, gpass, uri, pass; int expected; } cases[] = {
        {__LINE__, "", "", "/pub.txt", "", 1}, {__LINE__, "", "", "/sec/f.txt", "", 0},
        {__LINE__, "", "", "/sec/f.txt", dirpw, 1}, {__LINE__, sec, "", "/sec/f.txt", "protect", 1},
        {__LINE__, sec, "", "/sec/f.txt", dirpw, 0}, {__LINE__, sec, global, "/sec/f.txt", "protect", 1},
        {__LINE__, "", global, "/sec/f.txt", "global", 1}, {__LINE__, "", global, "/sec/f.txt", dirpw, 0},
        /* the first matching entry's missing file refuses, unless auth_gpass is set: that decides */
        {__LINE__, missing, "", "/sec/f.txt", dirpw, 0}, {__LINE__, missing, "", "/sec/f.txt", "protect", 0},
        {__LINE__, missing, global, "/sec/f.txt", "global", 1}, {__LINE__, missing, global, "/sec/f.txt", dirpw, 0},
        /* a global file that has gone lets nobody in */
        {__LINE__, "", dir.file("gone"), "/pub.txt", "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        set(OPT_PROTECT, c.protect);
        set(OPT_AUTH_GPASSWD, c.gpass);
        std::string name = "Authorization", value = digestAuth("alice", REALM, c.pass, "GET", c.uri);
        std::string method = "GET", uri = c.uri;
        conn.request_info.request_method = &method[0];
        conn.request_info.uri = &uri[0];
        conn.request_info.num_headers = c.pass.empty() ? 0 : 1;
        conn.request_info.http_headers[0] = {&name[0], &value[0]};
        EXPECT_EQ(check_authorization(&conn, (dir.file("root") + c.uri).c_str()), c.expected);
        reset_per_request_attributes(&conn);
    }
}

/* Lines are replaced in place, the mode kept; a blocked rewrite leaves the file as it was. */
TEST(AuthPasswords, RewritesAndFailures)
{
    BareContext bare;
    bare.ctx->options[OPT_AUTH_DOMAIN] = strdup("r");
    TempDir dir;
    std::string file = dir.file("pw"), missing_dir = dir.file("no/pw"), is_dir = dir.file("d");
    auto modify = [&](const std::string &f, const char *pass) {
        return qf_modify_passwords_file(bare.ctx, f.c_str(), "alice", pass);
    };
    const std::string A = "alice:r:74367a1a8261468ba0e9ccfa132c98a0\n";   /* MD5("alice:r:new") */
    const struct { int line; const char *before, *pass; std::string after; } cases[] = {
        {__LINE__, nullptr, "new", A},
        {__LINE__, "alice:r:o\nbob:r:x\nalice:r:o2\n", "new", A + "bob:r:x\n" + A},
        {__LINE__, "alice:q:x\nalicex:r:x\n", "new", "alice:q:x\nalicex:r:x\n" + A},
        {__LINE__, "alice:r:o\nalice:q:x\n", "", "alice:q:x\n"},   /* empty password deletes */
        {__LINE__, "garbage\n:r:x\n\nbob:r:x\n", "new", "bob:r:x\n" + A},
        {__LINE__, "bob:r:x", "new", "bob:r:x\n" + A},   /* last line ended first */
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        remove(file.c_str());
        if (c.before != nullptr) writeFile(file, c.before);
        EXPECT_EQ(modify(file, c.pass), 0);
        EXPECT_EQ(readFile(file), c.after);
        EXPECT_FALSE(fileExists(file + ".tmp"));
    }
    EXPECT_EQ(take_bare_log(), std::vector<std::string>{});
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);   /* a private file stays private */
    ASSERT_EQ(modify(file, "x"), 0);
    struct stat sb;
    ASSERT_EQ(stat(file.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);

    EXPECT_EQ(modify(missing_dir, "x"), 1);
    writeFile(file, "alice:r:old\n");
    ASSERT_EQ(mkdir((file + ".tmp").c_str(), 0755), 0);
    EXPECT_EQ(modify(file, "x"), 1);
    EXPECT_EQ(readFile(file), "alice:r:old\n");
    ASSERT_EQ(mkdir(is_dir.c_str(), 0755), 0);
    EXPECT_EQ(modify(is_dir, "x"), 1);
    EXPECT_FALSE(fileExists(is_dir + ".tmp"));
    EXPECT_EQ(take_bare_log(), (std::vector<std::string>{
        "Cannot open " + missing_dir + ": No such file or directory",
        "Cannot open " + file + ".tmp: Is a directory",
        "Cannot read " + is_dir + ": Is a directory"}));
}

}  // namespace
