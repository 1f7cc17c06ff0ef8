/* tests/panel_pages_test.cpp: the wait page and the panel page, byte for
 * byte, written into a temporary product directory. */
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "panel/panel.h"
#include "support/harness.h"

using qftest::readFile;
using qftest::writeFile;

namespace {

#define STYLE "class=\"controlbutton\" style=\"font: bold 12px Verdana, sans-serif\""
#define HINT "Please verify DREVANTA_BIN points to the right directory and there are no " \
             "permission problems.\n"

const char PREFIX[] = "<!DOCTYPE html>\r\n<html><head><title>t</title>\n";

class PanelPages : public ::testing::Test {
protected:
    void SetUp() override
    {
        drevanta_setFileNames((tmp.path() + "/").c_str());
        mkdir((tmp.path() + "/images").c_str(), 0755);
        writeFile(pcPrefixDrevantaGuiHtmlFileName, PREFIX);
        writeFile(pcConfFileName, "");
        snprintf(controlPanelTab.pcStatusLine, PC_STATUS_LINE_SIZE, "%s", "Not Running");
        controlPanelTab.bRunning = false;
        pcSystemLog[0] = '\0';
        pcApplicationLog[0] = '\0';
    }
    std::string page()
    {
        EXPECT_EQ(controlPanelTab.writeHtml(), 0);
        return readFile(pcDrevantaGuiHtmlFileName);
    }

    qftest::TempDir tmp;
};

TEST_F(PanelPages, WaitPageHasItsExactBytes)
{
    ASSERT_EQ(controlPanelTab.writeBusyHtml(), 0);
    EXPECT_EQ(readFile(pcDrevantaGuiBusyHtmlFileName),
              "<html>\n"
              "<head>\n"
              "<meta http-equiv=\"cache-control\" content=\"no-cache\">\n"
              "<meta http-equiv=\"expires\" content=\"0\">\n"
              "<meta http-equiv=\"pragma\" content=\"no-cache\">\n"
              "<link REL=\"SHORTCUT ICON\" HREF=\"images/Win2000_16.ico\">\n"
              "<META HTTP-EQUIV=\"refresh\" CONTENT=\"9;URL=drevanta_gui.html\">"
              "<body><br><br><br>\n"
              "<CENTER>\n"
              "<h1>Please wait while your request is being processed...</h1>\n"
              "If you are not automatically redirected within few seconds - "
              "<a href=\"drevanta_gui.html\">press on this link</a> \n"
              "<br> <br> <img src=\"images/busy.gif\"/>"
              "</CENTER> </body></html>\n");
}

TEST_F(PanelPages, PageIsThePrefixThenTheTabsThenTheEnd)
{
    /* A prefix longer than one copy piece, with CR LF inside. */
    std::string prefix = std::string(PREFIX) + std::string(2500, 'p') + "\r\n";
    writeFile(pcPrefixDrevantaGuiHtmlFileName, prefix);
    std::string text = page();
    ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0);
    const std::string open = "</head>\n<body>\n<div class=\"tabber\" id=\"drevanta_gui\">\n";
    EXPECT_EQ(text.compare(prefix.size(), open.size(), open), 0);
    const std::string end = "</div></body></html>\n";
    ASSERT_GE(text.size(), end.size());
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
    EXPECT_FALSE(qftest::fileExists(pcTmpDrevantaGuiHtmlFileName));
}

