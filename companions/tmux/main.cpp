/*
 * quorvane-tmux --list --output-json
 *
 * Lists the sessions of the user's tmux server as one JSON object on one
 * line: {"sessions":[{"name":...,"worktree":...},...]}. A session's worktree
 * is its user option @worktree when that is set, else the directory the
 * session was started in.
 *
 * Exit status 0 with the list, also an empty one when no server is running;
 * 1 with a one-line message on standard error when tmux cannot be run, fails
 * or does not answer in time, the list then holding the sessions read before
 * that (mostly none); 2 on a usage error.
 *
 * Environment:
 *   QUORVANE_TMUX_SOCKET  the server's socket path (tmux -S); when unset,
 *                         tmux picks its socket itself, which follows
 *                         TMUX_TMPDIR and the TMUX variable of a session
 */
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "util/util.h"

namespace {

/* The plug-in waits 5 s for the listing and then kills the companion, so
 * the whole run, every tmux call in it, ends within this; tmux answers in
 * milliseconds unless its server hangs, and then a short list is the
 * better answer. */
constexpr int kRunBudgetMs = 4000;

using Clock = std::chrono::steady_clock;

/* Fields of one session in the list-sessions format. Session names hold no
 * control characters (tmux escapes them), and paths almost never do, so
 * the unit separator parts the fields; the session id, "$" and digits,
 * starts each record. */
const char kSep = '\x1f';
const char *const kFields[] = {"#{session_id}", "#{session_name}", "#{@worktree}", "#{session_path}"};

struct Run {
	bool started = false;
	int error = 0;     /* why it could not be started */
	bool timed_out = false; /* killed at the deadline, or not started for lack of time */
	int status = -1;   /* exit status, -1 when killed */
	std::string out, err;
};

/* Runs tmux with args (and -S when a socket is set), collecting both output
 * streams; tmux and whatever it started are killed when it runs past
 * deadline. */
Run run_tmux(const std::vector<std::string> &args, Clock::time_point deadline)
{
	Run r;
	auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
	if (left <= 0) {
		r.timed_out = true;
		return r;
	}
	/* -u: without it, and without a UTF-8 locale (as under a web server),
	 * tmux writes every byte outside printable ASCII as "_". */
	std::vector<std::string> argv = {"tmux", "-u"};
	if (const char *sock = std::getenv("QUORVANE_TMUX_SOCKET"); sock != nullptr && sock[0] != '\0') {
		argv.push_back("-S");
		argv.push_back(sock);
	}
	argv.insert(argv.end(), args.begin(), args.end());
	std::vector<const char *> cargv;
	for (const std::string &a : argv)
		cargv.push_back(a.c_str());
	cargv.push_back(nullptr);

	plat_child child;
	if (!plat_child_start(&child, cargv.data(), nullptr, static_cast<int>(left), PLAT_CHILD_ERR)) {
		r.error = EAGAIN;
		return r;
	}
	if (child.failed) {
		r.error = child.error;
		plat_child_finish(&child);
		return r;
	}
	r.started = true;
	char buf[4096];
	int from_err = 0;
	while (std::size_t got = plat_child_read_any(&child, buf, sizeof(buf), &from_err))
		(from_err ? r.err : r.out).append(buf, got);
	r.status = plat_child_finish(&child);
	r.timed_out = child.timed_out != 0;
	return r;
}

/* The first line of text, for a one-line message. */
std::string first_line(const std::string &text)
{
	return text.substr(0, text.find('\n'));
}

/* Whether tmux failed only because no server is running on its socket. */
bool no_server(const Run &r)
{
	const std::string &e = r.err;
	return e.compare(0, 18, "no server running ") == 0 ||
	       (e.compare(0, 20, "error connecting to ") == 0 &&
		first_line(e).find("(No such file or directory)") != std::string::npos);
}

/* Whether s up to end is a session id: "$" and at least one digit. */
bool is_session_id(const std::string &s, std::size_t end)
{
	if (end < 2 || s[0] != '$')
		return false;
	for (std::size_t i = 1; i < end; i++)
		if (s[i] < '0' || s[i] > '9')
			return false;
	return true;
}

/* The parts of s between each sep. */
std::vector<std::string> split(const std::string &s, char sep)
{
	std::vector<std::string> parts;
	std::size_t start = 0;
	for (;;) {
		std::size_t at = s.find(sep, start);
		parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
		if (at == std::string::npos)
			return parts;
		start = at + 1;
	}
}

struct Session {
	std::string name, worktree;
};

enum class Lookup { ok, failed, out_of_time };

/* One field of one session, asked alone so that nothing can blur its end. */
Lookup field_of(const std::string &id, const char *field, Clock::time_point deadline, std::string &value)
{
	Run r = run_tmux({"display-message", "-p", "-t", id, field}, deadline);
	if (r.timed_out)
		return Lookup::out_of_time;
	if (!r.started || r.status != 0)
		return Lookup::failed;
	value = r.out;
	if (!value.empty() && value.back() == '\n')
		value.pop_back();
	return Lookup::ok;
}

/* Prints the list as one line of JSON. */
void print_list(const std::vector<Session> &sessions)
{
	out_str("{\"sessions\":[");
	for (std::size_t i = 0; i < sessions.size(); i++) {
		out_str(i == 0 ? "{\"name\":" : ",{\"name\":");
		json_print_str(sessions[i].name.c_str());
		out_str(",\"worktree\":");
		json_print_str(sessions[i].worktree.c_str());
		out_str("}");
	}
	out_str("]}\n");
	std::fflush(stdout);
}

/* Prints an empty list and the message; returns the failure status. */
int fail(const std::string &message)
{
	print_list({});
	std::fprintf(stderr, "quorvane-tmux: %s\n", message.c_str());
	return 1;
}

/* Whether the arguments are exactly the two options, in either order. */
bool args_ok(int argc, char **argv)
{
	bool list = false, json = false;
	for (int i = 1; i < argc; i++) {
		if (std::strcmp(argv[i], "--list") == 0)
			list = true;
		else if (std::strcmp(argv[i], "--output-json") == 0)
			json = true;
		else
			return false;
	}
	return list && json;
}

/* The lines of list-sessions output gathered into records: a line that
 * starts with a session id and a separator begins one; any other line is
 * the rest of a value that held a line feed. */
std::vector<std::string> records_of(std::string text)
{
	if (!text.empty() && text.back() == '\n')
		text.pop_back();
	std::vector<std::string> records;
	if (!text.empty())
		for (const std::string &line : split(text, '\n')) {
			std::size_t sep = line.find(kSep);
			if (sep != std::string::npos && is_session_id(line, sep))
				records.push_back(line);
			else if (!records.empty())
				records.back() += "\n" + line;
		}
	return records;
}

/* Fills sessions from the records; a record whose fields do not split
 * cleanly is asked for field by field, and counts in *left_out when time
 * runs out first. */
void fill_sessions(const std::vector<std::string> &records, Clock::time_point deadline,
		   std::vector<Session> &sessions, std::size_t *left_out)
{
	for (const std::string &rec : records) {
		std::vector<std::string> f = split(rec, kSep);
		std::string id = f[0];
		if (f.size() != 4) {
			/* A separator inside a path: ask for each field on its own.
			 * Once time has run out, the remaining ones are left out. */
			f.assign(4, std::string());
			Lookup got = Lookup::ok;
			for (int i = 1; i < 4 && got == Lookup::ok; i++)
				got = field_of(id, kFields[i], deadline, f[i]);
			if (got == Lookup::out_of_time)
				(*left_out)++;
			if (got != Lookup::ok)
				continue;
		}
		if (f[1].empty())
			continue;
		sessions.push_back({f[1], f[2].empty() ? f[3] : f[2]});
	}
}

/* What list-sessions gave: done with the answer printed and its exit
 * status, or not done with the output to fill the records from. */
struct Listing {
	bool done = false;
	int status = 0;
	std::string out;
};

/* Runs list-sessions; a failure, or no server at all, is answered here. */
Listing list_sessions(Clock::time_point deadline, const std::string &too_slow)
{
	std::string format;
	for (const char *f : kFields)
		format += (format.empty() ? "" : std::string(1, kSep)) + f;
	Run r = run_tmux({"list-sessions", "-F", format}, deadline);
	Listing l;
	l.done = true;
	if (r.timed_out)
		l.status = fail("'tmux list-sessions'" + too_slow);
	else if (!r.started)
		l.status = fail(std::string("cannot run 'tmux': ") + std::strerror(r.error));
	else if (r.status != 0 && no_server(r))
		print_list({});
	else if (r.status != 0)
		l.status = fail("'tmux list-sessions' failed: " + first_line(r.err));
	else
		l.done = false, l.out = r.out;
	return l;
}

} // namespace

int main(int argc, char **argv)
{
	if (!args_ok(argc, argv)) {
		std::fputs("usage: quorvane-tmux --list --output-json\n", stderr);
		return 2;
	}
	const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kRunBudgetMs);
	const std::string too_slow = " did not answer within " + std::to_string(kRunBudgetMs / 1000) + " s";
	Listing l = list_sessions(deadline, too_slow);
	if (l.done)
		return l.status;
	std::vector<Session> sessions;
	std::size_t left_out = 0;
	fill_sessions(records_of(l.out), deadline, sessions, &left_out);
	print_list(sessions);
	if (left_out > 0) {
		std::fprintf(stderr, "quorvane-tmux: 'tmux display-message'%s; %zu session%s left out\n",
			     too_slow.c_str(), left_out, left_out == 1 ? "" : "s");
		return 1;
	}
	return 0;
}
