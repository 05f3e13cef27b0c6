/* Validation of identifiers and endpoint URLs. */
#include <gtest/gtest.h>

#include <string>

#include "util/util.h"

TEST(SafeId, AcceptsNamesAndSingleDots)
{
	for (const char *ok : {"a", "-x", "C:", "my_profile.beta", "host:port", "a.", ".a", ".a."})
		EXPECT_EQ(safe_id(ok), 1) << ok;
	EXPECT_EQ(safe_id(std::string(160, 'a').c_str()), 1);
}

TEST(SafeId, RefusesPathsAndOddBytes)
{
	for (const char *bad : {"", ".", "a..b", "..", "x..", "a/b", "a\\b", "a b", "caf\xc3\xa9", "a\tb"})
		EXPECT_EQ(safe_id(bad), 0) << bad;
	EXPECT_EQ(safe_id(nullptr), 0);
	EXPECT_EQ(safe_id(std::string(161, 'a').c_str()), 0);
	EXPECT_EQ(safe_id(std::string(255, 'a').c_str()), 0);
}

TEST(UrlOk, SchemesAndCharacters)
{
	for (const char *ok : {"http://", "https://host:80/path", "http://host/path?x=1&y=2#top",
			       "http://user:pw@host/", "http://h/%zz~+,"})
		EXPECT_EQ(url_ok(ok), 1) << ok;
	for (const char *bad : {"", "HTTP://host", "Https://host", "ftp://host", "host:80",
				"http://[::1]:80", "http://h/a b", "http://h/\"", "http://h/'",
				"http://h/\\", "http://h/$x", "http://h/;", "http://h/\xc3\xa9",
				"http://h/\t"})
		EXPECT_EQ(url_ok(bad), 0) << bad;
}

TEST(UrlOk, LengthLimit)
{
	std::string url = "http://";
	url += std::string(512 - url.size(), 'a');
	EXPECT_EQ(url_ok(url.c_str()), 1);
	url += 'a';
	EXPECT_EQ(url_ok(url.c_str()), 0);
}
