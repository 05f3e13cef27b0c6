/*
 * The companion runner, tried on the fake companion: output and status,
 * arguments and environment as given, programs that cannot run, the bound
 * on a run, and a reader that stops early.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/platform.h"
#include "util/util.h"

using harness::env_map;
using harness::fake_companion_path;
using harness::run_program;

namespace {

/* What one direct run of the runner gave. */
struct child_run {
	int started = 0;
	int failed = 0;
	int timed_out = 0;
	int status = -2;
	std::string out;
	std::string err;
};

/* Runs argv with envp (null: ours) through the platform layer alone. With
 * PLAT_CHILD_ERR in flags standard error is a second pipe and both are read
 * as they come; otherwise the output is read whole by read_child_all. */
child_run run_direct(const std::vector<std::string> &args, const char *const *envp,
		     int timeout_ms, int flags = 0)
{
	std::vector<const char *> argv;
	for (const auto &a : args)
		argv.push_back(a.c_str());
	argv.push_back(nullptr);

	child_run r;
	plat_child c;
	r.started = plat_child_start(&c, argv.data(), envp, timeout_ms, flags);
	if (!r.started)
		return r;
	r.failed = c.failed;
	if (flags & PLAT_CHILD_ERR) {
		char buf[4096];
		int from_err = 0;
		while (size_t n = plat_child_read_any(&c, buf, sizeof(buf), &from_err))
			(from_err ? r.err : r.out).append(buf, n);
	} else {
		uint64_t len = 0;
		char *out = read_child_all(&c, &len);
		if (out != nullptr)
			r.out.assign(out, (size_t)len);
		free(out);
	}
	r.status = plat_child_finish(&c);
	r.timed_out = c.timed_out;
	return r;
}

/* Runs argv with our environment and standard error as a second pipe. */
child_run run_both(const std::vector<std::string> &args)
{
	return run_direct(args, nullptr, harness::RUN_TIMEOUT_MS, PLAT_CHILD_ERR);
}

/* The size of a file, 0 when it is missing. */
uint64_t file_size(const std::string &path)
{
	std::error_code ec;
	const auto n = std::filesystem::file_size(path, ec);
	return ec ? 0 : (uint64_t)n;
}

/* Whether the fake companion behind a beat file stops beating within a few
 * seconds: two looks a little apart that see the same size. */
bool beat_stops(const std::string &beat)
{
	for (int i = 0; i < 20; i++) {
		const uint64_t before = file_size(beat);
		harness::sleep_ms(500);
		if (file_size(beat) == before)
			return true;
	}
	return false;
}

/* Sets one variable for the life of a test and puts the old value back. */
class env_set {
public:
	env_set(const char *name, const char *value) : name_(name)
	{
		const char *v = std::getenv(name);
		if (v != nullptr)
			old_ = v;
		plat_setenv(name, value);
	}
	~env_set() { plat_setenv(name_.c_str(), old_ ? old_->c_str() : nullptr); }

private:
	std::string name_;
	std::optional<std::string> old_;
};

} // namespace

TEST(PlatChild, OutputBytesAndExitStatus)
{
	harness::world w;
	const std::string bytes("line\r\n\0bin\xff\x80\n", 13);
	w.write("out", bytes);

	auto r = run_program(fake_companion_path(), { "http://h:1/" },
			     { { "FAKE_METRICS_OUT", w.path("out") }, { "FAKE_METRICS_STATUS", "3" } });
	EXPECT_TRUE(r.started);
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.out, bytes);
	EXPECT_EQ(r.status, 3);

	r = run_program(fake_companion_path(), { "--list", "--output-json" },
			{ { "FAKE_TMUX_OUT", w.path("out") }, { "FAKE_METRICS_STATUS", "3" } });
	EXPECT_EQ(r.out, bytes);
	EXPECT_EQ(r.status, 0);

	r = run_program(fake_companion_path(), {}, {});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.status, 0);
}

