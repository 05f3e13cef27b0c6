/*
 * Pulls string members out of JSON text without parsing it: the first place
 * in a range where "key" is followed by a colon and a string value.
 */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "util/util.h"

/* Keys are at most 125 bytes, so the quoted pattern always fits. */
#define JSON_PATTERN_CAP 128

static const char *find_in_range(const char *p, const char *end, const char *pat,
				 size_t n);
static const char *skip_blank(const char *p, const char *end);
static size_t copy_value(const char *p, const char *end, char *out, size_t cap);

/* The first occurrence of the n bytes of pat that lies wholly inside
 * [p, end), or null. Never reads outside the range, so a search over one
 * small object costs only that object's length. */
static const char *find_in_range(const char *p, const char *end, const char *pat,
				 size_t n)
{
	const char *hit;

	while (end - p >= (ptrdiff_t)n) {
		hit = (const char *)memchr(p, pat[0], (size_t)(end - p) - n + 1);
		if (hit == NULL)
			return NULL;
		if (memcmp(hit, pat, n) == 0)
			return hit;
		p = hit + 1;
	}
	return NULL;
}

/* Steps over spaces, tabs and line ends; returns end when the range ends. */
static const char *skip_blank(const char *p, const char *end)
{
	while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
		p++;
	return p;
}

/* Copies a string value that starts at p, decoding escapes, up to its
 * closing quote, a zero byte, the end of the range or cap - 1 bytes; a cut
 * falls between UTF-8 characters. */
static size_t copy_value(const char *p, const char *end, char *out, size_t cap)
{
	size_t n = 0;

	while (p < end && *p != '\0' && *p != '"' && n + 1 < cap) {
		if (*p != '\\') {
			out[n++] = *p++;
			continue;
		}
		if (p + 1 >= end || p[1] == '\0') {
			/* A backslash at the very end stands for itself. */
			out[n++] = *p++;
			continue;
		}
		switch (p[1]) {
		case 'n': out[n++] = '\n'; break;
		case 'r': out[n++] = '\r'; break;
		case 't': out[n++] = '\t'; break;
		default: out[n++] = p[1]; break;
		}
		p += 2;
	}
	if (p < end && *p != '\0' && *p != '"')
		n = utf8_cut(out, n);
	out[n] = '\0';
	return n;
}

int json_extract_str_after(const char *start, const char *end,
			   const char *key, char *out, size_t cap)
{
	char pattern[JSON_PATTERN_CAP];
	const char *zero;
	const char *pos;
	const char *hit;
	const char *p;
	size_t plen;

	if (out == NULL || cap == 0)
		return 0;
	out[0] = '\0';
	if (start == NULL || end <= start || key == NULL)
		return 0;
	snprintf(pattern, sizeof(pattern), "\"%s\"", key);
	plen = strlen(pattern);
	/* The text ends at its first zero byte, even inside the range. */
	zero = (const char *)memchr(start, '\0', (size_t)(end - start));
	if (zero != NULL)
		end = zero;
	pos = start;
	for (;;) {
		hit = find_in_range(pos, end, pattern, plen);
		if (hit == NULL)
			return 0;
		pos = hit + plen;
		if (pos >= end)
			return 0;
		p = skip_blank(pos, end);
		if (p >= end)
			return 0;
		if (*p != ':')
			continue;
		p++;
		if (p >= end)
			return 0;
		p = skip_blank(p, end);
		if (p >= end)
			return 0;
		if (*p != '"')
			continue;
		copy_value(p + 1, end, out, cap);
		return 1;
	}
}
