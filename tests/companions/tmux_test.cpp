/*
 * The tmux companion against a real tmux server on a private socket, never
 * the developer's own: odd session names, worktrees from the @worktree
 * option or the start directory, no server, no tmux at all, and a tmux
 * server too slow to answer in time.
 */
#include <chrono>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include "proc.h"

using json = nlohmann::json;

namespace {

/* A tmux server of its own, killed when the test ends. */
class TmuxServer {
public:
	TmuxServer() : socket_(dir_.path() + "/sock") {}
	~TmuxServer() { tmux({"kill-server"}); }
	const std::string &socket() const { return socket_; }
	const std::string &dir() const { return dir_.path(); }
	ctest::ProcResult tmux(std::vector<std::string> args) const
	{
		/* The options of tmux come before its command. */
		std::size_t at = !args.empty() && args[0] == "-u" ? 1 : 0;
		args.insert(args.begin() + static_cast<long>(at), {"-S", socket_});
		args.insert(args.begin(), ctest::which("tmux"));
		return ctest::run(args, env());
	}
	std::vector<std::string> env() const
	{
		std::vector<std::string> e = ctest::base_env();
		e.push_back("HOME=" + dir_.path());
		e.push_back("TMUX_TMPDIR=" + dir_.path());
		return e;
	}

private:
	ctest::TempDir dir_;
	std::string socket_;
};

std::map<std::string, std::string> list(const ctest::ProcResult &r)
{
	std::map<std::string, std::string> m;
	json j = json::parse(r.out, nullptr, false);
	EXPECT_TRUE(j.is_object() && j["sessions"].is_array()) << r.out;
	if (j.is_object() && j["sessions"].is_array())
		for (const json &s : j["sessions"])
			m[s["name"].get<std::string>()] = s["worktree"].get<std::string>();
	return m;
}

} // namespace

TEST(TmuxCompanion, OddNamesAndWorktrees)
{
	TmuxServer srv;
	std::string plain = srv.dir() + "/plain dir", wt = srv.dir() + "/wt";
	std::filesystem::create_directories(plain);
	std::filesystem::create_directories(wt);
	const std::vector<std::string> names = {"quote \"q\" 'single'", "back\\slash",
						"ünïcødé ☃ 会话", "  spaces  around ",
						"$1 looks like an id", "{\"sessions\":[]}"};
	std::vector<std::string> ids;
	for (const std::string &n : names) {
		ctest::ProcResult made = srv.tmux({"new-session", "-d", "-P", "-F", "#{session_id}", "-s", n, "-c", plain});
		ASSERT_EQ(made.status, 0) << n << made.err;
		ids.push_back(made.out.substr(0, made.out.find('\n')));
	}
	ASSERT_EQ(srv.tmux({"set-option", "-t", ids[0], "@worktree", wt}).status, 0);
	/* A worktree that holds a line feed and the companion's separator. */
	ASSERT_EQ(srv.tmux({"set-option", "-t", ids[1], "@worktree", wt + "/a\nb\x1f" "c"}).status, 0);

	/* tmux may escape some bytes of a name; the companion must report the
	 * names exactly as tmux itself lists them. */
	ctest::ProcResult own = srv.tmux({"-u", "list-sessions", "-F", "#{session_name}"});
	std::vector<std::string> tmux_names;
	for (std::size_t s = 0, nl; s < own.out.size(); s = nl + 1) {
		nl = own.out.find('\n', s);
		tmux_names.push_back(own.out.substr(s, nl - s));
	}
	ASSERT_EQ(tmux_names.size(), names.size());

	std::vector<std::string> env = srv.env();
	env.push_back("QUORVANE_TMUX_SOCKET=" + srv.socket());
	ctest::ProcResult r = ctest::run({QV_TMUX_BIN, "--list", "--output-json"}, env);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
	auto got = list(r);
	ASSERT_EQ(got.size(), names.size()) << r.out;
	for (const std::string &n : tmux_names)
		EXPECT_EQ(got.count(n), 1u) << n << " in " << r.out;
	/* The escaped name of names[1] is whatever tmux made of it. */
	for (const auto &s : got) {
		if (s.first == names[0]) {
			EXPECT_EQ(s.second, wt);
		} else if (s.first.find("slash") != std::string::npos) {
			EXPECT_EQ(s.second.rfind(wt + "/a\nb", 0), 0u) << s.second;
		} else {
			EXPECT_EQ(s.second, plain) << s.first;
		}
	}
}

TEST(TmuxCompanion, SocketFromTmuxTmpdirWhenNoneIsNamed)
{
	TmuxServer srv;
	/* The default socket under TMUX_TMPDIR, as tmux places it. */
	ctest::ProcResult made = ctest::run({"/bin/sh", "-c", "exec tmux new-session -d -s dflt"}, srv.env());
	ASSERT_EQ(made.status, 0) << made.err;
	ctest::ProcResult r = ctest::run({QV_TMUX_BIN, "--list", "--output-json"}, srv.env());
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(list(r).count("dflt"), 1u) << r.out;
	ctest::run({"/bin/sh", "-c", "exec tmux kill-server"}, srv.env());
}

