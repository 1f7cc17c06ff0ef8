/* tests/listen_itest.cpp: the server switched to another user after binding privileged ports, and
 * clients over IPv6. */
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "http/http.h"
#include "panel/panel.h"
#include "support/harness.h"

using namespace qftest;

namespace {

/* The numbers of a "Name:\t..." line of a /proc status file. */
std::vector<long> statusIds(const std::string &status_file, const std::string &name)
{
    std::istringstream in(readFile(status_file));
    std::vector<long> ids;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + ":", 0) != 0) continue;
        std::istringstream fields(line.substr(name.size() + 1));
        for (long id; fields >> id;) ids.push_back(id);
    }
    return ids;
}

std::string request(int port, const std::string &line, const std::string &body = "")
{
    return ask(port, line, "Host: localhost\r\n", body);
}

class Unprivileged : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) GTEST_SKIP() << "not root: the switch to another user cannot be shown";
        user = getpwnam("nobody");
        if (user == nullptr) GTEST_SKIP() << "no user nobody";
        /* Everything the server touches after the switch becomes the user's. */
        for (const std::string &dir : {srv.dir.path(), srv.product.path()})
            runCommand("chown -R nobody:" + std::to_string(user->pw_gid) + " " + dir);
    }
    void TearDown() override
    {
        if (srv.proc.pid() > 0) {
            EXPECT_EQ(srv.proc.stop(15, 20000), 0) << srv.proc.err();
        }
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (const auto &[file, text] : saved_files) {
            remove(file.c_str());
            if (!text.empty()) writeFile(file, text);
        }
    }
    /* A root process named as the service's guard, recorded in its status file; no service is
     * recorded. The files are put back afterwards. */
    pid_t rootGuard()
    {
        for (const char *file : {PC_GUARD_PID_FILE, PC_SERVICE_PID_FILE}) {
            saved_files[file] = readFile(file);
            remove(file);
        }
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            prctl(PR_SET_NAME, "drevanta_guard");
            for (;;) pause();
        }
        children.push_back(pid);
        std::string comm = "/proc/" + std::to_string(pid) + "/comm";
        EXPECT_TRUE(waitFor([&] { return readFile(comm) == "drevanta_guard\n"; }, 5000));
        int id = pid;
        writeFile(PC_GUARD_PID_FILE, std::string((const char *) &id, sizeof(id)));
        return pid;
    }

    struct passwd *user = nullptr;
    Server srv;
    std::vector<pid_t> children;
    std::map<std::string, std::string> saved_files;   /* "" for none */
};

/* Ports bound as root, then the switch: every id of the process is the user's, a privileged port
 * stays served through a run-time change of the others, programs run as the user, and a signal the
 * service's root processes refuse is reported by Stop. */
TEST_F(Unprivileged, SwitchesAfterBindingAndKeepsPrivilegedPorts)
{
    const int low = freePort(599), other = freePort();
    ASSERT_GT(low, 0);
    writeScript(srv.root("id.cgi"), "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\nid -u\n");
    writeFile(srv.root("id.shtml"), "<!--#exec \"id -u\" -->");
    runCommand("chown nobody " + srv.root("id.cgi") + " " + srv.root("id.shtml"));
    const std::string low_entry = "127.0.0.1:" + std::to_string(low);
    ASSERT_TRUE(srv.start({"-admin_uri", "/admin", "-ports", low_entry + ",127.0.0.1:" + std::to_string(srv.port),
                           "-uid", "nobody"})) << srv.proc.err();

    const long uid = user->pw_uid, gid = user->pw_gid;
    int n = 64;
    std::vector<gid_t> groups(n);
    ASSERT_GE(getgrouplist("nobody", user->pw_gid, groups.data(), &n), 0);
    int threads = 0;   /* every thread, those that ran before the switch too */
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(srv.proc.pid()) + "/task")) {
        SCOPED_TRACE(task.path());
        const std::string status = task.path() / "status";
        EXPECT_EQ(statusIds(status, "Uid"), std::vector<long>(4, uid));   /* real, effective, saved, fs */
        EXPECT_EQ(statusIds(status, "Gid"), std::vector<long>(4, gid));
        auto served = statusIds(status, "Groups");
        EXPECT_EQ(std::set<long>(served.begin(), served.end()), std::set<long>(groups.begin(), groups.begin() + n));
        threads++;
    }
    EXPECT_GE(threads, 3);   /* main, listener, panel refresh */

    EXPECT_TRUE(isIndexAnswer(rawRequest(low, INDEX_REQUEST)));
    EXPECT_EQ(bodyOf(request(low, "GET /id.cgi")), std::to_string(uid) + "\n");
    EXPECT_EQ(bodyOf(request(low, "GET /id.shtml")), std::to_string(uid) + "\n");

    /* another port moves; the privileged one keeps its socket */
    std::string saved = request(low, "POST /admin", "o=ports&v=" + low_entry + ",127.0.0.1:" + std::to_string(other));
    EXPECT_NE(saved.find("Saved: ports="), std::string::npos) << saved;
    EXPECT_TRUE(isIndexAnswer(rawRequest(low, INDEX_REQUEST)));
    EXPECT_TRUE(isIndexAnswer(rawRequest(other, INDEX_REQUEST)));
    EXPECT_LT(Conn(srv.port).fd, 0);
    /* a new privileged port cannot be bound any more */
    const std::string new_low = "127.0.0.1:" + std::to_string(freePort(low));
    request(low, "POST /admin", "o=ports&v=" + low_entry + "," + new_low);
    EXPECT_TRUE(srv.logged("] cannot bind to " + new_low + "\n"));
    EXPECT_TRUE(isIndexAnswer(rawRequest(low, INDEX_REQUEST)));

    pid_t guard = rootGuard();
    request(low, "POST /index.html", "controlbutton=Stop");
    EXPECT_TRUE(srv.logged("Stop: cannot send signal 9 to drevanta_guard (process " + std::to_string(guard) +
                           "): Operation not permitted\n"));
    EXPECT_EQ(kill(guard, 0), 0);
}

