/*
 * A stand-in for the two companions in tests: it records its arguments,
 * waits, prints a chosen file or a flood of bytes, and exits with a chosen
 * status, all as environment variables tell it (see harness.h).
 */
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

/* One block of the flood; a MiB is sixteen of them. */
constexpr size_t FLOOD_BLOCK = 65536;

/* Milliseconds between two beats of a sleep. */
constexpr long BEAT_MS = 20;

/* The value of the variable FAKE_<role>_<what>, empty when unset. */
std::string setting(const std::string &role, const char *what)
{
	const char *v = std::getenv(("FAKE_" + role + "_" + what).c_str());
	return v != nullptr ? v : "";
}

long setting_num(const std::string &role, const char *what, long fallback)
{
	const std::string v = setting(role, what);
	return v.empty() ? fallback : std::strtol(v.c_str(), nullptr, 10);
}

/* Appends this run's arguments to the record file as one line. */
void record_args(const std::string &file, int argc, char **argv)
{
	std::string line;

	for (int i = 1; i < argc; i++) {
		line += argv[i];
		line += '\x1f';
	}
	line += '\n';
	FILE *f = std::fopen(file.c_str(), "ab");
	if (f == nullptr) {
		std::fprintf(stderr, "fake_companion: cannot append to '%s'\n", file.c_str());
		return;
	}
	std::fwrite(line.data(), 1, line.size(), f);
	std::fclose(f);
}

/* Appends to file one line: the value of variable name, or "(unset)". */
void record_env(const std::string &file, const std::string &name)
{
	const char *v = std::getenv(name.c_str());
	FILE *f = std::fopen(file.c_str(), "ab");
	if (f == nullptr)
		return;
	std::fprintf(f, "%s\n", v != nullptr ? v : "(unset)");
	std::fclose(f);
}

/* Sleeps ms milliseconds; with a beat file, appends one byte to it at
 * every beat meanwhile, so that a test sees whether we still run. */
void sleep_beating(long ms, const std::string &beat)
{
	for (long slept = 0; !beat.empty() && slept < ms; slept += BEAT_MS) {
		FILE *f = std::fopen(beat.c_str(), "ab");
		if (f != nullptr) {
			std::fputc('.', f);
			std::fclose(f);
		}
		plat_sleep_ms((int)BEAT_MS);
	}
	if (beat.empty() && ms > 0)
		plat_sleep_ms((int)ms);
}

/* Copies the bytes of a file to the stream to; a missing file prints
 * nothing. */
void print_file(const std::string &file, FILE *to = stdout)
{
	FILE *f = std::fopen(file.c_str(), "rb");
	std::vector<char> buf(FLOOD_BLOCK);
	size_t n;

	if (f == nullptr) {
		std::fprintf(stderr, "fake_companion: cannot read '%s'\n", file.c_str());
		return;
	}
	while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
		std::fwrite(buf.data(), 1, n, to);
	std::fclose(f);
}

/* Prints mib MiB of 'x'; a reader that has gone away only makes the writes
 * fail, and the run goes on to its end. */
void flood(long mib)
{
	const std::vector<char> block(FLOOD_BLOCK, 'x');

	for (long i = 0; i < mib * 16; i++)
		std::fwrite(block.data(), 1, block.size(), stdout);
}

} // namespace

int main(int argc, char **argv)
{
	const std::string role = (argc > 1 && std::string(argv[1]) == "--list") ? "TMUX" : "METRICS";

	/* A closed pipe fails the write instead of ending the process. */
	plat_stdout_prepare();

	const std::string args_file = setting(role, "ARGS");
	if (!args_file.empty())
		record_args(args_file, argc, argv);
	const std::string env_log = setting(role, "ENV_LOG");
	if (!env_log.empty())
		record_env(env_log, setting(role, "ENV_NAME"));
	const std::string err_file = setting(role, "ERR");
	if (!err_file.empty()) {
		print_file(err_file, stderr);
		std::fflush(stderr);
	}
	sleep_beating(setting_num(role, "SLEEP_MS", 0), setting(role, "BEAT"));

	const long flood_mb = setting_num(role, "FLOOD_MB", 0);
	const std::string out_file = setting(role, "OUT");
	if (flood_mb > 0)
		flood(flood_mb);
	else if (!out_file.empty())
		print_file(out_file);
	std::fflush(stdout);
	return (int)setting_num(role, "STATUS", 0);
}
