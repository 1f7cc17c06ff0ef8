/* panel/control_panel_tab.cpp: the Quorvel service as the panel sees it:
 * status from the status files and signals, Start and Stop, log tails. */
#include "panel/panel.h"
#include "server/server.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>

/* Status files are rewritten by the service while we read them: a few
 * quick retries get past a file caught half-written. */
static const int PID_READ_ATTEMPTS = 5;
/* How long the service has to answer SIGUSR1 with its channel count. */
static const unsigned ACTIVE_CALLS_WAIT = 2;
/* How long the service has to end on SIGINT before SIGKILL, and how long
 * a Start waits for the status files to name the pair it launched. */
static const int SERVICE_STOP_WAIT_MS = 5000;
static const int START_WAIT_MS = 5000;
/* How long a process that took SIGKILL may take to be gone. */
static const int KILL_WAIT_MS = 1000;
/* Between two looks at a process or the status files while waiting. */
static const int POLL_MS = 20;
/* Ends the start command: the shell tells the id of its background job,
 * nohup, which became the guard. */
static const char REPORT_GUARD_ID[] = "\necho $!";
/* The programs the status files stand for: only they are ever signalled. */
static const char SERVICE_PROGRAM[] = "drevantaquorvel";
static const char GUARD_PROGRAM[] = "drevanta_guard";

bool panelHaveProc = access("/proc/self", F_OK) == 0;

static int read_pid_file(const char *path, int *pid, bool complain, const char *program);
static bool runs_program(int pid, const char *program);
static bool process_ended(int pid);
static bool wait_until_ended(int pid, int ms);
static void poll_pause();
static int read_raw_pid(const char *path);
static int launch_guard(const char *cmd);
static bool read_small_file(const char *path, char *buf, size_t size);
static int read_log_tail(const char *path, char *buf, int size);
static size_t escaped_length(const char *s, size_t n);
static size_t escape_into(char *dst, const char *s, size_t n);
static void put_back_unconverted(char *log, const char *text, size_t len);
static bool append_text(char **p, const char *end, const char *text);
static bool append_quoted(char **p, const char *end, const char *dir, const char *name);
static int clamp_size(off_t size);

ControlPanelTab::ControlPanelTab()
    : pcStatusLine(new char[PC_STATUS_LINE_SIZE]), bRunning(false), nSysLogSize(0),
      nAppLogSize(0), tAppLogModTime(0), nServicePid(0), nGuardPid(0),
      bRefreshRequested(false)
{
    pcStatusLine[0] = '\0';
    pcSystemLog[0] = '\0';
    pcApplicationLog[0] = '\0';
}

/* One pass of the refresh thread. A Start or Stop that ends while status
 * and logs are taken makes them stale at once, so they are taken again
 * before the page is written. */
int
ControlPanelTab::refresh()
{
    do {
        bRefreshRequested = false;
        updateStatus();

        struct stat st;
        if (stat(pcSysLogFileName, &st) == 0 && clamp_size(st.st_size) != nSysLogSize)
            updateSysLog(clamp_size(st.st_size));
        /* The application log may be rewritten at the same size, so its
         * modification time decides. */
        if (stat(pcAppLogFileName, &st) == 0 && st.st_mtime != tAppLogModTime) {
            updateAppLog(clamp_size(st.st_size));
            tAppLogModTime = st.st_mtime;
        }
    } while (bRefreshRequested);
    return writeHtml();
}

/* Guards the sleep of the refresh thread, so that a request raised just
 * before it starts to sleep is not lost. Never destroyed: the thread may
 * still sleep on them while the process exits, and destroying a condition
 * variable waits for its sleepers. */
static std::mutex &refresh_wake_mutex = *new std::mutex;
static std::condition_variable &refresh_wake = *new std::condition_variable;

void
ControlPanelTab::requestRefresh()
{
    std::lock_guard<std::mutex> lock(refresh_wake_mutex);
    bRefreshRequested = true;
    refresh_wake.notify_all();
}

void
ControlPanelTab::waitForRefreshRequest(unsigned seconds)
{
    std::unique_lock<std::mutex> lock(refresh_wake_mutex);
    refresh_wake.wait_for(lock, std::chrono::seconds(seconds), [this] { return bRefreshRequested.load(); });
}

void
ControlPanelTab::startClicked()
{
    start();
    requestRefresh();
}

void
ControlPanelTab::stopClicked()
{
    stop();
    requestRefresh();
}

/* A start is always a restart: whatever runs is stopped first, so two
 * guards never watch the same service. It returns once the status files
 * name the new guard and service (or after START_WAIT_MS), so the refresh
 * pass it asks for sees them, and so does the next Start or Stop. */
