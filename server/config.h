/* server/config.h: the lines of a configuration file, apart from the front end that opens it. */
#ifndef QF_CONFIG_H
#define QF_CONFIG_H

#include <stdio.h>

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

#endif
