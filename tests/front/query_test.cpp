/* The query lookup: segments, decoding, cuts, hexadecimal digits. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "util/util.h"

struct query_case {
	const char *query;
	const char *key;
	int result;
	const char *value;
};

static void check(const char *query, const char *key, size_t cap, int result,
		  const std::string &value)
{
	char out[4096];
	memset(out, 'Z', sizeof(out));
	EXPECT_EQ(get_query_val(query, key, out, cap), result) << (query ? query : "(null)");
	EXPECT_EQ(std::string(out), value) << (query ? query : "(null)");
	EXPECT_EQ(out[cap], 'Z');
}

TEST(GetQueryVal, Segments)
{
	const query_case cases[] = {
		{"a=1&pwd=x&pwd=y", "pwd", 1, "x"},
		{"xpwd=1&pwd=2", "pwd", 1, "2"},
		{"pwd", "pwd", 0, ""},
		{"pwd=", "pwd", 1, ""},
		{"pwd=a=b", "pwd", 1, "a=b"},
		{"&pwd=1", "pwd", 1, "1"},
		{"pwd=1&", "pwd", 1, "1"},
		{"a=1&", "pwd", 0, ""},
		{"a=1&&pwd=3", "pwd", 1, "3"},
		{"PWD=x", "pwd", 0, ""},
		{"p%77d=x", "pwd", 0, ""},
		{"", "pwd", 0, ""},
		{"a=1", "", 0, ""},
	};
	for (const auto &c : cases)
		check(c.query, c.key, 128, c.result, c.value);
	check(nullptr, "pwd", 128, 0, "");
}

TEST(GetQueryVal, Decoding)
{
	const query_case cases[] = {
		{"v=%41%4a%4A", "v", 1, "AJJ"}, {"v=a+b", "v", 1, "a b"},
		{"v=a%2Bb", "v", 1, "a+b"},     {"v=%", "v", 1, "%"},
		{"v=%4", "v", 1, "%4"},         {"v=%zz", "v", 1, "%zz"},
		{"v=%%41", "v", 1, "%A"},       {"v=%G1", "v", 1, "%G1"},
		{"v=a%00b", "v", 1, "a"},       {"v=\xc3\xa9", "v", 1, "\xc3\xa9"},
	};
	for (const auto &c : cases)
		check(c.query, c.key, 128, c.result, c.value);
}

TEST(GetQueryVal, CutsOnlyTheDecodedValueBetweenCharacters)
{
	std::string q = "v=" + std::string(2000, 'l');
	check(q.c_str(), "v", 128, 1, std::string(127, 'l'));
	/* A long raw value is decoded whole: an escape far out stays one. */
	q = "v=" + std::string(1021, 'l') + "%41" + std::string(500, '+');
	check(q.c_str(), "v", 2048, 1, std::string(1021, 'l') + "A" + std::string(500, ' '));
	check("v=abc", "v", 1, 1, "");
	/* A character the cut would split is left out whole. */
	check("v=ab%C3%A9", "v", 4, 1, "ab");
	check("v=a%E2%82%AC", "v", 4, 1, "a");
	check("v=a%E2%82%AC", "v", 5, 1, "a\xe2\x82\xac");
	check("v=ab%FFc", "v", 4, 1, "ab\xff");

	/* The whole length tells a cut value from one that fits. */
	char out[8];
	size_t full = 99;
	EXPECT_EQ(get_query_val_len("v=%41bcdefgh&w=1", "v", out, sizeof(out), &full), 1);
	EXPECT_EQ(full, 8u);
	EXPECT_EQ(get_query_val_len("v=Abcdefg", "v", out, sizeof(out), &full), 1);
	EXPECT_EQ(full, 7u);
	EXPECT_STREQ(out, "Abcdefg");
	EXPECT_EQ(get_query_val_len("w=1", "v", out, sizeof(out), &full), 0);
	EXPECT_EQ(full, 0u);
}

TEST(HexVal, Digits)
{
	EXPECT_EQ(hex_val('0'), 0);
	EXPECT_EQ(hex_val('9'), 9);
	EXPECT_EQ(hex_val('a'), 10);
	EXPECT_EQ(hex_val('F'), 15);
	for (int c : {(int)'g', (int)'G', (int)'/', (int)':', (int)'@', (int)'`', 0x80, 0xff, 0})
		EXPECT_EQ(hex_val(c), -1) << c;
}
