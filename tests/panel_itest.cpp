/* tests/panel_itest.cpp: status, Stop and dispatch against the fixed files under /tmp (restored after). */
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "panel/panel.h"
#include "support/harness.h"

using qftest::readFile;
using qftest::writeFile;

namespace {

const char *const FIXED_FILES[] = {PC_SERVICE_PID_FILE, PC_GUARD_PID_FILE, PC_ACTIVE_CALLS_FILE,
                                   PC_SYSTEM_LOG_FILE};

std::string id(int v) { return std::string((const char *)&v, sizeof(v)); }

class PanelService : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *f : FIXED_FILES) {
            if (qftest::fileExists(f)) saved[f] = readFile(f);
            remove(f);
        }
        drevanta_setFileNames((tmp.path() + "/").c_str());
        writeFile(pcConfFileName, "");
        controlPanelTab.bRefreshRequested = false;
    }
    void TearDown() override
    {
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (const auto &p : said_) close(p.second);
        for (const char *f : FIXED_FILES) {
            remove(f);
            if (saved.count(f)) writeFile(f, saved[f]);
        }
    }
    /* A stand-in under the command name given, which the panel checks before it signals: SIGUSR1
     * stays pending unless it takes SIGUSR1 (and ends on it, like most programs); SIGINT (unless it
     * ignores it) or SIGKILL end it. It answers SIGUSR2 on its pipe (see untouched). Given a guard,
     * it takes SIGINT itself: it says whether the guard had its SIGKILL by then ('K') and ends on
     * SIGINT a second later. */
    pid_t spawn(const char *name, bool takesUsr1 = false, pid_t guard = 0, bool ignoresInt = false)
    {
        sigset_t answered, held, old;
        sigemptyset(&answered);
        sigaddset(&answered, SIGUSR2);
        if (guard != 0) sigaddset(&answered, SIGINT);
        held = answered;
        if (!takesUsr1) sigaddset(&held, SIGUSR1);
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        pthread_sigmask(SIG_BLOCK, &held, &old);
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            signal(SIGINT, ignoresInt ? SIG_IGN : SIG_DFL);
            signal(SIGUSR1, SIG_DFL);
            prctl(PR_SET_NAME, name);
            for (int sig;;) {
                if (sigwait(&answered, &sig) != 0) continue;
                if (sig == SIGUSR2) {
                    (void)!write(out[1], "p", 1);
                    continue;
                }
                (void)!write(out[1], qftest::signalled(guard, SIGKILL) ? "K" : "A", 1);
                sleep(1);
                signal(SIGUSR1, SIG_IGN);   /* a status check meanwhile must not end it first */
                pthread_sigmask(SIG_SETMASK, &old, nullptr);
                kill(getpid(), SIGINT);
            }
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        close(out[1]);
        if (pid > 0) children.insert(pid);
        said_[pid] = out[0];
        std::string comm = "/proc/" + std::to_string(pid) + "/comm";
        EXPECT_TRUE(qftest::waitFor([&] { return readFile(comm) == name + std::string("\n"); }, 5000)) << name;
        return pid;
    }
    /* The signal that ended a child within ms, -1 for an exit, 0 while it runs. */
    int ended(pid_t pid, int ms = 3000)
    {
        int st = 0;
        if (!qftest::waitFor([&] { return waitpid(pid, &st, WNOHANG) == pid; }, ms)) return 0;
        children.erase(pid);
        return WIFSIGNALED(st) ? WTERMSIG(st) : -1;
    }
    /* What a stand-in said next on its pipe, 0 for nothing within 5 s or its end. */
    char said(pid_t pid)
    {
        char c = 0;
        struct pollfd p = {said_[pid], POLLIN, 0};
        return poll(&p, 1, 5000) == 1 && read(said_[pid], &c, 1) == 1 ? c : 0;
    }
    /* Whether a stand-in has had no signal from the panel so far: it answers SIGUSR2, which it
     * could not after SIGINT or SIGKILL (the lower numbers are taken first), and has no SIGUSR1. */
    bool untouched(pid_t pid) { return kill(pid, SIGUSR2) == 0 && said(pid) == 'p' && !qftest::signalled(pid, SIGUSR1); }
    std::string status() { return controlPanelTab.pcStatusLine; }

    qftest::TempDir tmp;
    std::map<std::string, std::string> saved;
    std::set<pid_t> children;
    std::map<pid_t, int> said_;   /* the read end of each stand-in's pipe */
};

