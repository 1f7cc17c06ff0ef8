/* panel/panel.cpp: start-up of the control panel, its file names, the
 * refresh thread and the dispatch of posted form actions. */
#include "panel/panel.h"
#include "server/text.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* The refresh thread builds pages and converts 20000-byte log buffers on
 * its stack; a generous stack keeps that far from the limit. */
static const size_t REFRESH_STACK_SIZE = 5000000;
/* Seconds between two refresh passes. */
static const unsigned REFRESH_PERIOD = 8;

char pcGlobDrevantaBin[PC_FILE_NAME_SIZE];
char pcSysLogFileName[PC_FILE_NAME_SIZE];
char pcAppLogFileName[PC_FILE_NAME_SIZE];
char pcConfFileName[PC_FILE_NAME_SIZE];
char pcTmpConfFileName[PC_FILE_NAME_SIZE];
char pcDrevantaGuiHtmlFileName[PC_FILE_NAME_SIZE];
char pcTmpDrevantaGuiHtmlFileName[PC_FILE_NAME_SIZE];
char pcPrefixDrevantaGuiHtmlFileName[PC_FILE_NAME_SIZE];
char pcDrevantaGuiBusyHtmlFileName[PC_FILE_NAME_SIZE];

char pcSystemLog[PC_LOG_SIZE];
char pcApplicationLog[PC_LOG_SIZE];

std::recursive_mutex panelFilesMutex;
std::mutex panelActionMutex;

/* Defined after the log buffers: the constructor empties them. */
ControlPanelTab controlPanelTab;
BasicSetupTab basicSetupTab;

/* Every name under the product directory, in the order they are formed. */
static const struct {
    char *name;
    const char *suffix;
} derived_names[] = {
    {pcAppLogFileName, "../log/errLog"},
    {pcConfFileName, "quorvel.conf"},
    {pcTmpConfFileName, "_tmp_quorvel.conf"},
    {pcDrevantaGuiHtmlFileName, "drevanta_gui.html"},
    {pcTmpDrevantaGuiHtmlFileName, "tmp_drevanta_gui.html"},
    {pcPrefixDrevantaGuiHtmlFileName, "images/prefix_drevanta_gui.html"},
    {pcDrevantaGuiBusyHtmlFileName, "drevanta_gui_busy.html"},
};

const char *
drevanta_checkBin(const char *bin)
{
    if (bin == nullptr)
        return "Please define the environment variable \"DREVANTA_BIN\" and then "
               "restart the application.";
    size_t len = strlen(bin);
    if (len == 0 || (bin[len - 1] != '/' && bin[len - 1] != '\\'))
        return "DREVANTA_BIN should end with slash (for Linux) or back-slash (for Windows)\n";
    if (len > PC_MAX_BIN_LENGTH)
        return "DREVANTA_BIN is too long: at most 311 characters are allowed\n";
    return nullptr;
}

/* The suffixes keep their forward slashes even after a back-slash: the
 * names are only ever used on the platform the value was written for. */
void
drevanta_setFileNames(const char *bin)
{
    snprintf(pcSysLogFileName, sizeof(pcSysLogFileName), "%s", PC_SYSTEM_LOG_FILE);
    snprintf(pcGlobDrevantaBin, sizeof(pcGlobDrevantaBin), "%s", bin);
    for (const auto &d : derived_names)
        snprintf(d.name, PC_FILE_NAME_SIZE, "%s%s", bin, d.suffix);
}

