/*
 * The CGI and JSON response writer: every byte of a JSON answer leaves
 * through here.
 */
#include <stdio.h>
#include <string.h>

#include "util/util.h"

/* What stands for an invalid UTF-8 sequence: U+FFFD in UTF-8. */
static const char REPLACEMENT_CHAR[] = "\xEF\xBF\xBD";
/* The most bytes one character takes inside a literal: a whole UTF-8
 * character of four bytes. */
#define JSON_CHAR_MAX 4

static size_t json_escape_byte(unsigned char c, char *two);
static size_t json_escape_char(const unsigned char *p, char *out, size_t *used);

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

/* The form of one ASCII byte inside a JSON string literal: writes 0 bytes
 * (a dropped control byte), 1 or 2 (an escape) into two and returns how
 * many. */
static size_t json_escape_byte(unsigned char c, char *two)
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

/* The form of the character that begins at p (not its terminator): writes
 * at most JSON_CHAR_MAX bytes into out and returns how many; *used gets the
 * bytes of p it stands for. */
static size_t json_escape_char(const unsigned char *p, char *out, size_t *used)
{
	size_t n;

	if (*p < 0x80) {
		*used = 1;
		return json_escape_byte(*p, out);
	}
	/* The terminator is no continuation byte, so the scan stops there. */
	n = utf8_char_len(p, (size_t)-1, used);
	if (n == 0) {
		memcpy(out, REPLACEMENT_CHAR, sizeof(REPLACEMENT_CHAR) - 1);
		return sizeof(REPLACEMENT_CHAR) - 1;
	}
	memcpy(out, p, n);
	return n;
}

size_t json_escape_text(const char *text, char *out)
{
	const unsigned char *p = (const unsigned char *)(text != NULL ? text : "");
	char form[JSON_CHAR_MAX];
	size_t used;
	size_t n = 0;

	/* Without out, only the length is wanted: each form is made and
	 * dropped. */
	while (*p != '\0') {
		n += json_escape_char(p, out != NULL ? out + n : form, &used);
		p += used;
	}
	return n;
}

size_t json_escaped_len(const char *text)
{
	return json_escape_text(text, NULL);
}

void json_print_str(const char *text)
{
	/* Gathered in a buffer so that a long text costs few writes. */
	char buf[1024];
	size_t n = 0;
	size_t used;
	const unsigned char *p = (const unsigned char *)(text != NULL ? text : "");

	buf[n++] = '"';
	while (*p != '\0') {
		if (n + JSON_CHAR_MAX > sizeof(buf)) {
			out_write(buf, n);
			n = 0;
		}
		n += json_escape_char(p, buf + n, &used);
		p += used;
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
