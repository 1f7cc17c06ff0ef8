/* tests/fuzz/config_fuzz.cpp: a configuration file through the front
 * end's line reader, and the options it names through their setters.
 * Options that open sockets or files, or load libraries, are only
 * checked, not set. Fails when a name or value breaks the line format's
 * bounds, or on any sanitizer report in the setters. */
#include <string.h>

#include "fuzz/fuzz_support.h"
#include "server/config.h"

namespace {

struct qf_context *ctx;

const char *const harmless[] = {
    "root",     "index_files", "dir_list", "protect",  "cgi_ext",     "cgi_interp",
    "cgi_env",  "ssi_ext",     "auth_realm", "auth_gpass", "auth_PUT", "aliases",
    "acl",      "max_threads", "idle_time", "mime_types",
};

bool apply(void *arg, const char *name, const char *value)
{
    int *applied = (int *) arg;
    size_t n = strlen(name), v = strlen(value);
    if (n == 0 || n >= CONFIG_LINE_SIZE || v == 0 || v >= CONFIG_LINE_SIZE ||
        strpbrk(name, " \t\r\n\v\f") != nullptr || strpbrk(value, "\r\n#") != nullptr) {
        fprintf(stderr, "line gave name [%s] value [%s]\n", name, value);
        abort();
    }
    ++*applied;
    for (const char *h : harmless)
        if (strcmp(name, h) == 0) {
            if (qf_set_option(ctx, name, value) == 1 && strcmp(name, "acl") == 0)
                for (const char *address : {"10.1.2.3", "2001:db8::1"}) {
                    struct usa client = qftest::address(address);
                    (void) check_acl(ctx, value, &client);
                }
            return true;
        }
    return find_opt(name) != nullptr; /* an unknown name stops the file, as in the front end */
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ctx = qffuzz::quiet_context();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *fp = qffuzz::open_bytes(data, size);
    int applied = 0, line_no = -1;
    enum config_result r = read_config_lines(fp, apply, &applied, &line_no);
    fclose(fp);
    if (line_no < applied || (r == CONFIG_OK && line_no < 0))
        abort();
    return 0;
}
