/* The whole-stream readers: growth points, caps, and which files are read. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "temp_dir.h"
#include "util/util.h"

static std::string read_back(const std::string &path, uint64_t *len)
{
	char *buf = read_file_all(path.c_str(), len);
	if (buf == nullptr)
		return "<null>";
	std::string s(buf, *len);
	EXPECT_EQ(buf[*len], '\0');
	free(buf);
	return s;
}

static std::string pipe_back(const std::string &bytes, uint64_t *len, long *left_at)
{
	FILE *fp = tmpfile();
	fwrite(bytes.data(), 1, bytes.size(), fp);
	rewind(fp);
	char *buf = read_pipe_all(fp, len);
	*left_at = ftell(fp);
	fclose(fp);
	std::string s(buf, *len);
	EXPECT_EQ(buf[*len], '\0');
	free(buf);
	return s;
}

TEST(ReadFileAll, MissingEmptyAndNull)
{
	temp_dir t;
	uint64_t len = 99;

	EXPECT_EQ(read_back((t.path / "nope").string(), &len), "<null>");
	EXPECT_EQ(len, 0u);
	EXPECT_EQ(read_back(t.file("empty", ""), &len), "");
	EXPECT_EQ(len, 0u);
	len = 99;
	EXPECT_EQ(read_pipe_all(nullptr, &len), nullptr);
	EXPECT_EQ(len, 0u);
}

TEST(ReadFileAll, SizesAroundGrowthPointsAreReadWhole)
{
	temp_dir t;
	/* 3584 bytes leave 512 free in the first buffer, 3585 leave 511 and
	 * make it grow; zero bytes inside are counted. */
	for (size_t n : {3584u, 3585u, 4095u, 4096u, 8191u, 100000u}) {
		std::string bytes(n, 'q');
		bytes[n / 2] = '\0';
		uint64_t len = 0;
		EXPECT_EQ(read_back(t.file("f", bytes), &len), bytes) << n;
		EXPECT_EQ(len, n);
	}
}

TEST(ReadFileAll, CutAtEightMebibytes)
{
	temp_dir t;
	uint64_t len = 0;
	std::string got = read_back(t.file("big", std::string(9u << 20, 'b')), &len);
	EXPECT_GE(len, (8u << 20) - 511);
	EXPECT_LE(len, (8u << 20) - 1);
	EXPECT_EQ(got.size(), len);
}

TEST(ReadPipeAll, SizesAroundGrowthPoints)
{
	for (size_t n : {0u, 1u, 15360u, 15361u, 16383u, 16384u, 70000u}) {
		uint64_t len = 0;
		long left_at = 0;
		std::string bytes(n, 'p');
		EXPECT_EQ(pipe_back(bytes, &len, &left_at), bytes) << n;
		EXPECT_EQ(len, n);
	}
}

TEST(ReadPipeAll, CutAtCapLeavesTheRestUnread)
{
	uint64_t len = 0;
	long left_at = 0;
	std::string got = pipe_back(std::string(10u << 20, 'c'), &len, &left_at);
	EXPECT_GE(len, (8u << 20) - 1023);
	EXPECT_LE(len, (8u << 20) - 1);
	EXPECT_EQ((uint64_t)left_at, len) << "read past the cap";
}

namespace {

bool posix_target()
{
	return plat_sep == '/';
}

/* A FIFO at path, made with the system's tool (POSIX only). */
bool make_fifo(const std::string &path)
{
	return std::system(("mkfifo '" + path + "'").c_str()) == 0;
}

} // namespace

/* Only regular files are read: a directory gives null on both targets; a
 * FIFO with no writer and a link to an endless device give null at once
 * instead of blocking or reading for ever. */
TEST(ReadFileAll, OnlyRegularFiles)
{
	temp_dir t;
	uint64_t len = 99;
	EXPECT_EQ(read_back(t.path.string(), &len), "<null>");
	EXPECT_EQ(len, 0u);
	if (!posix_target())
		GTEST_SKIP() << "FIFOs and /dev/zero exist on POSIX only";
	const std::string fifo = (t.path / "fifo").string();
	ASSERT_TRUE(make_fifo(fifo));
	EXPECT_EQ(read_back(fifo, &len), "<null>");
	std::filesystem::create_symlink("/dev/zero", t.path / "zero");
	EXPECT_EQ(read_back((t.path / "zero").string(), &len), "<null>");
	/* A link to a regular file is followed. */
	t.file("real", "bytes");
	std::filesystem::create_symlink(t.path / "real", t.path / "link");
	EXPECT_EQ(read_back((t.path / "link").string(), &len), "bytes");
}

/* Paths past the 260 characters where the Windows runtime's fopen stops. */
TEST(ReadFileAll, LongPath)
{
	temp_dir t;
	const std::filesystem::path dir = t.path / std::string(200, 'a') / std::string(120, 'b');
	std::filesystem::create_directories(dir);
	const std::string path = (dir / "infobox.json").string();
	ASSERT_GT(path.size(), 330u);
	std::ofstream(path, std::ios::binary) << "{\"profile\":\"p\"}";
	uint64_t len = 0;
	EXPECT_EQ(read_back(path, &len), "{\"profile\":\"p\"}");
	EXPECT_EQ(len, 15u);
}
