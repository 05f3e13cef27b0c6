/*
 * Bounded copies, the joining of paths, and the edges of UTF-8 characters.
 */
#include <string.h>

#include "util/util.h"

void str_copy(char *dst, const char *src, size_t cap)
{
	size_t n;

	if (dst == NULL || cap == 0)
		return;
	if (src == NULL) {
		dst[0] = '\0';
		return;
	}
	n = strnlen(src, cap - 1);
	if (src[n] != '\0')
		n = utf8_cut(src, n);
	memcpy(dst, src, n);
	dst[n] = '\0';
}

int path_join(char *out, size_t cap, const char *dir, const char *name)
{
	size_t ld = strlen(dir);
	size_t ln = strlen(name);

	if (ld + 1 + ln >= cap) {
		out[0] = '\0';
		return 0;
	}
	/* The name goes after the folder in place when out is the folder. */
	if (out != dir)
		memmove(out, dir, ld);
	out[ld] = plat_sep;
	memmove(out + ld + 1, name, ln + 1);
	return 1;
}

size_t utf8_char_len(const unsigned char *p, size_t avail, size_t *prefix)
{
	unsigned char lo = 0x80;
	unsigned char hi = 0xBF;
	unsigned char c;
	size_t need;
	size_t i;

	*prefix = 0;
	if (avail == 0)
		return 0;
	c = p[0];
	/* The lead byte fixes the length and, for four leads, a narrower
	 * range of the second byte: that range is what rules out overlong
	 * forms, surrogates and code points past U+10FFFF. */
	if (c < 0x80) {
		need = 1;
	} else if (c >= 0xC2 && c <= 0xDF) {
		need = 2;
	} else if (c >= 0xE0 && c <= 0xEF) {
		need = 3;
		lo = c == 0xE0 ? 0xA0 : 0x80;
		hi = c == 0xED ? 0x9F : 0xBF;
	} else if (c >= 0xF0 && c <= 0xF4) {
		need = 4;
		lo = c == 0xF0 ? 0x90 : 0x80;
		hi = c == 0xF4 ? 0x8F : 0xBF;
	} else {
		*prefix = 1;
		return 0;
	}
	for (i = 1; i < need && i < avail; i++) {
		if (p[i] < lo || p[i] > hi)
			break;
		lo = 0x80;
		hi = 0xBF;
	}
	*prefix = i;
	return i == need ? need : 0;
}

size_t utf8_cut(const char *text, size_t n)
{
	const unsigned char *p;
	size_t back;
	size_t prefix;

	/* A character is at most four bytes: its lead lies within the last
	 * three bytes when the cut splits it. */
	for (back = 1; back <= 3 && back <= n; back++) {
		p = (const unsigned char *)text + n - back;
		if ((*p & 0xC0) == 0x80)
			continue;
		if (*p >= 0xC2 && *p <= 0xF4 && utf8_char_len(p, back, &prefix) == 0 &&
		    prefix == back)
			return n - back;
		return n;
	}
	return n;
}
