/* The bounded copy: cut at capacity, always terminated. */
#include <gtest/gtest.h>

#include <cstring>

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
