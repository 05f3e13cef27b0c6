/*
 * The platform layer on POSIX systems: running the companions.
 */
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

const char plat_tmux_name[] = "quorvane-tmux";
const char plat_metrics_name[] = "quorvane-sglang-metrics";

/* How many children at once the stop signals can take down with us; more
 * run unguarded (the plug-in runs one at a time). */
#define GUARD_SLOTS 8

/* Room for one directory of PATH joined to the program name. */
#define EXEC_PATH_CAP 4096

/* Process groups of the running children, 0 for a free slot; read by the
 * signal handler. */
static volatile sig_atomic_t guarded[GUARD_SLOTS];

/* The file that the stop signals remove, while stop_file_set is 1. */
static char stop_file[PLAT_STOP_FILE_CAP];
static volatile sig_atomic_t stop_file_set;

/* The signals on which a host ends us; their default is to terminate. */
static const int stop_signals[] = { SIGTERM, SIGHUP, SIGINT };

static void guard_handler(int sig);
static void guard_install(void);
static void stop_signals_block(sigset_t *old);
static void guard_add(pid_t pid);
static void guard_remove(pid_t pid);
static int fd_to(int fd, int target);
static void exec_search(const char *file, char *const argv[], char *const envp[]);
static void child_exec(const char *const argv[], const char *const envp[], const int fds[3],
		       int report, pid_t parent);
static int child_spawn(plat_child *c, const char *const argv[], const char *const envp[],
		       const int fds[3]);
static int pipe_read(intptr_t *fd, char *buf, size_t n);

/* Kills the process group of every running child, removes the file named
 * by plat_remove_at_stop, then ends this process by the same signal with its
 * default action. */
static void guard_handler(int sig)
{
	int i;

	for (i = 0; i < GUARD_SLOTS; i++)
		if (guarded[i] > 0)
			kill(-(pid_t)guarded[i], SIGKILL);
	if (stop_file_set)
		unlink(stop_file);
	signal(sig, SIG_DFL);
	raise(sig);
}

/* Installs guard_handler, once, for each stop signal still at its default
 * action; one that the host ignores or handles itself is left alone. */
static void guard_install(void)
{
	static int installed;
	struct sigaction sa;
	struct sigaction old;
	size_t i;

	if (installed)
		return;
	installed = 1;
	for (i = 0; i < sizeof(stop_signals) / sizeof(stop_signals[0]); i++) {
		if (sigaction(stop_signals[i], NULL, &old) != 0 || old.sa_handler != SIG_DFL)
			continue;
		memset(&sa, 0, sizeof(sa));
		sa.sa_handler = guard_handler;
		sigfillset(&sa.sa_mask);
		sigaction(stop_signals[i], &sa, NULL);
	}
}

/* Blocks the stop signals, keeping the mask before in *old. */
static void stop_signals_block(sigset_t *old)
{
	sigset_t set;
	size_t i;

	sigemptyset(&set);
	for (i = 0; i < sizeof(stop_signals) / sizeof(stop_signals[0]); i++)
		sigaddset(&set, stop_signals[i]);
	sigprocmask(SIG_BLOCK, &set, old);
}

/* Records a child's process group for the stop signals; call with them
 * blocked. */
static void guard_add(pid_t pid)
{
	int i;

	for (i = 0; i < GUARD_SLOTS; i++) {
		if (guarded[i] == 0) {
			guarded[i] = (sig_atomic_t)pid;
			return;
		}
	}
}

/* Forgets a child's process group; call before the child is reaped, so that
 * a reused group id is never killed. */
static void guard_remove(pid_t pid)
{
	int i;

	for (i = 0; i < GUARD_SLOTS; i++)
		if (guarded[i] == (sig_atomic_t)pid)
			guarded[i] = 0;
}

void plat_remove_at_stop(const char *path)
{
	const size_t n = path != NULL ? strlen(path) : 0;
	sigset_t old;

	guard_install();
	/* The handler never sees a half-copied name. */
	stop_signals_block(&old);
	stop_file_set = 0;
	if (path != NULL && n < sizeof(stop_file)) {
		memcpy(stop_file, path, n + 1);
		stop_file_set = 1;
	}
	sigprocmask(SIG_SETMASK, &old, NULL);
}

/* In the child: makes fd the descriptor target, kept open across exec. */
static int fd_to(int fd, int target)
{
	if (fd == target)
		return fcntl(target, F_SETFD, 0);
	return dup2(fd, target) < 0 ? -1 : 0;
}

