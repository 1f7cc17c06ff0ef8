/* tests/tls_itest.cpp: HTTPS through the real binary with real clients (curl, Python, openssl's
 * own client), certificates made here by the openssl command, and a certificate swapped at run
 * time. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include <openssl/ssl.h>

#include "support/harness.h"

using namespace qftest;

namespace {

const char REALM[] = "Quorvel panel";

/* One server with a plain port and a TLS port; a test CA signs every certificate. */
class Tls : public ::testing::Test {
protected:
    static inline std::unique_ptr<Server> s;
    static inline int tls_port;

    static std::string file(const std::string &name) { return s->dir.file(name); }

    /* An ECDSA P-256 certificate for localhost and 127.0.0.1, signed by the test CA, with its
     * key in one PEM file. */
    static std::string makeCert(const std::string &name, const std::string &cn)
    {
        const std::string d = s->dir.path() + "/";
        runCommand("cd " + d + " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
                   " -keyout " + name + ".key -out " + name + ".csr -subj /CN=" + cn + " 2>/dev/null &&"
                   " openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial"
                   " -days 2 -extfile san -out " + name + ".crt 2>/dev/null && cat " + name + ".crt " +
                   name + ".key > " + name + ".pem");
        return d + name + ".pem";
    }

    static void SetUpTestSuite()
    {
        if (system("command -v curl openssl python3 >/dev/null") != 0) return;
        s = std::make_unique<Server>();
        tls_port = freePort();
        runCommand("cd " + s->dir.path() + " && openssl req -x509 -newkey ec -pkeyopt"
                   " ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem -days 2"
                   " -subj /CN=QuillfenTestCA 2>/dev/null && printf"
                   " 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san");
        const std::string first = makeCert("first", "first");
        writeFile(s->root("big.bin"), std::string());
        runCommand("head -c 6000000 /dev/urandom > " + s->root("big.bin"));
        writeFile(s->root("page.shtml"), "[<!--#include \"index.html\"-->]");
        /* an answer without a length: it ends only with the connection */
        writeScript(s->root("t.cgi"), "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                                      "echo \"HTTPS=$HTTPS\"\nhead -c 100000 /dev/zero | tr '\\0' x\n");
        runQuillfen({"-A", file("pw"), REALM, "bob", "pass"}, s->product.bin().c_str());
        s->start({"-ssl_cert", first, "-ports",
                  "127.0.0.1:" + std::to_string(s->port) + ",127.0.0.1:" + std::to_string(tls_port) + "s",
                  "-auth_realm", REALM, "-auth_PUT", file("pw"), "-admin_uri", "/admin",
                  "-access_log", file("access")});
    }
    static void TearDownTestSuite() { s.reset(); }
    void SetUp() override
    {
        if (!s) GTEST_SKIP() << "curl, openssl or python3 is not installed";
        ASSERT_TRUE(s->proc.waitForOutput("started on port")) << s->proc.err();
    }

    static std::string url(const std::string &uri)
    {
        return "https://127.0.0.1:" + std::to_string(tls_port) + uri;
    }
    /* What curl printed (the body, then " <status>") and, after " |", its complaints. */
    static std::string curl(const std::string &options, const std::string &uri)
    {
        return runCommand("curl -sS --cacert " + file("ca.pem") + " -w ' %{http_code}' " + options +
                          " " + url(uri) + " 2>" + file("curl.err") + "; cat " + file("curl.err") +
                          " | sed 's/^/ |/'");
    }
    /* openssl's client against the TLS port, with its input closed. */
    static std::string sClient(const std::string &options)
    {
        return runCommand("openssl s_client -connect 127.0.0.1:" + std::to_string(tls_port) +
                          " -CAfile " + file("ca.pem") + " " + options + " </dev/null 2>&1");
    }
    static std::string subjectSeen()
    {
        return runCommand("openssl s_client -connect 127.0.0.1:" + std::to_string(tls_port) +
                          " </dev/null 2>/dev/null | openssl x509 -noout -subject");
    }
};

