/* server/text.cpp: hex digits, decimal numbers, URL and form decoding, form
 * fields and HTTP dates, read one way for the whole program. */
#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "server/text.h"

static const char *const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

static bool same_name(const char *a, const char *b, size_t n, bool any_case);
static int month_index(const char *text);

int
hex_digit(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool
scan_digits(const char **p, const char *end, uint64_t *value, bool *fits)
{
    const char *s = *p;
    uint64_t v = 0;
    bool cut = false;

    for (; (end == nullptr || s < end) && *s >= '0' && *s <= '9'; s++) {
        unsigned digit = (unsigned) (*s - '0');
        if (v > (UINT64_MAX - digit) / 10) {
            v = UINT64_MAX;
            cut = true;
        } else {
            v = v * 10 + digit;
        }
    }
    if (s == *p)
        return false;
    *value = v;
    if (fits != nullptr)
        *fits = !cut;
    *p = s;
    return true;
}

bool
scan_int(const char **p, const char *end, int *n)
{
    const char *s = *p;
    uint64_t v;

    while ((end == nullptr || s < end) && isspace((unsigned char) *s))
        s++;
    bool negative = (end == nullptr || s < end) && *s == '-';
    if ((end == nullptr || s < end) && (*s == '-' || *s == '+'))
        s++;
    if (!scan_digits(&s, end, &v, nullptr))
        return false;
    if (negative)
        *n = v > (uint64_t) INT_MAX + 1 ? INT_MIN : (int) -(int64_t) v;
    else
        *n = v > (uint64_t) INT_MAX ? INT_MAX : (int) v;
    *p = s;
    return true;
}

int
url_decode(const char *src, size_t src_len, char *dst, size_t dst_len, int is_form_url_encoded)
{
    if (dst_len == 0)
        return 0; /* not even room for the terminator */
    if (src_len == 0 || dst_len == 1) {
        dst[0] = '\0';
        return 0;
    }

    const unsigned char *s = (const unsigned char *) src;
    size_t i = 0, j = 0;
    while (i < src_len && j < dst_len - 1) {
        int hi, lo;
        if (s[i] == '%' && i + 2 < src_len && (hi = hex_digit(s[i + 1])) >= 0 &&
            (lo = hex_digit(s[i + 2])) >= 0) {
            dst[j] = (char) (hi * 16 + lo);
            i += 3;
        } else if (is_form_url_encoded && s[i] == '+') {
            dst[j] = ' ';
            i++;
        } else {
            dst[j] = (char) s[i];
            i++;
        }
        j++;
    }
    dst[j] = '\0';
    return (int) j;
}

static bool
same_name(const char *a, const char *b, size_t n, bool any_case)
{
    if (!any_case)
        return memcmp(a, b, n) == 0;
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char) a[i]) != tolower((unsigned char) b[i]))
            return false;
    return true;
}

bool
find_form_field(const char *buf, size_t buf_len, const char *name, bool any_case,
                const char **value, size_t *len)
{
    size_t n = strlen(name);

    for (size_t p = 0; p + n < buf_len; p++) {
        if ((p != 0 && buf[p - 1] != '&') || buf[p + n] != '=' ||
            !same_name(name, buf + p, n, any_case))
            continue;
        *value = buf + p + n + 1;
        size_t rest = buf_len - (p + n + 1);
        const char *amp = (const char *) memchr(*value, '&', rest);
        *len = amp != nullptr ? (size_t) (amp - *value) : rest;
        return true;
    }
    return false;
}

int
read_form_field(const char *buf, size_t buf_len, const char *name, bool any_case,
                char *dst, size_t dst_len)
{
    const char *value;
    size_t len;

    if (!find_form_field(buf, buf_len, name, any_case, &value, &len)) {
        if (dst_len > 0)
            dst[0] = '\0';
        return -1;
    }
    return url_decode(value, len, dst, dst_len, 1);
}

/* RFC 7231: IMF-fixdate = day-name "," SP date1 SP time-of-day SP GMT,
 * what a browser echoes in If-Modified-Since. */
const char *
http_date(time_t t, char *buf, size_t size)
{
    struct tm tm;
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

    if (gmtime_r(&t, &tm) == nullptr || tm.tm_year + 1900 > 9999 || tm.tm_year + 1900 < 0) {
        time_t epoch = 0; /* beyond the format: the epoch's first second */
        gmtime_r(&epoch, &tm);
    }
    /* "Sun, 06 Nov 1994 08:49:37 GMT", put together by hand: every file
     * answer has one, and printf was a tenth of a small answer's time. */
    char text[30];
    auto two = [](char *p, int v) { p[0] = (char) ('0' + v / 10 % 10); p[1] = (char) ('0' + v % 10); };
    memcpy(text, days[tm.tm_wday], 3);
    memcpy(text + 3, ", ", 2);
    two(text + 5, tm.tm_mday);
    text[7] = ' ';
    memcpy(text + 8, month_names[tm.tm_mon], 3);
    text[11] = ' ';
    int year = tm.tm_year + 1900;
    two(text + 12, year / 100);
    two(text + 14, year % 100);
    text[16] = ' ';
    two(text + 17, tm.tm_hour);
    text[19] = ':';
    two(text + 20, tm.tm_min);
    text[22] = ':';
    two(text + 23, tm.tm_sec);
    memcpy(text + 25, " GMT", 5);
    if (size > 0) {
        size_t n = size - 1 < 29 ? size - 1 : 29;
        memcpy(buf, text, n);
        buf[n] = '\0';
    }
    return buf;
}

/* HTTP dates are GMT, so the time is read as UTC whatever zone text
 * follows. */
time_t
parse_http_date(const char *text)
{
    struct tm tm;
    char month[4] = "";
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;

    memset(&tm, 0, sizeof(tm));
    if (sscanf(text, "%d/%3s/%d %d:%d:%d", &day, month, &year, &hour, &minute, &second) == 6 ||
        sscanf(text, "%d %3s %d %d:%d:%d", &day, month, &year, &hour, &minute, &second) == 6 ||
        sscanf(text, "%*3s, %d %3s %d %d:%d:%d", &day, month, &year, &hour, &minute,
               &second) == 6 ||
        sscanf(text, "%d-%3s-%d %d:%d:%d", &day, month, &year, &hour, &minute, &second) == 6) {
        int mon = month_index(month);
        if (mon != -1) {
            tm.tm_mday = day;
            tm.tm_mon = mon;
            tm.tm_year = year;
            tm.tm_hour = hour;
            tm.tm_min = minute;
            tm.tm_sec = second;
        }
    }

    /* Four-digit years, two-digit years meaning 2000-2069, or years since 1900. */
    if (tm.tm_year > 1900)
        tm.tm_year -= 1900;
    else if (tm.tm_year < 70)
        tm.tm_year += 100;

    return timegm(&tm);
}

static int
month_index(const char *text)
{
    for (int i = 0; i < 12; i++)
        if (strcmp(text, month_names[i]) == 0)
            return i;
    return -1;
}
