/* The bounded copy and the path join: cuts between characters, paths never cut. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "util/util.h"

TEST(StrCopy, CutsAtCapacityAndTerminates)
{
	char buf[8];

	memset(buf, 'Z', sizeof(buf));
	str_copy(buf, "abcdefghij", 5);
	EXPECT_STREQ(buf, "abcd");
	EXPECT_EQ(buf[5], 'Z') << "wrote past the capacity";

	str_copy(buf, "abc", 4);
	EXPECT_STREQ(buf, "abc");
	str_copy(buf, "abc", 1);
	EXPECT_STREQ(buf, "");
	str_copy(buf, nullptr, sizeof(buf));
	EXPECT_STREQ(buf, "");
	str_copy(nullptr, "abc", 4); /* nothing happens */
}

TEST(StrCopy, CutFallsBetweenCharacters)
{
	char buf[8];

	/* "ab" then a 2-, 3- and 4-byte character, cut at each byte. */
	const char *text = "ab\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
	const size_t ends[] = { 2, 4, 7, 11 };
	for (size_t cap = 3; cap <= 8; cap++) {
		str_copy(buf, text, cap);
		size_t want = 0;
		for (size_t e : ends)
			if (e <= cap - 1)
				want = e;
		EXPECT_EQ(strlen(buf), want) << "capacity " << cap;
	}
	/* Bytes that begin no character are not taken for one. */
	str_copy(buf, "abc\xff\x80xyz", 6);
	EXPECT_STREQ(buf, "abc\xff\x80");
}

TEST(PathJoin, WholeOrNothing)
{
	char buf[8];

	memset(buf, 'Z', sizeof(buf));
	EXPECT_EQ(path_join(buf, sizeof(buf), "ab", "cdef"), 1);
	EXPECT_EQ(std::string(buf), std::string("ab") + plat_sep + "cdef");
	/* In place, onto the folder itself. */
	EXPECT_EQ(path_join(buf, sizeof(buf), "a", "b"), 1);
	EXPECT_EQ(path_join(buf, sizeof(buf), buf, "c"), 1);
	EXPECT_EQ(std::string(buf), std::string("a") + plat_sep + "b" + plat_sep + "c");
	/* One byte too long: nothing, never a cut path. */
	EXPECT_EQ(path_join(buf, sizeof(buf), "ab", "cdefg"), 0);
	EXPECT_STREQ(buf, "");
}
