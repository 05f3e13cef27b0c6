/* The JSON string-field extractor: first usable key, escapes, cuts and range limits. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "util/util.h"

struct extract_case {
	const char *text;
	const char *key;
	int result;
	const char *value;
};

static void check(const std::string &text, const char *key, size_t cap, int result,
		  const std::string &value)
{
	char out[1024];
	memset(out, 'Z', sizeof(out));
	int r = json_extract_str_after(text.data(), text.data() + text.size(), key, out, cap);
	EXPECT_EQ(r, result) << text;
	EXPECT_EQ(std::string(out), value) << text;
	EXPECT_EQ(out[cap], 'Z') << "wrote past the capacity: " << text;
}

TEST(JsonExtract, FindsFirstUsableOccurrence)
{
	const extract_case cases[] = {
		{"{\"profile\":\"dev\"}", "profile", 1, "dev"},
		{"{ \"profile\" :\t\r\n \"dev\" }", "profile", 1, "dev"},
		{"{\"name\":\"profile\",\"profile\":\"x\"}", "profile", 1, "x"},
		{"{\"profile\":null,\"other\":{\"profile\":\"y\"}}", "profile", 1, "y"},
		{"{\"profile\":\"\"}", "profile", 1, ""},
		{"{\"profile\":5}", "profile", 0, ""},
		{"{\"Profile\":\"dev\"}", "profile", 0, ""},
		{"{\"profile\":\"abc", "profile", 1, "abc"},
		{"{\"profile\"", "profile", 0, ""},
		{"{\"profile\":", "profile", 0, ""},
		{"{\"profile\" x \"profile\":\"z\"}", "profile", 1, "z"},
	};
	for (const auto &c : cases)
		check(c.text, c.key, 160, c.result, c.value);
}

TEST(JsonExtract, Escapes)
{
	check("{\"k\":\"a\\\"b\\\\c\\nd\\te\\/f\\rg\"}", "k", 160, 1, "a\"b\\c\nd\te/f\rg");
	check("{\"k\":\"\\u0041\\b\\f\"}", "k", 160, 1, "u0041bf");
	check("{\"k\":\"ab\\", "k", 160, 1, "ab\\");
}

TEST(JsonExtract, CutsAndRangeLimits)
{
	std::string text = "{\"profile\":\"" + std::string(200, 'v') + "\"}";
	check(text, "profile", 160, 1, std::string(159, 'v'));
	check("{\"k\":\"abc\"}", "k", 1, 1, "");

	/* The range ends the search even when the buffer goes on. */
	std::string full = "{\"k\":\"abcdef\"}";
	char out[16];
	EXPECT_EQ(json_extract_str_after(full.data(), full.data() + 8, "k", out, sizeof(out)), 1);
	EXPECT_STREQ(out, "ab");
	EXPECT_EQ(json_extract_str_after(full.data(), full.data() + 3, "k", out, sizeof(out)), 0);
	EXPECT_EQ(json_extract_str_after(full.data(), full.data(), "k", out, sizeof(out)), 0);
	EXPECT_EQ(json_extract_str_after(nullptr, full.data(), "k", out, sizeof(out)), 0);
	EXPECT_STREQ(out, "");

	/* A zero byte inside the range ends the value and the search. */
	std::string z("{\"k\":\"ab\0cd\"}", 13);
	EXPECT_EQ(json_extract_str_after(z.data(), z.data() + z.size(), "k", out, sizeof(out)), 1);
	EXPECT_STREQ(out, "ab");
}

/* The search never looks outside its range: a range at the very end of an
 * allocation, with no zero byte after it, is read only up to its end (the
 * sanitizer build turns a read past it into a failure), and a key that
 * follows the range is not found. */
TEST(JsonExtract, SearchStaysInsideTheRange)
{
	const std::string text = "{}{\"k\":\"v\"}";
	char *exact = (char *)malloc(text.size());
	memcpy(exact, text.data(), text.size());
	char out[16];
	EXPECT_EQ(json_extract_str_after(exact, exact + 2, "k", out, sizeof(out)), 0);
	EXPECT_EQ(json_extract_str_after(exact, exact + text.size(), "k", out, sizeof(out)), 1);
	EXPECT_STREQ(out, "v");
	EXPECT_EQ(json_extract_str_after(exact, exact + text.size(), "x", out, sizeof(out)), 0);
	/* An occurrence cut by the range's end does not count either. */
	EXPECT_EQ(json_extract_str_after(exact, exact + 4, "k", out, sizeof(out)), 0);
	free(exact);
}