int
ControlPanelTab::start()
{
    char cmd[PC_START_COMMAND_SIZE + sizeof(REPORT_GUARD_ID)];
    stop();
    if (!formatStartCommand(cmd, PC_START_COMMAND_SIZE)) return -1;
    strcat(cmd, REPORT_GUARD_ID);
    /* The service the files named before belongs to the pair just stopped. */
    int old_service = read_raw_pid(PC_SERVICE_PID_FILE);
    int guard = launch_guard(cmd);

    for (int waited = 0; waited < START_WAIT_MS; waited += POLL_MS) {
        int g = 0, s = 0;
        if (readGuardTmpFile(&g) == 0 && (guard <= 0 || g == guard) && readTmpFile(&s) == 0 &&
            s != old_service)
            return 0;
        poll_pause();
    }
    return 0;
}

/* The guard goes first, or it would restart the service we are stopping.
 * Returns once both have ended: the service gets SIGINT and, only if it is
 * still there after SERVICE_STOP_WAIT_MS, SIGKILL. The ids are locals of
 * this call: request threads and the refresh thread read the status files
 * at the same time. */
int
ControlPanelTab::stop()
{
    int pid = 0;
    for (int i = 0; i < PID_READ_ATTEMPTS; i++) {
        if (readGuardTmpFile(&pid) == 0) {
            kill(pid, SIGKILL);
            wait_until_ended(pid, KILL_WAIT_MS);
            break;
        }
    }
    for (int i = 0; i < PID_READ_ATTEMPTS; i++) {
        if (readTmpFile(&pid) == 0) {
            kill(pid, SIGINT);
            /* Once it has ended its id may go to another process: check the program. */
            if (!wait_until_ended(pid, SERVICE_STOP_WAIT_MS) && runs_program(pid, SERVICE_PROGRAM)) {
                kill(pid, SIGKILL);
                wait_until_ended(pid, KILL_WAIT_MS);
            }
            return 0;
        }
    }
    return 0;
}

/* The paths are quoted so that a product directory with spaces or shell
 * characters still reaches the guard as the same three arguments. */
bool
ControlPanelTab::formatStartCommand(char *buf, size_t size)
{
    char *p = buf;
    const char *end = buf + size;
    const char *bin = pcGlobDrevantaBin;

    if (size == 0) return false;
    *p = '\0';
    return append_text(&p, end, "nohup ") && append_quoted(&p, end, bin, GUARD_PROGRAM) &&
           append_text(&p, end, " ") && append_quoted(&p, end, bin, SERVICE_PROGRAM) &&
           append_text(&p, end, " ") && append_quoted(&p, end, bin, "quorvel.conf") &&
           append_text(&p, end, " > /dev/null  &");
}

/* The service runs when its recorded process takes SIGUSR1; it then has
 * two seconds to write its channel count. Without it, a live guard means
 * the service is on its way up or down. */
void
ControlPanelTab::updateStatus()
{
    int pid = 0;
    bool found = false;
    for (int i = 0; i < PID_READ_ATTEMPTS && !found; i++)
        found = readTmpFile(&pid) == 0;

    if (found && kill(pid, SIGUSR1) == 0) {
        panelSleep(ACTIVE_CALLS_WAIT);
        int n = readNumberOfActiveCalls();
        if (n == 1)
            snprintf(pcStatusLine, PC_STATUS_LINE_SIZE, "Running with %d active channel", n);
        else
            snprintf(pcStatusLine, PC_STATUS_LINE_SIZE, "Running with %d active channels", n);
        bRunning = true;
        return;
    }
    if (statusOfGuard()) {
        snprintf(pcStatusLine, PC_STATUS_LINE_SIZE, "%s", "Only Partially Running");
        bRunning = true;
    } else {
        snprintf(pcStatusLine, PC_STATUS_LINE_SIZE, "%s", "Not Running");
        bRunning = false;
    }
}

int
ControlPanelTab::readTmpFile(int *pid)
{
    if (read_pid_file(PC_SERVICE_PID_FILE, pid, true, SERVICE_PROGRAM) != 0) return -1;
    nServicePid = *pid;
    return 0;
}

int
ControlPanelTab::readGuardTmpFile(int *pid)
{
    if (read_pid_file(PC_GUARD_PID_FILE, pid, false, GUARD_PROGRAM) != 0) return -1;
    nGuardPid = *pid;
    return 0;
}

/* SIGCHLD is harmless to the guard; only whether the send succeeds, that
 * is whether the process exists, is used. */
bool
ControlPanelTab::statusOfGuard()
{
    int pid = 0;
    for (int i = 0; i < PID_READ_ATTEMPTS; i++)
        if (readGuardTmpFile(&pid) == 0) return kill(pid, SIGCHLD) == 0;
    return false;
}

