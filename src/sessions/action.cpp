/*
 * The sessions action.
 */
#include "sessions/sessions.h"
#include "util/util.h"

void handle_sessions(void)
{
	out_str(JSON_HEADER "{\"ok\":true,\"sessions\":[]}\n");
}
