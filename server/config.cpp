/* server/config.cpp: reads the "name value" lines of a configuration file. */
#include <stdio.h>

#include "server/config.h"

enum config_result
read_config_lines(FILE *fp, config_apply_fn apply, void *arg, int *line_no)
{
    char line[CONFIG_LINE_SIZE], name[CONFIG_LINE_SIZE], value[CONFIG_LINE_SIZE];

    *line_no = 0;
    while (fgets(line, sizeof(line), fp) != nullptr) {
        ++*line_no;
        if (line[0] == '#' || line[0] == '\n')
            continue;
        if (sscanf(line, "%511s %511[^\r\n#]", name, value) != 2)
            return CONFIG_INVALID;
        if (!apply(arg, name, value))
            return CONFIG_REFUSED;
    }
    return CONFIG_OK;
}
