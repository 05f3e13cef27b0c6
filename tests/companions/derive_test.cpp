/*
 * From server answers to figures, in process: the window between two
 * probes with an exact clock, the kept state, and the fallbacks that the
 * fixture servers do not reach.
 */
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "match.h"
#include "proc.h"
#include "sglang_metrics.h"

using namespace sgm;
using json = nlohmann::json;

namespace {

std::string fixture(const std::string &rel)
{
	return ctest::read_text(std::string(QV_FIXTURES) + "/" + rel);
}

Route answered(const char *path, const std::string &body, long status = 200)
{
	Route r;
	r.path = path;
	r.result.transport_ok = true;
	r.result.status = status;
	r.result.body = body;
	return r;
}

/* The answers of fixture variant a, with the metrics page named. */
ProbeResult variant_a(const std::string &metrics_file)
{
	ProbeResult p;
	p.models = answered("/v1/models", fixture("a_recent_eagle/v1_models.json"));
	p.server_info = answered("/server_info", fixture("a_recent_eagle/server_info.json"));
	p.metrics = answered("/metrics", fixture("a_recent_eagle/" + metrics_file));
	return p;
}

json output(const ProbeResult &p, const SampleSet &now, const Window &w)
{
	return json::parse(derive_output("http://h", read_probe(p), now, w).dump());
}

/* One probe of variant a at t_ms through the state, as the companion does. */
json probe_a(State &state, const std::string &metrics_file, int64_t t_ms)
{
	ProbeResult p = variant_a(metrics_file);
	SampleSet now = current_samples(read_probe(p), t_ms);
	Window w = update_window(state, now);
	return output(p, now, w);
}

SampleSet counters_at(int64_t t, double prompt)
{
	SampleSet s;
	s.t_ms = t;
	s.counters["prompt"] = prompt;
	return s;
}

} // namespace

TEST(DeriveWindow, BaseChoiceAgeLimitsAndSpacing)
{
	State s{"u", {}};
	/* First probe: no window. */
	Window w = update_window(s, counters_at(100000, 10));
	EXPECT_FALSE(w.base.has_value());
	/* A probe 1 s later reuses the window but is not kept. */
	w = update_window(s, counters_at(101000, 11));
	ASSERT_TRUE(w.base.has_value());
	EXPECT_EQ(w.base->t_ms, 100000);
	EXPECT_EQ(s.samples.size(), 1u);
	for (int64_t t = 105000; t <= 190000; t += 5000)
		update_window(s, counters_at(t, 10 + t / 1000));
	/* The base is the oldest sample inside the last minute. */
	w = update_window(s, counters_at(195000, 300));
	ASSERT_TRUE(w.base.has_value());
	EXPECT_EQ(w.base->t_ms, 135000);
	EXPECT_DOUBLE_EQ(w.seconds, 60.0);
	/* After a pause longer than the window, the newest kept sample serves. */
	w = update_window(s, counters_at(295000, 400));
	ASSERT_TRUE(w.base.has_value());
	EXPECT_EQ(w.base->t_ms, 195000);
	/* Samples past the keeping age are gone. */
	for (const SampleSet &x : s.samples)
		EXPECT_LE(295000 - x.t_ms, kStateKeepMs);
	/* A sample from the future (the clock was set back) is dropped. */
	State f{"u", {counters_at(900000, 1)}};
	w = update_window(f, counters_at(1000, 2));
	EXPECT_FALSE(w.base.has_value());
	EXPECT_FALSE(w.restarted);
	ASSERT_EQ(f.samples.size(), 1u);
	EXPECT_EQ(f.samples[0].t_ms, 1000);
}

TEST(DeriveWindow, IdleWindowKeepsLifetimeMeansAndGivesNoQuantiles)
{
	State state{"http://h", {}};
	probe_a(state, "metrics.txt", 1000000);
	json same = probe_a(state, "metrics.txt", 1005000);
	EXPECT_EQ(same["pp_tok_s"], 0.0);
	EXPECT_EQ(same["gen_tok_s"], 0.0);
	EXPECT_NEAR(same["ttft_ms"].get<double>(), 381.769441, 1e-5);
	EXPECT_EQ(same["cache_hit_rate"], 0.3125);
	for (const char *k : {"ttft_p50_ms", "itl_p95_ms", "queue_p50_ms"})
		EXPECT_FALSE(same.contains(k)) << k;
}

