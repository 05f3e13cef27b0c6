/*
 * The state kept between runs: each run is one process, so the recent
 * counters and histograms of an endpoint live in a small file under the
 * user's cache folder, replaced whole by a rename and readable by the user
 * only. The windowed figures are differences against one of them.
 */
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sglang_metrics.h"

namespace sgm {

using json = nlohmann::json;

namespace {

/* A state file larger than this is not ours to read. */
constexpr std::streamsize kMaxStateBytes = 4 << 20;

std::string bound_text(double b)
{
	if (std::isinf(b))
		return b > 0 ? "+Inf" : "-Inf";
	char buf[40];
	std::snprintf(buf, sizeof(buf), "%.17g", b);
	return buf;
}

/* An absolute directory from the environment, or "". */
std::string absolute_env(const char *name)
{
	const char *v = std::getenv(name);
	return v != nullptr && v[0] == '/' ? std::string(v) : std::string();
}

bool make_private_dir(const std::string &dir)
{
	if (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) {
		struct stat st;
		return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
	}
	return false;
}

/* FNV-1a, 64 bits: a short file name that differs per endpoint. */
std::string url_key(const std::string &url)
{
	uint64_t h = 14695981039346656037ull;
	for (unsigned char c : url) {
		h ^= c;
		h *= 1099511628211ull;
	}
	char buf[17];
	std::snprintf(buf, sizeof(buf), "%016llx", static_cast<unsigned long long>(h));
	return buf;
}

/* Whether a counter or a histogram of now lies below its value in old: the
 * server restarted (its metrics directory is made anew at every start). */
bool went_down(const SampleSet &old, const SampleSet &now)
{
	for (const auto &c : now.counters) {
		auto it = old.counters.find(c.first);
		if (it != old.counters.end() && c.second < it->second)
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

} // namespace

json state_to_json(const State &state)
{
	json samples = json::array();
	for (const SampleSet &s : state.samples) {
		json hists = json::object();
		for (const auto &h : s.histograms) {
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
	return {{"url", state.url}, {"samples", samples}};
}

State state_from_json(const json &j)
{
	State state;
	if (!j.is_object() || !j.contains("url") || !j["url"].is_string() ||
	    !j.contains("samples") || !j["samples"].is_array())
		return state;
	state.url = j["url"].get<std::string>();
	for (const json &e : j["samples"]) {
		if (!e.is_object() || !e.contains("t_ms") || !e["t_ms"].is_number_integer())
			continue;
		SampleSet s;
		s.t_ms = e["t_ms"].get<int64_t>();
		if (e.contains("counters") && e["counters"].is_object())
			for (const auto &c : e["counters"].items())
				if (c.value().is_number())
					s.counters[c.key()] = c.value().get<double>();
		if (e.contains("histograms") && e["histograms"].is_object()) {
			for (const auto &h : e["histograms"].items()) {
				const json &v = h.value();
				if (!v.is_object() || !v.value("family", json()).is_string() ||
				    !v.value("sum", json()).is_number() || !v.value("count", json()).is_number() ||
				    !v.value("le", json()).is_array() || !v.value("n", json()).is_array() ||
				    v["le"].size() != v["n"].size())
					continue;
				Histogram hist;
				hist.family = v["family"].get<std::string>();
				hist.sum = v["sum"].get<double>();
				hist.count = v["count"].get<double>();
				for (std::size_t i = 0; i < v["le"].size(); i++) {
					double bound = 0;
					if (v["le"][i].is_string() && v["n"][i].is_number() &&
					    parse_value(v["le"][i].get<std::string>(), bound))
						hist.buckets[bound] = v["n"][i].get<double>();
				}
				s.histograms[h.key()] = std::move(hist);
			}
		}
		state.samples.push_back(std::move(s));
	}
	return state;
}

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
	std::string product = cache + "/quorvane";
	std::string dir = product + "/sglang-metrics";
	if (!make_private_dir(cache) || !make_private_dir(product) || !make_private_dir(dir))
		return {};
	return dir + "/" + url_key(url) + ".json";
}

State load_state(const std::string &path, const std::string &url)
{
	std::ifstream in(path, std::ios::binary | std::ios::ate);
	std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
	if (size < 0 || size > kMaxStateBytes)
		return State{url, {}};
	std::string text(static_cast<std::size_t>(size), '\0');
	in.seekg(0);
	in.read(&text[0], size);
	if (in.gcount() != size)
		return State{url, {}};
	State s = state_from_json(json::parse(text, nullptr, false));
	/* Two endpoints whose names hash alike must not mix their samples. */
	if (s.url != url)
		return State{url, {}};
	return s;
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