TEST_F(Tls, RealClientsOverHttps)
{
    const std::string index = readFile(s->root("index.html"));
    const struct { int line; std::string options, uri, expected; } cases[] = {
        {__LINE__, "", "/index.html", index + " 200"},
        {__LINE__, "-r 2-5", "/index.html", index.substr(2, 4) + " 206"},
        {__LINE__, "", "/page.shtml", "[" + index + "] 200"},
        {__LINE__, "", "/t.cgi", "HTTPS=on\n" + std::string(100000, 'x') + " 200"},
        {__LINE__, "", "/nothing", "Error 404: Not Found\nFile not found 404"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(curl(c.options, c.uri), c.expected);   /* no complaint: close_notify came */
    }

    /* Large downloads, one read slowly so that the intake carries the rest. */
    for (std::string rate : {"", "--limit-rate 3M"}) {
        SCOPED_TRACE(rate);
        EXPECT_EQ(curl(rate + " -o " + file("got.bin"), "/big.bin"), " 200");
        EXPECT_EQ(runCommand("cmp " + file("got.bin") + " " + s->root("big.bin") + " && echo same"), "same\n");
    }

    /* A form past what is held in memory, after 100 Continue: the intake reads it over TLS too. */
    writeFile(file("form"), "o=idle_time&v=10&pad=" + std::string(200000, 'p'));
    std::string saved = curl("-H 'Expect: 100-continue' --data-binary @" + file("form"), "/admin");
    EXPECT_NE(saved.find("Saved: idle_time=10"), std::string::npos) << saved.substr(0, 300);
    EXPECT_EQ(saved.substr(saved.size() - 4), " 200");

    /* A Digest-authenticated PUT, whose status line ends only with the connection. */
    writeFile(file("up.txt"), "uploaded over TLS");
    EXPECT_EQ(curl("--digest -u bob:pass -T " + file("up.txt"), "/up.txt"), " 201");
    EXPECT_EQ(readFile(s->root("up.txt")), "uploaded over TLS");

    EXPECT_EQ(runCommand("python3 -c 'import ssl, sys, urllib.request as u\n"
                         "c = ssl.create_default_context(cafile=sys.argv[1])\n"
                         "r = u.urlopen(sys.argv[2], context=c); print(r.status, r.read().decode())' " +
                         file("ca.pem") + " " + url("/up.txt") + " 2>&1"),
                  "200 uploaded over TLS\n") << s->proc.err() << s->proc.out();
    /* Answers that end only with the connection end with close_notify: a strict reader takes
     * a bare close for a cut. */
    for (std::string uri : {"/t.cgi", "/page.shtml"}) {
        SCOPED_TRACE(uri);
        EXPECT_EQ(runCommand("python3 -c 'import socket, ssl, sys\n"
                             "c = ssl.create_default_context(cafile=sys.argv[1])\n"
                             "t = c.wrap_socket(socket.create_connection((\"127.0.0.1\", int(sys.argv[2]))),"
                             " server_hostname=\"localhost\", suppress_ragged_eofs=False)\n"
                             "t.sendall(b\"GET \" + sys.argv[3].encode() + b\" HTTP/1.0\\r\\n\\r\\n\")\n"
                             "got = b\"\"\n"
                             "while (d := t.recv(65536)): got += d\n"
                             "print(got.split(b\"\\r\\n\")[0].decode(), len(got))' " +
                             file("ca.pem") + " " + std::to_string(tls_port) + " " + uri + " 2>&1 | tail -1"),
                  uri == "/t.cgi" ? "HTTP/1.1 200 OK 100054\n" : "HTTP/1.1 200 OK 85\n");
    }
    /* The access log shows what plain HTTP shows. */
    EXPECT_TRUE(fileGains(file("access"), "\"GET /big.bin HTTP/1.1\" 200 6000000 "));
    EXPECT_TRUE(fileGains(file("access"), "\"GET /index.html HTTP/1.1\" 206 4 "));
}

TEST_F(Tls, OnlyTls12And13WithAlpnAndResumption)
{
    for (std::string old : {"-tls1", "-tls1_1"}) {
        SCOPED_TRACE(old);   /* the client allows them; the server refuses */
        EXPECT_NE(sClient(old + " -cipher DEFAULT@SECLEVEL=0").find("alert protocol version"),
                  std::string::npos);
    }
    std::string out = sClient("-alpn h2,http/1.1");
    EXPECT_NE(out.find("New, TLSv1.3,"), std::string::npos) << out;
    EXPECT_NE(out.find("ALPN protocol: http/1.1"), std::string::npos) << out;
    EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos) << out;

    /* TLS 1.2 offers only forward-secret AEAD suites; a session is resumed. */
    EXPECT_NE(sClient("-tls1_2 -cipher AES128-SHA256").find("alert handshake failure"),
              std::string::npos);
    out = sClient("-tls1_2 -sess_out " + file("sess"));
    EXPECT_NE(out.find("New, TLSv1.2, Cipher is ECDHE-ECDSA-AES"), std::string::npos) << out;
    out = sClient("-tls1_2 -sess_in " + file("sess"));
    EXPECT_NE(out.find("Reused, TLSv1.2"), std::string::npos) << out;
}

