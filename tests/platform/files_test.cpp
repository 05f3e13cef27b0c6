/*
 * File status, exclusive creation, replacing rename, time and the
 * environment lookups of the platform layer.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

bool posix_target()
{
	return plat_sep == '/';
}

/* Saves some environment variables and puts them back afterwards. */
class env_guard {
public:
	explicit env_guard(std::vector<std::string> names) : names_(std::move(names))
	{
		for (const auto &n : names_) {
			const char *v = std::getenv(n.c_str());
			saved_.push_back(v != nullptr ? std::optional<std::string>(v) : std::nullopt);
		}
	}
	~env_guard()
	{
		for (size_t i = 0; i < names_.size(); i++)
			plat_setenv(names_[i].c_str(), saved_[i] ? saved_[i]->c_str() : nullptr);
	}

private:
	std::vector<std::string> names_;
	std::vector<std::optional<std::string>> saved_;
};

} // namespace

TEST(PlatStat, FilesDirectoriesAndMissingPaths)
{
	harness::world w;
	w.write("f", "x");
	w.mkdir("d");
	w.set_mtime("f", -3600);

	int is_dir = -1;
	int64_t mtime = 0;
	ASSERT_EQ(plat_stat(w.path("f").c_str(), &is_dir, &mtime), 1);
	EXPECT_EQ(is_dir, 0);
	EXPECT_NEAR((double)mtime, (double)(plat_time() - 3600), 5.0);

	ASSERT_EQ(plat_stat(w.path("d").c_str(), &is_dir, nullptr), 1);
	EXPECT_EQ(is_dir, 1);
	EXPECT_EQ(plat_stat(w.path("d").c_str(), nullptr, nullptr), 1);

	is_dir = -1;
	EXPECT_EQ(plat_stat(w.path("missing").c_str(), &is_dir, &mtime), 0);
	EXPECT_EQ(is_dir, -1);
	EXPECT_EQ(plat_stat(nullptr, &is_dir, &mtime), 0);

	EXPECT_EQ(plat_exists(w.path("f").c_str()), 1);
	EXPECT_EQ(plat_exists(w.path("d").c_str()), 1);
	EXPECT_EQ(plat_exists(w.path("missing").c_str()), 0);
	EXPECT_EQ(plat_exists(nullptr), 0);
}

TEST(PlatStat, TrailingSeparatorOnlyNamesADirectory)
{
	harness::world w;
	w.mkdir("d");
	w.write("f", "x");
	const std::string d = w.path("d") + plat_sep;
	const std::string f = w.path("f") + plat_sep;

	int is_dir = 0;
	EXPECT_EQ(plat_stat(d.c_str(), &is_dir, nullptr), 1);
	EXPECT_EQ(is_dir, 1);
	EXPECT_EQ(plat_stat((w.path("d") + "/").c_str(), &is_dir, nullptr), 1);
	EXPECT_EQ(plat_stat(f.c_str(), &is_dir, nullptr), 0);
	EXPECT_EQ(plat_exists(d.c_str()), 1);
}

/* Paths past 260 characters, the old limit of the Windows file calls. */
TEST(PlatFiles, LongPaths)
{
	harness::world w;
	const std::string rel = std::string(200, 'a') + "/" + std::string(120, 'b');
	w.mkdir(rel);
	const std::string dir = w.path(rel);
	const std::string f = dir + plat_sep + "f";
	const std::string g = dir + plat_sep + "g";
	ASSERT_GT(dir.size(), 330u);

	FILE *fp = plat_create_excl(f.c_str());
	ASSERT_NE(fp, nullptr);
	fputs("x", fp);
	fclose(fp);
	EXPECT_EQ(plat_create_excl(f.c_str()), nullptr);

	int is_dir = -1;
	EXPECT_EQ(plat_stat(f.c_str(), &is_dir, nullptr), 1);
	EXPECT_EQ(is_dir, 0);
	EXPECT_EQ(plat_stat(dir.c_str(), &is_dir, nullptr), 1);
	EXPECT_EQ(is_dir, 1);
	EXPECT_EQ(plat_exists(f.c_str()), 1);
	EXPECT_EQ(plat_exists(g.c_str()), 0);

	EXPECT_EQ(plat_rename_replace(f.c_str(), g.c_str()), 1);
	EXPECT_EQ(w.read(rel + "/g"), "x");

	plat_dir d;
	std::vector<std::string> names;
	ASSERT_EQ(plat_dir_open(&d, dir.c_str()), 1);
	while (plat_dir_next(&d))
		names.push_back(d.name);
	plat_dir_close(&d);
	std::sort(names.begin(), names.end());
	EXPECT_EQ(names, (std::vector<std::string>{ ".", "..", "g" }));
}

