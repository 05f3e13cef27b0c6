/*
 * The state kept between runs: each run is one process, so the recent
 * counters and histograms of an endpoint live in a small file under the
 * user's cache folder, replaced whole by a rename and readable by the user
 * only. The windowed figures are differences against one of them.
 */
#include <cmath>
#include <cstdio>

#include "sglang_metrics.h"

namespace sgm {

using json = nlohmann::json;

namespace {

/* A stored sample further than this from the clock is not one of ours: the
 * file was damaged or written by something else. A year leaves room for any
 * pause and any clock correction. */
constexpr int64_t kStateSaneSpanMs = 366LL * 24 * 3600 * 1000;

std::string bound_text(double b)
{
	if (std::isinf(b))
		return b > 0 ? "+Inf" : "-Inf";
	char buf[40];
	std::snprintf(buf, sizeof(buf), "%.17g", b);
	return buf;
}

/* Whether a counter or a histogram of now lies below its value in old, or
 * the start time differs: the server restarted (its metrics directory is
 * made anew at every start). */
bool went_down(const SampleSet &old, const SampleSet &now)
{
	for (const auto &c : now.counters) {
		auto it = old.counters.find(c.first);
		if (it != old.counters.end() &&
		    (c.first == "start_time" ? c.second != it->second : c.second < it->second))
			return true;
	}
	for (const auto &h : now.histograms) {
		auto it = old.histograms.find(h.first);
		if (it != old.histograms.end() && it->second.family == h.second.family &&
		    (h.second.count < it->second.count || h.second.sum < it->second.sum))
			return true;
	}
	return false;
}

/* Whether t lies within span of now, without overflow for any values. */
bool near_in_time(int64_t t, int64_t now, int64_t span)
{
	uint64_t gap = t >= now ? static_cast<uint64_t>(t) - static_cast<uint64_t>(now)
				: static_cast<uint64_t>(now) - static_cast<uint64_t>(t);
	return gap <= static_cast<uint64_t>(span);
}

/* A count as the server keeps them: a finite number, never below zero. */
bool count_ok(const json &v)
{
	if (!v.is_number())
		return false;
	double d = v.get<double>();
	return std::isfinite(d) && d >= 0;
}

/* Reads one stored histogram; false when any part of it is doubtful. */
bool histogram_from_json(const json &v, Histogram &hist)
{
	if (!v.is_object() || !v.value("family", json()).is_string() || !count_ok(v.value("sum", json())) ||
	    !count_ok(v.value("count", json())) || !v.value("le", json()).is_array() ||
	    !v.value("n", json()).is_array() || v["le"].size() != v["n"].size())
		return false;
	hist.family = v["family"].get<std::string>();
	hist.sum = v["sum"].get<double>();
	hist.count = v["count"].get<double>();
	for (std::size_t i = 0; i < v["le"].size(); i++) {
		double bound = 0;
		if (!v["le"][i].is_string() || !count_ok(v["n"][i]) ||
		    !parse_value(v["le"][i].get<std::string>(), bound) || std::isnan(bound))
			return false;
		hist.buckets[bound] = v["n"][i].get<double>();
	}
	return true;
}

/* Reads one stored sample; false when its time lies far from now_ms or any
 * counter or histogram is doubtful. */
bool sample_from_json(const json &e, int64_t now_ms, SampleSet &s)
{
	if (!e.is_object() || !e.contains("t_ms") || !e["t_ms"].is_number_integer())
		return false;
	s.t_ms = e["t_ms"].get<int64_t>();
	if (!near_in_time(s.t_ms, now_ms, kStateSaneSpanMs))
		return false;
	if (e.contains("counters")) {
		if (!e["counters"].is_object())
			return false;
		for (const auto &c : e["counters"].items()) {
			if (!count_ok(c.value()))
				return false;
			s.counters[c.key()] = c.value().get<double>();
		}
	}
	if (e.contains("histograms")) {
		if (!e["histograms"].is_object())
			return false;
		for (const auto &h : e["histograms"].items())
			if (!histogram_from_json(h.value(), s.histograms[h.key()]))
				return false;
	}
	return true;
}

/* Reads the stored facts; false when any part of them is doubtful, so that
 * every route is asked again. */
bool facts_from_json(const json &f, int64_t now_ms, ServerFacts &facts)
{
	if (!f.is_object() || !f.value("asked_ms", json()).is_number_integer() ||
	    !f.value("routes", json()).is_array() || !f.value("health", json()).is_string())
		return false;
	facts.asked_ms = f["asked_ms"].get<int64_t>();
	if (!near_in_time(facts.asked_ms, now_ms, kStateSaneSpanMs))
		return false;
	for (const json &r : f["routes"]) {
		/* The routes are appended to the server's address: only known ones. */
		if (!r.is_string() || !steady_route(r.get<std::string>()))
			return false;
		facts.routes.push_back(r.get<std::string>());
	}
	for (const char *k : {"models", "server_info", "model_info"})
		if (!f.value(k, json()).is_null() && !f[k].is_object())
			return false;
	facts.models = f.value("models", json());
	facts.server_info = f.value("server_info", json());
	facts.model_info = f.value("model_info", json());
	facts.health = f["health"].get<std::string>();
	return true;
}

} // namespace

bool steady_route(const std::string &path)
{
	for (const char *r : {"/metrics", "/server_info", "/get_server_info", "/v1/loads", "/get_load",
			      "/engine_metrics"})
		if (path == r)
			return true;
	return false;
}

bool restarted_since(const State &state, const SampleSet &now)
{
	return !state.samples.empty() && went_down(state.samples.back(), now);
}

json state_to_json(const State &state)
{
	json samples = json::array();
	for (const SampleSet &s : state.samples) {
		json hists = json::object();
		for (const auto &h : s.histograms) {
			/* A sum the server gave as NaN cannot be stored; the
			 * histogram is left out of the window rather than saved
			 * as a value that would void the whole state. */
			if (!std::isfinite(h.second.sum) || !std::isfinite(h.second.count))
				continue;
			json le = json::array(), n = json::array();
			for (const auto &b : h.second.buckets) {
				le.push_back(bound_text(b.first));
				n.push_back(b.second);
			}
			hists[h.first] = {{"family", h.second.family}, {"sum", h.second.sum},
					  {"count", h.second.count}, {"le", le}, {"n", n}};
		}
		samples.push_back({{"t_ms", s.t_ms}, {"counters", s.counters}, {"histograms", hists}});
	}
	json j = {{"url", state.url}, {"samples", samples}};
	if (state.facts.asked_ms != 0)
		j["facts"] = {{"asked_ms", state.facts.asked_ms}, {"routes", state.facts.routes},
			      {"health", state.facts.health}, {"models", state.facts.models},
			      {"server_info", state.facts.server_info}, {"model_info", state.facts.model_info}};
	return j;
}

State state_from_json(const json &j, int64_t now_ms)
{
	State state;
	if (!j.is_object() || !j.contains("url") || !j["url"].is_string() ||
	    !j.contains("samples") || !j["samples"].is_array())
		return state;
	state.url = j["url"].get<std::string>();
	if (j.contains("facts") && !facts_from_json(j["facts"], now_ms, state.facts))
		state.facts = ServerFacts{};
	/* The file is outside the program's control: one doubtful sample and
	 * none is used, since a window against a wrong one is worse than none. */
	for (const json &e : j["samples"]) {
		SampleSet s;
		if (!sample_from_json(e, now_ms, s) ||
		    (!state.samples.empty() && s.t_ms <= state.samples.back().t_ms)) {
			state.samples.clear();
			return state;
		}
		state.samples.push_back(std::move(s));
	}
	return state;
}

std::string state_file_name(const std::string &url)
{
	/* FNV-1a, 64 bits: a short file name that differs per endpoint. */
	uint64_t h = 14695981039346656037ull;
	for (unsigned char c : url) {
		h ^= c;
		h *= 1099511628211ull;
	}
	char buf[24];
	std::snprintf(buf, sizeof(buf), "%016llx.json", static_cast<unsigned long long>(h));
	return buf;
}

void state_refused(const std::string &path, const std::string &why)
{
	std::fprintf(stderr,
		     "quorvane-sglang-metrics: state '%s' not used (%s); the windowed figures are left out\n",
		     path.c_str(), why.c_str());
}

State state_from_text(const std::string &text, const std::string &url, int64_t now_ms)
{
	State s = state_from_json(json::parse(text, nullptr, false), now_ms);
	/* Two endpoints whose names hash alike must not mix their samples. */
	if (s.url != url)
		return State{url, {}};
	return s;
}

Window update_window(State &state, const SampleSet &now)
{
	Window w;
	std::vector<SampleSet> kept;
	for (SampleSet &s : state.samples)
		if (s.t_ms <= now.t_ms && now.t_ms - s.t_ms <= kStateKeepMs)
			kept.push_back(std::move(s));
	state.samples = std::move(kept);
	if (!state.samples.empty() && went_down(state.samples.back(), now)) {
		state.samples.clear();
		w.restarted = true;
	}
	/* The base: the oldest sample of the last kWindowMs, or else the newest
	 * one kept, so that slow polling still gets a window. */
	const SampleSet *base = nullptr;
	for (const SampleSet &s : state.samples) {
		if (s.t_ms >= now.t_ms)
			continue;
		if (now.t_ms - s.t_ms <= kWindowMs) {
			base = &s;
			break;
		}
		base = &s;
	}
	if (base != nullptr) {
		w.base = *base;
		w.seconds = static_cast<double>(now.t_ms - base->t_ms) / 1000.0;
	}
	if (state.samples.empty() || now.t_ms - state.samples.back().t_ms >= kMinSpacingMs)
		state.samples.push_back(now);
	return w;
}

} // namespace sgm
