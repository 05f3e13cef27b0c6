/*
 * quorvane-sglang-metrics URL
 *
 * Probes the SGLang server at URL and prints one JSON object on one line:
 * its figures, with "url" in the form the plug-in's cache compares (trailing
 * "/" removed, then one trailing "/v1") and "model" always. Exit status 0.
 * When the server cannot be read (refused, no answer in time, an API key
 * needed, not SGLang) the object holds "url", "model" and "error" instead,
 * a one-line message goes to standard error, and the exit status is 1.
 *
 * The answers that do not change while a server runs are kept with its
 * samples: for 10 minutes, and until it restarts, a probe asks only the
 * routes whose answers move (the metrics page alone on recent servers).
 *
 * Environment:
 *   SGLANG_API_KEY         sent as a Bearer token on every request; never printed
 *   XDG_CACHE_HOME, HOME   where the recent samples of each server are kept
 *   QUORVANE_TEST_CLOCK_MS for tests: the clock, in milliseconds, that the
 *                          windowed figures are measured with (otherwise
 *                          the wall clock, milliseconds since 1970)
 */
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "util/util.h"
#include "sglang_metrics.h"

namespace {

const char kUsage[] = "usage: quorvane-sglang-metrics URL\n";

void print(const nlohmann::ordered_json &j)
{
	/* Bytes that are not UTF-8 (a model name, say) must not stop the output. */
	std::string text = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
	std::fputs(text.c_str(), stdout);
	std::fputc('\n', stdout);
	std::fflush(stdout);
}

int fail(const std::string &url, const std::string &model, const std::string &error)
{
	nlohmann::ordered_json j;
	j["url"] = url;
	j["model"] = model;
	j["error"] = error;
	print(j);
	std::fprintf(stderr, "quorvane-sglang-metrics: %s\n", error.c_str());
	return 1;
}

/* The time samples are stamped with. They are kept in a file from one run
 * to the next, also across a reboot, so it is the wall clock: a clock that
 * starts over at boot would make a sample of the last boot look recent. */
int64_t clock_ms()
{
	if (const char *t = std::getenv("QUORVANE_TEST_CLOCK_MS"); t != nullptr && t[0] != '\0')
		return std::strtoll(t, nullptr, 10);
	using namespace std::chrono;
	return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

/* Text from the server cut to a sensible length, control bytes replaced. */
std::string printable(const std::string &s)
{
	std::string out = s.substr(0, 300);
	for (char &c : out)
		if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
			c = '?';
	return out;
}

bool starts_with_nocase(const std::string &s, const char *prefix)
{
	std::size_t n = std::strlen(prefix);
	if (s.size() < n)
		return false;
	for (std::size_t i = 0; i < n; i++)
		if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i])
			return false;
	return true;
}

/* Why the model list gave no answer that lets the probe go on, or "". */
std::string models_failure(const sgm::Route &r, bool have_key)
{
	const sgm::HttpResult &res = r.result;
	if (res.timed_out)
		return "no answer from " + r.path + " within " +
		       std::to_string(sgm::kProbeBudgetMs / 1000) + " s";
	if (!res.transport_ok)
		return "cannot reach the server: " + res.error;
	if (res.status == 401 || res.status == 403)
		return "HTTP " + std::to_string(res.status) + " from " + r.path +
		       (have_key ? ": the server refused the API key in SGLANG_API_KEY"
				 : ": server requires an API key (set SGLANG_API_KEY)");
	/* A redirect is never followed, so that the API key stays with the
	 * server it was meant for; the user learns where it points. */
	if (res.status >= 300 && res.status < 400 && !res.location.empty())
		return "HTTP " + std::to_string(res.status) + " from " + r.path + ": redirected to '" +
		       printable(res.location) + "', which is not followed (use that URL)";
	return {};
}

