/* tests/panel_web_itest.cpp: the panel's pages and actions over HTTP: never cached, never driven from
 * another site's page. */
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/harness.h"

using qftest::readFile;

namespace {

struct PanelWeb : ::testing::Test {
    void SetUp() override
    {
        ASSERT_TRUE(srv.start({"-root", srv.product.bin(), "-admin_uri", "/admin", "-server_names", "example"}));
        ASSERT_TRUE(qftest::waitFor([&] { return qftest::fileExists(srv.product.bin() + "drevanta_gui.html"); }, 10000));
    }
    std::string post(const std::string &uri, const std::string &host, const std::string &origin,
                     const std::string &body)
    {
        return qftest::ask(srv.port, "POST " + uri, (host.empty() ? "" : "Host: " + host + "\r\n") +
                           (origin.empty() ? "" : "Origin: " + origin + "\r\n") +
                           "Content-Type: application/x-www-form-urlencoded\r\n", body);
    }
    std::string conf() { return readFile(srv.product.bin() + "quorvel.conf"); }
    qftest::Server srv;
};

TEST_F(PanelWeb, BothPanelPagesAreAnsweredNoStore)
{
    const struct { int line; std::string reply; const char *want; } cases[] = {
        {__LINE__, srv.ask("GET /drevanta_gui.html"), "no-store"},
        {__LINE__, srv.ask("GET /drevanta_gui_busy.html"), "no-store"},
        {__LINE__, srv.ask("POST /drevanta_gui_busy.html", "", "controlbutton=Manual"), "no-store"},
        {__LINE__, srv.ask("GET /images/busy.gif"), ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << c.reply.substr(0, 200);
        EXPECT_EQ(qftest::headerOf(c.reply, "Cache-Control"), c.want);
    }
}

/* Origin against Host: scheme, host and port, case-insensitive, default ports filled in. */
TEST_F(PanelWeb, PostsFromAnotherOriginAreRefusedBeforeTheyAct)
{
    const std::string p = std::to_string(srv.port), here = "127.0.0.1:" + p;
    const struct { int line; std::string host, origin; bool acts; } cases[] = {
        {__LINE__, here, "", true},
        {__LINE__, here, "http://" + here, true},
        {__LINE__, "LocalHost:" + p, "HTTP://localhost:" + p, true},
        {__LINE__, "example", "http://example:80", true},
        {__LINE__, "example:80", "http://EXAMPLE", true},
        {__LINE__, "[::1]:" + p, "http://[::1]:" + p, true},
        {__LINE__, "[::1]:" + p, "http://[::2]:" + p, false},   /* the whole bracketed host counts */
        {__LINE__, here, "http://127.0.0.1:" + std::to_string(srv.port + 1), false},
        {__LINE__, here, "https://" + here, false},
        {__LINE__, here, "null", false},
        {__LINE__, here, "http://" + here + "/", false},
        {__LINE__, here, "http://x." + here, false},
        {__LINE__, here, "http://127.0.0.1:0" + p + "0", false},
        {__LINE__, "", "http://" + here, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        std::string trunk = "T" + std::to_string(c.line), before = conf();
        std::string reply = post("/drevanta_gui_busy.html", c.host, c.origin, "TrunkName=" + trunk + "&basicsetupbutton=Save");
        if (c.acts) {
            EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply.substr(0, 200);
            EXPECT_NE(conf().find("TrunkName=" + trunk + "\r\n"), std::string::npos);
        } else {
            EXPECT_EQ(reply.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << reply.substr(0, 200);
            EXPECT_EQ(conf(), before);
            EXPECT_TRUE(srv.logged("cross-site POST refused: Origin " + c.origin + " is not this server"));
        }
    }

    /* The administration page sets nothing for another site; CGI programs decide for themselves. */
    EXPECT_EQ(post("/admin", here, "null", "o=max_threads&v=7").rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);
    EXPECT_NE(srv.ask("GET /admin").find("value='100'"), std::string::npos);
    EXPECT_NE(post("/admin", here, "http://" + here, "o=max_threads&v=7").find("Saved: max_threads=7"),
              std::string::npos);
    qftest::writeScript(srv.product.bin() + "t.cgi", "#!/bin/sh\ncat >/dev/null\nprintf 'Content-Type: text/plain\\r\\n\\r\\nran'\n");
    EXPECT_EQ(qftest::bodyOf(post("/t.cgi", here, "null", "a=1")), "ran");
}

/* A value that quorvel.conf cannot hold is refused, and the next panel page says which, under the
 * Basic Setup heading; the other fields are saved, and a Save without refusals drops the line. */
TEST_F(PanelWeb, RefusedBasicSetupValuesAreToldOnThePage)
{
    const std::string page = srv.product.bin() + "drevanta_gui.html", heading = " <h2>Basic Setup</h2>\n",
                      told = "<p style=\"color: red\"><b>Not saved:</b> AECTail (a number from 0 to 5); Secret "
                             "(no spaces or control characters, at most 999 characters). The other values were "
                             "saved.</p>\n";
    EXPECT_EQ(srv.ask("POST /drevanta_gui_busy.html", "",
                      "Secret=two+words&AECTail=7&TrunkName=Kept&basicsetupbutton=Save").rfind("HTTP/1.1 200 OK", 0), 0u);
    EXPECT_NE(conf().find("TrunkName=Kept\r\n"), std::string::npos);
    EXPECT_TRUE(qftest::fileGains(page, heading + told, 20000)) << readFile(page);
    srv.ask("POST /drevanta_gui_busy.html", "", "TrunkName=Again&basicsetupbutton=Save");
    EXPECT_TRUE(qftest::fileGains(page, "name=\"TrunkName\" value=\"Again\"", 20000));
    EXPECT_EQ(readFile(page).find("Not saved"), std::string::npos);
    EXPECT_NE(readFile(page).find(heading + "<table><tr>"), std::string::npos);
}

/* A failure at run time does not end the process: with the head of the panel page gone, the refresh
 * thread says so once on standard error, keeps the old page and tries again every pass; once the file
 * is back, the page is written again. */
TEST_F(PanelWeb, RefreshOutlivesAMissingTemplate)
{
    const std::string prefix = srv.product.bin() + "images/prefix_drevanta_gui.html",
                      page = srv.product.bin() + "drevanta_gui.html",
                      told = "Unable to open " + prefix + " for reading.\n";
    auto inode = [&] {
        struct stat st;
        return stat(page.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    auto times_told = [&] { return qftest::occurrences(srv.proc.err(), told); };
    const ino_t before = inode();
    ASSERT_EQ(rename(prefix.c_str(), (prefix + ".away").c_str()), 0);
    EXPECT_TRUE(qftest::waitFor([&] { return times_told() == 1; }, 20000)) << srv.proc.err();
    EXPECT_FALSE(qftest::waitFor([&] { return inode() != before; }, 10000));   /* a pass or two more */
    EXPECT_EQ(times_told(), 1);
    EXPECT_EQ(srv.ask("GET /drevanta_gui.html").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);   /* the old page */
    ASSERT_EQ(rename((prefix + ".away").c_str(), prefix.c_str()), 0);
    EXPECT_TRUE(qftest::waitFor([&] { return inode() != before; }, 20000));
    EXPECT_EQ(srv.proc.stop(15, 20000), 0) << srv.proc.err();
}

/* A page on a stranger's name that resolves to us (DNS rebinding) sends that name as Host and a
 * matching Origin: it reaches neither the panel's files nor its actions nor the administration page,
 * whatever it asks. Documents outside the panel answer to any name. */
TEST(PanelHosts, OnlyOurOwnNamesReachThePanel)
{
    qftest::Server srv;
    const std::string bin = srv.product.bin();
    ASSERT_TRUE(srv.start({"-aliases", "/panel/=" + bin, "-admin_uri", "/admin", "-server_names", "Panel.Example,other.lan"}));
    ASSERT_TRUE(qftest::waitFor([&] { return qftest::fileExists(bin + "drevanta_gui.html"); }, 10000));
    const std::string p = std::to_string(srv.port), evil = "evil.example:" + p;
    auto ask = [&](const std::string &line, const std::string &host, const std::string &body = "") {
        return qftest::ask(srv.port, line, (host.empty() ? "" : "Host: " + host + "\r\n") +
                           (body.empty() ? "" : "Origin: http://" + host + "\r\n"), body);
    };
    auto status = [](const std::string &reply) { return reply.substr(0, reply.find("\r\n")); };
    const std::string misdirected = "HTTP/1.1 421 Misdirected Request", ok = "HTTP/1.1 200 OK";
    const std::string conf = qftest::readFile(bin + "quorvel.conf");

    EXPECT_EQ(ask("GET /panel/drevanta_gui.html", evil),
              qftest::errorAnswer("421", "Misdirected Request", "Host not served here (see option server_names)"));
    const struct { int line; std::string request, host, body, want; } cases[] = {
        {__LINE__, "GET /panel/", evil, "", misdirected},
        {__LINE__, "HEAD /panel/images/busy.gif", "EVIL.example", "", misdirected},
        {__LINE__, "GET /panel/quorvel.conf", "127.0.0.1.evil.example", "", misdirected},
        {__LINE__, "GET /panel/drevanta_gui.html", "localhost.evil.example:" + p, "", misdirected},
        {__LINE__, "GET /panel/drevanta_gui.html", "[::1", "", misdirected},
        {__LINE__, "GET /panel/drevanta_gui.html", "", "", ok},   /* no Host: as always */
        {__LINE__, "POST /panel/drevanta_gui_busy.html", evil, "controlbutton=Start", misdirected},
        {__LINE__, "POST /panel/drevanta_gui_busy.html", evil, "TrunkName=Evil&basicsetupbutton=Save", misdirected},
        {__LINE__, "POST /index.html", evil, "controlbutton=Start", misdirected},   /* the panel's hook all the same */
        {__LINE__, "GET /admin", evil, "", misdirected},
        {__LINE__, "POST /admin", evil, "o=max_threads&v=7", misdirected},
        {__LINE__, "GET /index.html", evil, "", ok},
        {__LINE__, "GET /panel/nothing.html", evil, "", "HTTP/1.1 404 Not Found"},
        {__LINE__, "GET /panel/drevanta_gui.html", "127.0.0.1:" + p, "", ok},
        {__LINE__, "GET /panel/drevanta_gui.html", "LocalHost", "", ok},
        {__LINE__, "GET /panel/drevanta_gui.html", "localhost.:" + p, "", ok},
        {__LINE__, "GET /panel/drevanta_gui.html", "[::1]:" + p, "", ok},
        {__LINE__, "GET /panel/images/busy.gif", "panel.example:" + p, "", ok},
        {__LINE__, "GET /admin", "other.LAN", "", ok},
        {__LINE__, "POST /panel/drevanta_gui_busy.html", "10.1.2.3:" + p, "TrunkName=Ours&basicsetupbutton=Save", ok},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(status(ask(c.request, c.host, c.body)), c.want);
    }

    /* Start runs before the answer is sent: had it run, its programs would be running now. */
    EXPECT_EQ(qftest::processesRunning(bin).size(), 0u);
    EXPECT_EQ(qftest::readFile(bin + "quorvel.conf").find("TrunkName=Evil"), std::string::npos);
    EXPECT_NE(qftest::readFile(bin + "quorvel.conf").find("TrunkName=Ours"), std::string::npos) << conf;
    EXPECT_NE(ask("GET /admin", "localhost").find("value='100'"), std::string::npos);
}

}  // namespace
