/* panel/panel.h: the Quorvel control panel: start-up, file names, service
 * control, page writers and the service's configuration file. */
#ifndef QF_PANEL_H
#define QF_PANEL_H

#include <stddef.h>
#include <stdio.h>
#include <time.h>

#include <atomic>
#include <mutex>

enum {
    /* Every file name of the panel: the product directory plus its longest
     * suffix ("images/prefix_drevanta_gui.html") fits with room to spare. */
    PC_FILE_NAME_SIZE = 1000,
    /* A displayed log tail after its line ends became "<br>". */
    PC_LOG_SIZE = 20000,
    /* Bytes taken from the end of a log: leaves the conversion to "<br>"
     * and the escaping of markup some room inside PC_LOG_SIZE. */
    PC_LOG_TAIL_BYTES = 14000,
    /* The start command names the product directory three times; longer
     * values are refused at start-up so the command is never cut short. */
    PC_MAX_BIN_LENGTH = 311,
    /* One piece of a text file: a line, or part of a longer one. */
    PC_LINE_SIZE = 1000,
    /* A value taken from a form body or the configuration file. */
    PC_VALUE_SIZE = 1000,
    /* "Running with %d active channels" with any int, and room to spare. */
    PC_STATUS_LINE_SIZE = 100,
    /* The start command: three product-directory paths quoted for the
     * shell. A 311-character directory made only of quotes needs 3902
     * bytes for them, plus the fixed words. */
    PC_START_COMMAND_SIZE = 4096,
};

/* The service's status files: fixed, outside the product directory. Each
 * holds one 4-byte int in the machine's own byte order. */
#define PC_SERVICE_PID_FILE "/tmp/DrevantaQuorvel"
#define PC_GUARD_PID_FILE "/tmp/DrevantaGuardQuorvel"
#define PC_ACTIVE_CALLS_FILE "/tmp/DrevantaQuorvelNumActiveCalls"
#define PC_SYSTEM_LOG_FILE "/tmp/DrevantaTmpLog"

/* File names, filled once by drevanta_main (or drevanta_setFileNames) before
 * any other thread of the panel exists, read-only afterwards. */
extern char pcGlobDrevantaBin[PC_FILE_NAME_SIZE];
extern char pcSysLogFileName[PC_FILE_NAME_SIZE];
extern char pcAppLogFileName[PC_FILE_NAME_SIZE];
extern char pcConfFileName[PC_FILE_NAME_SIZE];
extern char pcTmpConfFileName[PC_FILE_NAME_SIZE];
extern char pcDrevantaGuiHtmlFileName[PC_FILE_NAME_SIZE];
extern char pcTmpDrevantaGuiHtmlFileName[PC_FILE_NAME_SIZE];
extern char pcPrefixDrevantaGuiHtmlFileName[PC_FILE_NAME_SIZE];
extern char pcDrevantaGuiBusyHtmlFileName[PC_FILE_NAME_SIZE];

/* The displayed log tails, HTML-escaped, line ends turned into "<br>".
 * Written and read by the refresh thread only. */
extern char pcSystemLog[PC_LOG_SIZE];
extern char pcApplicationLog[PC_LOG_SIZE];

/* Serialises everything that touches quorvel.conf, its temporary file, the
 * panel page and the static result buffers of the look-ups: the refresh
 * thread's page write and any number of request threads' Saves. Recursive,
 * because a page write and a Save both call ReadConfVal under it. Never
 * held across the sleeps of the status update or the stop. */
extern std::recursive_mutex panelFilesMutex;

/* One panel action (Start, Stop, Save) at a time: a Start or Stop that
 * overlapped another would miss the pair the other one launched and leave
 * it running unnamed. Held for the whole action, sleeps included. */
extern std::mutex panelActionMutex;

/* The Control Panel tab: status of the service, its log tails, Start and
 * Stop, and the two page writers. Fields are public so that the tests can
 * set up a page without a running service. */
class ControlPanelTab {
public:
    ControlPanelTab();

    /* Status text shown on the page; 100 bytes, owned for the life of the
     * process. Written and read by the refresh thread only. */
    char *pcStatusLine;
    /* The service or its guard runs: decides which of Start and Stop is
     * enabled. Refresh thread only. */
    bool bRunning;
    /* Size of each log at its last successful read, and the application
     * log's modification time when last looked at. Refresh thread only. */
    int nSysLogSize;
    int nAppLogSize;
    time_t tAppLogModTime;
    /* The last ids read from the status files, for inspection only: request
     * threads and the refresh thread read them concurrently, so every
     * decision uses the id that its own call read, never these. */
    std::atomic<int> nServicePid;
    std::atomic<int> nGuardPid;
    /* Raised by request threads after a Start or Stop (requestRefresh),
     * cleared by the refresh thread at the start of each pass. */
    std::atomic<bool> bRefreshRequested;

