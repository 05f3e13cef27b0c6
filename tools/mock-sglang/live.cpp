/*
 * Live mode: a simulated busy server. The state moves with the clock in
 * steps of a tenth of a second: the load follows two slow waves, requests
 * run and queue with it, finished requests add to the counters and to the
 * latency histograms, and the gauges are refreshed once a second as the
 * scheduler's log does. The answers keep the shapes of a recent server with
 * --enable-metrics and EAGLE speculative decoding.
 */
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "mock.h"

namespace mock {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kStep = 0.1;          /* simulated seconds per step */
constexpr double kHistory = 600;       /* seconds simulated before start */
constexpr double kMaxCatchUp = 3600;   /* a longer pause is skipped, not replayed */
constexpr int kMaxRunning = 48;
constexpr double kCapacity = 392487;   /* KV cache tokens */
constexpr double kContextLen = 131072;
constexpr double kMeanOutput = 350;    /* generated tokens per request */
constexpr int kDraftTokens = 4;

double clock_s()
{
	using namespace std::chrono;
	return duration<double>(steady_clock::now().time_since_epoch()).count();
}

/* Label sets in the order the Python client writes them: sorted by name. */
using Labels = std::vector<std::pair<std::string, std::string>>;

std::string escape_label(const std::string &v)
{
	std::string out;
	for (char c : v) {
		if (c == '\\' || c == '"')
			out += '\\';
		if (c == '\n') {
			out += "\\n";
			continue;
		}
		out += c;
	}
	return out;
}

std::string render_labels(Labels labels)
{
	std::sort(labels.begin(), labels.end());
	std::string out = "{";
	for (std::size_t i = 0; i < labels.size(); i++) {
		if (i > 0)
			out += ',';
		out += labels[i].first + "=\"" + escape_label(labels[i].second) + "\"";
	}
	return out + "}";
}

constexpr double kStallQueueMax = 40; /* requests a stalled queue grows to */

} // namespace

bool scenario_from_name(const std::string &name, Scenario &out)
{
	static const std::pair<const char *, Scenario> names[] = {
		{"live", Scenario::live},
		{"stall-queue", Scenario::stall_queue},
		{"stall-tokens", Scenario::stall_tokens},
		{"down", Scenario::down},
	};
	for (const auto &n : names)
		if (name == n.first) {
			out = n.second;
			return true;
		}
	return false;
}

std::string go_float(double v)
{
	if (std::isnan(v))
		return "NaN";
	if (std::isinf(v))
		return v > 0 ? "+Inf" : "-Inf";
	if (v == 0)
		return "0.0";
	char buf[64];
	int exp10 = static_cast<int>(std::floor(std::log10(std::fabs(v))));
	/* Python's repr: exponent form below 1e-4 and from 1e16 on. */
	bool sci = exp10 < -4 || exp10 >= 16;
	auto r = std::to_chars(buf, buf + sizeof(buf) - 3, v,
			       sci ? std::chars_format::scientific : std::chars_format::fixed);
	std::string s(buf, r.ptr);
	if (!sci && s.find('.') == std::string::npos)
		s += ".0";
	/* The client then switches to an exponent sooner, as Go does. */
	std::size_t dot = s.find('.');
	if (!sci && v > 0 && dot != std::string::npos && dot > 6) {
		std::string mantissa = s.substr(0, 1) + "." + s.substr(1, dot - 1) + s.substr(dot + 1);
		while (!mantissa.empty() && (mantissa.back() == '0' || mantissa.back() == '.'))
			mantissa.pop_back();
		return mantissa + "e+0" + std::to_string(dot - 1);
	}
	return s;
}

void Simulator::Hist::observe(double v, double weight)
{
	std::size_t i = std::lower_bound(bounds.begin(), bounds.end(), v) - bounds.begin();
	counts[i] += weight;
	sum += v * weight;
	count += weight;
}

