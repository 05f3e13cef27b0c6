/*
 * The session listing: the tmux companion's sessions, each with its newest
 * session directory and that directory's endpoint.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sessions/sessions.h"
#include "tools/tools.h"
#include "util/util.h"

/* Capacities of the listing's paths: the worktree session root always holds
 * a worktree (at most ENTRY_WORKTREE_CAP - 1 bytes) with ".quorvane" and
 * "sessions"; a session directory's path fits a record or the directory
 * is passed over, and a marker's name always fits after it.
 * The newest directory's name is kept whole, as the folder gave it. */
#define WORKTREE_ROOT_CAP (ENTRY_WORKTREE_CAP + 20)
#define MARKER_PATH_CAP (ENTRY_DIR_CAP + 20)
#define NEWEST_NAME_CAP PLAT_NAME_CAP

static const char *object_end(const char *open, const char *end);
static void fill_entry(session_entry *e, const char *start, const char *end);
static int newest_session_dir(const char *root, char *name);

/* Walks a JSON object from its opening brace, passing over strings, and
 * returns its closing brace, or null when the text ends first. */
static const char *object_end(const char *open, const char *end)
{
	const char *p;
	int depth = 0;

	for (p = open; p < end; p++) {
		if (*p == '"') {
			for (p++; p < end && *p != '"'; p++) {
				if (*p == '\\')
					p++;
			}
			if (p >= end)
				return NULL;
		} else if (*p == '{') {
			depth++;
		} else if (*p == '}') {
			depth--;
			if (depth == 0)
				return p;
		}
	}
	return NULL;
}

/* Finds the newest sub-directory of root that holds a marker file, timed
 * by its first marker; among equal times the last enumerated wins. Puts its
 * full name into name (NEWEST_NAME_CAP) and returns 1, or returns 0. */
static int newest_session_dir(const char *root, char *name)
{
	static const char *const markers[] = { "infobox.json", SNAPSHOT_NAME, "meta.json" };
	char dir[ENTRY_DIR_CAP];
	char marker[MARKER_PATH_CAP];
	plat_dir d;
	int64_t best = 0;
	int64_t t;
	int found = 0;
	size_t i;

	name[0] = '\0';
	if (!plat_dir_open(&d, root))
		return 0;
	while (plat_dir_next(&d)) {
		/* A directory whose path does not fit a record is absent. */
		if (d.name[0] == '.' || !d.is_dir || !path_join(dir, sizeof(dir), root, d.name))
			continue;
		for (i = 0; i < sizeof(markers) / sizeof(markers[0]); i++) {
			if (path_join(marker, sizeof(marker), dir, markers[i]) &&
			    plat_stat(marker, NULL, &t))
				break;
		}
		if (i == sizeof(markers) / sizeof(markers[0]))
			continue;
		if (t >= best) {
			best = t;
			str_copy(name, d.name, NEWEST_NAME_CAP);
			found = 1;
		}
	}
	plat_dir_close(&d);
	return found;
}

/* Fills one record from the session object in [start, end); the name stays
 * empty when the object has no usable "name". */
static void fill_entry(session_entry *e, const char *start, const char *end)
{
	char project[ENTRY_WORKTREE_CAP];
	char root[WORKTREE_ROOT_CAP];
	char newest[NEWEST_NAME_CAP];
	char name[ENTRY_NAME_CAP];

	/* The record is cleared only for a named object: a flood of unnamed
	 * ones then costs their scan alone. */
	e->name[0] = '\0';
	json_extract_str_after(start, end, "name", name, sizeof(name));
	if (name[0] == '\0')
		return;
	memset(e, 0, sizeof(*e));
	str_copy(e->name, name, sizeof(e->name));
	json_extract_str_after(start, end, "worktree", e->worktree, sizeof(e->worktree));
	if (e->worktree[0] == '\0') {
		memset(project, 0, sizeof(project));
		if (json_extract_str_after(start, end, "project", project, sizeof(project)) &&
		    project[0] != '\0')
			str_copy(e->worktree, project, sizeof(e->worktree));
	}
	if (e->worktree[0] == '\0')
		return;
	snprintf(root, sizeof(root), "%s%c.quorvane%csessions", e->worktree, plat_sep, plat_sep);
	if (!newest_session_dir(root, newest))
		return;
	str_copy(e->sid, newest, sizeof(e->sid));
	/* The directory is named in full even when sid had to be cut, so that
	 * session_dir names the directory that exists; its path was found to
	 * fit when it was chosen. */
	path_join(e->session_dir, sizeof(e->session_dir), root, newest);
	resolve_session_url(e->session_dir, e->url);
}

int list_tmux_sessions(session_entry *table)
{
	const char *argv[4];
	char *text;
	uint64_t len = 0;
	int status;
	const char *end;
	const char *p;
	const char *open;
	const char *close;
	int count = 0;

	if (table == NULL)
		return 0;
	argv[0] = tmux_bin();
	argv[1] = "--list";
	argv[2] = "--output-json";
	argv[3] = NULL;
	/* The list is used whatever the exit status; a companion that did not
	 * start or was cut off at its bound gives no text. */
	if (run_companion(argv, TMUX_TIMEOUT_MS, &text, &len, &status) != RUN_DONE || text == NULL ||
	    len == 0) {
		free(text);
		return 0;
	}
	/* The text is searched as a string: it ends at its first zero byte. */
	end = text + strlen(text);
	p = strstr(text, "\"sessions\"");
	if (p != NULL)
		p = strchr(p, '[');
	if (p == NULL || p + 1 >= end) {
		free(text);
		return 0;
	}
	for (p++; count < SESSION_TABLE_CAP; p = close + 1) {
		open = strchr(p, '{');
		if (open == NULL)
			break;
		close = object_end(open, end);
		if (close == NULL)
			break;
		fill_entry(&table[count], open, close);
		if (table[count].name[0] != '\0')
			count++;
		if (close + 1 >= end)
			break;
	}
	free(text);
	return count;
}
