/* tests/auth_digest_itest.cpp: Digest authentication through the real binary with curl and Python, against htdigest and -A password files. */
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "http_clients.h"
#include "support/harness.h"

namespace {

using qftest::shellQuote;

const char REALM[] = "Quorvel panel";

class AuthDigest : public ::testing::Test {
protected:
    qftest::ProductDir pd;
    qftest::TempDir docroot, work;
    qftest::ServerProcess srv;
    int port = 0;

    /* /sec and /gone carry a .htpasswd by htdigest (alice, carol), /prot
     * is protected by a file of our -A mode (bob), /realm by a file that
     * knows alice only in another realm; /gone's protect file is missing. */
    void SetUp() override
    {
        if (!qftest::haveCommands("curl htdigest setsid"))
            GTEST_SKIP() << "curl or htdigest is not installed";
        for (const char *d : {"sec/sub", "prot", "gone", "realm"})
            std::filesystem::create_directories(docroot.file(d));
        for (const char *f : {"pub.txt", "sec/f.txt", "sec/sub/f.txt", "prot/f.txt", "gone/f.txt",
                              "realm/f.txt"})
            qftest::writeFile(docroot.file(f), std::string("content of ") + f);
        ASSERT_TRUE(qftest::htdigest(work.file("htdigest"), true, REALM, "alice", "secret"));
        ASSERT_TRUE(qftest::htdigest(work.file("htdigest"), false, REALM, "carol", "c:ol on"));
        ASSERT_TRUE(qftest::htdigest(work.file("other"), true, "other", "alice", "secret"));
        qftest::RunResult r = qftest::runQuillfen({"-A", work.file("ours"), REALM, "bob", "pa ss"},
                                                  pd.bin().c_str(), work.path());
        ASSERT_EQ(r.status, 0) << r.err;
        for (const char *d : {"sec", "gone"})
            qftest::writeFile(docroot.file(std::string(d) + "/.htpasswd"),
                              qftest::readFile(work.file("htdigest")));

        port = qftest::freePort();
        ASSERT_TRUE(srv.start({"-ports", std::to_string(port), "-root", docroot.path(),
                               "-auth_realm", REALM, "-access_log", work.file("access"),
                               "-error_log", work.file("error"), "-protect",
                               "/prot=" + work.file("ours") + ",/gone=" + work.file("missing") +
                                   ",/realm=" + work.file("other")},
                              pd.bin().c_str()));
        ASSERT_TRUE(srv.waitForOutput("started on port")) << srv.err();
    }

    /* A sanitizer build reports into standard error or, once error_log
     * has replaced it, into that file. */
    void TearDown() override
    {
        for (const std::string &text : {srv.err(), qftest::readFile(work.file("error"))})
            EXPECT_EQ(text.find("Sanitizer"), std::string::npos) << text;
    }

    std::string url(const std::string &uri) const
    {
        return "http://127.0.0.1:" + std::to_string(port) + uri;
    }

