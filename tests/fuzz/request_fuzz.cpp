/* tests/fuzz/request_fuzz.cpp: bytes as a client sends them, through the
 * whole request path: reading the header block off a socket, the request
 * line and headers, dispatch over the tree of request_tree.h and the
 * answer. */
#include "fuzz/request_tree.h"

namespace {

struct qf_context *ctx;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string top;
    ctx = qffuzz::request_tree(&top);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qffuzz::form_echoed = false;
    qffuzz::check_reply(qffuzz::serve(ctx, data, size));
    return 0;
}
