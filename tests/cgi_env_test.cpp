/* tests/cgi_env_test.cpp: the environment block a CGI program receives: rows, order, header names and the size limits. */
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "cgi_test_conn.h"

namespace {

using qftest::TestConn;
using Vars = std::vector<std::string>;

/* A request as the dispatcher leaves it; the strings live in the test. */
struct Request {
    char method[8] = "GET";
    char uri[64] = "/cgi/x.cgi";
    char query[64] = "";
    bool has_query = false;
    std::vector<std::pair<std::string, std::string>> headers;
};

class CgiEnv : public ::testing::Test {
protected:
    void SetUp() override
    {
        t.setOption(OPT_ROOT, "/srv/www");
        t.setOption(OPT_AUTH_DOMAIN, "example.org");
        t.conn.client.lsa = qftest::ipv4("0.0.0.0", 8080);
        t.conn.client.rsa = qftest::ipv4("10.1.2.3", 5555);
        setenv("PATH", "/usr/bin:/bin", 1);
        unsetenv("LD_LIBRARY_PATH");
        unsetenv("PERLLIB");
        qftest::take_bare_log();
    }

    /* Builds the block for req and checks the layout that the program's
     * exec relies on; returns the variables in order. */
    Vars build(Request &req, const char *prog = "/srv/www/cgi/x.cgi")
    {
        struct qf_request_info *ri = &t.conn.request_info;
        ri->request_method = req.method;
        ri->uri = req.uri;
        ri->query_string = req.has_query ? req.query : nullptr;
        ri->remote_port = 5555;
        names.clear();
        values.clear();
        for (auto &h : req.headers) {
            names.push_back(h.first);
            values.push_back(h.second);
        }
        ri->num_headers = (int) req.headers.size();
        for (int i = 0; i < ri->num_headers; i++) {
            ri->http_headers[i].name = &names[i][0];
            ri->http_headers[i].value = &values[i][0];
        }

        prepare_cgi_environment(&t.conn, prog, &blk);

        Vars vars;
        EXPECT_GE(blk.nvars, 1);
        EXPECT_LT(blk.nvars, CGI_ENV_MAX_VARS);
        EXPECT_LT(blk.len, CGI_ENV_BUF_SIZE);
        EXPECT_EQ(blk.vars[blk.nvars - 1], nullptr);
        /* Texts sit back to back, each with its NUL, then one more NUL. */
        const char *expected_at = blk.buf;
        for (int i = 0; i + 1 < blk.nvars; i++) {
            EXPECT_EQ(blk.vars[i], expected_at) << "variable " << i;
            vars.push_back(blk.vars[i]);
            expected_at += vars.back().size() + 1;
        }
        EXPECT_EQ(expected_at - blk.buf + 1, blk.len);
        EXPECT_EQ(blk.buf[blk.len - 1], '\0');
        return vars;
    }

    static bool has(const Vars &v, const std::string &text)
    {
        for (const std::string &s : v)
            if (s == text)
                return true;
        return false;
    }

    static bool hasName(const Vars &v, const std::string &name)
    {
        for (const std::string &s : v)
            if (s.compare(0, name.size() + 1, name + "=") == 0)
                return true;
        return false;
    }

