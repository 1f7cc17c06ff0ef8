/* tests/auth_passwords_test.cpp: MD5 digests and password-file rewrites. */
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "auth/auth.h"
#include "server_bare_context.h"
#include "support/harness.h"

namespace {

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
    char buf[33];
    for (const auto &c : cases) {
        qf_md5(buf, c.input.c_str(), nullptr);
        EXPECT_STREQ(buf, c.digest) << c.line;
    }
    qf_md5(buf, "message ", "", "digest", nullptr);   /* pieces hash as one text */
    EXPECT_STREQ(buf, "f96b697d7cb7938d525a2f31aaf161d0");
}

/* Lines are replaced in place, the mode kept; a blocked rewrite leaves the file as it was. */
TEST(AuthPasswords, RewritesAndFailures)
{
    qftest::BareContext bare;
    bare.ctx->options[OPT_AUTH_DOMAIN] = strdup("r");
    qftest::TempDir dir;
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
        if (c.before != nullptr)
            qftest::writeFile(file, c.before);
        EXPECT_EQ(modify(file, c.pass), 0);
        EXPECT_EQ(qftest::readFile(file), c.after);
        EXPECT_FALSE(qftest::fileExists(file + ".tmp"));
    }
    EXPECT_EQ(qftest::take_bare_log(), std::vector<std::string>{});
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);   /* a private file stays private */
    ASSERT_EQ(modify(file, "x"), 0);
    struct stat sb;
    ASSERT_EQ(stat(file.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);

    EXPECT_EQ(modify(missing_dir, "x"), 1);
    qftest::writeFile(file, "alice:r:old\n");
    ASSERT_EQ(mkdir((file + ".tmp").c_str(), 0755), 0);
    EXPECT_EQ(modify(file, "x"), 1);
    EXPECT_EQ(qftest::readFile(file), "alice:r:old\n");
    ASSERT_EQ(mkdir(is_dir.c_str(), 0755), 0);
    EXPECT_EQ(modify(is_dir, "x"), 1);
    EXPECT_FALSE(qftest::fileExists(is_dir + ".tmp"));
    EXPECT_EQ(qftest::take_bare_log(), (std::vector<std::string>{
        "Cannot open " + missing_dir + ": No such file or directory",
        "Cannot open " + file + ".tmp: Is a directory",
        "Cannot read " + is_dir + ": Is a directory"}));
}

}  // namespace
