/* The session listing through the binary: the companion's JSON, the newest
 * session directory of each worktree, and each directory's endpoint. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "scenario.h"

using harness::sessions_entry;
using harness::sessions_opening;
using harness::scenario;
using harness::json_text;

namespace {

/* A worktree rel with session directories; each gets a marker file whose
 * time is now plus the given offset, and a snapshot naming its endpoint. */
struct worktree {
	scenario &s;
	std::string rel;

	std::string dir(const std::string &sid) const { return rel + "/.quorvane/sessions/" + sid; }

	void session(const std::string &sid, const std::string &marker, int64_t offset,
		     const std::string &endpoint = "")
	{
		s.w.mkdir(dir(sid));
		if (!endpoint.empty()) {
			s.w.write(dir(sid) + "/config-snapshot.txt", "OPENAI_BASE_URL=" + endpoint + "\n");
			s.w.set_mtime(dir(sid) + "/config-snapshot.txt", offset);
		}
		if (marker != "config-snapshot.txt") {
			s.w.write(dir(sid) + "/" + marker, "{}");
			s.w.set_mtime(dir(sid) + "/" + marker, offset);
		}
	}
};

std::string listed(scenario &s)
{
	auto r = s.get("action=sessions");
	EXPECT_EQ(r.out.rfind(sessions_opening, 0), 0u) << r.out;
	return r.out.substr(sessions_opening.size());
}

} // namespace

TEST(SessionListing, NewestDirectoryOfEachWorktree)
{
	scenario s;
	worktree a{s, "wa"}, b{s, "wb"};
	a.session("old", "meta.json", -500, "http://old/");
	a.session("new", "meta.json", -10, "http://new:30000/v1");
	a.session(".dot-newest", "meta.json", 0, "http://dot/");
	s.w.write(a.dir("file-newest"), "not a directory");
	a.session("no-marker", "notes.txt", 0);
	b.session("only", "config-snapshot.txt", -50, "http://b/");
	s.tmux_prints("{\"sessions\":[{\"name\":\"A\",\"worktree\":\"" + json_text(s.p("wa")) +
		      "\"},{\"name\":\"B\",\"worktree\":\"\",\"project\":\"" + json_text(s.p("wb")) +
		      "\"},{\"name\":\"C\",\"worktree\":\"" + json_text(s.p("missing")) + "\"}]}");
	EXPECT_EQ(listed(s), sessions_entry("A", "new", "http://new:30000/v1") + "," +
				     sessions_entry("B", "only", "http://b/") + "," + sessions_entry("C", "", "") +
				     "]}\n");
}

TEST(SessionListing, FirstMarkerGivesTheTime)
{
	scenario s;
	worktree a{s, "wa"};
	/* "x" has an old infobox.json and a new meta.json: the infobox counts. */
	a.session("x", "infobox.json", -1000, "http://x/");
	s.w.write(a.dir("x") + "/meta.json", "{}");
	s.w.set_mtime(a.dir("x") + "/meta.json", 0);
	a.session("y", "meta.json", -500, "http://y/");
	s.tmux_prints("{\"sessions\":[{\"name\":\"A\",\"worktree\":\"" + json_text(s.p("wa")) + "\"}]}");
	EXPECT_EQ(listed(s), sessions_entry("A", "y", "http://y/") + "]}\n");
}

TEST(SessionListing, EqualTimesGoToTheLastEnumerated)
{
	scenario s;
	worktree a{s, "wa"};
	for (const char *sid : {"d1", "d2", "d3"})
		a.session(sid, "meta.json", -60, std::string("http://") + sid + "/");
	/* The order the platform enumerates them decides. */
	plat_dir d;
	std::string last;
	ASSERT_TRUE(plat_dir_open(&d, s.p(a.rel + "/.quorvane/sessions").c_str()));
	while (plat_dir_next(&d))
		if (d.name[0] != '.')
			last = d.name;
	plat_dir_close(&d);
	s.tmux_prints("{\"sessions\":[{\"name\":\"A\",\"worktree\":\"" + json_text(s.p("wa")) + "\"}]}");
	EXPECT_EQ(listed(s), sessions_entry("A", last, "http://" + last + "/") + "]}\n");
}

TEST(SessionListing, ScannerRules)
{
	scenario s;
	/* Strings with braces and escaped quotes, an unnamed object, a
	 * non-string name, a nested object whose name comes first, and an
	 * object after the list all follow the scanner's rules. */
	s.tmux_prints("{\"x\":\"{\",\"sessions\":[{\"name\":\"a}{\\\"\",\"k\":\"}\"},"
		      "{\"other\":1},{\"name\":\"\"},{\"name\":5},"
		      "{\"inner\":{\"name\":\"nested\"},\"name\":\"outer\"},"
		      "{\"name\":\"last\"}],\"extra\":{\"name\":\"after\"}}",
		      1);
	EXPECT_EQ(listed(s), sessions_entry("a}{\\\"", "", "") + "," + sessions_entry("nested", "", "") + "," +
				     sessions_entry("last", "", "") + "," + sessions_entry("after", "", "") + "]}\n");
}

