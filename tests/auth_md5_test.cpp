/* tests/auth_md5_test.cpp: MD5 against RFC 1321 vectors and padding edges; bin2str. */
#include <gtest/gtest.h>

#include <string>

#include "auth/auth.h"

namespace {

std::string
md5(const std::string &text)
{
    char buf[33];
    qf_md5(buf, text.c_str(), nullptr);
    return buf;
}

/* The RFC's own suite, then lengths around the 56-byte mark and whole
 * blocks, where padding code breaks. */
TEST(AuthMd5, Digests)
{
    struct Case {
        int line;
        std::string input;
        const char *digest;
    };
    const Case cases[] = {
        {__LINE__, "", "d41d8cd98f00b204e9800998ecf8427e"},
        {__LINE__, "a", "0cc175b9c0f1b6a831c399e269772661"},
        {__LINE__, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {__LINE__, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {__LINE__, "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {__LINE__, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {__LINE__,
         "1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {__LINE__, std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {__LINE__, std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {__LINE__, std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
        {__LINE__, std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {__LINE__, std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
        {__LINE__, std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
        {__LINE__, std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(md5(c.input), c.digest);
    }
}

/* Pieces are hashed as one text, whatever the split; the list ends at the
 * first null pointer even when more follow. */
TEST(AuthMd5, ArgumentList)
{
    char buf[33];
    qf_md5(buf, "Mufasa", ":", "testrealm@host.com", ":", "Circle Of Life", nullptr);
    EXPECT_STREQ(buf, "939e7578ed9e3c518a452acee763bce9");

    std::string a(40, 'x'), b(30, 'y');
    qf_md5(buf, a.c_str(), "", b.c_str(), nullptr);
    EXPECT_EQ(buf, md5(a + b));

    const char *absent = nullptr;
    qf_md5(buf, "ha1", ":", "nonce", ":", absent, ":", "cnonce", nullptr);
    EXPECT_EQ(buf, md5("ha1:nonce:"));
}

TEST(AuthMd5, Bin2str)
{
    char out[32];
    memset(out, 'Z', sizeof(out));
    bin2str(out, (const unsigned char *) "", 0);
    EXPECT_STREQ(out, "");
    bin2str(out, (const unsigned char *) "\x00\x0f\xf0\x01\x23\x45\x67\x89\xab\xcd\xef\xff", 12);
    EXPECT_STREQ(out, "000ff00123456789abcdefff");
}

}  // namespace
