/* http/chunked.cpp: the decoder of "Transfer-Encoding: chunked" request bodies. */
#include <string.h>

#include "http/http.h"

/* A chunk size of more hex digits would not fit 60 bits; no body that
 * large can be stored anyway. */
enum { MAX_CHUNK_SIZE_DIGITS = 15 };
/* Chunk extensions and trailer fields are read past, never kept; these
 * bound how long a client may keep the decoder in them. */
enum { MAX_CHUNK_EXT_LEN = 4096, MAX_TRAILER_LEN = 8192 };

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
        char c = in[i];
        switch (state) {
        case CHUNK_SIZE: {
            int d = hex_digit(c);
            if (d >= 0) {
                if (++count > MAX_CHUNK_SIZE_DIGITS) {
                    state = CHUNK_ERROR;
                    break;
                }
                remaining = remaining * 16 + (uint64_t) d;
                i++;
            } else if (count == 0 || strchr(" \t;\r\n", c) == nullptr || c == '\0') {
                state = CHUNK_ERROR;
            } else {
                state = c == ' ' || c == '\t' ? CHUNK_SIZE_BWS : CHUNK_EXT;
                count = 0;
            }
            break;
        }
        case CHUNK_SIZE_BWS: /* white space between the size and ';' or the line end */
            if (c == ' ' || c == '\t')
                i++;
            else if (c == ';' || c == '\r' || c == '\n')
                state = CHUNK_EXT;
            else
                state = CHUNK_ERROR;
            if (++count > MAX_CHUNK_EXT_LEN)
                state = CHUNK_ERROR;
            break;
        case CHUNK_EXT:
            i++;
            if (c == '\r') {
                state = CHUNK_SIZE_LF;
            } else if (c == '\n') {
                state = remaining == 0 ? CHUNK_TRAILER : CHUNK_DATA;
                count = 0;
            } else if ((c != '\t' && (unsigned char) c < 0x20) || c == 0x7f ||
                       ++count > MAX_CHUNK_EXT_LEN) {
                state = CHUNK_ERROR;
            }
            break;
        case CHUNK_SIZE_LF:
            i++;
            state = c != '\n' ? CHUNK_ERROR : remaining == 0 ? CHUNK_TRAILER : CHUNK_DATA;
            count = 0;
            break;
        case CHUNK_DATA: {
            size_t take = n - i < remaining ? n - i : (size_t) remaining;
            /* out may be in: the output never runs ahead of the input. */
            for (size_t k = 0; k < take; k++)
                out[o + k] = in[i + k];
            o += take;
            i += take;
            remaining -= take;
            if (remaining == 0)
                state = CHUNK_DATA_CR;
            break;
        }
        case CHUNK_DATA_CR:
            i++;
            state = c == '\r' ? CHUNK_DATA_LF : c == '\n' ? CHUNK_SIZE : CHUNK_ERROR;
            break;
        case CHUNK_DATA_LF:
            i++;
            state = c == '\n' ? CHUNK_SIZE : CHUNK_ERROR;
            break;
        case CHUNK_TRAILER: /* at the start of a trailer line */
            i++;
            if (c == '\r')
                state = CHUNK_FINAL_LF;
            else if (c == '\n')
                state = CHUNK_DONE;
            else
                state = ++count > MAX_TRAILER_LEN ? CHUNK_ERROR : CHUNK_TRAILER_LINE;
            break;
        case CHUNK_TRAILER_LINE:
            i++;
            if (c == '\n')
                state = CHUNK_TRAILER;
            else if ((c != '\t' && c != '\r' && (unsigned char) c < 0x20) || c == 0x7f ||
                     ++count > MAX_TRAILER_LEN)
                state = CHUNK_ERROR;
            break;
        case CHUNK_FINAL_LF:
            i++;
            state = c == '\n' ? CHUNK_DONE : CHUNK_ERROR;
            break;
        case CHUNK_DONE:
        case CHUNK_ERROR:
            break;
        }
    }
    *produced = o;
    return i;
}
