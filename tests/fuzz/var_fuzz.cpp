/* tests/fuzz/var_fuzz.cpp: form variables out of a query string and a
 * request body. The input is split into a name, a query string and a
 * body; the body is an exact-size heap block without a terminator, as the
 * bytes behind a header block are. Fails on any read outside the block,
 * a leak, or a value longer than the text it was decoded from. */
#include <fuzzer/FuzzedDataProvider.h>
#include <string.h>

#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

void check_value(const char *value, size_t text_len)
{
    if (value != nullptr && strlen(value) > text_len) {
        fprintf(stderr, "value [%s] is longer than its text (%zu)\n", value, text_len);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string name = in.ConsumeRandomLengthString(64);
    std::string query = in.ConsumeRandomLengthString(4096);
    std::vector<char> body = in.ConsumeRemainingBytes<char>();

    char *value = get_var(name.c_str(), body.data(), body.size());
    check_value(value, body.size());
    qf_free(value);
    value = get_var(name.c_str(), query.c_str(), strlen(query.c_str()));
    check_value(value, query.size());
    qf_free(value);

    struct qf_connection conn;
    memset(&conn, 0, sizeof(conn));
    std::vector<char> q(query.begin(), query.end());
    q.push_back('\0');
    conn.request_info.query_string = q.data();
    conn.request_info.post_data = body.data();
    conn.request_info.post_data_len = (int) body.size();
    value = qf_get_var(&conn, name.c_str());
    check_value(value, query.size() + body.size());
    qf_free(value);

    conn.request_info.query_string = nullptr;
    value = qf_get_var(&conn, name.c_str());
    check_value(value, body.size());
    qf_free(value);
    return 0;
}