TEST(SessionListing, CutOutputKeepsCompletedObjects)
{
	scenario s;
	s.use_root("root");
	s.session("root/fb", "");
	s.tmux_prints("{\"sessions\":[{\"name\":\"one\"},{\"name\":\"two\"},{\"name\":\"thr");
	EXPECT_EQ(listed(s), sessions_entry("one", "", "") + "," + sessions_entry("two", "", "") + "]}\n");
	/* Nothing usable: the fallback lists the root. */
	for (const char *text : {"", "{\"sessions\":[", "{\"sessions\":[]}", "{\"list\":[{\"name\":\"x\"}]}",
				 "{\"sessions\":[{\"name\":\"a\\"}) {
		s.tmux_prints(text);
		EXPECT_EQ(listed(s), sessions_entry("fb", "fb", "") + "]}\n") << text;
	}
}

TEST(SessionListing, AtMost128Sessions)
{
	scenario s;
	std::string text = "{\"sessions\":[";
	for (int i = 0; i < 130; i++)
		text += std::string(i ? "," : "") + "{\"name\":\"s" + std::to_string(i) + "\"}";
	s.tmux_prints(text + "]}");
	std::string body = listed(s);
	EXPECT_NE(body.find(sessions_entry("s127", "", "")), std::string::npos);
	EXPECT_EQ(body.find("\"s128\""), std::string::npos);
}

TEST(SessionListing, LongDirectoryNameIsCutInSidOnly)
{
	scenario s;
	worktree a{s, "w"};
	std::string name(200, 'n');
	a.session(name, "meta.json", -5, "http://long/");
	s.tmux_prints("{\"sessions\":[{\"name\":\"L\",\"worktree\":\"" + json_text(s.p("w")) + "\"}]}");
	/* The endpoint comes from the directory under its full name. */
	EXPECT_EQ(listed(s), sessions_entry("L", name.substr(0, 159), "http://long/") + "]}\n");
}

TEST(SessionListing, EndpointThroughProfiles)
{
	scenario s;
	worktree a{s, "w"};
	s.env["USERPROFILE"] = s.p("up");
	s.env["LOCALAPPDATA"] = s.p("lad");
	s.w.write("up/.claude/quorvane-env/work.txt", "OPENAI_BASE_URL=http://user-work/\n");
	s.w.write("up/.claude/quorvane-env/other.txt", "NOTHING=here\n");
	s.w.write("lad/quorvane/quorvane-env/other.txt", "OPENAI_BASE_URL=http://local-other/\n");
	s.w.write("lad/quorvane/quorvane-env/act.txt", "OPENAI_BASE_URL=http://local-act/\n");

	a.session("1-info", "infobox.json", -90);
	s.w.write(a.dir("1-info") + "/infobox.json", "{\"profile\":\"work\"}");
	s.w.write(a.dir("1-info") + "/config-snapshot.txt", "ACTIVE_PROFILE=act\n");
	a.session("2-local", "infobox.json", -80);
	s.w.write(a.dir("2-local") + "/infobox.json", "{\"name\":\"x\",\"profile\":\"other\"}");
	a.session("3-active", "infobox.json", -70);
	s.w.write(a.dir("3-active") + "/infobox.json", "{}");
	s.w.write(a.dir("3-active") + "/config-snapshot.txt", "ACTIVE_PROFILE=act\n");
	a.session("4-unsafe", "infobox.json", -60);
	s.w.write(a.dir("4-unsafe") + "/infobox.json", "{\"profile\":\"../work\"}");
	s.w.write(a.dir("4-unsafe") + "/config-snapshot.txt", "ACTIVE_PROFILE=act\n");
	a.session("5-own", "infobox.json", -50);
	s.w.write(a.dir("5-own") + "/infobox.json", "{\"profile\":\"work\"}");
	s.w.write(a.dir("5-own") + "/config-snapshot.txt", "OPENAI_BASE_URL=http://own/\n");

	const char *expect[][2] = {{"1-info", "http://user-work/"},
				   {"2-local", "http://local-other/"},
				   {"3-active", "http://local-act/"},
				   {"4-unsafe", ""},
				   {"5-own", "http://own/"}};
	for (const auto &e : expect) {
		/* Make this directory the newest of the worktree. */
		s.w.set_mtime(a.dir(e[0]) + "/infobox.json", 100);
		s.tmux_prints("{\"sessions\":[{\"name\":\"P\",\"worktree\":\"" + json_text(s.p("w")) + "\"}]}");
		EXPECT_EQ(listed(s), sessions_entry("P", e[0], e[1]) + "]}\n") << e[0];
		s.w.set_mtime(a.dir(e[0]) + "/infobox.json", -1000);
	}
}

/* Nearly all that the reader takes in (8 MiB) of unnamed objects between two
 * named ones: every object is searched only within itself, so the request
 * ends well inside the harness's bound and lists both names. */
TEST(SessionListing, FloodOfUnnamedObjects)
{
	scenario s;
	const size_t pairs = ((size_t)8 << 20) / 3 - 4096;
	std::string text = "{\"sessions\":[{\"name\":\"first\"},";
	text.reserve(pairs * 3 + 64);
	for (size_t i = 0; i < pairs; i++)
		text += "{},";
	text += "{\"name\":\"last\"}]}";
	s.tmux_prints(text);
	auto r = s.get("action=sessions");
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.out, sessions_opening + sessions_entry("first", "", "") + "," + sessions_entry("last", "", "") + "]}\n");
}
