/* tests/panel_test.cpp: quorvel.conf as Basic Setup rewrites it, the pages, log tails, start command. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <set>

#include "panel/panel.h"
#include "support/harness.h"

using qftest::readFile;
using qftest::writeFile;

namespace {

#define STYLE "class=\"controlbutton\" style=\"font: bold 12px Verdana, sans-serif\""
const char PREFIX[] = "<!DOCTYPE html>\r\n<html><head><title>t</title>\n";

class Panel : public ::testing::Test {
protected:
    void SetUp() override
    {
        drevanta_setFileNames((tmp.path() + "/").c_str());
        mkdir(tmp.file("images").c_str(), 0755);
        writeFile(pcPrefixDrevantaGuiHtmlFileName, PREFIX);
        writeFile(pcConfFileName, "");
        snprintf(controlPanelTab.pcStatusLine, PC_STATUS_LINE_SIZE, "%s", "Not Running");
        controlPanelTab.bRunning = false;
        pcSystemLog[0] = pcApplicationLog[0] = '\0';
    }
    std::string conf() { return readFile(pcConfFileName); }
    std::string page()
    {
        EXPECT_EQ(controlPanelTab.writeHtml(), 0);
        return readFile(pcDrevantaGuiHtmlFileName);
    }
    qftest::TempDir tmp;
};

/* Only the key's line changes; a save that changes nothing leaves the file untouched. */
TEST_F(Panel, SaveParamValueRewritesOnlyTheLineOfTheKey)
{
    const struct { int line; const char *before, *value, *after; } cases[] = {
        {__LINE__, "A=1\n  Key = 5 old\nB=2\n", "7", "A=1\nKey=7\r\nB=2\n"},
        {__LINE__, "A=1\nKey=5\r\nB=2\n", "", "A=1\n;Key=5\r\nB=2\n"},
        {__LINE__, "A=1\n; ;Key=5\nB=2\n", "7", "A=1\nKey=7\r\nB=2\n"},
        {__LINE__, "Key=\nKey=5\n", "7", "Key=7\r\nKey=5\n"},
        {__LINE__, ";KeyOther=1\n", "7", ";KeyOther=1\nKey=7\r\n"},
        {__LINE__, "A=1", "my+pass%21", "A=1\r\nKey=my+pass%21\r\n"},
        {__LINE__, "Key=5\n", "5", nullptr},
        {__LINE__, ";Key=5\n", "", nullptr},
        {__LINE__, "A=1", "", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        writeFile(pcConfFileName, c.before);
        struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, pcConfFileName, old, 0), 0);
        basicSetupTab.saveParamValue("Key", c.value);
        EXPECT_EQ(conf(), c.after != nullptr ? c.after : c.before);
        struct stat st;
        EXPECT_TRUE(stat(pcConfFileName, &st) == 0 && (st.st_mtime == 1000000000) == (c.after == nullptr));
        EXPECT_FALSE(qftest::fileExists(pcTmpConfFileName));
    }
}

TEST_F(Panel, SaveClickedWritesEveryKeyInOrder)
{
    writeFile(pcConfFileName, "; demo\r\nBypassVAD=1\r\nLogLevel=3\r\n");
    basicSetupTab.saveClicked("SipProxyIP=10.0.0.1&SipProxyPort=5070&SipProxyDomain=pbx.lan&SipUaIP=10.0.0.2"
                              "&SipUaPort=5061&TrunkName=T1&RegisterTrunk=on&NumberOfPhones=4"
                              "&PrefixOfOrigPhones=Orig&PrefixOfPairPhones=Pair&RegisterPairPhones=on&Secret=s%2Bs%26%3D%C3%BC"
                              "&AudioFilteringNoise=on&AECTail=3&AudioFilteringGain=on&AGCLevel=64000"
                              "&basicsetupbutton=Save");
    EXPECT_EQ(conf(), "; demo\r\nBypassVAD=0\r\nLogLevel=3\r\nSipProxyIP=10.0.0.1\r\nSipProxyPort=5070\r\n"
                      "SipProxyDomain=pbx.lan\r\nSipUAIP=10.0.0.2\r\nSipUAPort=5061\r\n"
                      "NeedToDoNoiseCancellation=1\r\nNeedToDoAEC=0\r\nAECTailType=3\r\nNeedToDoAGC=1\r\n"
                      "AGCLevel=64000\r\nTrunkName=T1\r\nRegisterTrunk=1\r\nNumPhonesToAllocate=4\r\n"
                      "OrigPhonesNamePrefix=Orig\r\nRegisterOrigPhones=0\r\nPairPhonesNamePrefix=Pair\r\n"
                      "RegisterPairPhones=1\r\nSecret=s+s&=\xC3\xBC\r\n");
}

