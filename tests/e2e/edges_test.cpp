/*
 * The edges of outside text through the built plug-in: URLs and endpoints
 * too long to hold, bytes that are not UTF-8 in every JSON answer, names
 * that are no session, and session roots whose paths do not fit.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "scenario.h"

using harness::json_error;
using harness::json_header;
using harness::scenario;
using harness::sessions_entry;
using harness::sessions_opening;

namespace {

const std::string REPLACEMENT = "\xef\xbf\xbd";
const std::string OBJ = "{\"model\":\"m\"}";

/* A URL of exactly len bytes that url_ok accepts. */
std::string long_url(size_t len)
{
	std::string u = "http://srv/";
	return u + std::string(len - u.size(), 'a');
}

} // namespace

TEST(E2eEdges, UrlsTooLongAreRefusedNeverCut)
{
	scenario s;
	s.metrics_prints(OBJ);
	/* 511 bytes fit and are probed whole; 512 and 531 do not fit. */
	auto r = s.get("action=metrics&url=" + long_url(511));
	ASSERT_EQ(r.out.rfind(json_header + "{\"model\"", 0), 0u) << r.out;
	ASSERT_EQ(s.metrics_runs().size(), 1u);
	EXPECT_EQ(s.metrics_runs()[0], (std::vector<std::string>{ long_url(511) }));
	for (size_t len : { 512, 531 }) {
		r = s.get("action=metrics&url=" + long_url(len));
		EXPECT_EQ(r.out, json_error("400 Bad Request", "invalid url (too long)")) << len;
	}
	EXPECT_EQ(s.metrics_runs().size(), 1u) << "a cut URL was probed";

	/* A session's endpoint too long to hold is no valid endpoint. */
	s.use_root("root");
	s.session("root/s1", long_url(541));
	r = s.get("action=metrics&id=s1");
	EXPECT_EQ(r.out, json_error("400 Bad Request", "session OPENAI_BASE_URL is not usable"));
	EXPECT_EQ(s.metrics_runs().size(), 1u) << "a cut endpoint was probed";
	s.env["QUORVANE_TMUX_BIN"] = s.p("no-such-companion");
	EXPECT_EQ(s.get("action=sessions").out,
		  sessions_opening + sessions_entry("s1", "s1", "") + "]}\n");
}

TEST(E2eEdges, AnswersAreValidUtf8)
{
	scenario s;
	s.metrics_prints(OBJ);
	auto r = s.get("action=metrics&url=%ff%fe");
	EXPECT_EQ(r.out, json_error("400 Bad Request", "invalid url (must be http:// or https://)",
				    REPLACEMENT + REPLACEMENT));
	r = s.get("action=metrics&url=http://srv/&id=%ff%fe");
	EXPECT_NE(r.out.find(",\"session\":\"" + REPLACEMENT + REPLACEMENT + "\"}\n"),
		  std::string::npos)
		<< r.out;

	/* A listed name of 161 bytes is cut to fit, between characters: 79
	 * two-byte characters and no half of the 80th. */
	std::string name;
	for (int i = 0; i < 80; i++)
		name += "\xc3\xa9";
	name += "x";
	s.tmux_prints("{\"sessions\":[{\"name\":\"" + name + "\"},{\"name\":\"b\xff" "d\"}]}");
	EXPECT_EQ(s.get("action=sessions").out,
		  sessions_opening + sessions_entry(name.substr(0, 158), "", "") + "," +
			  sessions_entry("b" + REPLACEMENT + "d", "", "") + "]}\n");
}

TEST(E2eEdges, DotsAreNoSessionNames)
{
	scenario s;
	s.metrics_prints(OBJ);
	s.use_root("root");
	/* The root itself holds a snapshot: "." would name it. */
	s.session("root", "http://srv/");
	s.session("root/s1", "http://srv/");
	for (const char *id : { ".", "..", "%2e" }) {
		auto r = s.get(std::string("action=metrics&id=") + id);
		EXPECT_EQ(r.out,
			  json_error("400 Bad Request", "select a session or enter an SGLang URL"))
			<< id;
	}
	EXPECT_TRUE(s.metrics_runs().empty());
	EXPECT_FALSE(s.w.exists("root/sglang_metrics.json"));
}

TEST(E2eEdges, RootsThatDoNotFitAreAbsent)
{
	if (plat_sep != '/')
		GTEST_SKIP() << "paths past 260 bytes need the POSIX file system";
	scenario s;
	s.env["QUORVANE_TMUX_BIN"] = s.p("no-such-companion");
	/* A folder of exactly 511 bytes, the most a root may have, with a
	 * session of its own; the root asked for lies one level further. */
	std::string rel = "r";
	while (s.p(rel).size() < 511)
		rel += s.p(rel).size() % 200 == 199 ? '/' : 'r';
	ASSERT_EQ(s.p(rel).size(), 511u);
	s.session(rel + "/decoy", "http://decoy/");
	s.w.mkdir(rel + "/inner/real");
	s.env["QV_SESSIONS_DIR"] = s.p(rel + "/inner");
	EXPECT_EQ(s.get("action=sessions").out, sessions_opening + "]}\n");

	/* The folder of 511 bytes itself is a root and lists its sessions. */
	s.env["QV_SESSIONS_DIR"] = s.p(rel);
	EXPECT_NE(s.get("action=sessions").out.find(sessions_entry("decoy", "decoy", "http://decoy/")),
		  std::string::npos);
}
