/* server/tls.cpp: HTTPS. The TLS context made from the ssl_cert file and swapped whole when
 * the option changes, and the TLS steps that the intake and the workers take on a connection. */
#include <errno.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server/server.h"

static SSL_CTX *make_tls_context(struct qf_context *ctx, const char *path);
static int select_alpn(SSL *ssl, const unsigned char **out, unsigned char *outlen,
                       const unsigned char *in, unsigned int inlen, void *arg);
static enum tls_step step_of(SSL *ssl, int result);

/* Guards ctx->ssl_ctx. Held only to take a reference or to swap, never while a certificate
 * file is read, so the intake never waits on the disk. One context per process. */
static pthread_mutex_t tls_ctx_mutex = PTHREAD_MUTEX_INITIALIZER;

/* TLS 1.2 with forward secrecy and AEAD only; TLS 1.3 keeps the library's suites. */
static const char tls12_ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
static const char tls_groups[] = "X25519:prime256v1:secp384r1";
/* Sessions cached by one context are resumed by it only. */
static const unsigned char session_context[] = "quillfen";

/* Chooses http/1.1 when the client offers it; a client offering only other protocols goes on
 * without ALPN rather than being refused. */
static int
select_alpn(SSL *ssl, const unsigned char **out, unsigned char *outlen, const unsigned char *in,
            unsigned int inlen, void *arg)
{
    static const unsigned char http11[] = "\x08http/1.1";
    unsigned char *chosen = nullptr;
    (void) ssl;
    (void) arg;
    if (SSL_select_next_proto(&chosen, outlen, http11, sizeof(http11) - 1, in, inlen) !=
        OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK;
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
}

/* The context for the PEM file at path (certificate chain and private key), or null after a
 * log line that names the file and the reason. */
static SSL_CTX *
make_tls_context(struct qf_context *ctx, const char *path)
{
    ERR_clear_error();
    SSL_CTX *sc = SSL_CTX_new(TLS_server_method());
    const char *what = nullptr;
    if (sc == nullptr) {
        what = "cannot create a TLS context";
    } else {
        SSL_CTX_set_min_proto_version(sc, TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(sc, TLS1_3_VERSION);
        SSL_CTX_set_options(sc, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
        /* A connection that waits (a slow handshake, a slow head) holds no record buffers. */
        SSL_CTX_set_mode(sc, SSL_MODE_RELEASE_BUFFERS);
        /* What the socket holds is read in one call, not a record header and then its body:
         * a handshake and a request took nine reads each way, now three. */
        SSL_CTX_set_read_ahead(sc, 1);
        SSL_CTX_set_session_cache_mode(sc, SSL_SESS_CACHE_SERVER);
        /* One TLS 1.3 ticket per connection instead of the library's two: a client resumes with
         * one, and every ticket costs an encryption and a write on every new connection. */
        SSL_CTX_set_num_tickets(sc, 1);
        SSL_CTX_set_session_id_context(sc, session_context, sizeof(session_context) - 1);
        SSL_CTX_set_alpn_select_cb(sc, select_alpn, nullptr);
        if (ctx->ssl_password_callback != nullptr)
            SSL_CTX_set_default_passwd_cb(sc, ctx->ssl_password_callback);
        if (SSL_CTX_set_cipher_list(sc, tls12_ciphers) != 1 ||
            SSL_CTX_set1_groups_list(sc, tls_groups) != 1)
            what = "cannot set the cipher suites";
        else if (SSL_CTX_use_certificate_chain_file(sc, path) != 1)
            what = "no usable certificate";
        else if (SSL_CTX_use_PrivateKey_file(sc, path, SSL_FILETYPE_PEM) != 1)
            what = "no usable private key";
        else if (SSL_CTX_check_private_key(sc) != 1)
            what = "the private key does not match the certificate";
    }
    if (what == nullptr)
        return sc;

    char reason[256] = "";
    unsigned long err = ERR_peek_error(); /* the first: the most specific */
    if (err != 0)
        ERR_error_string_n(err, reason, sizeof(reason));
    ERR_clear_error();
    cry(fc(ctx), "%s: [%s]: %s%s%s", "set_ssl_option", path, what, reason[0] != '\0' ? ": " : "",
        reason);
    SSL_CTX_free(sc);
    return nullptr;
}

/* Loads and checks the file, then swaps it in: new connections get the new certificate,
 * connections in progress keep the context they started with (each holds a reference).
 * A bad file leaves the one in use. Runs under the ssl_cert lock. */
bool
set_ssl_option(struct qf_context *ctx, const char *path)
{
    if (path == nullptr || path[0] == '\0') {
        cry(fc(ctx), "%s: a certificate file is required", "set_ssl_option");
        return false;
    }
    /* The library opens the file blocking: a FIFO would hold the caller
     * until someone writes to it. */
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        cry(fc(ctx), "%s: [%s]: %s", "set_ssl_option", path, "not a regular file");
        return false;
    }
    SSL_CTX *sc = make_tls_context(ctx, path);
    if (sc == nullptr)
        return false;
    pthread_mutex_lock(&tls_ctx_mutex);
    SSL_CTX *old = ctx->ssl_ctx;
    ctx->ssl_ctx = sc;
    pthread_mutex_unlock(&tls_ctx_mutex);
    SSL_CTX_free(old);
    return true;
}

bool
tls_available(struct qf_context *ctx)
{
    pthread_mutex_lock(&tls_ctx_mutex);
    bool available = ctx->ssl_ctx != nullptr;
    pthread_mutex_unlock(&tls_ctx_mutex);
    return available;
}

void
tls_release_context(struct qf_context *ctx)
{
    pthread_mutex_lock(&tls_ctx_mutex);
    SSL_CTX *sc = ctx->ssl_ctx;
    ctx->ssl_ctx = nullptr;
    pthread_mutex_unlock(&tls_ctx_mutex);
    SSL_CTX_free(sc);
}

SSL *
tls_new(struct qf_context *ctx, int sock)
{
    pthread_mutex_lock(&tls_ctx_mutex);
    SSL *ssl = ctx->ssl_ctx != nullptr ? SSL_new(ctx->ssl_ctx) : nullptr;
    pthread_mutex_unlock(&tls_ctx_mutex);
    if (ssl != nullptr && SSL_set_fd(ssl, sock) != 1) {
        SSL_free(ssl);
        ssl = nullptr;
    }
    if (ssl != nullptr)
        SSL_set_accept_state(ssl);
    ERR_clear_error();
    return ssl;
}

/* What a failed call asks for. A failure leaves nothing in the thread's error queue, where it
 * would make the next connection's calls look failed too. */
static enum tls_step
step_of(SSL *ssl, int result)
{
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
        return TLS_WANT_READ;
    case SSL_ERROR_WANT_WRITE:
        return TLS_WANT_WRITE;
    case SSL_ERROR_ZERO_RETURN:
        return TLS_CLOSED;
    default:
        ERR_clear_error();
        return TLS_FAILED;
    }
}

enum tls_step
tls_handshake(SSL *ssl)
{
    ERR_clear_error();
    int r = SSL_do_handshake(ssl);
    return r == 1 ? TLS_DONE : step_of(ssl, r);
}

bool
tls_handshake_done(SSL *ssl)
{
    return SSL_is_init_finished(ssl);
}

int
tls_read(SSL *ssl, char *buf, int len, enum tls_step *step)
{
    ERR_clear_error();
    errno = 0;
    int r = SSL_read(ssl, buf, len);
    *step = r > 0 ? TLS_DONE : step_of(ssl, r);
    return r > 0 ? r : 0;
}

bool
tls_has_pending(SSL *ssl)
{
    return SSL_has_pending(ssl) == 1;
}

/* On a blocking socket with I/O timeouts, a "want" is either a signal (errno EINTR: made
 * again) or the timeout (given up). */
int
tls_pull(SSL *ssl, char *buf, int len)
{
    enum tls_step step;
    for (;;) {
        int n = tls_read(ssl, buf, len, &step);
        if (n > 0)
            return n;
        if (step == TLS_CLOSED)
            return 0;
        if ((step != TLS_WANT_READ && step != TLS_WANT_WRITE) || errno != EINTR)
            return -1;
    }
}

int
tls_write(SSL *ssl, const char *buf, int len, enum tls_step *step)
{
    ERR_clear_error();
    errno = 0;
    int n = SSL_write(ssl, buf, len);
    *step = n > 0 ? TLS_DONE : step_of(ssl, n);
    return n > 0 ? n : 0;
}

int
tls_push(SSL *ssl, const char *buf, int len)
{
    for (;;) {
        enum tls_step step;
        int n = tls_write(ssl, buf, len, &step);
        if (n > 0)
            return n;
        if ((step != TLS_WANT_READ && step != TLS_WANT_WRITE) || errno != EINTR)
            return -1;
    }
}

/* The loop's answers: a write returns once a record is out, and one that must wait is made
 * again later from wherever its bytes are kept by then. */
void
tls_loop_writes(SSL *ssl)
{
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

/* close_notify: many answers end only with the connection, and clients take a TLS stream
 * that ends without it for a truncated one. */
enum tls_step
tls_notify_close(SSL *ssl)
{
    if (!SSL_is_init_finished(ssl))
        return TLS_DONE;
    ERR_clear_error();
    int r = SSL_shutdown(ssl);
    return r >= 0 ? TLS_DONE : step_of(ssl, r);
}

void
tls_free(SSL *ssl)
{
    SSL_free(ssl);
}
