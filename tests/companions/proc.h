/*
 * Helpers for the companion tests: run a program in a controlled
 * environment, keep a mock server running for the length of a test, and a
 * temporary folder that removes itself.
 */
#ifndef QV_TESTS_COMPANIONS_PROC_H
#define QV_TESTS_COMPANIONS_PROC_H

#include <string>
#include <vector>

namespace ctest {

struct ProcResult {
	int status = -1;        /* exit status; -1 when killed or not started */
	bool timed_out = false; /* still running at the deadline, then killed */
	std::string out, err;
};

/* Runs argv with exactly the environment env (KEY=VALUE entries), standard
 * input from /dev/null; kills it when it runs past timeout_ms. */
ProcResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
	       int timeout_ms = 20000);

/* The environment the tests start from: PATH and nothing else. */
std::vector<std::string> base_env();

/* A fresh folder under the system's temporary folder, removed with all it
 * holds when the object goes. */
class TempDir {
public:
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	const std::string &path() const { return path_; }

private:
	std::string path_;
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
	int pid_ = -1;
	int port_ = 0;
	int status_ = -1;
};

/* The path of a program found on PATH, or the bare name. */
std::string which(const std::string &name);

/* The whole content of a file; empty when it cannot be read. */
std::string read_text(const std::string &path);

/* Writes text to a file, creating its folders. */
void write_text(const std::string &path, const std::string &text);

} // namespace ctest

#endif
