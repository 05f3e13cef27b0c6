/*
 * The few operating-system services the plug-in needs. Every system call of
 * the program goes through here. Each target implements this header in two
 * files, one for files, folders, clocks and the environment and one for
 * running companions (platform_posix_*.cpp, platform_win32_*.cpp); CMake
 * compiles the pair of the target.
 * No other file includes a system header or tests the target.
 */
#ifndef QV_PLATFORM_H
#define QV_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

/* The separator put between the components of every path the program forms. */
extern const char plat_sep;

/* File names of the two companions on this target. */
extern const char plat_tmux_name[];
extern const char plat_metrics_name[];

/* Prepares standard output: bytes go out exactly as written (on Windows it
 * leaves text mode, so "\r\n" stays two bytes), and a write to a reader
 * that has gone fails instead of ending the process. */
void plat_stdout_prepare(void);

/* File status of a path: 1 with *is_dir and *mtime (seconds since 1970, may be
 * null) filled when the path exists, 0 otherwise. Links are followed. */
int plat_stat(const char *path, int *is_dir, int64_t *mtime);

/* Status of the path itself, a link as the last component not followed: 1
 * with *is_reg (1 for a regular file, 0 for a link, directory or anything
 * else) and *mtime (may be null) filled when something is there, else 0. */
int plat_lstat(const char *path, int *is_reg, int64_t *mtime);

/* 1 when something exists under the path, else 0. */
int plat_exists(const char *path);

/* Current time in whole seconds since 1970-01-01 00:00 UTC. */
int64_t plat_time(void);

/* A monotonic clock in milliseconds, for bounding waits. */
int64_t plat_clock_ms(void);

/* Identifier of this process, for names that must differ between processes. */
unsigned long plat_pid(void);

/*
 * Directory enumeration. plat_dir_open takes a directory path (no pattern);
 * plat_dir_next fills name and is_dir with the next entry and returns 1, or
 * returns 0 when there are no more. An entry is a directory when the system
 * says so; on POSIX links and unknown types are resolved with stat.
 * Entries "." and ".." are reported like any other. Names longer than
 * PLAT_NAME_CAP - 1 bytes are skipped.
 */
#define PLAT_NAME_CAP 512
#define PLAT_DIR_PATH_CAP 1400
typedef struct plat_dir {
	void *handle;
	int pending;                 /* Win32: the first entry is already in name */
	int is_dir;
	char name[PLAT_NAME_CAP];
	char path[PLAT_DIR_PATH_CAP]; /* the directory, for resolving links */
} plat_dir;

int plat_dir_open(plat_dir *d, const char *dir);
int plat_dir_next(plat_dir *d);
void plat_dir_close(plat_dir *d);

/*
 * Reading a file. plat_file_open opens an existing file for reading without
 * waiting on it, and keeps it only when the open handle shows a regular
 * file: a directory, FIFO, socket or device (on Windows also a device name
 * such as CON or NUL.txt) fails. With PLAT_OPEN_NOFOLLOW a link as the last
 * component fails too. Long paths work on both targets; companions never
 * inherit the handle. 1 with f open and its size and modification time
 * (seconds since 1970) taken from the handle; 0 with f closed otherwise.
 */
#define PLAT_OPEN_NOFOLLOW 1
typedef struct plat_file {
	intptr_t h;      /* descriptor or handle; -1 when closed */
	int64_t size;    /* bytes, as the handle showed them at the open */
	int64_t mtime;
} plat_file;

int plat_file_open(plat_file *f, const char *path, int flags);

/* Reads up to n bytes: the count, or 0 at the end, on an error or when f is
 * closed. */
size_t plat_file_read(plat_file *f, char *buf, size_t n);

/* Closes f; closing a closed f does nothing. */
void plat_file_close(plat_file *f);

/*
 * Exclusive creation of a new file for writing in binary mode, readable and
 * writable by its owner only on POSIX (on Windows it takes its folder's
 * permissions): fails (null) when anything, a link included, already exists
 * under the path.
 */
FILE *plat_create_excl(const char *path);

/* Removes a file. 1 on success. */
int plat_remove(const char *path);

/* Rename, replacing the target if it exists, in one step. 1 on success. */
int plat_rename_replace(const char *from, const char *to);