/* The argument without the blanks that a copied URL often carries. */
std::string trimmed(const char *arg)
{
	std::string s = arg;
	std::size_t b = s.find_first_not_of(" \t\r\n");
	if (b == std::string::npos)
		return {};
	return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

/* Whether a host follows the scheme: "http://" alone, or followed only by a
 * path, names no server. */
bool has_host(const std::string &url)
{
	std::size_t start = url.find("://");
	return start != std::string::npos && start + 3 < url.size() &&
	       std::string("/?#").find(url[start + 3]) == std::string::npos;
}

/* Adds now to the kept samples, picks its window and keeps the state; a
 * probe without counters or histograms keeps the facts alone. */
sgm::Window record(const std::string &path, sgm::State &state, const sgm::SampleSet &now)
{
	sgm::Window window;
	if (!now.counters.empty() || !now.histograms.empty())
		window = sgm::update_window(state, now);
	/* A state that cannot be kept costs the next window, no more. */
	if (!path.empty())
		sgm::save_state(path, state);
	return window;
}

/* A probe and what it gave. */
struct Probed {
	sgm::ProbeResult probe;
	sgm::ServerView view;
	sgm::SampleSet now;
};

/* The steady probe: only the routes the kept facts name, while they are
 * fresh. False when it cannot stand for a full probe: a route that did not
 * answer 200, an answer that is not SGLang's, or a restart, all of which a
 * full probe then looks at. */
bool steady_probe(const std::string &base, const std::string &key, const sgm::State &state, int64_t t_ms,
		  Probed &out)
{
	const sgm::ServerFacts &f = state.facts;
	if (f.asked_ms == 0 || f.routes.empty() || t_ms < f.asked_ms || t_ms - f.asked_ms >= sgm::kFactsKeepMs)
		return false;
	out.probe = sgm::probe_server(base, key, f.routes);
	for (const sgm::Route *r : {&out.probe.server_info, &out.probe.metrics, &out.probe.loads,
				    &out.probe.engine_metrics})
		if (r->asked() && !r->ok())
			return false;
	out.view = sgm::read_probe(out.probe);
	sgm::apply_facts(out.view, out.probe, f);
	if (!sgm::not_sglang_reason(out.view, out.probe).empty())
		return false;
	out.now = sgm::current_samples(out.view, t_ms);
	return !sgm::restarted_since(state, out.now);
}

/* The full probe: every route, within budget_ms. Prints the document or
 * the failure and gives the exit status. */
int full_probe(const std::string &url, const std::string &base, const std::string &key, long budget_ms,
	       const std::string &path, sgm::State &state, int64_t t_ms)
{
	Probed p;
	p.probe = sgm::probe_server(base, key, {}, budget_ms);
	const sgm::ProbeResult &probe = p.probe;
	std::string why = models_failure(probe.models, !key.empty());
	if (!why.empty())
		return fail(url, "", why);
	p.view = sgm::read_probe(probe);
	const sgm::ServerView &view = p.view;
	why = sgm::not_sglang_reason(view, probe);
	/* A server that is still loading says so on /health and already lists
	 * its model; that is its state, not a failure of the probe. Without the
	 * model list, 503 everywhere is a server that does not serve (a proxy
	 * whose backend is gone answers the same way). */
	if (!why.empty() && view.health == "starting" && probe.models.result.status != 200)
		return fail(url, view.model, "HTTP " + std::to_string(probe.models.result.status) + " from " +
						     probe.models.path +
						     ": the server does not serve (still starting, or down behind a proxy)");
	if (!why.empty() && view.health != "starting")
		return fail(url, view.model, why);

	p.now = sgm::current_samples(view, t_ms);
	state.facts = sgm::learn_facts(probe, view, p.now, t_ms);
	print(sgm::derive_output(url, view, p.now, record(path, state, p.now)));
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
	/* The same bytes as on every other system: no "\r" before "\n". */
	_setmode(_fileno(stdout), _O_BINARY);
	_setmode(_fileno(stderr), _O_BINARY);
#endif
	if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
		std::fputs(kUsage, stdout);
		return 0;
	}
	if (argc != 2) {
		std::fputs(kUsage, stderr);
		return 2;
	}

	/* The comparison form comes from the plug-in's own code, so the two
	 * can never disagree about it. */
	const std::string arg = trimmed(argv[1]);
	char norm[ENDPOINT_NORM_CAP];
	normalize_endpoint(arg.c_str(), norm);
	const std::string url = norm;
	if (!starts_with_nocase(arg, "http://") && !starts_with_nocase(arg, "https://"))
		return fail(url, "", "invalid url (must be http:// or https://)");
	if (!has_host(arg))
		return fail(arg, "", "invalid url (no host after '" + arg.substr(0, arg.find("://") + 3) + "')");
	/* Routes go after the path; a query or fragment has no place there. */
	std::string base = url.substr(0, url.find_first_of("?#"));
	while (!base.empty() && base.back() == '/')
		base.pop_back();

	const char *key_env = std::getenv("SGLANG_API_KEY");
	const std::string key = key_env != nullptr ? key_env : "";

	const int64_t t_ms = clock_ms();
	const std::string path = sgm::state_path(url);
	sgm::State state = path.empty() ? sgm::State{url, {}} : sgm::load_state(path, url, t_ms);
	Probed p;
	const auto started = std::chrono::steady_clock::now();
	if (steady_probe(base, key, state, t_ms, p)) {
		print(sgm::derive_output(url, p.view, p.now, record(path, state, p.now)));
		return 0;
	}

	/* Both probes share one budget, which the plug-in's bound leaves room for. */
	long spent = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
					       std::chrono::steady_clock::now() - started).count());
	return full_probe(url, base, key, std::max(1L, sgm::kProbeBudgetMs - spent), path, state, t_ms);
}
