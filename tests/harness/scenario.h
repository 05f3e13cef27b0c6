/*
 * A request scenario on top of the harness: a world with a session root, the
 * fake companion standing in for both companions, and helpers to lay out
 * sessions and to run one CGI request.
 */
#ifndef QV_TEST_SCENARIO_H
#define QV_TEST_SCENARIO_H

#include <string>
#include <vector>

#include "harness.h"

namespace harness {

/* The bytes that open every JSON success answer. */
inline const std::string json_header = "Content-Type: application/json; charset=utf-8\r\n\r\n";

/* The bytes that open every answer of the sessions action. */
inline const std::string sessions_opening = json_header + "{\"ok\":true,\"sessions\":[";

/* One entry of the sessions action's list, as the plug-in writes it. */
inline std::string sessions_entry(const std::string &name, const std::string &sid,
				  const std::string &url)
{
	return "{\"name\":\"" + name + "\",\"sid\":\"" + sid + "\",\"url\":\"" + url +
	       "\",\"has_url\":" + (url.empty() ? "false" : "true") + "}";
}

/* The complete JSON error answer of a status, message and optional url. */
inline std::string json_error(const std::string &status, const std::string &message,
			      const std::string &url = "")
{
	std::string body = "{\"ok\":false,\"error\":\"" + message + "\"";
	if (!url.empty())
		body += ",\"url\":\"" + url + "\"";
	return "Status: " + status + "\r\n" + json_header + body + "}\n";
}

/* Text as the content of a JSON string: Windows paths hold backslashes. */
inline std::string json_text(const std::string &text)
{
	std::string out;
	for (char c : text) {
		if (c == '\\' || c == '"')
			out += '\\';
		out += c;
	}
	return out;
}

struct scenario {
	world w;
	env_map env;

	/* Both companions are the fake, each recording its runs; no session
	 * root, no user folders. */
	scenario()
	{
		env["QUORVANE_TMUX_BIN"] = fake_companion_path();
		env["QUORVANE_SGLANG_METRICS_BIN"] = fake_companion_path();
		env["FAKE_TMUX_ARGS"] = w.path("tmux-args.log");
		env["FAKE_METRICS_ARGS"] = w.path("metrics-args.log");
		env["HOME"] = w.path("home");
		w.mkdir("home");
	}

	/* A path inside the world, for variables and file contents. */
	std::string p(const std::string &rel = "") const { return w.path(rel); }

	/* Makes rel a session root through QV_SESSIONS_DIR. */
	void use_root(const std::string &rel)
	{
		w.mkdir(rel);
		env["QV_SESSIONS_DIR"] = w.path(rel);
	}

	/* The tmux companion prints text (and exits with status). */
	void tmux_prints(const std::string &text, int status = 0)
	{
		w.write("tmux-out.txt", text);
		env["FAKE_TMUX_OUT"] = w.path("tmux-out.txt");
		env["FAKE_TMUX_STATUS"] = std::to_string(status);
	}

	/* The metrics companion prints text (and exits with status). */
	void metrics_prints(const std::string &text, int status = 0)
	{
		w.write("metrics-out.txt", text);
		env["FAKE_METRICS_OUT"] = w.path("metrics-out.txt");
		env["FAKE_METRICS_STATUS"] = std::to_string(status);
	}

	/* A session directory rel with a snapshot that sets the endpoint. */
	void session(const std::string &rel, const std::string &endpoint)
	{
		w.mkdir(rel);
		if (!endpoint.empty())
			w.write(rel + "/config-snapshot.txt", "OPENAI_BASE_URL=" + endpoint + "\n");
	}

	run_result get(const std::string &query) const
	{
		env_map e = env;
		e["QUERY_STRING"] = query;
		e["GATEWAY_INTERFACE"] = "CGI/1.1";
		e["REQUEST_METHOD"] = "GET";
		return run_plugin({}, e);
	}

	std::vector<std::vector<std::string>> tmux_runs() const
	{
		return fake_args_log(w.path("tmux-args.log"));
	}
	std::vector<std::vector<std::string>> metrics_runs() const
	{
		return fake_args_log(w.path("metrics-args.log"));
	}
};

} // namespace harness

#endif
