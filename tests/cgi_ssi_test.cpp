/* tests/cgi_ssi_test.cpp: the include and exec directives of a page: tag scanning, directive forms, nesting and what goes to the error log. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "cgi_test_conn.h"
#include "support/harness.h"

namespace {

using qftest::TestConn;
using Lines = std::vector<std::string>;

class CgiSsi : public ::testing::Test {
protected:
    void SetUp() override
    {
        t.setOption(OPT_ROOT, root.path().c_str());
        t.setOption(OPT_SSI_EXTENSIONS, ".shtml,.shtm");
        write("inc.txt", "INC");
        write("a>", "GT");
        write("sub/rel.txt", "REL");
        write("sub/plain.html", "<!--#exec \"echo no\"-->");  /* not expanded */
        write("sub/nest.shtml", "[<!--#include \"rel.txt\"-->]");
        qftest::take_bare_log();
    }

    void write(const std::string &name, const std::string &data)
    {
        std::string path = root.file(name);
        size_t slash = path.rfind('/');
        mkdir(path.substr(0, slash).c_str(), 0755);
        qftest::writeFile(path, data);
    }

    /* Sends the page stored as name; returns what the client got. */
    std::string send(const std::string &name)
    {
        std::string path = root.file(name);
        FILE *fp = fopen(path.c_str(), "rb");
        EXPECT_NE(fp, nullptr) << path;
        if (fp == nullptr)
            return "";
        t.conn.num_bytes_sent = 0;
        std::string got = t.capture([&] { send_ssi_file(&t.conn, path.c_str(), fp, 0); });
        fclose(fp);
        return got;
    }

    qftest::TempDir root;
    TestConn t;
};

TEST_F(CgiSsi, DirectivesAndPageText)
{
    const std::string abs = root.file("inc.txt");
    struct Case {
        int line;
        std::string page;
        std::string sent;
        Lines log;                 /* texts that some log line must contain */
    };
    const Case cases[] = {
        {__LINE__, "plain text, no tags", "plain text, no tags", {}},
        {__LINE__, "<b>x</b><!-- comment --><!--#", "<b>x</b><!-- comment --><!--#", {}},
        {__LINE__, "<abcd<!--#include virtual=\"inc.txt\"-->", /* five characters decide */
         "<abcd<!--#include virtual=\"inc.txt\"-->", {}},
        {__LINE__, "a<!--#include virtual=\"inc.txt\" -->b", "aINCb", {}},
        {__LINE__, "<!--#include virtual=\"/inc.txt\"-->", "INC", {}},
        {__LINE__, "<!--#include file=\"" + abs + "\"-->", "INC", {}},
        {__LINE__, "<!--#include  \t\"sub/rel.txt\"  -->", "REL", {}},
        {__LINE__, "<!--#include \"sub/rel.txt\">", "REL", {}},             /* a bare '>' ends it */
        {__LINE__, "<!--#include \"a>", "GT", {}},                          /* no closing quote */
        {__LINE__, "<!--#includevirtual=\"inc.txt\"-->", "INC", {}},        /* word read by prefix */
        {__LINE__, "<!--#include \"a>b\" -->", "GTb\" -->", {}},            /* '>' inside ends the tag */
        {__LINE__, "<!--#include \"sub/nest.shtml\"-->", "[REL]", {}},
        {__LINE__, "<!--#include \"sub/plain.html\"-->", "<!--#exec \"echo no\"-->", {}},
        {__LINE__, "<!--#exec \"echo hi; echo there\"-->!", "hi\nthere\n!", {}},
        {__LINE__, "<!--#execute \"echo x\"-->", "", {"Bad SSI #exec: [ute \"echo x\"-->]"}},
        {__LINE__, "<!--#exec echo-->", "", {"Bad SSI #exec: [ echo-->]"}},
        {__LINE__, "<!--#include virtual=inc.txt-->", "",
         {"Bad SSI #include: [ virtual=inc.txt-->]"}},
        {__LINE__, "<!--#include virtual=\"\"-->", "", {"Bad SSI #include: [ virtual=\"\"-->]"}},
        {__LINE__, "<!--#include virtual=\"gone\"-->x", "x",
         {"Cannot open SSI #include: [ virtual=\"gone\"-->]: fopen(" + root.file("gone") +
          "): No such file or directory"}},
        {__LINE__, "<!--#echo var=\"x\"-->y", "y",
         {root.file("page.shtml") + ": unknown SSI command: \"<!--#echo var=\"x\"-->\""}},
        {__LINE__, "<!--#>", "", {"unknown SSI command: \"<!--#>\""}},
        {__LINE__, "tail <!--#include \"inc.txt\"", "tail <!--#include \"inc.txt\"", {}},
        /* a page that includes itself: itself and ten levels below it */
        {__LINE__, "L<!--#include \"page.shtml\"-->", std::string(11, 'L'),
         {"SSI #include level is too deep (" + root.file("page.shtml") + ")"}},
        /* a tag still open at 8190 characters is dropped; the scan restarts */
        {__LINE__, "<!--#" + std::string(9000, 'x') + ">z", std::string(9005 - 8190, 'x') + ">z",
         {root.file("page.shtml") + ": SSI tag is too large"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        write("page.shtml", c.page);
        EXPECT_EQ(send("page.shtml"), c.sent);
        Lines log = qftest::take_bare_log();
        EXPECT_EQ(log.size(), c.log.size());
        for (const std::string &text : c.log)
            EXPECT_TRUE(qftest::logged(log, text)) << text;
    }
}

/* Included files and command output count for the access log; the page's
 * own text does not. */
TEST_F(CgiSsi, OnlyInsertedBytesAreCounted)
{
    write("page.shtml", "0123456789<!--#include \"inc.txt\"--><!--#exec \"printf ab\"-->");
    EXPECT_EQ(send("page.shtml"), "0123456789INCab");
    EXPECT_EQ(t.conn.num_bytes_sent, 5u);
}

}  // namespace