int
drevanta_main(void)
{
    snprintf(pcSysLogFileName, sizeof(pcSysLogFileName), "%s", PC_SYSTEM_LOG_FILE);
    const char *bin = getenv("DREVANTA_BIN");
    const char *msg = drevanta_checkBin(bin);
    if (msg != nullptr) panelFatal("%s", msg);
    drevanta_setFileNames(bin);

    /* Started before the wait page exists: its first pass writes the panel
     * page while start-up goes on. Never joined; it ends with the process. */
    pthread_attr_t attr;
    pthread_t thread;
    if (pthread_attr_init(&attr) != 0) panelFatal("unable to create thread\n");
    if (pthread_attr_setstacksize(&attr, REFRESH_STACK_SIZE) != 0 ||
        pthread_create(&thread, &attr, refreshThreadMainLoop, nullptr) != 0) {
        pthread_attr_destroy(&attr);
        panelFatal("unable to create thread\n");
    }
    pthread_attr_destroy(&attr);

    return controlPanelTab.writeBusyHtml();
}

void *
refreshThreadMainLoop(void *)
{
    for (;;) {
        panelPassDone(controlPanelTab.refresh() == 0);
        controlPanelTab.waitForRefreshRequest(REFRESH_PERIOD);
    }
    return nullptr;
}

/* The buttons are read as form fields under their whole names, so a field
 * that merely ends in a button's name, or a value that holds its text, does
 * nothing. A value counts by its start ("Stopped" stops). First match
 * wins: a body that holds a Save and a Start only saves. Restore and Manual
 * Refresh need no action: the wait page's reload shows the page the refresh
 * thread wrote. Actions queue up behind each other, so each Start or Stop
 * finds the service as the one before it left it. */
int
drevanta_analyzePost(char *body)
{
    if (body == nullptr) return 0;
    size_t len = strlen(body);
    char setup[16], control[16];
    read_form_field(body, len, "basicsetupbutton", false, setup, sizeof(setup));
    read_form_field(body, len, "controlbutton", false, control, sizeof(control));
    if (strncmp(setup, "Save", 4) == 0) {
        std::lock_guard<std::mutex> lock(panelActionMutex);
        basicSetupTab.saveClicked(body);
        controlPanelTab.requestRefresh();   /* the wait page returns to the saved values */
    } else if (strncmp(setup, "Restore", 7) == 0) {
        return 0;
    } else if (strncmp(control, "Start", 5) == 0) {
        std::lock_guard<std::mutex> lock(panelActionMutex);
        controlPanelTab.startClicked();
    } else if (strncmp(control, "Stop", 4) == 0) {
        std::lock_guard<std::mutex> lock(panelActionMutex);
        controlPanelTab.stopClicked();
    }
    return 0;
}

bool
drevanta_isPanelPage(const char *path)
{
    const char *slash = strrchr(path, '/');
    const char *name = slash != nullptr ? slash + 1 : path;
    return strcmp(name, "drevanta_gui.html") == 0 || strcmp(name, "drevanta_gui_busy.html") == 0;
}

/* _exit, not exit: the other threads keep running while we leave, and the
 * static destructors that exit would run could pull objects from under
 * them. Standard output is flushed by hand so nothing printed is lost. */
void
panelFatal(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fflush(stdout);
    fflush(stderr);
    _exit(1);
}

/* Set by the refresh thread once its first pass has written the page. */
static std::atomic<bool> started_up{false};
/* A failure was reported and no pass has succeeded since. */
static std::atomic<bool> failure_reported{false};

void
panelFailure(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (!started_up) {
        vfprintf(stderr, fmt, ap);
        va_end(ap);
        fflush(stdout);
        fflush(stderr);
        _exit(1);
    }
    if (!failure_reported.exchange(true)) {
        vfprintf(stderr, fmt, ap);
        fflush(stderr);
    }
    va_end(ap);
}

void
panelPassDone(bool wrote_page)
{
    started_up = true;
    if (wrote_page)
        failure_reported = false;
}

const char *
panelHtmlEntity(char c)
{
    switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return nullptr;
    }
}

void
panelWriteEscaped(FILE *f, const char *text)
{
    for (const char *p = text; *p != '\0'; p++) {
        const char *entity = panelHtmlEntity(*p);
        if (entity != nullptr)
            fputs(entity, f);
        else
            fputc(*p, f);
    }
}

void
panelSleep(unsigned seconds)
{
    struct timespec left = {(time_t)seconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
