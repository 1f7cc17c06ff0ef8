/* tests/panel_startup_test.cpp: the checks of DREVANTA_BIN, the file names
 * derived from it, and the shell command that starts the service. */
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "panel/panel.h"

namespace {

const char UNSET_MSG[] =
    "Please define the environment variable \"DREVANTA_BIN\" and then restart the application.";
const char SLASH_MSG[] =
    "DREVANTA_BIN should end with slash (for Linux) or back-slash (for Windows)\n";

TEST(PanelStartup, ProductDirectoryIsChecked)
{
    struct Case {
        int line;
        const char *bin;
        const char *want;   /* nullptr: accepted */
    };
    const std::string longest = "/" + std::string(PC_MAX_BIN_LENGTH - 2, 'd') + "/";
    const std::string too_long = "/" + std::string(PC_MAX_BIN_LENGTH - 1, 'd') + "/";
    const Case cases[] = {
        {__LINE__, nullptr, UNSET_MSG},
        {__LINE__, "", SLASH_MSG},
        {__LINE__, "/opt/product", SLASH_MSG},
        {__LINE__, "/opt/product/ ", SLASH_MSG},
        {__LINE__, "/opt/product/", nullptr},
        {__LINE__, "/", nullptr},
        {__LINE__, "C:\\prod\\", nullptr},
        {__LINE__, longest.c_str(), nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        const char *got = drevanta_checkBin(c.bin);
        if (c.want == nullptr)
            EXPECT_EQ(got, nullptr) << got;
        else
            EXPECT_STREQ(got, c.want);
    }
    const char *msg = drevanta_checkBin(too_long.c_str());
    ASSERT_NE(msg, nullptr);
    EXPECT_STRNE(msg, SLASH_MSG);
    std::string text = msg;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line";
}

TEST(PanelStartup, FileNamesAreTheDirectoryPlusFixedSuffixes)
{
    drevanta_setFileNames("/opt/product/");
    EXPECT_STREQ(pcGlobDrevantaBin, "/opt/product/");
    EXPECT_STREQ(pcSysLogFileName, "/tmp/DrevantaTmpLog");
    EXPECT_STREQ(pcAppLogFileName, "/opt/product/../log/errLog");
    EXPECT_STREQ(pcConfFileName, "/opt/product/quorvel.conf");
    EXPECT_STREQ(pcTmpConfFileName, "/opt/product/_tmp_quorvel.conf");
    EXPECT_STREQ(pcDrevantaGuiHtmlFileName, "/opt/product/drevanta_gui.html");
    EXPECT_STREQ(pcTmpDrevantaGuiHtmlFileName, "/opt/product/tmp_drevanta_gui.html");
    EXPECT_STREQ(pcPrefixDrevantaGuiHtmlFileName, "/opt/product/images/prefix_drevanta_gui.html");
    EXPECT_STREQ(pcDrevantaGuiBusyHtmlFileName, "/opt/product/drevanta_gui_busy.html");

    drevanta_setFileNames("C:\\prod\\");
    EXPECT_STREQ(pcConfFileName, "C:\\prod\\quorvel.conf");
    EXPECT_STREQ(pcAppLogFileName, "C:\\prod\\../log/errLog");
}

/* Runs the command's three quoted words through the shell and returns
 * them one per line, as the guard would receive them. */
std::string
shellWords(const std::string &cmd)
{
    const std::string head = "nohup ", tail = " > /dev/null  &";
    EXPECT_EQ(cmd.compare(0, head.size(), head), 0) << cmd;
    EXPECT_EQ(cmd.substr(cmd.size() - tail.size()), tail) << cmd;
    std::string words = cmd.substr(head.size(), cmd.size() - head.size() - tail.size());
    std::string probe = "printf '%s\\n' " + words;
    FILE *p = popen(probe.c_str(), "r");
    if (p == nullptr) return "";
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

TEST(PanelStartup, StartCommandQuotesThePaths)
{
    char cmd[PC_START_COMMAND_SIZE];
    drevanta_setFileNames("/opt/product/");
    ASSERT_TRUE(controlPanelTab.formatStartCommand(cmd, sizeof(cmd)));
    EXPECT_STREQ(cmd, "nohup '/opt/product/drevanta_guard' '/opt/product/drevantaquorvel' "
                      "'/opt/product/quorvel.conf' > /dev/null  &");

    struct Case {
        int line;
        const char *bin;
    };
    const Case cases[] = {
        {__LINE__, "/opt/my product/"},
        {__LINE__, "/opt/it's/"},
        {__LINE__, "/opt/'''/"},
        {__LINE__, "/opt/$(touch x);`y`\"z\\/"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        drevanta_setFileNames(c.bin);
        ASSERT_TRUE(controlPanelTab.formatStartCommand(cmd, sizeof(cmd)));
        std::string b = c.bin;
        EXPECT_EQ(shellWords(cmd),
                  b + "drevanta_guard\n" + b + "drevantaquorvel\n" + b + "quorvel.conf\n");
    }
}

TEST(PanelStartup, StartCommandFitsTheLongestDirectory)
{
    /* The worst case: every character of the longest directory a quote. */
    std::string bin = std::string(PC_MAX_BIN_LENGTH - 1, '\'') + "/";
    drevanta_setFileNames(bin.c_str());
    char cmd[PC_START_COMMAND_SIZE];
    ASSERT_TRUE(controlPanelTab.formatStartCommand(cmd, sizeof(cmd)));
    EXPECT_EQ(shellWords(cmd), bin + "drevanta_guard\n" + bin + "drevantaquorvel\n" + bin +
                                   "quorvel.conf\n");
    /* a buffer too small is refused, not overrun */
    char small[64];
    EXPECT_FALSE(controlPanelTab.formatStartCommand(small, sizeof(small)));
}

}  // namespace
