/* panel/pages.cpp: the panel page, rebuilt by every refresh pass, and the
 * wait page that both of its forms post to. */
#include "panel/panel.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#define BUSY_PAGE "drevanta_gui_busy.html"
#define PANEL_PAGE "drevanta_gui.html"
/* Seconds the wait page shows before it reloads the panel page: one
 * refresh period plus a second, so a pass has written the outcome. */
#define BUSY_RELOAD_SECONDS 9
#define PERMISSION_HINT \
    "Please verify DREVANTA_BIN points to the right directory and there are no permission problems.\n"

#define FORM_LINE "<FORM METHOD=POST NAME=\"drevantaguiform\" ACTION=\"" BUSY_PAGE "\">\n"
#define SPACER "<tr><td>&nbsp;</td></tr>\n"
#define BUTTON_STYLE "class=\"controlbutton\" style=\"font: bold 12px Verdana, sans-serif\""
#define CHECKED " checked=\"yes\""

/* How one piece of the Basic Setup tab is written. */
enum row_kind {
    ROW_TEXT,       /* before, as it is */
    ROW_VALUE,      /* before, the key's value (or fallback) escaped, after */
    ROW_BOX_ON_1,   /* before, CHECKED only when the value is "1", after */
    ROW_BOX_OFF_0,  /* before, CHECKED unless the value is "0", after */
};

struct page_row {
    row_kind kind;
    const char *before;
    const char *key;
    const char *fallback;   /* ROW_VALUE: shown when the key has no value */
    const char *after;
};

static const char basic_setup_heading[] = " <h2>Basic Setup</h2>\n";

/* The Basic Setup tab, top to bottom. A box's default state is the one its
 * rule gives for a missing key. */
