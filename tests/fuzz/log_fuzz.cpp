/* tests/fuzz/log_fuzz.cpp: what a client sends, as the two logs write it.
 * The input is a request, served over the tree of request_tree.h with both
 * logs open; then its text is also handed to cry as a message argument and
 * as a request's method, URI and user. Fails when either log holds a byte outside printable ASCII other
 * than the line feed that ends a line, or a line that does not begin as
 * the server begins its lines: a client that could write one could forge
 * an entry. */
#include <string.h>
#include <unistd.h>

#include "fuzz/request_tree.h"

namespace {

struct qf_context *ctx;

std::string take(FILE *fp)
{
    std::string text;
    char buf[65536];
    fflush(fp);
    rewind(fp);
    for (size_t n; (n = fread(buf, 1, sizeof(buf), fp)) > 0;)
        text.append(buf, n);
    if (ftruncate(fileno(fp), 0) != 0)
        abort();
    rewind(fp);
    return text;
}

void check_log(const std::string &text, const char *name, const std::string &line_start)
{
    size_t from = 0;
    for (size_t nl; from < text.size(); from = nl + 1) {
        nl = text.find('\n', from);
        if (nl == std::string::npos) {
            fprintf(stderr, "%s log: a line without its line feed\n", name);
            abort();
        }
        std::string line = text.substr(from, nl - from);
        for (unsigned char c : line)
            if (c < 0x20 || c >= 0x7f) {
                fprintf(stderr, "%s log: byte 0x%02x in [%s]\n", name, c, line.c_str());
                abort();
            }
        if (!line.empty() && line.compare(0, line_start.size(), line_start) != 0) {
            fprintf(stderr, "%s log: a line of its own: [%s]\n", name, line.c_str());
            abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string top;
    struct qf_context *loop_ctx;
    ctx = qffuzz::request_tree(&top, &loop_ctx);
    ctx->log_callback = builtin_error_log;
    fclose(ctx->access_log);
    ctx->access_log = tmpfile();
    ctx->error_log = tmpfile();
    if (ctx->access_log == nullptr || ctx->error_log == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qffuzz::serve(ctx, data, size);

    /* The same bytes as every piece of client text cry may see. */
    std::string text((const char *) data, size);
    std::string method = text, uri = text, user = text;
    struct qf_connection other;
    memset(&other, 0, sizeof(other));
    other.ctx = ctx;
    other.request_info.request_method = &method[0];
    other.request_info.uri = &uri[0];
    other.request_info.remote_user = &user[0];
    cry(&other, "%s: [%.*s] \"%s\" %d", text.c_str(), (int) size, text.data(), text.c_str(), (int) size);
    log_access(&other);

    check_log(take(ctx->access_log), "access", "0.0.0.0 - ");
    check_log(take(ctx->error_log), "error", "[");
    return 0;
}
