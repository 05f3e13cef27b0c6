/*
 * The metrics action.
 */
#include "metrics/metrics.h"
#include "util/util.h"

void handle_metrics(const char *query)
{
	(void)query;
	reply_json_err("400 Bad Request", "select a session or enter an SGLang URL", NULL);
}
