/* tests/cgi_test_conn.h: a connection of a bare context whose client is one end of a socket pair, for the CGI and SSI unit tests. */
#ifndef QF_TEST_CGI_TEST_CONN_H
#define QF_TEST_CGI_TEST_CONN_H

#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "cgi/cgi.h"
#include "server_bare_context.h"

namespace qftest {

class TestConn {
public:
    TestConn()
    {
        memset(&conn, 0, sizeof(conn));
        conn.ctx = bare.ctx;
        conn.client.sock = -1;
    }
    TestConn(const TestConn &) = delete;
    TestConn &operator=(const TestConn &) = delete;

    void setOption(int id, const char *value)
    {
        free(bare.ctx->options[id]);
        bare.ctx->options[id] = value != nullptr ? strdup(value) : nullptr;
    }

    /* Runs fn on a thread of its own, with a fresh socket pair as the
     * client, and returns every byte fn sent: the reader must keep up, or
     * a large answer would block fn. */
    std::string capture(const std::function<void()> &fn)
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
            return "<no socket pair>";
        conn.client.sock = sv[0];
        std::thread writer([&] {
            fn();
            shutdown(sv[0], SHUT_WR);
        });
        std::string got;
        char buf[16384];
        ssize_t n;
        while ((n = read(sv[1], buf, sizeof(buf))) > 0)
            got.append(buf, (size_t) n);
        writer.join();
        close(sv[0]);
        close(sv[1]);
        conn.client.sock = -1;
        return got;
    }

    BareContext bare;
    struct qf_connection conn;
};

/* True when some captured log line contains text. */
inline bool
logged(const std::vector<std::string> &lines, const std::string &text)
{
    for (const std::string &l : lines)
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

}  // namespace qftest

#endif