Simulator::Simulator(const Options &opt) : opt_(opt)
{
	auto make = [](std::vector<double> b) {
		Hist h;
		h.bounds = std::move(b);
		h.counts.assign(h.bounds.size() + 1, 0);
		return h;
	};
	/* The bucket bounds of recent servers. */
	ttft_ = make({0.1, 0.2, 0.4, 0.6, 0.8, 1, 2, 4, 6, 8, 10, 20, 40, 60, 80, 100, 200, 400});
	itl_ = make({0.002, 0.004, 0.006, 0.008, 0.01, 0.015, 0.02, 0.025, 0.03, 0.035, 0.04, 0.06,
		     0.08, 0.1, 0.2, 0.4, 0.6, 0.8, 1, 2, 4, 6, 8});
	e2e_ = make({0.1, 0.2, 0.4, 0.6, 0.8, 1, 2, 4, 6, 8, 10, 20, 40, 60, 80, 100, 200, 400, 600,
		     1200, 1800, 2400});
	queue_ = make({0.0, 0.1, 0.2, 0.5, 1, 2, 3, 4, 5, 10, 15, 20, 30, 40, 50, 60, 70, 80, 90, 100,
		       200, 300, 400, 500, 600, 700, 800, 900, 1000, 1200, 1400, 1600, 1800, 2000,
		       2500, 3000});
	/* Ten minutes of past traffic, so that totals and means are not empty. */
	for (double t = -kHistory; t < 0; t += 1.0)
		step(t, 1.0);
	start_ = clock_s();
	sim_t_ = 0;
	scenario_from_name(opt.scenario, scenario_);
}

bool Simulator::switch_to(const std::string &name)
{
	std::lock_guard<std::mutex> lock(mu_);
	advance();
	if (name == "restart") {
		restart();
		scenario_ = Scenario::live;
		return true;
	}
	return scenario_from_name(name, scenario_);
}

Scenario Simulator::scenario()
{
	std::lock_guard<std::mutex> lock(mu_);
	return scenario_;
}

void Simulator::restart()
{
	prompt_ = generation_ = cached_ = requests_ = 0;
	rt_prefill_compute_ = rt_prefill_cache_ = rt_decode_ = 0;
	for (Hist *h : {&ttft_, &itl_, &e2e_, &queue_}) {
		std::fill(h->counts.begin(), h->counts.end(), 0);
		h->sum = h->count = 0;
	}
}

void Simulator::stall(double dt)
{
	if (scenario_ == Scenario::stall_queue) {
		/* The scheduler takes nothing in: the queue fills, nothing runs. */
		running_ = 0;
		queued_ = std::min(kStallQueueMax, std::max(queued_, 1.0) + 0.5 * dt);
	} else {
		/* Requests hold their slots but no token comes out. */
		running_ = std::max(std::round(running_), 8.0);
	}
	since_log_ += dt;
	if (since_log_ >= 1.0) {
		since_log_ = 0;
		gen_throughput_ = 0;
		used_tokens_ = std::min(kCapacity, running_ * 2600);
	}
}

void Simulator::advance()
{
	double target = clock_s() - start_;
	if (target - sim_t_ > kMaxCatchUp)
		sim_t_ = target - kMaxCatchUp;
	while (sim_t_ + kStep <= target) {
		sim_t_ += kStep;
		step(sim_t_, kStep);
	}
}

void Simulator::step(double t, double dt)
{
	if (scenario_ == Scenario::stall_queue || scenario_ == Scenario::stall_tokens) {
		stall(dt);
		return;
	}
	std::normal_distribution<double> noise(0.0, 1.0);
	/* A slow wave of two minutes and a faster one: busy, calm, busy. */
	double load = 0.55 + 0.32 * std::sin(2 * kPi * t / 120) + 0.12 * std::sin(2 * kPi * t / 37 + 1);
	load = std::clamp(load + 0.02 * noise(rng_), 0.03, 1.0);
	load_ = load;
	double demand = load * 1.4 * kMaxRunning;
	double target = std::min<double>(demand, kMaxRunning);
	running_ += (target - running_) * std::min(1.0, dt / 2.0);
	queued_ = std::max(0.0, demand - kMaxRunning);

	/* Decoding slows as the batch grows. */
	double itl = 0.011 + 0.012 * running_ / kMaxRunning;
	double tokens = running_ / itl * dt;
	rt_decode_ += tokens;
	/* Like the server, the bucket of each chunk's seconds per token gets the
	 * chunk's tokens, so the count is a count of tokens. */
	for (int chunk = 0; chunk < 4; chunk++)
		itl_.observe(std::max(0.001, itl * std::exp(0.15 * noise(rng_))), tokens / 4);

	pending_finish_ += tokens / kMeanOutput;
	while (pending_finish_ >= 1) {
		finish_request(load);
		pending_finish_ -= 1;
	}

	since_log_ += dt;
	if (since_log_ >= 1.0) {
		since_log_ = 0;
		gen_throughput_ = running_ / itl * (1 + 0.03 * noise(rng_));
		used_tokens_ = std::min(kCapacity, running_ * (2600 + 300 * noise(rng_)));
		accept_len_ = std::clamp(2.75 + 0.2 * std::sin(t / 17) + 0.05 * noise(rng_), 1.0, 4.0);
		/* The gauge holds the last prefill batch and reads 0 after a decode log. */
		if (std::uniform_real_distribution<double>(0, 1)(rng_) < 0.5)
			cache_hit_rate_ = 0;
	}
}

