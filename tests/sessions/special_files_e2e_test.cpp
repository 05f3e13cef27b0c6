/* Session files that are no regular file, through the binary: a FIFO or a
 * link to an endless device in place of a snapshot or an infobox is passed
 * over at once, as a missing file is. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "scenario.h"

using harness::json_error;
using harness::json_header;
using harness::scenario;

namespace {

/* A session root with s1; its snapshot and infobox are laid down by each
 * test. A run that hangs is cut off by the harness and fails the test. */
struct special_scenario : scenario {
	special_scenario()
	{
		use_root("root");
		w.mkdir("root/s1");
		metrics_prints("{\"url\":\"http://prof:1\"}");
		env["USERPROFILE"] = p("up");
		w.write("up/.claude/quorvane-env/prof.txt", "OPENAI_BASE_URL=http://prof:1/\n");
	}
	void fifo(const std::string &rel)
	{
		ASSERT_EQ(std::system(("mkfifo '" + p(rel) + "'").c_str()), 0);
	}
	void dev_zero(const std::string &rel)
	{
		std::filesystem::create_symlink("/dev/zero", p(rel));
	}
};

const std::string no_url = "session has no OPENAI_BASE_URL (not an OpenAI-compatible provider)";

} // namespace

TEST(SpecialSessionFiles, SnapshotThatIsAFifoOrEndless)
{
	if (plat_sep != '/')
		GTEST_SKIP() << "FIFOs and /dev/zero exist on POSIX only";
	special_scenario s;
	s.fifo("root/s1/config-snapshot.txt");
	auto r = s.get("action=metrics&id=s1");
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.out, json_error("404 Not Found", no_url));

	/* The sessions action reads the same file when it lists the root. */
	s.env["QUORVANE_TMUX_BIN"] = s.p("no-such-companion");
	r = s.get("action=sessions");
	EXPECT_EQ(r.out, json_header + "{\"ok\":true,\"sessions\":[{\"name\":\"s1\",\"sid\":\"s1\","
				       "\"url\":\"\",\"has_url\":false}]}\n");

	std::filesystem::remove(s.p("root/s1/config-snapshot.txt"));
	s.dev_zero("root/s1/config-snapshot.txt");
	r = s.get("action=metrics&id=s1");
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.out, json_error("404 Not Found", no_url));
	EXPECT_TRUE(s.metrics_runs().empty());
}

TEST(SpecialSessionFiles, InfoboxThatIsAFifoLeavesTheProfileToTheSnapshot)
{
	if (plat_sep != '/')
		GTEST_SKIP() << "FIFOs and /dev/zero exist on POSIX only";
	special_scenario s;
	s.w.write("root/s1/config-snapshot.txt", "ACTIVE_PROFILE=prof\n");
	for (const char *kind : {"fifo", "zero"}) {
		std::filesystem::remove(s.p("root/s1/infobox.json"));
		if (std::string(kind) == "fifo")
			s.fifo("root/s1/infobox.json");
		else
			s.dev_zero("root/s1/infobox.json");
		auto r = s.get("action=metrics&id=s1&fresh=1");
		EXPECT_FALSE(r.timed_out) << kind;
		EXPECT_EQ(r.out.rfind(json_header + "{\"url\":\"http://prof:1\",\"ok\":true", 0), 0u)
			<< kind << ": " << harness::describe(r);
	}
	ASSERT_EQ(s.metrics_runs().size(), 2u);
	EXPECT_EQ(s.metrics_runs()[0][0], "http://prof:1/");
}
