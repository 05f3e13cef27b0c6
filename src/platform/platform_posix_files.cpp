/*
 * The platform layer on POSIX systems: files, folders, clocks and the
 * environment.
 */
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

const char plat_sep = '/';

/* The most one read asks for, well inside what read() takes. */
#define PLAT_READ_CHUNK ((size_t)1 << 30)

static int copy_env(const char *value, char *out, size_t cap);
static int env_folder(const char *name, char *out, size_t cap);

/* Copies a path into out (capacity cap): 1 when it fits whole, else 0 with
 * an empty out, since a cut path names another file. */
static int copy_env(const char *value, char *out, size_t cap)
{
	size_t n = strlen(value);

	if (n > cap - 1) {
		out[0] = '\0';
		return 0;
	}
	memcpy(out, value, n + 1);
	return 1;
}

/* Copies the value of variable name into out: 1 when it is set, not empty
 * and fits whole, else 0 with an empty out. */
static int env_folder(const char *name, char *out, size_t cap)
{
	const char *v = getenv(name);

	out[0] = '\0';
	if (v == NULL || v[0] == '\0')
		return 0;
	return copy_env(v, out, cap);
}

void plat_stdout_prepare(void)
{
	/* POSIX streams do not translate line ends. Write errors on standard
	 * output are ignored, so a host that stops reading must not kill us;
	 * companions get the default disposition back when they start. */
	signal(SIGPIPE, SIG_IGN);
}

int plat_stat(const char *path, int *is_dir, int64_t *mtime)
{
	struct stat st;

	if (path == NULL || stat(path, &st) != 0)
		return 0;
	if (is_dir != NULL)
		*is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
	if (mtime != NULL)
		*mtime = (int64_t)st.st_mtime;
	return 1;
}

int plat_lstat(const char *path, int *is_reg, int64_t *mtime)
{
	struct stat st;

	if (path == NULL || lstat(path, &st) != 0)
		return 0;
	*is_reg = S_ISREG(st.st_mode) ? 1 : 0;
	if (mtime != NULL)
		*mtime = (int64_t)st.st_mtime;
	return 1;
}

int plat_exists(const char *path)
{
	return path != NULL && access(path, F_OK) == 0;
}

int64_t plat_time(void)
{
	return (int64_t)time(NULL);
}

int64_t plat_clock_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

unsigned long plat_pid(void)
{
	return (unsigned long)getpid();
}

int plat_dir_open(plat_dir *d, const char *dir)
{
	DIR *h;

	memset(d, 0, sizeof(*d));
	if (dir == NULL || dir[0] == '\0')
		return 0;
	/* The folder's path is kept whole for its entries, or not opened. */
	if (strlen(dir) >= sizeof(d->path))
		return 0;
	h = opendir(dir);
	if (h == NULL)
		return 0;
	d->handle = h;
	copy_env(dir, d->path, sizeof(d->path));
	return 1;
}

int plat_dir_next(plat_dir *d)
{
	struct dirent *e;
	char full[PLAT_DIR_PATH_CAP + PLAT_NAME_CAP + 2];
	size_t n;

	if (d->handle == NULL)
		return 0;
	while ((e = readdir((DIR *)d->handle)) != NULL) {
		n = strlen(e->d_name);
		if (n >= sizeof(d->name))
			continue;
		memcpy(d->name, e->d_name, n + 1);
		if (e->d_type == DT_DIR) {
			d->is_dir = 1;
		} else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
			/* A link counts as what it points to. */
			int isdir = 0;

			snprintf(full, sizeof(full), "%s/%s", d->path, d->name);
			d->is_dir = plat_stat(full, &isdir, NULL) && isdir;
		} else {
			d->is_dir = 0;
		}
		return 1;
	}
	return 0;
}

void plat_dir_close(plat_dir *d)
{
	if (d->handle != NULL)
		closedir((DIR *)d->handle);
	d->handle = NULL;
}

int plat_file_open(plat_file *f, const char *path, int flags)
{
	/* O_NONBLOCK: opening a FIFO with no writer must not wait for one. */
	int oflags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
	struct stat st;
	int fd;

	f->h = -1;
	f->size = 0;
	f->mtime = 0;
	if (path == NULL || path[0] == '\0')
		return 0;
	if (flags & PLAT_OPEN_NOFOLLOW)
		oflags |= O_NOFOLLOW;
	do
		fd = open(path, oflags);
	while (fd < 0 && errno == EINTR);
	if (fd < 0)
		return 0;
	/* The type is asked of the handle, so nothing can be swapped in
	 * between the check and the reads. */
	if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
		close(fd);
		return 0;
	}
	f->h = fd;
	f->size = (int64_t)st.st_size;
	f->mtime = (int64_t)st.st_mtime;
	return 1;
}

size_t plat_file_read(plat_file *f, char *buf, size_t n)
{
	ssize_t got;

	if (f->h < 0 || n == 0)
		return 0;
	if (n > PLAT_READ_CHUNK)
		n = PLAT_READ_CHUNK;
	do
		got = read((int)f->h, buf, n);
	while (got < 0 && errno == EINTR);
	return got > 0 ? (size_t)got : 0;
}

void plat_file_close(plat_file *f)
{
	if (f->h >= 0)
		close((int)f->h);
	f->h = -1;
}

FILE *plat_create_excl(const char *path)
{
	int fd;
	FILE *fp;

	fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (fd < 0)
		return NULL;
	fp = fdopen(fd, "wb");
	if (fp == NULL)
		close(fd);
	return fp;
}

int plat_remove(const char *path)
{
	return unlink(path) == 0;
}

int plat_rename_replace(const char *from, const char *to)
{
	return rename(from, to) == 0;
}

int plat_userprofile(char *out, size_t cap)
{
	return env_folder("USERPROFILE", out, cap) || env_folder("HOME", out, cap);
}

int plat_localappdata(char *out, size_t cap)
{
	const char *home;

	if (env_folder("LOCALAPPDATA", out, cap) || env_folder("XDG_DATA_HOME", out, cap))
		return 1;
	home = getenv("HOME");
	if (home == NULL || home[0] == '\0')
		return 0;
	/* A folder that does not fit is absent. */
	if ((size_t)snprintf(out, cap, "%s/.local/share", home) >= cap) {
		out[0] = '\0';
		return 0;
	}
	return 1;
}

char **plat_env_without(const char *name)
{
	extern char **environ;
	const size_t name_len = strlen(name);
	size_t count = 0;
	size_t bytes = 0;
	size_t i;
	char **list;
	char *p;

	for (i = 0; environ[i] != NULL; i++) {
		count++;
		bytes += strlen(environ[i]) + 1;
	}
	/* The pointers, then the strings they point to, in one block. */
	list = (char **)malloc((count + 1) * sizeof(char *) + bytes);
	if (list == NULL)
		return NULL;
	p = (char *)(list + count + 1);
	count = 0;
	for (i = 0; environ[i] != NULL; i++) {
		const size_t n = strlen(environ[i]);

		if (strncmp(environ[i], name, name_len) == 0 && environ[i][name_len] == '=')
			continue;
		memcpy(p, environ[i], n + 1);
		list[count++] = p;
		p += n + 1;
	}
	list[count] = NULL;
	return list;
}

int plat_setenv(const char *name, const char *value)
{
	if (value == NULL)
		return unsetenv(name) == 0;
	return setenv(name, value, 1) == 0;
}

void plat_sleep_ms(int ms)
{
	struct timespec ts;

	ts.tv_sec = ms / 1000;
	ts.tv_nsec = (long)(ms % 1000) * 1000000L;
	while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
		;
}
