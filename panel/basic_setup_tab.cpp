/* panel/basic_setup_tab.cpp: the Basic Setup tab's back end: values of
 * posted forms, look-ups in quorvel.conf and the rewrite of one key. */
#include "panel/panel.h"
#include "server/text.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

/* How a form field becomes a setting. */
enum save_kind {
    SAVE_TEXT,      /* the field's value as sent */
    SAVE_BOX,       /* "1" when the box was sent as "on", else "0" */
    SAVE_GAIN_BOX,  /* SAVE_BOX, and gain control needs voice detection on */
    SAVE_NUMBER,    /* the value as sent, when its leading number is in range */
};

struct save_row {
    const char *key;
    const char *field;
    save_kind kind;
    uint32_t limit;   /* SAVE_NUMBER: largest number accepted */
};

/* The order of the writes, one rewrite of the file each. */
static const save_row save_rows[] = {
    {"SipProxyIP", "SipProxyIP", SAVE_TEXT, 0},
    {"SipProxyPort", "SipProxyPort", SAVE_TEXT, 0},
    {"SipProxyDomain", "SipProxyDomain", SAVE_TEXT, 0},
    {"SipUAIP", "SipUaIP", SAVE_TEXT, 0},
    {"SipUAPort", "SipUaPort", SAVE_TEXT, 0},
    {"NeedToDoNoiseCancellation", "AudioFilteringNoise", SAVE_BOX, 0},
    {"NeedToDoAEC", "AudioFilteringEcho", SAVE_BOX, 0},
    {"AECTailType", "AECTail", SAVE_NUMBER, 5},
    {"NeedToDoAGC", "AudioFilteringGain", SAVE_GAIN_BOX, 0},
    {"AGCLevel", "AGCLevel", SAVE_NUMBER, 64000},
    {"TrunkName", "TrunkName", SAVE_TEXT, 0},
    {"RegisterTrunk", "RegisterTrunk", SAVE_BOX, 0},
    {"NumPhonesToAllocate", "NumberOfPhones", SAVE_TEXT, 0},
    {"OrigPhonesNamePrefix", "PrefixOfOrigPhones", SAVE_TEXT, 0},
    {"RegisterOrigPhones", "RegisterOrigPhones", SAVE_BOX, 0},
    {"PairPhonesNamePrefix", "PrefixOfPairPhones", SAVE_TEXT, 0},
    {"RegisterPairPhones", "RegisterPairPhones", SAVE_BOX, 0},
    {"Secret", "Secret", SAVE_TEXT, 0},
};

static void tell_refusal(char *told, size_t size, const save_row &row, const char *rule);
static bool is_setting_of(const char *piece, const char *key, bool step_over_comments);
static const char *copy_word(const char *p, const char *stop, char *out, size_t size);
static uint32_t leading_number(const char *value);

/* A field counts only under its whole name, in the case the form gives
 * it, and its value comes form-decoded, as the browser encoded what was
 * typed. quorvel.conf holds one word per value, so a value with white
 * space or a control byte could only be cut or break the line: it is
 * refused whole, like one that does not fit. */
const char *
BasicSetupTab::readValFromPostData(const char *body, const char *name, bool *refused)
{
    static char result[PC_VALUE_SIZE + 1];   /* one over: a value that does not fit shows */
    std::lock_guard<std::recursive_mutex> lock(panelFilesMutex);

    int n = read_form_field(body, strlen(body), name, false, result, sizeof(result));
    bool bad = n >= PC_VALUE_SIZE;
    for (int i = 0; i < n && !bad; i++)
        bad = (unsigned char)result[i] < 0x21 || result[i] == 0x7f;
    if (bad) result[0] = '\0';
    if (refused != nullptr) *refused = bad;
    return result;
}

/* The last look-up could not open quorvel.conf; and what the last Save
 * refused, as a line of the page. Both under panelFilesMutex. */
static bool conf_read_failed;
static char save_refusals[PC_LINE_SIZE + 128];   /* the fields told, with the words around them */

bool
BasicSetupTab::readFailed() const
{
    return conf_read_failed;
}

const char *
BasicSetupTab::saveRefusals() const
{
    return save_refusals;
}

/* The value of key: the first word after the '=' of the first setting of
 * key that has one. nullptr when there is none. A missing file ends the
 * process at start-up (the product directory is wrong); later it is
 * reported once and the look-up fails (readFailed). */
const char *
BasicSetupTab::ReadConfVal(const char *key)
{
    static char line[PC_LINE_SIZE];
    static char result[PC_VALUE_SIZE];
    std::lock_guard<std::recursive_mutex> lock(panelFilesMutex);

    FILE *f = fopen(pcConfFileName, "rb");
    conf_read_failed = f == nullptr;
    if (f == nullptr) {
        panelFailure("Can not read conf file %s. Please verify DREVANTA_BIN is pointing to "
                     "the right directory.\n", pcConfFileName);
        return nullptr;
    }

    while (fgets(line, sizeof(line), f) != nullptr) {
        if (!is_setting_of(line, key, false)) continue;
        copy_word(strchr(line, '=') + 1, nullptr, result, sizeof(result));
        if (result[0] == '\0') continue;
        fclose(f);
        return result;
    }
    fclose(f);
    return nullptr;
}

/* Brings key to value in quorvel.conf, touching the file only when that
 * changes something. The new file is built beside the old one and renamed
 * over it: the old file stays whole until the new one is complete, and a
 * look-up never finds the file missing. */
