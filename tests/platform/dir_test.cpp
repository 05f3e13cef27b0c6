/*
 * Directory enumeration: every entry once, with the right kind.
 */
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "harness.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

/* Each name the enumeration gives, with its is_dir and how often it came;
 * ok is false when the directory could not be opened. */
struct listing {
	bool ok = false;
	std::map<std::string, int> is_dir;
	std::map<std::string, int> seen;
};

listing list_dir(const std::string &dir)
{
	listing l;
	plat_dir d;

	if (!plat_dir_open(&d, dir.c_str()))
		return l;
	l.ok = true;
	while (plat_dir_next(&d)) {
		l.is_dir[d.name] = d.is_dir;
		l.seen[d.name]++;
	}
	/* Once at the end, it stays there. */
	EXPECT_EQ(plat_dir_next(&d), 0);
	plat_dir_close(&d);
	EXPECT_EQ(plat_dir_next(&d), 0);
	return l;
}

} // namespace

TEST(PlatDir, ReportsFilesDirectoriesAndTheDotEntries)
{
	harness::world w;
	w.mkdir("root/sub");
	w.write("root/file.txt", "x");
	w.write("root/sub/inner", "y");

	const listing l = list_dir(w.path("root"));
	ASSERT_TRUE(l.ok);
	const std::map<std::string, int> want = { { ".", 1 }, { "..", 1 }, { "sub", 1 }, { "file.txt", 0 } };
	EXPECT_EQ(l.is_dir, want);
	for (const auto &kv : l.seen)
		EXPECT_EQ(kv.second, 1) << kv.first;
}

TEST(PlatDir, EmptyDirectoryAndTrailingSeparator)
{
	harness::world w;
	w.mkdir("empty");

	const std::map<std::string, int> dots = { { ".", 1 }, { "..", 1 } };
	EXPECT_EQ(list_dir(w.path("empty")).is_dir, dots);
	EXPECT_EQ(list_dir(w.path("empty") + plat_sep).is_dir, dots);
}

TEST(PlatDir, EveryEntryOnceInALargeDirectory)
{
	harness::world w;
	const int files = 300;
	for (int i = 0; i < files; i++)
		w.write("many/f" + std::to_string(i), "");

	const listing l = list_dir(w.path("many"));
	ASSERT_TRUE(l.ok);
	EXPECT_EQ(l.seen.size(), (size_t)files + 2);
	for (const auto &kv : l.seen)
		EXPECT_EQ(kv.second, 1) << kv.first;
	EXPECT_EQ(l.is_dir.at("f0"), 0);
	EXPECT_EQ(l.is_dir.at("f299"), 0);
}

TEST(PlatDir, LinksCountAsWhatTheyPointTo)
{
	if (plat_sep != '/')
		GTEST_SKIP() << "links are made on POSIX only";
	harness::world w;
	w.mkdir("root/sub");
	w.write("root/file", "x");
	fs::create_directory_symlink(w.path("root/sub"), w.path("root/link-dir"));
	fs::create_symlink(w.path("root/file"), w.path("root/link-file"));
	fs::create_symlink(w.path("root/nothing"), w.path("root/dangling"));

	const listing l = list_dir(w.path("root"));
	ASSERT_TRUE(l.ok);
	const std::map<std::string, int> want = {
		{ ".", 1 }, { "..", 1 }, { "sub", 1 }, { "file", 0 },
		{ "link-dir", 1 }, { "link-file", 0 }, { "dangling", 0 },
	};
	EXPECT_EQ(l.is_dir, want);
}

TEST(PlatDir, RefusesWhatIsNoDirectory)
{
	harness::world w;
	w.write("file", "x");
	plat_dir d;

	EXPECT_EQ(plat_dir_open(&d, w.path("missing").c_str()), 0);
	plat_dir_close(&d);
	EXPECT_EQ(plat_dir_open(&d, w.path("file").c_str()), 0);
	EXPECT_EQ(plat_dir_open(&d, ""), 0);
	EXPECT_EQ(plat_dir_open(&d, nullptr), 0);
	EXPECT_EQ(plat_dir_next(&d), 0);
	plat_dir_close(&d);
}
