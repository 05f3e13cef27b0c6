/* The environment-snapshot reader: line rules, cuts, long lines, a missing file. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "temp_dir.h"
#include "util/util.h"

static std::string lookup(const std::string &content, int *result, size_t cap = 512)
{
	temp_dir t;
	char out[4096];
	memset(out, 'Z', sizeof(out));
	*result = snapshot_get(t.file("s.txt", content).c_str(), "KEY", out, cap);
	EXPECT_EQ(out[cap], 'Z');
	return out;
}

struct snap_case {
	const char *content;
	int result;
	const char *value;
};

TEST(SnapshotGet, LineRules)
{
	const snap_case cases[] = {
		{"KEY=one\nKEY=two\n", 1, "two"},
		{"KEY=one\nKEY=\n", 1, "one"},
		{"KEY=one\nKEY=\"\"\n", 1, "one"},
		{"export KEY=one", 1, "one"},
		{"export   KEY=one", 1, "one"},
		{"export\tKEY=one", 0, ""},
		{" \t KEY=one", 1, "one"},
		{"KEY = one", 0, ""},
		{"KEY=  \tone \t \r\n", 1, "one"},
		{"KEY='one two'", 1, "one two"},
		{"KEY=\" one two \"", 1, " one two "},
		{"KEY=\"abc", 1, "\"abc"},
		{"KEY=\"abc'", 1, "\"abc'"},
		{"KEY=\"", 1, "\""},
		{"KEY=value # note", 1, "value # note"},
		{"# KEY=one", 0, ""},
		{"  #KEY=one", 0, ""},
		{"KEYX=one\nkey=one\nMY_KEY=one", 0, ""},
		{"KEY=a\r\nOTHER=b\r\n", 1, "a"},
		{"KEY=a\rKEY=b\r", 1, "a\rKEY=b"},
		{"", 0, ""},
	};
	for (const auto &c : cases) {
		int result = -1;
		EXPECT_EQ(lookup(c.content, &result), c.value) << c.content;
		EXPECT_EQ(result, c.result) << c.content;
	}
}

TEST(SnapshotGet, CutsValueAtCapacity)
{
	int result = 0;
	EXPECT_EQ(lookup("KEY=" + std::string(600, 'u'), &result, 512), std::string(511, 'u'));
	EXPECT_EQ(result, 1);
}

TEST(SnapshotGet, LongLinesAreReadInPiecesButOnlyTheFirstCounts)
{
	int result = 0;
	/* The value ends at its line's 2047th byte. */
	std::string value = lookup("KEY=" + std::string(3000, 'w') + "\n", &result, 4000);
	EXPECT_EQ(result, 1);
	EXPECT_EQ(value, std::string(2047 - 4, 'w'));

	/* A comment whose 2048th byte starts an assignment is still a
	 * comment; so is a long value that holds one. */
	std::string comment = "#" + std::string(2046, 'c') + "KEY=evil\nKEY=good\n";
	EXPECT_EQ(lookup(comment, &result), "good");
	std::string other = "OTHER=" + std::string(2041, 'o') + "KEY=evil\n";
	EXPECT_EQ(lookup(other, &result), "");
	EXPECT_EQ(result, 0);
	/* The line after a long one is a line again. */
	EXPECT_EQ(lookup(other + "KEY=next\n", &result), "next");
}

TEST(SnapshotGet, MissingFile)
{
	char out[16] = "junk";
	EXPECT_EQ(snapshot_get("/nonexistent/dir/s.txt", "KEY", out, sizeof(out)), 0);
	EXPECT_STREQ(out, "");
}
