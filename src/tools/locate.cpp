/*
 * Where the two companion executables are found. Each path is resolved on
 * first use and kept for the rest of the process.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tools/tools.h"
#include "util/util.h"

/* The part of the tmux companion's name that the metrics companion's name
 * replaces when its path is derived. */
static const char tmux_marker[] = "quorvane-tmux";

/* The derived path must leave room for the metrics companion's file name
 * as it is on Windows (27 bytes) and a terminator, whatever the target. */
#define MARKER_OFFSET_MAX (METRICS_PATH_CAP - 1 - 29)

static const char *env_set(const char *name);

/* The value of an environment variable, or null when unset or empty. */
static const char *env_set(const char *name)
{
	const char *v = getenv(name);

	return v != NULL && v[0] != '\0' ? v : NULL;
}

const char *tmux_bin(void)
{
	static char path[TMUX_PATH_CAP];
	char folder[FOLDER_CAP];
	const char *v;

	if (path[0] != '\0')
		return path;
	/* A path too long to hold is absent: cut, it would name another
	 * program. */
	v = env_set("QUORVANE_TMUX_BIN");
	if (v != NULL && strlen(v) < sizeof(path)) {
		str_copy(path, v, sizeof(path));
		return path;
	}
	if (plat_localappdata(folder, sizeof(folder))) {
		if (path_join(path, sizeof(path), folder, "quorvane") &&
		    path_join(path, sizeof(path), path, plat_tmux_name) && plat_exists(path))
			return path;
	}
	str_copy(path, plat_tmux_name, sizeof(path));
	return path;
}

const char *sglang_metrics_bin(void)
{
	static char path[METRICS_PATH_CAP];
	const char *v;
	const char *tmux;
	const char *mark;
	size_t k;

	if (path[0] != '\0')
		return path;
	v = env_set("QUORVANE_SGLANG_METRICS_BIN");
	if (v != NULL && strlen(v) < sizeof(path)) {
		str_copy(path, v, sizeof(path));
		return path;
	}
	tmux = tmux_bin();
	mark = strstr(tmux, tmux_marker);
	if (mark != NULL && mark != tmux) {
		k = (size_t)(mark - tmux);
		if (k <= MARKER_OFFSET_MAX) {
			snprintf(path, sizeof(path), "%.*s%s", (int)k, tmux, plat_metrics_name);
			if (plat_exists(path))
				return path;
		}
	}
	str_copy(path, plat_metrics_name, sizeof(path));
	return path;
}