TEST(PlatStat, FollowsLinks)
{
	if (!posix_target())
		GTEST_SKIP() << "links are made on POSIX only";
	harness::world w;
	w.mkdir("d");
	fs::create_directory_symlink(w.path("d"), w.path("ld"));
	fs::create_symlink(w.path("gone"), w.path("dangling"));

	int is_dir = 0;
	EXPECT_EQ(plat_stat(w.path("ld").c_str(), &is_dir, nullptr), 1);
	EXPECT_EQ(is_dir, 1);
	EXPECT_EQ(plat_stat(w.path("dangling").c_str(), &is_dir, nullptr), 0);
}

/* The lock check asks of the name itself: a link, a folder or a dangling
 * link is no regular file, and the time is the file's own. */
TEST(PlatLstat, RegularFilesOnly)
{
	harness::world w;
	w.write("f", "x");
	w.set_mtime("f", 3600);
	w.mkdir("d");
	int is_reg = -1;
	int64_t mtime = 0;
	EXPECT_EQ(plat_lstat(w.path("f").c_str(), &is_reg, &mtime), 1);
	EXPECT_EQ(is_reg, 1);
	EXPECT_GE(mtime, plat_time() + 3590);
	EXPECT_EQ(plat_lstat(w.path("d").c_str(), &is_reg, nullptr), 1);
	EXPECT_EQ(is_reg, 0);
	EXPECT_EQ(plat_lstat(w.path("none").c_str(), &is_reg, nullptr), 0);
	if (posix_target()) {
		fs::create_symlink(w.path("f"), w.path("lf"));
		fs::create_symlink(w.path("gone"), w.path("dangling"));
		for (const char *link : { "lf", "dangling" }) {
			is_reg = -1;
			EXPECT_EQ(plat_lstat(w.path(link).c_str(), &is_reg, nullptr), 1) << link;
			EXPECT_EQ(is_reg, 0) << link;
		}
	}
}

TEST(PlatTime, AgreesWithTheRuntime)
{
	const int64_t before = (int64_t)std::time(nullptr);
	const int64_t t = plat_time();
	const int64_t after = (int64_t)std::time(nullptr);
	EXPECT_GE(t, before);
	EXPECT_LE(t, after);

	/* The monotonic clock never goes back. */
	const int64_t a = plat_clock_ms();
	plat_sleep_ms(5);
	EXPECT_GE(plat_clock_ms(), a);
}

TEST(PlatCreateExcl, WritesBytesAsTheyAre)
{
	harness::world w;
	const std::string bytes("a\r\nb\n\0\xff\x1a z", 10);
	FILE *fp = plat_create_excl(w.path("new").c_str());
	ASSERT_NE(fp, nullptr);
	fwrite(bytes.data(), 1, bytes.size(), fp);
	fclose(fp);
	EXPECT_EQ(w.read("new"), bytes);
}

TEST(PlatCreateExcl, RefusesWhatAlreadyExists)
{
	harness::world w;
	w.write("old", "keep");
	w.mkdir("dir");

	EXPECT_EQ(plat_create_excl(w.path("old").c_str()), nullptr);
	EXPECT_EQ(w.read("old"), "keep");
	EXPECT_EQ(plat_create_excl(w.path("dir").c_str()), nullptr);
	EXPECT_EQ(plat_create_excl(w.path("no/such/dir/f").c_str()), nullptr);

	if (posix_target()) {
		/* A link, even one to nothing, is never written through. */
		fs::create_symlink(w.path("target"), w.path("dangling"));
		EXPECT_EQ(plat_create_excl(w.path("dangling").c_str()), nullptr);
		EXPECT_FALSE(w.exists("target"));
		fs::create_symlink(w.path("old"), w.path("link"));
		EXPECT_EQ(plat_create_excl(w.path("link").c_str()), nullptr);
		EXPECT_EQ(w.read("old"), "keep");
	}
}

