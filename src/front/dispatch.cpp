/*
 * The description answer and the choice of handler.
 */
#include <stdlib.h>
#include <string.h>

#include "front/front.h"

int wants_meta(int argc, char **argv)
{
	if (argc > 1 && argv[1] != NULL && strcmp(argv[1], "--meta") == 0)
		return 1;
	return getenv("QV_PLUGIN_META") != NULL;
}

enum handler route_request(const char *action, const char *format)
{
	if (strcmp(action, "sessions") == 0)
		return HANDLER_SESSIONS;
	if (strcmp(action, "targets") == 0)
		return HANDLER_TARGETS;
	if (strcmp(action, "metrics") == 0)
		return HANDLER_METRICS;
	if (strcmp(format, "json") == 0)
		return HANDLER_METRICS;
	return HANDLER_PAGE;
}
