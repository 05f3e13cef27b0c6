/*
 * The access check: one shared password guards every request.
 */
#include <stdlib.h>
#include <string.h>

#include "front/front.h"
#include "util/util.h"

static int bearer_matches(const char *header, const char *password);
static int pwd_matches(const char *query, const char *password);

int secret_equal(const char *secret, const char *candidate)
{
	size_t ls = strlen(secret);
	size_t lc = strlen(candidate);
	unsigned diff = (unsigned)(ls ^ lc);
	size_t i;

	/* Every byte of the candidate is looked at, and always the same way:
	 * the time follows the lengths, not the position of a difference. */
	for (i = 0; i < lc; i++) {
		unsigned char s = ls > 0 ? (unsigned char)secret[i % ls] : 0;

		diff |= (unsigned)(s ^ (unsigned char)candidate[i]);
	}
	return diff == 0;
}

/* 1 when an Authorization value is "Bearer " (any case) and the password,
 * with spaces allowed before the word and after it. */
static int bearer_matches(const char *header, const char *password)
{
	static const char word[] = "bearer ";
	const char *p = header;
	size_t i;

	while (*p == ' ')
		p++;
	for (i = 0; i < sizeof(word) - 1; i++) {
		char c = p[i];

		if (c >= 'A' && c <= 'Z')
			c = (char)(c - 'A' + 'a');
		if (c != word[i])
			break;
	}
	if (i == sizeof(word) - 1) {
		p += i;
		while (*p == ' ')
			p++;
	}
	return secret_equal(password, p);
}

/* 1 when query holds a pwd parameter whose whole decoded value is the
 * password; a value too long for the candidate buffer never matches, so
 * that no part of it can stand for the whole. */
static int pwd_matches(const char *query, const char *password)
{
	char pwd[PWD_CAP];
	size_t full;

	if (!get_query_val_len(query, "pwd", pwd, sizeof(pwd), &full) || full >= sizeof(pwd))
		return 0;
	return secret_equal(password, pwd);
}

int access_granted(void)
{
	const char *password = getenv("BOT_PASSWORD");
	const char *header;
	const char *referer;
	const char *mark;

	if (password == NULL || password[0] == '\0')
		return 1;
	header = getenv("HTTP_X_BOT_PASSWORD");
	if (header != NULL && secret_equal(password, header))
		return 1;
	header = getenv("HTTP_AUTHORIZATION");
	if (header != NULL && bearer_matches(header, password))
		return 1;
	if (pwd_matches(getenv("QUERY_STRING"), password))
		return 1;
	referer = getenv("HTTP_REFERER");
	if (referer == NULL)
		return 0;
	mark = strchr(referer, '?');
	if (mark == NULL)
		return 0;
	return pwd_matches(mark + 1, password);
}

void access_check(void)
{
	if (access_granted())
		return;
	reply_json_err("401 Unauthorized", "unauthorized", NULL);
	exit(0);
}
