/*
 * The sessions action: the sessions known on this machine, each with its
 * endpoint, as one JSON answer; and the discovery targets, the same
 * sessions as Prometheus scrape targets.
 */
#include <stdlib.h>

#include "sessions/sessions.h"
#include "util/util.h"

#define SESSIONS_ROOT_SLOTS 4
/* A root, a folder's name and the snapshot's name always fit. */
#define SNAPSHOT_PATH_CAP (ROOT_CAP + PLAT_NAME_CAP + 20)

/* The two answers made from the list of sessions. */
enum session_form { FORM_SESSIONS, FORM_TARGETS };

static void write_entry(int first, const char *name, const char *sid, const char *url);
static int write_item(enum session_form form, int first, const char *name, const char *sid,
		      const char *url);
static void list_first_root(enum session_form form);
static void list_sessions(enum session_form form);

/* Writes one entry object, with the comma that separates it from the one
 * before. */
static void write_entry(int first, const char *name, const char *sid, const char *url)
{
	if (!first)
		out_str(",");
	out_str("{\"name\":");
	json_print_str(name);
	out_str(",\"sid\":");
	json_print_str(sid);
	out_str(",\"url\":");
	json_print_str(url);
	out_str(url[0] != '\0' ? ",\"has_url\":true}" : ",\"has_url\":false}");
}

/* Writes one session in the form asked for, with the comma before it
 * unless first; 1 when something was written. */
static int write_item(enum session_form form, int first, const char *name, const char *sid,
		      const char *url)
{
	if (form == FORM_TARGETS)
		return target_write(first, name, url);
	write_entry(first, name, sid, url);
	return 1;
}

/* Lists the sub-directories of the first session root, each with the
 * endpoint of its own snapshot, when the tmux companion gave nothing. */
static void list_first_root(enum session_form form)
{
	char roots[SESSIONS_ROOT_SLOTS][ROOT_CAP];
	char snapshot[SNAPSHOT_PATH_CAP];
	char url[ENDPOINT_CAP];
	plat_dir d;
	int listed = 0;
	int written = 0;

	if (collect_default_roots(roots, SESSIONS_ROOT_SLOTS) == 0)
		return;
	if (!plat_dir_open(&d, roots[0]))
		return;
	/* The bound counts sessions, written or not, so that both answers
	 * cover the same directories. */
	while (listed < SESSION_TABLE_CAP && plat_dir_next(&d)) {
		url[0] = '\0';
		if (d.name[0] == '.' || !d.is_dir)
			continue;
		if (path_join(snapshot, sizeof(snapshot), roots[0], d.name) &&
		    path_join(snapshot, sizeof(snapshot), snapshot, SNAPSHOT_NAME))
			endpoint_get(snapshot, url);
		written += write_item(form, written == 0, d.name, d.name, url);
		listed++;
	}
	plat_dir_close(&d);
}

/* Writes every session the listing gives, or those of the first root when
 * it gives none. */
static void list_sessions(enum session_form form)
{
	session_entry *table;
	int n = 0;
	int written = 0;
	int i;

	table = (session_entry *)calloc(SESSION_TABLE_CAP, sizeof(session_entry));
	if (table != NULL)
		n = list_tmux_sessions(table);
	for (i = 0; i < n; i++)
		written += write_item(form, written == 0, table[i].name, table[i].sid, table[i].url);
	free(table);
	if (n == 0)
		list_first_root(form);
}

void handle_sessions(void)
{
	out_header(NULL, OUT_JSON);
	out_str("{\"ok\":true,\"sessions\":[");
	list_sessions(FORM_SESSIONS);
	out_str("]}\n");
}

void handle_targets(void)
{
	out_header(NULL, OUT_JSON);
	out_str("[");
	list_sessions(FORM_TARGETS);
	out_str("]\n");
}