/* The administration page swaps the certificate for the next connection; a bad file leaves
 * the one in use (at start-up it ends the process: FrontCli.StartupFailuresStop). */
TEST_F(Tls, CertificateSwappedAtRunTime)
{
    const std::string second = makeCert("second", "second");
    const std::string mismatch = file("mismatch.pem");
    runCommand("cat " + file("first.crt") + " " + file("second.key") + " > " + mismatch);
    EXPECT_EQ(subjectSeen(), "subject=CN = first\n");
    /* A connection whose handshake is done keeps its certificate across the swap. */
    writeFile(file("held.py"), "import os, socket, ssl, sys, time\n"
              "c = ssl.create_default_context(cafile=sys.argv[1])\n"
              "t = c.wrap_socket(socket.create_connection(('127.0.0.1', int(sys.argv[2]))),"
              " server_hostname='localhost', suppress_ragged_eofs=False)\n"
              "print(dict(x[0] for x in t.getpeercert()['subject'])['commonName'], flush=True)\n"
              "end = time.time() + 30\n"
              "while not os.path.exists(sys.argv[3]) and time.time() < end: time.sleep(0.02)\n"
              "t.sendall(b'GET /index.html HTTP/1.0\\r\\n\\r\\n')\n"
              "got = b''\n"
              "while (d := t.recv(65536)): got += d\n"
              "print(got.split(b'\\r\\n')[0].decode(), flush=True)\n");
    runCommand("python3 " + file("held.py") + " " + file("ca.pem") + " " + std::to_string(tls_port) +
               " " + file("go") + " >" + file("held.out") + " 2>&1 &");
    EXPECT_TRUE(fileGains(file("held.out"), "first\n"));

    EXPECT_NE(curl("-d o=ssl_cert -d v=" + second, "/admin").find("Saved: ssl_cert=" + second),
              std::string::npos);
    EXPECT_EQ(subjectSeen(), "subject=CN = second\n");
    writeFile(file("go"), "");
    EXPECT_TRUE(fileGains(file("held.out"), "first\nHTTP/1.1 200 OK\n")) << readFile(file("held.out"));

    /* The cross-site check knows the scheme: only an https page of this server may post. */
    const std::string here = "127.0.0.1:" + std::to_string(tls_port);
    EXPECT_EQ(curl("-o /dev/null -H 'Origin: http://" + here + "' -d o=ssl_cert -d v=" + file("first.pem"), "/admin"),
              " 403");
    EXPECT_EQ(curl("-o /dev/null -H 'Origin: https://" + here + "' -d o=ssl_cert -d v=" + second, "/admin"),
              " 200");
    EXPECT_EQ(subjectSeen(), "subject=CN = second\n");

    const std::string fifo = file("cert.fifo");   /* opening it would wait for a writer */
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct { int line; std::string path, why; } bad[] = {
        {__LINE__, fifo, "not a regular file"},
        {__LINE__, mismatch, "no usable private key"},
        {__LINE__, file("none.pem"), "no usable certificate"},
        {__LINE__, file("ca.key"), "no usable certificate"},
    };
    for (const auto &b : bad) {
        SCOPED_TRACE(b.line);
        curl("-m 10 -d o=ssl_cert -d v=" + b.path, "/admin");
        EXPECT_TRUE(s->logged("set_ssl_option: [" + b.path + "]: " + b.why));
        EXPECT_EQ(subjectSeen(), "subject=CN = second\n");
    }
    EXPECT_TRUE(s->logged("qf_set_option(ssl_cert): failure"));
}

