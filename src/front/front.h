/*
 * Request front end: the description answer, the access check and the
 * choice of handler (the query-string lookup is a shared utility).
 */
#ifndef QV_FRONT_H
#define QV_FRONT_H

#include <stddef.h>

/* access.cpp */

/* Capacity of the candidate password taken from a pwd parameter: passwords
 * of up to 1023 bytes can be proven by pwd; a longer one only by the
 * headers. */
#define PWD_CAP 1024

/* 1 when a and b are equal byte strings; the time taken depends only on
 * their lengths, never on where they first differ. */
int secret_equal(const char *secret, const char *candidate);

/* 1 when the request proves BOT_PASSWORD (or none is set) by the
 * X-Bot-Password header, a Bearer token, a pwd parameter or the query part
 * of the Referer, tried in that order; 0 otherwise. Reads the environment. */
int access_granted(void);

/* Lets the request through, or writes the 401 answer and ends the process
 * with exit code 0. */
void access_check(void);

/* dispatch.cpp */

#define ACTION_CAP 64
#define FORMAT_CAP 32

/* The plug-in's description line, written for --meta and QV_PLUGIN_META;
 * QV_VERSION is the project's version, given by the build. */
#define PLUGIN_META \
	"{\"name\":\"sglang\",\"desc\":\"SGLang metrics\",\"kind\":\"ui\",\"version\":\"" QV_VERSION "\"}\n"

enum handler { HANDLER_SESSIONS, HANDLER_TARGETS, HANDLER_METRICS, HANDLER_PAGE };

/* The handler for decoded action and format values: sessions for
 * action "sessions", the discovery targets for action "targets", metrics
 * for action "metrics" or format "json", the page for anything else. */
enum handler route_request(const char *action, const char *format);

/* 1 when the process must only describe itself: first argument exactly
 * "--meta", or QV_PLUGIN_META defined (even empty). */
int wants_meta(int argc, char **argv);

#endif