static const page_row basic_setup_rows[] = {
    {ROW_TEXT, "<div class=\"tabbertab\">\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, FORM_LINE, nullptr, nullptr, nullptr},
    {ROW_TEXT, basic_setup_heading, nullptr, nullptr, nullptr},
    {ROW_TEXT, "<table><tr><td valign=\"top\">\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "<fieldset ><legend>Sip Proxy (PBX)</legend><br><table>\n", nullptr, nullptr, nullptr},
    {ROW_VALUE, "<tr><td>IP:</td><td><input type=\"text\" name=\"SipProxyIP\" value=\"",
     "SipProxyIP", "", "\"/></td></tr>\n"},
    {ROW_TEXT, SPACER, nullptr, nullptr, nullptr},
    {ROW_VALUE, "<tr><td>SIP&nbsp;Port:</td><td><input type=\"text\" name=\"SipProxyPort\" value=\"",
     "SipProxyPort", "", "\"/></td></tr>\n"},
    {ROW_TEXT, SPACER, nullptr, nullptr, nullptr},
    {ROW_VALUE, "<tr><td>Domain/Realm:</td><td><input type=\"text\" name=\"SipProxyDomain\" value=\"",
     "SipProxyDomain", "", "\"/> (Optional)</td></tr>\n"},
    {ROW_TEXT, "</table></fieldset>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "</td><td valign=\"top\">\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "<fieldset><legend>Sip UA (Quorvel)</legend><br><table>\n", nullptr, nullptr, nullptr},
    {ROW_VALUE, "<tr><td>IP:</td><td><input type=\"text\" name=\"SipUaIP\" value=\"",
     "SipUAIP", "", "\"/>  (Optional)</td></tr>\n"},
    {ROW_TEXT, SPACER, nullptr, nullptr, nullptr},
    {ROW_VALUE, "<tr><td>SIP&nbsp;Port:</td><td><input type=\"text\" name=\"SipUaPort\" value=\"",
     "SipUAPort", "", "\"/></td></tr>\n"},
    {ROW_TEXT, "<tr><td colspan=\"2\">To avoid collision, use 5061 if both PBX & Quorvel run on the "
               "same machine.</td></tr>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, SPACER, nullptr, nullptr, nullptr},
    {ROW_TEXT, "</table></fieldset>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "</td>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "</tr>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "<tr><td valign=\"top\">\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "<fieldset ><legend>Sip Devices (created by Quorvel)</legend><br><table>\n",
     nullptr, nullptr, nullptr},
    {ROW_VALUE, "<tr><td>Trunk&nbsp;Name:</td><td><input type=\"text\" name=\"TrunkName\" value=\"",
     "TrunkName", "", "\"/></td></tr>\n"},
    {ROW_BOX_OFF_0, "<tr><td>Register&nbsp;Trunk</td><td><input type=\"checkbox\" name=\"RegisterTrunk\"",
     "RegisterTrunk", nullptr, "/></td></tr>\n"},
    {ROW_TEXT, SPACER, nullptr, nullptr, nullptr},
    {ROW_VALUE, "<tr><td>Number&nbsp;Of&nbsp;Phones (two&nbsp;phones&nbsp;filters&nbsp;one&nbsp;channel):"
                "</td><td><input type=\"text\" name=\"NumberOfPhones\" value=\"",
     "NumPhonesToAllocate", "", "\"/></td></tr>\n"},
    {ROW_TEXT, SPACER, nullptr, nullptr, nullptr},
    {ROW_VALUE, "<tr><td>Prefix&nbsp;of&nbsp;orig&nbsp;phones:</td><td><input type=\"text\" "
                "name=\"PrefixOfOrigPhones\" value=\"",
     "OrigPhonesNamePrefix", "DrevantaOrig", "\"/></td></tr>\n"},
    {ROW_BOX_ON_1, "<tr><td>Register&nbsp;Orig&nbsp;Phones</td><td><input type=\"checkbox\" "
                   "name=\"RegisterOrigPhones\"",
     "RegisterOrigPhones", nullptr, "/></td></tr>\n"},
    {ROW_TEXT, SPACER, nullptr, nullptr, nullptr},
    {ROW_VALUE, "<tr><td>Prefix&nbsp;of&nbsp;pair&nbsp;phones:</td><td><input type=\"text\" "
                "name=\"PrefixOfPairPhones\" value=\"",
     "PairPhonesNamePrefix", "DrevantaPair", "\"/></td></tr>\n"},
    {ROW_BOX_OFF_0, "<tr><td>Register&nbsp;Pair&nbsp;Phones</td><td><input type=\"checkbox\" "
                    "name=\"RegisterPairPhones\"",
     "RegisterPairPhones", nullptr, "/></td></tr>\n"},
    {ROW_TEXT, SPACER, nullptr, nullptr, nullptr},
    {ROW_VALUE, "<tr><td>Secret&nbsp;(password):</td><td><input type=\"text\" name=\"Secret\" value=\"",
     "Secret", "", "\"/></td></tr>\n"},
    {ROW_TEXT, "</table></fieldset>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "</td>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "<td valign=\"top\">\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "<fieldset ><legend>Audio Filtering</legend><br><table>\n", nullptr, nullptr, nullptr},
    {ROW_BOX_OFF_0, "<tr><td>Cancel&nbsp;Noise</td><td><input type=\"checkbox\" "
                    "name=\"AudioFilteringNoise\"",
     "NeedToDoNoiseCancellation", nullptr, "/></td></tr>\n"},
    {ROW_TEXT, SPACER, nullptr, nullptr, nullptr},
    {ROW_BOX_ON_1, "<tr><td>Cancel&nbsp;Echo&nbsp;(AEC)</td><td><input type=\"checkbox\" "
                   "name=\"AudioFilteringEcho\"",
     "NeedToDoAEC", nullptr, "/></td></tr>\n"},
    {ROW_VALUE, "<tr><td>AEC&nbsp;Max&nbsp;Delay</td><td><input type=\"text\" name=\"AECTail\" "
                "size=\"1\" maxlength=\"1\" value=\"",
     "AECTailType", "", "\"/></td>\n"},
    {ROW_TEXT, "<td colspan=\"2\">&nbsp;0-5(Longest), Default=1.</td></tr>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, SPACER SPACER, nullptr, nullptr, nullptr},
    {ROW_BOX_ON_1, "<tr><td>Automatic&nbsp;Gain&nbsp;Control&nbsp;(AGC)</td><td><input "
                   "type=\"checkbox\" name=\"AudioFilteringGain\"",
     "NeedToDoAGC", nullptr, "/></td>\n"},
    {ROW_VALUE, "<td>&nbsp;&nbsp;Gain</td><td><input type=\"text\" name=\"AGCLevel\" size=\"5\" "
                "maxlength=\"5\" value=\"",
     "AGCLevel", "", "\"/></td></tr>\n"},
    {ROW_TEXT, "<tr><td colspan=\"4\">AGC can be activated only if Noise Cancellation is activated. "
               "</td></tr>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "<tr><td colspan=\"4\">Gain can be any number between 0 to 64000.</td></tr>\n",
     nullptr, nullptr, nullptr},
    {ROW_TEXT, "</table></fieldset>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "</td>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "</tr>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "<tr> \n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "<td ALIGN=\"center\" > &nbsp; </td>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "<td ALIGN=\"right\"> <button type=SUBMIT NAME=\"basicsetupbutton\" VALUE=\"Save\" "
               BUTTON_STYLE ">Save To Config File (*)</button> &nbsp;&nbsp;<button type=SUBMIT "
               "NAME=\"basicsetupbutton\" VALUE=\"Restore\" " BUTTON_STYLE
               ">Restore From Config File</button> </td>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "</tr>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "</table> <br> <br>\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "(*) - After saving, you need to stop and then start the Quorvel via the Control "
               "Panel tab.\n", nullptr, nullptr, nullptr},
    {ROW_TEXT, "</form></div>\n", nullptr, nullptr, nullptr},
};

static void write_control_panel_tab(FILE *f, const ControlPanelTab &tab);
static bool write_basic_setup_tab(FILE *f);

/* Builds the page in a temporary file and renames it over the old one, so
 * a browser always gets a whole page. Holds panelFilesMutex throughout: a
 * Save must not change quorvel.conf under the look-ups. Returns the
 * rename's result; a failed write leaves the old page for the next pass. */
int
ControlPanelTab::writeHtml()
{
    std::lock_guard<std::recursive_mutex> lock(panelFilesMutex);

    if (myCopyFile(pcPrefixDrevantaGuiHtmlFileName, pcTmpDrevantaGuiHtmlFileName) != 0)
        return -1;
    FILE *f = fopen(pcTmpDrevantaGuiHtmlFileName, "ab");
    if (f == nullptr && errno == EACCES) {
        /* The server switched to another user between the copy and the
         * open, so the copy still belongs to the old one: make it anew. */
        remove(pcTmpDrevantaGuiHtmlFileName);
        if (myCopyFile(pcPrefixDrevantaGuiHtmlFileName, pcTmpDrevantaGuiHtmlFileName) != 0)
            return -1;
        f = fopen(pcTmpDrevantaGuiHtmlFileName, "ab");
    }
    if (f == nullptr) {
        panelFailure("Unable to open file \"%s\" for writting.\n" PERMISSION_HINT,
                     pcTmpDrevantaGuiHtmlFileName);
        return -1;
    }

    write_control_panel_tab(f, *this);
    /* A look-up that failed would show the wrong values: the old page stays. */
    bool conf_read = write_basic_setup_tab(f);
    fputs("</div></body></html>\n", f);

    bool failed = ferror(f) != 0 || !conf_read;
    if (fclose(f) != 0 || failed) {
        remove(pcTmpDrevantaGuiHtmlFileName);
        return -1;
    }
    return rename(pcTmpDrevantaGuiHtmlFileName, pcDrevantaGuiHtmlFileName);
}

int
ControlPanelTab::writeBusyHtml()
{
    FILE *f = fopen(pcDrevantaGuiBusyHtmlFileName, "wb");
    if (f == nullptr)
        panelFatal("Unable to open the file \"%s\" for writing.\n" PERMISSION_HINT,
                   pcDrevantaGuiBusyHtmlFileName);

    fputs("<html>\n"
          "<head>\n"
          "<meta http-equiv=\"cache-control\" content=\"no-cache\">\n"
          "<meta http-equiv=\"expires\" content=\"0\">\n"
          "<meta http-equiv=\"pragma\" content=\"no-cache\">\n"
          "<link REL=\"SHORTCUT ICON\" HREF=\"images/Win2000_16.ico\">\n", f);
    fprintf(f, "<META HTTP-EQUIV=\"refresh\" CONTENT=\"%d;URL=%s\">", BUSY_RELOAD_SECONDS,
            PANEL_PAGE);
    fputs("<body><br><br><br>\n"
          "<CENTER>\n"
          "<h1>Please wait while your request is being processed...</h1>\n", f);
    fprintf(f, "If you are not automatically redirected within few seconds - "
               "<a href=\"%s\">press on this link</a> \n", PANEL_PAGE);
    fputs("<br> <br> <img src=\"images/busy.gif\"/>"
          "</CENTER> </body></html>\n", f);
    return fclose(f);
}

/* Copies a file byte for byte; the prefix of the panel page goes in
 * unchanged. Either file missing or unwritable at start-up ends the
 * process: the product directory is wrong. Later it fails the pass. */
int
ControlPanelTab::myCopyFile(const char *from, const char *to)
{
    FILE *in = fopen(from, "rb");
    if (in == nullptr) {
        panelFailure("Unable to open %s for reading.\n" PERMISSION_HINT, from);
        return -1;
    }
    FILE *out = fopen(to, "wb");
    if (out == nullptr) {
        fclose(in);
        panelFailure("Unable to open %s for writing.\n" PERMISSION_HINT, to);
        return -1;
    }

    char piece[PC_LINE_SIZE - 1];
    size_t n;
    while ((n = fread(piece, 1, sizeof(piece), in)) > 0)
        fwrite(piece, 1, n, out);
    fclose(in);
    return fclose(out);
}

static void
write_control_panel_tab(FILE *f, const ControlPanelTab &tab)
{
    static const char start_on[] =
        "<button type=SUBMIT NAME=\"controlbutton\" VALUE=\"Start\" " BUTTON_STYLE ">Start</button>\n";
    static const char start_off[] =
        "<button type=SUBMIT NAME=\"controlbutton\" VALUE=\"Start\" disabled=\"disabled\" "
        BUTTON_STYLE ">Start</button>\n";
    static const char stop_on[] =
        "<button type=SUBMIT NAME=\"controlbutton\" VALUE=\"Stop\" " BUTTON_STYLE ">Stop</button>\n";
    static const char stop_off[] =
        "<button type=SUBMIT NAME=\"controlbutton\" VALUE=\"Stop\" disabled=\"disabled\" "
        BUTTON_STYLE ">Stop</button>\n";

    fputs("</head>\n<body>\n"
          "<div class=\"tabber\" id=\"drevanta_gui\">\n"
          "<div class=\"tabbertab\">\n"
          FORM_LINE
          "<h2>Control Panel</h2>\n <br>\n"
          "<b>Status</b> (*)<br>\n"
          "<input id=\"statuslineid\" size=\"35\" type=\"text\" disabled=\"disabled\" "
          "name=\"StatusLine\" value=\"", f);
    panelWriteEscaped(f, tab.pcStatusLine);
    fputs("\"/>\n<br><br>\n"
          "<b>System Log</b> (*) <br>\n"
          "<div id='sysdiv' style=\"height:100px;width:97%;padding:0.5em;margin: 1px;"
          "border:1px solid black;overflow:auto;\">", f);
    /* The log buffers are escaped already, line by line, around their <br>. */
    fputs(pcSystemLog, f);
    fputs("</div>\n<br>\n"
          "<b>Application Log </b> (*) <br>\n"
          "<div id='appdiv' style=\"height:200px;width:97%;padding:0.5em;margin: 1px;"
          "border:1px solid black;overflow:auto;\">", f);
    fputs(pcApplicationLog, f);
    fputs("</div>\n"
          " <br> <br> \n"
          "<table width=\"100%\">\n"
          "<tr> <td ALIGN=\"right\">\n", f);
    fputs(tab.bRunning ? start_off : start_on, f);
    fputs(" &nbsp; &nbsp;\n", f);
    fputs(tab.bRunning ? stop_on : stop_off, f);
    fputs(" &nbsp; &nbsp;\n"
          "<button type=SUBMIT NAME=\"controlbutton\" VALUE=\"Manual\" " BUTTON_STYLE
          ">Manual Refresh</button>\n"
          "</td> </tr>\n"
          "</table> <br> <br> \n"
          "(*) - Hit the <b>\"Manual Refresh\" </b> button to update."
          "</FORM></div>\n", f);
}

/* Every field is filled from quorvel.conf as it is now; the caller holds
 * panelFilesMutex, so the look-up buffers stay ours while we write. False
 * when the file could not be read. What the last Save refused is told
 * under the heading. */
static bool
write_basic_setup_tab(FILE *f)
{
    for (const page_row &row : basic_setup_rows) {
        fputs(row.before, f);
        if (row.before == basic_setup_heading) fputs(basicSetupTab.saveRefusals(), f);
        if (row.kind == ROW_TEXT) continue;
        const char *value = basicSetupTab.ReadConfVal(row.key);
        if (value == nullptr && basicSetupTab.readFailed()) return false;
        switch (row.kind) {
        case ROW_VALUE:
            panelWriteEscaped(f, value != nullptr ? value : row.fallback);
            break;
        case ROW_BOX_ON_1:
            if (value != nullptr && strcmp(value, "1") == 0) fputs(CHECKED, f);
            break;
        case ROW_BOX_OFF_0:
            if (value == nullptr || strcmp(value, "0") != 0) fputs(CHECKED, f);
            break;
        case ROW_TEXT:
            break;
        }
        fputs(row.after, f);
    }
    return true;
}
