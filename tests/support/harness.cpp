/* tests/support/harness.cpp: see harness.h. */
#include "support/harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace qftest {

TempDir::TempDir()
{
    char templ[] = "/tmp/quillfen-test-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

ProductDir::ProductDir()
{
    fs::copy(QF_PRODUCT_TEMPLATE, tmp_.path() + "/product",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::create_directories(tmp_.path() + "/log");
    /* Pages left in the template by a demo run must not leak into a test. */
    for (const char *stale : {"drevanta_gui.html", "tmp_drevanta_gui.html",
                              "drevanta_gui_busy.html", "_tmp_quorvel.conf"}) {
        std::error_code ec;
        fs::remove(bin() + stale, ec);
    }
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
    if (in) ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, const std::string &data)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

static struct sockaddr_in loopback(int port)
{
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(port);
    return sin;
}

int freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0), port = -1;
    struct sockaddr_in sin = loopback(0);
    socklen_t len = sizeof(sin);
    if (fd >= 0 && bind(fd, (struct sockaddr *)&sin, sizeof(sin)) == 0 &&
        getsockname(fd, (struct sockaddr *)&sin, &len) == 0)
        port = ntohs(sin.sin_port);
    close(fd);
    return port;
}

bool fileGains(const std::string &path, const std::string &text, int timeout_ms)
{
    return waitFor([&] { return readFile(path).find(text) != std::string::npos; }, timeout_ms);
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

void writeScript(const std::string &path, const std::string &text)
{
    writeFile(path, text);
    chmod(path.c_str(), 0755);
}

int childProcesses(pid_t pid, bool zombies)
{
    int n = 0;
    DIR *d = opendir("/proc");
    for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
        std::string stat = readFile(std::string("/proc/") + e->d_name + "/stat");
        size_t paren = stat.rfind(')');
        int ppid = 0;
        char state = 0;
        if (paren != std::string::npos && sscanf(&stat[paren + 1], " %c %d", &state, &ppid) == 2)
            n += ppid == pid && (!zombies || state == 'Z');
    }
    if (d != nullptr) closedir(d);
    return n;
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

ServerProcess::~ServerProcess()
{
    if (pid_ > 0 && status_ == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool ServerProcess::start(const std::vector<std::string> &args, const char *drevanta_bin,
                          const std::string &cwd)
{
    std::vector<std::string> env;   /* ours, with DREVANTA_BIN replaced */
    for (char **e = environ; *e != nullptr; e++)
        if (strncmp(*e, "DREVANTA_BIN=", 13) != 0) env.emplace_back(*e);
    if (drevanta_bin != nullptr) env.push_back(std::string("DREVANTA_BIN=") + drevanta_bin);
    std::vector<char *> argv = {const_cast<char *>(QF_BINARY)}, envp;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (std::string &e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    std::string out = io_.file("stdout"), err = io_.file("stderr");
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || n < 0) _exit(127);
        dup2(n, 0);
        dup2(o, 1);
        dup2(e, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    status_ = -1;
    return true;
}

bool ServerProcess::waitForOutput(const std::string &text, int timeout_ms)
{
    return waitFor([&] { return out().find(text) != std::string::npos; }, timeout_ms);
}

int ServerProcess::waitExit(int timeout_ms)
{
    if (pid_ <= 0) return -1;
    if (status_ != -1) return status_;
    int st = 0;
    if (!waitFor([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, timeout_ms)) return -1;
    return status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

int ServerProcess::stop(int sig, int timeout_ms)
{
    if (pid_ > 0 && status_ == -1) kill(pid_, sig);
    return waitExit(timeout_ms);
}

std::string ServerProcess::out() const { return readFile(io_.file("stdout")); }
std::string ServerProcess::err() const { return readFile(io_.file("stderr")); }

RunResult runQuillfen(const std::vector<std::string> &args, const char *drevanta_bin,
                      const std::string &cwd, int timeout_ms)
{
    ServerProcess proc;
    RunResult r{-1, "", ""};
    if (!proc.start(args, drevanta_bin, cwd)) return r;
    r.status = proc.waitExit(timeout_ms);
    return {r.status, proc.out(), proc.err()};
}

int connectLoopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sin = loopback(port);
    if (fd >= 0 && connect(fd, (struct sockaddr *)&sin, sizeof(sin)) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

Conn::~Conn()
{
    if (fd >= 0) close(fd);
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

std::string rawRequest(int port, const std::string &request, int timeout_ms)
{
    Conn c(port);
    if (c.fd < 0) return "";
    c.send(request);
    return c.read(timeout_ms);
}

const std::string INDEX_BODY = "hello from the root\n",
                  INDEX_REQUEST = "GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n";

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
    std::vector<std::string> args = {"-ports", "127.0.0.1:" + std::to_string(port), "-root",
                                     root(), "-error_log", dir.file("error.log")};
    args.insert(args.end(), extra.begin(), extra.end());
    return proc.start(args, product.bin().c_str()) && proc.waitForOutput("started on port");
}

std::string Server::ask(const std::string &line, const std::string &headers,
                        const std::string &body) const
{
    std::string len = body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return rawRequest(port, line + " HTTP/1.1\r\nHost: x\r\n" + len + headers + "\r\n" + body);
}

}  // namespace qftest
