/* The environment-snapshot reader: line rules, cuts, and which files it reads. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

/* What is no regular file is not read (a FIFO without a writer would block,
 * a link to /dev/zero never end); a long path is read on both targets; and
 * reading stops after SNAPSHOT_READ_MAX bytes, so a huge sparse file costs
 * a bounded time and what lies past the bound is not seen. */
TEST(SnapshotGet, OnlyRegularFilesAndABoundedRead)
{
	temp_dir t;
	char out[64];

	const std::filesystem::path dir = t.path / std::string(200, 's') / std::string(120, 't');
	std::filesystem::create_directories(dir);
	const std::string long_path = (dir / "config-snapshot.txt").string();
	ASSERT_GT(long_path.size(), 330u);
	std::ofstream(long_path, std::ios::binary) << "KEY=far\n";
	EXPECT_EQ(snapshot_get(long_path.c_str(), "KEY", out, sizeof(out)), 1);
	EXPECT_STREQ(out, "far");

	EXPECT_EQ(snapshot_get(t.path.string().c_str(), "KEY", out, sizeof(out)), 0);

	/* The sizes of the file are made by extending it, sparse where the
	 * file system allows. */
	const std::string big = t.file("big.txt", "KEY=before\n");
	std::filesystem::resize_file(big, SNAPSHOT_READ_MAX - 16);
	{
		std::ofstream f(big, std::ios::binary | std::ios::app);
		f << "\nKEY=inside\n";
	}
	std::filesystem::resize_file(big, SNAPSHOT_READ_MAX + 4096);
	{
		std::ofstream f(big, std::ios::binary | std::ios::app);
		f << "\nKEY=beyond\n";
	}
	EXPECT_EQ(snapshot_get(big.c_str(), "KEY", out, sizeof(out)), 1);
	EXPECT_STREQ(out, "inside");

	if (plat_sep != '/')
		return;
	const std::string fifo = (t.path / "fifo").string();
	ASSERT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
	strcpy(out, "junk");
	EXPECT_EQ(snapshot_get(fifo.c_str(), "KEY", out, sizeof(out)), 0);
	EXPECT_STREQ(out, "");
	std::filesystem::create_symlink("/dev/zero", t.path / "zero");
	EXPECT_EQ(snapshot_get((t.path / "zero").string().c_str(), "KEY", out, sizeof(out)), 0);
}
