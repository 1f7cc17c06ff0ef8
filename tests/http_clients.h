/* tests/http_clients.h: the outside programs the Digest and PUT system tests drive: curl, python3, htdigest. */
#ifndef QF_TEST_HTTP_CLIENTS_H
#define QF_TEST_HTTP_CLIENTS_H

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "auth/auth.h"

namespace qftest {

/* Standard output of a shell command. */
inline std::string
runCommand(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

inline bool
haveCommands(const std::string &names)
{
    return system(("command -v " + names + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string
shellQuote(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

/* htdigest asks twice for the password; without a terminal (setsid) it
 * reads the answers from standard input. */
inline bool
htdigest(const std::string &file, bool create, const std::string &realm, const std::string &user,
         const std::string &pass)
{
    std::string cmd = "printf '%s\\n%s\\n' " + shellQuote(pass) + " " + shellQuote(pass) +
                      " | setsid -w htdigest " + (create ? "-c " : "") + shellQuote(file) + " " +
                      shellQuote(realm) + " " + shellQuote(user) + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

inline std::string
md5(const std::string &text)
{
    char buf[33];
    qf_md5(buf, text.c_str(), nullptr);
    return buf;
}

/* The Authorization value of a correct client, from the RFC 2617 formula
 * rather than from the code under test. Any nonce will do for the server. */
inline std::string
digestCredentials(const std::string &user, const std::string &pass, const std::string &realm,
                  const std::string &method, const std::string &uri,
                  const std::string &nonce = "1700000000")
{
    std::string ha1 = md5(user + ":" + realm + ":" + pass);
    std::string ha2 = md5(method + ":" + uri);
    std::string resp = md5(ha1 + ":" + nonce + ":00000001:0a4f113b:auth:" + ha2);
    return "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
           "\", uri=\"" + uri + "\", qop=auth, nc=00000001, cnonce=\"0a4f113b\", response=\"" +
           resp + "\"";
}

}  // namespace qftest

#endif
