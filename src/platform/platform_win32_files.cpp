/*
 * The platform layer on 64-bit Windows: files, folders, clocks and the
 * environment.
 */
#include "platform/platform.h"

#include <windows.h>

#include <ctype.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

const char plat_sep = '\\';

/* Paths at least this long take the "\\?\" form: MAX_PATH less the 12
 * characters that Windows keeps back for a file name inside a directory. */
#define SHORT_PATH_LIMIT (MAX_PATH - 12)

/* Attempts at a replacing rename that another process's open holds up,
 * and the pause between them. */
#define RENAME_TRIES 5
#define RENAME_PAUSE_MS 10

/* The most one ReadFile asks for. */
#define PLAT_READ_CHUNK ((DWORD)1 << 30)

/* Seconds between 1601-01-01, where FILETIME counts from, and 1970-01-01. */
#define FILETIME_UNIX_OFFSET 11644473600LL

static int env_folder(const char *name, char *out, size_t cap);
static wchar_t *wide_path(const char *path);
static int ends_in_sep(const char *path);
static int64_t filetime_seconds(FILETIME ft);
static int dir_take(plat_dir *d, const WIN32_FIND_DATAW *fd);
static int names_device(const char *path);

/* Copies the value of variable name into out: 1 when it is set, not empty
 * and fits whole, else 0 with an empty out, since a cut folder names
 * another. */
static int env_folder(const char *name, char *out, size_t cap)
{
	const char *v = getenv(name);
	size_t n;

	out[0] = '\0';
	if (v == NULL || v[0] == '\0')
		return 0;
	n = strlen(v);
	if (n > cap - 1)
		return 0;
	memcpy(out, v, n + 1);
	return 1;
}

/*
 * The path as a new wide string for the wide file functions, converted from
 * the ANSI code page like the ...A functions do. A path too long for the
 * ordinary form is made absolute and given the "\\?\" prefix ("\\?\UNC\"
 * for a network path), which lifts the MAX_PATH limit that the ...A
 * functions and the C runtime's _stat64 and _access keep. Null when the path
 * cannot be converted or memory is short.
 */
static wchar_t *wide_path(const char *path)
{
	static const wchar_t local[] = L"\\\\?\\";
	static const wchar_t unc[] = L"\\\\?\\UNC";
	wchar_t *w;
	wchar_t *full;
	wchar_t *out;
	DWORD n;
	int len;

	if (path == NULL || path[0] == '\0')
		return NULL;
	len = MultiByteToWideChar(CP_ACP, 0, path, -1, NULL, 0);
	if (len <= 0)
		return NULL;
	w = (wchar_t *)malloc((size_t)len * sizeof(wchar_t));
	if (w == NULL)
		return NULL;
	MultiByteToWideChar(CP_ACP, 0, path, -1, w, len);
	if (len - 1 < SHORT_PATH_LIMIT || wcsncmp(w, local, 4) == 0)
		return w;

	/* The "\\?\" form is taken literally: GetFullPathNameW first turns
	 * '/' into '\\' and resolves "." and "..", as the ordinary form would. */
	n = GetFullPathNameW(w, 0, NULL, NULL);
	full = n > 0 ? (wchar_t *)malloc((size_t)n * sizeof(wchar_t)) : NULL;
	if (full == NULL || GetFullPathNameW(w, n, full, NULL) == 0) {
		free(full);
		free(w);
		return NULL;
	}
	free(w);
	out = (wchar_t *)malloc(((size_t)n + 8) * sizeof(wchar_t));
	if (out == NULL) {
		free(full);
		return NULL;
	}
	if (full[0] == L'\\' && full[1] == L'\\') {
		wcscpy(out, unc);
		wcscat(out, full + 1);
	} else {
		wcscpy(out, local);
		wcscat(out, full);
	}
	free(full);
	return out;
}

/* 1 when the path ends in a separator (and is more than a root). */
static int ends_in_sep(const char *path)
{
	size_t n = strlen(path);

	if (n < 2 || (path[n - 1] != '\\' && path[n - 1] != '/'))
		return 0;
	return !(n == 3 && path[1] == ':');
}

