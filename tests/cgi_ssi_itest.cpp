/* tests/cgi_ssi_itest.cpp: pages with include and exec directives served by the real binary. */
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "support/harness.h"

namespace {

const char SSI_HEAD[] = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n";

/* Every kind of directive, and a chain of pages each including the next:
 * ten levels below the requested page are expanded, the eleventh is cut
 * off. Failures stay out of the page and go to the error log. */
TEST(CgiSsiServer, DirectivesAreExpanded)
{
    qftest::ProductDir product;
    qftest::TempDir root, logs, outside;
    qftest::ServerProcess srv;
    int port = qftest::freePort();
    const std::string log = logs.file("error.log");
    mkdir(root.file("sub").c_str(), 0755);

    qftest::writeFile(root.file("top.txt"), "TOP");
    qftest::writeFile(outside.file("abs.txt"), "ABS");
    qftest::writeFile(root.file("sub/rel.txt"), "REL");
    qftest::writeFile(root.file("sub/page.shtml"),
                      "<h1>t</h1>"
                      "[<!--#include virtual=\"top.txt\" -->]"
                      "[<!--#include file=\"" + outside.file("abs.txt") + "\" -->]"
                      "[<!--#include \"rel.txt\" -->]"
                      "[<!--#exec \"echo run\" -->]"
                      "[<!--#flastmod virtual=\"top.txt\" -->]"
                      "[<!--#include virtual=\"missing.txt\" -->]");
    std::string chain;
    for (int i = 0; i <= 12; i++) {
        qftest::writeFile(root.file("sub/n" + std::to_string(i) + ".shtml"),
                          "<" + std::to_string(i) + ">" + "<!--#include \"n" +
                              std::to_string(i + 1) + ".shtml\" -->");
        if (i <= 10)
            chain += "<" + std::to_string(i) + ">";
    }

    ASSERT_TRUE(srv.start({"-ports", std::to_string(port), "-root", root.path(), "-error_log", log},
                          product.bin().c_str()));
    ASSERT_TRUE(srv.waitForOutput("started on port"));
    auto get = [&](const std::string &uri) {
        return qftest::rawRequest(port, "GET " + uri + " HTTP/1.1\r\nHost: x\r\n\r\n");
    };
    auto logged = [&](const std::string &text) {
        return qftest::waitFor(
            [&] { return qftest::readFile(log).find(text) != std::string::npos; }, 5000);
    };

    EXPECT_EQ(get("/sub/page.shtml"),
              std::string(SSI_HEAD) + "<h1>t</h1>[TOP][ABS][REL][run\n][][]");
    EXPECT_TRUE(logged("GET /sub/page.shtml: " + root.file("sub/page.shtml") +
                       ": unknown SSI command: \"<!--#flastmod virtual=\"top.txt\" -->\""));
    EXPECT_TRUE(logged("Cannot open SSI #include: [ virtual=\"missing.txt\" -->]: fopen(" +
                       root.path() + "/missing.txt): No such file or directory"));

    EXPECT_EQ(get("/sub/n0.shtml"), SSI_HEAD + chain);
    EXPECT_TRUE(logged("SSI #include level is too deep (" + root.file("sub/n11.shtml") + ")"));
}

}  // namespace