/* A ports change whose first entry cannot be bound (a port the test holds) is refused whole: the
 * plain and the TLS listener keep answering, the new port is not opened, and the page says why. */
TEST_F(Tls, RefusedPortsChangeKeepsEveryListener)
{
    const int held = freePort(), other = freePort();
    Conn probe(held);   /* nothing there yet */
    EXPECT_LT(probe.fd, 0);
    const int fd = holdPort(held);
    ASSERT_GE(fd, 0);

    const std::string before = "127.0.0.1:" + std::to_string(s->port) + ",127.0.0.1:" + std::to_string(tls_port) + "s",
                      entry = "127.0.0.1:" + std::to_string(held);
    std::string page = s->ask("POST /admin", "", "o=ports&v=" + entry + ",127.0.0.1:" + std::to_string(other) + "s");
    EXPECT_NE(page.find("<p style=\"background: red\">Error setting option \"ports\": qf_open_listening_port(" +
                        std::to_string(held) + "): Address already in use; cannot bind to " + entry + "</p>"),
              std::string::npos) << page.substr(0, 400);
    EXPECT_NE(page.find("<input type=hidden name=o value='ports'><td><input type=text name=v value='" + before + "'>"),
              std::string::npos);
    EXPECT_TRUE(isIndexAnswer(rawRequest(s->port, INDEX_REQUEST)));
    EXPECT_EQ(curl("", "/index.html"), readFile(s->root("index.html")) + " 200");
    EXPECT_LT(Conn(other).fd, 0);
    close(fd);
}

/* The loop answers a small file in one write, and what the socket refuses is kept and sent as the
 * client drains. Here the client's receive buffer and the server's send buffer (shrunk through
 * pidfd_getfd: the tests run as root) hold much less than the answer, and the client reads
 * nothing until the loop has answered (its access-log line), then a little at a time: the whole
 * answer still arrives, over TLS with close_notify at its end. */
TEST_F(Tls, WhatTheSocketRefusedStillArrives)
{
    if (geteuid() != 0) GTEST_SKIP() << "not root: the server's socket cannot be reached";
    std::string body(7000, ' ');
    for (size_t i = 0; i < body.size(); i++) body[i] = (char) ('a' + i * 7 % 26);
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    ASSERT_EQ(SSL_CTX_load_verify_locations(ctx, file("ca.pem").c_str(), nullptr), 1);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        const std::string name = tls ? "kept-tls.bin" : "kept.bin";
        const int port = tls ? tls_port : s->port, least = 1;
        writeFile(s->root(name), body);
        Conn c(port, nullptr, least);
        struct timeval bound = {20, 0};   /* a lost end fails the test instead of hanging it */
        ASSERT_EQ(setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound)), 0);
        SSL *ssl = tls ? SSL_new(ctx) : nullptr;
        if (tls) {
            SSL_set_fd(ssl, c.fd);
            SSL_set_tlsext_host_name(ssl, "localhost");
            ASSERT_EQ(SSL_connect(ssl), 1);
        }
        auto send = [&](const std::string &d) {
            return tls ? SSL_write(ssl, d.data(), (int) d.size()) == (int) d.size() : c.send(d);
        };
        ASSERT_TRUE(send("GET /" + name + " HTTP/1.1\r\nHost: localhost\r\n"));
        int theirs = -1;
        ASSERT_TRUE(waitFor([&] {
            theirs = takeDescriptor(s->proc.pid(), descriptorOf(s->proc.pid(), port, c.port()));
            return theirs >= 0;
        }, 5000));
        EXPECT_EQ(setsockopt(theirs, SOL_SOCKET, SO_SNDBUF, &least, sizeof(least)), 0);
        close(theirs);
        ASSERT_TRUE(send("\r\n"));
        ASSERT_TRUE(fileGains(file("access"), "\"GET /" + name + " HTTP/1.1\" 200 7000 "));
        /* the kernel holds less than the answer: the rest is the loop's to keep */
        EXPECT_TRUE(waitFor([&] {
            return tcpQueue(c.port(), port) + tcpQueue(port, c.port(), true) < (int) body.size();
        }, 5000));
        std::string reply;
        char buf[512];
        int n;
        while ((n = tls ? SSL_read(ssl, buf, sizeof(buf)) : (int) recv(c.fd, buf, sizeof(buf), 0)) > 0)
            reply.append(buf, (size_t) n);
        EXPECT_EQ(tls ? SSL_get_error(ssl, n) : n, tls ? SSL_ERROR_ZERO_RETURN : 0);
        SSL_free(ssl);
        EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply.substr(0, 100);
        EXPECT_EQ(headerOf(reply, "Content-Length"), "7000");
        EXPECT_TRUE(bodyOf(reply) == body) << bodyOf(reply).size() << " bytes of the body";
    }
    SSL_CTX_free(ctx);
}

