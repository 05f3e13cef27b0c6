/*
 * The per-session metrics cache: the last metrics document of a session,
 * served while it is at most 3 seconds old and names the same server.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "metrics/metrics.h"
#include "util/util.h"

#define CACHE_NAME "sglang_metrics.json"
#define CACHE_PATH_CAP 1280
/* The cache path, a dot, a process number with a try count, ".tmp". */
#define CACHE_TEMP_CAP 1344
#define CACHE_MAX_AGE 3
/* Temporary names tried when one is taken (a store that died). */
#define CACHE_TEMP_TRIES 8

static FILE *create_temp(const char *cache, char *temp);

int metrics_cache_fresh(int64_t now, int64_t mtime)
{
	/* A time ahead of the clock gives a negative age: fresh. */
	return now - mtime <= CACHE_MAX_AGE;
}

int metrics_cache_serve(const char *session_dir, const char *endpoint, const char *fresh)
{
	char path[CACHE_PATH_CAP];
	char norm[ENDPOINT_NORM_CAP];
	char cached[ENDPOINT_NORM_CAP];
	int64_t mtime = 0;
	uint64_t len = 0;
	char *text;

	if (strcmp(fresh, "1") == 0)
		return 0;
	snprintf(path, sizeof(path), "%s%c%s", session_dir, plat_sep, CACHE_NAME);
	if (!plat_stat(path, NULL, &mtime))
		return 0;
	if (!metrics_cache_fresh(plat_time(), mtime))
		return 0;
	text = read_file_all(path, &len);
	if (text == NULL || len <= 2) {
		free(text);
		return 0;
	}
	normalize_endpoint(endpoint, norm);
	if (!json_extract_str_after(text, text + len, "url", cached, sizeof(cached)) ||
	    strcmp(cached, norm) != 0) {
		free(text);
		return 0;
	}
	out_header(NULL, OUT_JSON);
	out_write(text, (size_t)len);
	if (text[len - 1] != '\n')
		out_str("\n");
	free(text);
	return 1;
}

/* Creates a temporary file of this process's own beside the cache file,
 * never through an existing file or link; its name goes into temp. */
static FILE *create_temp(const char *cache, char *temp)
{
	FILE *fp;
	int i;

	for (i = 0; i < CACHE_TEMP_TRIES; i++) {
		snprintf(temp, CACHE_TEMP_CAP, "%s.%lu-%d.tmp", cache, plat_pid(), i);
		fp = plat_create_excl(temp);
		if (fp != NULL)
			return fp;
	}
	return NULL;
}

void metrics_cache_store(const char *session_dir, const char *document)
{
	char path[CACHE_PATH_CAP];
	char temp[CACHE_TEMP_CAP];
	size_t len = strlen(document);
	FILE *fp;
	int ok;

	snprintf(path, sizeof(path), "%s%c%s", session_dir, plat_sep, CACHE_NAME);
	fp = create_temp(path, temp);
	if (fp == NULL)
		return;
	ok = fwrite(document, 1, len, fp) == len;
	ok = fclose(fp) == 0 && ok;
	/* Only a whole document takes the cache file's place; whatever fails,
	 * no temporary file stays behind. */
	if (!ok || !plat_rename_replace(temp, path))
		plat_remove(temp);
}