void Simulator::finish_request(double load)
{
	std::normal_distribution<double> noise(0.0, 1.0);
	std::uniform_real_distribution<double> uni(0, 1);
	double prompt = std::round(300 + 3200 * uni(rng_));
	double out = std::round(std::clamp(kMeanOutput * -std::log(1 - 0.999 * uni(rng_)), 16.0, 2000.0));
	double hit = std::clamp(0.32 + 0.12 * noise(rng_), 0.0, 0.9);
	double cached = std::round(prompt * hit);
	double wait_mean = queued_ > 0 ? 0.4 + 2.0 * load * load : 0.02;
	double wait = -wait_mean * std::log(1 - 0.999 * uni(rng_));
	double ttft = wait + 0.05 + prompt / 40000.0 * (1 + load) + 0.02 * std::fabs(noise(rng_));
	double itl = 0.011 + 0.012 * running_ / kMaxRunning;

	prompt_ += prompt;
	generation_ += out;
	if (cached > 0)
		cached_ += cached;
	requests_ += 1;
	rt_prefill_compute_ += prompt - cached;
	rt_prefill_cache_ += cached;
	cache_hit_rate_ = hit;
	ttft_.observe(ttft);
	e2e_.observe(ttft + out * itl);
	queue_.observe(wait);
}

std::string Simulator::metrics_text()
{
	std::lock_guard<std::mutex> lock(mu_);
	advance();
	const Labels tok = {{"engine_type", "unified"}, {"model_name", opt_.model}};
	Labels sched = tok;
	sched.insert(sched.end(), {{"moe_ep_rank", "0"}, {"pp_rank", "0"}, {"tp_rank", "0"}});

	std::string out;
	auto family = [&](const char *name, const char *type, const char *help) {
		out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
	};
	auto sample = [&](const std::string &name, const Labels &labels, double v) {
		out += name + render_labels(labels) + " " + go_float(v) + "\n";
	};
	auto histogram = [&](const char *name, const char *help, const Hist &h, const Labels &labels) {
		family(name, "histogram", help);
		sample(std::string(name) + "_sum", labels, h.sum);
		double cum = 0;
		for (std::size_t i = 0; i <= h.bounds.size(); i++) {
			cum += h.counts[i];
			Labels l = labels;
			l.emplace_back("le", i < h.bounds.size() ? go_float(h.bounds[i]) : "+Inf");
			sample(std::string(name) + "_bucket", l, cum);
		}
		sample(std::string(name) + "_count", labels, h.count);
	};

	family("sglang:prompt_tokens_total", "counter", "Number of prefill tokens processed.");
	sample("sglang:prompt_tokens_total", tok, prompt_);
	family("sglang:generation_tokens_total", "counter", "Number of generation tokens processed.");
	sample("sglang:generation_tokens_total", tok, generation_);
	family("sglang:cached_tokens_total", "counter",
	       "Number of cached prompt tokens by source (device/host/storage).");
	Labels device = tok;
	device.emplace_back("cache_source", "device");
	sample("sglang:cached_tokens_total", device, cached_);
	family("sglang:num_requests_total", "counter", "Number of requests processed.");
	sample("sglang:num_requests_total", tok, requests_);

	family("sglang:num_running_reqs", "gauge", "The number of running requests.");
	sample("sglang:num_running_reqs", sched, std::round(running_));
	family("sglang:num_used_tokens", "gauge", "The number of used tokens.");
	sample("sglang:num_used_tokens", sched, std::round(used_tokens_));
	family("sglang:token_usage", "gauge", "The token usage.");
	sample("sglang:token_usage", sched, std::round(used_tokens_) / kCapacity);
	family("sglang:gen_throughput", "gauge", "The generation throughput (token/s).");
	sample("sglang:gen_throughput", sched, gen_throughput_);
	family("sglang:num_queue_reqs", "gauge", "The number of requests in the waiting queue.");
	sample("sglang:num_queue_reqs", sched, std::round(queued_));
	family("sglang:cache_hit_rate", "gauge", "The prefix cache hit rate.");
	sample("sglang:cache_hit_rate", sched, cache_hit_rate_);
	family("sglang:max_total_num_tokens", "gauge",
	       "Maximum total number of tokens in the KV cache pool.");
	sample("sglang:max_total_num_tokens", sched, kCapacity);
	family("sglang:spec_accept_length", "gauge",
	       "The average acceptance length of speculative decoding.");
	sample("sglang:spec_accept_length", sched, accept_len_);
	family("sglang:spec_accept_rate", "gauge",
	       "The average acceptance rate of speculative decoding (`accepted tokens / total draft tokens` in batch).");
	sample("sglang:spec_accept_rate", sched, accept_len_ / kDraftTokens);

	histogram("sglang:time_to_first_token_seconds", "Histogram of time to first token in seconds.",
		  ttft_, tok);
	histogram("sglang:inter_token_latency_seconds", "Histogram of inter-token latency in seconds.",
		  itl_, tok);
	histogram("sglang:e2e_request_latency_seconds",
		  "Histogram of End-to-end request latency in seconds", e2e_, tok);
	histogram("sglang:queue_time_seconds", "Histogram of queueing time in seconds.", queue_, sched);

	family("sglang:realtime_tokens_total", "counter",
	       "Total number of tokens processed (updated on each log interval). mode: prefill_compute, prefill_cache, decode.");
	for (auto m : {std::make_pair("prefill_compute", rt_prefill_compute_),
		       std::make_pair("prefill_cache", rt_prefill_cache_),
		       std::make_pair("decode", rt_decode_)}) {
		Labels l = sched;
		l.emplace_back("mode", m.first);
		sample("sglang:realtime_tokens_total", l, std::round(m.second));
	}
	return out;
}

