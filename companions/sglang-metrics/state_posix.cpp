/*
 * Where the state between runs lives on POSIX systems, and how it is read
 * and written: $XDG_CACHE_HOME/quorvane/sglang-metrics (else ~/.cache), a
 * folder only the user can write, and in it one file per endpoint. Nothing
 * there is trusted that another user could have put there or could change.
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sglang_metrics.h"

namespace sgm {

namespace {

/* An absolute directory from the environment, or "". */
std::string absolute_env(const char *name)
{
	const char *v = std::getenv(name);
	return v != nullptr && v[0] == '/' ? std::string(v) : std::string();
}

/* Why st, found by lstat, may not hold or be the state, or "" when it may:
 * the user's own, writable by nobody else, and of the kind wanted. */
std::string doubt(const struct stat &st, bool want_dir)
{
	if (S_ISLNK(st.st_mode))
		return "it is a link";
	if (want_dir ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
		return want_dir ? "not a folder" : "not a regular file";
	if (st.st_uid != geteuid())
		return "another user owns it";
	if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
		return "others can write to it";
	return {};
}

/* Makes dir, private to the user, unless it exists; false when it cannot
 * be had. With check, an existing dir must pass doubt() (said on stderr). */
bool private_dir(const std::string &dir, bool check)
{
	if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
		return false;
	struct stat st;
	if (!check)
		return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
	if (lstat(dir.c_str(), &st) != 0)
		return false;
	std::string why = doubt(st, true);
	if (!why.empty()) {
		state_refused(dir, why);
		return false;
	}
	return true;
}

} // namespace

std::string state_path(const std::string &url)
{
	std::string cache = absolute_env("XDG_CACHE_HOME");
	if (cache.empty()) {
		std::string home = absolute_env("HOME");
		if (home.empty())
			if (const passwd *pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr &&
								  pw->pw_dir[0] == '/')
				home = pw->pw_dir;
		if (home.empty())
			return {};
		cache = home + "/.cache";
	}
	/* The cache folder is the user's choice and may well be a link; the
	 * two folders of ours beneath it must be private. */
	std::string product = cache + "/quorvane";
	std::string dir = product + "/sglang-metrics";
	if (!private_dir(cache, false) || !private_dir(product, true) || !private_dir(dir, true))
		return {};
	return dir + "/" + state_file_name(url);
}

State load_state(const std::string &path, const std::string &url, int64_t now_ms)
{
	/* Without blocking, so that a pipe in the file's place cannot hold the
	 * probe, and without following a link. */
	int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd < 0) {
		if (errno == ELOOP)
			state_refused(path, "it is a link");
		return State{url, {}};
	}
	struct stat st;
	std::string why = fstat(fd, &st) == 0 ? doubt(st, false) : "cannot be examined";
	if (!why.empty() || static_cast<std::size_t>(st.st_size) > kMaxStateBytes) {
		if (!why.empty())
			state_refused(path, why);
		close(fd);
		return State{url, {}};
	}
	std::string text;
	char buf[65536];
	for (;;) {
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0 || text.size() + static_cast<std::size_t>(n) > kMaxStateBytes) {
			if (n != 0)
				text.clear();
			break;
		}
		text.append(buf, static_cast<std::size_t>(n));
	}
	close(fd);
	return state_from_text(text, url, now_ms);
}

bool save_state(const std::string &path, const State &state)
{
	std::string text = state_to_json(state).dump() + "\n";
	std::string tmp = path + ".XXXXXX";
	/* mkstemp makes the file readable and writable by the user only. */
	int fd = mkstemp(&tmp[0]);
	if (fd < 0)
		return false;
	std::size_t off = 0;
	while (off < text.size()) {
		ssize_t n = write(fd, text.data() + off, text.size() - off);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		off += static_cast<std::size_t>(n);
	}
	bool ok = off == text.size();
	ok = close(fd) == 0 && ok;
	if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
		unlink(tmp.c_str());
		return false;
	}
	return true;
}

} // namespace sgm
