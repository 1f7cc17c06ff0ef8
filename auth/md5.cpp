/* auth/md5.cpp: the MD5 digest of RFC 1321 and its hexadecimal form. */
#include <stdarg.h>
#include <stdint.h>
#include <string.h>

#include "auth/auth.h"

/* MD5 works on 64-byte blocks; the length of the message goes into the
 * last 8 bytes of the last block. */
enum { MD5_BLOCK_SIZE = 64, MD5_LENGTH_AT = 56, MD5_DIGEST_SIZE = 16 };

struct md5_state {
    uint32_t abcd[4];
    uint64_t total;                        /* bytes hashed so far */
    unsigned char block[MD5_BLOCK_SIZE];   /* the partial block */
};

static void MD5Init(struct md5_state *md);
static void MD5Update(struct md5_state *md, const unsigned char *data, size_t len);
static void MD5Final(struct md5_state *md, unsigned char digest[MD5_DIGEST_SIZE]);
static void MD5Transform(uint32_t abcd[4], const unsigned char block[MD5_BLOCK_SIZE]);

/* RFC 1321, 3.4: T[i] = floor(2^32 * abs(sin(i + 1))), i = 0..63. */
static const uint32_t T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

/* Left-rotation amounts: four per round, repeated over its 16 steps. */
static const int S[4][4] = {
    {7, 12, 17, 22},
    {5, 9, 14, 20},
    {4, 11, 16, 23},
    {6, 10, 15, 21},
};

static uint32_t
rotl(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

/* The words of a block are little-endian whatever the host's order. */
static uint32_t
load_le32(const unsigned char *p)
{
    return (uint32_t) p[0] | (uint32_t) p[1] << 8 | (uint32_t) p[2] << 16 | (uint32_t) p[3] << 24;
}

static void
store_le32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char) v;
    p[1] = (unsigned char) (v >> 8);
    p[2] = (unsigned char) (v >> 16);
    p[3] = (unsigned char) (v >> 24);
}

/* RFC 1321, 3.4: the four rounds of sixteen steps over one block. */
static void
MD5Transform(uint32_t abcd[4], const unsigned char block[MD5_BLOCK_SIZE])
{
    uint32_t x[16];
    for (int i = 0; i < 16; i++)
        x[i] = load_le32(block + 4 * i);

    uint32_t a = abcd[0], b = abcd[1], c = abcd[2], d = abcd[3];
    for (int i = 0; i < 64; i++) {
        int round = i / 16;
        uint32_t f;
        int k;
        switch (round) {
        case 0: f = (b & c) | (~b & d); k = i; break;
        case 1: f = (b & d) | (c & ~d); k = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d;          k = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d);      k = (7 * i) % 16; break;
        }
        uint32_t next = b + rotl(a + f + x[k] + T[i], S[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    abcd[0] += a;
    abcd[1] += b;
    abcd[2] += c;
    abcd[3] += d;
}

static void
MD5Init(struct md5_state *md)
{
    md->abcd[0] = 0x67452301;
    md->abcd[1] = 0xefcdab89;
    md->abcd[2] = 0x98badcfe;
    md->abcd[3] = 0x10325476;
    md->total = 0;
}

static void
MD5Update(struct md5_state *md, const unsigned char *data, size_t len)
{
    size_t used = (size_t) (md->total % MD5_BLOCK_SIZE);
    md->total += len;

    while (len > 0) {
        size_t n = MD5_BLOCK_SIZE - used;
        if (n > len)
            n = len;
        memcpy(md->block + used, data, n);
        used += n;
        data += n;
        len -= n;
        if (used == MD5_BLOCK_SIZE) {
            MD5Transform(md->abcd, md->block);
            used = 0;
        }
    }
}

/* RFC 1321, 3.1-3.2: a 1 bit, zeros up to 56 bytes into a block, then the
 * message length in bits as a little-endian 64-bit number. */
static void
MD5Final(struct md5_state *md, unsigned char digest[MD5_DIGEST_SIZE])
{
    static const unsigned char padding[MD5_BLOCK_SIZE] = {0x80};
    unsigned char length[8];
    uint64_t bits = md->total * 8;

    for (int i = 0; i < 8; i++)
        length[i] = (unsigned char) (bits >> (8 * i));

    size_t used = (size_t) (md->total % MD5_BLOCK_SIZE);
    size_t pad = used < MD5_LENGTH_AT ? MD5_LENGTH_AT - used
                                      : MD5_BLOCK_SIZE + MD5_LENGTH_AT - used;
    MD5Update(md, padding, pad);
    MD5Update(md, length, sizeof(length));

    for (int i = 0; i < 4; i++)
        store_le32(digest + 4 * i, md->abcd[i]);
}

void
bin2str(char *to, const unsigned char *p, size_t len)
{
    static const char hex[] = "0123456789abcdef";

    for (size_t i = 0; i < len; i++) {
        *to++ = hex[p[i] >> 4];
        *to++ = hex[p[i] & 0x0f];
    }
    *to = '\0';
}

/* Hashes the concatenation of the strings up to the first null pointer;
 * nothing is put between them, so callers pass the ":" separators. */
void
qf_md5(char *buf, ...)
{
    struct md5_state md;
    unsigned char digest[MD5_DIGEST_SIZE];
    va_list ap;

    MD5Init(&md);
    va_start(ap, buf);
    const char *p;
    while ((p = va_arg(ap, const char *)) != nullptr)
        MD5Update(&md, (const unsigned char *) p, strlen(p));
    va_end(ap);
    MD5Final(&md, digest);
    bin2str(buf, digest, sizeof(digest));
}