std::string Simulator::server_info_json()
{
	std::lock_guard<std::mutex> lock(mu_);
	advance();
	nlohmann::ordered_json args = {
		{"model_path", opt_.model},
		{"tokenizer_path", opt_.model},
		{"context_length", nullptr},
		{"host", "127.0.0.1"},
		{"max_running_requests", kMaxRunning},
		{"chunked_prefill_size", 8192},
		{"tp_size", 1},
		{"pp_size", 1},
		{"enable_metrics", true},
		{"api_key", opt_.api_key.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(opt_.api_key)},
		{"admin_api_key", nullptr},
		{"served_model_name", opt_.model},
		{"dp_size", 1},
		{"enable_dp_attention", false},
		{"speculative_algorithm", "EAGLE"},
		{"speculative_num_steps", 3},
		{"speculative_eagle_topk", 1},
		{"speculative_num_draft_tokens", kDraftTokens},
	};
	nlohmann::ordered_json info = args;
	info["status"] = "ready";
	info["max_total_num_tokens"] = static_cast<long>(kCapacity);
	info["max_req_input_len"] = static_cast<long>(kContextLen) - 6;
	nlohmann::ordered_json state = args;
	state["last_gen_throughput"] = gen_throughput_;
	state["memory_usage"] = {{"weight", 15.42}, {"kvcache", 49.41},
				 {"token_capacity", static_cast<long>(kCapacity)}, {"graph", 2.79}};
	state["effective_max_running_requests_per_dp"] = kMaxRunning;
	state["avg_spec_accept_length"] = accept_len_;
	info["internal_states"] = nlohmann::ordered_json::array({state});
	info["version"] = "0.0.0.dev0+mock";
	return info.dump();
}

std::string Simulator::models_json()
{
	long now = static_cast<long>(std::time(nullptr));
	nlohmann::ordered_json entry = {{"id", opt_.model}, {"object", "model"}, {"created", now},
					{"owned_by", "sglang"}, {"root", opt_.model}, {"parent", nullptr},
					{"max_model_len", static_cast<long>(kContextLen)}};
	return nlohmann::ordered_json({{"object", "list"}, {"data", {entry}}}).dump();
}

