/*
 * Session roots: the directories whose sub-directories are session
 * directories.
 */
#include <stdlib.h>
#include <string.h>

#include "sessions/sessions.h"
#include "util/util.h"

static int add_root(char roots[][ROOT_CAP], int n, int count, const char *path);

/* Puts path into the next slot when it is a directory that fits a slot
 * whole; returns the count. */
static int add_root(char roots[][ROOT_CAP], int n, int count, const char *path)
{
	if (count < n && strlen(path) < ROOT_CAP && is_dir(path)) {
		str_copy(roots[count], path, ROOT_CAP);
		count++;
	}
	return count;
}

int collect_default_roots(char roots[][ROOT_CAP], int n)
{
	char folder[FOLDER_CAP];
	char path[ROOT_CAP];
	const char *v;
	int count = 0;

	v = getenv("QV_SESSIONS_DIR");
	if (v != NULL && v[0] != '\0')
		count = add_root(roots, n, count, v);
	if (plat_localappdata(folder, sizeof(folder))) {
		if (path_join(path, sizeof(path), folder, "quorvane") &&
		    path_join(path, sizeof(path), path, "sessions"))
			count = add_root(roots, n, count, path);
	}
	if (plat_userprofile(folder, sizeof(folder))) {
		if (path_join(path, sizeof(path), folder, ".quorvane") &&
		    path_join(path, sizeof(path), path, "sessions"))
			count = add_root(roots, n, count, path);
	}
	return count;
}

int is_dir(const char *path)
{
	int dir = 0;

	if (path == NULL || path[0] == '\0')
		return 0;
	return plat_stat(path, &dir, NULL) && dir;
}