/*
 * Companions. plat_child_start runs argv[0] (a bare name is searched on PATH)
 * with argv as its argument vector, never through a shell: standard output
 * is a pipe to us, standard input the null device, and standard error the
 * null device or, with PLAT_CHILD_ERR in flags, a second pipe to us. envp,
 * when not null, is the child's whole environment ("KEY=VALUE" strings,
 * null-terminated); null passes ours on. The run may last timeout_ms.
 *
 * The child runs in a process group (on Windows a job) of its own, so that a
 * kill reaches whatever it starts. It does not outlive us: on POSIX a
 * SIGTERM, SIGHUP or SIGINT that would end us (one left at its default
 * action) first kills the group of each running child, and on Linux the
 * kernel kills the child when we die; on Windows closing the job, which
 * happens when we end however we end, kills what is in it.
 *
 * Returns 1 when the run is under way, also when the program does not exist
 * or cannot be executed: such a child prints nothing and fails. Returns 0
 * only when no child could be created at all (no pipe, no process slot).
 */
#define PLAT_CHILD_ERR 1

typedef struct plat_child {
	intptr_t proc;     /* pid or process handle; 0 when nothing runs */
	intptr_t out;      /* read end of the output pipe; -1 when closed */
	intptr_t err;      /* read end of the error pipe; -1 when closed or none */
	intptr_t job;      /* Win32: job object holding the child's tree, or 0 */
	int64_t deadline;  /* plat_clock_ms() value past which the child is killed */
	int failed;        /* the program could not be started */
	int error;         /* why not: the system's error code, else 0 */
	int timed_out;     /* the deadline passed while reading or waiting */
} plat_child;

int plat_child_start(plat_child *c, const char *const argv[],
		     const char *const envp[], int timeout_ms, int flags);

/*
 * Reads up to n bytes of the child's standard output. Returns the count, or
 * 0 at the end of the output, on a read error, or when the deadline has
 * passed (then timed_out is set). With PLAT_CHILD_ERR, read with
 * plat_child_read_any instead, or a child that fills its error pipe blocks.
 */
size_t plat_child_read(plat_child *c, char *buf, size_t n);

/*
 * Reads up to n bytes from whichever of the child's two pipes has some,
 * *from_err telling which (1: standard error). Returns the count, or 0 when
 * both have ended or failed, or at the deadline (then timed_out is set).
 */
size_t plat_child_read_any(plat_child *c, char *buf, size_t n, int *from_err);

/*
 * Closes the read ends of the pipes first (a child still writing then fails
 * instead of blocking), then waits for the child until the deadline. Past
 * the deadline the child and whatever it started are killed, also when the
 * child itself has ended but left something holding a pipe. Returns its
 * exit status, or -1 when it was killed, could not be started or did not
 * end normally.
 */
int plat_child_finish(plat_child *c);

/*
 * Names one file that this process removes if a stop signal ends it, such as
 * a lock that would otherwise hold other requests back until it ages; NULL
 * forgets it. On POSIX that is a SIGTERM, SIGHUP or SIGINT left at its
 * default action, after the children are killed. Nothing can be done for the
 * kill no program can catch, nor on Windows, where a host ends a process
 * without notice. A path of PLAT_STOP_FILE_CAP bytes or more is not remembered.
 */
#define PLAT_STOP_FILE_CAP 4096
void plat_remove_at_stop(const char *path);

/*
 * The user's profile folder (USERPROFILE) and local application-data folder
 * (LOCALAPPDATA), read anew on each call. POSIX falls back to HOME, and to
 * XDG_DATA_HOME or HOME/.local/share. 1 when the result is not empty and
 * fits whole in cap - 1 bytes (a folder that does not fit is absent, never
 * cut); 0 with an empty out otherwise.
 */
/* Room for either folder, before a caller joins its own path to it. */
#define FOLDER_CAP 1024
int plat_userprofile(char *out, size_t cap);
int plat_localappdata(char *out, size_t cap);

/*
 * This process's environment without the variable name (its name compared
 * as the target compares names: exactly on POSIX, in any case on Windows),
 * as a null-terminated list of "KEY=VALUE" strings for plat_child_start. One
 * heap block that the caller frees; null when memory is short.
 */
char **plat_env_without(const char *name);

/* Sets or, with a null value, removes an environment variable (tests). */
int plat_setenv(const char *name, const char *value);

/* Sleeps for the given number of milliseconds (companion stand-ins). */
void plat_sleep_ms(int ms);

#endif
