/*
 * The environment-snapshot reader: KEY=VALUE lines in the style of a shell
 * environment file.
 */
#include <string.h>

#include "util/util.h"

/* Lines are read in pieces of at most SNAPSHOT_LINE_CAP - 1 bytes. */
#define SNAPSHOT_LINE_CAP 2048

static int line_value(char *line, const char *key, size_t klen, char **value);

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

int snapshot_get(const char *path, const char *key, char *out, size_t cap)
{
	char line[SNAPSHOT_LINE_CAP];
	char *value;
	size_t klen;
	int found = 0;
	int continued = 0;
	FILE *fp;

	if (out == NULL || cap == 0)
		return 0;
	out[0] = '\0';
	if (path == NULL || key == NULL || key[0] == '\0')
		return 0;
	fp = fopen(path, "rb");
	if (fp == NULL)
		return 0;
	klen = strlen(key);
	while (fgets(line, sizeof(line), fp) != NULL) {
		/* The pieces that continue an over-long line are not lines of
		 * their own: only a line's first piece is examined. */
		int first = !continued;
		size_t n = strlen(line);

		continued = n > 0 && line[n - 1] != '\n' && n == sizeof(line) - 1;
		if (first && line_value(line, key, klen, &value)) {
			str_copy(out, value, cap);
			found = 1;
		}
	}
	fclose(fp);
	return found;
}
