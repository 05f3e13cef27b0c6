/* The sessions action through the binary: the listing and the fallback. */
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "scenario.h"

using harness::sessions_entry;
using harness::sessions_opening;
using harness::scenario;

TEST(SessionsAction, NothingAnywhereGivesAnEmptyList)
{
	scenario s;
	s.env["QUORVANE_TMUX_BIN"] = s.p("no-such-companion");
	auto r = s.get("action=sessions");
	EXPECT_EQ(r.out, sessions_opening + "]}\n");
	EXPECT_EQ(r.status, 0);
}

TEST(SessionsAction, ListedSessionsWithoutDirectoriesSkipTheFallback)
{
	scenario s;
	s.use_root("root");
	s.session("root/fallback", "http://f/");
	s.tmux_prints("{\"sessions\":[{\"name\":\"one\"},{\"name\":\"two\",\"worktree\":\"" +
		      std::string("nowhere") + "\"}]}");
	auto r = s.get("action=sessions");
	EXPECT_EQ(r.out, sessions_opening + sessions_entry("one", "", "") + "," + sessions_entry("two", "", "") + "]}\n");
	ASSERT_EQ(s.tmux_runs().size(), 1u);
	EXPECT_EQ(s.tmux_runs()[0], (std::vector<std::string>{"--list", "--output-json"}));
}

TEST(SessionsAction, FallbackListsTheFirstRootOnly)
{
	scenario s;
	s.env["QUORVANE_TMUX_BIN"] = s.p("no-such-companion");
	s.use_root("root");
	s.session("root/alpha", "http://a:1/v1");
	s.session("root/beta", "");
	s.session("root/.hidden", "http://h/");
	s.w.write("root/plain-file", "OPENAI_BASE_URL=http://p/\n");
	/* Not validated in the fallback: listed as the snapshot says. */
	s.session("root/gamma", "not a url");
	s.env["USERPROFILE"] = s.p("profile");
	s.session("profile/.quorvane/sessions/later", "http://l/");
	s.env["HOME"] = s.p("profile");

	auto r = s.get("action=sessions");
	ASSERT_EQ(r.out.rfind(sessions_opening, 0), 0u) << r.out;
	std::string body = r.out.substr(sessions_opening.size());
	/* The order is the platform's; each directory appears once. */
	for (const auto &e : {sessions_entry("alpha", "alpha", "http://a:1/v1"), sessions_entry("beta", "beta", ""),
			      sessions_entry("gamma", "gamma", "not a url")})
		EXPECT_NE(body.find(e), std::string::npos) << e << " in " << body;
	EXPECT_EQ(body.find("hidden"), std::string::npos);
	EXPECT_EQ(body.find("plain-file"), std::string::npos);
	EXPECT_EQ(body.find("later"), std::string::npos);
	EXPECT_EQ(body.substr(body.size() - 3), "]}\n");
}

TEST(SessionsAction, FallbackStopsAt128Entries)
{
	scenario s;
	s.env["QUORVANE_TMUX_BIN"] = s.p("no-such-companion");
	s.use_root("root");
	for (int i = 0; i < 200; i++)
		s.w.mkdir("root/s" + std::to_string(i));
	auto r = s.get("action=sessions");
	size_t count = 0;
	for (size_t at = r.out.find("{\"name\""); at != std::string::npos;
	     at = r.out.find("{\"name\"", at + 1))
		count++;
	EXPECT_EQ(count, 128u);
	EXPECT_EQ(r.out.substr(r.out.size() - 3), "]}\n");
}

TEST(SessionsAction, EarlierRootWithoutSessionsHidesLaterOnes)
{
	scenario s;
	s.env["QUORVANE_TMUX_BIN"] = s.p("no-such-companion");
	s.use_root("empty-root");
	s.env["USERPROFILE"] = s.p("profile");
	s.env["HOME"] = s.p("profile");
	s.session("profile/.quorvane/sessions/later", "http://l/");
	EXPECT_EQ(s.get("action=sessions").out, sessions_opening + "]}\n");
}

TEST(SessionsAction, NamesAreEscaped)
{
	scenario s;
	s.tmux_prints("{\"sessions\":[{\"name\":\"q\\\"b\\\\s\\tt\\u0001\"}]}");
	EXPECT_EQ(s.get("action=sessions").out,
		  sessions_opening + sessions_entry("q\\\"b\\\\s\\tt" "u0001", "", "") + "]}\n");
}

TEST(SessionsAction, FailingCompanionsFallBack)
{
	/* A companion that hangs is killed at its bound; one that floods its
	 * output is cut at the reader's cap; neither holds the request. */
	for (const char *var : {"FAKE_TMUX_SLEEP_MS", "FAKE_TMUX_FLOOD_MB"}) {
		scenario s;
		s.use_root("root");
		s.session("root/only", "http://o/");
		s.tmux_prints("{\"sessions\":[{\"name\":\"never\"}]}");
		s.env[var] = std::string(var).find("SLEEP") != std::string::npos ? "60000" : "100";
		int64_t start = plat_clock_ms();
		auto r = s.get("action=sessions");
		int64_t took = plat_clock_ms() - start;
		EXPECT_EQ(r.out, sessions_opening + sessions_entry("only", "only", "http://o/") + "]}\n") << var;
		EXPECT_EQ(r.status, 0);
		/* The bound is 5 s; the margin allows for a slow emulator. */
		EXPECT_LT(took, 20000) << var;
	}
}
