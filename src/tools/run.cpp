/*
 * Running a companion: started directly with its argument vector, its
 * output read whole, its wait bounded.
 */
#include <stdlib.h>

#include "tools/tools.h"
#include "util/util.h"

enum run_result run_companion(const char *const argv[], int timeout_ms,
			      char **output, uint64_t *len, int *status)
{
	return run_companion_without(argv, NULL, timeout_ms, output, len, status);
}

enum run_result run_companion_without(const char *const argv[], const char *without,
				      int timeout_ms, char **output, uint64_t *len,
				      int *status)
{
	plat_child child;
	char **envp = NULL;
	int started;

	*output = NULL;
	*len = 0;
	*status = -1;
	if (without != NULL) {
		envp = plat_env_without(without);
		if (envp == NULL)
			return RUN_NO_CHILD;
	}
	started = plat_child_start(&child, argv, (const char *const *)envp, timeout_ms, 0);
	/* The child has its own copy of the environment once it is started. */
	free(envp);
	if (!started)
		return RUN_NO_CHILD;
	*output = read_child_all(&child, len);
	*status = plat_child_finish(&child);
	if (child.timed_out) {
		/* A companion cut off at its bound gave no usable answer,
		 * whatever it printed before. */
		free(*output);
		*output = NULL;
		*len = 0;
		*status = -1;
		return RUN_TIMED_OUT;
	}
	return child.failed ? RUN_NOT_STARTED : RUN_DONE;
}