/* Values come as the shared form reader gives them (its own test covers names and decoding); what
 * quorvel.conf cannot hold as one word is refused, not cut. */
TEST_F(Panel, FormValuesAreDecodedAndRefusedWhole)
{
    const std::string fits(PC_VALUE_SIZE - 1, 'v');
    const struct { int line; std::string body, want; bool refused; } cases[] = {
        {__LINE__, "Secret=a%2Bb+%3D", "", true},
        {__LINE__, "Secret=Q%22%3E%3Cb%3E%26%25y", "Q\"><b>&%y", false},
        {__LINE__, "Secret=", "", false}, {__LINE__, "secret=x", "", false},   /* the case the form gives */
        {__LINE__, "Secret=a%0D%0AKey=1", "", true},
        {__LINE__, "Secret=a%00b", "", true},
        {__LINE__, "Secret=a%7Fb", "", true},
        {__LINE__, "Secret=a%09b", "", true},
        {__LINE__, "Secret=" + fits, fits, false},
        {__LINE__, "Secret=" + fits + "v", "", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        bool refused = !c.refused;
        EXPECT_EQ(basicSetupTab.readValFromPostData(c.body.c_str(), "Secret", &refused), c.want);
        EXPECT_EQ(refused, c.refused);
    }
    /* A Save whose refused values are the only changes leaves the file as it was, byte for byte. */
    const std::string before = "Secret=old\r\nTrunkName=T\r\nAECTailType=1\r\nNeedToDoAEC=0\r\n";
    writeFile(pcConfFileName, before);
    basicSetupTab.saveClicked("Secret=new%0D%0AInjected%3D1&TrunkName=a+b&AECTail=%201&AudioFilteringEcho=o%0An");
    std::string after = conf();
    EXPECT_EQ(after.substr(0, before.size()), before);
    EXPECT_EQ(after.find("Injected"), std::string::npos);
    EXPECT_EQ(after.find("a b"), std::string::npos);
}

TEST_F(Panel, SaveClickedChecksBoxesAndNumberLimits)
{
    const struct { int line; const char *form, *key, *want; } cases[] = {
        {__LINE__, "AudioFilteringEcho=ON&AECTail=1&AGCLevel=100", "NeedToDoAEC", "0"},
        {__LINE__, "AECTail=5&AGCLevel=100", "AECTailType", "5"},
        {__LINE__, "AECTail=6&AGCLevel=100", "AECTailType", "1"},
        {__LINE__, "AECTail=-1&AGCLevel=100", "AECTailType", "1"},
        {__LINE__, "AECTail=99999999999999&AGCLevel=100", "AECTailType", "1"},
        {__LINE__, "AECTail=&AGCLevel=100", "AECTailType", "<none>"},
        {__LINE__, "AECTail=1&AGCLevel=64001", "AGCLevel", "100"},
        {__LINE__, "AECTail=1&AGCLevel=100", "BypassVAD", "1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        writeFile(pcConfFileName, "AECTailType=1\r\nAGCLevel=100\r\nBypassVAD=1\r\n");
        basicSetupTab.saveClicked(c.form);
        const char *v = basicSetupTab.ReadConfVal(c.key);
        EXPECT_STREQ(v != nullptr ? v : "<none>", c.want);
    }
}

/* Concurrent saves and page writes: the file never goes missing and ends whole. */
TEST_F(Panel, ConcurrentSavesAndPageWritesKeepTheFileWhole)
{
    writeFile(pcConfFileName, "; start\r\n");
    auto saver = [](const char *form) { for (int i = 0; i < 150; i++) basicSetupTab.saveClicked(form); };
    testing::internal::CaptureStderr();
    std::thread a(saver, "SipProxyIP=1.1.1.1&TrunkName=A&AECTail=1&AGCLevel=1");
    std::thread b(saver, "SipProxyIP=2.2.2.2&TrunkName=B&AECTail=2&AGCLevel=2");
    for (int i = 0; i < 100; i++) controlPanelTab.writeHtml();
    a.join();
    b.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::string text = conf();
    std::set<std::string> keys;
    for (size_t at = 9, nl; (nl = text.find("\r\n", at)) != std::string::npos; at = nl + 2) {
        size_t eq = text.find('=', at);
        EXPECT_TRUE(eq < nl && keys.insert(text.substr(at, eq - at)).second) << text;
    }
    EXPECT_EQ(text.rfind("; start\r\n", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(keys.size(), 10u) << text;   /* the fields sent, and the four boxes */
    EXPECT_FALSE(qftest::fileExists(pcTmpConfFileName));
}

TEST_F(Panel, MissingFilesEndTheProcess)
{
    remove(pcPrefixDrevantaGuiHtmlFileName);
    EXPECT_EXIT(controlPanelTab.writeHtml(), ::testing::ExitedWithCode(1),
                std::string("Unable to open ") + pcPrefixDrevantaGuiHtmlFileName +
                    " for reading.\nPlease verify DREVANTA_BIN points to the right directory "
                    "and there are no permission problems.\n");
    remove(pcConfFileName);
    EXPECT_EXIT(basicSetupTab.ReadConfVal("Key"), ::testing::ExitedWithCode(1),
                std::string("Can not read conf file ") + pcConfFileName +
                    ". Please verify DREVANTA_BIN is pointing to the right directory.\n");
}

TEST_F(Panel, PageCopiesThePrefixAndShowsTheState)
{
    std::string prefix = std::string(PREFIX) + std::string(2500, 'p') + "\r\n";
    writeFile(pcPrefixDrevantaGuiHtmlFileName, prefix);
    std::string text = page();
    EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0);
    const std::string end = "</div></body></html>\n";
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
    EXPECT_NE(text.find("VALUE=\"Start\" " STYLE ">Start</button>\n &nbsp; &nbsp;\n<button "
                        "type=SUBMIT NAME=\"controlbutton\" VALUE=\"Stop\" disabled=\"disabled\""),
              std::string::npos);

    snprintf(controlPanelTab.pcStatusLine, PC_STATUS_LINE_SIZE, "%s", "a\"><b>");
    controlPanelTab.bRunning = true;
    snprintf(pcSystemLog, sizeof(pcSystemLog), "%s", "sys<br>");
    text = page();
    EXPECT_NE(text.find("VALUE=\"Start\" disabled=\"disabled\" " STYLE ">Start</button>\n"
                        " &nbsp; &nbsp;\n<button type=SUBMIT NAME=\"controlbutton\" "
                        "VALUE=\"Stop\" " STYLE ">Stop</button>"),
              std::string::npos);
    EXPECT_NE(text.find("name=\"StatusLine\" value=\"a&quot;&gt;&lt;b&gt;\"/>"), std::string::npos);
    EXPECT_NE(text.find("overflow:auto;\">sys<br></div>"), std::string::npos);
}

TEST_F(Panel, BasicSetupFieldsFollowTheConfigurationFile)
{
    const struct { int line; const char *conf, *want; } cases[] = {
        {__LINE__, "", "name=\"RegisterTrunk\" checked=\"yes\"/>"},
        {__LINE__, "RegisterTrunk=yes\n", "name=\"RegisterTrunk\" checked=\"yes\"/>"},
        {__LINE__, "RegisterOrigPhones=yes\n", "name=\"RegisterOrigPhones\"/>"},
        {__LINE__, "RegisterOrigPhones=1\n", "name=\"RegisterOrigPhones\" checked=\"yes\"/>"},
        {__LINE__, "", "name=\"AudioFilteringNoise\" checked=\"yes\"/>"},
        {__LINE__, "", "name=\"AudioFilteringEcho\"/>"},
        {__LINE__, "OrigPhonesNamePrefix=\n", "name=\"PrefixOfOrigPhones\" value=\"DrevantaOrig\"/>"},
        {__LINE__, "Secret=a\"b<c>&'\n", "name=\"Secret\" value=\"a&quot;b&lt;c&gt;&amp;&#39;\"/>"},
        /* the first word of the first line that sets the key, the key exactly */
        {__LINE__, "SipUAIP=  \r\nSipUAIP = a=b rest\nSipUAIP=2\n", "name=\"SipUaIP\" value=\"a=b\"/>"},
        {__LINE__, " ;TrunkName=T\ntrunkname=T\nTrunkNameX=T\n", "name=\"TrunkName\" value=\"\"/>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        writeFile(pcConfFileName, c.conf);
        EXPECT_NE(page().find(c.want), std::string::npos) << c.want;
    }
}

/* The conversion of a log tail; the buffer and what went to stderr. */
std::pair<std::string, std::string> convert(const std::string &text)
{
    static char buf[PC_LOG_SIZE];
    snprintf(buf, sizeof(buf), "%s", text.c_str());
    testing::internal::CaptureStderr();
    controlPanelTab.replaceNewlineWithBrInLog(buf);
    return {buf, testing::internal::GetCapturedStderr()};
}

TEST_F(Panel, LogLinesBecomeEscapedTextWithBr)
{
    auto r = convert("<b>&\"'\r\nnext\nunfinished");
    EXPECT_EQ(r.first, "&lt;b&gt;&amp;&quot;&#39;\r<br>next<br>");
    EXPECT_EQ(r.second, "");
    EXPECT_EQ(convert(std::string(4999, '\n')).first.size(), 4999u * 4);
    /* one line more would pass the bound: shown without line breaks */
    const std::string msg = "safety buffer was not enough to handle log - going to display without newlines\n";
    EXPECT_EQ(convert(std::string(5000, '\n')), std::make_pair(std::string(5000, '\n'), msg));
    /* escaped, the fallback text would not fit: its newest part stays */
    r = convert("oldest\n" + std::string(13990, '"') + "\nx");
    EXPECT_EQ(r.second, msg);
    EXPECT_LE(r.first.size(), size_t(PC_LOG_SIZE - 1));
    EXPECT_EQ(r.first.compare(0, 6, "&quot;"), 0);
    EXPECT_EQ(r.first.substr(r.first.size() - 8), "&quot;\nx");
}

TEST_F(Panel, OnlyTheLast14000BytesOfALogAreShown)
{
    snprintf(pcSysLogFileName, sizeof(pcSysLogFileName), "%s", tmp.file("syslog").c_str());
    std::string text;
    for (int i = 0; i < 2000; i++) text += "line " + std::to_string(1000 + i) + "\n";
    writeFile(pcSysLogFileName, text + "abc");
    controlPanelTab.updateSysLog((int)text.size() + 3);
    std::string shown = pcSystemLog;
    EXPECT_EQ(shown.compare(0, 19, "e 1600<br>line 1601"), 0) << shown.substr(0, 20);
    EXPECT_EQ(shown.substr(shown.size() - 13), "line 2999<br>");
    EXPECT_EQ(controlPanelTab.nSysLogSize, 20003);
}

/* The shell gets the same three paths, whatever the directory holds. */
TEST(PanelStart, CommandQuotesTheProductDirectory)
{
    for (std::string b : {std::string("/opt/it's $(touch x);`y`\"z\\/"),
                          std::string(PC_MAX_BIN_LENGTH - 1, '\'') + "/"}) {
        drevanta_setFileNames(b.c_str());
        char cmd[PC_START_COMMAND_SIZE], small[64];
        ASSERT_TRUE(controlPanelTab.formatStartCommand(cmd, sizeof(cmd)));
        EXPECT_FALSE(controlPanelTab.formatStartCommand(small, sizeof(small)));
        std::string c = cmd, tail = " > /dev/null  &", out;
        ASSERT_EQ(c.substr(c.size() - tail.size()), tail);
        ASSERT_EQ(c.rfind("nohup ", 0), 0u);
        out = qftest::runCommand("printf '%s\\n' " + c.substr(6, c.size() - 6 - tail.size()));
        EXPECT_EQ(out, b + "drevanta_guard\n" + b + "drevantaquorvel\n" + b + "quorvel.conf\n");
    }
}

}  // namespace
