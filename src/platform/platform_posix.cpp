/*
 * The platform layer on POSIX systems.
 */
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

const char plat_sep = '/';
const char plat_tmux_name[] = "quorvane-tmux";
const char plat_metrics_name[] = "quorvane-sglang-metrics";

static void copy_env(const char *value, char *out, size_t cap);
static int env_folder(const char *name, char *out, size_t cap);

/* Copies an environment value into out, cut to cap - 1 bytes. */
static void copy_env(const char *value, char *out, size_t cap)
{
	size_t n = strlen(value);

	if (n > cap - 1)
		n = cap - 1;
	memcpy(out, value, n);
	out[n] = '\0';
}

/* Copies the value of variable name into out, cut to cap - 1 bytes: 1 when
 * it is set and not empty, else 0 with an empty out. */
static int env_folder(const char *name, char *out, size_t cap)
{
	const char *v = getenv(name);

	out[0] = '\0';
	if (v == NULL || v[0] == '\0')
		return 0;
	copy_env(v, out, cap);
	return out[0] != '\0';
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

FILE *plat_create_excl(const char *path)
{
	int fd;
	FILE *fp;

	fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
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

int plat_child_start(plat_child *c, const char *const argv[],
		     const char *const envp[], int timeout_ms)
{
	int fds[2];
	int devnull;
	posix_spawn_file_actions_t fa;
	posix_spawnattr_t attr;
	pid_t pid;
	int rc;

	memset(c, 0, sizeof(*c));
	c->out = -1;
	c->deadline = plat_clock_ms() + timeout_ms;
	/* Neither end may stay open in the child beyond its standard output:
	 * a stray write end would keep the pipe open after it exits. */
	if (pipe2(fds, O_CLOEXEC) != 0)
		return 0;
	devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
	if (devnull < 0) {
		close(fds[0]);
		close(fds[1]);
		return 0;
	}
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_adddup2(&fa, devnull, 0);
	posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
	posix_spawn_file_actions_adddup2(&fa, devnull, 2);
	posix_spawnattr_init(&attr);
	/* Its own process group, so that a kill at the deadline also reaches
	 * whatever the companion started. Signals go back to their defaults. */
	sigset_t none;
	sigemptyset(&none);
	posix_spawnattr_setsigmask(&attr, &none);
	sigset_t all;
	sigfillset(&all);
	posix_spawnattr_setsigdefault(&attr, &all);
	posix_spawnattr_setpgroup(&attr, 0);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
					       POSIX_SPAWN_SETSIGDEF);
	rc = posix_spawnp(&pid, argv[0], &fa, &attr, (char *const *)argv,
			  envp != NULL ? (char *const *)envp : environ);
	posix_spawn_file_actions_destroy(&fa);
	posix_spawnattr_destroy(&attr);
	close(fds[1]);
	close(devnull);
	if (rc != 0) {
		close(fds[0]);
		if (rc == EAGAIN || rc == ENOMEM)
			return 0;
		/* Missing or not executable: a child that printed nothing and
		 * failed. */
		c->failed = 1;
		return 1;
	}
	c->proc = (intptr_t)pid;
	c->out = fds[0];
	return 1;
}

size_t plat_child_read(plat_child *c, char *buf, size_t n)
{
	struct pollfd p;
	int64_t left;
	ssize_t got;
	int rc;

	if (c->out < 0 || n == 0)
		return 0;
	for (;;) {
		left = c->deadline - plat_clock_ms();
		if (left <= 0) {
			c->timed_out = 1;
			return 0;
		}
		p.fd = (int)c->out;
		p.events = POLLIN;
		p.revents = 0;
		rc = poll(&p, 1, left > 1000000 ? 1000000 : (int)left);
		if (rc < 0 && errno == EINTR)
			continue;
		if (rc < 0)
			return 0;
		if (rc == 0)
			continue;
		got = read((int)c->out, buf, n);
		if (got < 0 && errno == EINTR)
			continue;
		return got > 0 ? (size_t)got : 0;
	}
}

int plat_child_finish(plat_child *c)
{
	pid_t pid = (pid_t)c->proc;
	int status = 0;
	int sleep_us = 100;
	pid_t rc;

	if (c->out >= 0)
		close((int)c->out);
	c->out = -1;
	if (pid <= 0)
		return -1;
	c->proc = 0;
	/* Cut off at the deadline while reading: the companion, and whatever
	 * it started that may still hold the pipe, go now, before the child is
	 * reaped and its group id could be reused. */
	if (c->timed_out)
		kill(-pid, SIGKILL);
	for (;;) {
		rc = waitpid(pid, &status, WNOHANG);
		if (rc == pid)
			break;
		if (rc < 0 && errno != EINTR)
			return -1;
		if (rc == 0 && (c->timed_out || plat_clock_ms() >= c->deadline)) {
			c->timed_out = 1;
			kill(-pid, SIGKILL);
			kill(pid, SIGKILL);
			while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
				;
			return -1;
		}
		/* Most companions are gone by the time their output ends: poll
		 * quickly at first, then back off. */
		usleep(sleep_us);
		if (sleep_us < 20000)
			sleep_us *= 2;
	}
	if (c->timed_out)
		return -1;
	if (WIFEXITED(status))
		return WEXITSTATUS(status);
	return -1;
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
	snprintf(out, cap, "%s/.local/share", home);
	return out[0] != '\0';
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