TEST(DeriveState, RoundTripCorruptionAndPrivacy)
{
	ctest::TempDir tmp;
	State s{"http://h:1", {}};
	SampleSet a = counters_at(5, 1e12);
	Histogram h;
	h.family = "sglang:time_to_first_token_seconds";
	h.sum = 1.5;
	h.count = 3;
	h.buckets = {{0.1, 1}, {1.0, 2}, {INFINITY, 3}};
	a.histograms["ttft"] = h;
	s.samples.push_back(a);

	std::string path = tmp.path() + "/state.json";
	ASSERT_TRUE(save_state(path, s));
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0600u);
	State back = load_state(path, "http://h:1", 5);
	ASSERT_EQ(back.samples.size(), 1u);
	EXPECT_EQ(back.samples[0].counters.at("prompt"), 1e12);
	EXPECT_EQ(back.samples[0].histograms.at("ttft").buckets, h.buckets);
	EXPECT_EQ(back.samples[0].histograms.at("ttft").family, h.family);
	/* Only the state file stays: no temporary file is left behind. */
	int files = 0;
	for (const auto &e : std::filesystem::directory_iterator(tmp.path()))
		files += e.is_regular_file() ? 1 : 0;
	EXPECT_EQ(files, 1);

	EXPECT_TRUE(load_state(path, "http://other", 5).samples.empty());
	for (const char *bad : {"", "{", "[]", "{\"url\":\"http://h:1\",\"samples\":7}",
				"{\"url\":\"http://h:1\",\"samples\":[{\"t_ms\":\"x\"},{\"t_ms\":1,"
				"\"histograms\":{\"ttft\":{\"le\":[\"1\"],\"n\":[]}}}]}"}) {
		ctest::write_text(path, bad);
		State c = load_state(path, "http://h:1", 5);
		for (const SampleSet &x : c.samples)
			EXPECT_TRUE(x.histograms.empty()) << bad;
	}
}

