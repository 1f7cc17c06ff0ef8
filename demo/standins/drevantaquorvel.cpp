/* demo/standins/drevantaquorvel.cpp: a stand-in for the Quorvel service, so
 * that the panel of a demo has something to start, count, log and stop.
 * It keeps the service's side of the bargain with the panel: its id in
 * /tmp/DrevantaQuorvel, a channel count within 2 seconds of SIGUSR1, lines
 * in the system log and in BIN/../log/errLog, an orderly end on SIGINT.
 * Usage: drevantaquorvel CONFIG_FILE */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

static const char PID_FILE[] = "/tmp/DrevantaQuorvel";
static const char CALLS_FILE[] = "/tmp/DrevantaQuorvelNumActiveCalls";
static const char SYSTEM_LOG[] = "/tmp/DrevantaTmpLog";
/* Seconds between two heartbeat lines: often enough that a demo panel
 * shows its logs moving at every refresh. */
static const int HEARTBEAT_PERIOD = 2;
/* The main loop's tick: well inside the 2 seconds the panel waits for a
 * channel count. */
static const long TICK_NS = 100 * 1000 * 1000;
/* Seconds for which one channel count holds, so that it changes slowly. */
static const time_t COUNT_PERIOD = 30;

/* Set by the handlers, acted on by the main loop. */
static volatile sig_atomic_t count_requested = 0;
static volatile sig_atomic_t stop_signal = 0;

struct service_config {
    std::string trunk = "(none)";
    std::string proxy = "(none)";
    std::string port = "5060";
    int phones = 8;
};

static std::string app_log;

static void
on_count_request(int)
{
    count_requested = 1;
}

static void
on_stop(int sig)
{
    stop_signal = sig;
}

/* Writes value as 4 native bytes, through a temporary file renamed into
 * place, so the panel never reads half a number. */
static bool
write_int_file(const char *path, int value)
{
    std::string tmp = std::string(path) + "." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, &value, sizeof(value)) == (ssize_t)sizeof(value);
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path) == 0) return true;
    unlink(tmp.c_str());
    return false;
}

static int
read_int_file(const char *path)
{
    int value = 0, fd = open(path, O_RDONLY);
    if (fd < 0) return 0;
    if (read(fd, &value, sizeof(value)) != (ssize_t)sizeof(value)) value = 0;
    close(fd);
    return value;
}

static void
append_line(const char *path, const char *line)
{
    FILE *f = fopen(path, "a");
    if (f == nullptr) return;
    fputs(line, f);
    fclose(f);
}

/* One timestamped line into both logs. */
static void
log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void
log_line(const char *fmt, ...)
{
    char line[512], stamp[32];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tm);
    int n = snprintf(line, sizeof(line), "%s drevantaquorvel[%d]: ", stamp, (int)getpid());
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line + n, sizeof(line) - n - 1, fmt, ap);
    va_end(ap);
    strcat(line, "\n");
    append_line(SYSTEM_LOG, line);
    if (!app_log.empty()) append_line(app_log.c_str(), line);
}

/* BIN/../log/errLog, where BIN is the directory of this program; the log
 * directory is made when it is missing. */
static std::string
application_log_path(const char *argv0)
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    std::string path = n > 0 ? std::string(exe, n) : std::string(argv0);
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string log_dir = dir + "/../log";
    mkdir(log_dir.c_str(), 0755);
    return log_dir + "/errLog";
}

/* The few settings the demo talks about; word after '=', ';' comments. */
static service_config
read_config(const char *path)
{
    service_config cfg;
    FILE *f = fopen(path, "r");
    if (f == nullptr) return cfg;
    char line[1000], key[1000], value[1000];
    while (fgets(line, sizeof(line), f) != nullptr) {
        char *eq = strchr(line, '=');
        if (eq == nullptr || line[strspn(line, " \t")] == ';') continue;
        *eq = ' ';
        if (sscanf(line, "%999s %999s", key, value) != 2) continue;
        if (strcmp(key, "TrunkName") == 0) cfg.trunk = value;
        if (strcmp(key, "SipProxyIP") == 0) cfg.proxy = value;
        if (strcmp(key, "SipProxyPort") == 0) cfg.port = value;
        if (strcmp(key, "NumPhonesToAllocate") == 0) cfg.phones = atoi(value);
    }
    fclose(f);
    return cfg;
}

/* Two phones carry one channel; the count drifts with the clock. */
static int
active_channels(const service_config &cfg)
{
    int most = cfg.phones / 2 > 0 ? cfg.phones / 2 : 1;
    return (int)((time(nullptr) / COUNT_PERIOD) % (most + 1));
}

static void
install_handlers()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_count_request;
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    /* Started in the background by a shell and by a threaded server, we may
     * inherit a blocked mask; the panel's signals must get through. */
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

int
main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s CONFIG_FILE\n", argv[0]);
        return 2;
    }
    install_handlers();
    app_log = application_log_path(argv[0]);
    service_config cfg = read_config(argv[1]);
    if (!write_int_file(PID_FILE, (int)getpid())) {
        fprintf(stderr, "drevantaquorvel: cannot write %s: %s\n", PID_FILE, strerror(errno));
        return 1;
    }
    log_line("started with %s: trunk %s on proxy %s:%s, %d phones", argv[1], cfg.trunk.c_str(),
             cfg.proxy.c_str(), cfg.port.c_str(), cfg.phones);

    time_t next_beat = 0;
    while (stop_signal == 0) {
        if (count_requested) {
            count_requested = 0;
            write_int_file(CALLS_FILE, active_channels(cfg));
        }
        time_t now = time(nullptr);
        if (now >= next_beat) {
            int n = active_channels(cfg);
            log_line("trunk %s registered, %d active channel%s", cfg.trunk.c_str(), n,
                     n == 1 ? "" : "s");
            next_beat = now + HEARTBEAT_PERIOD;
        }
        struct timespec tick = {0, TICK_NS};
        nanosleep(&tick, nullptr);
    }

    log_line("stopping on signal %d", (int)stop_signal);
    if (read_int_file(PID_FILE) == (int)getpid()) unlink(PID_FILE);
    return 0;
}
