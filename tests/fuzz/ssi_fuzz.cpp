/* tests/fuzz/ssi_fuzz.cpp: a page through the server-side-include scanner
 * and the directive parser, without a connection: nothing is opened and
 * no command runs. Fails when the scanner loses or invents bytes (page
 * text, directive tags and dropped over-long tags must add up to the
 * page), hands over a tag that is not a whole directive, or when a
 * directive's name or include path overruns its bound. */
#include <string.h>

#include "cgi/cgi.h"
#include "fuzz/fuzz_support.h"

namespace {

enum { SSI_BUF = 8192, DROPPED_TAG = SSI_BUF - 2, PATH_SIZE = 4096 };

struct qf_context *ctx;

struct tally {
    size_t bytes = 0;
};

[[noreturn]] void fail(const char *what, const char *tag)
{
    fprintf(stderr, "%s: [%s]\n", what, tag);
    abort();
}

void check_name(const char *name, const char *tag)
{
    size_t n = strlen(name);
    if (n == 0 || n >= SSI_BUF || strchr(name, '"') != nullptr)
        fail("bad directive argument", tag);
}

void check_directive(const char *tag, int len)
{
    /* A NUL inside the tag is page data like any other byte; the
     * directive is then read up to it. */
    if (len <= 5 || len >= SSI_BUF || tag[len] != '\0' || strncmp(tag, "<!--#", 5) != 0 ||
        tag[len - 1] != '>' || memchr(tag, '>', (size_t) len - 1) != nullptr)
        fail("not a whole directive", tag);

    const char *args;
    char name[SSI_BUF];
    switch (ssi_command_of(tag, &args)) {
    case SSI_COMMAND_INCLUDE: {
        enum ssi_include_form form = ssi_include_form(args, name);
        if (form == SSI_INCLUDE_BAD)
            break;
        check_name(name, tag);
        char file[PATH_SIZE];
        ssi_include_path(fc(ctx), form, name, "/fz/root", "/fz/root/dir/page.shtml", file,
                         sizeof(file));
        if (strlen(file) >= sizeof(file))
            fail("include path overruns", tag);
        break;
    }
    case SSI_COMMAND_EXEC:
        if (ssi_exec_command(args, name))
            check_name(name, tag);
        break;
    case SSI_COMMAND_UNKNOWN:
        if (args != tag + 5)
            fail("unknown word not left in place", tag);
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ctx = qffuzz::quiet_context();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    struct tally t;
    struct ssi_sink sink;
    sink.text = [](void *arg, const char *, int len) {
        if (len <= 0 || len > SSI_BUF)
            fail("page text piece of a bad length", "");
        ((struct tally *) arg)->bytes += (size_t) len;
    };
    sink.directive = [](void *arg, const char *tag, int len) {
        check_directive(tag, len);
        ((struct tally *) arg)->bytes += (size_t) len;
    };
    sink.tag_too_large = [](void *arg) { ((struct tally *) arg)->bytes += DROPPED_TAG; };
    sink.arg = &t;

    FILE *fp = qffuzz::open_bytes(data, size);
    ssi_scan(fp, &sink);
    fclose(fp);
    if (t.bytes != size) {
        fprintf(stderr, "the scanner accounted for %zu of %zu bytes\n", t.bytes, size);
        abort();
    }
    return 0;
}
