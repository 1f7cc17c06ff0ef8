/* tests/front_cli_itest.cpp: the binary's usage, banner, signals and configuration file. */
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "support/harness.h"

namespace {

const char USAGE[] =
    "Quillfen version 2.8\n"
    "usage: quillfen [options] [config_file]\n"
    "  -A <htpasswd_file> <realm> <user> <passwd>\n"
    "  -root\t\tWeb root directory\n"
    "  -index_files\tIndex files (default: \"index.html,index.htm,index.cgi\")\n"
    "  -ssl_cert\tSSL certificate file\n"
    "  -ports\tListening ports\n"
    "  -dir_list\tDirectory listing (default: \"yes\")\n"
    "  -protect\tURI to htpasswd mapping\n"
    "  -cgi_ext\tCGI extensions (default: \".cgi,.pl,.php\")\n"
    "  -cgi_interp\tCGI interpreter to use with all CGI scripts\n"
    "  -cgi_env\tCustom CGI enviroment variables\n"
    "  -ssi_ext\tSSI extensions (default: \".shtml,.shtm\")\n"
    "  -auth_realm\tAuthentication domain name (default: \"example.com\")\n"
    "  -auth_gpass\tGlobal passwords file\n"
    "  -auth_PUT\tPUT,DELETE auth file\n"
    "  -uid\t\tRun as user\n"
    "  -access_log\tAccess log file\n"
    "  -error_log\tError log file\n"
    "  -aliases\tPath=URI mappings\n"
    "  -admin_uri\tAdministration page URI\n"
    "  -acl\t\tAllow/deny IP addresses/subnets\n"
    "  -max_threads\tMaximum simultaneous threads to spawn (default: \"100\")\n"
    "  -idle_time\tTime in seconds connection stays idle (default: \"10\")\n"
    "  -mime_types\tComma separated list of ext=mime_type pairs\n";

/* An error-log line of the fake connection, as a pattern. */
std::string
error_line(const std::string &message)
{
    return R"(\[\d{10}\] \[error\] \[client 0\.0\.0\.0\] )" + message + "\n";
}

std::string
banner(const std::string &ports, const std::string &root)
{
    return "Quillfen 2.8 started on port(s) [" + ports + "], serving directory [" + root + "]\n";
}

class FrontCli : public ::testing::Test {
protected:
    qftest::ProductDir product;
    qftest::TempDir work;   /* the binary's working directory */
    const char *bin() { return drevanta_.c_str(); }

