/*
 * Query-string lookup: the first occurrence of a key, its value decoded.
 */
#include <string.h>

#include "util/util.h"

static void url_decode(const char *raw, char *out, size_t cap);

int hex_val(int c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

/* Decodes %XX escapes and '+' of raw into out, cut to cap - 1 bytes; a '%'
 * without two hexadecimal digits after it stands for itself. */
static void url_decode(const char *raw, char *out, size_t cap)
{
	size_t n = 0;
	const unsigned char *p = (const unsigned char *)raw;

	while (*p != '\0' && n + 1 < cap) {
		if (p[0] == '%' && p[1] != '\0' && p[2] != '\0' &&
		    hex_val(p[1]) >= 0 && hex_val(p[2]) >= 0) {
			out[n++] = (char)(hex_val(p[1]) * 16 + hex_val(p[2]));
			p += 3;
		} else if (p[0] == '+') {
			out[n++] = ' ';
			p++;
		} else {
			out[n++] = (char)*p++;
		}
	}
	out[n] = '\0';
}

int get_query_val(const char *query, const char *key, char *out, size_t cap)
{
	char raw[QUERY_RAW_CAP];
	size_t klen;
	const char *seg;
	const char *end;
	size_t n;

	if (out == NULL || cap == 0)
		return 0;
	out[0] = '\0';
	if (query == NULL || query[0] == '\0' || key == NULL || key[0] == '\0')
		return 0;
	klen = strlen(key);
	for (seg = query; *seg != '\0'; seg = end + 1) {
		end = strchr(seg, '&');
		if (end == NULL)
			end = seg + strlen(seg);
		if ((size_t)(end - seg) > klen && strncmp(seg, key, klen) == 0 &&
		    seg[klen] == '=') {
			n = (size_t)(end - seg) - klen - 1;
			if (n > sizeof(raw) - 1)
				n = sizeof(raw) - 1;
			memcpy(raw, seg + klen + 1, n);
			raw[n] = '\0';
			url_decode(raw, out, cap);
			return 1;
		}
		if (*end == '\0')
			break;
	}
	return 0;
}