/* A FILETIME as whole seconds since 1970. */
static int64_t filetime_seconds(FILETIME ft)
{
	uint64_t t = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;

	return (int64_t)(t / 10000000u) - FILETIME_UNIX_OFFSET;
}

void plat_stdout_prepare(void)
{
	fflush(stdout);
	_setmode(_fileno(stdout), _O_BINARY);
}

/*
 * Asked of the file system directly rather than through _stat64: the
 * runtime's call refuses a directory named with a trailing separator and any
 * path of MAX_PATH characters or more. The answer is the same otherwise.
 */
int plat_stat(const char *path, int *is_dir, int64_t *mtime)
{
	wchar_t *w = wide_path(path);
	WIN32_FILE_ATTRIBUTE_DATA a;
	BY_HANDLE_FILE_INFORMATION info;
	DWORD attrs = 0;
	FILETIME written = { 0, 0 };
	HANDLE h;
	int ok;

	if (w == NULL)
		return 0;
	ok = GetFileAttributesExW(w, GetFileExInfoStandard, &a);
	if (ok) {
		attrs = a.dwFileAttributes;
		written = a.ftLastWriteTime;
	}
	if (ok && (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
		/* A link: what it points to counts, and a dangling one is
		 * nothing. */
		h = CreateFileW(w, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
				NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
		ok = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info);
		if (ok) {
			attrs = info.dwFileAttributes;
			written = info.ftLastWriteTime;
		}
		if (h != INVALID_HANDLE_VALUE)
			CloseHandle(h);
	}
	free(w);
	if (!ok)
		return 0;
	/* As on POSIX, "name\\" is only ever a directory. */
	if (!(attrs & FILE_ATTRIBUTE_DIRECTORY) && ends_in_sep(path))
		return 0;
	if (is_dir != NULL)
		*is_dir = (attrs & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
	if (mtime != NULL)
		*mtime = filetime_seconds(written);
	return 1;
}

int plat_lstat(const char *path, int *is_reg, int64_t *mtime)
{
	wchar_t *w = wide_path(path);
	WIN32_FILE_ATTRIBUTE_DATA a;
	int ok;

	if (w == NULL)
		return 0;
	/* The attributes of a link are the link's own. */
	ok = GetFileAttributesExW(w, GetFileExInfoStandard, &a) != 0;
	free(w);
	if (!ok)
		return 0;
	*is_reg = (a.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
					 FILE_ATTRIBUTE_DEVICE)) == 0;
	if (mtime != NULL)
		*mtime = filetime_seconds(a.ftLastWriteTime);
	return 1;
}

int plat_exists(const char *path)
{
	wchar_t *w = wide_path(path);
	DWORD attrs;

	if (w == NULL)
		return 0;
	attrs = GetFileAttributesW(w);
	free(w);
	return attrs != INVALID_FILE_ATTRIBUTES;
}

int64_t plat_time(void)
{
	return (int64_t)_time64(NULL);
}

int64_t plat_clock_ms(void)
{
	return (int64_t)GetTickCount64();
}

unsigned long plat_pid(void)
{
	return (unsigned long)GetCurrentProcessId();
}

/* Puts a found entry into name, in the ANSI code page as FindFirstFileA
 * would, and is_dir; 0 when its name does not fit. */
static int dir_take(plat_dir *d, const WIN32_FIND_DATAW *fd)
{
	BOOL lossy = FALSE;

	/* No best-fit mapping: a look-alike character must not turn into a
	 * separator, a quote or a dot of a path. A name the code page cannot
	 * hold is skipped. */
	if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, fd->cFileName, -1, d->name,
				(int)sizeof(d->name), NULL, &lossy) == 0 ||
	    lossy)
		return 0;
	d->is_dir = (fd->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
	return 1;
}