/* Without root the start ends with the reason on standard error (no error_log set); an unknown
 * user: FrontCli.StartupFailuresStop. */
TEST_F(Unprivileged, RefusedWithoutRoot)
{
    const std::string ports = "127.0.0.1:" + std::to_string(srv.port);
    /* started as nobody: becoming root is refused */
    const std::string as_nobody = "cd / && DREVANTA_BIN=" + srv.product.bin() + " setpriv --reuid=nobody --regid=" +
                                  std::to_string(user->pw_gid) + " --init-groups " + QF_BINARY + " -ports " + ports;
    std::string out = runCommand(as_nobody + " -uid root 2>&1; echo status $?");
    EXPECT_NE(out.find("] set_uid_option: cannot run as root: the server does not run as root\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("status 1"), std::string::npos) << out;
}

std::string requestOverIpv6(int port, const std::string &text) { return rawRequest(port, text, 10000, "::1"); }

bool haveIpv6Loopback()
{
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in6 sin6 {};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_loopback;
    bool ok = fd >= 0 && bind(fd, (struct sockaddr *) &sin6, sizeof(sin6)) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

/* "[::]:port" listens on IPv6 beside the IPv4 listener of the same port; a client on ::1 is served,
 * shown as ::1 to programs and in both logs, and then denied by an IPv6 access entry. */
TEST(Ipv6, ClientsServedShownAndDenied)
{
    if (!haveIpv6Loopback()) GTEST_SKIP() << "no ::1 on this machine";
    Server srv;
    writeScript(srv.root("addr.cgi"), "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n%s' \"$REMOTE_ADDR\"\n");
    const std::string port = std::to_string(srv.port), ports = port + ",[::]:" + port;
    ASSERT_TRUE(srv.start({"-admin_uri", "/admin", "-access_log", srv.dir.file("access.log"), "-acl",
                           "-0.0.0.0/0,+127.0.0.1,+::1", "-ports", ports})) << srv.proc.err();
    EXPECT_NE(srv.proc.out().find("started on port(s) [" + ports + "]"), std::string::npos) << srv.proc.out();

    EXPECT_EQ(bodyOf(requestOverIpv6(srv.port, "GET /addr.cgi HTTP/1.1\r\nHost: x\r\n\r\n")), "::1");
    EXPECT_TRUE(fileGains(srv.dir.file("access.log"), "::1 - - ["));
    EXPECT_EQ(requestOverIpv6(srv.port, "GET /gone HTTP/1.1\r\nHost: x\r\n\r\n").rfind("HTTP/1.1 404 ", 0), 0u);
    EXPECT_TRUE(srv.logged("] [error] [client ::1] GET /gone: "));
    EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST)));

    EXPECT_NE(srv.ask("POST /admin", "", "o=acl&v=%2B0.0.0.0%2F0%2C-%3A%3A1").find("Saved: acl="), std::string::npos);
    EXPECT_EQ(requestOverIpv6(srv.port, INDEX_REQUEST), "");
    EXPECT_TRUE(srv.logged("] accept_new_connection: ::1 is not allowed to connect\n"));
    EXPECT_TRUE(isIndexAnswer(rawRequest(srv.port, INDEX_REQUEST)));
    EXPECT_EQ(srv.proc.stop(15, 20000), 0) << srv.proc.err();
}

/* An embedder's callback reads the address as text; the 32-bit field is 0 for an IPv6 client. */
TEST(Ipv6, CallbacksSeeTheAddressText)
{
    if (!haveIpv6Loopback()) GTEST_SKIP() << "no ::1 on this machine";
    struct qf_context *ctx = qf_start();
    ASSERT_NE(ctx, nullptr);
    qf_set_uri_callback(ctx, "/who", [](struct qf_connection *conn, const struct qf_request_info *ri, void *) {
        qf_printf(conn, "HTTP/1.1 200 OK\r\n\r\n%d %s", ri->remote_ip, ri->remote_addr);
    }, nullptr);
    const int port = freePort();
    const std::string p = std::to_string(port), who = "GET /who HTTP/1.1\r\nHost: x\r\n\r\n";
    EXPECT_EQ(qf_set_option(ctx, "ports", ("127.0.0.1:" + p + ",[::1]:" + p).c_str()), 1);
    EXPECT_EQ(bodyOf(requestOverIpv6(port, who)), "0 ::1");
    EXPECT_EQ(bodyOf(rawRequest(port, who)), std::to_string(INADDR_LOOPBACK) + " 127.0.0.1");
    qf_stop(ctx);
}

}  // namespace
