/*
 * Entry point: one process answers one CGI request, or describes the
 * plug-in to its host.
 */
#include <stdlib.h>
#include <string.h>

#include "front/front.h"
#include "metrics/metrics.h"
#include "page/page.h"
#include "sessions/sessions.h"
#include "util/util.h"

int main(int argc, char **argv)
{
	char action[ACTION_CAP];
	char format[FORMAT_CAP];
	const char *query;

	memset(action, 0, sizeof(action));
	memset(format, 0, sizeof(format));
	plat_stdout_prepare();

	if (wants_meta(argc, argv)) {
		out_write(PLUGIN_META, sizeof(PLUGIN_META) - 1);
		return 0;
	}
	access_check();

	query = getenv("QUERY_STRING");
	get_query_val(query, "action", action, sizeof(action));
	get_query_val(query, "format", format, sizeof(format));
	switch (route_request(action, format)) {
	case HANDLER_SESSIONS:
		handle_sessions();
		break;
	case HANDLER_TARGETS:
		handle_targets();
		break;
	case HANDLER_METRICS:
		handle_metrics(query);
		break;
	case HANDLER_PAGE:
		page_write();
		break;
	}
	return 0;
}
