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
/* A cache path, a suffix of up to 7 bytes, a dot, a process number of at
 * most 20 digits, a dash, a one-digit try count and ".tmp" always fit. */
#define CACHE_TEMP_CAP (CACHE_PATH_CAP + 40)
#define CACHE_MAX_AGE 3
/* How far ahead of the clock a file's time may lie and the file still count:
 * file systems that keep times in coarse steps round them up. A time further
 * ahead comes from a clock stepped back, or from a planted file. */
#define CACHE_AHEAD_MAX 2
/* Temporary names tried when one is taken (a store that died). */
#define CACHE_TEMP_TRIES 8
/* The probe lock: the cache path and ".lock". */
#define CACHE_LOCK_SUFFIX ".lock"
#define CACHE_LOCK_CAP (CACHE_PATH_CAP + 8)
/* The answer of the last failed probe: the cache path and ".failed". It
 * holds the endpoint probed, a line feed, then the whole answer given. */
#define CACHE_FAILED_SUFFIX ".failed"
#define CACHE_FAILED_CAP (CACHE_PATH_CAP + 8)
/* How often a waiting request looks for the fresh file. */
#define CACHE_POLL_MS 50
/* How long past the companion's bound a waiting request still waits for the
 * probe's outcome: the holder writes it just after its run has ended. */
#define CACHE_WAIT_MARGIN_MS 2000

/* What an attempt at the probe lock gave. */
enum lock_state {
	LOCK_TAKEN,       /* this process holds it */
	LOCK_BUSY,        /* another process holds it */
	LOCK_UNAVAILABLE  /* no lock can be made here (a read-only folder, or
			   * something that is no lock in its place) */
};

static char *read_fresh(const char *path, uint64_t *len);
static int serve_failure(const char *session_dir, const char *endpoint);
static FILE *create_temp(const char *cache, char *temp);
static void commit_temp(FILE *fp, int ok, const char *temp, const char *path);
static void failed_path(const char *session_dir, char *failed);
static void lock_path(const char *session_dir, char *lock);
static enum lock_state lock_take(const char *lock, int bound_ms);
static void lock_release(const char *lock);

int metrics_cache_fresh(int64_t now, int64_t mtime)
{
	return now - mtime <= CACHE_MAX_AGE && mtime - now <= CACHE_AHEAD_MAX;
}

/* Reads the file at path whole when it is fresh, a regular file and no
 * link, and short enough to read back whole: a new heap text (*len bytes),
 * else null. */
static char *read_fresh(const char *path, uint64_t *len)
{
	int64_t mtime = 0;
	plat_file f;
	char *text = NULL;

	*len = 0;
	/* A stale file is not even opened: on Windows an open file cannot be
	 * replaced, and requests that wait for a probe look here often. */
	if (!plat_stat(path, NULL, &mtime) || !metrics_cache_fresh(plat_time(), mtime))
		return NULL;
	/* A link could serve any file the host can read. The age and the bytes
	 * come from the one open handle. */
	if (!plat_file_open(&f, path, PLAT_OPEN_NOFOLLOW))
		return NULL;
	if (metrics_cache_fresh(plat_time(), f.mtime) && f.size <= (int64_t)READ_FILE_WHOLE_MAX)
		text = read_open_file(&f, len);
	plat_file_close(&f);
	return text;
}

/* Answers again with the answer of a probe of endpoint that failed within
 * the expiry. 1 when it answered. */
static int serve_failure(const char *session_dir, const char *endpoint)
{
	char path[CACHE_FAILED_CAP];
	const size_t n = strlen(endpoint);
	uint64_t len = 0;
	char *text;
	int hit;

	failed_path(session_dir, path);
	text = read_fresh(path, &len);
	hit = text != NULL && len > n + 1 && memcmp(text, endpoint, n) == 0 && text[n] == '\n';
	if (hit)
		out_write(text + n + 1, (size_t)(len - n - 1));
	free(text);
	return hit;
}

