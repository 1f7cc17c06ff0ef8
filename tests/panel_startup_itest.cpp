/* tests/panel_startup_itest.cpp: the panel's start-up inside the real
 * binary: refused product directories, the pages it writes, and a fatal
 * error met by the refresh thread. */
#include <gtest/gtest.h>
#include <stdio.h>

#include <map>
#include <string>

#include "panel/panel.h"
#include "support/harness.h"

using qftest::readFile;
using qftest::waitFor;

namespace {

const char *const FIXED_FILES[] = {PC_SERVICE_PID_FILE, PC_GUARD_PID_FILE, PC_ACTIVE_CALLS_FILE};

/* The binary's refresh thread reads the service's status files: none may
 * be there, or it would signal whatever they name. */
class PanelStartupBinary : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *f : FIXED_FILES) {
            if (qftest::fileExists(f)) saved[f] = readFile(f);
            remove(f);
        }
    }
    void TearDown() override
    {
        for (const auto &s : saved) qftest::writeFile(s.first, s.second);
    }

    std::map<std::string, std::string> saved;
};

TEST_F(PanelStartupBinary, BadProductDirectoryStopsTheServerBeforeItsArguments)
{
    struct Case {
        int line;
        const char *bin;
        std::string err;
    };
    const std::string too_long = "/" + std::string(PC_MAX_BIN_LENGTH, 'd') + "/";
    const Case cases[] = {
        {__LINE__, nullptr, "Please define the environment variable \"DREVANTA_BIN\" and then "
                            "restart the application."},
        {__LINE__, "", "DREVANTA_BIN should end with slash (for Linux) or back-slash (for Windows)\n"},
        {__LINE__, "/opt/product",
         "DREVANTA_BIN should end with slash (for Linux) or back-slash (for Windows)\n"},
        {__LINE__, too_long.c_str(), drevanta_checkBin(too_long.c_str())},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        /* "-h" would print the usage: it must not be looked at */
        qftest::RunResult r = qftest::runQuillfen({"-h"}, c.bin);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(PanelStartupBinary, ServerWritesTheWaitPageAndThePanelPage)
{
    qftest::ProductDir pd;
    qftest::ServerProcess server;
    ASSERT_TRUE(server.start({"-ports", std::to_string(qftest::freePort())}, pd.bin().c_str(),
                             pd.bin()));

    const std::string busy = pd.file("drevanta_gui_busy.html");
    EXPECT_TRUE(waitFor([&] { return qftest::fileExists(busy); }, 5000));
    EXPECT_EQ(readFile(busy),
              "<html>\n<head>\n"
              "<meta http-equiv=\"cache-control\" content=\"no-cache\">\n"
              "<meta http-equiv=\"expires\" content=\"0\">\n"
              "<meta http-equiv=\"pragma\" content=\"no-cache\">\n"
              "<link REL=\"SHORTCUT ICON\" HREF=\"images/Win2000_16.ico\">\n"
              "<META HTTP-EQUIV=\"refresh\" CONTENT=\"9;URL=drevanta_gui.html\">"
              "<body><br><br><br>\n<CENTER>\n"
              "<h1>Please wait while your request is being processed...</h1>\n"
              "If you are not automatically redirected within few seconds - "
              "<a href=\"drevanta_gui.html\">press on this link</a> \n"
              "<br> <br> <img src=\"images/busy.gif\"/></CENTER> </body></html>\n");

    const std::string prefix = readFile(pd.file("images/prefix_drevanta_gui.html"));
    const std::string end = "</div></body></html>\n";
    std::string page;
    EXPECT_TRUE(waitFor([&] {
        page = readFile(pd.file("drevanta_gui.html"));
        return page.size() > end.size() && page.substr(page.size() - end.size()) == end;
    }, 5000));
    EXPECT_EQ(page.compare(0, prefix.size(), prefix), 0);
    EXPECT_NE(page.find("name=\"StatusLine\" value=\"Not Running\""), std::string::npos);
    EXPECT_NE(page.find("name=\"TrunkName\" value=\"QuorvelTrunk\""), std::string::npos);
    EXPECT_EQ(server.stop(), 0);
}

TEST_F(PanelStartupBinary, MissingPrefixFileEndsTheServer)
{
    qftest::ProductDir pd;
    remove(pd.file("images/prefix_drevanta_gui.html").c_str());
    qftest::RunResult r = qftest::runQuillfen({"-ports", std::to_string(qftest::freePort())},
                                              pd.bin().c_str(), pd.bin());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Unable to open " + pd.bin() +
                         "images/prefix_drevanta_gui.html for reading.\nPlease verify "
                         "DREVANTA_BIN points to the right directory and there are no "
                         "permission problems.\n"),
              std::string::npos)
        << r.err;
}

}  // namespace