    /* Starts a server that must reach its banner. */
    void start(qftest::ServerProcess &proc, const std::vector<std::string> &args,
               const std::string &expected_out)
    {
        ASSERT_TRUE(proc.start(args, bin(), work.path()));
        ASSERT_TRUE(proc.waitForOutput("started on port(s)")) << proc.out() << proc.err();
        EXPECT_EQ(proc.out(), expected_out);
    }

private:
    std::string drevanta_ = product.bin();
};

TEST_F(FrontCli, WrongUsePrintsUsage)
{
    struct Case {
        int line;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {__LINE__, {"-h"}},
        {__LINE__, {"--help"}},
        {__LINE__, {"-ports"}},
        {__LINE__, {"-root", "/tmp", "-ports"}},
        {__LINE__, {"my.conf", "extra"}},
        {__LINE__, {"-A"}},
        {__LINE__, {"-A", "pw", "realm", "user"}},
        {__LINE__, {"-A", "pw", "realm", "user", "pass", "extra"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        qftest::RunResult r = qftest::runQuillfen(c.args, bin(), work.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, USAGE);
        EXPECT_EQ(r.out, "");
    }
}

/* Without a ports option the server takes 8080; skipped where that is busy. */
bool
port_8080_is_free()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(8080);
    bool free = bind(fd, (struct sockaddr *) &sin, sizeof(sin)) == 0;
    close(fd);
    return free;
}

TEST_F(FrontCli, BannerThenOrderlyExitOnSignal)
{
    std::string port = std::to_string(qftest::freePort());
    struct Case {
        int line, sig;
        std::vector<std::string> args;
        std::string ports;
    };
    const Case cases[] = {
        {__LINE__, SIGTERM, {"-ports", port}, port},
        {__LINE__, SIGINT, {}, "8080"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        if (c.args.empty() && !port_8080_is_free())
            continue;
        qftest::ServerProcess proc;
        start(proc, c.args, banner(c.ports, work.path()));
        EXPECT_EQ(proc.stop(c.sig), 0);
        EXPECT_EQ(proc.out(), banner(c.ports, work.path()) + "Exiting on signal " +
                                  std::to_string(c.sig) +
                                  ", waiting for all threads to finish... done.\n");
        EXPECT_EQ(proc.err(), "");
    }
}

/* Comments and blank lines are skipped, a value keeps the spaces before a
 * '#', later lines win, and the command line wins over the file. */
TEST_F(FrontCli, ConfigFileAndCommandLine)
{
    std::string port = std::to_string(qftest::freePort());
    std::string conf = work.file("my.conf");
    qftest::writeFile(conf, "# Quillfen settings\n"
                            "\n"
                            "root /nowhere\n"
                            "  ports " + port + " # web\n"
                            "root " + work.path() + "/first\r\n"
                            "idle_time 5\n");
    {
        qftest::ServerProcess proc;
        start(proc, {conf}, "Loading config file " + conf + "\n" +
                                banner(port + " ", work.path() + "/first"));
        EXPECT_EQ(proc.stop(SIGTERM), 0);
    }
    {
        qftest::ServerProcess proc;
        start(proc, {"-root", "/override", conf},
              "Loading config file " + conf + "\n" + banner(port + " ", "/override"));
        EXPECT_EQ(proc.stop(SIGTERM), 0);
    }
}

TEST_F(FrontCli, InvalidConfigLineStops)
{
    struct Case {
        int line;
        const char *text;
        int bad_line;
    };
    const Case cases[] = {
        {__LINE__, "# comment\n\nports\n", 3},
        {__LINE__, "   \n", 1},
        {__LINE__, "\r\n", 1},
        {__LINE__, "idle_time", 1},
        {__LINE__, "idle_time 5\n#\n\n\nroot #nothing\n", 5},
    };
    std::string conf = work.file("bad.conf");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        qftest::writeFile(conf, c.text);
        qftest::RunResult r = qftest::runQuillfen({conf}, bin(), work.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, conf + ": line " + std::to_string(c.bad_line) + " is invalid\n");
        EXPECT_EQ(r.out, "Loading config file " + conf + "\n");
    }
}

/* An option that is unknown or refused, from either source, or a missing
 * configuration file ends the program with the reason on standard error. */
TEST_F(FrontCli, BadOptionStops)
{
    struct Case {
        int line;
        std::vector<std::string> args;
        const char *conf;   /* written to my.conf and named last when set */
        std::string err_pattern;
    };
    const Case cases[] = {
        {__LINE__, {"-no_such", "x"}, nullptr,
         error_line(R"(qf_set_option: No such option: \[no_such\])")},
        {__LINE__, {"-h", "x"}, nullptr, error_line(R"(qf_set_option: No such option: \[h\])")},
        {__LINE__, {}, "idle_time 3\nno_such 1\n",
         error_line(R"(qf_set_option: No such option: \[no_such\])")},
        {__LINE__, {"-max_threads", "0"}, nullptr,
         error_line(R"(set_max_threads_option: \[0\] must be at least 1)") +
             error_line(R"(qf_set_option\(max_threads\): failure)")},
        {__LINE__, {"-idle_time", "3", "/no/such.conf"}, nullptr,
         "cannot open config file /no/such.conf: No such file or directory\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<std::string> args = c.args;
        if (c.conf != nullptr) {
            qftest::writeFile(work.file("my.conf"), c.conf);
            args.push_back(work.file("my.conf"));
        }
        qftest::RunResult r = qftest::runQuillfen(args, bin(), work.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err_pattern))) << r.err;
        EXPECT_EQ(r.out.find("started"), std::string::npos) << r.out;
    }
}

/* The default file sits beside the program as named in argv[0], or in the
 * working directory when argv[0] has no '/'. The harness always names the
 * binary by its absolute path, so bash's exec -a names it here. A bad
 * option in the file ends the binary, which shows that it was read. */
TEST_F(FrontCli, DefaultConfigFile)
{
    qftest::TempDir prog;
    std::string link = prog.file("quillfen");
    ASSERT_EQ(symlink(QF_BINARY, link.c_str()), 0);
    qftest::writeFile(prog.file("quillfen.conf"), "beside_program 1\n");
    qftest::writeFile(work.file("quillfen.conf"), "in_cwd 1\n");

    struct Case {
        int line;
        std::string argv0, loaded, option;
    };
    const Case cases[] = {
        {__LINE__, link, prog.file("quillfen.conf"), "beside_program"},
        {__LINE__, "quillfen", "quillfen.conf", "in_cwd"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string cmd = "cd " + work.path() + " && DREVANTA_BIN=" + product.bin() +
                          " bash -c 'exec -a " + c.argv0 + " " + QF_BINARY + "' >" +
                          prog.file("out") + " 2>" + prog.file("err") + " </dev/null";
        int st = system(cmd.c_str());
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
        EXPECT_EQ(qftest::readFile(prog.file("out")), "Loading config file " + c.loaded + "\n");
        std::string err = qftest::readFile(prog.file("err"));
        EXPECT_NE(err.find("No such option: [" + c.option + "]"), std::string::npos) << err;
    }
}

}  // namespace
