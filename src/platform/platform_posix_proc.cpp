/*
 * The platform layer on POSIX systems: running the companions.
 */
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

const char plat_tmux_name[] = "quorvane-tmux";
const char plat_metrics_name[] = "quorvane-sglang-metrics";

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
