/* tests/fuzz/request_fuzz.cpp: bytes as a client sends them, through the
 * whole request path: reading the header block off a socket, the request
 * line and headers, dispatch over the tree of request_tree.h and the
 * answer, plain or as a client's application data inside TLS records,
 * through the server's own TLS context and code. Besides the checks of
 * request_tree.h, it fails when a TLS answer does not end with close_notify.
 *
 * An input whose first byte is 16 or more (every request line's is) is
 * the plain request; one of odd length goes to the intake's loop first, as
 * a GET or HEAD does in the server. Any other input is a mode byte, three
 * record lengths and the request, inside TLS:
 *   byte 0   bit 0: TLS 1.2 (else 1.3); bits 1-2: how the client ends:
 *            0 it stops (the socket stays open, as a stalled client's),
 *            1 close_notify, 2 and 3 the socket's end without close_notify;
 *            bit 3: a GET or HEAD goes to the intake's loop first
 *   byte 1-3 record lengths taken in turn, 0 for a full record (16 KiB)
 *   the rest what the client writes, at most 64 KiB */
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "fuzz/request_tree.h"

namespace {

enum { HEADER = 4, MAX_DATA = 64 * 1024, FULL_RECORD = 16 * 1024 };
/* Tiny records cost over 20 bytes of wire each: past this many bytes of
 * records the rest is sent in full ones, so that everything the client says
 * fits the socket's buffer before the server reads (no read waits). */
enum { SMALL_RECORD_WIRE = 96 * 1024 };

struct qf_context *ctx, *loop_ctx;
SSL_CTX *client_ctx;

/* An ECDSA P-256 key and a self-signed certificate for it, as one PEM. */
std::string make_certificate()
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *cert = X509_new();
    BIO *pem = BIO_new(BIO_s_mem());
    if (key == nullptr || cert == nullptr || pem == nullptr)
        abort();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *) "localhost", -1,
                               -1, 0);
    X509_set_issuer_name(cert, name);
    if (X509_sign(cert, key, EVP_sha256()) == 0 || PEM_write_bio_X509(pem, cert) != 1 ||
        PEM_write_bio_PrivateKey(pem, key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        abort();
    char *text;
    long len = BIO_get_mem_data(pem, &text);
    std::string out(text, (size_t) len);
    BIO_free(pem);
    X509_free(cert);
    EVP_PKEY_free(key);
    return out;
}

/* The client's side of the wire: its records go through memory, and the
 * harness moves them, so that a whole request is one write. */
struct Client {
    SSL *ssl;
    BIO *in, *out;
    int sock;

    Client(int sock_, bool tls12) : ssl(SSL_new(client_ctx)), in(BIO_new(BIO_s_mem())),
                                    out(BIO_new(BIO_s_mem())), sock(sock_)
    {
        if (ssl == nullptr || in == nullptr || out == nullptr)
            abort();
        SSL_set_bio(ssl, in, out);
        SSL_set_connect_state(ssl);
        if (tls12)
            SSL_set_max_proto_version(ssl, TLS1_2_VERSION);
    }
    ~Client() { SSL_free(ssl); }

    void flush()
    {
        char *bytes;
        long len = BIO_get_mem_data(out, &bytes);
        for (long done = 0; done < len;) {
            ssize_t n = send(sock, bytes + done, (size_t) (len - done), MSG_DONTWAIT);
            if (n <= 0) {
                perror("fuzz harness: the client's records do not fit the socket");
                abort();
            }
            done += n;
        }
        (void) BIO_reset(out);
    }

    /* What the server has written so far, or all of it once it closed. */
    void fill()
    {
        char buf[65536];
        for (ssize_t n; (n = recv(sock, buf, sizeof(buf), MSG_DONTWAIT)) > 0;)
            BIO_write(in, buf, (int) n);
    }
};

/* Both sides take turns until both are done; a handshake that fails or
 * takes more turns than a full one is a fault. */
void shake_hands(Client &client, SSL *server)
{
    for (int turn = 0; turn < 8; turn++) {
        int c = SSL_do_handshake(client.ssl);
        client.flush();
        if (!tls_handshake_done(server) && tls_handshake(server) == TLS_FAILED)
            break;
        client.fill();
        if (c == 1 && tls_handshake_done(server))
            return;
    }
    ERR_print_errors_fp(stderr);
    fprintf(stderr, "the TLS handshake did not complete\n");
    abort();
}

/* The request in records of the lengths the input chose. */
void send_request(Client &client, const uint8_t *lengths, const uint8_t *data, size_t size)
{
    for (size_t at = 0, k = 0; at < size; k++) {
        size_t len = lengths[k % 3] != 0 ? lengths[k % 3] : FULL_RECORD;
        if (BIO_ctrl_pending(client.out) > SMALL_RECORD_WIRE)
            len = FULL_RECORD;
        len = len < size - at ? len : size - at;
        if (SSL_write(client.ssl, data + at, (int) len) != (int) len)
            abort();
        at += len;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string top;
    ctx = qffuzz::request_tree(&top, &loop_ctx);
    qffuzz::write_file(top + "/cert.pem", make_certificate());
    qffuzz::set_option(ctx, "ssl_cert", top + "/cert.pem");

    client_ctx = SSL_CTX_new(TLS_client_method());
    if (client_ctx == nullptr ||
        SSL_CTX_set_alpn_protos(client_ctx, (const unsigned char *) "\x08http/1.1", 9) != 0)
        abort();
    SSL_CTX_set_verify(client_ctx, SSL_VERIFY_NONE, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qffuzz::form_echoed = false;
    if (size == 0 || data[0] >= 16) {
        qffuzz::check_reply(qffuzz::serve(ctx, data, size, (size & 1) != 0 ? loop_ctx : nullptr));
        return 0;
    }
    uint8_t head[HEADER] = {0, 0, 0, 0};
    memcpy(head, data, size < HEADER ? size : HEADER);
    size_t skip = size < HEADER ? size : HEADER;
    data += skip;
    size -= skip;
    size = size < MAX_DATA ? size : MAX_DATA;
    int ending = (head[0] >> 1) & 3;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        abort();
    int room = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
    fcntl(sv[1], F_SETFL, O_NONBLOCK);

    std::string reply;
    bool notified;
    {
        Client client(sv[0], (head[0] & 1) != 0);
        struct qf_connection conn;
        memset(&conn, 0, sizeof(conn));
        conn.ctx = ctx;
        conn.client.sock = sv[1];
        conn.ssl = tls_new(ctx, sv[1]);
        if (conn.ssl == nullptr)
            abort();
        shake_hands(client, conn.ssl);

        send_request(client, head + 1, data, size);
        if (ending == 1)
            SSL_shutdown(client.ssl);
        client.flush();
        if (ending >= 2)
            shutdown(sv[0], SHUT_WR);

        /* As a worker (or the loop) serves a connection and ends it. */
        if (qffuzz::serve_head(&conn, (head[0] & 8) != 0 ? loop_ctx : nullptr, sv[0]))
            qffuzz::send_kept(
                &conn,
                [&](const char *p, size_t len) -> long {
                    enum tls_step step;
                    int n = tls_write(conn.ssl, p, (int) len, &step);
                    return n > 0 ? n : step == TLS_WANT_WRITE ? 0 : -1; /* no read comes */
                },
                [&] { client.fill(); });
        notified = tls_notify_close(conn.ssl) == TLS_DONE;
        tls_free(conn.ssl);
        close_gracefully(sv[1]);

        client.fill();
        BIO_set_mem_eof_return(client.in, 0); /* the end of what came is the end */
        char buf[16384];
        int n;
        while ((n = SSL_read(client.ssl, buf, sizeof(buf))) > 0)
            reply.append(buf, (size_t) n);
        int how = SSL_get_error(client.ssl, n);
        ERR_clear_error();
        /* A client that cut its stream short broke the connection; any other
         * one must see the answer end with close_notify. */
        if (ending < 2 && (!notified || how != SSL_ERROR_ZERO_RETURN)) {
            fprintf(stderr, "the answer did not end with close_notify (%s, SSL error %d):\n%s\n",
                    notified ? "sent" : "not sent", how, reply.c_str());
            abort();
        }
    }
    close(sv[0]);
    qffuzz::check_reply(reply);
    return 0;
}