TEST_F(PanelPages, ControlPanelTabShowsStatusLogsAndButtons)
{
    snprintf(controlPanelTab.pcStatusLine, PC_STATUS_LINE_SIZE, "%s", "Running with 2 active channels");
    controlPanelTab.bRunning = true;
    snprintf(pcSystemLog, sizeof(pcSystemLog), "%s", "sys one<br>sys two<br>");
    snprintf(pcApplicationLog, sizeof(pcApplicationLog), "%s", "app &amp; more<br>");
    std::string text = page();
    std::string tab = text.substr(strlen(PREFIX), text.find("<div class=\"tabbertab\">\n", strlen(PREFIX) + 60) - strlen(PREFIX));
    EXPECT_EQ(tab,
              "</head>\n<body>\n"
              "<div class=\"tabber\" id=\"drevanta_gui\">\n"
              "<div class=\"tabbertab\">\n"
              "<FORM METHOD=POST NAME=\"drevantaguiform\" ACTION=\"drevanta_gui_busy.html\">\n"
              "<h2>Control Panel</h2>\n <br>\n"
              "<b>Status</b> (*)<br>\n"
              "<input id=\"statuslineid\" size=\"35\" type=\"text\" disabled=\"disabled\" "
              "name=\"StatusLine\" value=\"Running with 2 active channels\"/>\n<br><br>\n"
              "<b>System Log</b> (*) <br>\n"
              "<div id='sysdiv' style=\"height:100px;width:97%;padding:0.5em;margin: 1px;"
              "border:1px solid black;overflow:auto;\">sys one<br>sys two<br></div>\n<br>\n"
              "<b>Application Log </b> (*) <br>\n"
              "<div id='appdiv' style=\"height:200px;width:97%;padding:0.5em;margin: 1px;"
              "border:1px solid black;overflow:auto;\">app &amp; more<br></div>\n"
              " <br> <br> \n"
              "<table width=\"100%\">\n"
              "<tr> <td ALIGN=\"right\">\n"
              "<button type=SUBMIT NAME=\"controlbutton\" VALUE=\"Start\" disabled=\"disabled\" "
              STYLE ">Start</button>\n"
              " &nbsp; &nbsp;\n"
              "<button type=SUBMIT NAME=\"controlbutton\" VALUE=\"Stop\" " STYLE ">Stop</button>\n"
              " &nbsp; &nbsp;\n"
              "<button type=SUBMIT NAME=\"controlbutton\" VALUE=\"Manual\" " STYLE
              ">Manual Refresh</button>\n"
              "</td> </tr>\n"
              "</table> <br> <br> \n"
              "(*) - Hit the <b>\"Manual Refresh\" </b> button to update."
              "</FORM></div>\n");
}

TEST_F(PanelPages, StoppedServiceEnablesStartOnly)
{
    std::string text = page();
    EXPECT_NE(text.find("VALUE=\"Start\" " STYLE ">Start</button>\n &nbsp; &nbsp;\n"
                        "<button type=SUBMIT NAME=\"controlbutton\" VALUE=\"Stop\" "
                        "disabled=\"disabled\" " STYLE ">Stop</button>\n"),
              std::string::npos);
    /* empty logs leave their divisions empty */
    EXPECT_NE(text.find("overflow:auto;\"></div>\n<br>\n"), std::string::npos);
    EXPECT_NE(text.find("overflow:auto;\"></div>\n <br> <br> \n"), std::string::npos);
}

