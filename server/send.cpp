/* server/send.cpp: sending a range of an open file to a client, over a plain socket by the
 * kernel's copy or through TLS a record at a time. The workers and the intake's send pump
 * both send files through these two. */
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/server.h"

/* Each sendfile call moves at most this much, well below the kernel's per-call cap, so the
 * count always fits the result type. */
static const uint64_t SENDFILE_CHUNK = (uint64_t) 1 << 30;

/* A file is read in pieces of this size and written a record (up to 16 KiB) per SSL_write:
 * one pread per record cost a tenth of a large send. */
enum { TLS_PIECE_SIZE = 64 * 1024 };

enum send_result
send_file_plain(int sock, int fd, off_t *offset, uint64_t len, bool one_call, uint64_t *sent)
{
    *sent = 0;
    while (*sent < len) {
        uint64_t left = len - *sent;
        uint64_t chunk = left < SENDFILE_CHUNK ? left : SENDFILE_CHUNK;
        ssize_t n = sendfile(sock, fd, offset, (size_t) chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0) {
            *sent += (uint64_t) n;
            if (one_call && *sent < len)
                return SEND_MORE;
            continue;
        }
        if (n < 0 && errno == EAGAIN)
            return SEND_WAIT;
        if (n < 0 && *sent == 0 && (errno == EINVAL || errno == ENOSYS))
            return SEND_REFUSED;
        return SEND_FAILED; /* end of file or a failed write */
    }
    return SEND_DONE;
}

/* A record is smaller than a segment can be (64 KiB on loopback), and the client sockets send
 * without delay: uncorked, every record of a file went out as a packet of its own, which cost
 * the kernel more than the encryption. Corked, they leave in full segments; the last record
 * uncorks. */
static void
set_corked(int sock, bool corked)
{
    int on = corked ? 1 : 0;
    (void) setsockopt(sock, IPPROTO_TCP, TCP_CORK, &on, sizeof(on));
}

/* Partial writes: each SSL_write returns once a record is out, so that what was sent is known
 * to the record when a send is cut. */
bool
tls_prepare_send(struct file_send *fs, SSL *ssl)
{
    fs->piece = (char *) malloc(TLS_PIECE_SIZE);
    fs->ssl = ssl;
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE);
    set_corked(SSL_get_fd(ssl), true);
    return fs->piece != nullptr;
}

/* The next record of the answer kept by the loop, or of the file, from the piece in hand or a
 * new one read once; a write that must wait is made again with the same bytes. TLS_DONE: a
 * record went out; TLS_FAILED also when the file ended early. */
static enum tls_step
send_record(struct file_send *fs)
{
    if (fs->kept == nullptr && fs->piece_written == fs->piece_len) {
        fs->piece_written = fs->piece_len = 0;
        size_t want = fs->remaining < (uint64_t) TLS_PIECE_SIZE ? (size_t) fs->remaining
                                                                : (size_t) TLS_PIECE_SIZE;
        ssize_t n;
        while ((n = pread(fs->fd, fs->piece, want, fs->offset)) < 0 && errno == EINTR)
            ;
        if (n <= 0)
            return TLS_FAILED;
        fs->piece_len = (size_t) n;
        fs->offset += n;
    }
    size_t *done = fs->kept != nullptr ? &fs->kept_sent : &fs->piece_written;
    const char *from = fs->kept != nullptr ? fs->kept : fs->piece;
    size_t len = fs->kept != nullptr ? fs->kept_len : fs->piece_len;
    enum tls_step step;
    int n = tls_write(fs->ssl, from + *done, (int) (len - *done), &step);
    if (n == 0)
        return step;
    fs->sent += (uint64_t) n;
    fs->remaining -= (uint64_t) n;
    *done += (size_t) n;
    if (fs->remaining == 0 && fs->kept == nullptr)
        set_corked(SSL_get_fd(fs->ssl), false);
    return TLS_DONE;
}

enum tls_step
send_file_tls(struct file_send *fs, int max_records)
{
    enum tls_step step = TLS_DONE;
    for (int k = 0; (max_records <= 0 || k < max_records) && fs->remaining > 0 && step == TLS_DONE;
         k++)
        step = send_record(fs);
    return step;
}
