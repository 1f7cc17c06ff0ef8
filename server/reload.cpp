/* server/reload.cpp: the configuration file read again while the server runs: all of it applied, or nothing. */
#include <errno.h>
#include <string.h>

#include "server/config.h"
#include "server/server.h"

/* An option's wanted value; set is false for "no value". */
struct wanted_value {
    bool set = false;
    std::string value;
    int line = 0; /* where it was said, for the report */
};

/* The value an option had before a reload changed it, to undo the change. */
struct applied_change {
    const struct qf_option *opt;
    bool was_set;
    std::string old_value;
};

struct file_reader {
    std::vector<config_setting> *settings;
    const int *line_no;
    std::string unknown; /* the name that stopped the reading */
};

static bool collect_setting(void *arg, const char *name, const char *value);
static bool read_settings(struct qf_context *ctx, const struct config_source *src,
                          std::vector<config_setting> *settings);
static void overlay(std::vector<wanted_value> *wanted, const std::vector<config_setting> &from);
static bool current_value(struct qf_context *ctx, const struct qf_option *opt, std::string *value);
static bool needs_applying(struct qf_context *ctx, const struct qf_option *opt,
                           const struct wanted_value &w);
static bool acceptable(struct qf_context *ctx, const struct config_source *src,
                       const struct qf_option *opt, const struct wanted_value &w);
static void undo(struct qf_context *ctx, std::vector<applied_change> *done);

std::vector<config_setting>
current_settings(struct qf_context *ctx)
{
    std::vector<config_setting> out;
    for (const struct qf_option *opt = known_options; opt->name != nullptr; opt++) {
        std::string value;
        if (current_value(ctx, opt, &value))
            out.push_back({0, opt->name, value});
    }
    return out;
}

/* Takes a line of the file; an unknown name stops the reading, so that
 * the report can name its line. */
static bool
collect_setting(void *arg, const char *name, const char *value)
{
    struct file_reader *r = (struct file_reader *) arg;
    if (find_opt(name) == nullptr) {
        r->unknown = name;
        return false;
    }
    r->settings->push_back({*r->line_no, name, value});
    return true;
}

/* The whole file, or false after one line that names the reason. A
 * default file that is not there reads as empty, as it does at start. */
static bool
read_settings(struct qf_context *ctx, const struct config_source *src,
              std::vector<config_setting> *settings)
{
    FILE *fp = fopen(src->path, "re");
    if (fp == nullptr) {
        if (!src->named && errno == ENOENT)
            return true;
        cry(fc(ctx), "cannot open config file %s: %s; nothing changed", src->path,
            strerror(errno));
        return false;
    }
    int line_no = 0;
    struct file_reader r = {settings, &line_no, ""};
    enum config_result res = read_config_lines(fp, collect_setting, &r, &line_no);
    fclose(fp);
    if (res == CONFIG_INVALID)
        cry(fc(ctx), "%s: line %d is invalid; nothing changed", src->path, line_no);
    else if (res == CONFIG_REFUSED)
        cry(fc(ctx), "%s: line %d: No such option: [%s]; nothing changed", src->path, line_no,
            r.unknown.c_str());
    return res == CONFIG_OK;
}

static void
overlay(std::vector<wanted_value> *wanted, const std::vector<config_setting> &from)
{
    for (const config_setting &s : from) {
        const struct qf_option *opt = find_opt(s.name.c_str());
        if (opt == nullptr)
            continue;
        struct wanted_value &w = (*wanted)[opt->index];
        w.set = true;
        w.value = s.value;
        w.line = s.line;
    }
}

/* False when the option has no value. */
static bool
current_value(struct qf_context *ctx, const struct qf_option *opt, std::string *value)
{
    lock_option(ctx, opt->index);
    const char *v = ctx->options[opt->index];
    bool set = v != nullptr;
    if (set)
        *value = v;
    unlock_option(ctx, opt->index);
    return set;
}

/* A changed value, or a certificate named again: its file may have been
 * renewed, and reading it is how the server takes the new one. */
static bool
needs_applying(struct qf_context *ctx, const struct qf_option *opt, const struct wanted_value &w)
{
    std::string now;
    bool set = current_value(ctx, opt, &now);
    if (opt->index == OPT_SSL_CERTIFICATE && w.set)
        return true;
    return set != w.set || (set && now != w.value);
}

/* The checks that change nothing: list syntax, the access list, and a
 * root that is a directory. The rest is known only once applied. */
static bool
acceptable(struct qf_context *ctx, const struct config_source *src, const struct qf_option *opt,
           const struct wanted_value &w)
{
    bool ok = true;
    const char *value = w.set ? w.value.c_str() : nullptr;

    if (opt->setter == set_kv_list_option || opt->setter == set_acl_option) {
        ok = opt->setter(ctx, value);
    } else if (opt->index == OPT_ROOT && value != nullptr) {
        struct qfstat st;
        ok = qf_stat(value, &st) == 0 && st.is_directory;
    }
    if (!ok && w.line > 0)
        cry(fc(ctx), "%s: line %d: %s [%s] refused; nothing changed", src->path, w.line,
            opt->name, value != nullptr ? value : "");
    else if (!ok)
        cry(fc(ctx), "%s [%s] refused; nothing changed", opt->name,
            value != nullptr ? value : "");
    return ok;
}

/* Puts the old values back, last change first. */
static void
undo(struct qf_context *ctx, std::vector<applied_change> *done)
{
    for (auto it = done->rbegin(); it != done->rend(); ++it)
        (void) qf_set_option(ctx, it->opt->name, it->was_set ? it->old_value.c_str() : nullptr);
    done->clear();
}

bool
qf_reload_config(struct qf_context *ctx, const struct config_source *src)
{
    std::vector<config_setting> file;
    if (!read_settings(ctx, src, &file))
        return false;

    /* What a fresh start would set: the start's values, then the file,
     * then the command line, and port 8080 when none is named. */
    std::vector<wanted_value> wanted(NUM_OPTIONS);
    overlay(&wanted, src->start_values);
    overlay(&wanted, file);
    overlay(&wanted, src->command_line);
    if (!wanted[OPT_PORTS].set) {
        wanted[OPT_PORTS].set = true;
        wanted[OPT_PORTS].value = "8080";
    }

    std::vector<const struct qf_option *> changes;
    for (const struct qf_option *opt = known_options; opt->name != nullptr; opt++)
        if (needs_applying(ctx, opt, wanted[opt->index]))
            changes.push_back(opt);
    for (const struct qf_option *opt : changes)
        if (!acceptable(ctx, src, opt, wanted[opt->index]))
            return false;

    /* In the table's order, which puts ssl_cert before ports and the
     * logs after uid. */
    std::vector<applied_change> done;
    for (const struct qf_option *opt : changes) {
        const struct wanted_value &w = wanted[opt->index];
        struct applied_change c = {opt, false, ""};
        c.was_set = current_value(ctx, opt, &c.old_value);
        done.push_back(c);
        if (qf_set_option(ctx, opt->name, w.set ? w.value.c_str() : nullptr) != 1) {
            if (w.line > 0)
                cry(fc(ctx), "%s: line %d: %s refused; nothing changed", src->path, w.line,
                    opt->name);
            else
                cry(fc(ctx), "%s refused; nothing changed", opt->name);
            undo(ctx, &done);
            return false;
        }
    }
    cry(fc(ctx), "%s: reloaded, %d option(s) applied", src->path, (int) done.size());
    return true;
}
