/* tests/front_cli_itest.cpp: the binary's usage, DREVANTA_BIN, banner, signals, configuration file, -A. */
#include <signal.h>

#include <regex>

#include "panel/panel.h"
#include "support/harness.h"

namespace {

const char USAGE[] =
    "Quillfen version 2.8\nusage: quillfen [options] [config_file]\n"
    "  -A <htpasswd_file> <realm> <user> <passwd>\n  -root\t\tWeb root directory\n"
    "  -index_files\tIndex files (default: \"index.html,index.htm,index.cgi\")\n"
    "  -ssl_cert\tSSL certificate file\n  -ports\tListening ports\n"
    "  -dir_list\tDirectory listing (default: \"yes\")\n  -protect\tURI to htpasswd mapping\n"
    "  -cgi_ext\tCGI extensions (default: \".cgi,.pl,.php\")\n"
    "  -cgi_interp\tCGI interpreter to use with all CGI scripts\n"
    "  -cgi_env\tCustom CGI enviroment variables\n  -ssi_ext\tSSI extensions (default: \".shtml,.shtm\")\n"
    "  -auth_realm\tAuthentication domain name (default: \"example.com\")\n"
    "  -auth_gpass\tGlobal passwords file\n  -auth_PUT\tPUT,DELETE auth file\n  -uid\t\tRun as user\n"
    "  -access_log\tAccess log file\n  -error_log\tError log file\n  -aliases\tPath=URI mappings\n"
    "  -admin_uri\tAdministration page URI\n  -acl\t\tAllow/deny IP addresses/subnets\n"
    "  -max_threads\tMaximum simultaneous threads to spawn (default: \"100\")\n"
    "  -idle_time\tTime in seconds connection stays idle (default: \"10\")\n"
    "  -mime_types\tComma separated list of ext=mime_type pairs\n"
    "  -server_names\tComma-separated host names the panel and administration page answer to\n"
    "  -keep_alive\tSeconds an idle persistent connection is kept open (default: \"0\")\n"
    "  -file_cache\tSeconds a file look-up is trusted without looking again (default: \"0\")\n";

std::string banner(const std::string &ports, const std::string &root)
{
    return "Quillfen 2.8 started on port(s) [" + ports + "], serving directory [" + root + "]\n";
}

class FrontCli : public ::testing::Test {
protected:
    /* Starts a server, stops it at its banner and checks the whole output. */
    void serve(const std::vector<std::string> &args, const std::string &out, int sig = SIGTERM)
    {
        qftest::ServerProcess proc;
        ASSERT_TRUE(proc.start(args, product.bin().c_str(), work.path()));
        ASSERT_TRUE(proc.waitForOutput("started on port(s)")) << proc.out() << proc.err();
        EXPECT_EQ(proc.stop(sig), 0);
        EXPECT_EQ(proc.out(), out + "Exiting on signal " + std::to_string(sig) +
                                  ", waiting for all threads to finish... done.\n");
        EXPECT_EQ(proc.err(), "");
    }