int
ControlPanelTab::readNumberOfActiveCalls()
{
    FILE *f = fopen(PC_ACTIVE_CALLS_FILE, "rb");
    if (f == nullptr) {
        fprintf(stderr, "Unable to open %s for reading\n", PC_ACTIVE_CALLS_FILE);
        return 0;
    }
    int n = 0;
    size_t got = fread(&n, 1, sizeof(n), f);
    fclose(f);
    if (got != sizeof(n)) {
        fprintf(stderr, "Unable to read from %s\n", PC_ACTIVE_CALLS_FILE);
        return 0;
    }
    return n;
}

void
ControlPanelTab::updateSysLog(int size)
{
    int r = read_log_tail(pcSysLogFileName, pcSystemLog, size);
    if (r <= 0) return;
    replaceNewlineWithBrInLog(pcSystemLog);
    nSysLogSize = size;
}

void
ControlPanelTab::updateAppLog(int size)
{
    int r = read_log_tail(pcAppLogFileName, pcApplicationLog, size);
    if (r <= 0) return;
    replaceNewlineWithBrInLog(pcApplicationLog);
    nAppLogSize = size;
}

/* Turns the line feeds of a log tail into "<br>" and escapes the lines, in
 * place. Only whole lines are shown: the text after the last line feed is
 * still being written. When the result would not fit, the tail is shown
 * without line breaks instead. Returns 0, or -1 when it fell back. */
int
ControlPanelTab::replaceNewlineWithBrInLog(char *log)
{
    char work[PC_LOG_SIZE];
    size_t len = strnlen(log, PC_LOG_SIZE - 1);
    memcpy(work, log, len);
    work[len] = '\0';
    log[0] = '\0';

    size_t built = 0;
    const char *p = work;
    const char *nl;
    while ((nl = strchr(p, '\n')) != nullptr) {
        size_t seg = (size_t)(nl - p);
        if (built + escaped_length(p, seg) + 5 > PC_LOG_SIZE - 1) {
            fputs("safety buffer was not enough to handle log - going to display without "
                  "newlines\n", stderr);
            put_back_unconverted(log, work, len);
            return -1;
        }
        built += escape_into(log + built, p, seg);
        memcpy(log + built, "<br>", 5);
        built += 4;
        p = nl + 1;
    }
    return 0;
}

/* Reads the id in a status file into *pid: 0 on success, -1 when the file
 * is missing or short, or names a process the panel must never signal:
 * 0 and -1 reach whole process groups, 1 is init, our own id would stop
 * the server, and a process running another program is none of ours: the
 * files outlive their processes, so an old id may by now name anything.
 * A zombie takes signals but runs no more, so it names no live process. */
static int
read_pid_file(const char *path, int *pid, bool complain, const char *program)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr) return -1;
    int id = 0;
    size_t got = fread(&id, 1, sizeof(id), f);
    fclose(f);
    if (got != sizeof(id)) {
        if (complain) fprintf(stderr, "Unable to read from %s\n", path);
        return -1;
    }
    if (id <= 1 || id == (int)getpid() || !runs_program(id, program) || process_ended(id)) return -1;
    *pid = id;
    return 0;
}

/* Whether process pid is the program: its command name (the name of the
 * file it executed), or the last part of its argv[0] for one that renamed
 * itself. Without /proc nothing can be told, and every id is taken. */
static bool
runs_program(int pid, const char *program)
{
    if (!panelHaveProc) return true;
    char path[32], text[PATH_MAX];
    snprintf(path, sizeof(path), "/proc/%d/comm", pid);
    if (read_small_file(path, text, sizeof(text))) {
        size_t len = strlen(text);
        if (len > 0 && text[len - 1] == '\n') text[len - 1] = '\0';
        if (strcmp(text, program) == 0) return true;
    }
    snprintf(path, sizeof(path), "/proc/%d/cmdline", pid);
    if (!read_small_file(path, text, sizeof(text))) return false;
    const char *base = strrchr(text, '/');
    return strcmp(base != nullptr ? base + 1 : text, program) == 0;
}

/* Whether process pid has ended: gone, or a zombie that its parent has
 * not collected yet. Without /proc a zombie passes for alive. */
static bool
process_ended(int pid)
{
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    char path[32], text[512];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    if (!read_small_file(path, text, sizeof(text))) return false;
    /* "pid (command) state ...": the command may hold ')' itself. */
    const char *close = strrchr(text, ')');
    return close != nullptr && (close[1] == ' ') && (close[2] == 'Z' || close[2] == 'X');
}

/* Polls until pid has ended or ms have passed; true when it ended. */
static bool
wait_until_ended(int pid, int ms)
{
    for (int waited = 0;; waited += POLL_MS) {
        if (process_ended(pid)) return true;
        if (waited >= ms) return false;
        poll_pause();
    }
}

