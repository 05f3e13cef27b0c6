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
#define CACHE_PATH_CAP 1400
/* The cache path, a dot, a process number of at most 20 digits, a dash, a
 * one-digit try count and ".tmp" always fit. */
#define CACHE_TEMP_CAP (CACHE_PATH_CAP + 32)
#define CACHE_MAX_AGE 3
/* Temporary names tried when one is taken (a store that died). */
#define CACHE_TEMP_TRIES 8
/* The probe lock: the cache path and ".lock". */
#define CACHE_LOCK_SUFFIX ".lock"
#define CACHE_LOCK_CAP (CACHE_PATH_CAP + 8)
/* How often a waiting request looks for the fresh file. */
#define CACHE_POLL_MS 50

/* What an attempt at the probe lock gave. */
enum lock_state {
	LOCK_TAKEN,       /* this process holds it */
	LOCK_BUSY,        /* another process holds it */
	LOCK_UNAVAILABLE  /* no lock can be made here (say, a read-only folder) */
};

static FILE *create_temp(const char *cache, char *temp);
static void lock_path(const char *session_dir, char *lock);
static enum lock_state lock_take(const char *lock, int bound_ms);
static void lock_release(const char *lock);

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
	plat_file f;
	char *text = NULL;

	if (strcmp(fresh, "1") == 0)
		return 0;
	if (!path_join(path, sizeof(path), session_dir, CACHE_NAME))
		return 0;
	/* A stale file is not even opened: on Windows an open file cannot be
	 * replaced, and requests that wait for a probe look here often. */
	if (!plat_stat(path, NULL, &mtime) || !metrics_cache_fresh(plat_time(), mtime))
		return 0;
	/* Only a regular file that is no link is the cache: a link could
	 * serve any file the host can read. Its age and its bytes come from
	 * the one open handle. A file too long to read back whole is a miss. */
	if (!plat_file_open(&f, path, PLAT_OPEN_NOFOLLOW))
		return 0;
	if (metrics_cache_fresh(plat_time(), f.mtime) && f.size <= (int64_t)READ_FILE_WHOLE_MAX)
		text = read_open_file(&f, &len);
	plat_file_close(&f);
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

	/* What could not be read back whole is not kept: it would be served
	 * cut off. */
	if (len > READ_FILE_WHOLE_MAX)
		return;
	if (!path_join(path, sizeof(path), session_dir, CACHE_NAME))
		return;
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

/* Forms the path of the session's probe lock into lock (CACHE_LOCK_CAP);
 * empty when it does not fit, and then no lock can be made. */
static void lock_path(const char *session_dir, char *lock)
{
	path_join(lock, CACHE_LOCK_CAP, session_dir, CACHE_NAME CACHE_LOCK_SUFFIX);
}

/* Tries once to create the lock file, which nothing may already occupy. A
 * lock dated more than the companion's bound (and a second, for whole-second
 * file times) away from now was left by a process that died: it is removed
 * and taken. */
static enum lock_state lock_take(const char *lock, int bound_ms)
{
	const int64_t max_age = bound_ms / 1000 + 1;
	int64_t mtime = 0;
	int64_t age;
	FILE *fp;

	fp = plat_create_excl(lock);
	if (fp == NULL && !plat_stat(lock, NULL, &mtime)) {
		/* Gone in between, or it cannot be made at all. */
		fp = plat_create_excl(lock);
		if (fp == NULL)
			return LOCK_UNAVAILABLE;
	}
	if (fp == NULL) {
		age = plat_time() - mtime;
		if (age <= max_age && age >= -max_age)
			return LOCK_BUSY;
		plat_remove(lock);
		fp = plat_create_excl(lock);
		if (fp == NULL)
			return LOCK_BUSY;
	}
	fclose(fp);
	/* Stopped while holding it, we take it with us. */
	plat_remove_at_stop(lock);
	return LOCK_TAKEN;
}

/* Lets go of a lock this process holds. It is forgotten first: removed
 * before, a stop could take another's lock made in between. */
static void lock_release(const char *lock)
{
	plat_remove_at_stop(NULL);
	plat_remove(lock);
}

int metrics_cache_await(const char *session_dir, const char *endpoint, const char *fresh,
			int bound_ms, int *held)
{
	char lock[CACHE_LOCK_CAP];
	const int64_t deadline = plat_clock_ms() + bound_ms;
	enum lock_state state;

	*held = 0;
	lock_path(session_dir, lock);
	for (;;) {
		state = lock_take(lock, bound_ms);
		if (state == LOCK_TAKEN) {
			/* The holder before may have stored just before it let
			 * go; then there is nothing left to probe. */
			if (strcmp(fresh, "1") != 0 &&
			    metrics_cache_serve(session_dir, endpoint, fresh)) {
				lock_release(lock);
				return 1;
			}
			*held = 1;
			return 0;
		}
		/* A forced probe does not wait for another. */
		if (state == LOCK_UNAVAILABLE || strcmp(fresh, "1") == 0 ||
		    plat_clock_ms() >= deadline)
			return 0;
		plat_sleep_ms(CACHE_POLL_MS);
		if (metrics_cache_serve(session_dir, endpoint, fresh))
			return 1;
	}
}

void metrics_cache_unlock(const char *session_dir)
{
	char lock[CACHE_LOCK_CAP];

	lock_path(session_dir, lock);
	lock_release(lock);
}
