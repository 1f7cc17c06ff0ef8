/* tests/panel_service_itest.cpp: status, Stop, Start and the dispatcher
 * against the service's fixed files under /tmp. The service is played by
 * children of this test, or by the demo stand-ins started through the
 * panel; the fixed files found before a test are put back after it. */
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "panel/panel.h"
#include "support/harness.h"

using qftest::readFile;
using qftest::waitFor;
using qftest::writeFile;

namespace {

const char *const FIXED_FILES[] = {PC_SERVICE_PID_FILE, PC_GUARD_PID_FILE, PC_ACTIVE_CALLS_FILE,
                                   PC_SYSTEM_LOG_FILE};

void
writeInt(const char *path, int value)
{
    writeFile(path, std::string((const char *)&value, sizeof(value)));
}

int
readInt(const char *path)
{
    std::string s = readFile(path);
    int v = 0;
    if (s.size() >= sizeof(v)) memcpy(&v, s.data(), sizeof(v));
    return v;
}

/* A live process that is not a zombie. */
bool
alive(pid_t pid)
{
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size()) return false;
    char state = stat[paren + 2];
    return state != 'Z' && state != 'X';
}

/* The program a process runs. */
std::string
exeOf(pid_t pid)
{
    char buf[4096];
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, n) : "";
}

class PanelService : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *f : FIXED_FILES) {
            if (qftest::fileExists(f)) saved[f] = readFile(f);
            remove(f);
        }
        drevanta_setFileNames((tmp.path() + "/").c_str());
        writeFile(pcConfFileName, "SipProxyIP=1.2.3.4\r\n");
        controlPanelTab.bRefreshRequested = false;
    }
    void TearDown() override
    {
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (const char *f : FIXED_FILES) {
            remove(f);
            if (saved.count(f)) writeFile(f, saved[f]);
        }
    }

    /* A stand-in process that takes SIGUSR1 (blocked, so it stays pending)
     * and dies of SIGINT or SIGKILL. Killed with this test at the latest. */
    pid_t spawn()
    {
        sigset_t usr1, old;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &usr1, &old);
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            signal(SIGINT, SIG_DFL);
            for (;;) pause();
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (pid > 0) children.push_back(pid);
        return pid;
    }
    /* The signal that ended a child, or 0 when it did not end in time. */
    int endSignal(pid_t pid, int timeout_ms = 3000)
    {
        int st = 0;
        if (!waitFor([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeout_ms)) return 0;
        children.erase(std::find(children.begin(), children.end(), pid));
        return WIFSIGNALED(st) ? WTERMSIG(st) : -1;
    }
    /* The id of a process that has ended and been reaped. */
    pid_t deadPid()
    {
        pid_t pid = spawn();
        kill(pid, SIGKILL);
        endSignal(pid);
        return pid;
    }
    std::string status() { return controlPanelTab.pcStatusLine; }

    qftest::TempDir tmp;
    std::map<std::string, std::string> saved;
    std::vector<pid_t> children;
};

TEST_F(PanelService, StatusWithoutARunningService)
{
    struct Case {
        int line;
        std::string service;   /* bytes of the service's id file, "-" for none */
        bool live_guard;
        const char *want;
        bool running;
        std::string err;
    };
    auto id = [](int v) { return std::string((const char *)&v, sizeof(v)); };
    std::string five_times;
    for (int i = 0; i < 5; i++) five_times += "Unable to read from " PC_SERVICE_PID_FILE "\n";
    const Case cases[] = {
        {__LINE__, "-", false, "Not Running", false, ""},
        {__LINE__, id(deadPid()), false, "Not Running", false, ""},
        {__LINE__, id(deadPid()), true, "Only Partially Running", true, ""},
        {__LINE__, "-", true, "Only Partially Running", true, ""},
        /* a short file is retried, and said so each time */
        {__LINE__, "ab", false, "Not Running", false, five_times},
        /* our own id is never signalled: SIGUSR1 would end this test */
        {__LINE__, id((int)getpid()), false, "Not Running", false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        remove(PC_SERVICE_PID_FILE);
        remove(PC_GUARD_PID_FILE);
        if (c.service != "-") writeFile(PC_SERVICE_PID_FILE, c.service);
        pid_t guard = c.live_guard ? spawn() : 0;
        if (guard > 0) writeInt(PC_GUARD_PID_FILE, guard);

        testing::internal::CaptureStderr();
        controlPanelTab.updateStatus();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status(), c.want);
        EXPECT_EQ(controlPanelTab.bRunning, c.running);
        EXPECT_EQ(err, c.err);
        if (guard > 0) {
            EXPECT_TRUE(alive(guard));
        }
    }
}

TEST_F(PanelService, RunningServiceShowsItsChannelCount)
{
    pid_t service = spawn();
    writeInt(PC_SERVICE_PID_FILE, service);

    writeInt(PC_ACTIVE_CALLS_FILE, 1);
    controlPanelTab.updateStatus();
    EXPECT_EQ(status(), "Running with 1 active channel");
    EXPECT_TRUE(controlPanelTab.bRunning);

    /* no answer from the service: counted as none, in the plural */
    remove(PC_ACTIVE_CALLS_FILE);
    testing::internal::CaptureStderr();
    controlPanelTab.updateStatus();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unable to open " PC_ACTIVE_CALLS_FILE " for reading\n");
    EXPECT_EQ(status(), "Running with 0 active channels");
    EXPECT_TRUE(controlPanelTab.bRunning);
    EXPECT_TRUE(alive(service));
}

