/*
 * The platform layer on 64-bit Windows: running the companions.
 */
#include "platform/platform.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

const char plat_tmux_name[] = "quorvane-tmux.exe";
const char plat_metrics_name[] = "quorvane-sglang-metrics.exe";

/* The longest command line CreateProcess accepts, terminator included. */
#define CMDLINE_CAP 32767

/* Size asked for the companion's pipe: fewer round trips for large output. */
#define PIPE_BUFFER 65536

/* How long a killed companion is given to be gone before we stop waiting. */
#define KILL_WAIT_MS 5000

static size_t quoted_len(const char *arg);
static char *quote_arg(char *dst, const char *arg);
static char *build_cmdline(const char *const argv[]);
static char *build_env_block(const char *const envp[]);
static int cannot_run(DWORD err);
static HANDLE open_nul(void);
static int pipe_make(HANDLE *rd, HANDLE *wr);
static void handle_close(HANDLE h);
static void std_close(HANDLE std[3]);
static void handle_list_attach(STARTUPINFOEXA *si, HANDLE *inherit, size_t n, DWORD *flags);
static void handle_list_free(STARTUPINFOEXA *si);
static HANDLE job_kill_on_close(HANDLE proc);
static int process_create(char *cmdline, char *envblock, HANDLE std[3],
			  PROCESS_INFORMATION *pi, DWORD *err);
static size_t pipe_read_ready(intptr_t *h, char *buf, size_t n);
static void child_kill(plat_child *c);

/* Length of arg once quoted by quote_arg, separator not included. */
static size_t quoted_len(const char *arg)
{
	/* Worst case: every byte a quote or backslash doubled, plus the two
	 * surrounding quotes. */
	return 2 * strlen(arg) + 2;
}

/*
 * Writes arg at dst as the C runtime's argument parser will read it back,
 * and returns the end. Arguments without space, tab, newline, vertical tab
 * or quote, and not empty, go as they are. Others are put in quotes; inside,
 * backslashes are literal except before a quote, so a run of them before a
 * quote (or before the closing quote) is doubled, and a quote gets one more.
 */
static char *quote_arg(char *dst, const char *arg)
{
	const char *p;
	size_t slashes;
	size_t i;

	if (arg[0] != '\0' && strpbrk(arg, " \t\n\v\"") == NULL) {
		size_t n = strlen(arg);

		memcpy(dst, arg, n);
		return dst + n;
	}
	*dst++ = '"';
	for (p = arg;; p++) {
		slashes = 0;
		while (*p == '\\') {
			slashes++;
			p++;
		}
		if (*p == '\0') {
			for (i = 0; i < slashes * 2; i++)
				*dst++ = '\\';
			break;
		}
		if (*p == '"') {
			for (i = 0; i < slashes * 2 + 1; i++)
				*dst++ = '\\';
		} else {
			for (i = 0; i < slashes; i++)
				*dst++ = '\\';
		}
		*dst++ = *p;
	}
	*dst++ = '"';
	return dst;
}

/* The command line for argv as a new heap string, or null when it would not
 * fit the CreateProcess limit or memory is short. */
static char *build_cmdline(const char *const argv[])
{
	size_t total = 0;
	size_t i;
	char *line;
	char *p;

	for (i = 0; argv[i] != NULL; i++)
		total += quoted_len(argv[i]) + 1;
	if (total == 0 || total > CMDLINE_CAP)
		return NULL;
	line = (char *)malloc(total);
	if (line == NULL)
		return NULL;
	p = line;
	for (i = 0; argv[i] != NULL; i++) {
		if (i > 0)
			*p++ = ' ';
		p = quote_arg(p, argv[i]);
	}
	*p = '\0';
	return line;
}

/* The environment block for CreateProcessA: each "KEY=VALUE" followed by a
 * zero byte, and one more zero byte at the end. Null when memory is short. */
static char *build_env_block(const char *const envp[])
{
	size_t total = 2;
	size_t i;
	size_t n;
	char *block;
	char *p;

	for (i = 0; envp[i] != NULL; i++)
		total += strlen(envp[i]) + 1;
	block = (char *)malloc(total);
	if (block == NULL)
		return NULL;
	p = block;
	for (i = 0; envp[i] != NULL; i++) {
		/* An empty string would end the block early. */
		if (envp[i][0] == '\0')
			continue;
		n = strlen(envp[i]);
		memcpy(p, envp[i], n + 1);
		p += n + 1;
	}
	/* An empty block still needs two zero bytes. */
	if (p == block)
		*p++ = '\0';
	*p = '\0';
	return block;
}

