/* tests/panel_logs_test.cpp: the log tails of the Control Panel tab, their
 * conversion to escaped lines with "<br>", and their re-reading rules. The
 * logs live in a temporary directory. */
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "panel/panel.h"
#include "support/harness.h"

using qftest::writeFile;

namespace {

const char SAFETY_MSG[] =
    "safety buffer was not enough to handle log - going to display without newlines\n";

/* Runs the conversion on text; returns the buffer and what went to stderr. */
std::pair<std::string, std::string>
convert(const std::string &text)
{
    static char buf[PC_LOG_SIZE];
    snprintf(buf, sizeof(buf), "%s", text.c_str());
    testing::internal::CaptureStderr();
    controlPanelTab.replaceNewlineWithBrInLog(buf);
    std::string err = testing::internal::GetCapturedStderr();
    return {buf, err};
}

TEST(PanelLogs, LinesBecomeEscapedTextWithBr)
{
    struct Case {
        int line;
        const char *in;
        const char *want;
    };
    const Case cases[] = {
        {__LINE__, "", ""},
        {__LINE__, "one\ntwo\n", "one<br>two<br>"},
        /* the line still being written is not shown */
        {__LINE__, "one\ntwo\nthr", "one<br>two<br>"},
        {__LINE__, "no line end", ""},
        {__LINE__, "\n\n", "<br><br>"},
        {__LINE__, "cr\r\n", "cr\r<br>"},
        {__LINE__, "<b>&\"'</b>\n", "&lt;b&gt;&amp;&quot;&#39;&lt;/b&gt;<br>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        auto r = convert(c.in);
        EXPECT_EQ(r.first, c.want);
        EXPECT_EQ(r.second, "");
    }
}

TEST(PanelLogs, ConversionStopsShortOfTheBuffer)
{
    /* 4999 empty lines become 19996 bytes: they fit... */
    auto fits = convert(std::string(4999, '\n'));
    EXPECT_EQ(fits.second, "");
    EXPECT_EQ(fits.first.size(), 4999u * 4);
    /* ...one more would pass the bound: shown unconverted instead. */
    auto over = convert(std::string(5000, '\n'));
    EXPECT_EQ(over.second, SAFETY_MSG);
    EXPECT_EQ(over.first, std::string(5000, '\n'));
}

TEST(PanelLogs, UnconvertedFallbackKeepsTheNewestEscapedText)
{
    /* 14000 quotes cannot all be escaped into the buffer: the newest ones
     * that fit are kept, never more than the buffer holds. */
    std::string text = "oldest\n" + std::string(13990, '"') + "\nx";
    auto r = convert(text);
    EXPECT_EQ(r.second, SAFETY_MSG);
    EXPECT_LE(r.first.size(), size_t(PC_LOG_SIZE - 1));
    EXPECT_EQ(r.first.substr(r.first.size() - 8), "&quot;\nx");
    EXPECT_EQ(r.first.find("oldest"), std::string::npos);
    EXPECT_EQ(r.first.compare(0, 6, "&quot;"), 0);
}

class PanelLogFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        drevanta_setFileNames((tmp.path() + "/bin/").c_str());
        snprintf(pcSysLogFileName, sizeof(pcSysLogFileName), "%s", tmp.file("syslog").c_str());
        pcSystemLog[0] = '\0';
        pcApplicationLog[0] = '\0';
        controlPanelTab.nSysLogSize = 0;
        controlPanelTab.nAppLogSize = 0;
    }
    void sysLog(const std::string &text)
    {
        writeFile(pcSysLogFileName, text);
        controlPanelTab.updateSysLog((int)text.size());
    }

    qftest::TempDir tmp;
};

TEST_F(PanelLogFiles, OnlyTheLast14000BytesAreShown)
{
    /* Lines of 10 bytes and 3 more without a line end: the tail starts in
     * the middle of a line and its last piece is not shown. */
    std::string text;
    for (int i = 0; i < 2000; i++) text += "line " + std::to_string(1000 + i) + "\n";
    text += "abc";
    sysLog(text);
    std::string shown = pcSystemLog;
    EXPECT_EQ(shown.compare(0, 19, "e 1600<br>line 1601"), 0) << shown.substr(0, 20);
    EXPECT_EQ(shown.substr(shown.size() - 13), "line 2999<br>");
    EXPECT_EQ(controlPanelTab.nSysLogSize, 20003);
}

TEST_F(PanelLogFiles, EmptyOrMissingLogs)
{
    sysLog("a\nb\n");
    EXPECT_STREQ(pcSystemLog, "a<br>b<br>");
    EXPECT_EQ(controlPanelTab.nSysLogSize, 4);

    /* emptied: shown empty, the remembered size stays */
    sysLog("");
    EXPECT_STREQ(pcSystemLog, "");
    EXPECT_EQ(controlPanelTab.nSysLogSize, 4);

    /* missing: what was shown stays */
    sysLog("c\n");
    remove(pcSysLogFileName);
    controlPanelTab.updateSysLog(10);
    EXPECT_STREQ(pcSystemLog, "c<br>");
    EXPECT_EQ(controlPanelTab.nSysLogSize, 2);

    /* a size the file no longer has: the seek fails, nothing changes */
    writeFile(pcSysLogFileName, "d\n");
    controlPanelTab.updateSysLog(50);
    EXPECT_STREQ(pcSystemLog, "c<br>");
}

TEST_F(PanelLogFiles, ApplicationLogUnderTheProductDirectory)
{
    EXPECT_EQ(std::string(pcAppLogFileName), tmp.path() + "/bin/../log/errLog");
    ASSERT_EQ(mkdir(tmp.file("bin").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(tmp.file("log").c_str(), 0755), 0);
    writeFile(tmp.file("log/errLog"), "error <1>\n");
    controlPanelTab.updateAppLog(10);
    EXPECT_STREQ(pcApplicationLog, "error &lt;1&gt;<br>");
    EXPECT_EQ(controlPanelTab.nAppLogSize, 10);
}

}  // namespace
