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

void out_header(const char *status, enum out_type type)
{
	if (status != NULL) {
		out_str("Status: ");
		out_str(status);
		out_str("\r\n");
	}
	if (type == OUT_HTML)
		out_str("Content-Type: text/html; charset=utf-8\r\n"
			"Cache-Control: no-cache, no-store, must-revalidate\r\n\r\n");
	else
		out_str("Content-Type: application/json; charset=utf-8\r\n\r\n");
}

size_t json_escape_byte(unsigned char c, char *two)
{
	switch (c) {
	case '"':
	case '\\':
		two[0] = '\\';
		two[1] = (char)c;
		return 2;
	case '\n':
		two[0] = '\\';
		two[1] = 'n';
		return 2;
	case '\r':
		two[0] = '\\';
		two[1] = 'r';
		return 2;
	case '\t':
		two[0] = '\\';
		two[1] = 't';
		return 2;
	default:
		break;
	}
	if (c < 0x20 || c == 0x7F)
		return 0;
	two[0] = (char)c;
	return 1;
}

size_t json_escaped_len(const char *text)
{
	const unsigned char *p = (const unsigned char *)(text != NULL ? text : "");
	char two[2];
	size_t n = 0;

	for (; *p != '\0'; p++)
		n += json_escape_byte(*p, two);
	return n;
}

void json_print_str(const char *text)
{
	/* Gathered in a buffer so that a long text costs few writes. */
	char buf[1024];
	size_t n = 0;
	const unsigned char *p = (const unsigned char *)(text != NULL ? text : "");

	buf[n++] = '"';
	for (; *p != '\0'; p++) {
		if (n + 2 > sizeof(buf)) {
			out_write(buf, n);
			n = 0;
		}
		n += json_escape_byte(*p, buf + n);
	}
	if (n + 1 > sizeof(buf)) {
		out_write(buf, n);
		n = 0;
	}
	buf[n++] = '"';
	out_write(buf, n);
}

void reply_json_err(const char *status, const char *message, const char *url)
{
	reply_json_err_detail(status, message, url, NULL);
}

void reply_json_err_detail(const char *status, const char *message, const char *url,
			   const char *detail)
{
	out_header(status, OUT_JSON);
	out_str("{\"ok\":false,\"error\":");
	json_print_str(message);
	if (url != NULL && url[0] != '\0') {
		out_str(",\"url\":");
		json_print_str(url);
	}
	if (detail != NULL && detail[0] != '\0') {
		out_str(",\"detail\":");
		json_print_str(detail);
	}
	out_str("}\n");
}
