/* demo/standins/drevanta_guard.cpp: a stand-in for the Quorvel guard: it
 * records its id in /tmp/DrevantaGuardQuorvel, runs the service and starts
 * it again when it dies. The panel stops it with SIGKILL before it stops
 * the service, so it never takes the service down with it.
 * Usage: drevanta_guard SERVICE_PROGRAM CONFIG_FILE */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

static const char PID_FILE[] = "/tmp/DrevantaGuardQuorvel";
static const char SYSTEM_LOG[] = "/tmp/DrevantaTmpLog";
/* Seconds to wait before a restart, so a service that dies at once does
 * not spin the machine. */
static const int RESTART_DELAY = 2;
/* A service that lives less than this many seconds died on start-up... */
static const time_t SHORT_LIFE = 2;
/* ...and after this many such deaths in a row the guard gives up. */
static const int MAX_SHORT_LIVES = 5;

static volatile sig_atomic_t stop_signal = 0;

static void
on_stop(int sig)
{
    stop_signal = sig;
}

static bool
write_pid_file()
{
    std::string tmp = std::string(PID_FILE) + "." + std::to_string(getpid());
    int pid = (int)getpid();
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, &pid, sizeof(pid)) == (ssize_t)sizeof(pid);
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp.c_str(), PID_FILE) == 0) return true;
    unlink(tmp.c_str());
    return false;
}

/* Removes the id file only while it still names us. */
static void
remove_pid_file()
{
    int pid = 0, fd = open(PID_FILE, O_RDONLY);
    if (fd < 0) return;
    bool ours = read(fd, &pid, sizeof(pid)) == (ssize_t)sizeof(pid) && pid == (int)getpid();
    close(fd);
    if (ours) unlink(PID_FILE);
}

static void
log_line(const char *text, long arg)
{
    char stamp[32];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tm);
    FILE *f = fopen(SYSTEM_LOG, "a");
    if (f == nullptr) return;
    fprintf(f, "%s drevanta_guard[%d]: %s %ld\n", stamp, (int)getpid(), text, arg);
    fclose(f);
}

static pid_t
start_service(const char *program, const char *config)
{
    pid_t pid = fork();
    if (pid == 0) {
        execl(program, program, config, (char *)nullptr);
        _exit(127);
    }
    return pid;
}

/* Waits for the service to end; false when a stop signal came first. */
static bool
wait_service(pid_t pid, int *status)
{
    while (waitpid(pid, status, 0) < 0) {
        if (errno != EINTR || stop_signal != 0) return false;
    }
    return true;
}

/* Sleeps, but wakes up early for a stop signal. */
static void
back_off(int seconds)
{
    for (int i = 0; i < seconds * 10 && stop_signal == 0; i++) {
        struct timespec tick = {0, 100 * 1000 * 1000};
        nanosleep(&tick, nullptr);
    }
}

static void
install_handlers()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_stop;   /* no SA_RESTART: waitpid must wake up */
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

int
main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s SERVICE_PROGRAM CONFIG_FILE\n", argv[0]);
        return 2;
    }
    install_handlers();
    if (!write_pid_file()) {
        fprintf(stderr, "drevanta_guard: cannot write %s: %s\n", PID_FILE, strerror(errno));
        return 1;
    }

    int short_lives = 0;
    while (stop_signal == 0) {
        time_t started = time(nullptr);
        pid_t pid = start_service(argv[1], argv[2]);
        if (pid < 0) break;
        log_line("started the service, pid", (long)pid);
        int status = 0;
        if (!wait_service(pid, &status)) break;   /* the service runs on */
        log_line("the service ended, wait status", (long)status);
        short_lives = time(nullptr) - started < SHORT_LIFE ? short_lives + 1 : 0;
        if (short_lives >= MAX_SHORT_LIVES) {
            log_line("the service keeps dying, giving up after", (long)short_lives);
            break;
        }
        back_off(RESTART_DELAY);
    }
    remove_pid_file();
    return 0;
}
