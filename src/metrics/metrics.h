/*
 * Metrics: the metrics action and its per-session cache.
 */
#ifndef QV_METRICS_H
#define QV_METRICS_H

#include <stdint.h>

#include "util/util.h"

/* action.cpp */

/* Answers a metrics request for the raw query string (may be null). */
void handle_metrics(const char *query);

/* cache.cpp */

/* 1 when a cache file last written at mtime may still be served at now: at
 * most 3 seconds old, or dated ahead of the clock. */
int metrics_cache_fresh(int64_t now, int64_t mtime);

/* Answers from the session's cache file when fresh is not "1", the file is
 * at most 3 seconds old and its url matches endpoint. 1 when it answered. */
int metrics_cache_serve(const char *session_dir, const char *endpoint,
			const char *fresh);

/* Replaces the session's cache file with document, whole. */
void metrics_cache_store(const char *session_dir, const char *document);

#endif
