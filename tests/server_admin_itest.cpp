/* tests/server_admin_itest.cpp: the administration page through the real binary: the option table, saving an option, escaping. */
#include <gtest/gtest.h>

#include <string>

#include "support/harness.h"

namespace {

const char HEAD[] = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"
                    "<html><body><h1>Quillfen v. 2.8</h1>";
const char TABLE[] = "<table border=\"1\"<tr><th>Option</th><th>Description</th>"
                     "<th colspan=2>Value</th></tr>";
const char TAIL[] = "</table></body></html>";

std::string
row(const std::string &name, const std::string &description, const std::string &value)
{
    return "<form method=post><tr><td>" + name + "</td><td>" + description +
           "</td><input type=hidden name=o value='" + name +
           "'><td><input type=text name=v value='" + value +
           "'></td><td><input type=submit value=save></td></form></tr>";
}

size_t
count(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1))
        n++;
    return n;
}

class ServerAdmin : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        product = new qftest::ProductDir;
        root = new qftest::TempDir;
        port = qftest::freePort();
        server = new qftest::ServerProcess;
        ASSERT_TRUE(server->start({"-ports", std::to_string(port), "-root", root->path(),
                                   "-admin_uri", "/admin", "-error_log", root->file("error.log")},
                                  product->bin().c_str()));
        ASSERT_TRUE(server->waitForOutput("started on port"));
    }

    static void TearDownTestSuite()
    {
        delete server;
        delete root;
        delete product;
    }

    static std::string get(const std::string &uri)
    {
        return qftest::rawRequest(port, "GET " + uri + " HTTP/1.1\r\nHost: x\r\n\r\n");
    }

    static std::string post(const std::string &uri, const std::string &body)
    {
        return qftest::rawRequest(port, "POST " + uri + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                            std::to_string(body.size()) + "\r\n\r\n" + body);
    }

    static qftest::ProductDir *product;
    static qftest::TempDir *root;
    static qftest::ServerProcess *server;
    static int port;
};

qftest::ProductDir *ServerAdmin::product;
qftest::TempDir *ServerAdmin::root;
qftest::ServerProcess *ServerAdmin::server;
int ServerAdmin::port;

TEST_F(ServerAdmin, GetShowsEveryOption)
{
    std::string page = get("/admin");

    ASSERT_EQ(page.compare(0, strlen(HEAD) + strlen(TABLE), std::string(HEAD) + TABLE), 0)
        << page.substr(0, 300);
    EXPECT_EQ(count(page, "<form method=post><tr>"), 22u);
    EXPECT_EQ(page.compare(page.size() - strlen(TAIL), std::string::npos, TAIL), 0);
    EXPECT_EQ(page.find("Content-Length"), std::string::npos);
    /* the first row, its description led by a tab, and one in the middle */
    EXPECT_NE(page.find(std::string(TABLE) + row("root", "\tWeb root directory", root->path())),
              std::string::npos);
    EXPECT_NE(page.find(row("max_threads", "Maximum simultaneous threads to spawn", "100")),
              std::string::npos);
    EXPECT_NE(page.find(row("ssl_cert", "SSL certificate file", "")), std::string::npos);
    EXPECT_NE(page.find(row("mime_types", "Comma separated list of ext=mime_type pairs", "") +
                        TAIL),
              std::string::npos);
}

TEST_F(ServerAdmin, PostSetsOneOption)
{
    struct Case {
        int line;
        std::string body;
        std::string paragraph;     /* right behind the heading */
        std::string row;           /* expected in the table afterwards, or "" */
    };
    const Case cases[] = {
        {__LINE__, "o=max_threads&v=50", "<p style=\"color: green\">Saved: max_threads=50</p>",
         row("max_threads", "Maximum simultaneous threads to spawn", "50")},
        {__LINE__, "o=nope&v=1", "<p style=\"background: red\">Error setting option \"nope\"</p>", ""},
        {__LINE__, "v=1", "<p style=\"background: red\">Error setting option \"(null)\"</p>", ""},
        /* no value: stored as none even though the setter refuses it */
        {__LINE__, "o=max_threads", "<p style=\"color: green\">Saved: max_threads=NULL</p>",
         row("max_threads", "Maximum simultaneous threads to spawn", "")},
        /* values and names from the form cannot break out of the markup */
        {__LINE__, "o=auth_realm&v=%3Cb%3Ex%3C%2Fb%3E'%22%26",
         "<p style=\"color: green\">Saved: auth_realm=&lt;b&gt;x&lt;/b&gt;&#39;&quot;&amp;</p>",
         row("auth_realm", "Authentication domain name", "&lt;b&gt;x&lt;/b&gt;&#39;&quot;&amp;")},
        {__LINE__, "o=%3Cscript%3E&v=1",
         "<p style=\"background: red\">Error setting option \"&lt;script&gt;\"</p>", ""},
        {__LINE__, "o=max_threads&v=20", "<p style=\"color: green\">Saved: max_threads=20</p>",
         row("max_threads", "Maximum simultaneous threads to spawn", "20")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::string page = post("/admin", c.body);
        EXPECT_EQ(page.compare(0, strlen(HEAD), HEAD), 0) << page.substr(0, 200);
        EXPECT_EQ(page.compare(strlen(HEAD), c.paragraph.size() + strlen(TABLE),
                               c.paragraph + TABLE),
                  0)
            << page.substr(strlen(HEAD), 200);
        EXPECT_EQ(count(page, "<form method=post><tr>"), 22u);
        if (!c.row.empty()) {
            EXPECT_NE(page.find(c.row), std::string::npos);
        }
    }
    EXPECT_EQ(count(get("/admin"), "<p style"), 0u);
}

/* A second admin_uri adds a URI; the first keeps serving the page. */
TEST_F(ServerAdmin, AnotherUriKeepsTheFirst)
{
    std::string page = post("/admin", "o=admin_uri&v=/admin2");
    EXPECT_NE(page.find("Saved: admin_uri=/admin2"), std::string::npos);
    EXPECT_EQ(get("/admin2").compare(0, strlen(HEAD), HEAD), 0);
    EXPECT_EQ(get("/admin").compare(0, strlen(HEAD), HEAD), 0);
    EXPECT_NE(get("/admin2").find(row("admin_uri", "Administration page URI", "/admin2")),
              std::string::npos);
}

}  // namespace
