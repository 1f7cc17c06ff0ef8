/* tests/front_passwd_itest.cpp: the -A mode of the real binary, byte for byte against htdigest. */
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "support/harness.h"

namespace {

std::string
shell_quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool
have_command(const char *name)
{
    return system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

/* htdigest asks for the password twice; without a terminal (setsid) it
 * reads the answers from standard input. */
bool
htdigest(const std::string &file, bool create, const std::string &realm, const std::string &user,
         const std::string &pass)
{
    std::string cmd = "printf '%s\\n%s\\n' " + shell_quote(pass) + " " + shell_quote(pass) +
                      " | setsid -w htdigest " + (create ? "-c " : "") + shell_quote(file) +
                      " " + shell_quote(realm) + " " + shell_quote(user) + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

class FrontPasswd : public ::testing::Test {
protected:
    qftest::ProductDir product;
    qftest::TempDir work;

    qftest::RunResult run_a(const std::string &file, const std::string &realm,
                            const std::string &user, const std::string &pass)
    {
        std::string bin = product.bin();
        return qftest::runQuillfen({"-A", file, realm, user, pass}, bin.c_str(), work.path());
    }
};

/* Our entries must be interchangeable with the standard tool's: the same
 * line for the same user, realm and password, replaced in place. */
TEST_F(FrontPasswd, SameFileAsHtdigest)
{
    if (!have_command("htdigest") || !have_command("setsid"))
        GTEST_SKIP() << "htdigest or setsid is not installed";

    struct Step {
        int line;
        const char *realm, *user, *pass;
    };
    const Step steps[] = {
        {__LINE__, "Quorvel panel", "alice", "secret"},
        {__LINE__, "Quorvel panel", "bob", "pa ss:word"},
        {__LINE__, "other", "alice", "x"},
        {__LINE__, "Quorvel panel", "alice", "changed"},
    };
    std::string ours = work.file("ours"), theirs = work.file("theirs");
    bool first = true;
    for (const Step &s : steps) {
        SCOPED_TRACE(s.line);
        ASSERT_TRUE(htdigest(theirs, first, s.realm, s.user, s.pass));
        first = false;
        qftest::RunResult r = run_a(ours, s.realm, s.user, s.pass);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(qftest::readFile(ours), qftest::readFile(theirs));
    }
}

/* The rewrite rules are unit-tested; here only the process status matters. */
TEST_F(FrontPasswd, StatusTellsSuccess)
{
    EXPECT_EQ(run_a(work.file("pw"), "r", "alice", "a").status, 0);
    EXPECT_EQ(run_a(work.file("pw"), "r", "alice", "").status, 0);
    EXPECT_EQ(qftest::readFile(work.file("pw")), "");

    qftest::RunResult r = run_a(work.file("no/such/dir/pw"), "r", "alice", "a");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot open " + work.file("no/such/dir/pw")), std::string::npos) << r.err;
}

}  // namespace
