/* server/text.h: reading of text that the server, its handlers and the panel
 * all need the same way: hex digits, decimal numbers, URL and form decoding,
 * form fields and HTTP dates. Nothing here knows a connection or an option,
 * so any file may include it. */
#ifndef QF_TEXT_H
#define QF_TEXT_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

/* The value of one hex digit of either case, or -1. */
int hex_digit(int c);

/* The decimal digits at *p, not reaching end (nullptr: up to the first
 * non-digit). Moves *p behind them and sets *value, saturated at
 * UINT64_MAX; *fits (when given) tells whether it was not cut. False, with
 * nothing set, when no digit stands at *p. */
bool scan_digits(const char **p, const char *end, uint64_t *value, bool *fits);
/* A decimal int read as scanf's %d reads it (leading white space, an
 * optional sign, digits), not reaching end (nullptr: no bound), clamped to
 * the int range instead of overflowing. False, *p unmoved, without digits. */
bool scan_int(const char **p, const char *end, int *n);

/* Decodes %XX always and '+' as a space with is_form_url_encoded; a '%'
 * without two hex digits is kept. Writes at most dst_len - 1 bytes and a
 * NUL; returns the bytes written. Output never runs ahead of input, so src
 * and dst may be the same. */
int url_decode(const char *src, size_t src_len, char *dst, size_t dst_len,
               int is_form_url_encoded);

/* The raw value of the first field called name in form text (name=value
 * pairs joined by '&'), read within buf_len bytes. A name counts whole
 * only: at the start or right behind '&', and followed by '=', so "b" is
 * not found in "ab=5" nor in "a=b=5". any_case folds ASCII case in the
 * name. Sets *value and *len; false when there is no such field. */
bool find_form_field(const char *buf, size_t buf_len, const char *name, bool any_case,
                     const char **value, size_t *len);

/* find_form_field, then the value form-decoded into dst as url_decode
 * does it. Returns the decoded length, or -1 when there is no such field
 * (dst then holds ""). */
int read_form_field(const char *buf, size_t buf_len, const char *name, bool any_case,
                    char *dst, size_t dst_len);

/* RFC 7231 IMF-fixdate of t ("Sun, 06 Nov 1994 08:49:37 GMT") into buf. */
const char *http_date(time_t t, char *buf, size_t size);
/* The few date layouts browsers send, read as UTC; 31 Dec 1999 when unreadable. */
time_t parse_http_date(const char *text);

#endif
