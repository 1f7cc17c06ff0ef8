/* tests/fuzz/chunked_fuzz.cpp: chunked request bodies. The first byte
 * picks the size of the pieces the body arrives in. Fails when the pieces
 * change the verdict or the decoded bytes, when decoding writes more than
 * it reads, or when a body the decoder accepts does not re-encode to what
 * it decoded. */
#include <string.h>

#include <string>

#include "fuzz/fuzz_support.h"

namespace {

struct result {
    std::string out;
    size_t consumed = 0;
    int state = 0;
};

/* Decodes in place, as the server does with the bytes it has read. */
result decode(std::string in, size_t piece)
{
    struct chunked_decoder dec;
    result r;
    while (r.consumed < in.size() && !dec.done() && !dec.failed()) {
        size_t n = in.size() - r.consumed < piece ? in.size() - r.consumed : piece, produced;
        char *p = &in[r.consumed];
        size_t used = dec.feed(p, n, p, &produced);
        if (used > n || produced > used || (used == 0 && !dec.failed() && !dec.done())) {
            fprintf(stderr, "feed used %zu of %zu and produced %zu\n", used, n, produced);
            abort();
        }
        r.out.append(p, produced);
        r.consumed += used;
    }
    r.state = dec.done() ? 1 : dec.failed() ? 2 : 0;
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t piece = 1 + data[0] % 16;
    std::string body((const char *) data + 1, size - 1);

    result whole = decode(body, body.size() + 1), pieces = decode(body, piece);
    if (whole.state != pieces.state || whole.out != pieces.out ||
        (whole.state != 2 && whole.consumed != pieces.consumed)) {
        fprintf(stderr, "pieces of %zu change the result: state %d/%d, %zu/%zu bytes\n", piece,
                whole.state, pieces.state, whole.out.size(), pieces.out.size());
        abort();
    }
    if (whole.state == 1) {
        char head[32];
        snprintf(head, sizeof(head), "%zx\r\n", whole.out.size());
        std::string again = (whole.out.empty() ? "" : head + whole.out + "\r\n") + "0\r\n\r\n";
        if (decode(again, 3).out != whole.out) {
            fprintf(stderr, "the decoded body does not survive re-encoding\n");
            abort();
        }
    }
    return 0;
}
