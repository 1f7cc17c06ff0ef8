/* server/config.h: the lines of a configuration file, apart from the front end that opens it. */
#ifndef QF_CONFIG_H
#define QF_CONFIG_H

#include <stdio.h>

#include <string>
#include <vector>

struct qf_context;

/* Configuration lines are read in pieces of at most 511 characters. */
enum { CONFIG_LINE_SIZE = 512 };

enum config_result {
    CONFIG_OK,       /* every line was read and applied */
    CONFIG_INVALID,  /* a line holds no "name value" pair */
    CONFIG_REFUSED,  /* apply refused an option */
};

/* Takes one option; false stops the reading. */
typedef bool (*config_apply_fn)(void *arg, const char *name, const char *value);

/* Reads "name value" lines from fp to its end and hands each option to
 * apply. A line starting with '#' or a newline is skipped; '#' ends a
 * value, which keeps the spaces before it. *line_no counts every line
 * read, skipped ones too, so on a failure it names the line an editor
 * shows. */
enum config_result read_config_lines(FILE *fp, config_apply_fn apply, void *arg, int *line_no);

/* One "name value" setting and where it came from: its line in the file,
 * or 0 for the command line and the start-up defaults. */
struct config_setting {
    int line;
    std::string name;
    std::string value;
};

/* What a reload applies besides the file: the options as qf_start left
 * them (the defaults and the working directory as root; null values are
 * left out) and the command line's pairs, which win over the file. */
struct config_source {
    const char *path;   /* the file the server started with */
    bool named;         /* given on the command line; else a missing file is no error */
    std::vector<config_setting> start_values;
    std::vector<config_setting> command_line;
};

/* The options' values as they stand, for config_source.start_values. */
std::vector<config_setting> current_settings(struct qf_context *ctx);

/* Reads the file again and applies every option whose value changed (and
 * ssl_cert, so that a renewed certificate is read), each through
 * qf_set_option as the administration page does. The whole file is read
 * and checked first: a line that is invalid, names no option or holds a
 * value its option refuses changes nothing and is named in the error log;
 * a setter that refuses when applied undoes what was applied before it.
 * Returns true when the new configuration is in force. */
bool qf_reload_config(struct qf_context *ctx, const struct config_source *src);

#endif