static void
poll_pause()
{
    struct timespec tick = {0, POLL_MS * 1000000L};
    nanosleep(&tick, nullptr);
}

/* The id in a status file as it stands, checked for nothing; 0 when there
 * is none. */
static int
read_raw_pid(const char *path)
{
    int id = 0;
    FILE *f = fopen(path, "rb");
    if (f == nullptr) return 0;
    if (fread(&id, 1, sizeof(id), f) != sizeof(id)) id = 0;
    fclose(f);
    return id;
}

/* Runs the start command, whose last line prints the guard's id; returns
 * that id, or 0 when the shell did not tell it. */
static int
launch_guard(const char *cmd)
{
    /* Not popen: the service must get the descriptor limit that the
     * server started with, not the one it raised for itself. */
    int out = -1;
    pid_t pid = spawn_shell(cmd, &out);
    if (pid < 0) return 0;
    int guard = 0;
    FILE *shell = fdopen(out, "r");
    if (shell == nullptr) {
        close(out);
    } else {
        if (fscanf(shell, "%d", &guard) != 1) guard = 0;
        fclose(shell);
    }
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
    return guard;
}

/* Reads at most size - 1 bytes of a file into buf, NUL-terminated; false
 * when it cannot be opened. */
static bool
read_small_file(const char *path, char *buf, size_t size)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr) return false;
    size_t got = fread(buf, 1, size - 1, f);
    fclose(f);
    buf[got] = '\0';
    return true;
}

/* Reads the last min(size, 14000) bytes of a log into buf, NUL-terminated.
 * Returns 1 when they all came, 0 when buf was emptied (empty log, short
 * read), -1 when buf was left alone (no file, failed seek). */
static int
read_log_tail(const char *path, char *buf, int size)
{
    FILE *f = fopen(path, "rb");
    if (f == nullptr) return -1;
    int n = size < PC_LOG_TAIL_BYTES ? size : PC_LOG_TAIL_BYTES;
    if (n < 0 || fseek(f, -(long)n, SEEK_END) != 0) {
        fclose(f);
        return -1;
    }
    size_t got = n > 0 ? fread(buf, 1, (size_t)n, f) : 0;
    fclose(f);
    if (n == 0 || got != (size_t)n) {
        buf[0] = '\0';
        return 0;
    }
    buf[n] = '\0';
    return 1;
}

static size_t
escaped_length(const char *s, size_t n)
{
    size_t len = 0;
    for (size_t i = 0; i < n; i++) {
        const char *entity = panelHtmlEntity(s[i]);
        len += entity != nullptr ? strlen(entity) : 1;
    }
    return len;
}

/* Escapes n bytes of s into dst and terminates it; returns the length
 * written. dst must hold escaped_length(s, n) + 1 bytes. */
static size_t
escape_into(char *dst, const char *s, size_t n)
{
    char *p = dst;
    for (size_t i = 0; i < n; i++) {
        const char *entity = panelHtmlEntity(s[i]);
        if (entity != nullptr) {
            size_t elen = strlen(entity);
            memcpy(p, entity, elen);
            p += elen;
        } else {
            *p++ = s[i];
        }
    }
    *p = '\0';
    return (size_t)(p - dst);
}

/* The fallback of the conversion: the text as it came, escaped. Escaping
 * can make it longer than the buffer; then its newest part is kept. */
static void
put_back_unconverted(char *log, const char *text, size_t len)
{
    size_t start = len, total = 0;
    while (start > 0) {
        size_t one = escaped_length(text + start - 1, 1);
        if (total + one > PC_LOG_SIZE - 1) break;
        total += one;
        start--;
    }
    escape_into(log, text + start, len - start);
}

/* Appends text at *p and terminates it; false when it does not fit. */
static bool
append_text(char **p, const char *end, const char *text)
{
    size_t len = strlen(text);
    if ((size_t)(end - *p) < len + 1) return false;
    memcpy(*p, text, len + 1);
    *p += len;
    return true;
}

/* Appends dir + name to *p as one shell word in single quotes, each quote
 * inside written as '\''. */
static bool
append_quoted(char **p, const char *end, const char *dir, const char *name)
{
    if (!append_text(p, end, "'")) return false;
    for (const char *part : {dir, name}) {
        for (const char *s = part; *s != '\0'; s++) {
            char one[2] = {*s, '\0'};
            if (!append_text(p, end, *s == '\'' ? "'\\''" : one)) return false;
        }
    }
    return append_text(p, end, "'");
}

static int
clamp_size(off_t size)
{
    return size > INT_MAX ? INT_MAX : (int)size;
}