TEST(PlatChild, ArgumentsArriveAsGiven)
{
	harness::world w;
	/* Spaces, quotes and backslashes in every position the Windows
	 * command line rules treat differently, and text a shell would
	 * interpret. */
	const std::vector<std::string> args = {
		"plain",
		"two words",
		"",
		"tab\there",
		"say \"hi\"",
		"\"",
		"ends\\",
		"ends with space\\",
		"a\\\\b",
		"slash\\\"quote",
		"\\\\server\\share\\",
		"two\\\\\"",
		"%PATH% $HOME `x` a&b|c>d <e ^f",
		"http://h:30000/v1?a=1&b=%41#f",
	};
	env_map env = { { "FAKE_METRICS_ARGS", w.path("args") } };

	auto r = run_program(fake_companion_path(), args, env);
	EXPECT_EQ(r.status, 0);
	r = run_program(fake_companion_path(), {}, env);
	EXPECT_EQ(r.status, 0);
	r = run_program(fake_companion_path(), { "" }, env);
	EXPECT_EQ(r.status, 0);

	const auto runs = harness::fake_args_log(w.path("args"));
	ASSERT_EQ(runs.size(), 3u);
	EXPECT_EQ(runs[0], args);
	EXPECT_EQ(runs[1], std::vector<std::string>{});
	EXPECT_EQ(runs[2], std::vector<std::string>{ "" });
}

TEST(PlatChild, EnvironmentIsExactlyTheOneGiven)
{
	harness::world w;
	w.write("out", "seen");
	env_set status("FAKE_METRICS_STATUS", "7");
	env_set out("FAKE_METRICS_OUT", w.path("out").c_str());

	/* Ours is not passed on when an environment is given... */
	auto r = run_program(fake_companion_path(), {}, { { "FAKE_METRICS_SLEEP_MS", "0" } });
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "");

	/* ...and is when none is. */
	const child_run d = run_direct({ fake_companion_path() }, nullptr, harness::RUN_TIMEOUT_MS);
	EXPECT_EQ(d.started, 1);
	EXPECT_EQ(d.failed, 0);
	EXPECT_EQ(d.status, 7);
	EXPECT_EQ(d.out, "seen");
}

TEST(PlatChild, BareNameIsSearchedOnPath)
{
	const std::filesystem::path fake(fake_companion_path());
	const char *old = std::getenv("PATH");
	const std::string path = fake.parent_path().string() + (plat_sep == '/' ? ":" : ";") +
				 (old != nullptr ? old : "");
	env_set on_path("PATH", path.c_str());
	env_set status("FAKE_METRICS_STATUS", "4");

	const child_run r = run_direct({ "fake_companion" }, nullptr, harness::RUN_TIMEOUT_MS);
	EXPECT_EQ(r.failed, 0);
	EXPECT_EQ(r.status, 4);
}

TEST(PlatChild, ProgramThatCannotRunPrintsNothingAndFails)
{
	harness::world w;
	w.write("not-a-program.exe", "just text\n");
	w.mkdir("a-folder");
	const std::vector<std::string> programs = {
		w.path("missing.exe"),
		w.path("no/such/folder/prog"),
		w.path("not-a-program.exe"),
		w.path("a-folder"),
		"qv-no-such-program-anywhere",
	};
	for (const auto &p : programs) {
		const child_run r = run_direct({ p, "--list" }, nullptr, 5000);
		EXPECT_EQ(r.started, 1) << p;
		EXPECT_EQ(r.failed, 1) << p;
		EXPECT_EQ(r.out, "") << p;
		EXPECT_EQ(r.status, -1) << p;
		EXPECT_EQ(r.timed_out, 0) << p;
	}
}

TEST(PlatChild, SilentChildIsKilledAtTheBound)
{
	const int bound_ms = 1500;
	const int64_t t0 = plat_clock_ms();
	auto r = run_program(fake_companion_path(), {}, { { "FAKE_METRICS_SLEEP_MS", "60000" } },
			     bound_ms);
	const int64_t took = plat_clock_ms() - t0;
	EXPECT_TRUE(r.started);
	EXPECT_TRUE(r.timed_out);
	EXPECT_EQ(r.status, -1);
	EXPECT_EQ(r.out, "");
	/* Killed, not waited for: well under the minute it would sleep. */
	EXPECT_LT(took, bound_ms + 15000);
}

TEST(PlatChild, WhatTheChildStartedGoesWithItAtTheBound)
{
	if (plat_sep == '\\')
		GTEST_SKIP() << "uses the POSIX shell";
	/* The child itself ends at once, but leaves a process behind that
	 * holds the pipe: the run is cut off, and that process killed. */
	auto r = run_direct({"/bin/sh", "-c", "sleep 60 & echo $!; exit 0"}, nullptr, 1500);
	EXPECT_EQ(r.timed_out, 1);
	EXPECT_EQ(r.status, -1);
	ASSERT_FALSE(r.out.empty());
	std::string pid = r.out.substr(0, r.out.find('\n'));
	int alive = 0;
	for (int i = 0; i < 50; i++) {
		alive = run_direct({"/bin/sh", "-c", "kill -0 " + pid + " 2>/dev/null"}, nullptr,
				   5000).status == 0;
		if (!alive)
			break;
		plat_sleep_ms(100);
	}
	EXPECT_FALSE(alive) << "process " << pid << " outlived the run";
}

