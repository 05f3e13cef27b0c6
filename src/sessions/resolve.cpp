/*
 * A session directory's endpoint: its own OPENAI_BASE_URL, or else its
 * profile's.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sessions/sessions.h"
#include "util/util.h"

#define SESSION_FILE_CAP 1400
/* One byte more than the longest name safe_id accepts, so that a longer
 * name, cut to fit, is still refused. */
#define PROFILE_CAP (SAFE_ID_MAX + 2)
#define PROFILE_FILE_CAP 1400
/* A profile that passed safe_id and ".txt" always fit. */
#define PROFILE_NAME_CAP (SAFE_ID_MAX + 5)
/* One byte more than an endpoint may have, so that a longer one is known. */
#define URL_READ_CAP (ENDPOINT_CAP + 1)

static int profile_url(const char *folder, const char *sub, const char *profile, char *url);

int endpoint_get(const char *path, char *url)
{
	char value[URL_READ_CAP];

	url[0] = '\0';
	if (!snapshot_get(path, "OPENAI_BASE_URL", value, sizeof(value)))
		return 0;
	if (strlen(value) < ENDPOINT_CAP)
		memcpy(url, value, strlen(value) + 1);
	return 1;
}

/* Looks up OPENAI_BASE_URL in the profile's file under folder/sub. */
static int profile_url(const char *folder, const char *sub, const char *profile, char *url)
{
	char path[PROFILE_FILE_CAP];
	char name[PROFILE_NAME_CAP];

	snprintf(name, sizeof(name), "%s.txt", profile);
	if (!path_join(path, sizeof(path), folder, sub) ||
	    !path_join(path, sizeof(path), path, "quorvane-env") ||
	    !path_join(path, sizeof(path), path, name))
		return 0;
	return endpoint_get(path, url);
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
	/* A file whose path does not fit is absent. */
	if (path_join(snapshot, sizeof(snapshot), session_dir, SNAPSHOT_NAME) &&
	    endpoint_get(snapshot, url))
		return 1;

	if (path_join(infobox, sizeof(infobox), session_dir, "infobox.json")) {
		text = read_file_all(infobox, &len);
		if (text != NULL && len > 2)
			json_extract_str_after(text, text + len, "profile", profile,
					       sizeof(profile));
		free(text);
	}
	if (profile[0] == '\0' && snapshot[0] != '\0')
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
