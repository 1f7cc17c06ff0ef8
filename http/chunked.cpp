/* http/chunked.cpp: the decoder of "Transfer-Encoding: chunked" request bodies. */
#include <string.h>

#include "http/http.h"

/* A chunk size of more hex digits would not fit 60 bits; no body that
 * large can be stored anyway. */
enum { MAX_CHUNK_SIZE_DIGITS = 15 };
/* Chunk extensions and trailer fields are read past, never kept; these
 * bound how long a client may keep the decoder in them. */
enum { MAX_CHUNK_EXT_LEN = 4096, MAX_TRAILER_LEN = 8192 };

static size_t size_line_step(chunked_decoder *d, char c);
static size_t line_end_step(chunked_decoder *d, char c);

/* One byte of a chunk's size line (size, white space, extensions, line
 * end) moves the decoder on; returns 1 when the byte was consumed, 0 when
 * the next state must look at it again. */
static size_t
size_line_step(chunked_decoder *d, char c)
{
    switch (d->state) {
    case chunked_decoder::CHUNK_SIZE: {
        int digit = hex_digit(c);
        if (digit >= 0) {
            if (++d->count > MAX_CHUNK_SIZE_DIGITS) {
                d->state = chunked_decoder::CHUNK_ERROR;
                return 0;
            }
            d->remaining = d->remaining * 16 + (uint64_t) digit;
            return 1;
        }
        if (d->count == 0 || strchr(" \t;\r\n", c) == nullptr || c == '\0') {
            d->state = chunked_decoder::CHUNK_ERROR;
        } else {
            d->state = c == ' ' || c == '\t' ? chunked_decoder::CHUNK_SIZE_BWS
                                             : chunked_decoder::CHUNK_EXT;
            d->count = 0;
        }
        return 0;
    }
    case chunked_decoder::CHUNK_SIZE_BWS: { /* between the size and ';' or the line end */
        size_t used = 0;
        if (c == ' ' || c == '\t')
            used = 1;
        else if (c == ';' || c == '\r' || c == '\n')
            d->state = chunked_decoder::CHUNK_EXT;
        else
            d->state = chunked_decoder::CHUNK_ERROR;
        if (++d->count > MAX_CHUNK_EXT_LEN)
            d->state = chunked_decoder::CHUNK_ERROR;
        return used;
    }
    case chunked_decoder::CHUNK_EXT:
        if (c == '\r') {
            d->state = chunked_decoder::CHUNK_SIZE_LF;
        } else if (c == '\n') {
            d->state = d->remaining == 0 ? chunked_decoder::CHUNK_TRAILER
                                         : chunked_decoder::CHUNK_DATA;
            d->count = 0;
        } else if ((c != '\t' && (unsigned char) c < 0x20) || c == 0x7f ||
                   ++d->count > MAX_CHUNK_EXT_LEN) {
            d->state = chunked_decoder::CHUNK_ERROR;
        }
        return 1;
    case chunked_decoder::CHUNK_SIZE_LF:
        d->state = c != '\n'            ? chunked_decoder::CHUNK_ERROR
                   : d->remaining == 0 ? chunked_decoder::CHUNK_TRAILER
                                       : chunked_decoder::CHUNK_DATA;
        d->count = 0;
        return 1;
    default:
        return 0;
    }
}

/* One byte after a chunk's data: its CRLF, the trailer lines and the
 * final CRLF. Every such byte is consumed; returns 1. */
static size_t
line_end_step(chunked_decoder *d, char c)
{
    switch (d->state) {
    case chunked_decoder::CHUNK_DATA_CR:
        d->state = c == '\r'   ? chunked_decoder::CHUNK_DATA_LF
                   : c == '\n' ? chunked_decoder::CHUNK_SIZE
                               : chunked_decoder::CHUNK_ERROR;
        break;
    case chunked_decoder::CHUNK_DATA_LF:
        d->state = c == '\n' ? chunked_decoder::CHUNK_SIZE : chunked_decoder::CHUNK_ERROR;
        break;
    case chunked_decoder::CHUNK_TRAILER: /* at the start of a trailer line */
        if (c == '\r')
            d->state = chunked_decoder::CHUNK_FINAL_LF;
        else if (c == '\n')
            d->state = chunked_decoder::CHUNK_DONE;
        else
            d->state = ++d->count > MAX_TRAILER_LEN ? chunked_decoder::CHUNK_ERROR
                                                     : chunked_decoder::CHUNK_TRAILER_LINE;
        break;
    case chunked_decoder::CHUNK_TRAILER_LINE:
        if (c == '\n')
            d->state = chunked_decoder::CHUNK_TRAILER;
        else if ((c != '\t' && c != '\r' && (unsigned char) c < 0x20) || c == 0x7f ||
                 ++d->count > MAX_TRAILER_LEN)
            d->state = chunked_decoder::CHUNK_ERROR;
        break;
    case chunked_decoder::CHUNK_FINAL_LF:
        d->state = c == '\n' ? chunked_decoder::CHUNK_DONE : chunked_decoder::CHUNK_ERROR;
        break;
    default:
        break;
    }
    return 1;
}

/* RFC 7230:
 *   chunked-body = *chunk last-chunk trailer-part CRLF
 *   chunk        = chunk-size [ chunk-ext ] CRLF chunk-data CRLF
 *   chunk-size   = 1*HEXDIG
 *   last-chunk   = 1*("0") [ chunk-ext ] CRLF
 *   chunk-ext    = *( BWS ";" BWS chunk-ext-name [ BWS "=" BWS chunk-ext-val ] )
 *   trailer-part = *( header-field CRLF )
 * A bare LF is taken for CRLF, as the header block allows. Extensions and
 * trailers are skipped; a control byte in them is malformed. */
size_t
chunked_decoder::feed(const char *in, size_t n, char *out, size_t *produced)
{
    size_t i = 0, o = 0;

    while (i < n && state != CHUNK_DONE && state != CHUNK_ERROR) {
        if (state == CHUNK_DATA) {
            size_t take = n - i < remaining ? n - i : (size_t) remaining;
            /* out may be in: the output never runs ahead of the input. */
            for (size_t k = 0; k < take; k++)
                out[o + k] = in[i + k];
            o += take;
            i += take;
            remaining -= take;
            if (remaining == 0)
                state = CHUNK_DATA_CR;
        } else if (state <= CHUNK_SIZE_LF) {
            i += size_line_step(this, in[i]);
        } else {
            i += line_end_step(this, in[i]);
        }
    }
    *produced = o;
    return i;
}