/*
 * In the child: executes file as execvp does, searching PATH (ours) for a
 * bare name, but never hands a file without an executable format to the
 * shell. Returns only on failure, with errno set.
 */
static void exec_search(const char *file, char *const argv[], char *const envp[])
{
	char path[EXEC_PATH_CAP];
	const char *dirs;
	const char *p;
	const char *end;
	size_t dlen;
	size_t flen = strlen(file);
	int denied = 0;

	if (strchr(file, '/') != NULL) {
		execve(file, argv, envp);
		return;
	}
	dirs = getenv("PATH");
	if (dirs == NULL)
		dirs = "/bin:/usr/bin";
	for (p = dirs;; p = end + 1) {
		end = strchr(p, ':');
		if (end == NULL)
			end = p + strlen(p);
		dlen = (size_t)(end - p);
		if (dlen + flen + 2 <= sizeof(path)) {
			/* An empty entry is the current folder. */
			memcpy(path, p, dlen);
			if (dlen > 0)
				path[dlen++] = '/';
			memcpy(path + dlen, file, flen + 1);
			execve(path, argv, envp);
			if (errno == EACCES)
				denied = 1;
			else if (errno != ENOENT && errno != ENOTDIR && errno != ENOEXEC)
				return;
		}
		if (*end == '\0')
			break;
	}
	errno = denied ? EACCES : ENOENT;
}

/*
 * In the child, between fork and exec: its own process group, death with
 * its parent where the kernel offers it, default signal actions and an
 * empty mask, fds[0..2] as its standard streams. On failure it writes errno
 * to report and ends.
 */
static void child_exec(const char *const argv[], const char *const envp[], const int fds[3],
		       int report, pid_t parent)
{
	extern char **environ;
	struct sigaction dfl;
	sigset_t none;
	int sig;
	int err;

	setpgid(0, 0);
#ifdef __linux__
	/* A parent killed outright cannot kill us at its bound: the kernel
	 * does. If it is already gone, nobody would. */
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	if (getppid() != parent)
		_exit(127);
#else
	(void)parent;
#endif
	memset(&dfl, 0, sizeof(dfl));
	dfl.sa_handler = SIG_DFL;
	for (sig = 1; sig < NSIG; sig++)
		sigaction(sig, &dfl, NULL);
	if (fd_to(fds[0], 0) == 0 && fd_to(fds[1], 1) == 0 && fd_to(fds[2], 2) == 0) {
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, NULL);
		exec_search(argv[0], (char *const *)argv,
			    envp != NULL ? (char *const *)envp : environ);
	}
	err = errno;
	while (write(report, &err, sizeof(err)) < 0 && errno == EINTR)
		;
	_exit(127);
}

/*
 * Forks and executes argv with fds[0..2] as its standard streams. 1 with
 * c->proc set when it runs, also 1 with c->failed and c->error set when the
 * program cannot be executed; 0 when no child could be created.
 */
static int child_spawn(plat_child *c, const char *const argv[], const char *const envp[],
		       const int fds[3])
{
	int report[2];
	int err = 0;
	ssize_t got;
	sigset_t old;
	pid_t parent = getpid();
	pid_t pid;

	/* The child tells why its exec failed through this pipe; a successful
	 * exec closes it empty. */
	if (pipe2(report, O_CLOEXEC) != 0)
		return 0;
	guard_install();
	stop_signals_block(&old);
	pid = fork();
	if (pid == 0) {
		close(report[0]);
		child_exec(argv, envp, fds, report[1], parent);
	}
	if (pid > 0) {
		/* Also here, so that the group exists before any kill of ours. */
		setpgid(pid, pid);
		guard_add(pid);
	}
	sigprocmask(SIG_SETMASK, &old, NULL);
	close(report[1]);
	if (pid < 0) {
		close(report[0]);
		return 0;
	}
	while ((got = read(report[0], &err, sizeof(err))) < 0 && errno == EINTR)
		;
	close(report[0]);
	if (got <= 0) {
		c->proc = (intptr_t)pid;
		return 1;
	}
	guard_remove(pid);
	while (waitpid(pid, NULL, 0) < 0 && errno == EINTR)
		;
	if (err == EAGAIN || err == ENOMEM)
		return 0;
	/* Missing or not executable: a child that printed nothing and failed. */
	c->failed = 1;
	c->error = err;
	return 1;
}

