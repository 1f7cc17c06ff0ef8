/* tests/fuzz/digest_fuzz.cpp: an Authorization header and a password file
 * through the Digest check. The input is split into the header value and
 * the password file. The header is parsed into working buffers of the
 * real size and of a small one, each an exact-size heap block; every
 * field found must lie inside its buffer and be terminated there. Then
 * the whole check runs as for a request, against the input's file and
 * against a fixed one. */
#include <fuzzer/FuzzedDataProvider.h>
#include <string.h>

#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

struct qf_context *ctx;
std::string fixed_file;

void check_fields(const std::vector<char> &buf, const struct digest_fields &df)
{
    const char *begin = buf.data(), *end = buf.data() + buf.size();
    for (const char *f : {df.username, df.cnonce, df.response, df.uri, df.qop, df.nc, df.nonce}) {
        if (f == nullptr)
            continue;
        if (f < begin || f >= end || memchr(f, '\0', (size_t) (end - f)) == nullptr) {
            fprintf(stderr, "a Digest field lies outside its buffer\n");
            abort();
        }
    }
}

/* authorize() as the dispatcher calls it: the header among the request's
 * headers, the password file open on fp. */
void run_authorize(const std::string &header, FILE *fp)
{
    struct qf_connection conn;
    memset(&conn, 0, sizeof(conn));
    conn.ctx = ctx;
    std::vector<char> name = {'A', 'u', 't', 'h', 'o', 'r', 'i', 'z', 'a', 't', 'i', 'o', 'n', '\0'};
    std::vector<char> value(header.begin(), header.end());
    value.push_back('\0');
    char method[] = "GET";
    conn.request_info.request_method = method;
    conn.request_info.num_headers = 1;
    conn.request_info.http_headers[0].name = name.data();
    conn.request_info.http_headers[0].value = value.data();
    (void) authorize(&conn, fp);
    reset_per_request_attributes(&conn);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ctx = qffuzz::quiet_context();
    fixed_file = "junk\nu:other:" + qftest::md5("u:other:pw") + "\nu:example.com:" +
                 qftest::md5("u:example.com:pw") + "\n" + std::string(300, 'x') + ":example.com:h\n";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    size_t small = in.ConsumeIntegralInRange<size_t>(1, 64);
    std::string header = in.ConsumeRandomLengthString(DIGEST_BUF_SIZE + 100);
    std::vector<uint8_t> file = in.ConsumeRemainingBytes<uint8_t>();

    for (size_t bufsize : {(size_t) DIGEST_BUF_SIZE, small}) {
        std::vector<char> buf(bufsize);
        struct digest_fields df;
        if (parse_digest_header(header.c_str(), buf.data(), buf.size(), &df)) {
            check_fields(buf, df);
            char expected[33];
            digest_expected_response(expected, "0123456789abcdef0123456789abcdef", "GET", &df);
            if (strlen(expected) != 32)
                abort();
        }
    }

    FILE *fp = qffuzz::open_bytes(file.data(), file.size());
    char ha1[256];
    (void) find_password_entry(fp, "u", "example.com", ha1, sizeof(ha1));
    rewind(fp);
    run_authorize(header, fp);
    fclose(fp);

    fp = qffuzz::open_bytes((const uint8_t *) fixed_file.data(), fixed_file.size());
    run_authorize(header, fp);
    fclose(fp);
    return 0;
}
