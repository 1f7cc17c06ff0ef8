/* tests/server_context_test.cpp: defaults, qf_set_option results and messages, setters. */
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "http/http.h"

namespace {

std::mutex log_mutex;
std::vector<std::string> logged;

void
capture_log(struct qf_connection *, const struct qf_request_info *, void *message)
{
    std::lock_guard<std::mutex> lock(log_mutex);
    logged.push_back((const char *) message);
}

std::vector<std::string>
take_log()
{
    std::lock_guard<std::mutex> lock(log_mutex);
    std::vector<std::string> lines;
    lines.swap(logged);
    return lines;
}

/* One started context per suite: stopping one costs a second. */
class ServerContext : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ctx = qf_start();
        ASSERT_NE(ctx, nullptr);
        qf_set_log_callback(ctx, capture_log);
    }
    static void TearDownTestSuite() { qf_stop(ctx); }
    void SetUp() override { take_log(); }

    static struct qf_context *ctx;
};

struct qf_context *ServerContext::ctx;

TEST_F(ServerContext, DefaultsAfterStart)
{
    struct Case {
        int line;
        const char *name, *value;
    };
    const Case cases[] = {
        {__LINE__, "index_files", "index.html,index.htm,index.cgi"},
        {__LINE__, "dir_list", "yes"},
        {__LINE__, "cgi_ext", ".cgi,.pl,.php"},
        {__LINE__, "ssi_ext", ".shtml,.shtm"},
        {__LINE__, "auth_realm", "example.com"},
        {__LINE__, "max_threads", "100"},
        {__LINE__, "idle_time", "10"},
        {__LINE__, "ports", nullptr},
        {__LINE__, "error_log", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        const char *value = qf_get_option(ctx, c.name);
        EXPECT_EQ(value ? std::string(value) : "(none)", c.value ? c.value : "(none)");
    }

    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    EXPECT_STREQ(qf_get_option(ctx, "root"), cwd);
    EXPECT_EQ(ctx->max_threads, 100);
    EXPECT_EQ(ctx->error_log, stderr);
    EXPECT_TRUE(take_log().empty());
}

TEST_F(ServerContext, UnknownOptionIsNotStored)
{
    EXPECT_EQ(qf_set_option(ctx, "no_such", "x"), -1);
    EXPECT_EQ(qf_set_option(ctx, "Root", "/tmp"), -1);   /* names are case-sensitive */
    EXPECT_EQ(qf_set_option(ctx, nullptr, "x"), -1);
    EXPECT_EQ(qf_get_option(ctx, "no_such"), nullptr);
    EXPECT_EQ(take_log(), (std::vector<std::string>{
                              "qf_set_option: No such option: [no_such]",
                              "qf_set_option: No such option: [Root]",
                              "qf_set_option: No such option: [(null)]",
                          }));
}

/* Every value is stored, a refused one too, so the admin page shows what
 * was asked for; the setter's reason comes before the failure line. */
TEST_F(ServerContext, ValuesAreStoredEvenWhenRefused)
{
    EXPECT_EQ(qf_set_option(ctx, "index_files", "a.html"), 1);
    EXPECT_STREQ(qf_get_option(ctx, "index_files"), "a.html");
    EXPECT_EQ(qf_set_option(ctx, "index_files", nullptr), 1);
    EXPECT_EQ(qf_get_option(ctx, "index_files"), nullptr);

    EXPECT_EQ(qf_set_option(ctx, "mime_types", "a=b,c"), 0);
    EXPECT_STREQ(qf_get_option(ctx, "mime_types"), "a=b,c");
    EXPECT_EQ(qf_set_option(ctx, "auth_gpass", "/no/such/file"), 0);
    EXPECT_STREQ(qf_get_option(ctx, "auth_gpass"), "/no/such/file");
    EXPECT_EQ(qf_set_option(ctx, "auth_gpass", "/"), 1);
    EXPECT_EQ(take_log(), (std::vector<std::string>{
                              "Invalid list specified: [a=b,c], expecting "
                              "key1=value1,key2=value2,...",
                              "qf_set_option(mime_types): failure",
                              "qf_set_option(auth_gpass): failure",
                          }));
}

TEST_F(ServerContext, MaxThreadsKeepsPreviousBoundOnBadValue)
{
    struct Case {
        int line;
        const char *value;
        int result, bound;
    };
    const Case cases[] = {
        {__LINE__, "5", 1, 5},          {__LINE__, "0", 0, 5},   {__LINE__, "-3", 0, 5},
        {__LINE__, "abc", 0, 5},        {__LINE__, nullptr, 0, 5},
        {__LINE__, "7 threads", 1, 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(qf_set_option(ctx, "max_threads", c.value), c.result);
        EXPECT_EQ(ctx->max_threads, c.bound);
    }
}

/* Lists of key=value pairs; the setter needs no started context. */
TEST(ServerKvList, Validation)
{
    struct qf_context ctx {};
    ctx.log_callback = capture_log;

    const char *valid[] = {nullptr, "", "a=b", "a=b,", "a=b,c=d", "a=b=c"};
    for (const char *list : valid)
        EXPECT_TRUE(set_kv_list_option(&ctx, list)) << list;
    EXPECT_TRUE(take_log().empty());

    for (const char *list : {"a=b,c", "=b", "a=", "a=b,,c=d", ","}) {
        EXPECT_FALSE(set_kv_list_option(&ctx, list)) << list;
        EXPECT_EQ(take_log(), std::vector<std::string>{std::string("Invalid list specified: [") +
                                                       list + "], expecting key1=value1,key2="
                                                              "value2,..."});
    }
}

}  // namespace