std::string Simulator::model_info_json()
{
	return nlohmann::ordered_json({{"model_path", opt_.model}, {"tokenizer_path", opt_.model},
				       {"is_generation", true}, {"weight_version", "default"}})
		.dump();
}

std::string Simulator::loads_json()
{
	std::lock_guard<std::mutex> lock(mu_);
	advance();
	double used = std::round(used_tokens_);
	nlohmann::ordered_json load = {
		{"dp_rank", 0},
		{"num_running_reqs", std::lround(running_)},
		{"num_waiting_reqs", std::lround(queued_)},
		{"num_used_tokens", static_cast<long>(used)},
		{"max_total_num_tokens", static_cast<long>(kCapacity)},
		{"token_usage", std::round(used / kCapacity * 1e4) / 1e4},
		{"gen_throughput", std::round(gen_throughput_ * 100) / 100},
		{"cache_hit_rate", std::round(cache_hit_rate_ * 1e4) / 1e4},
		{"max_running_requests", kMaxRunning},
		{"speculative", {{"accept_length", accept_len_}, {"accept_rate", accept_len_ / kDraftTokens}}},
	};
	return nlohmann::ordered_json({{"version", "0.0.0.dev0+mock"}, {"loads", {load}}}).dump();
}

std::string Simulator::get_load_json()
{
	std::lock_guard<std::mutex> lock(mu_);
	advance();
	long running = std::lround(running_), queued = std::lround(queued_);
	return nlohmann::ordered_json::array(
		       {{{"dp_rank", 0}, {"num_reqs", running + queued}, {"num_waiting_reqs", queued},
			 {"num_tokens", std::lround(used_tokens_)}}})
		.dump();
}

namespace {

/* Answers 503 for a server that is down: true when it did. */
bool answer_down(Simulator &sim, httplib::Response &res)
{
	if (sim.scenario() != Scenario::down)
		return false;
	res.status = 503;
	res.set_content("Service Unavailable", "text/plain");
	return true;
}

} // namespace

void live_routes(httplib::Server &svr, const std::shared_ptr<Simulator> &sim, const Options &opt)
{
	using Body = std::string (Simulator::*)();
	/* Tests and the demo switch the scenario while the server runs; the
	 * route needs no key and answers even while the server is down. */
	svr.Get("/mock/scenario", [sim](const httplib::Request &req, httplib::Response &res) {
		if (!sim->switch_to(req.get_param_value("name"))) {
			res.status = 400;
			res.set_content("unknown scenario\n", "text/plain");
			return;
		}
		res.set_content("ok\n", "text/plain");
	});
	auto route = [&](const char *pattern, Body body, const char *type) {
		svr.Get(pattern, [sim, opt, body, type](const httplib::Request &req, httplib::Response &res) {
			if (answer_down(*sim, res))
				return;
			if (!key_accepted(req, opt.api_key, opt.metrics_need_key)) {
				res.status = 401;
				res.set_content("{\"error\":\"Unauthorized\"}", "application/json");
				return;
			}
			res.set_content(((*sim).*body)(), type);
		});
	};
	const char *json = "application/json";
	route(R"(/metrics(/.*)?)", &Simulator::metrics_text, "text/plain; version=0.0.4; charset=utf-8");
	route("/server_info", &Simulator::server_info_json, json);
	route("/get_server_info", &Simulator::server_info_json, json);
	route("/model_info", &Simulator::model_info_json, json);
	route("/get_model_info", &Simulator::model_info_json, json);
	route("/v1/models", &Simulator::models_json, json);
	route("/v1/loads", &Simulator::loads_json, json);
	route("/get_load", &Simulator::get_load_json, json);
	for (const char *path : {"/health", "/health_generate", "/ping"})
		svr.Get(path, [sim](const httplib::Request &, httplib::Response &res) {
			if (!answer_down(*sim, res))
				res.set_content("", "application/json");
		});
	svr.Get(R"(.*)", [sim, opt](const httplib::Request &req, httplib::Response &res) {
		if (answer_down(*sim, res))
			return;
		if (!key_accepted(req, opt.api_key, opt.metrics_need_key)) {
			res.status = 401;
			res.set_content("{\"error\":\"Unauthorized\"}", "application/json");
			return;
		}
		not_found(res);
	});
}

} // namespace mock
