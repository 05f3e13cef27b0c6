/*
 * Shared text, file and response utilities: bounded copies, the CGI and JSON
 * response writer, the query-string lookup, validation of identifiers and
 * URLs and the endpoint's comparison form, whole-stream readers,
 * the JSON string-field extractor and the environment-snapshot reader.
 */
#ifndef QV_UTIL_H
#define QV_UTIL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "platform/platform.h"

/* str.cpp */

/* Copies src into dst of capacity cap (at least 1), terminated; a longer src
 * is cut to at most cap - 1 bytes, never inside a UTF-8 character. A null
 * dst does nothing; a null src leaves dst empty. For text to show, never
 * for a path: a cut path names another file. */
void str_copy(char *dst, const char *src, size_t cap);

/* Writes dir, the platform's separator and name into out (capacity cap);
 * out may be dir itself. 1 when the whole path fits, else 0 with out empty:
 * a path that does not fit is never cut, and counts as absent. */
int path_join(char *out, size_t cap, const char *dir, const char *name);

/* The length of the valid UTF-8 character that the avail bytes at p begin
 * with (1 to 4; shortest forms only, no surrogates, at most U+10FFFF), or 0
 * when they begin none. *prefix gets how many bytes of p begin a valid
 * character: the whole character, or the part of one that is there (at
 * least 1 when avail is not 0). */
size_t utf8_char_len(const unsigned char *p, size_t avail, size_t *prefix);

/* The length, at most n, at which text[0..n) ends between characters: n
 * less the bytes of a UTF-8 character that the cut at n would split. */
size_t utf8_cut(const char *text, size_t n);

/* response.cpp */

/* The kinds of answer, each with its content type and caching. */
enum out_type {
	OUT_JSON, /* application/json; charset=utf-8 */
	OUT_HTML  /* text/html; charset=utf-8, never to be cached */
};

/* Writes the CGI header block of an answer: "Status: status" first unless
 * status is null (then the CGI default, 200), the content type and caching
 * of type, and the blank line that ends the block. */
void out_header(const char *status, enum out_type type);

/* Writes bytes, or a zero-terminated text, to the response stream
 * (standard output); write errors are ignored. */
void out_write(const char *bytes, size_t len);
void out_str(const char *text);

/* Sends the response to another stream (tests); null restores standard
 * output. Returns the stream used before. */
FILE *out_redirect(FILE *fp);

/* Writes the inside of the JSON string literal of text (quotes not
 * included; null is empty) into out, which has room for json_escaped_len
 * bytes, and returns how many it wrote (null out: only counts them). Control bytes other than LF, CR and
 * TAB, and 0x7F, are dropped; '"', '\\', LF, CR and TAB are escaped; valid
 * UTF-8 passes byte for byte, and each invalid sequence (the longest part of
 * it that begins a valid character, or one byte) becomes U+FFFD, so that
 * the literal is always valid JSON in UTF-8. */
size_t json_escape_text(const char *text, char *out);

/* The number of bytes json_escape_text writes for text; 0 for null. */
size_t json_escaped_len(const char *text);

/* Writes text to standard output as one JSON string literal, quotes
 * included, its inside as json_escape_text forms it; null writes "". */
void json_print_str(const char *text);

/* Writes one complete JSON error response: status line, JSON header, and
 * {"ok":false,"error":message[,"url":url]} with a newline. */
void reply_json_err(const char *status, const char *message, const char *url);

/* The same, with a member "detail" after url when detail is not empty: the
 * reason for the error in words, as plain text. */
void reply_json_err_detail(const char *status, const char *message, const char *url,
			   const char *detail);

/* query.cpp */

/* The value of one hexadecimal digit, 0 to 15, or -1 for any other byte. */
int hex_val(int c);

/* Finds the first "key=" segment of query and URL-decodes its value into out
 * (capacity cap, at least 1), cut to at most cap - 1 bytes between UTF-8
 * characters. 1 when the key is present, whatever its value; 0 with an empty
 * out when it is not or query is null or empty. */
int get_query_val(const char *query, const char *key, char *out, size_t cap);

/* The same, and *full gets the length of the whole decoded value (0 when
 * the key is absent): more than cap - 1 when out holds only part of it. */
int get_query_val_len(const char *query, const char *key, char *out, size_t cap, size_t *full);

/* validate.cpp */

/* 1 when id may be one component of a path: 1 to 160 bytes of letters,
 * digits and "-.:_", without "..", and not "." alone. */
#define SAFE_ID_MAX 160
int safe_id(const char *id);

/* 1 when url is an acceptable endpoint: at most 512 bytes, "http://" or
 * "https://" first, and only letters, digits and ":/.-_~%?&#=+@,". */
#define URL_MAX 512
int url_ok(const char *url);

#define ENDPOINT_NORM_CAP 512

/* Writes the comparison form of endpoint into out (ENDPOINT_NORM_CAP
 * bytes): trailing "/" removed, then one trailing "/v1". */
void normalize_endpoint(const char *endpoint, char *out);

/* readers.cpp */

/* Reads an open stream to its end into a new heap buffer, zero-terminated;
 * *len gets the content length. First buffer 16 KiB, doubling while at most
 * 4 MiB, so at most 8 MiB - 1 bytes. Null (and *len 0) for a null stream or
 * a refused first allocation. The stream is not closed. */
char *read_pipe_all(FILE *stream, uint64_t *len);

/* Reads a whole file (its bytes as stored) the same way: first buffer 4 KiB,
 * at most 8 MiB - 1 bytes. Opened through plat_file_open, so only a regular
 * file is read. Null when the file cannot be opened. */
char *read_file_all(const char *path, uint64_t *len);

/* Reads the rest of a file opened with plat_file_open the same way; the
 * file stays open. Null when file is null or memory is short. */
char *read_open_file(plat_file *file, uint64_t *len);

/* The longest file that read_file_all always returns whole (8 MiB - 512
 * bytes); a longer one may come back cut. */
#define READ_FILE_WHOLE_MAX ((size_t)8388096)

/* Reads a running child's output like read_pipe_all, stopping at the end of
 * the output or at the child's deadline. The child is not finished. */
char *read_child_all(plat_child *child, uint64_t *len);

/* json_extract.cpp */

/* Finds the first "key" in [start, end) followed by a colon and a string
 * value, and copies the value (escapes n, r, t decoded, others taken as
 * themselves) into out, cut to at most cap - 1 bytes between UTF-8
 * characters. 1 when found (the value may be empty, cut or unterminated),
 * 0 with an empty out otherwise. */
int json_extract_str_after(const char *start, const char *end,
			   const char *key, char *out, size_t cap);

/* snapshot.cpp */

/* Looks up key in a KEY=VALUE environment snapshot file (a regular file, of
 * which at most SNAPSHOT_READ_MAX bytes are read); the last line with a
 * non-empty value wins. 1 with the value (cut like str_copy) in out, 0
 * with an empty out when the file or a non-empty assignment is missing. */
#define SNAPSHOT_READ_MAX ((uint64_t)8 << 20)
int snapshot_get(const char *path, const char *key, char *out, size_t cap);

#endif