    int refresh();
    /* Raises bRefreshRequested and wakes a refresh thread that sleeps. */
    void requestRefresh();
    /* The refresh thread's sleep between passes: up to seconds, over as
     * soon as a refresh is requested. */
    void waitForRefreshRequest(unsigned seconds);
    void startClicked();
    void stopClicked();
    int start();
    int stop();
    void updateStatus();
    int readTmpFile(int *pid);
    int readGuardTmpFile(int *pid);
    bool statusOfGuard();
    int readNumberOfActiveCalls();
    void updateSysLog(int size);
    void updateAppLog(int size);
    int replaceNewlineWithBrInLog(char *log);
    /* Forms the shell command that starts the guard; false when it does
     * not fit size bytes. */
    bool formatStartCommand(char *buf, size_t size);

    int writeHtml();
    int writeBusyHtml();
    int myCopyFile(const char *from, const char *to);
};

/* The Basic Setup tab: the service's configuration file. No state; the
 * look-ups return static buffers that the next call overwrites, so a caller
 * that keeps a result holds panelFilesMutex. */
class BasicSetupTab {
public:
    BasicSetupTab() {}

    /* The field's value, form-decoded; "" when the field is absent or its
     * value is refused (then *refused, when given, is set): white space or
     * control bytes, which quorvel.conf cannot hold, or too long a value. */
    const char *readValFromPostData(const char *body, const char *name, bool *refused = nullptr);
    /* nullptr also when the file cannot be read after start-up (then
     * readFailed() tells so until the next look-up). */
    const char *ReadConfVal(const char *key);
    bool readFailed() const;
    /* What the last Save refused, as a line for the page; "" when nothing.
     * The caller holds panelFilesMutex. */
    const char *saveRefusals() const;
    void saveParamValue(const char *key, const char *value);
    void saveClicked(const char *body);
};

extern ControlPanelTab controlPanelTab;
extern BasicSetupTab basicSetupTab;

/* Checks DREVANTA_BIN, derives the file names, starts the refresh thread and
 * writes the wait page. Ends the process with status 1 on any failure. */
int drevanta_main(void);

/* The one entry from the HTTP server: runs the action that a form body
 * posted to a plain file asks for. body is NUL-terminated and writable; it
 * is restored before the call returns. The result carries no meaning. */
int drevanta_analyzePost(char *body);

/* Whether path names one of the panel's two pages (by its file name, so
 * any alias or root that reaches them counts): they change with every pass
 * and every action, so no cache may keep them. */
bool drevanta_isPanelPage(const char *path);

/* The refresh thread: one refresh pass, then 8 seconds of sleep (cut short
 * by a refresh request), for ever. */
void *refreshThreadMainLoop(void *unused);

/* The start-up message for a DREVANTA_BIN value (nullptr when unset), or
 * nullptr when the value is usable. */
const char *drevanta_checkBin(const char *bin);

/* Fills every file-name buffer from a checked product directory. */
void drevanta_setFileNames(const char *bin);

/* Writes a formatted message to standard error and ends the whole process
 * with status 1, from whatever thread meets the error. */
[[noreturn]] void panelFatal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* A file of the panel that cannot be opened: during start-up (until the
 * first refresh pass has written the page) as panelFatal; afterwards the
 * message goes to standard error once, until a pass succeeds again, and
 * the caller gives up this pass. Descriptors or a file can be missing for
 * a while; the server must not end for it. */
void panelFailure(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* A refresh pass has ended: start-up is over; when it wrote the page,
 * the next failure is reported again. */
void panelPassDone(bool wrote_page);

/* The entity that stands for c in a page (& < > " '), or nullptr when c
 * goes in as it is. */
const char *panelHtmlEntity(char c);

/* Writes text to f with & < > " ' as entities. */
void panelWriteEscaped(FILE *f, const char *text);

/* Whether /proc can tell which program a process runs, looked at once at start-up. Without it
 * only the ids that can never be the service's are refused; tests turn it off to reach them. */
extern bool panelHaveProc;

/* Sleeps whole seconds, resuming after signals (the server's SIGCHLD
 * handler runs on any thread). */
void panelSleep(unsigned seconds);

/* Where the panel reports what belongs in the server's error log (a signal
 * that Stop could not send); standard error while none is set. The front
 * end sets it while the server runs. */
extern std::atomic<void (*)(const char *message)> panelErrorReport;

#endif
