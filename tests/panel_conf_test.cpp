/* tests/panel_conf_test.cpp: quorvel.conf as the Basic Setup tab reads and
 * rewrites it, and the values of posted forms. Works in a temporary product
 * directory only. */
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <thread>

#include "panel/panel.h"
#include "support/harness.h"

using qftest::readFile;
using qftest::writeFile;

namespace {

class PanelConf : public ::testing::Test {
protected:
    void SetUp() override
    {
        drevanta_setFileNames((tmp.path() + "/").c_str());
        writeFile(pcConfFileName, "");
    }
    std::string conf() { return readFile(pcConfFileName); }
    void setConf(const std::string &text) { writeFile(pcConfFileName, text); }

    qftest::TempDir tmp;
};

TEST_F(PanelConf, ReadConfValFindsTheFirstWordOfTheFirstNonEmptySetting)
{
    struct Case {
        int line;
        const char *text;
        const char *key;
        const char *want;   /* nullptr: no value */
    };
    const Case cases[] = {
        {__LINE__, "Key=5\r\n", "Key", "5"},
        {__LINE__, "Key=5", "Key", "5"},
        {__LINE__, "  Key = 5 rest of line\n", "Key", "5"},
        {__LINE__, "\tKey\t=\t5\n", "Key", "5"},
        {__LINE__, "Key=a=b\n", "Key", "a=b"},
        {__LINE__, "Key=\nKey=5\n", "Key", "5"},
        {__LINE__, "Key=  \r\nKey=7\r\n", "Key", "7"},
        {__LINE__, "Key=5\nKey=6\n", "Key", "5"},
        {__LINE__, ";Key=5\n", "Key", nullptr},
        {__LINE__, "   ;Key=5\n", "Key", nullptr},
        /* only spaces are skipped before the comment test */
        {__LINE__, "\t;Key=5\n", "Key", nullptr},
        {__LINE__, "\t;Key=5\n", ";Key", "5"},
        {__LINE__, "key=5\n", "Key", nullptr},
        {__LINE__, "KeyLonger=5\n", "Key", nullptr},
        {__LINE__, "Key 5\n", "Key", nullptr},
        {__LINE__, " =5\n", "Key", nullptr},
        {__LINE__, "Key=\n", "Key", nullptr},
        {__LINE__, "", "Key", nullptr},
        {__LINE__, "Other=1\nno equals here\nKey=x\n", "Key", "x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        setConf(c.text);
        const char *got = basicSetupTab.ReadConfVal(c.key);
        if (c.want == nullptr)
            EXPECT_EQ(got, nullptr) << got;
        else
            EXPECT_STREQ(got, c.want);
    }
}

TEST_F(PanelConf, ReadConfValTreatsALongLineAsSeveralPieces)
{
    /* What follows the first 999 characters of a line is a piece of its
     * own, and a setting there counts. */
    setConf(std::string(999, 'x') + "Key=tail\n");
    EXPECT_STREQ(basicSetupTab.ReadConfVal("Key"), "tail");
}

TEST_F(PanelConf, SaveParamValueRewritesOnlyTheLineOfTheKey)
{
    struct Case {
        int line;
        const char *before;
        const char *key;
        const char *value;
        const char *after;
    };
    const Case cases[] = {
        {__LINE__, "A=1\nKey=5\nB=2\n", "Key", "7", "A=1\nKey=7\r\nB=2\n"},
        {__LINE__, "  Key = 5 old comment\r\n", "Key", "7", "Key=7\r\n"},
        /* clearing comments the setting out, line end kept */
        {__LINE__, "A=1\nKey=5\nB=2\n", "Key", "", "A=1\n;Key=5\nB=2\n"},
        {__LINE__, "Key=5\r\n", "Key", "", ";Key=5\r\n"},
        /* a key without a value takes the place of its commented line */
        {__LINE__, "A=1\n;Key=5\nB=2\n", "Key", "7", "A=1\nKey=7\r\nB=2\n"},
        {__LINE__, "; ;Key=5\n", "Key", "7", "Key=7\r\n"},
        {__LINE__, "Key=\r\nB=2\r\n", "Key", "7", "Key=7\r\nB=2\r\n"},
        /* the first of an empty and a set line is the one replaced */
        {__LINE__, "Key=\nKey=5\n", "Key", "7", "Key=7\r\nKey=5\n"},
        /* nowhere in the file: appended, on a line of its own */
        {__LINE__, "A=1\n", "Key", "7", "A=1\nKey=7\r\n"},
        {__LINE__, "A=1", "Key", "7", "A=1\r\nKey=7\r\n"},
        {__LINE__, "A=1\r", "Key", "7", "A=1\rKey=7\r\n"},
        {__LINE__, "", "Key", "7", "Key=7\r\n"},
        /* a commented line of another key stays */
        {__LINE__, ";KeyOther=1\n", "Key", "7", ";KeyOther=1\nKey=7\r\n"},
        /* a value is copied as sent: '+' stays '+' */
        {__LINE__, "Secret=old\n", "Secret", "my+pass%21", "Secret=my+pass%21\r\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        setConf(c.before);
        basicSetupTab.saveParamValue(c.key, c.value);
        EXPECT_EQ(conf(), c.after);
        EXPECT_FALSE(qftest::fileExists(pcTmpConfFileName));
    }
}

TEST_F(PanelConf, SaveWithoutChangeLeavesTheFileAlone)
{
    struct Case {
        int line;
        const char *text;
        const char *key;
        const char *value;
    };
    const Case cases[] = {
        {__LINE__, "Key=5\n", "Key", "5"},
        {__LINE__, ";Key=5\n", "Key", ""},
        {__LINE__, "Key=\n", "Key", ""},
        {__LINE__, "A=1", "Key", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        setConf(c.text);
        /* an old time, so that any rewrite would show */
        struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, pcConfFileName, old, 0), 0);
        basicSetupTab.saveParamValue(c.key, c.value);
        struct stat st;
        ASSERT_EQ(stat(pcConfFileName, &st), 0);
        EXPECT_EQ(st.st_mtime, 1000000000);
        EXPECT_EQ(conf(), c.text);
    }
}

TEST_F(PanelConf, SaveKeepsTheFileModeAndAFailedRenameKeepsTheOldFile)
{
    setConf("Key=5\n");
    ASSERT_EQ(chmod(pcConfFileName, 0640), 0);
    basicSetupTab.saveParamValue("Key", "6");
    struct stat st;
    ASSERT_EQ(stat(pcConfFileName, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    /* A directory where the temporary file should go: it cannot be
     * created, so nothing changes and nothing is said. */
    ASSERT_EQ(mkdir(pcTmpConfFileName, 0755), 0);
    testing::internal::CaptureStderr();
    basicSetupTab.saveParamValue("Key", "7");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(conf(), "Key=6\r\n");
}

TEST_F(PanelConf, ReadValFromPostDataTakesTheTextAfterTheFirstOccurrence)
{
    struct Case {
        int line;
        const char *body;
        const char *name;
        const char *want;
    };
    const Case cases[] = {
        {__LINE__, "A=1&B=2", "B", "2"},
        {__LINE__, "A=1&B=2&C=3", "B", "2"},
        {__LINE__, "A=1", "B", ""},
        {__LINE__, "A=", "A", ""},
        {__LINE__, "A", "A", ""},
        {__LINE__, "A=&B=2", "A", ""},
        {__LINE__, "Secret=my+pass%21&x=1", "Secret", "my+pass%21"},
        /* the name found inside an earlier value counts */
        {__LINE__, "TrunkName=xSecret=y&Secret=z", "Secret", "y"},
        {__LINE__, "", "A", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string body = c.body;
        EXPECT_STREQ(basicSetupTab.readValFromPostData(&body[0], c.name), c.want);
        EXPECT_EQ(body, c.body);
    }
}

TEST_F(PanelConf, ReadValFromPostDataCutsALongValue)
{
    std::string body = "A=" + std::string(PC_VALUE_SIZE + 500, 'v') + "&B=1";
    const char *got = basicSetupTab.readValFromPostData(body.c_str(), "A");
    EXPECT_EQ(std::string(got), std::string(PC_VALUE_SIZE - 1, 'v'));
}

/* A form as a browser sends it: unchecked boxes are absent. */
static const char full_form[] =
    "SipProxyIP=10.0.0.1&SipProxyPort=5070&SipProxyDomain=pbx.lan&SipUaIP=10.0.0.2"
    "&SipUaPort=5061&TrunkName=T1&RegisterTrunk=on&NumberOfPhones=4"
    "&PrefixOfOrigPhones=Orig&PrefixOfPairPhones=Pair&RegisterPairPhones=on&Secret=s+s"
    "&AudioFilteringNoise=on&AECTail=3&AudioFilteringGain=on&AGCLevel=64000"
    "&basicsetupbutton=Save";

TEST_F(PanelConf, SaveClickedWritesEveryKeyInOrder)
{
    setConf("; demo\r\nBypassVAD=1\r\nLogLevel=3\r\n");
    basicSetupTab.saveClicked(full_form);
    EXPECT_EQ(conf(),
              "; demo\r\n"
              "BypassVAD=0\r\n"
              "LogLevel=3\r\n"
              "SipProxyIP=10.0.0.1\r\n"
              "SipProxyPort=5070\r\n"
              "SipProxyDomain=pbx.lan\r\n"
              "SipUAIP=10.0.0.2\r\n"
              "SipUAPort=5061\r\n"
              "NeedToDoNoiseCancellation=1\r\n"
              "NeedToDoAEC=0\r\n"
              "AECTailType=3\r\n"
              "NeedToDoAGC=1\r\n"
              "AGCLevel=64000\r\n"
              "TrunkName=T1\r\n"
              "RegisterTrunk=1\r\n"
              "NumPhonesToAllocate=4\r\n"
              "OrigPhonesNamePrefix=Orig\r\n"
              "RegisterOrigPhones=0\r\n"
              "PairPhonesNamePrefix=Pair\r\n"
              "RegisterPairPhones=1\r\n"
              "Secret=s+s\r\n");
}

TEST_F(PanelConf, SaveClickedChecksBoxesAndNumberLimits)
{
    struct Case {
        int line;
        const char *form;
        const char *key;
        const char *want;   /* nullptr: no value after the save */
    };
    /* The numbers of the form match the file unless a row changes them. */
    const Case cases[] = {
        {__LINE__, "AudioFilteringEcho=on&AECTail=1&AGCLevel=100", "NeedToDoAEC", "1"},
        {__LINE__, "AudioFilteringEcho=ON&AECTail=1&AGCLevel=100", "NeedToDoAEC", "0"},
        {__LINE__, "AudioFilteringEcho=onx&AECTail=1&AGCLevel=100", "NeedToDoAEC", "0"},
        {__LINE__, "AECTail=1&AGCLevel=100", "NeedToDoAEC", "0"},
        {__LINE__, "AECTail=5&AGCLevel=100", "AECTailType", "5"},
        {__LINE__, "AECTail=6&AGCLevel=100", "AECTailType", "1"},
        {__LINE__, "AECTail=-1&AGCLevel=100", "AECTailType", "1"},
        {__LINE__, "AECTail=3x&AGCLevel=100", "AECTailType", "3x"},
        {__LINE__, "AECTail=99999999999999&AGCLevel=100", "AECTailType", "1"},
        {__LINE__, "AECTail=%204&AGCLevel=100", "AECTailType", "%204"},
        /* an empty field counts as 0 and so clears the key */
        {__LINE__, "AECTail=&AGCLevel=100", "AECTailType", nullptr},
        {__LINE__, "AECTail=1&AGCLevel=64000", "AGCLevel", "64000"},
        {__LINE__, "AECTail=1&AGCLevel=64001", "AGCLevel", "100"},
        {__LINE__, "AudioFilteringGain=on&AECTail=1&AGCLevel=100", "NeedToDoAGC", "1"},
        {__LINE__, "AudioFilteringGain=on&AECTail=1&AGCLevel=100", "BypassVAD", "0"},
        {__LINE__, "AECTail=1&AGCLevel=100", "NeedToDoAGC", "0"},
        {__LINE__, "AECTail=1&AGCLevel=100", "BypassVAD", "1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        setConf("AECTailType=1\r\nAGCLevel=100\r\nBypassVAD=1\r\n");
        basicSetupTab.saveClicked(c.form);
        const char *got = basicSetupTab.ReadConfVal(c.key);
        if (c.want == nullptr)
            EXPECT_EQ(got, nullptr) << got;
        else
            EXPECT_STREQ(got, c.want);
    }
}

/* Saves from request threads and page writes from the refresh thread at
 * once: no look-up may ever find quorvel.conf missing (that would end this
 * process), no Save may lose its temporary file to another, and the file
 * must come out whole. */
TEST_F(PanelConf, ConcurrentSavesAndPageWritesKeepTheFileWhole)
{
    ASSERT_EQ(mkdir((tmp.path() + "/images").c_str(), 0755), 0);
    writeFile(pcPrefixDrevantaGuiHtmlFileName, "<html><head>\n");
    setConf("; start\r\n");

    auto saver = [](const char *form) {
        for (int i = 0; i < 150; i++) basicSetupTab.saveClicked(form);
    };
    testing::internal::CaptureStderr();
    std::thread a(saver, "SipProxyIP=1.1.1.1&TrunkName=A&AECTail=1&AGCLevel=1");
    std::thread b(saver, "SipProxyIP=2.2.2.2&TrunkName=B&AECTail=2&AGCLevel=2");
    std::thread pages([] {
        for (int i = 0; i < 100; i++) controlPanelTab.writeHtml();
    });
    a.join();
    b.join();
    pages.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    /* Every line is the first one or a whole setting, each key once. */
    std::string text = conf();
    std::set<std::string> keys;
    size_t at = 0, nl;
    while ((nl = text.find("\r\n", at)) != std::string::npos) {
        std::string line = text.substr(at, nl - at);
        at = nl + 2;
        if (line == "; start") continue;
        size_t eq = line.find('=');
        ASSERT_NE(eq, std::string::npos) << line;
        EXPECT_TRUE(keys.insert(line.substr(0, eq)).second) << line;
    }
    EXPECT_EQ(at, text.size()) << text;
    EXPECT_EQ(keys.size(), 10u) << text;   /* the fields sent, and the four boxes */
    EXPECT_FALSE(qftest::fileExists(pcTmpConfFileName));
}

TEST_F(PanelConf, MissingConfigurationFileEndsTheProcess)
{
    remove(pcConfFileName);
    std::string msg = std::string("Can not read conf file ") + pcConfFileName +
                      ". Please verify DREVANTA_BIN is pointing to the right directory.\n";
    EXPECT_EXIT(basicSetupTab.ReadConfVal("Key"), ::testing::ExitedWithCode(1), msg);
}

}  // namespace
