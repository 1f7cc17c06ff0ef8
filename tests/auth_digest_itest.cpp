/* tests/auth_digest_itest.cpp: Digest authentication through the real binary with curl and Python clients, against htdigest and -A password files. */
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "support/harness.h"

namespace {

const char REALM[] = "Quorvel panel";

std::string
run_command(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

bool
have_command(const std::string &name)
{
    return system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string
shell_quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

/* htdigest asks twice for the password; without a terminal it reads the
 * answers from standard input. */
bool
htdigest(const std::string &file, bool create, const std::string &realm, const std::string &user,
         const std::string &pass)
{
    std::string cmd = "printf '%s\\n%s\\n' " + shell_quote(pass) + " " + shell_quote(pass) +
                      " | setsid -w htdigest " + (create ? "-c " : "") + shell_quote(file) + " " +
                      shell_quote(realm) + " " + shell_quote(user) + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

class AuthDigest : public ::testing::Test {
protected:
    qftest::ProductDir pd;
    qftest::TempDir docroot, work;
    qftest::ServerProcess srv;
    int port = 0;

    void SetUp() override
    {
        if (!have_command("curl") || !have_command("htdigest") || !have_command("setsid"))
            GTEST_SKIP() << "curl or htdigest is not installed";
        mkdir(docroot.file("sec").c_str(), 0755);
        mkdir(docroot.file("sec/sub").c_str(), 0755);
        mkdir(docroot.file("prot").c_str(), 0755);
        mkdir(docroot.file("gone").c_str(), 0755);
        mkdir(docroot.file("realm").c_str(), 0755);
        for (const char *f : {"pub.txt", "sec/f.txt", "sec/sub/f.txt", "prot/f.txt",
                              "gone/f.txt", "realm/f.txt"})
            qftest::writeFile(docroot.file(f), std::string("content of ") + f);

        /* alice by htdigest, bob by our -A mode; alice also in another realm */
        ASSERT_TRUE(htdigest(work.file("htdigest"), true, REALM, "alice", "secret"));
        ASSERT_TRUE(htdigest(work.file("htdigest"), false, REALM, "carol", "c:ol on"));
        ASSERT_TRUE(htdigest(work.file("other"), true, "other", "alice", "secret"));
        qftest::RunResult r = qftest::runQuillfen(
            {"-A", work.file("ours"), REALM, "bob", "pa ss"}, pd.bin().c_str(), work.path());
        ASSERT_EQ(r.status, 0) << r.err;
        qftest::writeFile(docroot.file("sec/.htpasswd"), qftest::readFile(work.file("htdigest")));
        qftest::writeFile(docroot.file("gone/.htpasswd"), qftest::readFile(work.file("htdigest")));
    }

    /* A sanitizer build reports into standard error or, once error_log
     * has replaced it, into that file. */
    void TearDown() override
    {
        for (const std::string &text : {srv.err(), qftest::readFile(work.file("error"))})
            EXPECT_EQ(text.find("Sanitizer"), std::string::npos) << text;
    }

    void start(std::vector<std::string> extra)
    {
        port = qftest::freePort();
        std::vector<std::string> args = {"-ports", std::to_string(port), "-root", docroot.path(),
                                         "-auth_realm", REALM, "-access_log", work.file("access"),
                                         "-error_log", work.file("error")};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(srv.start(args, pd.bin().c_str()));
        ASSERT_TRUE(srv.waitForOutput("started on port")) << srv.err();
    }

    bool logged(const std::string &line_regex)
    {
        const std::regex re("(^|\n)" + line_regex);
        return qftest::waitFor(
            [&] { return std::regex_search(qftest::readFile(work.file("access")), re); }, 10000);
    }

    std::string url(const std::string &uri) const
    {
        return "http://127.0.0.1:" + std::to_string(port) + uri;
    }

    /* "code body" as curl saw the last answer; no -u means no credentials. */
    std::string curl(const std::string &user, const std::string &pass, const std::string &uri)
    {
        std::string cred = user.empty() ? "" : "--digest -u " + shell_quote(user + ":" + pass) + " ";
        return run_command("curl -s -w ' %{http_code}' " + cred + shell_quote(url(uri)));
    }
};

TEST_F(AuthDigest, CurlAgainstPasswordFiles)
{
    start({"-protect", "/prot=" + work.file("ours") + ",/gone=" + work.file("missing") +
                           ",/realm=" + work.file("other")});
    struct Case {
        int line;
        const char *user, *pass, *uri;
        int code;
    };
    const Case cases[] = {
        {__LINE__, "", "", "/pub.txt", 200},
        /* .htpasswd written by htdigest */
        {__LINE__, "", "", "/sec/f.txt", 401},
        {__LINE__, "alice", "secret", "/sec/f.txt", 200},
        {__LINE__, "carol", "c:ol on", "/sec/f.txt", 200},
        {__LINE__, "alice", "Secret", "/sec/f.txt", 401},
        {__LINE__, "bob", "pa ss", "/sec/f.txt", 401},
        {__LINE__, "mallory", "secret", "/sec/f.txt", 401},
        {__LINE__, "alice", "secret", "/sec/", 200}, /* the listing of the directory */
        {__LINE__, "", "", "/sec/sub/f.txt", 200},   /* subdirectories are not covered */
        /* a protect entry, its file written by -A */
        {__LINE__, "bob", "pa ss", "/prot/f.txt", 200},
        {__LINE__, "bob", "pass", "/prot/f.txt", 401},
        {__LINE__, "alice", "secret", "/prot/f.txt", 401},
        /* a protect entry whose file is missing falls through to .htpasswd */
        {__LINE__, "", "", "/gone/f.txt", 401},
        {__LINE__, "alice", "secret", "/gone/f.txt", 200},
        /* the right password in another realm */
        {__LINE__, "alice", "secret", "/realm/f.txt", 401},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string got = curl(c.user, c.pass, c.uri);
        EXPECT_EQ(got.substr(got.size() - 3), std::to_string(c.code)) << got;
        if (c.code == 200 && std::string(c.uri).back() != '/') {
            EXPECT_EQ(got, "content of " + std::string(c.uri + 1) + " 200");
        }
    }

    /* the log names the user of a Digest request, "-" without one; the
     * line is written just after the answer */
    EXPECT_TRUE(logged("127\\.0\\.0\\.1 - bob \\[[^\\]]+\\] \"GET /prot/f.txt HTTP/1.1\" 200 "));
    EXPECT_TRUE(logged("127\\.0\\.0\\.1 - - \\[[^\\]]+\\] \"GET /sec/f.txt HTTP/1.1\" 401 0 "));
    EXPECT_NE(qftest::readFile(work.file("error"))
                  .find("check_authorization: cannot open " + work.file("missing")),
              std::string::npos);
}

/* The challenge is exactly a status line and one header, with the
 * configured realm and a nonce of digits; nothing follows. */
TEST_F(AuthDigest, ChallengeBytes)
{
    start({});
    const std::regex challenge("HTTP/1\\.1 401 Unauthorized\r\n"
                               "WWW-Authenticate: Digest qop=\"auth\", realm=\"Quorvel panel\", "
                               "nonce=\"[0-9]+\"\r\n\r\n");
    const std::string requests[] = {
        "GET /sec/f.txt HTTP/1.1\r\n\r\n",
        "GET /sec/f.txt HTTP/1.0\r\nAuthorization: Basic YTpi\r\n\r\n",
        "GET /sec/f.txt HTTP/1.1\r\nAuthorization: Digest ,=\"\r\n\r\n",
        "GET /sec/f.txt HTTP/1.1\r\nAuthorization: Digest username=\"alice\", nc=1\r\n\r\n",
        /* as long as a header block may be */
        "GET /sec/f.txt HTTP/1.1\r\nAuthorization: Digest username=\"" + std::string(8100, 'a') +
            "\r\n\r\n",
        "DELETE /pub.txt HTTP/1.1\r\n\r\n",
    };
    for (const std::string &request : requests) {
        SCOPED_TRACE(request.substr(0, 80));
        std::string got = qftest::rawRequest(port, request);
        EXPECT_TRUE(std::regex_match(got, challenge)) << got;
    }
    EXPECT_EQ(qftest::readFile(docroot.file("pub.txt")), "content of pub.txt");
    EXPECT_EQ(curl("alice", "secret", "/sec/f.txt"), "content of sec/f.txt 200");
}

/* A global password file covers every URI that no protect entry settles. */
TEST_F(AuthDigest, GlobalPasswordFile)
{
    start({"-auth_gpass", work.file("ours"), "-protect", "/sec=" + work.file("htdigest")});
    EXPECT_EQ(curl("", "", "/pub.txt"), " 401");
    EXPECT_EQ(curl("bob", "pa ss", "/pub.txt"), "content of pub.txt 200");
    EXPECT_EQ(curl("bob", "pa ss", "/sec/f.txt"), " 401");
    EXPECT_EQ(curl("alice", "secret", "/sec/f.txt"), "content of sec/f.txt 200");
}

/* Python's standard client takes a different road through the header:
 * its own order of fields and quoting. */
TEST_F(AuthDigest, PythonClient)
{
    if (!have_command("python3"))
        GTEST_SKIP() << "python3 is not installed";
    start({});
    const std::string script =
        "import sys, urllib.request, urllib.error\n"
        "h = urllib.request.HTTPDigestAuthHandler()\n"
        "h.add_password(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4])\n"
        "try:\n"
        "    r = urllib.request.build_opener(h).open(sys.argv[2])\n"
        "    print(r.status, r.read().decode())\n"
        "except urllib.error.HTTPError as e:\n"
        "    print(e.code)\n";
    struct Case {
        int line;
        const char *realm, *user, *pass;
        std::string expected;
    };
    const Case cases[] = {
        {__LINE__, REALM, "alice", "secret", "200 content of sec/f.txt\n"},
        {__LINE__, REALM, "alice", "wrong", "401\n"},
        {__LINE__, REALM, "bob", "pa ss", "401\n"},
        /* the client answers any realm it has a password for, not ours */
        {__LINE__, "elsewhere", "alice", "secret", "401\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string got = run_command("python3 -c " + shell_quote(script) + " " +
                                      shell_quote(c.realm) + " " + shell_quote(url("/sec/f.txt")) +
                                      " " + shell_quote(c.user) + " " + shell_quote(c.pass) +
                                      " 2>&1");
        EXPECT_EQ(got, c.expected);
    }
}

}  // namespace