int metrics_cache_serve(const char *session_dir, const char *endpoint, const char *fresh)
{
	char path[CACHE_PATH_CAP];
	char norm[ENDPOINT_NORM_CAP];
	char cached[ENDPOINT_NORM_CAP];
	uint64_t len = 0;
	char *text;

	if (strcmp(fresh, "1") == 0)
		return 0;
	if (!path_join(path, sizeof(path), session_dir, CACHE_NAME))
		return 0;
	text = read_fresh(path, &len);
	normalize_endpoint(endpoint, norm);
	if (text == NULL || len <= 2 ||
	    !json_extract_str_after(text, text + len, "url", cached, sizeof(cached)) ||
	    strcmp(cached, norm) != 0) {
		free(text);
		return serve_failure(session_dir, endpoint);
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

/* Closes fp, a temporary file of create_temp, and puts it in path's place
 * when ok and the close hold; whatever fails, no temporary file stays. */
static void commit_temp(FILE *fp, int ok, const char *temp, const char *path)
{
	ok = fclose(fp) == 0 && ok;
	if (!ok || !plat_rename_replace(temp, path))
		plat_remove(temp);
}

void metrics_cache_store(const char *session_dir, const char *document)
{
	char path[CACHE_PATH_CAP];
	char temp[CACHE_TEMP_CAP];
	char failed[CACHE_FAILED_CAP];
	size_t len = strlen(document);
	FILE *fp;

	/* What could not be read back whole is not kept: it would be served
	 * cut off. */
	if (len > READ_FILE_WHOLE_MAX)
		return;
	if (!path_join(path, sizeof(path), session_dir, CACHE_NAME))
		return;
	fp = create_temp(path, temp);
	if (fp == NULL)
		return;
	commit_temp(fp, fwrite(document, 1, len, fp) == len, temp, path);
	/* A failure before this success is over. */
	failed_path(session_dir, failed);
	plat_remove(failed);
}

void metrics_cache_store_failure(const char *session_dir, const char *endpoint,
				 const char *status, const char *message, const char *detail)
{
	char path[CACHE_FAILED_CAP];
	char temp[CACHE_TEMP_CAP];
	FILE *prev;
	FILE *fp;
	int ok;

	failed_path(session_dir, path);
	if (path[0] == '\0')
		return;
	fp = create_temp(path, temp);
	if (fp == NULL)
		return;
	ok = fputs(endpoint, fp) >= 0 && fputc('\n', fp) != EOF;
	/* The answer is written by the one writer of error answers, so that
	 * it is the very answer the probe gave. */
	prev = out_redirect(fp);
	reply_json_err_detail(status, message, endpoint, detail);
	out_redirect(prev);
	commit_temp(fp, ok && !ferror(fp), temp, path);
}

/* Forms the path of the session's failed-probe answer into failed
 * (CACHE_FAILED_CAP); empty when it does not fit, and then none is kept. */
static void failed_path(const char *session_dir, char *failed)
{
	path_join(failed, CACHE_FAILED_CAP, session_dir, CACHE_NAME CACHE_FAILED_SUFFIX);
}

/* Forms the path of the session's probe lock into lock (CACHE_LOCK_CAP);
 * empty when it does not fit, and then no lock can be made. */
static void lock_path(const char *session_dir, char *lock)
{
	path_join(lock, CACHE_LOCK_CAP, session_dir, CACHE_NAME CACHE_LOCK_SUFFIX);
}

/* Tries once to create the lock file, which nothing may already occupy. A
 * regular file dated more than the companion's bound (and a second, for
 * whole-second file times) ago, or ahead of the clock, was left by a process
 * that died or was planted: it is removed and taken. Anything else in its
 * place (a folder, a link) is no lock of ours and is left alone. */
static enum lock_state lock_take(const char *lock, int bound_ms)
{
	const int64_t max_age = bound_ms / 1000 + 1;
	int64_t mtime = 0;
	int64_t age;
	int is_reg = 0;
	FILE *fp;

	fp = plat_create_excl(lock);
	if (fp == NULL && !plat_lstat(lock, &is_reg, &mtime)) {
		/* Gone in between, or it cannot be made at all. */
		fp = plat_create_excl(lock);
		if (fp == NULL)
			return LOCK_UNAVAILABLE;
	}
	if (fp == NULL) {
		if (!is_reg)
			return LOCK_UNAVAILABLE;
		age = plat_time() - mtime;
		if (age <= max_age && -age <= CACHE_AHEAD_MAX)
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
	const int64_t deadline = plat_clock_ms() + bound_ms + CACHE_WAIT_MARGIN_MS;
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