int plat_dir_open(plat_dir *d, const char *dir)
{
	/* The directory (shorter than PLAT_DIR_PATH_CAP), a separator and the
	 * '*' of the pattern always fit. */
	char pattern[PLAT_DIR_PATH_CAP + 2];
	wchar_t *w;
	WIN32_FIND_DATAW fd;
	HANDLE h;
	size_t n;
	int isdir = 0;

	memset(d, 0, sizeof(*d));
	if (dir == NULL || dir[0] == '\0')
		return 0;
	n = strlen(dir);
	if (n >= sizeof(d->path))
		return 0;
	memcpy(d->path, dir, n + 1);
	if (dir[n - 1] == '\\' || dir[n - 1] == '/')
		snprintf(pattern, sizeof(pattern), "%s*", dir);
	else
		snprintf(pattern, sizeof(pattern), "%s\\*", dir);
	w = wide_path(pattern);
	if (w == NULL)
		return 0;
	h = FindFirstFileW(w, &fd);
	free(w);
	if (h == INVALID_HANDLE_VALUE) {
		/* Only a drive's root can be a directory without even "."
		 * in it: open, with nothing to report. */
		if (GetLastError() == ERROR_FILE_NOT_FOUND &&
		    plat_stat(dir, &isdir, NULL) && isdir)
			return 1;
		return 0;
	}
	d->handle = h;
	/* FindFirstFileW has already read the first entry: keep it for the
	 * first plat_dir_next. */
	d->pending = dir_take(d, &fd);
	return 1;
}

int plat_dir_next(plat_dir *d)
{
	WIN32_FIND_DATAW fd;

	if (d->handle == NULL)
		return 0;
	if (d->pending) {
		d->pending = 0;
		return 1;
	}
	while (FindNextFileW((HANDLE)d->handle, &fd)) {
		if (dir_take(d, &fd))
			return 1;
	}
	return 0;
}

void plat_dir_close(plat_dir *d)
{
	if (d->handle != NULL)
		FindClose((HANDLE)d->handle);
	d->handle = NULL;
	d->pending = 0;
}

/*
 * 1 when the path names a device rather than a file: the "\\.\" device
 * space, or a last component whose stem (up to its first dot or colon,
 * trailing spaces dropped) is a reserved name such as CON, NUL or COM1, in
 * any case. Windows opens these names as devices in every folder.
 */
static int names_device(const char *path)
{
	static const char *const reserved[] = { "CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$" };
	const char *base = path + strlen(path);
	char stem[16];
	size_t n = 0;
	size_t i;

	if (strncmp(path, "\\\\.\\", 4) == 0 || strncmp(path, "//./", 4) == 0)
		return 1;
	while (base > path && base[-1] != '\\' && base[-1] != '/' && base[-1] != ':')
		base--;
	for (; base[n] != '\0' && base[n] != '.' && base[n] != ':'; n++) {
		if (n + 1 >= sizeof(stem))
			return 0;
		stem[n] = (char)toupper((unsigned char)base[n]);
	}
	while (n > 0 && stem[n - 1] == ' ')
		n--;
	stem[n] = '\0';
	for (i = 0; i < sizeof(reserved) / sizeof(reserved[0]); i++) {
		if (strcmp(stem, reserved[i]) == 0)
			return 1;
	}
	return n == 4 && (strncmp(stem, "COM", 3) == 0 || strncmp(stem, "LPT", 3) == 0) &&
	       isdigit((unsigned char)stem[3]);
}

