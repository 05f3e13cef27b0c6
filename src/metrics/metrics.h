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
 * most 3 seconds old, and at most 2 seconds ahead of the clock. */
int metrics_cache_fresh(int64_t now, int64_t mtime);

/* Answers from the session's cache file when fresh is not "1", the file is
 * a regular file and no link, fresh, short enough to read whole, and its url
 * matches endpoint; failing that, with the answer of a probe of endpoint
 * that failed while fresh (metrics_cache_store_failure). 1 when it
 * answered. */
int metrics_cache_serve(const char *session_dir, const char *endpoint,
			const char *fresh);

/*
 * One probe per session at a time, after metrics_cache_serve missed: takes
 * the session's lock file (created exclusively beside the cache file) and
 * returns 0 with *held set, so that the caller probes and then calls
 * metrics_cache_unlock. While another process holds it, waits up to
 * bound_ms, and a margin for the holder to record what it got, for the
 * outcome of that probe, success or failure, and returns 1 once it has
 * answered with it; returns 0 with *held clear when the wait runs out or no
 * lock can be made (also when something that is no lock is in its place),
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

/* Records beside the cache file the error answer of a failed probe of
 * endpoint (status, message, detail), which metrics_cache_serve gives again
 * while it is fresh. The cache file is left as it is. */
void metrics_cache_store_failure(const char *session_dir, const char *endpoint,
				 const char *status, const char *message, const char *detail);

#endif
