/*
 * The CGI and JSON response writer: every byte of a JSON answer leaves
 * through here.
 */
#include <stdio.h>
#include <string.h>

#include "util/util.h"

/* The response stream; null means standard output. */
static FILE *out_stream;

FILE *out_redirect(FILE *fp)
{
	FILE *prev = out_stream != NULL ? out_stream : stdout;

	out_stream = fp;
	return prev;
}

void out_write(const char *bytes, size_t len)
{
	if (len > 0)
		fwrite(bytes, 1, len, out_stream != NULL ? out_stream : stdout);
}

void out_str(const char *text)
{
	out_write(text, strlen(text));
}

void json_print_str(const char *text)
{
	/* Runs of bytes that need no escape go out in one write; escapes
	 * and dropped bytes end a run. */
	char buf[1024];
	size_t n = 0;
	const unsigned char *p = (const unsigned char *)(text != NULL ? text : "");

	buf[n++] = '"';
	for (; *p != '\0'; p++) {
		unsigned char c = *p;

		if (n + 2 >= sizeof(buf) - 1) {
			out_write(buf, n);
			n = 0;
		}
		if (c == '"' || c == '\\') {
			buf[n++] = '\\';
			buf[n++] = (char)c;
		} else if (c == '\n') {
			buf[n++] = '\\';
			buf[n++] = 'n';
		} else if (c == '\r') {
			buf[n++] = '\\';
			buf[n++] = 'r';
		} else if (c == '\t') {
			buf[n++] = '\\';
			buf[n++] = 't';
		} else if (c < 0x20 || c == 0x7F) {
			continue;
		} else {
			buf[n++] = (char)c;
		}
	}
	buf[n++] = '"';
	out_write(buf, n);
}

void reply_json_err(const char *status, const char *message, const char *url)
{
	out_str("Status: ");
	out_str(status);
	out_str("\r\n" JSON_HEADER "{\"ok\":false,\"error\":");
	json_print_str(message);
	if (url != NULL && url[0] != '\0') {
		out_str(",\"url\":");
		json_print_str(url);
	}
	out_str("}\n");
}