    bool logged(const std::string &line_regex)
    {
        const std::regex re("(^|\n)" + line_regex);
        return qftest::waitFor(
            [&] { return std::regex_search(qftest::readFile(work.file("access")), re); }, 10000);
    }
};

TEST_F(AuthDigest, CurlAgainstPasswordFiles)
{
    struct Case {
        int line;
        std::string user_pass, uri;
        int code;
    };
    const Case cases[] = {
        {__LINE__, "", "/pub.txt", 200},
        {__LINE__, "", "/sec/f.txt", 401},
        {__LINE__, "alice:secret", "/sec/f.txt", 200},
        {__LINE__, "carol:c:ol on", "/sec/f.txt", 200},
        {__LINE__, "alice:Secret", "/sec/f.txt", 401},
        {__LINE__, "bob:pa ss", "/sec/f.txt", 401},
        {__LINE__, "alice:secret", "/sec/", 200}, /* the directory's listing */
        {__LINE__, "", "/sec/sub/f.txt", 200},
        {__LINE__, "bob:pa ss", "/prot/f.txt", 200},
        {__LINE__, "alice:secret", "/prot/f.txt", 401},
        /* a protect entry whose file is missing falls through to .htpasswd */
        {__LINE__, "", "/gone/f.txt", 401},
        {__LINE__, "alice:secret", "/gone/f.txt", 200},
        /* the right password, but in another realm */
        {__LINE__, "alice:secret", "/realm/f.txt", 401},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string cred = c.user_pass.empty() ? "" : "--digest -u " + shellQuote(c.user_pass);
        std::string got =
            qftest::runCommand("curl -s -w ' %{http_code}' " + cred + " " + shellQuote(url(c.uri)));
        ASSERT_GE(got.size(), 3u);
        EXPECT_EQ(got.substr(got.size() - 3), std::to_string(c.code)) << got;
        if (c.code == 200 && c.uri.back() != '/') {
            EXPECT_EQ(got, "content of " + c.uri.substr(1) + " 200");
        }
    }

    /* the log names the user of a Digest request, "-" without one */
    EXPECT_TRUE(logged("127\\.0\\.0\\.1 - bob \\[[^\\]]+\\] \"GET /prot/f.txt HTTP/1.1\" 200 "));
    EXPECT_TRUE(logged("127\\.0\\.0\\.1 - - \\[[^\\]]+\\] \"GET /sec/f.txt HTTP/1.1\" 401 0 "));
    EXPECT_NE(qftest::readFile(work.file("error"))
                  .find("check_authorization: cannot open " + work.file("missing")),
              std::string::npos);
}

/* The challenge is exactly a status line and one header with the
 * configured realm and a nonce of digits, whatever the credentials were;
 * hostile headers do not hurt the worker. */
TEST_F(AuthDigest, ChallengeBytes)
{
    const std::regex challenge("HTTP/1\\.1 401 Unauthorized\r\n"
                               "WWW-Authenticate: Digest qop=\"auth\", realm=\"Quorvel panel\", "
                               "nonce=\"[0-9]+\"\r\n\r\n");
    const std::string auth = "GET /sec/f.txt HTTP/1.1\r\nAuthorization: ";
    const std::string requests[] = {
        "GET /sec/f.txt HTTP/1.1\r\n\r\n",
        auth + "Basic YTpi\r\n\r\n",
        auth + "Digest ,=\"\r\n\r\n",
        auth + "Digest username=\"alice\", nc=1\r\n\r\n",
        auth + "Digest username=\"" + std::string(8100, 'a') + "\r\n\r\n",
        "DELETE /pub.txt HTTP/1.1\r\n\r\n", /* no auth_PUT file at all */
    };
    for (const std::string &request : requests) {
        SCOPED_TRACE(request.substr(0, 80));
        std::string got = qftest::rawRequest(port, request);
        EXPECT_TRUE(std::regex_match(got, challenge)) << got;
    }
    EXPECT_EQ(qftest::readFile(docroot.file("pub.txt")), "content of pub.txt");
}

/* Python's client orders and quotes its fields its own way. */
TEST_F(AuthDigest, PythonClient)
{
    if (!qftest::haveCommands("python3"))
        GTEST_SKIP() << "python3 is not installed";
    const std::string script = "import sys, urllib.request, urllib.error\n"
                               "h = urllib.request.HTTPDigestAuthHandler()\n"
                               "h.add_password(*sys.argv[1:5])\n"
                               "try:\n"
                               "    r = urllib.request.build_opener(h).open(sys.argv[2])\n"
                               "    print(r.status, r.read().decode())\n"
                               "except urllib.error.HTTPError as e:\n"
                               "    print(e.code)\n";
    struct Case {
        int line;
        const char *realm, *uri, *user, *pass;
        std::string expected;
    };
    const Case cases[] = {
        {__LINE__, REALM, "/sec/f.txt", "carol", "c:ol on", "200 content of sec/f.txt\n"},
        {__LINE__, REALM, "/prot/f.txt", "bob", "pa ss", "200 content of prot/f.txt\n"},
        {__LINE__, REALM, "/sec/f.txt", "alice", "wrong", "401\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string args = shellQuote(c.realm) + " " + shellQuote(url(c.uri)) + " " +
                           shellQuote(c.user) + " " + shellQuote(c.pass);
        EXPECT_EQ(qftest::runCommand("python3 -c " + shellQuote(script) + " " + args + " 2>&1"),
                  c.expected);
    }
}

}  // namespace
