/*
 * A session directory's endpoint: its own OPENAI_BASE_URL, or else its
 * profile's.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sessions/sessions.h"
#include "util/util.h"

/* The longest snapshot path is 1279 + 20 bytes, the longest profile file
 * path 500 + 27 + 159 bytes: neither is ever cut. */
#define SESSION_FILE_CAP 1400
#define PROFILE_CAP 160
#define PROFILE_FILE_CAP 1024

static int profile_url(const char *folder, const char *sub, const char *profile, char *url);

/* Looks up OPENAI_BASE_URL in the profile's file under folder/sub. */
static int profile_url(const char *folder, const char *sub, const char *profile, char *url)
{
	char path[PROFILE_FILE_CAP];

	snprintf(path, sizeof(path), "%.500s%c%s%cquorvane-env%c%.159s.txt", folder, plat_sep, sub,
		 plat_sep, plat_sep, profile);
	return snapshot_get(path, "OPENAI_BASE_URL", url, ENDPOINT_CAP);
}

int resolve_session_url(const char *session_dir, char *url)
{
	char snapshot[SESSION_FILE_CAP];
	char infobox[SESSION_FILE_CAP];
	char profile[PROFILE_CAP];
	char folder[FOLDER_CAP];
	uint64_t len = 0;
	char *text;

	url[0] = '\0';
	profile[0] = '\0';
	if (session_dir == NULL || session_dir[0] == '\0')
		return 0;
	snprintf(snapshot, sizeof(snapshot), "%.1279s%c" SNAPSHOT_NAME, session_dir, plat_sep);
	if (snapshot_get(snapshot, "OPENAI_BASE_URL", url, ENDPOINT_CAP))
		return 1;

	snprintf(infobox, sizeof(infobox), "%.1279s%cinfobox.json", session_dir, plat_sep);
	text = read_file_all(infobox, &len);
	if (text != NULL && len > 2)
		json_extract_str_after(text, text + len, "profile", profile, sizeof(profile));
	free(text);
	if (profile[0] == '\0')
		snapshot_get(snapshot, "ACTIVE_PROFILE", profile, sizeof(profile));
	if (profile[0] == '\0' || !safe_id(profile))
		return 0;

	if (plat_userprofile(folder, sizeof(folder)) &&
	    profile_url(folder, ".claude", profile, url))
		return 1;
	if (plat_localappdata(folder, sizeof(folder)) &&
	    profile_url(folder, "quorvane", profile, url))
		return 1;
	return 0;
}