    TestConn t;
    struct cgi_env_block blk;
    std::vector<std::string> names, values;
};

TEST_F(CgiEnv, EveryRowInOrder)
{
    t.setOption(OPT_CGI_ENV, "A=1,B=x=y");
    setenv("LD_LIBRARY_PATH", "/opt/lib", 1);
    setenv("PERLLIB", "/opt/perl", 1);
    char user[] = "joe";
    t.conn.request_info.remote_user = user;

    Request req;
    strcpy(req.method, "POST");
    strcpy(req.query, "a=1&b=2");
    req.has_query = true;
    req.headers = {{"Content-Type", "text/plain"},
                   {"Content-Length", "5"},
                   {"Accept-Language", "de-DE"},
                   {"x-foo-bar", "Mixed-Case=v"}};

    const Vars expected = {
        "SERVER_NAME=example.org",
        "GATEWAY_INTERFACE=CGI/1.1",
        "SERVER_PROTOCOL=HTTP/1.1",
        "REDIRECT_STATUS=200",
        "SERVER_PORT=8080",
        "SERVER_ROOT=/srv/www",
        "DOCUMENT_ROOT=/srv/www",
        "REQUEST_METHOD=POST",
        "REMOTE_ADDR=10.1.2.3",
        "REMOTE_PORT=5555",
        "REQUEST_URI=/cgi/x.cgi",
        "SCRIPT_NAME=/cgi/x.cgi",
        "SCRIPT_FILENAME=x.cgi",
        "PATH_TRANSLATED=/srv/www/cgi/x.cgi",
        "HTTPS=off",
        "CONTENT_TYPE=text/plain",
        "QUERY_STRING=a=1&b=2",
        "CONTENT_LENGTH=5",
        "PATH=/usr/bin:/bin",
        "LD_LIBRARY_PATH=/opt/lib",
        "PERLLIB=/opt/perl",
        "REMOTE_USER=joe",
        "AUTH_TYPE=Digest",
        "HTTP_CONTENT_TYPE=text/plain",
        "HTTP_CONTENT_LENGTH=5",
        "HTTP_ACCEPT_LANGUAGE=de-DE",   /* the value keeps its case and '-' */
        "HTTP_X_FOO_BAR=Mixed-Case=v",
        "A=1",
        "B=x=y",
    };
    EXPECT_EQ(build(req), expected);
    EXPECT_TRUE(qftest::take_bare_log().empty());
}

/* Rows that depend on the request or the options. */
TEST_F(CgiEnv, OptionalRows)
{
    struct Case {
        int line;
        const char *query;    /* nullptr: the URI had no '?' */
        const char *prog;
        const char *root;
        const char *cgi_env;
        Vars present;
        Vars absent;          /* names */
    };
    const Case cases[] = {
        {__LINE__, nullptr, "/srv/www/x.cgi", "/srv/www", nullptr,
         {"SCRIPT_NAME=/x.cgi", "SCRIPT_FILENAME=x.cgi"},
         {"QUERY_STRING", "CONTENT_TYPE", "CONTENT_LENGTH", "REMOTE_USER", "AUTH_TYPE",
          "LD_LIBRARY_PATH", "PERLLIB"}},
        {__LINE__, "", "/srv/www/x.cgi", "/srv/www", nullptr, {"QUERY_STRING="}, {}},
        /* an aliased script on a path shorter than the root */
        {__LINE__, nullptr, "/c/x.cgi", "/a/very/long/document/root", nullptr,
         {"SCRIPT_NAME=", "PATH_TRANSLATED=/c/x.cgi"}, {}},
        {__LINE__, nullptr, "/srv/www/x.cgi", nullptr, nullptr,
         {"SERVER_ROOT=", "SCRIPT_NAME=/srv/www/x.cgi"}, {}},
        /* items are taken whole, without a check; empty ones add nothing */
        {__LINE__, nullptr, "/srv/www/x.cgi", "/srv/www", ",,NOEQ,K=,=v,",
         {"NOEQ", "K=", "=v"}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        t.setOption(OPT_ROOT, c.root);
        t.setOption(OPT_CGI_ENV, c.cgi_env);
        Request req;
        if (c.query != nullptr) {
            strcpy(req.query, c.query);
            req.has_query = true;
        }
        Vars vars = build(req, c.prog);
        for (const std::string &p : c.present)
            EXPECT_TRUE(has(vars, p)) << p;
        for (const std::string &a : c.absent)
            EXPECT_FALSE(hasName(vars, a)) << a;
        for (const std::string &v : vars)
            EXPECT_FALSE(v.empty());
    }
}

/* The block never overflows, whatever a client sends: variables stop at 62
 * (then the null pointer) and texts at 4094 bytes, the overflowing one cut. */
TEST_F(CgiEnv, LimitsHoldForAnyRequest)
{
    struct Case {
        int line;
        int headers;
        size_t value_len;
        bool cut;           /* a text was cut and the cut reported */
    };
    const Case cases[] = {
        {__LINE__, 64, 1, false},      /* the count limit */
        {__LINE__, 64, 200, true},     /* the room limit */
        {__LINE__, 3, 5000, true},     /* one header larger than the whole block */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        t.setOption(OPT_CGI_ENV, "LAST=1");
        Request req;
        for (int i = 0; i < c.headers; i++)
            req.headers.push_back({"X-H" + std::to_string(i), std::string(c.value_len, 'v')});
        Vars vars = build(req);

        EXPECT_LE(vars.size(), (size_t) CGI_ENV_STORED_MAX);
        EXPECT_LE(blk.len, CGI_ENV_ROOM + 1);
        EXPECT_FALSE(has(vars, "LAST=1"));  /* no room left for the last row */
        std::vector<std::string> log = qftest::take_bare_log();
        EXPECT_EQ(qftest::logged(log, "truncating vsnprintf buffer: [HTTP_X-H"), c.cut);
        if (c.cut)
            EXPECT_EQ(blk.len, CGI_ENV_ROOM + 1);
        else
            EXPECT_EQ(vars.size(), (size_t) CGI_ENV_STORED_MAX);
        /* the cut text is stored, its name still rewritten */
        EXPECT_EQ(vars.back().compare(0, 6, "HTTP_X"), 0) << vars.back().substr(0, 20);
    }
}

}  // namespace
