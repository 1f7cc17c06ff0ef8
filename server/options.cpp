/* server/options.cpp: the option table, which names every setter, and setting and reading options by name. */
#include <string.h>

#include "http/file_cache.h"
#include "server/server.h"

/* Every option is a row; its order is the order of the usage text and the
 * administration page. The descriptions of root, uid and acl start with a
 * tab so that they line up after the short names. */
const struct qf_option known_options[] = {
    {"root", "\tWeb root directory", nullptr, OPT_ROOT, nullptr},
    {"index_files", "Index files", "index.html,index.htm,index.cgi", OPT_INDEX_FILES, nullptr},
    {"ssl_cert", "SSL certificate file", nullptr, OPT_SSL_CERTIFICATE, set_ssl_option},
    {"ports", "Listening ports", nullptr, OPT_PORTS, set_ports_option},
    {"dir_list", "Directory listing", "yes", OPT_DIR_LIST, nullptr},
    {"protect", "URI to htpasswd mapping", nullptr, OPT_PROTECT, set_kv_list_option},
    {"cgi_ext", "CGI extensions", ".cgi,.pl,.php", OPT_CGI_EXTENSIONS, nullptr},
    {"cgi_interp", "CGI interpreter to use with all CGI scripts", nullptr, OPT_CGI_INTERPRETER,
     nullptr},
    {"cgi_env", "Custom CGI enviroment variables", nullptr, OPT_CGI_ENV, set_kv_list_option},
    {"ssi_ext", "SSI extensions", ".shtml,.shtm", OPT_SSI_EXTENSIONS, nullptr},
    {"auth_realm", "Authentication domain name", "example.com", OPT_AUTH_DOMAIN, nullptr},
    {"auth_gpass", "Global passwords file", nullptr, OPT_AUTH_GPASSWD, set_gpass_option},
    {"auth_PUT", "PUT,DELETE auth file", nullptr, OPT_AUTH_PUT, nullptr},
    {"uid", "\tRun as user", nullptr, OPT_UID, set_uid_option},
    {"access_log", "Access log file", nullptr, OPT_ACCESS_LOG, set_alog_option},
    {"error_log", "Error log file", nullptr, OPT_ERROR_LOG, set_elog_option},
    {"aliases", "Path=URI mappings", nullptr, OPT_ALIASES, set_kv_list_option},
    {"admin_uri", "Administration page URI", nullptr, OPT_ADMIN_URI, set_admin_uri_option},
    {"acl", "\tAllow/deny IP addresses/subnets", nullptr, OPT_ACL, set_acl_option},
    {"max_threads", "Maximum simultaneous threads to spawn", "100", OPT_MAX_THREADS,
     set_max_threads_option},
    {"idle_time", "Time in seconds connection stays idle", "10", OPT_IDLE_TIME, nullptr},
    {"mime_types", "Comma separated list of ext=mime_type pairs", nullptr, OPT_MIME_TYPES,
     set_kv_list_option},
    {"server_names", "Comma-separated host names the panel and administration page answer to",
     nullptr, OPT_SERVER_NAMES, set_server_names_option},
    {"keep_alive", "Seconds an idle persistent connection is kept open", "0", OPT_KEEP_ALIVE,
     set_keep_alive_option},
    {"file_cache", "Seconds a file look-up is trusted without looking again",
     "0", OPT_FILE_CACHE, set_file_cache_option},
    {nullptr, nullptr, nullptr, 0, nullptr},
};

const struct qf_option *
find_opt(const char *name)
{
    if (name == nullptr)
        return nullptr;
    for (const struct qf_option *opt = known_options; opt->name != nullptr; opt++)
        if (strcmp(opt->name, name) == 0)
            return opt;
    return nullptr;
}

/* Runs the option's setter and stores a copy of value once the setter took
 * it. A refused value changes nothing: the previous value stays in force
 * and stored, so what is shown is what is applied. Returns -1 for an
 * unknown name, else 1 for success and 0 for a refusal, whose reason
 * qf_last_refusal then tells. */
int
qf_set_option(struct qf_context *ctx, const char *name, const char *value)
{
    const struct qf_option *opt = find_opt(name);
    if (opt == nullptr) {
        cry(fc(ctx), "%s: No such option: [%s]", "qf_set_option",
            name != nullptr ? name : "(null)");
        return -1;
    }

    std::string lines;
    lock_option_for_change(ctx, opt->index);
    setter_lines = &lines;
    int result = opt->setter != nullptr ? (int) opt->setter(ctx, value) : 1;
    setter_lines = nullptr;
    if (result != 0) {
        free(ctx->options[opt->index]);
        ctx->options[opt->index] = qf_strdup(value);
    }
    unlock_option(ctx, opt->index);

    if (result == 0) {
        cry(fc(ctx), "%s(%s): failure", "qf_set_option", opt->name);
        last_refusal = !lines.empty() ? lines : "qf_set_option(" + std::string(opt->name) + "): failure";
    }
    return result;
}

/* Takes no lock: the text stays valid only until the option is next set. */
const char *
qf_get_option(const struct qf_context *ctx, const char *name)
{
    const struct qf_option *opt = find_opt(name);
    return opt != nullptr ? ctx->options[opt->index] : nullptr;
}
