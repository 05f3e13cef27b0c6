/* Companion test helpers: controlled runs through the platform runner. */
#include "proc.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <unistd.h>

namespace ctest {

namespace {

/* How long the mock may take to report its port, and then to stop. */
constexpr int kMockReadyMs = 10000;
constexpr int kMockStopMs = 10000;
/* The mock runs for the length of a test: no bound of its own meanwhile. */
constexpr int kMockLifeMs = 24 * 3600 * 1000;

std::vector<const char *> c_strings(const std::vector<std::string> &v)
{
	std::vector<const char *> out;
	for (const std::string &s : v)
		out.push_back(s.c_str());
	out.push_back(nullptr);
	return out;
}

} // namespace

ProcResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
	       int timeout_ms)
{
	ProcResult r;
	std::vector<const char *> cargv = c_strings(argv), cenv = c_strings(env);
	plat_child child;
	if (!plat_child_start(&child, cargv.data(), cenv.data(), timeout_ms, PLAT_CHILD_ERR))
		return r;
	char buf[8192];
	int from_err = 0;
	while (std::size_t n = plat_child_read_any(&child, buf, sizeof(buf), &from_err))
		(from_err ? r.err : r.out).append(buf, n);
	r.status = plat_child_finish(&child);
	r.timed_out = child.timed_out != 0;
	return r;
}

std::vector<std::string> base_env()
{
	const char *path = std::getenv("PATH");
	return {std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};
}

Mock::Mock(const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {QV_MOCK_BIN};
	argv.insert(argv.end(), args.begin(), args.end());
	std::vector<const char *> cargv = c_strings(argv), cenv = c_strings(base_env());
	if (!plat_child_start(&child_, cargv.data(), cenv.data(), kMockReadyMs, 0) || child_.failed)
		throw std::runtime_error("cannot start mock-sglang");
	/* The first line is the port; the mock accepts connections from then on. */
	std::string line;
	char buf[64];
	while (line.find('\n') == std::string::npos) {
		std::size_t n = plat_child_read(&child_, buf, sizeof(buf));
		if (n == 0)
			break;
		line.append(buf, n);
	}
	port_ = std::atoi(line.c_str());
	if (port_ <= 0) {
		stop();
		throw std::runtime_error("mock-sglang did not report a port");
	}
	child_.deadline = plat_clock_ms() + kMockLifeMs;
}

Mock::~Mock()
{
	stop();
}

int Mock::stop()
{
	if (child_.proc > 0) {
		kill(static_cast<pid_t>(child_.proc), SIGTERM);
		child_.deadline = plat_clock_ms() + kMockStopMs;
		status_ = plat_child_finish(&child_);
	}
	return status_;
}

bool gone(int pid)
{
	/* A killed process takes a moment to end: look for a few seconds. The
	 * third field of its stat line is its state. */
	for (int i = 0; i < 100; i++) {
		std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
		std::size_t paren = stat.rfind(')');
		if (stat.empty() || (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0))
			return true;
		usleep(50000);
	}
	return false;
}

std::string Mock::url(const std::string &path) const
{
	return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string which(const std::string &name)
{
	const char *path = std::getenv("PATH");
	std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
	for (std::size_t s = 0, c; s <= dirs.size(); s = c + 1) {
		c = dirs.find(':', s);
		if (c == std::string::npos)
			c = dirs.size();
		std::string cand = dirs.substr(s, c - s) + "/" + name;
		if (access(cand.c_str(), X_OK) == 0)
			return cand;
	}
	return name;
}

std::string read_text(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_text(const std::string &path, const std::string &text)
{
	std::filesystem::create_directories(std::filesystem::path(path).parent_path());
	std::ofstream(path, std::ios::binary) << text;
}

} // namespace ctest
