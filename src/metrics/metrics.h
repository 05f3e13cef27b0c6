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
 * a regular file and no link, at most 3 seconds old, short enough to read
 * whole, and its url matches endpoint. 1 when it answered. */
int metrics_cache_serve(const char *session_dir, const char *endpoint,
			const char *fresh);

/*
 * One probe per session at a time, after metrics_cache_serve missed: takes
 * the session's lock file (created exclusively beside the cache file) and
 * returns 0 with *held set, so that the caller probes and then calls
 * metrics_cache_unlock. While another process holds it, waits up to
 * bound_ms for the fresh file and returns 1 once it has answered from it;
 * returns 0 with *held clear when the wait runs out or no lock can be made,
 * and the caller probes all the same. With fresh "1" it takes a free lock
 * but never waits. A stop signal that ends the process while it holds the
 * lock removes the lock too, so that nobody waits for a probe that is gone.
 */
int metrics_cache_await(const char *session_dir, const char *endpoint, const char *fresh,
			int bound_ms, int *held);

/* Removes the session's lock file. */
void metrics_cache_unlock(const char *session_dir);

/* Replaces the session's cache file with document, whole; a document longer
 * than READ_FILE_WHOLE_MAX is not stored. */
void metrics_cache_store(const char *session_dir, const char *document);

#endif
