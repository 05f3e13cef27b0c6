/*
 * Companion tools: where the two companion executables are found, and how
 * they are run.
 */
#ifndef QV_TOOLS_H
#define QV_TOOLS_H

#include <stdint.h>

/*
 * Bounds on the companion runs. The metrics companion bounds its own network
 * requests to a few seconds, so a slow but healthy server still gets through
 * well inside its bound; a run past its bound is killed and counts as failed.
 */
#define TMUX_TIMEOUT_MS 5000
#define METRICS_TIMEOUT_MS 10000

#define TMUX_PATH_CAP 512
#define METRICS_PATH_CAP 1024

/* locate.cpp */

/* The tmux companion path: QUORVANE_TMUX_BIN, else the product's folder
 * under the local application-data folder when the file exists there, else
 * the bare name. Resolved once per process; never empty. */
const char *tmux_bin(void);

/* The metrics companion path: QUORVANE_SGLANG_METRICS_BIN, else beside the
 * tmux companion when its path holds the marker and the file exists, else the
 * bare name. Resolved once per process; never empty. */
const char *sglang_metrics_bin(void);

/* run.cpp */

/* Outcome of one companion run. */
enum run_result {
	RUN_NO_CHILD,    /* no child process could be created: *output is null */
	RUN_DONE,        /* the child ran to its end; see *status */
	RUN_NOT_STARTED, /* the program could not be found or executed */
	RUN_TIMED_OUT    /* the child was killed at its bound: *output is null */
};

/* Runs a companion with argv (never through a shell), reads its whole output
 * into a new heap buffer (*output, *len; null when none could be taken) and
 * gives its exit status in *status (-1 when it was killed at timeout_ms or
 * could not be started). The result says which of those ends it met. */
enum run_result run_companion(const char *const argv[], int timeout_ms,
			      char **output, uint64_t *len, int *status);

/* The same, with the companion's environment ours less the variable
 * without (none left out when null). Memory too short for that environment
 * counts as no child. */
enum run_result run_companion_without(const char *const argv[], const char *without,
				      int timeout_ms, char **output, uint64_t *len,
				      int *status);

#endif