TEST(PlatRenameReplace, ReplacesTheTarget)
{
	harness::world w;
	w.write("tmp", "new");
	w.write("cache", "old");

	EXPECT_EQ(plat_rename_replace(w.path("tmp").c_str(), w.path("cache").c_str()), 1);
	EXPECT_EQ(w.read("cache"), "new");
	EXPECT_FALSE(w.exists("tmp"));

	w.write("tmp2", "fresh");
	EXPECT_EQ(plat_rename_replace(w.path("tmp2").c_str(), w.path("absent").c_str()), 1);
	EXPECT_EQ(w.read("absent"), "fresh");

	EXPECT_EQ(plat_rename_replace(w.path("missing").c_str(), w.path("cache").c_str()), 0);
	EXPECT_EQ(w.read("cache"), "new");
}

TEST(PlatSetenv, SetsAndRemoves)
{
	env_guard g({ "QV_PLAT_TEST" });

	ASSERT_EQ(plat_setenv("QV_PLAT_TEST", "one two"), 1);
	ASSERT_NE(std::getenv("QV_PLAT_TEST"), nullptr);
	EXPECT_STREQ(std::getenv("QV_PLAT_TEST"), "one two");
	ASSERT_EQ(plat_setenv("QV_PLAT_TEST", nullptr), 1);
	EXPECT_EQ(std::getenv("QV_PLAT_TEST"), nullptr);
}

/* Only the named variable is left out, under the target's rule for names;
 * the rest, an empty value included, is passed on. */
TEST(PlatEnvWithout, DropsOneVariable)
{
	env_guard g({ "QV_PLAT_DROP", "QV_PLAT_DROPPED", "QV_PLAT_KEEP" });
	plat_setenv("QV_PLAT_DROP", "secret");
	plat_setenv("QV_PLAT_DROPPED", "kept");
	plat_setenv("QV_PLAT_KEEP", "");
	char **env = plat_env_without(posix_target() ? "QV_PLAT_DROP" : "qv_plat_drop");
	ASSERT_NE(env, nullptr);
	std::vector<std::string> ours;
	for (char **e = env; *e != nullptr; e++)
		if (std::string(*e).rfind("QV_PLAT_", 0) == 0)
			ours.push_back(*e);
	std::free(env);
	std::sort(ours.begin(), ours.end());
	EXPECT_EQ(ours, (std::vector<std::string>{ "QV_PLAT_DROPPED=kept", "QV_PLAT_KEEP=" }));
}

TEST(PlatFolders, ReadTheirVariablesWholeOrNotAtAll)
{
	env_guard g({ "USERPROFILE", "LOCALAPPDATA", "HOME", "XDG_DATA_HOME" });
	char out[16];

	plat_setenv("USERPROFILE", "/profile");
	plat_setenv("LOCALAPPDATA", "/local");
	EXPECT_EQ(plat_userprofile(out, sizeof(out)), 1);
	EXPECT_STREQ(out, "/profile");
	EXPECT_EQ(plat_localappdata(out, sizeof(out)), 1);
	EXPECT_STREQ(out, "/local");

	/* A folder that does not fit is absent, never cut into another. */
	plat_setenv("HOME", nullptr);
	plat_setenv("XDG_DATA_HOME", nullptr);
	plat_setenv("USERPROFILE", "/a/rather/long/profile/path");
	plat_setenv("LOCALAPPDATA", "/a/rather/long/local/path");
	EXPECT_EQ(plat_userprofile(out, sizeof(out)), 0);
	EXPECT_STREQ(out, "");
	EXPECT_EQ(plat_localappdata(out, sizeof(out)), 0);
	EXPECT_STREQ(out, "");

	/* Exactly cap - 1 bytes fit; a canary past the capacity stays. */
	char small[6];
	small[5] = '#';
	plat_setenv("USERPROFILE", "/a/rr");
	EXPECT_EQ(plat_userprofile(small, 5), 0);
	EXPECT_EQ(small[5], '#');
	plat_setenv("USERPROFILE", "/a/r");
	EXPECT_EQ(plat_userprofile(small, 5), 1);
	EXPECT_STREQ(small, "/a/r");
	EXPECT_EQ(small[5], '#');
}

TEST(PlatFolders, FallBackOnPosixOnly)
{
	env_guard g({ "USERPROFILE", "LOCALAPPDATA", "HOME", "XDG_DATA_HOME" });
	char out[64];

	plat_setenv("USERPROFILE", nullptr);
	plat_setenv("LOCALAPPDATA", nullptr);
	plat_setenv("XDG_DATA_HOME", nullptr);
	plat_setenv("HOME", "/home/u");
	if (posix_target()) {
		EXPECT_EQ(plat_userprofile(out, sizeof(out)), 1);
		EXPECT_STREQ(out, "/home/u");
		EXPECT_EQ(plat_localappdata(out, sizeof(out)), 1);
		EXPECT_STREQ(out, "/home/u/.local/share");
		plat_setenv("XDG_DATA_HOME", "/xdg");
		plat_setenv("LOCALAPPDATA", "");
		EXPECT_EQ(plat_localappdata(out, sizeof(out)), 1);
		EXPECT_STREQ(out, "/xdg");
		plat_setenv("HOME", nullptr);
		plat_setenv("XDG_DATA_HOME", nullptr);
	}
	EXPECT_EQ(plat_userprofile(out, sizeof(out)), 0);
	EXPECT_STREQ(out, "");
	EXPECT_EQ(plat_localappdata(out, sizeof(out)), 0);
	EXPECT_STREQ(out, "");
}