    qftest::ProductDir product;
    qftest::TempDir work;   /* the binary's working directory */
    std::string port = std::to_string(qftest::freePort());
};

/* Wrong use prints the usage; a bad DREVANTA_BIN stops the binary before it reads its arguments. */
TEST_F(FrontCli, WrongUseAndBadProductDirectoryStop)
{
    const std::string bin = product.bin(), too_long = "/" + std::string(PC_MAX_BIN_LENGTH, 'd') + "/";
    const std::string slash = "DREVANTA_BIN should end with slash (for Linux) or back-slash (for Windows)\n";
    const struct { int line; std::vector<std::string> args; const char *bin; std::string err; } cases[] = {
        {__LINE__, {"-h"}, bin.c_str(), USAGE},
        {__LINE__, {"-root", "/tmp", "-ports"}, bin.c_str(), USAGE},
        {__LINE__, {"a.conf", "extra"}, bin.c_str(), USAGE},
        {__LINE__, {"-A", "pw", "r", "u"}, bin.c_str(), USAGE},
        /* help and the password file need no product directory */
        {__LINE__, {"-h"}, nullptr, USAGE},
        {__LINE__, {"--help"}, "", USAGE},
        {__LINE__, {"-A", "pw", "r", "u"}, nullptr, USAGE},
        {__LINE__, {"-ports", "0"}, nullptr,
         "Please define the environment variable \"DREVANTA_BIN\" and then restart the application."},
        {__LINE__, {"-ports", "0"}, "", slash},
        {__LINE__, {"-ports", "0"}, "/opt/product", slash},
        {__LINE__, {"-ports", "0"}, too_long.c_str(), "DREVANTA_BIN is too long: at most 311 characters are allowed\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        qftest::RunResult r = qftest::runQuillfen(c.args, c.bin, work.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

/* Later lines win, and the command line wins over the file. */
TEST_F(FrontCli, BannerConfigFileAndCommandLine)
{
    serve({"-ports", port}, banner(port, work.path()), SIGINT);
    std::string conf = work.file("my.conf"), loading = "Loading config file " + conf + "\n";
    qftest::writeFile(conf, "# settings\n\nroot /nowhere\n  ports " + port + " # web\nroot " +
                                work.path() + "/first\r\n");
    qftest::runCommand("mkdir " + work.file("first") + " " + work.file("override"));
    serve({conf}, loading + banner(port + " ", work.path() + "/first"));
    serve({"-root", work.file("override"), conf}, loading + banner(port + " ", work.file("override")));
}

/* Bad lines, unknown or refused options and missing files stop with the reason; so does -A. */
TEST_F(FrontCli, StartupFailuresStop)
{
    const std::string at = R"(\[\d{10}\] \[error\] \[client 0\.0\.0\.0\] )";
    const std::string conf = work.file("my.conf"), no_dir = work.file("no/dir/");
    const std::string no_such = at + R"(qf_set_option: No such option: \[no_such\]\n)";
    auto refused = [&](const std::string &why, const char *option) {
        return at + why + "\n" + at + R"(qf_set_option\()" + option + R"(\): failure\n)";
    };
    const struct { int line; std::vector<std::string> args; const char *text; std::string err; } cases[] = {
        {__LINE__, {conf}, "# comment\n\nports\n", conf + ": line 3 is invalid\n"},
        {__LINE__, {conf}, "idle_time 5\n#\n\n\nroot #nothing\n", conf + ": line 5 is invalid\n"},
        {__LINE__, {conf}, "idle_time 3\nno_such 1\n", no_such},
        {__LINE__, {"-Root", "/tmp"}, "", at + R"(qf_set_option: No such option: \[Root\]\n)"},
        {__LINE__, {"-max_threads", "0"}, "",
         refused(R"(set_max_threads_option: \[0\] must be at least 1)", "max_threads")},
        {__LINE__, {"-mime_types", "a=b,,c=d"}, "",
         refused(R"(Invalid list specified: \[a=b,,c=d\], expecting key1=value1,key2=value2,\.\.\.)", "mime_types")},
        {__LINE__, {"-ssl_cert", "x.pem"}, "",
         refused(R"(set_ssl_option: \[x\.pem\]: no usable certificate: .*No such file or directory)", "ssl_cert")},
        {__LINE__, {"-uid", "no-such-user-qf"}, "", refused(R"(set_uid_option: unknown user \[no-such-user-qf\])", "uid")},
        {__LINE__, {"-uid", ""}, "", refused("set_uid_option: no user name given", "uid")},
        {__LINE__, {"-server_names", "panel.lan,panel.lan:8080"}, "",
         refused(R"(set_server_names_option: invalid host name in \[panel\.lan,panel\.lan:8080\])", "server_names")},
        {__LINE__, {"-keep_alive", "5s"}, "",
         refused(R"(set_keep_alive_option: \[5s\] must be a number of seconds from 0 to 86400)", "keep_alive")},
        {__LINE__, {"-file_cache", "3601"}, "",
         refused(R"(set_file_cache_option: \[3601\] must be a number of seconds from 0 to 3600)", "file_cache")},
        {__LINE__, {"/no/such.conf"}, "", "cannot open config file /no/such.conf: No such file or directory\n"},
        {__LINE__, {"-root", no_dir}, "", "quillfen: root " + no_dir + " is not a directory\n"},
        /* log files that cannot be opened: the reason goes to standard error */
        {__LINE__, {"-error_log", no_dir + "e.log"}, "",
         refused(R"(open_log_file\()" + no_dir + R"(e.log\): No such file or directory)", "error_log")},
        {__LINE__, {"-access_log", work.path()}, "",
         refused(R"(open_log_file\()" + work.path() + R"(\): Is a directory)", "access_log")},
        {__LINE__, {"-A", no_dir + "pw", "r", "alice", "a"}, "",
         at + "Cannot open " + no_dir + "pw: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        qftest::writeFile(conf, c.text);
        qftest::RunResult r = qftest::runQuillfen(c.args, product.bin().c_str(), work.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << r.err;
        EXPECT_EQ(r.out, c.args[0] == conf ? "Loading config file " + conf + "\n" : "");
    }
}

}  // namespace