int plat_child_start(plat_child *c, const char *const argv[],
		     const char *const envp[], int timeout_ms, int flags)
{
	int out[2];
	int err[2] = { -1, -1 };
	int fds[3];
	int devnull;
	int rc;

	memset(c, 0, sizeof(*c));
	c->out = -1;
	c->err = -1;
	c->deadline = plat_clock_ms() + timeout_ms;
	/* No end may stay open in the child beyond its standard streams: a
	 * stray write end would keep a pipe open after it exits. */
	if (pipe2(out, O_CLOEXEC) != 0)
		return 0;
	if ((flags & PLAT_CHILD_ERR) != 0 && pipe2(err, O_CLOEXEC) != 0) {
		close(out[0]);
		close(out[1]);
		return 0;
	}
	devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
	rc = 0;
	if (devnull >= 0) {
		fds[0] = devnull;
		fds[1] = out[1];
		fds[2] = err[1] >= 0 ? err[1] : devnull;
		rc = child_spawn(c, argv, envp, fds);
		close(devnull);
	}
	close(out[1]);
	if (err[1] >= 0)
		close(err[1]);
	if (rc == 0 || c->failed) {
		close(out[0]);
		if (err[0] >= 0)
			close(err[0]);
		return rc;
	}
	c->out = out[0];
	c->err = err[0];
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

/* Reads what is ready on *fd into buf; at its end or on an error closes it
 * and sets it to -1. Returns the count, 0 also for an interrupted read. */
static int pipe_read(intptr_t *fd, char *buf, size_t n)
{
	ssize_t got = read((int)*fd, buf, n);

	if (got > 0)
		return (int)got;
	if (got < 0 && errno == EINTR)
		return 0;
	close((int)*fd);
	*fd = -1;
	return 0;
}

size_t plat_child_read_any(plat_child *c, char *buf, size_t n, int *from_err)
{
	struct pollfd p[2];
	int64_t left;
	int got;
	int rc;
	int i;

	*from_err = 0;
	while (n > 0 && (c->out >= 0 || c->err >= 0)) {
		left = c->deadline - plat_clock_ms();
		if (left <= 0) {
			c->timed_out = 1;
			return 0;
		}
		p[0].fd = (int)c->out;
		p[1].fd = (int)c->err;
		p[0].events = p[1].events = POLLIN;
		p[0].revents = p[1].revents = 0;
		rc = poll(p, 2, left > 1000000 ? 1000000 : (int)left);
		if (rc < 0 && errno != EINTR)
			return 0;
		for (i = 0; i < 2 && rc > 0; i++) {
			if (p[i].fd < 0 || p[i].revents == 0)
				continue;
			got = pipe_read(i == 0 ? &c->out : &c->err, buf, n);
			if (got > 0) {
				*from_err = i;
				return (size_t)got;
			}
		}
	}
	return 0;
}

int plat_child_finish(plat_child *c)
{
	pid_t pid = (pid_t)c->proc;
	siginfo_t info;
	int status = 0;
	int sleep_us = 100;
	int rc;

	if (c->out >= 0)
		close((int)c->out);
	if (c->err >= 0)
		close((int)c->err);
	c->out = -1;
	c->err = -1;
	if (pid <= 0)
		return -1;
	c->proc = 0;
	/* Cut off at the deadline while reading: the companion, and whatever
	 * it started that may still hold the pipe, go now, before the child is
	 * reaped and its group id could be reused. */
	if (c->timed_out)
		kill(-pid, SIGKILL);
	for (;;) {
		/* Look without reaping: the group id stays ours until the
		 * guard has forgotten it. */
		memset(&info, 0, sizeof(info));
		rc = waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT);
		if (rc == 0 && info.si_pid == pid)
			break;
		if (rc < 0 && errno != EINTR)
			break;
		if (rc == 0 && (c->timed_out || plat_clock_ms() >= c->deadline)) {
			c->timed_out = 1;
			kill(-pid, SIGKILL);
			kill(pid, SIGKILL);
			break;
		}
		/* Most companions are gone by the time their output ends: poll
		 * quickly at first, then back off. */
		usleep(sleep_us);
		if (sleep_us < 20000)
			sleep_us *= 2;
	}
	guard_remove(pid);
	while (waitpid(pid, &status, 0) < 0) {
		if (errno != EINTR)
			return -1;
	}
	if (c->timed_out)
		return -1;
	if (WIFEXITED(status))
		return WEXITSTATUS(status);
	return -1;
}
