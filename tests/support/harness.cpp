/* tests/support/harness.cpp: see harness.h. */
#include "support/harness.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace qftest {

static const std::string INDEX_BODY = "hello from the root\n";
const std::string INDEX_REQUEST = "GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n";

TempDir::TempDir()
{
    char templ[] = "/tmp/quillfen-test-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() { std::error_code ec; fs::remove_all(path_, ec); }

ProductDir::ProductDir()
{
    fs::copy(QF_PRODUCT_TEMPLATE, file("product"),
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::create_directories(file("log"));
    /* Pages left in the template by a demo run must not leak into a test. */
    for (const char *stale : {"drevanta_gui.html", "tmp_drevanta_gui.html", "drevanta_gui_busy.html",
                              "_tmp_quorvel.conf"})
        unlink((bin() + stale).c_str());
}

bool waitFor(const std::function<bool()> &cond, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    if (in) ss << in.rdbuf();   /* a directory reads as "" */
    return ss.str();
}

void writeFile(const std::string &path, const std::string &data)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

void writeScript(const std::string &path, const std::string &text)
{
    writeFile(path, text);
    chmod(path.c_str(), 0755);
}

bool fileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

bool fileGains(const std::string &path, const std::string &text, int timeout_ms)
{
    return waitFor([&] { return readFile(path).find(text) != std::string::npos; }, timeout_ms);
}

static struct sockaddr_in loopback(int port)
{
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(port);
    return sin;
}

/* Whether nothing holds port on any address: "ports=<n>" binds every IPv4 address, and a test may
 * bind "[::]:<n>" too. */
static bool portFree(int port)
{
    struct sockaddr_in any = loopback(port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    struct sockaddr_in6 any6 {};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_any;
    any6.sin6_port = htons(port);
    const int on = 1;
    int v4 = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int v6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool free = v4 >= 0 && bind(v4, (struct sockaddr *)&any, sizeof(any)) == 0 &&
                (v6 < 0 || (setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) == 0 &&
                            bind(v6, (struct sockaddr *)&any6, sizeof(any6)) == 0));
    if (v4 >= 0) close(v4);
    if (v6 >= 0) close(v6);
    return free;
}

/* Ports are taken from below the kernel's ephemeral range: no client socket and no bind to port 0
 * can get one meanwhile. A random start keeps test programs that run side by side apart. */
int freePort(int after)
{
    if (after > 0) {
        for (int port = after + 1; port < 1024; port++)
            if (portFree(port)) return port;
        return -1;
    }
    int low = 32768, high = 60999;
    std::istringstream(readFile("/proc/sys/net/ipv4/ip_local_port_range")) >> low >> high;
    const int first = 10000, count = low - first;
    if (count < 1000) {   /* no room below the range: one the kernel picks, as good as it gets */
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in sin = loopback(0);
        sin.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t len = sizeof(sin);
        bool bound = fd >= 0 && bind(fd, (struct sockaddr *)&sin, sizeof(sin)) == 0 &&
                     getsockname(fd, (struct sockaddr *)&sin, &len) == 0;
        if (fd >= 0) close(fd);
        return bound ? ntohs(sin.sin_port) : -1;
    }
    static std::atomic<unsigned> next{std::random_device{}()};
    for (int i = 0; i < count; i++) {
        int port = first + (int)(next++ % (unsigned)count);
        if (portFree(port)) return port;
    }
    return -1;
}

int occurrences(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

int holdPort(int port)
{
    struct sockaddr_in sin = loopback(port);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, (struct sockaddr *)&sin, sizeof(sin)) == 0 && listen(fd, 1) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

std::string runCommand(const std::string &cmd)
{
    std::string out;
    char buf[65536];
    FILE *p = popen(cmd.c_str(), "r");
    for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0;) out.append(buf, n);
    if (p != nullptr) pclose(p);
    return out;
}

std::string bodyOf(const std::string &reply)
{
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

std::string headerOf(const std::string &reply, const std::string &name)
{
    size_t p = reply.find("\r\n" + name + ": ");
    if (p == std::string::npos || p > reply.find("\r\n\r\n")) return "";
    p += name.size() + 4;
    return reply.substr(p, reply.find("\r\n", p) - p);
}

int childProcesses(pid_t pid, bool zombies)
{
    int n = 0;
    for (const auto &e : fs::directory_iterator("/proc")) {
        std::string stat = readFile(e.path() / "stat");
        size_t paren = stat.rfind(')');
        int ppid = 0;
        char state = 0;
        if (paren != std::string::npos && sscanf(&stat[paren + 1], " %c %d", &state, &ppid) == 2)
            n += ppid == pid && (!zombies || state == 'Z');
    }
    return n;
}

std::vector<pid_t> processesRunning(const std::string &prefix)
{
    std::vector<pid_t> pids;
    for (const auto &e : fs::directory_iterator("/proc")) {
        std::error_code ec;
        std::string exe = fs::read_symlink(e.path() / "exe", ec).string(), stat = readFile(e.path() / "stat");
        size_t paren = stat.rfind(')');
        if (!ec && exe.rfind(prefix, 0) == 0 && paren != std::string::npos && paren + 2 < stat.size() &&
            stat[paren + 2] != 'Z')
            pids.push_back(atoi(e.path().filename().c_str()));
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

static int entries(const std::string &dir)
{
    auto it = fs::directory_iterator(dir);
    return (int)std::distance(begin(it), end(it));
}
int openDescriptors(pid_t pid) { return entries("/proc/" + std::to_string(pid) + "/fd"); }
int threadCount(pid_t pid) { return entries("/proc/" + std::to_string(pid) + "/task"); }

std::vector<pid_t> threadsIn(pid_t pid, long nr)
{
    std::vector<pid_t> tids;
    for (const auto &e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::string call = readFile(e.path() / "syscall");
        if (!call.empty() && isdigit((unsigned char)call[0]) && atol(call.c_str()) == nr)
            tids.push_back(atoi(e.path().filename().c_str()));
    }
    return tids;
}

bool signalled(pid_t pid, int sig, pid_t tid)
{
    std::string st = readFile("/proc/" + std::to_string(pid) + (tid != 0 ? "/task/" + std::to_string(tid) : "") +
                              "/status");
    size_t state = st.find("\nState:\t");
    if (state == std::string::npos || st[state + 8] == 'Z' || st[state + 8] == 'X') return true;
    for (const char *field : {"\nSigPnd:", "\nShdPnd:"}) {
        size_t at = st.find(field);
        if (at != std::string::npos && (strtoull(&st[at + 8], nullptr, 16) >> (sig - 1) & 1)) return true;
    }
    return false;
}

int tcpQueue(int local_port, int remote_port, bool sent)
{
    char want[64];
    snprintf(want, sizeof(want), "0100007F:%04X 0100007F:%04X", local_port, remote_port);
    if (remote_port == 0) snprintf(want, sizeof(want), "0100007F:%04X 00000000:0000 0A", local_port);
    std::istringstream table(readFile("/proc/net/tcp"));
    for (std::string line; std::getline(table, line);) {
        unsigned tx = 0, rx = 0;   /* "sl: local remote state tx:rx ..." */
        size_t at = line.find(want);
        if (at != std::string::npos && sscanf(line.c_str() + at + 27, " %*x %x:%x", &tx, &rx) == 2)
            return (int)(sent ? tx : rx);
    }
    return -1;
}

int descriptorOf(pid_t pid, int local_port, int remote_port, const char *local_addr)
{
    char want[64];
    snprintf(want, sizeof(want), "%s:%04X 0100007F:%04X", local_addr, local_port, remote_port);
    if (remote_port == 0) snprintf(want, sizeof(want), "%s:%04X 00000000:0000 0A", local_addr, local_port);
    std::istringstream table(readFile("/proc/net/tcp"));
    std::string inode;   /* the tenth field */
    for (std::string line; inode.empty() && std::getline(table, line);) {
        std::istringstream fields(line);
        for (int i = 0; line.find(want) != std::string::npos && i < 10; i++) fields >> inode;
    }
    for (const auto &e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code ec;
        if (!inode.empty() && fs::read_symlink(e.path(), ec).string() == "socket:[" + inode + "]")
            return std::stoi(e.path().filename().string());
    }
    return -1;
}

int takeDescriptor(pid_t pid, int fd)
{
    int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
    int ours = pidfd < 0 || fd < 0 ? -1 : (int)syscall(SYS_pidfd_getfd, pidfd, fd, 0);
    if (pidfd >= 0) close(pidfd);
    return ours;
}

Call::Call(std::function<void()> f)
    : thread_([this, f] {
          f();
          done_ = true;
      })
{
}

Call::~Call()
{
    if (!returns()) {
        fprintf(stderr, "%s: a call still blocks; ending the test program\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        _exit(1);
    }
    thread_.join();
}

bool Call::returns(int timeout_ms) { return waitFor([&] { return done_.load(); }, timeout_ms); }

ServerProcess::~ServerProcess() { stop(SIGKILL); }

bool ServerProcess::start(const std::vector<std::string> &args, const char *drevanta_bin,
                          const std::string &cwd)
{
    std::string bin = std::string("DREVANTA_BIN=") + (drevanta_bin != nullptr ? drevanta_bin : "");
    std::vector<char *> argv = {const_cast<char *>(QF_BINARY)}, envp;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    for (char **e = environ; *e != nullptr; e++)   /* ours, with DREVANTA_BIN replaced */
        if (strncmp(*e, "DREVANTA_BIN=", 13) != 0) envp.push_back(*e);
    if (drevanta_bin != nullptr) envp.push_back(&bin[0]);
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    std::string out = io_.file("stdout"), err = io_.file("stderr");
    pid_ = fork();
    if (pid_ == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        if (o >= 0 && e >= 0 && n >= 0 && dup2(n, 0) == 0 && dup2(o, 1) == 1 && dup2(e, 2) == 2 &&
            (cwd.empty() || chdir(cwd.c_str()) == 0)) {
            struct rlimit rl = {(rlim_t)fdLimit, (rlim_t)fdLimit};
            if (fdLimit <= 0 || setrlimit(RLIMIT_NOFILE, &rl) == 0) execve(argv[0], argv.data(), envp.data());
        }
        _exit(127);
    }
    status_ = -1;
    return pid_ > 0;
}

bool ServerProcess::waitForOutput(const std::string &text, int timeout_ms)
{
    return waitFor([&] { return out().find(text) != std::string::npos; }, timeout_ms);
}

int ServerProcess::stop(int sig, int timeout_ms)
{
    if (pid_ <= 0 || status_ != -1) return pid_ <= 0 ? -1 : status_;
    if (sig != 0) kill(pid_, sig);
    int st = 0;
    if (!waitFor([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, timeout_ms)) return -1;
    return status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

RunResult runQuillfen(const std::vector<std::string> &args, const char *drevanta_bin,
                      const std::string &cwd, int timeout_ms)
{
    ServerProcess proc;
    if (!proc.start(args, drevanta_bin, cwd)) return {-1, "", ""};
    int status = proc.stop(0, timeout_ms);
    return {status, proc.out(), proc.err()};
}

Conn::Conn(int port, const char *from, int rcvbuf)
{
    const bool v6 = from != nullptr && strchr(from, ':') != nullptr;
    struct sockaddr_in to = loopback(port), src = loopback(0);
    struct sockaddr_in6 to6 {}, src6 {};
    to6.sin6_family = src6.sin6_family = AF_INET6;
    to6.sin6_addr = in6addr_loopback;
    to6.sin6_port = to.sin_port;
    const socklen_t len = v6 ? sizeof(to6) : sizeof(to);
    fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    if (fd >= 0 && (from == nullptr || (inet_pton(v6 ? AF_INET6 : AF_INET, from, v6 ? (void *)&src6.sin6_addr : &src.sin_addr) == 1 &&
                                        bind(fd, v6 ? (struct sockaddr *)&src6 : (struct sockaddr *)&src, len) == 0)) &&
        connect(fd, v6 ? (struct sockaddr *)&to6 : (struct sockaddr *)&to, len) == 0)
        return;
    if (fd >= 0) close(fd);
    fd = -1;
}

Conn::~Conn() { if (fd >= 0) close(fd); }

int Conn::port() const
{
    struct sockaddr_in6 sin6 {};   /* sin6_port lies where sin_port does */
    socklen_t len = sizeof(sin6);
    return getsockname(fd, (struct sockaddr *)&sin6, &len) == 0 ? ntohs(sin6.sin6_port) : -1;
}

bool Conn::send(const std::string &data)
{
    for (size_t sent = 0; sent < data.size();) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += (size_t)n;
    }
    return true;
}

bool Conn::hears(int timeout_ms)
{
    struct pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, timeout_ms) == 1;
}

std::string Conn::read(int timeout_ms, size_t enough)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string reply;
    char buf[65536];
    while (reply.size() < enough) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !hears((int)left)) break;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            closed = n == 0 || errno == ECONNRESET;
            break;
        }
        reply.append(buf, (size_t)n);
    }
    return reply;
}

std::string rawRequest(int port, const std::string &request, int timeout_ms, const char *from)
{
    Conn c(port, from);
    if (c.fd < 0) return "";
    c.send(request);
    return c.read(timeout_ms);
}

std::string ask(int port, const std::string &line, const std::string &headers, const std::string &body,
                const char *from)
{
    std::string len = body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return rawRequest(port, line + " HTTP/1.1\r\n" + len + headers + "\r\n" + body, 10000, from);
}

std::string errorAnswer(const std::string &code, const std::string &reason, const std::string &detail, bool head)
{
    std::string body = "Error " + code + ": " + reason + "\n" + detail;
    return "HTTP/1.1 " + code + " " + reason + "\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + (head ? "" : body);
}

bool isIndexAnswer(const std::string &reply)
{
    return reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 && bodyOf(reply) == INDEX_BODY;
}

Server::Server()
{
    fs::create_directory(root());
    writeFile(root("index.html"), INDEX_BODY);
}

std::string Server::root(const std::string &name) const
{
    return dir.file(name.empty() ? "root" : "root/" + name);
}

bool Server::start(const std::vector<std::string> &extra)
{
    std::vector<std::string> args = {"-ports", "127.0.0.1:" + std::to_string(port), "-root", root(),
                                     "-error_log", dir.file("error.log")};
    args.insert(args.end(), extra.begin(), extra.end());
    return proc.start(args, product.bin().c_str()) && proc.waitForOutput("started on port");
}

std::string Server::ask(const std::string &line, const std::string &headers, const std::string &body) const
{
    return qftest::ask(port, line, "Host: localhost\r\n" + headers, body);
}

}  // namespace qftest
