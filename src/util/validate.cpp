/*
 * Validation of text from outside before it becomes part of a path or a
 * companion's argument, and the form in which two endpoints are compared.
 */
#include <string.h>

#include "util/util.h"

static int is_alnum(unsigned char c);

/* Letters and digits of the "C" locale only: no byte from 0x80 counts. */
static int is_alnum(unsigned char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

int safe_id(const char *id)
{
	size_t i;

	if (id == NULL || id[0] == '\0')
		return 0;
	for (i = 0; id[i] != '\0'; i++) {
		unsigned char c = (unsigned char)id[i];

		if (i >= SAFE_ID_MAX)
			return 0;
		if (!is_alnum(c) && strchr("-.:_", c) == NULL)
			return 0;
	}
	/* "." names the folder it is joined to, and ".." its parent. */
	return strcmp(id, ".") != 0 && strstr(id, "..") == NULL;
}

int url_ok(const char *url)
{
	size_t i;

	if (url == NULL || url[0] == '\0')
		return 0;
	if (strncmp(url, "http://", 7) != 0 && strncmp(url, "https://", 8) != 0)
		return 0;
	for (i = 0; url[i] != '\0'; i++) {
		unsigned char c = (unsigned char)url[i];

		if (i >= URL_MAX)
			return 0;
		if (!is_alnum(c) && strchr(":/.-_~%?&#=+@,", c) == NULL)
			return 0;
	}
	return 1;
}

void normalize_endpoint(const char *endpoint, char *out)
{
	size_t n;

	str_copy(out, endpoint, ENDPOINT_NORM_CAP);
	n = strlen(out);
	while (n > 0 && out[n - 1] == '/')
		out[--n] = '\0';
	if (n > 2 && strcmp(out + n - 3, "/v1") == 0)
		out[n - 3] = '\0';
}
