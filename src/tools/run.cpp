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
	plat_child child;

	*output = NULL;
	*len = 0;
	*status = -1;
	if (!plat_child_start(&child, argv, NULL, timeout_ms, 0))
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