TEST_F(PanelService, StopKillsTheGuardThenInterruptsTheService)
{
    auto t0 = std::chrono::steady_clock::now();
    controlPanelTab.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1))
        << "nothing to stop, nothing to wait for";

    pid_t guard = spawn(), service = spawn();
    writeInt(PC_GUARD_PID_FILE, guard);
    writeInt(PC_SERVICE_PID_FILE, service);
    t0 = std::chrono::steady_clock::now();
    controlPanelTab.stop();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(endSignal(guard), SIGKILL);
    EXPECT_EQ(endSignal(service), SIGINT);
    /* the status files are the service's: the panel leaves them */
    EXPECT_EQ(readInt(PC_GUARD_PID_FILE), guard);
    EXPECT_EQ(readInt(PC_SERVICE_PID_FILE), service);
}

TEST_F(PanelService, DispatcherRunsTheFirstActionFound)
{
    pid_t guard = spawn(), service = spawn();
    writeInt(PC_GUARD_PID_FILE, guard);
    writeInt(PC_SERVICE_PID_FILE, service);

    /* none of these stops anything */
    const char *idle[] = {
        "",
        "controlbutton=Manual",
        "basicsetupbutton=Restore&controlbutton=Stop",
        "SipProxyIP=9.9.9.9&basicsetupbutton=Save&controlbutton=Start",
    };
    for (const char *b : idle) {
        SCOPED_TRACE(b);
        std::string body = b;
        drevanta_analyzePost(&body[0]);
        EXPECT_EQ(body, b);
        EXPECT_TRUE(alive(guard));
        EXPECT_TRUE(alive(service));
        EXPECT_FALSE(controlPanelTab.bRefreshRequested);
    }
    /* the Save of the last body ran */
    EXPECT_STREQ(basicSetupTab.ReadConfVal("SipProxyIP"), "9.9.9.9");

    /* a substring is enough */
    std::string body = "controlbutton=Stopped";
    drevanta_analyzePost(&body[0]);
    EXPECT_EQ(endSignal(guard), SIGKILL);
    EXPECT_EQ(endSignal(service), SIGINT);
    EXPECT_TRUE(controlPanelTab.bRefreshRequested);
}

/* The demo stand-ins under the panel: Start brings up the guard and the
 * service, the guard revives a killed service, the page shows status and
 * both logs, and Stop ends both. */
class PanelDemoService : public PanelService {
protected:
    void TearDown() override
    {
        /* Only processes that run our product directory's programs. */
        for (pid_t pid : started)
            if (alive(pid) && exeOf(pid).rfind(pd.bin(), 0) == 0) kill(pid, SIGKILL);
        PanelService::TearDown();
    }
    /* The id in a status file, once it names a live process of ours. */
    pid_t liveId(const char *file, const char *program, pid_t not_this = 0)
    {
        pid_t found = 0;
        waitFor([&] {
            pid_t pid = readInt(file);
            if (pid <= 0 || pid == not_this || !alive(pid)) return false;
            if (exeOf(pid) != pd.bin() + program) return false;
            found = pid;
            return true;
        }, 8000);
        if (found > 0) started.push_back(found);
        return found;
    }

    qftest::ProductDir pd;
    std::vector<pid_t> started;
};

TEST_F(PanelDemoService, StartRefreshRestartAndStop)
{
    drevanta_setFileNames(pd.bin().c_str());
    controlPanelTab.startClicked();
    EXPECT_TRUE(controlPanelTab.bRefreshRequested);
    pid_t guard = liveId(PC_GUARD_PID_FILE, "drevanta_guard");
    pid_t service = liveId(PC_SERVICE_PID_FILE, "drevantaquorvel");
    ASSERT_GT(guard, 0);
    ASSERT_GT(service, 0);
    ASSERT_TRUE(waitFor([&] { return readFile(pd.appLog()).find("\n") != std::string::npos; },
                        5000));

    controlPanelTab.refresh();
    EXPECT_FALSE(controlPanelTab.bRefreshRequested);
    EXPECT_EQ(status().rfind("Running with ", 0), 0u) << status();
    EXPECT_TRUE(controlPanelTab.bRunning);
    std::string page = readFile(pd.file("drevanta_gui.html"));
    std::string prefix = readFile(pd.file("images/prefix_drevanta_gui.html"));
    EXPECT_EQ(page.compare(0, prefix.size(), prefix), 0);
    std::string tag = "drevantaquorvel[" + std::to_string(service) + "]: started with ";
    size_t sys = page.find("<div id='sysdiv'"), app = page.find("<div id='appdiv'");
    ASSERT_NE(sys, std::string::npos);
    ASSERT_NE(app, std::string::npos);
    EXPECT_NE(page.find(tag, sys), std::string::npos) << "system log";
    EXPECT_NE(page.find(tag, app), std::string::npos) << "application log";
    EXPECT_NE(page.find("VALUE=\"Start\" disabled=\"disabled\""), std::string::npos);

    /* the guard starts a new service when the old one dies */
    kill(service, SIGKILL);
    pid_t revived = liveId(PC_SERVICE_PID_FILE, "drevantaquorvel", service);
    ASSERT_GT(revived, 0);

    controlPanelTab.stopClicked();
    EXPECT_TRUE(waitFor([&] { return !alive(guard) && !alive(revived); }, 3000));
    EXPECT_NE(readFile(PC_SYSTEM_LOG_FILE).find("stopping on signal 2"), std::string::npos);

    controlPanelTab.refresh();
    EXPECT_EQ(status(), "Not Running");
    EXPECT_FALSE(controlPanelTab.bRunning);
    EXPECT_NE(readFile(pd.file("drevanta_gui.html")).find("VALUE=\"Stop\" disabled=\"disabled\""),
              std::string::npos);
}

}  // namespace