TEST(DeriveState, CacheFolderFollowsTheEnvironment)
{
	ctest::TempDir tmp;
	std::string xdg = tmp.path() + "/xdg";
	setenv("XDG_CACHE_HOME", xdg.c_str(), 1);
	std::string p = state_path("http://h:1");
	EXPECT_EQ(p.rfind(xdg + "/quorvane/sglang-metrics/", 0), 0u) << p;
	struct stat st;
	ASSERT_EQ(stat((xdg + "/quorvane/sglang-metrics").c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0700u);
	EXPECT_NE(state_path("http://h:2"), p);
	/* A relative folder is not a cache folder: HOME's .cache serves. */
	setenv("XDG_CACHE_HOME", "relative/cache", 1);
	setenv("HOME", tmp.path().c_str(), 1);
	EXPECT_EQ(state_path("http://h:1").rfind(tmp.path() + "/.cache/quorvane/", 0), 0u);
	unsetenv("XDG_CACHE_HOME");
}

TEST(DeriveFallbacks, OldLoadRouteGivesCountsButNoTokens)
{
	/* A server without metrics whose load route is the older one. */
	ProbeResult p;
	p.models = answered("/v1/models", fixture("c_no_metrics/v1_models.json"));
	p.server_info = answered("/server_info", fixture("c_no_metrics/server_info.json"));
	p.metrics = answered("/metrics", fixture("c_no_metrics/metrics_404.json"), 404);
	p.loads = answered("/get_load", fixture("c_no_metrics/get_load.json"));
	json out = output(p, SampleSet{}, Window{});
	EXPECT_EQ(out["num_running_reqs"], 42);
	EXPECT_EQ(out["num_queue_reqs"], 2);
	EXPECT_EQ(out["max_total_num_tokens"], 743664);
	/* Its token count includes waiting prompts, so it is not "used". */
	EXPECT_FALSE(out.contains("num_used_tokens"));
	EXPECT_FALSE(out.contains("token_usage"));
	EXPECT_FALSE(out.contains("cache_hit_rate"));
}

TEST(DeriveFallbacks, SharedLabelsOfOldDataParallelServersDeferToServerInfo)
{
	/* Before the dp_rank label, DP ranks overwrote one series. */
	ProbeResult p;
	p.models = answered("/v1/models", "{\"data\":[{\"id\":\"m\"}]}");
	p.server_info = answered("/get_server_info",
				 "{\"served_model_name\":\"m\",\"dp_size\":2,\"last_gen_throughput\":300.5,"
				 "\"speculative_algorithm\":\"EAGLE\",\"speculative_num_steps\":3,"
				 "\"avg_spec_accept_length\":2.0}");
	p.metrics = answered("/metrics", "# TYPE sglang:gen_throughput gauge\n"
					 "sglang:gen_throughput{model_name=\"m\"} 150.0\n"
					 "# TYPE sglang:num_running_reqs gauge\n"
					 "sglang:num_running_reqs{model_name=\"m\"} 7\n");
	p.loads = answered("/get_load", "[{\"dp_rank\":0,\"num_reqs\":9,\"num_waiting_reqs\":2},"
					"{\"dp_rank\":1,\"num_reqs\":8,\"num_waiting_reqs\":1}]");
	json out = output(p, SampleSet{}, Window{});
	EXPECT_EQ(out["gen_throughput"], 300.5);
	/* The running gauge is one rank's; the load route has both. */
	EXPECT_EQ(out["num_running_reqs"], 14);
	EXPECT_EQ(out["num_queue_reqs"], 3);
	EXPECT_EQ(out["dp"], json::parse("[{\"rank\":0,\"num_running_reqs\":7,\"num_queue_reqs\":2},"
					 "{\"rank\":1,\"num_running_reqs\":7,\"num_queue_reqs\":1}]"));
	/* Lifetime acceptance from the flat form; rate over steps + 1 drafts. */
	EXPECT_EQ(out["spec_accept_length"], 2.0);
	EXPECT_EQ(out["spec_accept_rate"], 0.5);
}

TEST(DeriveFallbacks, LoraAdaptersAndNamesFromLaterRoutes)
{
	ProbeResult p;
	p.models = answered("/v1/models", "{\"data\":[{\"id\":\"adapter\",\"parent\":\"base\"},"
					  "{\"id\":\"base/\",\"parent\":null,\"max_model_len\":null}]}");
	p.server_info = answered("/server_info", "{\"model_path\":\"p\",\"context_length\":4096}");
	ServerView v = read_probe(p);
	EXPECT_EQ(v.model, "base/");
	json out = output(p, SampleSet{}, Window{});
	EXPECT_EQ(out["context_len"], 4096);

	ProbeResult q;
	q.models = answered("/v1/models", "not json", 500);
	q.model_info = answered("/get_model_info", "{\"model_path\":\"org/weights\"}");
	EXPECT_EQ(read_probe(q).model, "org/weights");
}

TEST(DeriveFallbacks, WhatIsNotSglang)
{
	ProbeResult html;
	html.models = answered("/v1/models", "\n<!DOCTYPE html><html></html>");
	html.server_info = answered("/server_info", "<html></html>");
	html.metrics = answered("/metrics", "<html></html>");
	EXPECT_NE(not_sglang_reason(read_probe(html), html).find("web pages"), std::string::npos);

	ProbeResult router;
	router.models = answered("/v1/models", "{\"data\":[{\"id\":\"m\"}]}");
	router.server_info = answered("/get_server_info", "{\"prefill\":[],\"decode\":[]}");
	router.metrics = answered("/metrics", "# TYPE router_requests_total counter\nrouter_requests_total 3\n");
	EXPECT_NE(not_sglang_reason(read_probe(router), router).find("router"), std::string::npos);

	/* A router passes /get_server_info on to one of its servers; only its
	 * metrics page is its own. */
	ProbeResult gateway;
	gateway.models = answered("/v1/models", "{\"data\":[{\"id\":\"m\"}]}");
	gateway.server_info = answered("/get_server_info", fixture("b_v043/get_server_info.json"));
	gateway.metrics = answered("/metrics", "# TYPE sgl_router_requests_total counter\n"
					       "sgl_router_requests_total{route=\"/generate\"} 12\n");
	EXPECT_NE(not_sglang_reason(read_probe(gateway), gateway).find("router in front of servers"),
		  std::string::npos);
	/* A prefill/decode front end also gives its servers' own states. */
	ProbeResult pd;
	pd.models = answered("/v1/models", "{\"data\":[{\"id\":\"m\"}]}");
	pd.server_info = answered("/server_info", "{\"prefill\":[{}],\"decode\":[{},{}],"
						  "\"internal_states\":[{\"last_gen_throughput\":1.0}]}");
	pd.metrics = answered("/metrics", fixture("a_recent_eagle/metrics.txt"));
	EXPECT_NE(not_sglang_reason(read_probe(pd), pd).find("1 prefill and 2 decode servers"), std::string::npos);

	ProbeResult other;
	other.models = answered("/v1/models", "{\"data\":[{\"id\":\"m\"}]}");
	other.metrics = answered("/metrics", "# TYPE vllm:num_requests_running gauge\nvllm:num_requests_running 1\n");
	EXPECT_FALSE(not_sglang_reason(read_probe(other), other).empty());

	ProbeResult ok = variant_a("metrics.txt");
	EXPECT_EQ(not_sglang_reason(read_probe(ok), ok), "");
}

TEST(DeriveQuantile, InterpolationEdgesAndDifferences)
{
	Histogram h;
	h.buckets = {{1.0, 10}, {2.0, 20}, {INFINITY, 20}};
	EXPECT_DOUBLE_EQ(*histogram_quantile(0.5, h, nullptr), 1.0);
	EXPECT_DOUBLE_EQ(*histogram_quantile(0.95, h, nullptr), 1.9);
	/* Beyond the largest finite bound all that is known is that bound. */
	Histogram tail;
	tail.buckets = {{1.0, 10}, {INFINITY, 20}};
	EXPECT_DOUBLE_EQ(*histogram_quantile(0.95, tail, nullptr), 1.0);
	/* The difference to an older histogram; no observations, no quantile. */
	Histogram old;
	old.buckets = {{1.0, 10}, {2.0, 10}, {INFINITY, 10}};
	EXPECT_DOUBLE_EQ(*histogram_quantile(0.5, h, &old), 1.5);
	EXPECT_FALSE(histogram_quantile(0.5, h, &h).has_value());
	/* A first bound of zero answers zero. */
	Histogram zero;
	zero.buckets = {{0.0, 5}, {1.0, 10}, {INFINITY, 10}};
	EXPECT_DOUBLE_EQ(*histogram_quantile(0.25, zero, nullptr), 0.0);
	/* Without a +Inf bucket the total is unknown. */
	Histogram open;
	open.buckets = {{1.0, 10}};
	EXPECT_FALSE(histogram_quantile(0.5, open, nullptr).has_value());
}

TEST(DeriveEdges, NanHistogramSumLeavesTheMeanOut)
{
	/* Prometheus gives NaN for such a mean; 0 would read as a fast server. */
	ProbeResult p;
	p.models = answered("/v1/models", "{\"data\":[{\"id\":\"m\"}]}");
	p.metrics = answered("/metrics", "# TYPE sglang:time_to_first_token_seconds histogram\n"
					 "sglang:time_to_first_token_seconds_sum{model_name=\"m\"} NaN\n"
					 "sglang:time_to_first_token_seconds_count{model_name=\"m\"} 10\n"
					 "sglang:time_to_first_token_seconds_bucket{model_name=\"m\",le=\"+Inf\"} 10\n"
					 "# TYPE sglang:num_running_reqs gauge\n"
					 "sglang:num_running_reqs{model_name=\"m\"} 1\n");
	ServerView v = read_probe(p);
	SampleSet now = current_samples(v, 1000);
	json out = output(p, now, Window{});
	EXPECT_FALSE(out.contains("ttft_ms")) << out;
	EXPECT_EQ(out["num_running_reqs"], 1);
	/* Nor does it void the kept samples: the histogram is not stored. */
	State s{"http://h", {now}};
	EXPECT_EQ(state_from_json(state_to_json(s), 1000).samples.size(), 1u);
}

namespace {

/* A small page of counters: aborts, retractions, HTTP answers and tokens. */
std::string events_page(int aborted, int retracted, int ok, int failed, int prompt, int cached)
{
	const std::string m = "{model_name=\"m\"}";
	return "# TYPE sglang:num_aborted_requests_total counter\n"
	       "sglang:num_aborted_requests_total" + m + " " + std::to_string(aborted) + "\n"
	       "# TYPE sglang:num_retractions histogram\n"
	       "sglang:num_retractions_sum" + m + " " + std::to_string(retracted) + "\n"
	       "sglang:num_retractions_count" + m + " 50\n"
	       "# TYPE sglang:http_responses_total counter\n"
	       "sglang:http_responses_total{endpoint=\"/generate\",method=\"POST\",status_code=\"200\"} " +
	       std::to_string(ok) + "\n"
	       "sglang:http_responses_total{endpoint=\"/generate\",method=\"POST\",status_code=\"503\"} " +
	       std::to_string(failed) + "\n"
	       "# TYPE sglang:prompt_tokens_total counter\n"
	       "sglang:prompt_tokens_total" + m + " " + std::to_string(prompt) + "\n"
	       "# TYPE sglang:cached_tokens_total counter\n"
	       "sglang:cached_tokens_total" + m + " " + std::to_string(cached) + "\n";
}

json probe_page(State &state, const std::string &page, int64_t t_ms)
{
	ProbeResult p;
	p.models = answered("/v1/models", "{\"data\":[{\"id\":\"m\"}]}");
	p.metrics = answered("/metrics", page);
	ServerView v = read_probe(p);
	SampleSet now = current_samples(v, t_ms);
	Window w = update_window(state, now);
	return output(p, now, w);
}

} // namespace

TEST(DeriveRates, EventsOverTheLifeThenOverTheWindow)
{
	State state{"http://h", {}};
	json first = probe_page(state, events_page(10, 4, 90, 10, 1000, 200), 1000000);
	EXPECT_EQ(first["lifetime"], true);
	EXPECT_EQ(first["aborted_requests"], 10);
	EXPECT_EQ(first["retractions"], 4);
	EXPECT_DOUBLE_EQ(first["http_error_rate"].get<double>(), 0.1);
	EXPECT_FALSE(first.contains("pp_tok_s"));

	json second = probe_page(state, events_page(13, 9, 170, 30, 2000, 700), 1005000);
	EXPECT_FALSE(second.contains("lifetime"));
	EXPECT_EQ(second["window_s"], 5.0);
	EXPECT_EQ(second["aborted_requests"], 3);
	EXPECT_EQ(second["retractions"], 5);
	EXPECT_DOUBLE_EQ(second["http_error_rate"].get<double>(), 0.2);
	EXPECT_DOUBLE_EQ(second["pp_tok_s"].get<double>(), 200.0);
	/* Prompt tokens computed, apart from those the prefix cache served. */
	EXPECT_DOUBLE_EQ(second["pp_computed_tok_s"].get<double>(), 100.0);
}

TEST(DeriveEdges, SpellingsPrioritiesNegativeGaugesAndFreeSlots)
{
	/* A relabelling proxy's "sglang_" spelling; per-priority series with
	 * no total beside them (summed); a negative gauge (dropped); a pool
	 * given by its used and free slots alone. */
	ProbeResult p;
	p.models = answered("/v1/models", "{\"data\":[{\"id\":\"m\"}]}");
	p.metrics = answered("/metrics", "# TYPE sglang_num_running_reqs gauge\n"
					 "sglang_num_running_reqs{model_name=\"m\",priority=\"0\"} 3\n"
					 "sglang_num_running_reqs{model_name=\"m\",priority=\"1\"} 4\n"
					 "# TYPE sglang:num_queue_reqs gauge\n"
					 "sglang:num_queue_reqs{model_name=\"m\"} -7\n"
					 "# TYPE sglang:kv_used_tokens gauge\n"
					 "sglang:kv_used_tokens{model_name=\"m\"} 250\n"
					 "# TYPE sglang:kv_available_tokens gauge\n"
					 "sglang:kv_available_tokens{model_name=\"m\"} 750\n");
	p.loads = answered("/v1/loads", "{\"loads\":[{\"dp_rank\":0,\"max_running_requests\":-1}]}");
	json out = output(p, current_samples(read_probe(p), 1000), Window{});
	EXPECT_EQ(out["num_running_reqs"], 7) << out;
	EXPECT_FALSE(out.contains("num_queue_reqs")) << out;
	EXPECT_FALSE(out.contains("max_running_reqs")) << out;
	EXPECT_EQ(out["num_used_tokens"], 250);
	EXPECT_EQ(out["max_total_num_tokens"], 1000);
	EXPECT_DOUBLE_EQ(out["token_usage"].get<double>(), 0.25);
}
