/* Session roots and endpoint resolution, called directly. */
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "platform/platform.h"
#include "sessions/sessions.h"

namespace {

/* Sets the user-folder variables for one test and clears them after. */
struct user_env {
	user_env() { clear(); }
	~user_env() { clear(); }
	static void clear()
	{
		for (const char *n : {"QV_SESSIONS_DIR", "LOCALAPPDATA", "USERPROFILE", "HOME",
				      "XDG_DATA_HOME"})
			plat_setenv(n, nullptr);
	}
};

std::string resolve(const std::string &dir)
{
	char url[ENDPOINT_CAP];
	int r = resolve_session_url(dir.c_str(), url);
	EXPECT_EQ(r, url[0] != '\0');
	return url;
}

} // namespace

TEST(CollectDefaultRoots, OrderAndDuplicates)
{
	user_env guard;
	harness::world w;
	char roots[4][ROOT_CAP];
	char sep[2] = {plat_sep, 0};

	EXPECT_EQ(collect_default_roots(roots, 4), 0);
	w.mkdir("lad/quorvane/sessions");
	w.mkdir("up/.quorvane/sessions");
	w.write("plain", "x");
	plat_setenv("QV_SESSIONS_DIR", w.path("plain").c_str());
	plat_setenv("USERPROFILE", w.path("up").c_str());
	ASSERT_EQ(collect_default_roots(roots, 4), 1);
	EXPECT_EQ(std::string(roots[0]), w.path("up/.quorvane/sessions"));

	/* The same directory twice, the first given with a trailing separator
	 * and stored with it. */
	std::string with_sep = w.path("lad/quorvane/sessions") + sep;
	plat_setenv("QV_SESSIONS_DIR", with_sep.c_str());
	plat_setenv("LOCALAPPDATA", w.path("lad").c_str());
	ASSERT_EQ(collect_default_roots(roots, 4), 3);
	EXPECT_EQ(std::string(roots[0]), with_sep);
	EXPECT_EQ(std::string(roots[1]), w.path("lad/quorvane/sessions"));
	EXPECT_EQ(std::string(roots[2]), w.path("up/.quorvane/sessions"));
}

TEST(ResolveSessionUrl, SourcesInOrder)
{
	user_env guard;
	harness::world w;
	w.write("up/.claude/quorvane-env/p.txt", "OPENAI_BASE_URL=http://up/\n");
	w.write("lad/quorvane/quorvane-env/p.txt", "OPENAI_BASE_URL=http://lad/\n");
	w.write("s/infobox.json", "{\"profile\":\"p\"}");

	EXPECT_EQ(resolve(""), "");
	EXPECT_EQ(resolve(w.path("s")), "") << "no user folder set";
	plat_setenv("LOCALAPPDATA", w.path("lad").c_str());
	EXPECT_EQ(resolve(w.path("s")), "http://lad/");
	plat_setenv("USERPROFILE", w.path("up").c_str());
	EXPECT_EQ(resolve(w.path("s")), "http://up/");
	/* The own snapshot wins; a value that is no URL is still returned. */
	w.write("s/config-snapshot.txt", "OPENAI_BASE_URL=not a url\n");
	EXPECT_EQ(resolve(w.path("s")), "not a url");
}

TEST(ResolveSessionUrl, ProfileNames)
{
	user_env guard;
	harness::world w;
	plat_setenv("USERPROFILE", w.path("up").c_str());
	std::string longname(200, 'p');
	w.write("up/.claude/quorvane-env/" + longname.substr(0, 159) + ".txt",
		"OPENAI_BASE_URL=http://cut/\n");
	w.write("up/.claude/quorvane-env/act.txt", "OPENAI_BASE_URL=http://act/\n");

	/* Infobox files of two bytes or less, without a string profile, or
	 * with an empty one leave the choice to ACTIVE_PROFILE. */
	w.write("s/config-snapshot.txt", "ACTIVE_PROFILE=act\n");
	for (const char *info : {"{}", "{\"profile\":1}", "{\"profile\":\"\"}"}) {
		w.write("s/infobox.json", info);
		EXPECT_EQ(resolve(w.path("s")), "http://act/") << info;
	}
	w.write("s/infobox.json", "{\"profile\":\"" + longname + "\"}");
	EXPECT_EQ(resolve(w.path("s")), "") << "a long profile is refused, never cut";
	w.write("s/infobox.json", "{\"profile\":\"a/b\"}");
	EXPECT_EQ(resolve(w.path("s")), "") << "an unsafe profile is not replaced";
}