TEST(TmuxCompanion, NoServerNoTmuxAndUsage)
{
	ctest::TempDir tmp;
	std::vector<std::string> env = {"PATH=" + std::string(std::getenv("PATH")), "HOME=" + tmp.path(),
					"TMUX_TMPDIR=" + tmp.path(), "QUORVANE_TMUX_SOCKET=" + tmp.path() + "/none"};
	ctest::ProcResult none = ctest::run({QV_TMUX_BIN, "--list", "--output-json"}, env);
	EXPECT_EQ(none.status, 0) << none.err;
	EXPECT_EQ(none.out, "{\"sessions\":[]}\n");

	/* A stale socket file with no server behind it. */
	ctest::write_text(tmp.path() + "/stale", "");
	env.back() = "QUORVANE_TMUX_SOCKET=" + tmp.path() + "/stale";
	EXPECT_EQ(ctest::run({QV_TMUX_BIN, "--list", "--output-json"}, env).out, "{\"sessions\":[]}\n");

	std::vector<std::string> no_tmux = {"PATH=" + tmp.path(), "HOME=" + tmp.path()};
	ctest::ProcResult missing = ctest::run({QV_TMUX_BIN, "--list", "--output-json"}, no_tmux);
	EXPECT_EQ(missing.status, 1);
	EXPECT_EQ(missing.out, "{\"sessions\":[]}\n");
	EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
	EXPECT_NE(missing.err.find("tmux"), std::string::npos);

	EXPECT_EQ(ctest::run({QV_TMUX_BIN}, env).status, 2);
	EXPECT_EQ(ctest::run({QV_TMUX_BIN, "--list"}, env).status, 2);
	EXPECT_EQ(ctest::run({QV_TMUX_BIN, "--list", "--output-json", "--x"}, env).status, 2);
}

TEST(TmuxCompanion, SlowServerStaysWithinThePluginsBound)
{
	/* A tmux whose server answers, but slowly: the list at once, then a
	 * second for every single field that paths holding the separator make
	 * the companion ask for. Nine such answers add up to far more than
	 * the 5 s the plug-in waits before it kills the companion. */
	ctest::TempDir tmp;
	ctest::write_text(tmp.path() + "/tmux",
			  "#!/bin/sh\n"
			  "for a do\n"
			  "  case $a in\n"
			  "  list-sessions)\n"
			  "    printf '$1\\037one\\037\\037/w/a\\037b\\n$2\\037two\\037\\037/w/c\\037d\\n"
			  "$3\\037three\\037\\037/w/e\\037f\\n'\n"
			  "    exit 0 ;;\n"
			  "  display-message) sleep 1; echo field; exit 0 ;;\n"
			  "  esac\n"
			  "done\n"
			  "exit 1\n");
	ASSERT_EQ(chmod((tmp.path() + "/tmux").c_str(), 0755), 0);
	std::vector<std::string> env = {"PATH=" + tmp.path() + ":" + std::getenv("PATH"), "HOME=" + tmp.path()};

	auto start = std::chrono::steady_clock::now();
	ctest::ProcResult r = ctest::run({QV_TMUX_BIN, "--list", "--output-json"}, env);
	auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
	EXPECT_LT(took.count(), 5000) << "the plug-in would have killed the companion";
	/* What was read in time is listed; the rest is said to be left out. */
	EXPECT_EQ(r.status, 1);
	EXPECT_LT(list(r).size(), 3u) << r.out;
	EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
	EXPECT_NE(r.err.find("left out"), std::string::npos) << r.err;
}

TEST(TmuxCompanion, HungTmuxGoesWithWhatItStarted)
{
	/* A tmux that starts a helper and never answers: at the bound the
	 * companion kills both, not only tmux, so nothing is left behind. */
	ctest::TempDir tmp;
	const std::string pidfile = tmp.path() + "/helper.pid";
	ctest::write_text(tmp.path() + "/tmux",
			  "#!/bin/sh\n"
			  "sleep 60 &\n"
			  "echo $! > '" + pidfile + "'\n"
			  "wait\n");
	ASSERT_EQ(chmod((tmp.path() + "/tmux").c_str(), 0755), 0);
	std::vector<std::string> env = {"PATH=" + tmp.path() + ":" + std::getenv("PATH"), "HOME=" + tmp.path()};

	ctest::ProcResult r = ctest::run({QV_TMUX_BIN, "--list", "--output-json"}, env);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "{\"sessions\":[]}\n");
	EXPECT_NE(r.err.find("did not answer"), std::string::npos) << r.err;
	const std::string pid = ctest::read_text(pidfile);
	ASSERT_FALSE(pid.empty());
	EXPECT_TRUE(ctest::gone(std::stoi(pid))) << "helper " << pid << " outlived the companion";
}