TEST(PlatChild, FloodStopsAtTheReaderCapAndTheChildEndsNormally)
{
	const uint64_t cap = 8u << 20;
	const int64_t t0 = plat_clock_ms();
	auto r = run_program(fake_companion_path(), { "http://h/" },
			     { { "FAKE_METRICS_FLOOD_MB", "100" }, { "FAKE_METRICS_STATUS", "5" } });
	const int64_t took = plat_clock_ms() - t0;
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.status, 5);
	EXPECT_LT(r.out.size(), cap);
	EXPECT_GT(r.out.size(), cap - 2048);
	EXPECT_EQ(r.out.find_first_not_of('x'), std::string::npos);
	std::printf("read %zu bytes of a 100 MiB flood in %lld ms\n", r.out.size(), (long long)took);
}

TEST(PlatChild, ErrorOutputComesApartFromOutput)
{
	harness::world w;
	/* More than a pipe holds on each stream: the reader must take both as
	 * they come, or the child blocks on the one not read. */
	const std::string out(300000, 'o');
	/* No line feed: on Windows the fake's standard error is a text
	 * stream. */
	const std::string err = std::string(200000, 'e') + "\tlast";
	w.write("out", out);
	w.write("err", err);
	env_set out_file("FAKE_METRICS_OUT", w.path("out").c_str());
	env_set err_file("FAKE_METRICS_ERR", w.path("err").c_str());
	env_set status("FAKE_METRICS_STATUS", "6");

	child_run r = run_both({ fake_companion_path() });
	EXPECT_EQ(r.started, 1);
	EXPECT_EQ(r.timed_out, 0);
	EXPECT_EQ(r.status, 6);
	EXPECT_TRUE(r.out == out) << r.out.size() << " bytes of output";
	EXPECT_TRUE(r.err == err) << r.err.size() << " bytes of error output: " << r.err.substr(r.err.size() - std::min<size_t>(r.err.size(), 20));

	/* Without the flag the same error output goes nowhere. */
	const child_run quiet = run_direct({ fake_companion_path() }, nullptr, harness::RUN_TIMEOUT_MS);
	EXPECT_TRUE(quiet.out == out) << quiet.out.size() << " bytes of output";
	EXPECT_EQ(quiet.status, 6);

	/* A program that cannot run still fails the same way with the flag. */
	r = run_both({ w.path("missing.exe") });
	EXPECT_EQ(r.failed, 1);
	EXPECT_EQ(r.status, -1);
	EXPECT_EQ(r.out + r.err, "");
}

TEST(PlatChild, CompanionDoesNotOutliveThePlugin)
{
	/* A host ends the plug-in while its companion hangs: with the kill no
	 * program can catch, and (POSIX) with the polite stop signal. Either
	 * way the companion, which would sleep for minutes, goes too; after
	 * the stop signal also what the companion started (here the companion
	 * is a shell that runs the fake). */
	std::vector<bool> ways = { true };
	if (plat_sep == '/')
		ways.push_back(false);
	for (const bool hard : ways) {
		harness::world w;
		w.mkdir("home");
		std::string companion = fake_companion_path();
		if (!hard) {
			w.write("companion.sh", "#!/bin/sh\n'" + companion + "' \"$@\" &\nwait\n");
			companion = w.path("companion.sh");
			run_direct({ "/bin/chmod", "755", companion }, nullptr, 5000);
		}
		const env_map env = {
			{ "QUORVANE_TMUX_BIN", companion },
			{ "FAKE_TMUX_SLEEP_MS", "600000" },
			{ "FAKE_TMUX_BEAT", w.path("beat") },
			{ "HOME", w.path("home") },
			{ "QUERY_STRING", "action=sessions" },
			{ "GATEWAY_INTERFACE", "CGI/1.1" },
			{ "REQUEST_METHOD", "GET" },
		};
		harness::running plugin(harness::plugin_path(), {}, env);
		for (int i = 0; i < 400 && file_size(w.path("beat")) == 0; i++)
			harness::sleep_ms(50);
		ASSERT_GT(file_size(w.path("beat")), 0u) << "the companion never started";
		plugin.end(hard);
		EXPECT_TRUE(beat_stops(w.path("beat")))
			<< (hard ? "killed" : "stopped") << " plug-in left its companion running";
		plugin.finish();
	}
}
