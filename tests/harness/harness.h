/*
 * End-to-end harness: a temporary world of folders and files, the built
 * plug-in run as a CGI host runs it (a fully controlled environment, standard
 * output taken as exact bytes), and the fake companion that stands in for
 * both companions.
 *
 * The fake companion (fake_companion_path()) acts as the tmux companion when
 * its first argument is "--list" and as the metrics companion otherwise. For
 * its role R, TMUX or METRICS, it reads these environment variables:
 *
 *   FAKE_R_ARGS      a file to which each run appends one line: each
 *                    argument after the program name followed by one 0x1F
 *                    byte, then '\n' (read back with fake_args_log); so no
 *                    arguments and one empty argument differ
 *   FAKE_R_ENV_LOG   a file to which each run appends one line: the value
 *                    of the variable named by FAKE_R_ENV_NAME, or "(unset)"
 *   FAKE_R_ERR       a file whose bytes are printed to standard error first
 *   FAKE_R_SLEEP_MS  milliseconds to sleep before printing
 *   FAKE_R_BEAT      a file to which one byte is appended every 20 ms of
 *                    that sleep, to tell whether the fake still runs
 *   FAKE_R_OUT       a file whose bytes are printed to standard output
 *   FAKE_R_FLOOD_MB  print that many MiB of 'x' instead, ignoring write errors
 *   FAKE_R_STATUS    the exit status, 0 when unset
 */
#ifndef QV_TEST_HARNESS_H
#define QV_TEST_HARNESS_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "util/temp_dir.h"

namespace harness {

/* The bound on one run of the plug-in; generous, since under Wine a process
 * start alone can take a noticeable time. */
constexpr int RUN_TIMEOUT_MS = 60000;

/* The byte after each argument of a run in a FAKE_R_ARGS file. */
constexpr char ARGS_SEP = '\x1f';

/* A process environment: each variable once, an empty value being a value. */
using env_map = std::map<std::string, std::string>;

/* What one run gave back. */
struct run_result {
	std::string out;        /* standard output, exact bytes */
	int status = -1;        /* exit status; -1 when killed, crashed or not started */
	bool started = false;   /* the program could be started at all */
	bool timed_out = false; /* killed at the bound */
};

/*
 * A fresh temporary directory that is removed with all it holds when the
 * world goes. Relative paths given to its helpers use '/' and are turned
 * into this target's paths; every helper throws on a failure.
 */
class world {
public:
	/* The target path of rel inside the world; the root for "". */
	std::string path(const std::string &rel = "") const;

	/* Makes the directory rel and any missing parents. */
	void mkdir(const std::string &rel) const;

	/* Writes bytes as the whole file rel, making its parent directories. */
	void write(const std::string &rel, const std::string &bytes) const;

	/* The whole content of file rel. */
	std::string read(const std::string &rel) const;

	/* True when something exists under rel (a dangling link does not count). */
	bool exists(const std::string &rel) const;

	/* Sets the modification time of rel to now plus offset_s seconds. */
	void set_mtime(const std::string &rel, int64_t offset_s) const;

private:
	std::filesystem::path at(const std::string &rel) const;

	temp_dir root_;
};

/* Paths of the built plug-in and of the fake companion, as this target
 * names them. */
std::string plugin_path();
std::string fake_companion_path();

/*
 * Runs program with args after it and exactly the variables of env (on
 * Windows also SYSTEMROOT, WINDIR, PATH, TEMP and TMP from our own
 * environment, unless env sets them: a Windows process needs them to
 * start). Standard input and standard error are the null device.
 */
run_result run_program(const std::string &program, const std::vector<std::string> &args,
		       const env_map &env, int timeout_ms = RUN_TIMEOUT_MS);

/*
 * A run of a program, started as run_program starts it and left going, for
 * tests that end it from outside; finish (or the destructor) waits for it.
 */
class running {
public:
	running(const std::string &program, const std::vector<std::string> &args,
		const env_map &env, int timeout_ms = RUN_TIMEOUT_MS);
	~running();
	running(const running &) = delete;
	running &operator=(const running &) = delete;

	/* Ends the program alone, as a host ends it, and returns once it has
	 * ended: hard is the kill no program can catch, else the polite
	 * stop signal (POSIX only). What it started is left alone. */
	void end(bool hard);

	/* Reads the whole output and waits for the end, as run_program does. */
	run_result finish();

private:
	plat_child child_ = {};
	bool made_ = false;
};

/* Ends the process proc of a plat_child, and only it, and waits for it to
 * end without reaping it; see running::end. */
void process_end(intptr_t proc, bool hard);

/* Sleeps for ms milliseconds. */
void sleep_ms(int ms);

/* The names in folder dir other than "." and "..", sorted; none when it
 * cannot be read. */
std::vector<std::string> folder_names(const std::string &dir);

/* Runs the built plug-in the same way, as a CGI host does. */
run_result run_plugin(const std::vector<std::string> &args, const env_map &env,
		      int timeout_ms = RUN_TIMEOUT_MS);

/* A one-line account of a run for failure messages: status, flags, size and
 * the first bytes of the output with control bytes escaped. */
std::string describe(const run_result &r);

/* The runs recorded in a FAKE_R_ARGS file, each as its argument list; none
 * when the file does not exist. */
std::vector<std::vector<std::string>> fake_args_log(const std::string &path);

} // namespace harness

#endif
