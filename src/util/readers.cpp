/*
 * Whole-stream readers: a file, a stream or a child's output read to its end
 * into one heap buffer that can be searched as a zero-terminated string.
 */
#include <stdlib.h>

#include "util/util.h"

/* Buffers grow by doubling while they are at most this size, so the
 * largest is twice it: 8 MiB. */
#define READ_GROW_LIMIT ((size_t)4194304)

#define PIPE_FIRST ((size_t)16384)
#define PIPE_LOW_WATER ((size_t)1023)
#define FILE_FIRST ((size_t)4096)
#define FILE_LOW_WATER ((size_t)511)

/* The longest file that read_file_all is sure to return whole: once the
 * largest buffer has no more than FILE_LOW_WATER bytes free it stops. */
static_assert(READ_FILE_WHOLE_MAX == 2 * READ_GROW_LIMIT - FILE_LOW_WATER - 1,
	      "READ_FILE_WHOLE_MAX follows the file reader's sizes");

/* Where the bytes come from: a stream, an open file or a child's pipe. */
typedef struct reader {
	FILE *fp;
	plat_file *file;
	plat_child *child;
} reader;

static size_t reader_take(reader *r, char *dst, size_t n);
static char *read_all(reader *r, size_t first, size_t low_water, uint64_t *len);

/* Reads up to n bytes from the source; 0 at its end or on an error. */
static size_t reader_take(reader *r, char *dst, size_t n)
{
	if (r->fp != NULL)
		return fread(dst, 1, n, r->fp);
	if (r->file != NULL)
		return plat_file_read(r->file, dst, n);
	return plat_child_read(r->child, dst, n);
}

/* Reads the source to its end: each read asks for all the free space but one
 * byte; the buffer doubles once no more than low_water bytes are free, while
 * it is at most READ_GROW_LIMIT. A refused resize keeps what was read. */
static char *read_all(reader *r, size_t first, size_t low_water, uint64_t *len)
{
	size_t size = first;
	size_t used = 0;
	size_t got;
	char *buf;
	char *grown;

	buf = (char *)malloc(size);
	if (buf == NULL)
		return NULL;
	for (;;) {
		got = reader_take(r, buf + used, size - 1 - used);
		if (got == 0)
			break;
		used += got;
		if (size - used > low_water)
			continue;
		if (size > READ_GROW_LIMIT)
			break;
		grown = (char *)realloc(buf, size * 2);
		if (grown == NULL)
			break;
		buf = grown;
		size *= 2;
	}
	buf[used] = '\0';
	*len = used;
	return buf;
}

char *read_pipe_all(FILE *stream, uint64_t *len)
{
	reader r = { stream, NULL, NULL };

	*len = 0;
	if (stream == NULL)
		return NULL;
	return read_all(&r, PIPE_FIRST, PIPE_LOW_WATER, len);
}

char *read_file_all(const char *path, uint64_t *len)
{
	plat_file f;
	char *buf;

	*len = 0;
	if (!plat_file_open(&f, path, 0))
		return NULL;
	buf = read_open_file(&f, len);
	plat_file_close(&f);
	return buf;
}

char *read_open_file(plat_file *file, uint64_t *len)
{
	reader r = { NULL, file, NULL };

	*len = 0;
	if (file == NULL)
		return NULL;
	return read_all(&r, FILE_FIRST, FILE_LOW_WATER, len);
}

char *read_child_all(plat_child *child, uint64_t *len)
{
	reader r = { NULL, NULL, child };

	*len = 0;
	if (child == NULL)
		return NULL;
	return read_all(&r, PIPE_FIRST, PIPE_LOW_WATER, len);
}
