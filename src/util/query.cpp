/*
 * Query-string lookup: the first occurrence of a key, its value decoded
 * straight from the query string, however long.
 */
#include <string.h>

#include "util/util.h"

static size_t url_decode(const char *raw, const char *end, char *out, size_t cap);

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

/* Decodes %XX escapes and '+' of [raw, end) into out, cut to at most cap - 1
 * bytes between characters, and returns the length of the whole decoded
 * value; a '%' without two hexadecimal digits after it stands for itself. */
static size_t url_decode(const char *raw, const char *end, char *out, size_t cap)
{
	size_t n = 0;
	size_t kept = 0;
	const unsigned char *p = (const unsigned char *)raw;
	const unsigned char *e = (const unsigned char *)end;
	unsigned char c;

	while (p < e) {
		if (p[0] == '%' && e - p >= 3 && hex_val(p[1]) >= 0 && hex_val(p[2]) >= 0) {
			c = (unsigned char)(hex_val(p[1]) * 16 + hex_val(p[2]));
			p += 3;
		} else {
			c = p[0] == '+' ? ' ' : p[0];
			p++;
		}
		/* The whole value is counted; out keeps what fits. */
		if (n + 1 < cap)
			out[kept++] = (char)c;
		n++;
	}
	if (kept < n)
		kept = utf8_cut(out, kept);
	out[kept] = '\0';
	return n;
}

int get_query_val(const char *query, const char *key, char *out, size_t cap)
{
	size_t full;

	return get_query_val_len(query, key, out, cap, &full);
}

int get_query_val_len(const char *query, const char *key, char *out, size_t cap, size_t *full)
{
	size_t klen;
	const char *seg;
	const char *end;

	*full = 0;
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
			*full = url_decode(seg + klen + 1, end, out, cap);
			return 1;
		}
		if (*end == '\0')
			break;
	}
	return 0;
}
