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

/* Where the bytes come from: a stream, or else a child's pipe. */
typedef struct reader {
	FILE *fp;
	plat_child *child;
} reader;

static size_t reader_take(reader *r, char *dst, size_t n);
static char *read_all(reader *r, size_t first, size_t low_water, uint64_t *len);

/* Reads up to n bytes from the source; 0 at its end or on an error. */
static size_t reader_take(reader *r, char *dst, size_t n)
{
	if (r->fp != NULL)
		return fread(dst, 1, n, r->fp);
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
	reader r = { stream, NULL };

	*len = 0;
	if (stream == NULL)
		return NULL;
	return read_all(&r, PIPE_FIRST, PIPE_LOW_WATER, len);
}

char *read_file_all(const char *path, uint64_t *len)
{
	reader r = { NULL, NULL };
	char *buf;

	*len = 0;
	if (path == NULL)
		return NULL;
	r.fp = fopen(path, "rb");
	if (r.fp == NULL)
		return NULL;
	buf = read_all(&r, FILE_FIRST, FILE_LOW_WATER, len);
	fclose(r.fp);
	return buf;
}

char *read_child_all(plat_child *child, uint64_t *len)
{
	reader r = { NULL, child };

	*len = 0;
	if (child == NULL)
		return NULL;
	return read_all(&r, PIPE_FIRST, PIPE_LOW_WATER, len);
}
