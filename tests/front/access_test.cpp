/* The access check: each way of proving the password, and the constant-time comparison. */
#include <gtest/gtest.h>

#include <string>

#include "front/front.h"
#include "platform/platform.h"

namespace {

/* Sets the request's variables for one check and clears them afterwards. */
struct request_env {
	request_env(const char *password, const char *header, const char *auth,
		    const char *query, const char *referer)
	{
		set("BOT_PASSWORD", password);
		set("HTTP_X_BOT_PASSWORD", header);
		set("HTTP_AUTHORIZATION", auth);
		set("QUERY_STRING", query);
		set("HTTP_REFERER", referer);
	}
	~request_env()
	{
		for (const char *n : {"BOT_PASSWORD", "HTTP_X_BOT_PASSWORD", "HTTP_AUTHORIZATION",
				      "QUERY_STRING", "HTTP_REFERER"})
			plat_setenv(n, nullptr);
	}
	static void set(const char *name, const char *value) { plat_setenv(name, value); }
};

int granted(const char *password, const char *header, const char *auth, const char *query,
	    const char *referer)
{
	request_env env(password, header, auth, query, referer);
	return access_granted();
}

} // namespace

TEST(AccessCheck, NoPasswordConfigured)
{
	EXPECT_EQ(granted(nullptr, nullptr, nullptr, nullptr, nullptr), 1);
	EXPECT_EQ(granted("", nullptr, nullptr, "pwd=wrong", nullptr), 1);
}

TEST(AccessCheck, HeaderAndBearer)
{
	EXPECT_EQ(granted("s3cret", "s3cret", nullptr, "pwd=no", nullptr), 1);
	EXPECT_EQ(granted("s3cret", "s3cret ", nullptr, nullptr, nullptr), 0);
	for (const char *ok : {"Bearer s3cret", "  bEaReR    s3cret", "BEARER s3cret"})
		EXPECT_EQ(granted("s3cret", nullptr, ok, nullptr, nullptr), 1) << ok;
	for (const char *bad : {"Bearer\ts3cret", "Bearer s3cret ", "Bearer", "Bearer ",
				"\tBearer s3cret", "Basic s3cret"})
		EXPECT_EQ(granted("s3cret", nullptr, bad, nullptr, nullptr), 0) << bad;
	/* A bare password, without the word, also matches the rest. */
	EXPECT_EQ(granted("s3cret", nullptr, "s3cret", nullptr, nullptr), 1);
	/* Leading spaces of a password are swallowed after the word. */
	EXPECT_EQ(granted("  pw", nullptr, "Bearer   pw", nullptr, nullptr), 0);
	EXPECT_EQ(granted("  pw", "  pw", nullptr, nullptr, nullptr), 1);
	/* A malformed header never refuses on its own. */
	EXPECT_EQ(granted("s3cret", nullptr, "Bearer junk", "pwd=s3cret", nullptr), 1);
}

TEST(AccessCheck, QueryAndReferer)
{
	EXPECT_EQ(granted("a b+c", nullptr, nullptr, "pwd=a+b%2Bc", nullptr), 1);
	EXPECT_EQ(granted("s3cret", nullptr, nullptr, "pwd=", nullptr), 0);
	EXPECT_EQ(granted("s3cret", nullptr, nullptr, "pwd=wrong",
			  "http://h/p?x=1&pwd=s3cret"), 1);
	EXPECT_EQ(granted("s3cret", nullptr, nullptr, nullptr, "http://h/p"), 0);
	EXPECT_EQ(granted("s3cret", nullptr, nullptr, nullptr, "http://h/p?pwd=s3cret#top"), 0);
	EXPECT_EQ(granted("s3cret", nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(AccessCheck, PasswordComparedWhole)
{
	/* A candidate that only begins with the password never passes. */
	std::string pw(127, 'p');
	std::string q = "pwd=" + pw + "junk";
	EXPECT_EQ(granted(pw.c_str(), nullptr, nullptr, q.c_str(), nullptr), 0);
	EXPECT_EQ(granted(pw.c_str(), nullptr, nullptr, nullptr, ("http://h/?" + q).c_str()), 0);

	/* Up to 1023 bytes work by pwd and by the Referer, escapes and all. */
	for (size_t len : { 200, 1023 }) {
		pw = std::string(len - 1, 'p') + "&";
		q = "pwd=" + std::string(len - 1, 'p') + "%26";
		EXPECT_EQ(granted(pw.c_str(), nullptr, nullptr, q.c_str(), nullptr), 1) << len;
		EXPECT_EQ(granted(pw.c_str(), nullptr, nullptr, nullptr, ("http://h/?" + q).c_str()),
			  1) << len;
	}

	/* Longer ones only by the headers; a value cut to the buffer's size
	 * never stands for the whole. */
	pw = std::string(1024, 'p');
	for (const char *tail : { "", "x" }) {
		q = "pwd=" + pw + tail;
		EXPECT_EQ(granted(pw.c_str(), nullptr, nullptr, q.c_str(), nullptr), 0);
		EXPECT_EQ(granted(pw.substr(0, 1023).c_str(), nullptr, nullptr, q.c_str(), nullptr), 0);
	}
	EXPECT_EQ(granted(pw.c_str(), pw.c_str(), nullptr, nullptr, nullptr), 1);
	EXPECT_EQ(granted(pw.c_str(), nullptr, ("Bearer " + pw).c_str(), nullptr, nullptr), 1);
}

TEST(SecretEqual, SameResultsAsPlainEquality)
{
	const char *words[] = {"", "a", "ab", "abc", "abd", "b", "abcabc", "\xff"};
	for (const char *a : words)
		for (const char *b : words)
			EXPECT_EQ(secret_equal(a, b), std::string(a) == b) << a << " / " << b;
}
