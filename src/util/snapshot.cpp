/*
 * The environment-snapshot reader: KEY=VALUE lines in the style of a shell
 * environment file.
 */
#include <string.h>

#include "util/util.h"

/* Lines are read in pieces of at most SNAPSHOT_LINE_CAP - 1 bytes. */
#define SNAPSHOT_LINE_CAP 2048
#define SNAPSHOT_CHUNK 4096

/*
 * A snapshot file read in chunks, given out in pieces as fgets would give
 * them. Reading stops for good after SNAPSHOT_READ_MAX bytes, four times
 * what Linux lets a program be started with by default (arguments and
 * environment together): the bound only ever stops a file that is no
 * snapshot, such as a huge sparse one.
 */
typedef struct snapshot_reader {
	plat_file file;
	uint64_t taken;   /* bytes read from the file so far */
	size_t pos;       /* next byte of chunk to give out */
	size_t fill;      /* bytes in chunk */
	char chunk[SNAPSHOT_CHUNK];
} snapshot_reader;

static int line_value(char *line, const char *key, size_t klen, char **value);
static size_t next_piece(snapshot_reader *r, char *line, size_t cap);

/* Examines one line: 1 with *value pointing at the non-empty value (trimmed,
 * one pair of matching quotes removed) when the line assigns key. */
static int line_value(char *line, const char *key, size_t klen, char **value)
{
	char *p = line;
	size_t n;

	while (*p == ' ' || *p == '\t')
		p++;
	if (*p == '\0' || *p == '\n' || *p == '\r' || *p == '#')
		return 0;
	if (strncmp(p, "export ", 7) == 0) {
		p += 7;
		while (*p == ' ' || *p == '\t')
			p++;
	}
	if (strncmp(p, key, klen) != 0 || p[klen] != '=')
		return 0;
	p += klen + 1;
	while (*p == ' ' || *p == '\t')
		p++;
	n = strlen(p);
	while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\t' || p[n - 1] == '\r' ||
			 p[n - 1] == '\n'))
		n--;
	p[n] = '\0';
	if (n == 0)
		return 0;
	if (n >= 2 && (p[0] == '"' || p[0] == '\'') && p[n - 1] == p[0]) {
		p[n - 1] = '\0';
		p++;
		if (p[0] == '\0')
			return 0;
	}
	*value = p;
	return 1;
}

/* Fills line (cap bytes) with the next piece of the file: the bytes up to and
 * including a line feed, at most cap - 1, then a zero byte. Returns the
 * piece's length; 0 at the end, on a read error or past the bound. */
static size_t next_piece(snapshot_reader *r, char *line, size_t cap)
{
	size_t n = 0;
	size_t want;

	while (n + 1 < cap) {
		if (r->pos == r->fill) {
			want = sizeof(r->chunk);
			if (SNAPSHOT_READ_MAX - r->taken < want)
				want = (size_t)(SNAPSHOT_READ_MAX - r->taken);
			r->pos = 0;
			r->fill = plat_file_read(&r->file, r->chunk, want);
			r->taken += r->fill;
			if (r->fill == 0)
				break;
		}
		line[n] = r->chunk[r->pos++];
		if (line[n++] == '\n')
			break;
	}
	line[n] = '\0';
	return n;
}

int snapshot_get(const char *path, const char *key, char *out, size_t cap)
{
	snapshot_reader r;
	char line[SNAPSHOT_LINE_CAP];
	char *value;
	size_t klen;
	size_t n;
	int found = 0;
	int continued = 0;

	if (out == NULL || cap == 0)
		return 0;
	out[0] = '\0';
	if (path == NULL || key == NULL || key[0] == '\0')
		return 0;
	if (!plat_file_open(&r.file, path, 0))
		return 0;
	r.taken = 0;
	r.pos = 0;
	r.fill = 0;
	klen = strlen(key);
	while ((n = next_piece(&r, line, sizeof(line))) > 0) {
		/* The pieces that continue an over-long line are not lines of
		 * their own: only a line's first piece is examined. */
		int first = !continued;

		continued = line[n - 1] != '\n' && n == sizeof(line) - 1;
		if (first && line_value(line, key, klen, &value)) {
			str_copy(out, value, cap);
			found = 1;
		}
	}
	plat_file_close(&r.file);
	return found;
}
