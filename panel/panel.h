/* panel/panel.h: the Quorvel control panel: start-up, file names, service
 * control, page writers and the service's configuration file. */
#ifndef QF_PANEL_H
#define QF_PANEL_H

/* Checks DREVANTA_BIN, derives the file names, starts the refresh thread and
 * writes the wait page. Ends the process with status 1 on any failure. */
int drevanta_main(void);

/* The one entry from the HTTP server: runs the action that a form body
 * posted to a plain file asks for. body is NUL-terminated and writable; it
 * is restored before the call returns. The result carries no meaning. */
int drevanta_analyzePost(char *body);

#endif
