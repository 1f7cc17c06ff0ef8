/* tests/server_log_test.cpp: the error-log line, its stream, and life without a stream. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "http/http.h"
#include "support/harness.h"

namespace {

/* The error-log line as a pattern: ten-digit time, client, then the rest. */
std::string
line(const std::string &rest, const std::string &client = "0\\.0\\.0\\.0")
{
    return R"(\[\d{10}\] \[error\] \[client )" + client + "\\] " + rest + "\n";
}

/* Matches text line by line: std::regex recurses per character, so a whole
 * log in one pattern could exhaust the stack. */
bool
matches(const std::string &text, const std::vector<std::string> &patterns)
{
    size_t pos = 0;
    for (const std::string &p : patterns) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos ||
            !std::regex_match(text.substr(pos, end + 1 - pos), std::regex(p)))
            return false;
        pos = end + 1;
    }
    return pos == text.size();
}

class ServerLog : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ctx = qf_start();
        ASSERT_NE(ctx, nullptr);
    }
    static void TearDownTestSuite() { qf_stop(ctx); }

    static struct qf_context *ctx;
    qftest::TempDir dir;
};

struct qf_context *ServerLog::ctx;

/* Each line is on disk as soon as cry returns: an operator tails the file.
 * Taking over from standard error must not close descriptor 2. */
TEST_F(ServerLog, LinesGoToTheFileAtOnce)
{
    std::string path = dir.file("error.log");
    ASSERT_EQ(qf_set_option(ctx, "error_log", path.c_str()), 1);
    EXPECT_NE(fcntl(2, F_GETFD), -1) << "standard error was closed";

    cry(fc(ctx), "plain %d", 42);
    struct qf_connection conn {};
    conn.ctx = ctx;
    conn.client.rsa.u.sin.sin_addr.s_addr = inet_addr("10.1.2.3");
    conn.request_info.request_method = (char *) "GET";
    conn.request_info.uri = (char *) "/x";
    cry(&conn, "denied");
    std::string text = qftest::readFile(path);
    EXPECT_TRUE(matches(text, {line("plain 42"), line("GET /x: denied", "10\\.1\\.2\\.3")}))
        << text;

    cry(fc(ctx), "%s", std::string(9000, 'm').c_str());
    text = qftest::readFile(path);
    EXPECT_EQ(text.substr(text.size() - 8193), " " + std::string(8191, 'm') + "\n");
}

TEST_F(ServerLog, ConcurrentLinesDoNotInterleave)
{
    std::string path = dir.file("error.log");
    ASSERT_EQ(qf_set_option(ctx, "error_log", path.c_str()), 1);

    std::vector<std::thread> pool;
    for (char c = 'a'; c < 'e'; c++)
        pool.emplace_back([c] {
            for (int i = 0; i < 200; i++)
                cry(fc(ctx), "%s", std::string(100, c).c_str());
        });
    for (std::thread &th : pool)
        th.join();
    std::vector<std::string> patterns(800, line("(a{100}|b{100}|c{100}|d{100})"));
    EXPECT_TRUE(matches(qftest::readFile(path), patterns));
}

/* Without a stream, lines still reach standard error, including the report
 * that the new log file cannot be opened. */
TEST_F(ServerLog, WithoutStreamLinesGoToStandardError)
{
    ASSERT_EQ(qf_set_option(ctx, "error_log", nullptr), 1);
    EXPECT_EQ(ctx->error_log, nullptr);
    std::string bad = dir.file("no/such.log");
    testing::internal::CaptureStderr();
    cry(fc(ctx), "to stderr");
    EXPECT_EQ(qf_set_option(ctx, "error_log", bad.c_str()), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(matches(err, {line("to stderr"),
                              line("open_log_file\\(" + bad + "\\): No such file or directory"),
                              line("qf_set_option\\(error_log\\): failure")}))
        << err;
    EXPECT_EQ(ctx->error_log, nullptr);
}

TEST_F(ServerLog, AccessLogOpensAndCloses)
{
    std::string path = dir.file("access.log");
    EXPECT_EQ(qf_set_option(ctx, "access_log", path.c_str()), 1);
    ASSERT_NE(ctx->access_log, nullptr);
    EXPECT_TRUE(fcntl(fileno(ctx->access_log), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(qftest::fileExists(path));
    EXPECT_EQ(qf_set_option(ctx, "access_log", nullptr), 1);
    EXPECT_EQ(ctx->access_log, nullptr);
}

}  // namespace
