/*
 * The state the metrics companion keeps between runs is used only from a
 * regular file of the user's in folders only the user can write; anything
 * else in its place neither blocks the probe nor feeds it.
 */
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "proc.h"
#include "sglang_metrics.h"

namespace {

const std::string kFixture = std::string(QV_FIXTURES) + "/a_recent_eagle";

/* One probe of url with its cache folder under cache, at clock t_ms. */
ctest::ProcResult probe(const std::string &url, const std::string &cache, const char *t_ms)
{
	std::vector<std::string> env = ctest::base_env();
	env.push_back("XDG_CACHE_HOME=" + cache);
	env.push_back(std::string("QUORVANE_TEST_CLOCK_MS=") + t_ms);
	return ctest::run({QV_METRICS_BIN, url}, env, 15000);
}

bool has_window(const ctest::ProcResult &r)
{
	return nlohmann::json::parse(r.out, nullptr, false).contains("window_s");
}

} // namespace

TEST(CompanionState, OnlyAPrivateRegularFileIsUsed)
{
	ctest::Mock mock({kFixture});
	const std::string url = mock.url();
	ctest::TempDir home;
	const std::string dir = home.path() + "/c/quorvane/sglang-metrics";
	const std::string file = dir + "/" + sgm::state_file_name(url);

	/* A good state, kept aside as the target of a link. */
	ASSERT_EQ(probe(url, home.path() + "/good", "7000000").status, 0);
	const std::string good = home.path() + "/good/quorvane/sglang-metrics/" + sgm::state_file_name(url);
	ASSERT_FALSE(ctest::read_text(good).empty());

	/* A pipe in the file's place: no writer ever comes, yet the probe ends. */
	ctest::write_text(dir + "/x", "");
	ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
	ctest::ProcResult r = probe(url, home.path() + "/c", "7005000");
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;

	/* A link to a good state is not followed. */
	unlink(file.c_str());
	ASSERT_EQ(symlink(good.c_str(), file.c_str()), 0);
	r = probe(url, home.path() + "/c", "7005000");
	EXPECT_FALSE(has_window(r)) << r.out;
	EXPECT_NE(r.err.find("link"), std::string::npos) << r.err;

	/* The good state itself, but in a folder that others can write to. */
	unlink(file.c_str());
	ASSERT_EQ(link(good.c_str(), file.c_str()), 0);
	ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
	r = probe(url, home.path() + "/c", "7005000");
	EXPECT_FALSE(has_window(r)) << r.out;
	EXPECT_NE(r.err.find("others can write"), std::string::npos) << r.err;

	/* Made private again, the same file serves. */
	ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
	r = probe(url, home.path() + "/c", "7005000");
	EXPECT_TRUE(has_window(r)) << r.out << r.err;
	EXPECT_EQ(r.err, "");
}