/* Clients that open a TLS connection and stall, or trickle a handshake, hold nothing that a
 * fresh client needs. */
TEST_F(Tls, StalledHandshakesDoNotBlockOthers)
{
    std::vector<std::unique_ptr<Conn>> stalled;
    for (int i = 0; i < 30; i++) {
        stalled.push_back(std::make_unique<Conn>(tls_port));
        if (i % 2 == 0) stalled.back()->send(std::string("\x16\x03\x01\x02\x00\x01", 6));
    }
    const std::string index = readFile(s->root("index.html"));
    for (int i = 0; i < 3; i++) EXPECT_EQ(curl("", "/index.html"), index + " 200");
    /* Clients that leave with their hello unfinished are let go at once, not at the deadline. */
    const int held = openDescriptors(s->proc.pid());
    stalled.clear();
    EXPECT_TRUE(waitFor([&] { return openDescriptors(s->proc.pid()) <= held - 30; }, 10000)) << held;
    EXPECT_EQ(rawRequest(s->port, "GET /index.html HTTP/1.0\r\n\r\n").find("HTTP/1.1 200 OK"), 0u);
    /* A hello that arrives in pieces, with pauses, is answered once it is whole. */
    writeFile(file("pieces.py"), "import socket, ssl, sys, time\n"
              "c = ssl.create_default_context(cafile=sys.argv[1])\n"
              "inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()\n"
              "t = c.wrap_bio(inc, out, server_hostname='localhost')\n"
              "s = socket.create_connection(('127.0.0.1', int(sys.argv[2])), timeout=20)\n"
              "def step(f):\n"
              "    while True:\n"
              "        try: r = f(); s.sendall(out.read()); return r\n"
              "        except ssl.SSLWantReadError:\n"
              "            s.sendall(out.read()); d = s.recv(65536)\n"
              "            if d: inc.write(d)\n"
              "            else: inc.write_eof()\n"
              "try: t.do_handshake()\n"
              "except ssl.SSLWantReadError: pass\n"
              "hello = out.read()\n"
              "for part in (hello[:3], hello[3:9], hello[9:]): s.sendall(part); time.sleep(0.3)\n"
              "step(t.do_handshake)\n"
              "step(lambda: t.write(b'GET /index.html HTTP/1.0\\r\\n\\r\\n'))\n"
              "print(step(lambda: t.read(100)).split(b'\\r\\n')[0].decode())\n");
    EXPECT_EQ(runCommand("python3 " + file("pieces.py") + " " + file("ca.pem") + " " +
                         std::to_string(tls_port) + " 2>&1"), "HTTP/1.1 200 OK\n");
    /* Plain bytes on the TLS port are no request. */
    Conn plain(tls_port);
    plain.send("GET /index.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(plain.read(10000).find("HTTP/1.1"), std::string::npos);
}

}  // namespace
