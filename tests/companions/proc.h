/* Companion test helpers: controlled runs, a running mock server, files. */
#ifndef QV_TESTS_COMPANIONS_PROC_H
#define QV_TESTS_COMPANIONS_PROC_H

#include <string>
#include <vector>

#include "platform/platform.h"
#include "util/temp_dir.h"

namespace ctest {

struct ProcResult {
	int status = -1;        /* exit status; -1 when killed or not started */
	bool timed_out = false; /* still running at the deadline, then killed */
	std::string out, err;
};

/* Runs argv with exactly the environment env (KEY=VALUE entries), standard
 * input from /dev/null; kills it, and what it started, when it runs past
 * timeout_ms. */
ProcResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
	       int timeout_ms = 20000);

/* The environment the tests start from: PATH and nothing else. */
std::vector<std::string> base_env();

/* The tests' temporary folder, its path as a string. */
class TempDir {
public:
	const std::string &path() const { return path_; }

private:
	temp_dir dir_;
	std::string path_ = dir_.path.string();
};

/* mock-sglang running with args, stopped by SIGTERM when the object goes. */
class Mock {
public:
	explicit Mock(const std::vector<std::string> &args);
	~Mock();
	Mock(const Mock &) = delete;
	Mock &operator=(const Mock &) = delete;
	int port() const { return port_; }
	std::string url(const std::string &path = "") const;
	/* Exit status after stop(); -1 while running or when killed. */
	int stop();

private:
	plat_child child_ = {};
	int port_ = 0;
	int status_ = -1;
};

/* Whether process pid has ended, or ends within a few seconds (a zombie
 * counts as ended). */
bool gone(int pid);

/* The path of a program found on PATH, or the bare name. */
std::string which(const std::string &name);

/* The whole content of a file; empty when it cannot be read. */
std::string read_text(const std::string &path);

/* Writes text to a file, creating its folders. */
void write_text(const std::string &path, const std::string &text);

} // namespace ctest

#endif