void
BasicSetupTab::saveParamValue(const char *key, const char *value)
{
    char piece[PC_LINE_SIZE];
    std::lock_guard<std::recursive_mutex> lock(panelFilesMutex);

    const char *current = ReadConfVal(key);
    if (current == nullptr && conf_read_failed) return;   /* cannot tell what to change */
    if (current != nullptr && strcmp(current, value) == 0) return;
    if (current == nullptr && value[0] == '\0') return;
    bool had_value = current != nullptr;

    FILE *in = fopen(pcConfFileName, "rb");
    if (in == nullptr) return;
    FILE *out = fopen(pcTmpConfFileName, "wb");
    if (out == nullptr) {
        fclose(in);
        return;
    }
    struct stat st;
    if (fstat(fileno(in), &st) == 0) fchmod(fileno(out), st.st_mode & 07777);

    /* A live setting is replaced, or commented out when cleared; a key
     * without a value takes the place of its commented-out or empty line,
     * or goes at the end. */
    bool replaced = false;
    char last = '\n';
    while (fgets(piece, sizeof(piece), in) != nullptr) {
        size_t len = strlen(piece);
        if (len > 0) last = piece[len - 1];
        if (replaced || !is_setting_of(piece, key, !had_value)) {
            fputs(piece, out);
            continue;
        }
        replaced = true;
        if (value[0] != '\0') {
            fprintf(out, "%s=%s\r\n", key, value);
            last = '\n';
        } else {
            fputc(';', out);
            fputs(piece, out);
        }
    }
    if (!replaced) {
        /* A last line without its line end must not swallow the setting. */
        if (last != '\n' && last != '\r') fputs("\r\n", out);
        fprintf(out, "%s=%s\r\n", key, value);
    }

    bool failed = ferror(in) != 0 || ferror(out) != 0;
    fclose(in);
    if (fclose(out) != 0 || failed) {
        remove(pcTmpConfFileName);
        return;
    }
    if (rename(pcTmpConfFileName, pcConfFileName) != 0) {
        fprintf(stderr, "Unable to rename \"%s\" to \"%s\"\n", pcTmpConfFileName, pcConfFileName);
        remove(pcTmpConfFileName);
    }
}

/* The Save button: every field of the form, one key at a time; a refused
 * value leaves its key as it was. Two Saves run one after the other, and
 * the page is never written in between. */
void
BasicSetupTab::saveClicked(const char *body)
{
    std::lock_guard<std::recursive_mutex> lock(panelFilesMutex);
    char told[PC_LINE_SIZE] = "";

    for (const save_row &row : save_rows) {
        bool refused = false;
        const char *value = readValFromPostData(body, row.field, &refused);
        switch (row.kind) {
        case SAVE_TEXT:
            if (!refused) saveParamValue(row.key, value);
            else tell_refusal(told, sizeof(told), row, "no spaces or control characters, "
                                                       "at most 999 characters");
            break;
        case SAVE_BOX:
        case SAVE_GAIN_BOX: {
            bool on = strcmp(value, "on") == 0;
            saveParamValue(row.key, on ? "1" : "0");
            /* Gain control works on speech only, so it needs voice
             * detection; switching gain off leaves that choice alone. */
            if (row.kind == SAVE_GAIN_BOX && on) saveParamValue("BypassVAD", "0");
            break;
        }
        case SAVE_NUMBER:
            if (!refused && leading_number(value) <= row.limit) {
                saveParamValue(row.key, value);
            } else {
                char rule[64];
                snprintf(rule, sizeof(rule), "a number from 0 to %u", (unsigned)row.limit);
                tell_refusal(told, sizeof(told), row, rule);
            }
            break;
        }
    }
    if (told[0] == '\0')
        save_refusals[0] = '\0';
    else
        snprintf(save_refusals, sizeof(save_refusals),
                 "<p style=\"color: red\"><b>Not saved:</b> %s. The other values were saved.</p>\n",
                 told);
}

/* Adds "Field (what it must be)" to the list of refused fields. */
static void
tell_refusal(char *told, size_t size, const save_row &row, const char *rule)
{
    size_t len = strlen(told);
    snprintf(told + len, size - len, "%s%s (%s)", len > 0 ? "; " : "", row.field, rule);
}

/* Whether piece is a setting line of key: it holds an '=' and its first
 * word before the '=' is key. A line whose first character after spaces is
 * ';' is a comment; with step_over_comments the spaces and ';' at its
 * start are stepped over, so a commented-out setting counts too. */
static bool
is_setting_of(const char *piece, const char *key, bool step_over_comments)
{
    const char *p = piece;
    if (step_over_comments) {
        while (*p == ' ' || *p == ';') p++;
    } else {
        while (*p == ' ') p++;
        if (*p == ';') return false;
    }
    const char *eq = strchr(p, '=');
    if (eq == nullptr) return false;
    char word[PC_LINE_SIZE];
    copy_word(p, eq, word, sizeof(word));
    return word[0] != '\0' && strcmp(word, key) == 0;
}

/* Copies into out the first run of non-white-space characters at or after
 * p, stopping also at stop (when not nullptr). Leading white space of any
 * kind is skipped. Returns where the copy stopped. */
static const char *
copy_word(const char *p, const char *stop, char *out, size_t size)
{
    while (*p != '\0' && p != stop && isspace((unsigned char)*p)) p++;
    size_t n = 0;
    while (*p != '\0' && p != stop && !isspace((unsigned char)*p)) {
        if (n + 1 < size) out[n++] = *p;
        p++;
    }
    out[n] = '\0';
    return p;
}

/* The number a value begins with, as a 32-bit int taken unsigned. A value
 * that is not a number counts as 0, so an empty field is written (and
 * clears the key); a negative one becomes huge and passes no limit. */
static uint32_t
leading_number(const char *value)
{
    int n = 0;
    scan_int(&value, nullptr, &n);
    return (uint32_t)n;
}