TEST_F(PanelService, StatusWithoutARunningService)
{
    pid_t dead = spawn("drevantaquorvel");
    kill(dead, SIGKILL);
    ended(dead);
    pid_t guard = spawn("drevanta_guard");
    /* The files outlive their processes: an old id may name any program by now. */
    pid_t other = spawn("drevantaquorve", true);
    std::string five;
    for (int i = 0; i < 5; i++) five += "Unable to read from " PC_SERVICE_PID_FILE "\n";
    struct Case { int line; std::string service; pid_t guard; const char *want; std::string err; };
    const Case cases[] = {
        {__LINE__, "", 0, "Not Running", ""}, {__LINE__, id(dead), 0, "Not Running", ""},
        {__LINE__, id(dead), guard, "Only Partially Running", ""}, {__LINE__, "ab", 0, "Not Running", five},
        {__LINE__, id(other), other, "Not Running", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        remove(PC_GUARD_PID_FILE);
        remove(PC_SERVICE_PID_FILE);
        if (!c.service.empty()) writeFile(PC_SERVICE_PID_FILE, c.service);
        if (c.guard > 0) writeFile(PC_GUARD_PID_FILE, id(c.guard));
        testing::internal::CaptureStderr();
        controlPanelTab.updateStatus();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(status(), c.want);
        EXPECT_EQ(controlPanelTab.bRunning, c.guard == guard);
        EXPECT_TRUE(untouched(guard) && untouched(other));
    }
    /* Nor does Stop signal such ids (a process of its own, so each check stands alone). */
    pid_t stranger = spawn("drevanta_guar", true);
    writeFile(PC_SERVICE_PID_FILE, id(stranger));
    writeFile(PC_GUARD_PID_FILE, id(stranger));
    controlPanelTab.stop();
    EXPECT_TRUE(untouched(stranger));
}

/* 0, negative and our own ids, even where /proc cannot tell programs apart: run in a group leader
 * child, any signal fails the exit 0. */
TEST_F(PanelService, IdsNamingNoServiceAreNeverSignalled)
{
    for (int kind = 0; kind < 3; kind++) {
        SCOPED_TRACE(kind);
        EXPECT_EXIT({
            setpgid(0, 0);
            panelHaveProc = false;
            int bad = kind == 0 ? 0 : kind == 1 ? -(int)getpid() : (int)getpid();
            writeFile(PC_SERVICE_PID_FILE, id(bad));
            writeFile(PC_GUARD_PID_FILE, id(bad));
            controlPanelTab.updateStatus();
            controlPanelTab.stop();
            _exit(status() == "Not Running" ? 0 : 2);
        }, ::testing::ExitedWithCode(0), "");
    }
}

TEST_F(PanelService, RunningServiceShowsItsChannelCount)
{
    pid_t service = spawn("drevantaquorvel");
    writeFile(PC_SERVICE_PID_FILE, id(service));
    writeFile(PC_ACTIVE_CALLS_FILE, id(1));
    controlPanelTab.updateStatus();
    EXPECT_EQ(status(), "Running with 1 active channel");
    EXPECT_TRUE(controlPanelTab.bRunning);

    remove(PC_ACTIVE_CALLS_FILE);
    testing::internal::CaptureStderr();
    controlPanelTab.updateStatus();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to open " PC_ACTIVE_CALLS_FILE " for reading\n");
    EXPECT_EQ(status(), "Running with 0 active channels");
}

/* Stop kills the guard first, then interrupts the service and returns once it has ended. */
TEST_F(PanelService, DispatchedStopKillsTheGuardThenInterruptsTheService)
{
    pid_t guard = spawn("drevanta_guard");
    pid_t service = spawn("drevantaquorvel", false, guard);
    writeFile(PC_GUARD_PID_FILE, id(guard));
    writeFile(PC_SERVICE_PID_FILE, id(service));
    /* Save before Start (a refresh shows the saved values); Restore writes no field before Stop; Manual
     * is no Stop; a button's name counts whole, not as the end of another name or inside a value */
    const struct { const char *body; bool saves; } posts[] = {
        {"SipProxyIP=9.9.9.9&basicsetupbutton=Save&controlbutton=Start", true},
        {"SipProxyIP=8.8.8.8&basicsetupbutton=Restore&controlbutton=Stop", false},
        {"controlbutton=Manual", false},
        {"xcontrolbutton=Stop", false},
        {"a=controlbutton=Stop", false},
        {"SipProxyIP=7.7.7.7&xbasicsetupbutton=Save", false},
    };
    for (const auto &p : posts) {
        controlPanelTab.bRefreshRequested = false;
        std::string body = p.body;
        drevanta_analyzePost(&body[0]);
        EXPECT_EQ(body, p.body);
        EXPECT_TRUE(untouched(guard) && untouched(service)) << p.body;
        EXPECT_EQ(controlPanelTab.bRefreshRequested, p.saves) << p.body;
    }
    EXPECT_STREQ(basicSetupTab.ReadConfVal("SipProxyIP"), "9.9.9.9");

    std::string stop = "controlbutton=Stopped";
    qftest::Call stopping([&] { drevanta_analyzePost(&stop[0]); });
    EXPECT_EQ(said(service), 'K');
    /* The service ends by its own a second after SIGINT; Stop sees that and returns, with no SIGKILL,
     * instead of waiting out the rest of the 5 s grace period (4 s more). */
    EXPECT_TRUE(qftest::waitFor([&] { return readFile("/proc/" + std::to_string(service) + "/stat")
                                                 .find(") Z ") != std::string::npos; }, 5000));
    EXPECT_TRUE(stopping.returns(2500));
    EXPECT_EQ(ended(guard, 0), SIGKILL);
    EXPECT_EQ(ended(service, 0), SIGINT);
    EXPECT_TRUE(controlPanelTab.bRefreshRequested);
    EXPECT_EQ(readFile(PC_SERVICE_PID_FILE), id(service));   /* the service's file stays */
}

/* Only a service still there after its grace period gets SIGKILL. */
TEST_F(PanelService, StopKillsAServiceThatIgnoresSigint)
{
    pid_t service = spawn("drevantaquorvel", false, 0, true);
    writeFile(PC_SERVICE_PID_FILE, id(service));
    controlPanelTab.stop();
    EXPECT_EQ(ended(service, 0), SIGKILL);
}

/* The real stand-ins of a product copy, started by the panel's own Start. */
class PanelStandIns : public PanelService {
protected:
    void SetUp() override
    {
        PanelService::SetUp();
        drevanta_setFileNames(product.bin().c_str());
    }
    void TearDown() override
    {
        controlPanelTab.stop();
        for (int pid : live()) kill(pid, SIGKILL);   /* a failed test's leftovers: ours alone */
        PanelService::TearDown();
    }
    /* Live processes that run a program of our product copy. */
    std::vector<int> live() { return qftest::processesRunning(product.bin()); }
    std::vector<int> named()
    {
        std::vector<int> pids;
        for (const char *f : {PC_GUARD_PID_FILE, PC_SERVICE_PID_FILE}) {
            std::string v = readFile(f);
            if (v.size() == 4) pids.push_back(*(const int *)v.data());
        }
        std::sort(pids.begin(), pids.end());
        return pids;
    }
    qftest::ProductDir product;
};

/* Start returns with the new pair named; overlapping Starts leave one pair, the named one; Stop ends it. */
TEST_F(PanelStandIns, OverlappingStartsLeaveTheOnePairTheFilesName)
{
    std::string start = "controlbutton=Start";
    drevanta_analyzePost(&start[0]);
    std::vector<int> first = live();
    EXPECT_EQ(first.size(), 2u);
    EXPECT_EQ(named(), first) << "the files name the pair as soon as Start returns";
    controlPanelTab.updateStatus();
    EXPECT_EQ(status().rfind("Running with ", 0), 0u) << status();

    std::vector<std::thread> posts;
    for (int i = 0; i < 3; i++)
        posts.emplace_back([] {
            std::string body = "controlbutton=Start";
            drevanta_analyzePost(&body[0]);
        });
    for (auto &t : posts) t.join();
    std::vector<int> after = live();
    EXPECT_EQ(after.size(), 2u);
    EXPECT_EQ(named(), after);
    for (int pid : first) EXPECT_EQ(std::count(after.begin(), after.end(), pid), 0) << pid;

    std::string stop = "controlbutton=Stop";
    drevanta_analyzePost(&stop[0]);
    EXPECT_TRUE(live().empty());
    controlPanelTab.updateStatus();
    EXPECT_EQ(status(), "Not Running");
}

}  // namespace