/* 1 when CreateProcess failed for want of system resources, so that no child
 * could be created at all; any other failure means this program cannot be
 * run (missing, not an executable, not allowed, a bad name). */
static int cannot_run(DWORD err)
{
	switch (err) {
	case ERROR_NOT_ENOUGH_MEMORY:
	case ERROR_OUTOFMEMORY:
	case ERROR_NO_SYSTEM_RESOURCES:
	case ERROR_NOT_ENOUGH_QUOTA:
	case ERROR_COMMITMENT_LIMIT:
	case ERROR_TOO_MANY_OPEN_FILES:
	case ERROR_MAX_THRDS_REACHED:
		return 0;
	default:
		return 1;
	}
}

/* The null device, opened for reading and writing as an inheritable handle. */
static HANDLE open_nul(void)
{
	SECURITY_ATTRIBUTES sa;

	memset(&sa, 0, sizeof(sa));
	sa.nLength = sizeof(sa);
	sa.bInheritHandle = TRUE;
	return CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE,
			   FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, NULL);
}

/* A pipe whose write end alone is inheritable: the read end stays ours.
 * 1 on success. */
static int pipe_make(HANDLE *rd, HANDLE *wr)
{
	if (!CreatePipe(rd, wr, NULL, PIPE_BUFFER))
		return 0;
	if (SetHandleInformation(*wr, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
		return 1;
	CloseHandle(*rd);
	CloseHandle(*wr);
	return 0;
}

/* Closes a handle that may be null or invalid. */
static void handle_close(HANDLE h)
{
	if (h != NULL && h != INVALID_HANDLE_VALUE)
		CloseHandle(h);
}

/* Closes our copies of the child's standard handles, the null device once
 * when it stands twice. */
static void std_close(HANDLE std[3])
{
	handle_close(std[1]);
	if (std[2] != std[0])
		handle_close(std[2]);
	handle_close(std[0]);
}

/*
 * Names in si the n handles the child inherits, so that no other inheritable
 * handle of ours (standard output from the host, say) leaks into it, and
 * adds the flag that says so. Without the list, which only memory shortage
 * prevents, the handles are still the only ones we made inheritable.
 */
static void handle_list_attach(STARTUPINFOEXA *si, HANDLE *inherit, size_t n, DWORD *flags)
{
	SIZE_T attr_size = 0;

	InitializeProcThreadAttributeList(NULL, 1, 0, &attr_size);
	si->lpAttributeList = (LPPROC_THREAD_ATTRIBUTE_LIST)malloc(attr_size);
	if (si->lpAttributeList == NULL)
		return;
	if (!InitializeProcThreadAttributeList(si->lpAttributeList, 1, 0, &attr_size)) {
		free(si->lpAttributeList);
		si->lpAttributeList = NULL;
		return;
	}
	if (!UpdateProcThreadAttribute(si->lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
				       inherit, n * sizeof(HANDLE), NULL, NULL)) {
		DeleteProcThreadAttributeList(si->lpAttributeList);
		free(si->lpAttributeList);
		si->lpAttributeList = NULL;
		return;
	}
	si->StartupInfo.cb = sizeof(*si);
	*flags |= EXTENDED_STARTUPINFO_PRESENT;
}

/* Frees what handle_list_attach made. */
static void handle_list_free(STARTUPINFOEXA *si)
{
	if (si->lpAttributeList == NULL)
		return;
	DeleteProcThreadAttributeList(si->lpAttributeList);
	free(si->lpAttributeList);
	si->lpAttributeList = NULL;
}

/*
 * A job holding proc whose closing kills whatever is left in it, also when
 * this process ends early; null when none could be made, and then only the
 * child itself can be killed.
 */
static HANDLE job_kill_on_close(HANDLE proc)
{
	JOBOBJECT_EXTENDED_LIMIT_INFORMATION lim;
	HANDLE job = CreateJobObjectA(NULL, NULL);

	if (job == NULL)
		return NULL;
	memset(&lim, 0, sizeof(lim));
	lim.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
	SetInformationJobObject(job, JobObjectExtendedLimitInformation, &lim, sizeof(lim));
	if (!AssignProcessToJobObject(job, proc)) {
		CloseHandle(job);
		return NULL;
	}
	return job;
}

/*
 * Creates the child, suspended, with std[0..2] as its standard handles and
 * only those inherited. 1 with *pi filled, else 0 with *err set.
 */
static int process_create(char *cmdline, char *envblock, HANDLE std[3],
			  PROCESS_INFORMATION *pi, DWORD *err)
{
	STARTUPINFOEXA si;
	HANDLE inherit[3];
	size_t n = 0;
	DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
	BOOL ok;

	memset(&si, 0, sizeof(si));
	si.StartupInfo.cb = sizeof(si.StartupInfo);
	si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
	si.StartupInfo.hStdInput = std[0];
	si.StartupInfo.hStdOutput = std[1];
	si.StartupInfo.hStdError = std[2];
	/* Each handle once in the list: the null device may stand twice. */
	inherit[n++] = std[1];
	inherit[n++] = std[0];
	if (std[2] != std[0])
		inherit[n++] = std[2];
	handle_list_attach(&si, inherit, n, &flags);
	memset(pi, 0, sizeof(*pi));
	ok = CreateProcessA(NULL, cmdline, NULL, NULL, TRUE, flags, envblock, NULL,
			    &si.StartupInfo, pi);
	*err = ok ? 0 : GetLastError();
	handle_list_free(&si);
	return ok ? 1 : 0;
}

int plat_child_start(plat_child *c, const char *const argv[],
		     const char *const envp[], int timeout_ms, int flags)
{
	HANDLE rd = NULL;
	HANDLE err_rd = NULL;
	HANDLE std[3] = { NULL, NULL, NULL };
	PROCESS_INFORMATION pi;
	char *cmdline;
	char *envblock = NULL;
	DWORD err = 0;
	int made = 0;

	memset(c, 0, sizeof(*c));
	c->out = -1;
	c->err = -1;
	c->deadline = plat_clock_ms() + timeout_ms;
	cmdline = build_cmdline(argv);
	if (cmdline == NULL) {
		/* No command line can name this program. */
		c->failed = 1;
		c->error = ERROR_FILENAME_EXCED_RANGE;
		return 1;
	}
	if (envp != NULL)
		envblock = build_env_block(envp);
	std[0] = open_nul();
	if ((envp == NULL || envblock != NULL) && std[0] != INVALID_HANDLE_VALUE &&
	    pipe_make(&rd, &std[1])) {
		if ((flags & PLAT_CHILD_ERR) == 0)
			std[2] = std[0];
		else if (!pipe_make(&err_rd, &std[2]))
			std[2] = NULL;
		if (std[2] != NULL)
			made = process_create(cmdline, envblock, std, &pi, &err) ? 1 : 2;
	}
	free(cmdline);
	free(envblock);
	std_close(std);
	if (made != 1) {
		handle_close(rd);
		handle_close(err_rd);
		if (made == 0 || !cannot_run(err))
			return 0;
		/* Missing or not executable: a child that printed nothing and
		 * failed. */
		c->failed = 1;
		c->error = (int)err;
		return 1;
	}
	/* The child starts suspended so that it is in its job before it can
	 * start anything of its own: a kill at the deadline then ends the
	 * whole tree. */
	c->job = (intptr_t)job_kill_on_close(pi.hProcess);
	ResumeThread(pi.hThread);
	CloseHandle(pi.hThread);
	c->proc = (intptr_t)pi.hProcess;
	c->out = (intptr_t)rd;
	c->err = err_rd != NULL ? (intptr_t)err_rd : -1;
	return 1;
}

size_t plat_child_read(plat_child *c, char *buf, size_t n)
{
	DWORD avail;
	DWORD want;
	DWORD got;

	if (c->out == -1 || n == 0)
		return 0;
	/* Anonymous pipes have no overlapped reads: poll what is waiting, so
	 * that a silent child cannot hold us past the deadline. */
	for (;;) {
		if (plat_clock_ms() >= c->deadline) {
			c->timed_out = 1;
			return 0;
		}
		avail = 0;
		if (!PeekNamedPipe((HANDLE)c->out, NULL, 0, NULL, &avail, NULL)) {
			/* The child closed its end. A read cannot block now, so
			 * take whatever may still be buffered; at the end it
			 * fails and gives 0. */
			if (GetLastError() != ERROR_BROKEN_PIPE)
				return 0;
			avail = n < (size_t)MAXDWORD ? (DWORD)n : MAXDWORD;
			break;
		}
		if (avail > 0)
			break;
		Sleep(1);
	}
	want = n < (size_t)avail ? (DWORD)n : avail;
	got = 0;
	if (!ReadFile((HANDLE)c->out, buf, want, &got, NULL))
		return 0;
	return (size_t)got;
}

/* Reads what waits in the pipe *h into buf, up to n bytes, without blocking.
 * At its end or on an error closes it and sets it to -1. Returns the count,
 * 0 when nothing waits. */
static size_t pipe_read_ready(intptr_t *h, char *buf, size_t n)
{
	DWORD avail = 0;
	DWORD got = 0;
	DWORD want;

	if (!PeekNamedPipe((HANDLE)*h, NULL, 0, NULL, &avail, NULL)) {
		/* The child closed its end: take whatever may still be
		 * buffered; at the end the read fails. */
		if (GetLastError() != ERROR_BROKEN_PIPE ||
		    !ReadFile((HANDLE)*h, buf, n < (size_t)MAXDWORD ? (DWORD)n : MAXDWORD, &got,
			      NULL) ||
		    got == 0) {
			CloseHandle((HANDLE)*h);
			*h = -1;
			return 0;
		}
		return (size_t)got;
	}
	if (avail == 0)
		return 0;
	want = n < (size_t)avail ? (DWORD)n : avail;
	if (!ReadFile((HANDLE)*h, buf, want, &got, NULL))
		return 0;
	return (size_t)got;
}

size_t plat_child_read_any(plat_child *c, char *buf, size_t n, int *from_err)
{
	size_t got;

	*from_err = 0;
	while (n > 0 && (c->out != -1 || c->err != -1)) {
		if (plat_clock_ms() >= c->deadline) {
			c->timed_out = 1;
			return 0;
		}
		if (c->out != -1 && (got = pipe_read_ready(&c->out, buf, n)) > 0)
			return got;
		if (c->err != -1 && (got = pipe_read_ready(&c->err, buf, n)) > 0) {
			*from_err = 1;
			return got;
		}
		Sleep(1);
	}
	return 0;
}

/* Ends the child and everything it started, and waits a little for it. */
static void child_kill(plat_child *c)
{
	if (c->job == 0 || !TerminateJobObject((HANDLE)c->job, 1))
		TerminateProcess((HANDLE)c->proc, 1);
	WaitForSingleObject((HANDLE)c->proc, KILL_WAIT_MS);
}

int plat_child_finish(plat_child *c)
{
	int64_t left;
	DWORD wait;
	DWORD code = 0;
	int status;

	if (c->out != -1)
		CloseHandle((HANDLE)c->out);
	if (c->err != -1)
		CloseHandle((HANDLE)c->err);
	c->out = -1;
	c->err = -1;
	if (c->proc == 0)
		return -1;
	left = c->timed_out ? 0 : c->deadline - plat_clock_ms();
	if (left < 0)
		left = 0;
	wait = WaitForSingleObject((HANDLE)c->proc, (DWORD)left);
	if (wait != WAIT_OBJECT_0)
		c->timed_out = 1;
	if (c->timed_out) {
		/* Also when the child itself is gone: what it started may still
		 * hold the pipe. */
		child_kill(c);
		status = -1;
	} else if (!GetExitCodeProcess((HANDLE)c->proc, &code)) {
		status = -1;
	} else if (code >= 0xC0000000u) {
		/* An NTSTATUS error code: the child crashed. */
		status = -1;
	} else {
		status = (int)code;
	}
	CloseHandle((HANDLE)c->proc);
	if (c->job != 0)
		CloseHandle((HANDLE)c->job);
	c->proc = 0;
	c->job = 0;
	return status;
}

/* A host ends a Windows process with no notice that it could act on, so
 * there is nothing to remember. */
void plat_remove_at_stop(const char *path)
{
	(void)path;
}
