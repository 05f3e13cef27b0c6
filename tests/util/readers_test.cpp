/* The whole-stream readers: sizes around the growth points and the 8 MiB cut. */
#include <gtest/gtest.h>

#include <cstdlib>
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
