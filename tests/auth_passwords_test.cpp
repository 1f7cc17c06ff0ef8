/* tests/auth_passwords_test.cpp: password-file rewrites and failures that keep the old file. */
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "auth/auth.h"
#include "support/harness.h"

namespace {

std::vector<std::string> logged;

void
capture_log(struct qf_connection *, const struct qf_request_info *, void *message)
{
    logged.push_back((const char *) message);
}

/* The function reads only auth_realm and logs through cry, so a bare
 * context serves and no listener thread has to start. */
class AuthPasswords : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctx.log_callback = capture_log;
        ctx.options[OPT_AUTH_DOMAIN] = qf_strdup("r");
        logged.clear();
    }
    void TearDown() override { qf_free(ctx.options[OPT_AUTH_DOMAIN]); }

    struct qf_context ctx {};
    qftest::TempDir dir;
    std::string file = dir.file("pw");
};

TEST_F(AuthPasswords, Rewrites)
{
    /* MD5("alice:r:new") */
    const std::string A = "alice:r:74367a1a8261468ba0e9ccfa132c98a0\n";
    const char *MISSING = nullptr;

    struct Case {
        int line;
        const char *before, *pass;
        std::string after;
    };
    const Case cases[] = {
        {__LINE__, MISSING, "new", A},
        {__LINE__, "bob:r:x\n", "new", "bob:r:x\n" + A},
        /* every matching line is replaced in place */
        {__LINE__, "alice:r:o\nbob:r:x\nalice:r:o2\n", "new", A + "bob:r:x\n" + A},
        /* another realm or a longer name is another entry */
        {__LINE__, "alice:q:x\nalicex:r:x\n", "new", "alice:q:x\nalicex:r:x\n" + A},
        {__LINE__, "alice:r:o\nalice:q:x\nalice:r:o2\n", "", "alice:q:x\n"},
        {__LINE__, MISSING, "", ""},
        /* lines without a user and a realm vanish */
        {__LINE__, "garbage\n:r:x\n\nbob:r:x\n", "new", "bob:r:x\n" + A},
        /* a last line without its newline is ended before the new entry */
        {__LINE__, "bob:r:x", "new", "bob:r:x\n" + A},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        remove(file.c_str());
        if (c.before != MISSING)
            qftest::writeFile(file, c.before);
        EXPECT_EQ(qf_modify_passwords_file(&ctx, file.c_str(), "alice", c.pass), 0);
        EXPECT_EQ(qftest::readFile(file), c.after);
        EXPECT_FALSE(qftest::fileExists(file + ".tmp"));
        EXPECT_TRUE(logged.empty());
    }
}

TEST_F(AuthPasswords, KeepsPermissions)
{
    qftest::writeFile(file, "bob:r:x\n");
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    ASSERT_EQ(qf_modify_passwords_file(&ctx, file.c_str(), "alice", "new"), 0);
    struct stat sb;
    ASSERT_EQ(stat(file.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
}

/* Whatever blocks the rewrite, the old file stays as it was. */
TEST_F(AuthPasswords, FailuresKeepTheOldFile)
{
    std::string missing_dir = dir.file("no/pw");
    EXPECT_EQ(qf_modify_passwords_file(&ctx, missing_dir.c_str(), "alice", "x"), 1);

    qftest::writeFile(file, "alice:r:old\n");
    ASSERT_EQ(mkdir((file + ".tmp").c_str(), 0755), 0);
    EXPECT_EQ(qf_modify_passwords_file(&ctx, file.c_str(), "alice", "x"), 1);
    EXPECT_EQ(qftest::readFile(file), "alice:r:old\n");

    /* A directory opens for reading but cannot be read or replaced. */
    std::string is_dir = dir.file("d");
    ASSERT_EQ(mkdir(is_dir.c_str(), 0755), 0);
    EXPECT_EQ(qf_modify_passwords_file(&ctx, is_dir.c_str(), "alice", "x"), 1);
    struct qfstat st;
    EXPECT_TRUE(qf_stat(is_dir.c_str(), &st) == 0 && st.is_directory);
    EXPECT_FALSE(qftest::fileExists(is_dir + ".tmp"));

    EXPECT_EQ(logged, (std::vector<std::string>{
                          "Cannot open " + missing_dir + ": No such file or directory",
                          "Cannot open " + file + ".tmp: Is a directory",
                          "Cannot read " + is_dir + ": Is a directory",
                      }));
}

}  // namespace