namespace {

/* The whole content of path through plat_file_open, or "<refused>". */
std::string open_and_read(const std::string &path, int flags, plat_file *f)
{
	if (!plat_file_open(f, path.c_str(), flags)) {
		EXPECT_EQ(f->h, -1);
		return "<refused>";
	}
	std::string got;
	char buf[7];
	size_t n;
	while ((n = plat_file_read(f, buf, sizeof(buf))) > 0)
		got.append(buf, n);
	plat_file_close(f);
	EXPECT_EQ(f->h, -1);
	plat_file_close(f); /* a second close does nothing */
	return got;
}

} // namespace

TEST(PlatFileOpen, ReadsRegularFilesWithSizeAndTime)
{
	harness::world w;
	const std::string bytes("a\r\nb\0c\xff", 7);
	w.write("f", bytes);
	w.set_mtime("f", -3600);
	w.mkdir("d");
	const std::string rel = std::string(200, 'a') + "/" + std::string(120, 'b') + "/long";
	w.write(rel, "far");
	ASSERT_GT(w.path(rel).size(), 330u);

	plat_file f;
	ASSERT_TRUE(plat_file_open(&f, w.path("f").c_str(), PLAT_OPEN_NOFOLLOW));
	EXPECT_EQ(f.size, 7);
	EXPECT_NEAR((double)f.mtime, (double)(plat_time() - 3600), 5.0);
	plat_file_close(&f);
	EXPECT_EQ(open_and_read(w.path("f"), 0, &f), bytes);
	EXPECT_EQ(open_and_read(w.path(rel), PLAT_OPEN_NOFOLLOW, &f), "far");
	EXPECT_EQ(open_and_read(w.path("d"), 0, &f), "<refused>");
	EXPECT_EQ(open_and_read(w.path("missing"), 0, &f), "<refused>");
	EXPECT_EQ(open_and_read("", 0, &f), "<refused>");
	EXPECT_FALSE(plat_file_open(&f, nullptr, 0));
	char buf[4];
	EXPECT_EQ(plat_file_read(&f, buf, sizeof(buf)), 0u) << "a closed file reads nothing";
}

TEST(PlatFileOpen, RefusesWhatIsNoRegularFile)
{
	harness::world w;
	plat_file f;
	if (!posix_target()) {
		/* Device names open a device in any folder, with any extension. */
		w.write("console.txt", "c");
		w.write("NULL.txt", "n");
		EXPECT_EQ(open_and_read(w.path("console.txt"), 0, &f), "c");
		EXPECT_EQ(open_and_read(w.path("NULL.txt"), 0, &f), "n");
		for (const char *dev : {"NUL", "nul.txt", "CON", "Aux.json", "COM1", "lpt9.txt",
					"conin$", "NUL .txt"})
			EXPECT_EQ(open_and_read(w.path(dev), 0, &f), "<refused>") << dev;
		EXPECT_EQ(open_and_read("\\\\.\\NUL", 0, &f), "<refused>");
		return;
	}
	ASSERT_EQ(std::system(("mkfifo '" + w.path("fifo") + "'").c_str()), 0);
	EXPECT_EQ(open_and_read(w.path("fifo"), 0, &f), "<refused>") << "and it did not block";
	fs::create_symlink("/dev/zero", w.path("zero"));
	EXPECT_EQ(open_and_read(w.path("zero"), 0, &f), "<refused>");
	EXPECT_EQ(open_and_read("/dev/null", 0, &f), "<refused>");

	/* A link is followed, unless the caller says not to. */
	w.write("real", "r");
	fs::create_symlink(w.path("real"), w.path("link"));
	EXPECT_EQ(open_and_read(w.path("link"), 0, &f), "r");
	EXPECT_EQ(open_and_read(w.path("link"), PLAT_OPEN_NOFOLLOW, &f), "<refused>");
}
