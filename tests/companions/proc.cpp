#include "proc.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ctest {

namespace {

std::vector<char *> c_strings(std::vector<std::string> &v)
{
	std::vector<char *> out;
	for (std::string &s : v)
		out.push_back(&s[0]);
	out.push_back(nullptr);
	return out;
}

int wait_status(int pid)
{
	int ws = 0;
	while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
	}
	return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}

} // namespace

ProcResult run(const std::vector<std::string> &argv_in, const std::vector<std::string> &env_in,
	       int timeout_ms)
{
	ProcResult r;
	std::vector<std::string> argv = argv_in, env = env_in;
	std::vector<char *> cargv = c_strings(argv), cenv = c_strings(env);
	int out[2], err[2];
	if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
		return r;
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_adddup2(&fa, out[1], 1);
	posix_spawn_file_actions_adddup2(&fa, err[1], 2);
	pid_t pid = 0;
	int rc = posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
	posix_spawn_file_actions_destroy(&fa);
	close(out[1]);
	close(err[1]);
	if (rc != 0) {
		close(out[0]);
		close(err[0]);
		return r;
	}
	auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	pollfd pfd[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
	std::string *dest[2] = {&r.out, &r.err};
	int open_streams = 2;
	while (open_streams > 0) {
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
				    deadline - std::chrono::steady_clock::now()).count();
		if (left <= 0) {
			r.timed_out = true;
			kill(pid, SIGKILL);
			break;
		}
		if (poll(pfd, 2, static_cast<int>(left)) < 0 && errno != EINTR)
			break;
		for (int i = 0; i < 2; i++) {
			if (pfd[i].fd < 0 || pfd[i].revents == 0)
				continue;
			char buf[8192];
			ssize_t n = read(pfd[i].fd, buf, sizeof(buf));
			if (n > 0) {
				dest[i]->append(buf, static_cast<std::size_t>(n));
			} else if (n == 0 || errno != EINTR) {
				pfd[i].fd = -1;
				open_streams--;
			}
		}
	}
	close(out[0]);
	close(err[0]);
	r.status = wait_status(pid);
	if (r.timed_out)
		r.status = -1;
	return r;
}

std::vector<std::string> base_env()
{
	const char *path = std::getenv("PATH");
	return {std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin")};
}

TempDir::TempDir()
{
	std::string tmpl = (std::filesystem::temp_directory_path() / "qv-companions-XXXXXX").string();
	if (mkdtemp(&tmpl[0]) == nullptr)
		throw std::runtime_error("cannot make a temporary folder");
	path_ = tmpl;
}

TempDir::~TempDir()
{
	std::error_code ec;
	std::filesystem::remove_all(path_, ec);
}

Mock::Mock(const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {QV_MOCK_BIN};
	argv.insert(argv.end(), args.begin(), args.end());
	std::vector<std::string> env = base_env();
	std::vector<char *> cargv = c_strings(argv), cenv = c_strings(env);
	int out[2];
	if (pipe2(out, O_CLOEXEC) != 0)
		throw std::runtime_error("pipe");
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_adddup2(&fa, out[1], 1);
	pid_t pid = 0;
	int rc = posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
	posix_spawn_file_actions_destroy(&fa);
	close(out[1]);
	if (rc != 0) {
		close(out[0]);
		throw std::runtime_error("cannot start mock-sglang");
	}
	pid_ = pid;
	/* The first line is the port; the mock accepts connections from then on. */
	std::string line;
	pollfd pfd = {out[0], POLLIN, 0};
	while (line.find('\n') == std::string::npos && poll(&pfd, 1, 10000) > 0) {
		char buf[64];
		ssize_t n = read(out[0], buf, sizeof(buf));
		if (n <= 0)
			break;
		line.append(buf, static_cast<std::size_t>(n));
	}
	close(out[0]);
	port_ = std::atoi(line.c_str());
	if (port_ <= 0) {
		stop();
		throw std::runtime_error("mock-sglang did not report a port");
	}
}

Mock::~Mock()
{
	stop();
}

int Mock::stop()
{
	if (pid_ > 0) {
		kill(pid_, SIGTERM);
		status_ = wait_status(pid_);
		pid_ = -1;
	}
	return status_;
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