int plat_file_open(plat_file *f, const char *path, int flags)
{
	DWORD how = FILE_ATTRIBUTE_NORMAL;
	BY_HANDLE_FILE_INFORMATION info;
	wchar_t *w;
	HANDLE h;
	int ok;

	f->h = -1;
	f->size = 0;
	f->mtime = 0;
	if (path == NULL || names_device(path) || (w = wide_path(path)) == NULL)
		return 0;
	if (flags & PLAT_OPEN_NOFOLLOW)
		how |= FILE_FLAG_OPEN_REPARSE_POINT;
	/* Others may go on writing, and may rename over the file (the cache
	 * store), while it is read. The handle is not inheritable. */
	h = CreateFileW(w, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
			NULL, OPEN_EXISTING, how, NULL);
	free(w);
	if (h == INVALID_HANDLE_VALUE)
		return 0;
	ok = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
	     !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
	/* Opened as itself, a link shows its reparse point. */
	if (ok && (flags & PLAT_OPEN_NOFOLLOW))
		ok = !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
	if (!ok) {
		CloseHandle(h);
		return 0;
	}
	f->h = (intptr_t)h;
	f->size = (int64_t)(((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow);
	f->mtime = filetime_seconds(info.ftLastWriteTime);
	return 1;
}

size_t plat_file_read(plat_file *f, char *buf, size_t n)
{
	DWORD got = 0;

	if (f->h == -1 || n == 0)
		return 0;
	if (n > PLAT_READ_CHUNK)
		n = PLAT_READ_CHUNK;
	if (!ReadFile((HANDLE)f->h, buf, (DWORD)n, &got, NULL))
		return 0;
	return (size_t)got;
}

void plat_file_close(plat_file *f)
{
	if (f->h != -1)
		CloseHandle((HANDLE)f->h);
	f->h = -1;
}

FILE *plat_create_excl(const char *path)
{
	wchar_t *w = wide_path(path);
	HANDLE h;
	int fd;
	FILE *fp = NULL;

	if (w == NULL)
		return NULL;
	/* CREATE_NEW fails on anything already there, a link included. The
	 * handle is not inheritable, so no companion keeps the file open. */
	h = CreateFileW(w, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
			CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
	if (h != INVALID_HANDLE_VALUE) {
		fd = _open_osfhandle((intptr_t)h, _O_WRONLY | _O_BINARY);
		if (fd < 0)
			CloseHandle(h);
		else if ((fp = _fdopen(fd, "wb")) == NULL)
			_close(fd);
		/* No stream: leave no empty file behind either. */
		if (fp == NULL)
			DeleteFileW(w);
	}
	free(w);
	return fp;
}

int plat_remove(const char *path)
{
	wchar_t *w = wide_path(path);
	int ok = w != NULL && DeleteFileW(w) != 0;

	free(w);
	return ok;
}

int plat_rename_replace(const char *from, const char *to)
{
	wchar_t *wf = wide_path(from);
	wchar_t *wt = wide_path(to);
	int ok = 0;
	int i;
	DWORD err;

	/* A file that another process has open cannot be replaced for that
	 * moment; readers of the cache hold it only briefly, so try again. */
	for (i = 0; wf != NULL && wt != NULL && i < RENAME_TRIES; i++) {
		ok = MoveFileExW(wf, wt, MOVEFILE_REPLACE_EXISTING) != 0;
		err = ok ? 0 : GetLastError();
		if (err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION)
			break;
		Sleep(RENAME_PAUSE_MS);
	}
	free(wf);
	free(wt);
	return ok;
}

int plat_userprofile(char *out, size_t cap)
{
	return env_folder("USERPROFILE", out, cap);
}

int plat_localappdata(char *out, size_t cap)
{
	return env_folder("LOCALAPPDATA", out, cap);
}

char **plat_env_without(const char *name)
{
	const size_t name_len = strlen(name);
	char *block = GetEnvironmentStringsA();
	size_t count = 0;
	size_t bytes = 0;
	const char *e;
	char **list;
	char *p;

	if (block == NULL)
		return NULL;
	for (e = block; *e != '\0'; e += strlen(e) + 1) {
		count++;
		bytes += strlen(e) + 1;
	}
	/* The pointers, then the strings they point to, in one block. Entries
	 * such as "=C:=C:\\dir" have no name before their '=' and are kept. */
	list = (char **)malloc((count + 1) * sizeof(char *) + bytes);
	if (list != NULL) {
		p = (char *)(list + count + 1);
		count = 0;
		for (e = block; *e != '\0'; e += strlen(e) + 1) {
			const size_t n = strlen(e);

			if (_strnicmp(e, name, name_len) == 0 && e[name_len] == '=')
				continue;
			memcpy(p, e, n + 1);
			list[count++] = p;
			p += n + 1;
		}
		list[count] = NULL;
	}
	FreeEnvironmentStringsA(block);
	return list;
}

int plat_setenv(const char *name, const char *value)
{
	/* _putenv_s keeps the runtime's copy (getenv) and the process
	 * environment (inherited by children) in step. It takes an empty
	 * value for a removal, so the process environment is set directly as
	 * well: children see the empty value, getenv here sees none. */
	if (_putenv_s(name, value != NULL ? value : "") != 0)
		return 0;
	return SetEnvironmentVariableA(name, value) != 0;
}

void plat_sleep_ms(int ms)
{
	Sleep(ms > 0 ? (DWORD)ms : 0);
}
