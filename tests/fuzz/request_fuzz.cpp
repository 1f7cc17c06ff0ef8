/* tests/fuzz/request_fuzz.cpp: bytes as a client sends them, through the
 * whole request path: reading the header block off a socket, the request
 * line and headers, dispatch over the tree of request_tree.h and the
 * answer. An input of odd length goes to the intake's loop first, as a GET
 * or HEAD does in the server. */
#include "fuzz/request_tree.h"

namespace {

struct qf_context *ctx, *loop_ctx;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string top;
    ctx = qffuzz::request_tree(&top, &loop_ctx);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qffuzz::form_echoed = false;
    qffuzz::check_reply(qffuzz::serve(ctx, data, size, (size & 1) != 0 ? loop_ctx : nullptr));
    return 0;
}