TEST_F(PanelPages, BasicSetupFieldsFollowTheConfigurationFile)
{
    struct Case {
        int line;
        const char *conf;
        const char *want;
    };
    const Case cases[] = {
        {__LINE__, "", "name=\"RegisterTrunk\" checked=\"yes\"/>"},
        {__LINE__, "RegisterTrunk=0\n", "name=\"RegisterTrunk\"/>"},
        {__LINE__, "RegisterTrunk=yes\n", "name=\"RegisterTrunk\" checked=\"yes\"/>"},
        {__LINE__, "", "name=\"RegisterOrigPhones\"/>"},
        {__LINE__, "RegisterOrigPhones=yes\n", "name=\"RegisterOrigPhones\"/>"},
        {__LINE__, "RegisterOrigPhones=1\n", "name=\"RegisterOrigPhones\" checked=\"yes\"/>"},
        {__LINE__, "", "name=\"RegisterPairPhones\" checked=\"yes\"/>"},
        {__LINE__, "RegisterPairPhones=0\n", "name=\"RegisterPairPhones\"/>"},
        {__LINE__, "", "name=\"AudioFilteringNoise\" checked=\"yes\"/>"},
        {__LINE__, "NeedToDoNoiseCancellation=0\n", "name=\"AudioFilteringNoise\"/>"},
        {__LINE__, "", "name=\"AudioFilteringEcho\"/>"},
        {__LINE__, "NeedToDoAEC=1\n", "name=\"AudioFilteringEcho\" checked=\"yes\"/>"},
        {__LINE__, "", "name=\"AudioFilteringGain\"/></td>\n<td>&nbsp;&nbsp;Gain"},
        {__LINE__, "NeedToDoAGC=1\n", "name=\"AudioFilteringGain\" checked=\"yes\"/></td>\n"},
        {__LINE__, "", "name=\"PrefixOfOrigPhones\" value=\"DrevantaOrig\"/>"},
        {__LINE__, "OrigPhonesNamePrefix=\n", "name=\"PrefixOfOrigPhones\" value=\"DrevantaOrig\"/>"},
        {__LINE__, "OrigPhonesNamePrefix=Mine\n", "name=\"PrefixOfOrigPhones\" value=\"Mine\"/>"},
        {__LINE__, "", "name=\"PrefixOfPairPhones\" value=\"DrevantaPair\"/>"},
        {__LINE__, "", "name=\"SipProxyIP\" value=\"\"/></td></tr>\n"},
        {__LINE__, "SipUAIP=10.1.1.1\n", "name=\"SipUaIP\" value=\"10.1.1.1\"/>  (Optional)"},
        {__LINE__, "SipUAPort=5061\n", "name=\"SipUaPort\" value=\"5061\"/>"},
        {__LINE__, "NumPhonesToAllocate=12\n", "name=\"NumberOfPhones\" value=\"12\"/>"},
        {__LINE__, "AECTailType=4\n", "maxlength=\"1\" value=\"4\"/></td>\n"},
        {__LINE__, "AGCLevel=300\n", "maxlength=\"5\" value=\"300\"/></td></tr>\n"},
        /* values are escaped; the page's own markup is not */
        {__LINE__, "Secret=a\"b<c>&'\n", "name=\"Secret\" value=\"a&quot;b&lt;c&gt;&amp;&#39;\"/>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        writeFile(pcConfFileName, c.conf);
        EXPECT_NE(page().find(c.want), std::string::npos) << c.want;
    }
}

TEST_F(PanelPages, StatusTextIsEscaped)
{
    snprintf(controlPanelTab.pcStatusLine, PC_STATUS_LINE_SIZE, "%s", "a\"><b>");
    EXPECT_NE(page().find("name=\"StatusLine\" value=\"a&quot;&gt;&lt;b&gt;\"/>"), std::string::npos);
}

TEST_F(PanelPages, NewPageReplacesTheOldOne)
{
    writeFile(pcDrevantaGuiHtmlFileName, "old page");
    EXPECT_EQ(page().compare(0, strlen(PREFIX), PREFIX), 0);
    /* A page name that cannot be replaced is left for the next pass. */
    remove(pcDrevantaGuiHtmlFileName);
    ASSERT_EQ(mkdir(pcDrevantaGuiHtmlFileName, 0755), 0);
    EXPECT_NE(controlPanelTab.writeHtml(), 0);
}

TEST_F(PanelPages, MissingFilesEndTheProcess)
{
    remove(pcPrefixDrevantaGuiHtmlFileName);
    EXPECT_EXIT(controlPanelTab.writeHtml(), ::testing::ExitedWithCode(1),
                std::string("Unable to open ") + pcPrefixDrevantaGuiHtmlFileName +
                    " for reading.\n" HINT);

    writeFile(pcPrefixDrevantaGuiHtmlFileName, PREFIX);
    ASSERT_EQ(mkdir(pcTmpDrevantaGuiHtmlFileName, 0755), 0);
    EXPECT_EXIT(controlPanelTab.writeHtml(), ::testing::ExitedWithCode(1),
                std::string("Unable to open ") + pcTmpDrevantaGuiHtmlFileName +
                    " for writing.\n" HINT);

    ASSERT_EQ(mkdir(pcDrevantaGuiBusyHtmlFileName, 0755), 0);
    EXPECT_EXIT(controlPanelTab.writeBusyHtml(), ::testing::ExitedWithCode(1),
                std::string("Unable to open the file \"") + pcDrevantaGuiBusyHtmlFileName +
                    "\" for writing.\n" HINT);
}

}  // namespace
