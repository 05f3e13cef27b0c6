/*
 * Bounded copies.
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
	memcpy(dst, src, n);
	dst[n] = '\0';
}
