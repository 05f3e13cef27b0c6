/*
 * Which routes of the server are asked, and when. Every SGLang generation
 * answers some of them: /server_info and /model_info replaced their /get_
 * forms in late 2025 (which still answer), /metrics exists only with
 * --enable-metrics, /v1/loads replaced /get_load in 2026. Every first-choice
 * route goes out at once, and a route that answers 404 passes to its older
 * name as soon as the 404 arrives, so that a slow server costs about two
 * answer times, not one per route. One deadline bounds the whole probe.
 * A model gateway lists its workers on /v1/loads; only then is its
 * /engine_metrics asked, as soon as that list arrives.
 */
#include <algorithm>
#include <array>

#include "sglang_metrics.h"

namespace sgm {

namespace {

enum Tag { T_MODELS, T_SERVER_INFO, T_METRICS, T_LOADS, T_MODEL_INFO, T_HEALTH, T_ENGINE_METRICS, T_COUNT };

/* The routes of each tag, newest name first. */
const std::array<std::vector<const char *>, T_COUNT> kRoutes = {{
	{"/v1/models"},
	{"/server_info", "/get_server_info"},
	{"/metrics"},
	{"/v1/loads", "/get_load"},
	{"/model_info", "/get_model_info"},
	{"/health"},
	{"/engine_metrics"},
}};

Route &route_of(ProbeResult &p, int tag)
{
	switch (tag) {
	case T_MODELS:
		return p.models;
	case T_SERVER_INFO:
		return p.server_info;
	case T_METRICS:
		return p.metrics;
	case T_LOADS:
		return p.loads;
	case T_HEALTH:
		return p.health;
	case T_ENGINE_METRICS:
		return p.engine_metrics;
	default:
		return p.model_info;
	}
}

/* Whether a load answer is a gateway's list of workers. */
bool lists_workers(const Route &r)
{
	if (!r.ok())
		return false;
	nlohmann::json j = nlohmann::json::parse(r.result.body, nullptr, false);
	return j.is_object() && j.contains("workers") && j["workers"].is_array();
}

} // namespace

ProbeResult probe_server(const std::string &base, const std::string &api_key,
			 const std::vector<std::string> &only, long budget_ms)
{
	ProbeResult result;
	Fetcher fetcher(budget_ms);
	std::array<std::size_t, T_COUNT> step{};
	/* The tags to ask first, each at the route named for it. */
	std::array<bool, T_COUNT> first{};
	for (int tag = 0; tag < T_COUNT; tag++) {
		if (only.empty()) {
			first[tag] = tag != T_ENGINE_METRICS;
			continue;
		}
		for (std::size_t i = 0; i < kRoutes[tag].size(); i++)
			if (std::find(only.begin(), only.end(), kRoutes[tag][i]) != only.end()) {
				first[tag] = true;
				step[tag] = i;
			}
	}

	auto ask = [&](int tag) {
		const char *path = kRoutes[tag][step[tag]];
		std::vector<std::string> headers;
		/* The metrics page in the classic text format, never compressed. */
		headers.push_back(tag == T_METRICS ? "Accept: text/plain" : "Accept: application/json");
		if (!api_key.empty())
			headers.push_back("Authorization: Bearer " + api_key);
		route_of(result, tag).path = path;
		fetcher.get(tag, base + path, headers);
	};

	for (int tag = 0; tag < T_COUNT; tag++)
		if (first[tag])
			ask(tag);
	for (auto done = fetcher.wait(); !done.empty(); done = fetcher.wait()) {
		for (auto &d : done) {
			int tag = d.first;
			Route &r = route_of(result, tag);
			r.result = std::move(d.second);
			if (only.empty() && r.result.transport_ok && r.result.status == 404 &&
			    step[tag] + 1 < kRoutes[tag].size()) {
				step[tag]++;
				ask(tag);
				continue;
			}
			if (tag == T_LOADS && !result.engine_metrics.asked() && lists_workers(r))
				ask(T_ENGINE_METRICS);
			/* The model list answers on every generation: without it, or
			 * refused for want of a key, the other answers do not matter. */
			if (tag == T_MODELS && (!r.result.transport_ok || r.result.status == 401 ||
						r.result.status == 403))
				return result;
		}
	}
	for (int tag = 0; tag < T_COUNT; tag++)
		if (route_of(result, tag).result.timed_out)
			result.late.push_back(route_of(result, tag).path);
	return result;
}

} // namespace sgm
