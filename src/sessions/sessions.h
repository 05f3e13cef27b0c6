/*
 * Sessions: the session roots, the listing built from the tmux companion,
 * the resolution of a session's endpoint, and the sessions action.
 */
#ifndef QV_SESSIONS_H
#define QV_SESSIONS_H

#include <stddef.h>

/* The file in a session folder that holds the session's environment. */
#define SNAPSHOT_NAME "config-snapshot.txt"

/* roots.cpp */

/* One slot of a root list: a directory path of at most 511 bytes. */
#define ROOT_CAP 512

/* Fills roots (n slots) with the default session roots that are
 * directories, in the order QV_SESSIONS_DIR, LOCALAPPDATA, USERPROFILE;
 * returns how many, 0 to 3. */
int collect_default_roots(char roots[][ROOT_CAP], int n);

/* 1 when path is not empty and names an existing directory. */
int is_dir(const char *path);

/* listing.cpp */

#define SESSION_TABLE_CAP 128
#define ENTRY_NAME_CAP 160
#define ENTRY_WORKTREE_CAP 768
#define ENTRY_DIR_CAP 1280
#define ENTRY_SID_CAP 160
#define ENDPOINT_CAP 512

/* One listed session. */
typedef struct session_entry {
	char name[ENTRY_NAME_CAP];         /* terminal session name, never empty */
	char worktree[ENTRY_WORKTREE_CAP]; /* working tree; may be empty */
	char session_dir[ENTRY_DIR_CAP];   /* newest session directory, or empty */
	char sid[ENTRY_SID_CAP];           /* that directory's name, or empty */
	char url[ENDPOINT_CAP];            /* resolved endpoint, or empty */
} session_entry;

/* Runs the tmux companion once and fills table (SESSION_TABLE_CAP records)
 * with its named sessions, each with its newest session directory and that
 * directory's endpoint. Returns the count; 0 for a null table. */
int list_tmux_sessions(session_entry *table);

/* resolve.cpp */

/* Finds the endpoint of a session directory: its own snapshot's
 * OPENAI_BASE_URL, else its profile's (infobox.json, then ACTIVE_PROFILE).
 * url has ENDPOINT_CAP bytes. 1 when found, with url empty when the endpoint
 * is too long to hold (no valid endpoint, and never a cut one); 0 with an
 * empty url when none is set. */
int resolve_session_url(const char *session_dir, char *url);

/* Looks up OPENAI_BASE_URL in the snapshot file at path; url has
 * ENDPOINT_CAP bytes. 1 when it is set, with url holding it, or empty when
 * it is too long to hold: an endpoint is never cut into another URL. 0 with
 * an empty url when it is unset. */
int endpoint_get(const char *path, char *url);

/* targets.cpp */

#define TARGET_SCHEME_CAP 8
#define TARGET_ADDRESS_CAP (ENDPOINT_CAP + 8)
#define TARGET_PATH_CAP (ENDPOINT_CAP + 8)

/* Where Prometheus scrapes a session's server. */
typedef struct scrape_target {
	char scheme[TARGET_SCHEME_CAP];     /* "http" or "https" */
	char address[TARGET_ADDRESS_CAP];   /* host:port, the port always named */
	char metrics_path[TARGET_PATH_CAP]; /* the endpoint's path prefix + "/metrics" */
} scrape_target;

/* Fills t from an endpoint that passes url_ok: its query and fragment, any
 * user:password@, the trailing "/" and one "/v1" are left out, and a
 * missing port becomes the scheme's. 1 when the endpoint gives a target,
 * 0 for a bad URL, host or port (t is then not to be used). */
int target_parse(const char *endpoint, scrape_target *t);

/* Writes the target group of one session, with the comma before it unless
 * first, when its endpoint gives a target. 1 when it wrote one. */
int target_write(int first, const char *name, const char *endpoint);

/* action.cpp */

/* Writes the whole sessions answer. */
void handle_sessions(void);

/* Writes the whole discovery answer: a JSON array of target groups, one for
 * each listed session whose endpoint gives a target. */
void handle_targets(void);

#endif
