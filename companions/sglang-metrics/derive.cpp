/*
 * From the server's answers to the output object. Each figure has a first
 * source and fallbacks for the generations that lack it: the metrics page
 * when the server runs with --enable-metrics, else the load routes and the
 * server information, whose shape changed from one flat object (early 2025)
 * to a list with one entry per data-parallel rank.
 */
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "sglang_metrics.h"

namespace sgm {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

namespace {

const json *member(const json *j, const char *key)
{
	if (j == nullptr || !j->is_object())
		return nullptr;
	auto it = j->find(key);
	return it == j->end() ? nullptr : &*it;
}

/* A figure of the JSON answers. None of them can fall below zero: a negative
 * one is a fault (or the -1 a gateway gives for a worker it could not ask),
 * and is left out rather than printed. */
std::optional<double> number(const json *j)
{
	if (j == nullptr || !j->is_number())
		return std::nullopt;
	double v = j->get<double>();
	return std::isfinite(v) && v >= 0 ? std::optional<double>(v) : std::nullopt;
}

std::optional<double> number(const json *j, const char *key)
{
	return number(member(j, key));
}

/* Sum, or mean, of f over the elements of an array; none when no element
 * gives a value. */
template <typename F>
std::optional<double> sum_each(const json *array, F f)
{
	if (array == nullptr || !array->is_array())
		return std::nullopt;
	std::optional<double> sum;
	for (const json &e : *array)
		if (std::optional<double> v = f(e))
			sum = sum.value_or(0) + *v;
	return sum;
}

template <typename F>
std::optional<double> mean_each(const json *array, F f)
{
	if (array == nullptr || !array->is_array())
		return std::nullopt;
	double sum = 0;
	int n = 0;
	for (const json &e : *array)
		if (std::optional<double> v = f(e)) {
			sum += *v;
			n++;
		}
	return n > 0 ? std::optional<double>(sum / n) : std::nullopt;
}

/* The first entry of /v1/models that is a base model, not a LoRA adapter. */
const json *base_model_entry(const json *models)
{
	const json *data = member(models, "data");
	if (data == nullptr || !data->is_array())
		return nullptr;
	for (const json &e : *data) {
		const json *parent = member(&e, "parent");
		const json *id = member(&e, "id");
		if ((parent == nullptr || parent->is_null()) && id != nullptr && id->is_string())
			return &e;
	}
	return nullptr;
}

std::optional<json> parse_json(const Route &r)
{
	if (!r.ok())
		return std::nullopt;
	json j = json::parse(r.result.body, nullptr, false);
	if (j.is_discarded())
		return std::nullopt;
	return j;
}

/* The model label of the first SGLang sample that has one; the first
 * generation's "name" counts only outside the function-latency family. */
std::string model_from_labels(const Scrape &scrape)
{
	for (const Family &f : scrape.families) {
		if (f.name.compare(0, 7, "sglang:") != 0)
			continue;
		for (const Sample &s : f.samples) {
			if (const std::string *m = label_of(s, "model_name"))
				return *m;
			if (f.name != "sglang:func_latency_seconds")
				if (const std::string *m = label_of(s, "name"))
					return *m;
		}
	}
	return {};
}

bool looks_like_html(const Route &r)
{
	const std::string &b = r.result.body;
	std::size_t i = b.find_first_not_of(" \t\r\n");
	return r.ok() && i != std::string::npos && b[i] == '<';
}

double round6(double v)
{
	return std::fabs(v) < 1e12 ? std::round(v * 1e6) / 1e6 : v;
}

/* The document under construction; members without a value, or with
 * one that JSON cannot hold, are left out rather than written as null. */
struct Document {
	ojson j = ojson::object();

	void real(const char *key, std::optional<double> v)
	{
		if (v && std::isfinite(*v))
			j[key] = round6(*v);
	}
	void whole(const char *key, std::optional<double> v)
	{
		if (v && std::isfinite(*v) && std::fabs(*v) < 9.2e18)
			j[key] = static_cast<int64_t>(std::llround(*v));
	}
};

std::optional<double> counter_of(const SampleSet &s, const char *key)
{
	auto it = s.counters.find(key);
	return it == s.counters.end() ? std::nullopt : std::optional<double>(it->second);
}

const Histogram *histogram_of(const SampleSet &s, const char *key)
{
	auto it = s.histograms.find(key);
	return it == s.histograms.end() ? nullptr : &it->second;
}

/* The served model: the model list's base model, else the server's own
 * names for it, else the model label of the metrics page. */
std::string served_model(const ServerView &v)
{
	const json *info = v.server_info ? &*v.server_info : nullptr;
	const json *minfo = v.model_info ? &*v.model_info : nullptr;
	if (const json *e = base_model_entry(v.models ? &*v.models : nullptr))
		return (*e)["id"].get<std::string>();
	if (const json *n = member(info, "served_model_name"); n != nullptr && n->is_string())
		return n->get<std::string>();
	if (const json *p = member(minfo, "model_path"); p != nullptr && p->is_string())
		return p->get<std::string>();
	return v.scrape ? model_from_labels(*v.scrape) : std::string();
}

} // namespace

ServerView read_probe(const ProbeResult &probe)
{
	ServerView v;
	v.models = parse_json(probe.models);
	v.server_info = parse_json(probe.server_info);
	v.model_info = parse_json(probe.model_info);
	if (probe.loads.path == "/v1/loads")
		v.loads = parse_json(probe.loads);
	else
		v.get_load = parse_json(probe.loads);
	v.late = probe.late;
	if (probe.health.result.transport_ok && probe.health.result.status == 200)
		v.health = "ok";
	else if (probe.health.result.transport_ok && probe.health.result.status == 503)
		v.health = "starting";
	if (probe.metrics.ok()) {
		Scrape s = parse_prometheus(probe.metrics.result.body);
		if (s.has_sglang())
			v.scrape = std::move(s);
	}
	/* A gateway lists its workers on /v1/loads and gives all their
	 * metrics on /engine_metrics, each series with the worker's address. */
	if (const json *w = member(v.loads ? &*v.loads : nullptr, "workers"); w != nullptr && w->is_array()) {
		v.gateway = true;
		for (const json &e : *w)
			if (const json *a = member(&e, "worker"); a != nullptr && a->is_string())
				v.workers.push_back(a->get<std::string>());
	}
	if (!v.scrape && probe.engine_metrics.ok()) {
		Scrape s = parse_prometheus(probe.engine_metrics.result.body);
		if (s.has_sglang()) {
			v.scrape = std::move(s);
			v.gateway = true;
		}
	}

	v.model = served_model(v);
	return v;
}

/* Why the URL names a front end over several servers rather than one
 * server, or "". A prefill/decode front end lists its servers in its server
 * information; a router's metrics page carries its own families, while its
 * other routes pass through to one of its servers. */
std::string front_end_reason(const ServerView &view, const ProbeResult &probe)
{
	const json *info = view.server_info ? &*view.server_info : nullptr;
	const json *prefill = member(info, "prefill"), *decode = member(info, "decode");
	if ((prefill != nullptr && prefill->is_array()) || (decode != nullptr && decode->is_array())) {
		auto count = [](const json *j) { return j != nullptr && j->is_array() ? j->size() : 0; };
		return "not one SGLang server: a prefill/decode router in front of " +
		       std::to_string(count(prefill)) + " prefill and " + std::to_string(count(decode)) +
		       " decode servers (give the URL of one of them)";
	}
	if (!view.scrape && probe.metrics.ok())
		for (const Family &f : parse_prometheus(probe.metrics.result.body).families)
			if (!f.samples.empty() && (f.name.compare(0, 11, "sgl_router_") == 0 ||
						   f.name.compare(0, 4, "smg_") == 0))
				return "not one SGLang server: a router in front of servers "
				       "(give the URL of one of them)";
	return {};
}

/* The routes in a list for a message: "/a, /b and /c". */
std::string route_list(const std::vector<std::string> &routes)
{
	std::string out;
	for (std::size_t i = 0; i < routes.size(); i++)
		out += (i == 0 ? "" : i + 1 == routes.size() ? " and " : ", ") + routes[i];
	return out;
}

std::string not_sglang_reason(const ServerView &view, const ProbeResult &probe)
{
	if (std::string front = front_end_reason(view, probe); !front.empty())
		return front;
	if (view.gateway && !view.scrape) {
		const Route &em = probe.engine_metrics;
		std::string why = !em.asked()                 ? "it was not asked"
				  : em.result.timed_out        ? "no answer in time"
				  : !em.result.transport_ok    ? em.result.error
				  : em.result.status != 200    ? "HTTP " + std::to_string(em.result.status)
							       : "no SGLang metrics in it";
		return "not one SGLang server: a model gateway in front of " + std::to_string(view.workers.size()) +
		       (view.workers.size() == 1 ? " worker" : " workers") +
		       ", whose figures cannot be read (/engine_metrics: " + why +
		       "); point the monitor at a worker";
	}
	if (view.scrape)
		return {};
	const json *info = view.server_info ? &*view.server_info : nullptr;
	if (member(info, "served_model_name") != nullptr || member(info, "model_path") != nullptr)
		return {};
	const json *loads = view.loads ? &*view.loads : nullptr;
	if (const json *l = member(loads, "loads"); l != nullptr && l->is_array())
		return {};
	if (looks_like_html(probe.models) || looks_like_html(probe.server_info) ||
	    looks_like_html(probe.metrics))
		return "not an SGLang server: it answers with web pages";
	/* Routes that gave nothing in time may be the ones that would have
	 * shown SGLang: a slow server is not called foreign. */
	if (!view.late.empty())
		return "the server is too slow: no answer from " + route_list(view.late) + " within " +
		       std::to_string(kProbeBudgetMs / 1000) + " s";
	return "not an SGLang server: no SGLang metrics, server information or loads";
}

namespace {

/* Samples of a counter whose label has the value wanted; with prefix set,
 * those whose value starts with it. */
std::vector<const Sample *> with_label(const std::vector<const Sample *> &in, const char *label,
				       const std::string &value, bool prefix = false)
{
	std::vector<const Sample *> out;
	for (const Sample *s : in)
		if (const std::string *v = label_of(*s, label))
			if (prefix ? v->compare(0, value.size(), value) == 0 : *v == value)
				out.push_back(s);
	return out;
}

/* The counters of the page: tokens and requests of finished requests, the
 * scheduler's live token counts, aborts, retractions and HTTP answers. */
void read_counters(const Scrape &sc, const std::string &model, SampleSet &now)
{
	auto series = [&](const char *name) {
		return keep_model(sc.select(name, {MetricType::counter, MetricType::untyped}), model);
	};
	/* Only what a counter can hold is kept: the samples outlive the run. */
	auto put = [&](const char *key, std::optional<double> v) {
		if (v && std::isfinite(*v) && *v >= 0)
			now.counters[key] = *v;
	};
	put("prompt", counter_sum(series("sglang:prompt_tokens_total")));
	put("generation", counter_sum(series("sglang:generation_tokens_total")));
	put("cached", counter_sum(series("sglang:cached_tokens_total")));
	std::optional<double> requests = counter_sum(series("sglang:num_requests_total"));
	if (!requests)
		if (auto e2e = read_histogram(sc, "sglang:e2e_request_latency_seconds", model, false))
			requests = e2e->count;
	put("requests", requests);
	put("aborted", counter_sum(series("sglang:num_aborted_requests_total")));
	/* Retractions: a scheduler counter since 2026, repeated by every tensor
	 * rank; before it, the sum of a histogram of retractions per batch. */
	std::optional<double> retracted = gauge_sum(series("sglang:num_retracted_requests_total"));
	if (!retracted)
		if (auto r = read_histogram(sc, "sglang:num_retractions", model, false))
			retracted = r->sum;
	put("retractions", retracted);
	/* Prompt tokens as the scheduler counts them, retried ones once: the
	 * hits by cache tier and the computed ones ("input"). */
	auto effective = series("sglang:prefill_effective_tokens_total");
	std::vector<const Sample *> hits;
	for (const Sample *x : effective)
		if (const std::string *m = label_of(*x, "mode"); m != nullptr && m->size() > 4 &&
								m->compare(m->size() - 4, 4, "_hit") == 0)
			hits.push_back(x);
	if (gauge_sum(effective)) {
		put("eff_all", gauge_sum(effective));
		put("eff_hit", gauge_sum(hits).value_or(0));
	}
	/* Tokens the scheduler has processed so far, running requests included;
	 * one series per rank, repeated by every tensor-parallel rank. */
	auto live = series("sglang:realtime_tokens_total");
	put("rt_prefill_compute", gauge_sum(with_label(live, "mode", "prefill_compute")));
	put("rt_prefill_cache", gauge_sum(with_label(live, "mode", "prefill_cache")));
	put("rt_decode", gauge_sum(with_label(live, "mode", "decode")));
	auto http = series("sglang:http_responses_total");
	put("http_all", counter_sum(http));
	if (!http.empty())
		put("http_5xx", counter_sum(with_label(http, "status_code", "5", true)).value_or(0));
}

} // namespace

SampleSet current_samples(const ServerView &view, int64_t t_ms)
{
	SampleSet now;
	now.t_ms = t_ms;
	if (!view.scrape)
		return now;
	const Scrape &sc = *view.scrape;
	read_counters(sc, view.model, now);
	auto hist = [&](const char *key, std::initializer_list<const char *> names, bool scheduler) {
		for (const char *name : names)
			if (auto h = read_histogram(sc, name, view.model, scheduler)) {
				now.histograms[key] = std::move(*h);
				return;
			}
	};
	hist("ttft", {"sglang:time_to_first_token_seconds"}, false);
	/* Inter-token latency replaced time per output token in 2025. */
	hist("itl", {"sglang:inter_token_latency_seconds", "sglang:time_per_output_token_seconds"}, false);
	/* Queue time: the 2025 scheduler histogram, or the 2024 waiting time. */
	hist("queue", {"sglang:queue_time_seconds", "sglang:waiting_request_latency_seconds"}, true);
	hist("e2e", {"sglang:e2e_request_latency_seconds"}, false);
	/* The process's start time, where the page has one: a new one is a
	 * restart even before any counter has gone down. */
	for (const Sample *x : sc.select("process_start_time_seconds", {MetricType::gauge, MetricType::untyped}))
		if (std::isfinite(x->value) && x->value > 0) {
			now.counters["start_time"] = x->value;
			break;
		}
	return now;
}

namespace {

/* The first of the options that has a value. */
std::optional<double> first(std::initializer_list<std::optional<double>> options)
{
	for (const auto &o : options)
		if (o)
			return o;
	return std::nullopt;
}

/* Reads member key of an array element as a number. */
auto each(const char *key)
{
	return [key](const json &e) { return number(&e, key); };
}

/* How the scheduler gauges of a server with several data-parallel ranks
 * read. Since mid-2025 each rank writes its own series (dp_rank label). Before
 * that the ranks shared one label set: until early 2025 the collector summed
 * the running, queued, used-token and throughput gauges over the ranks, and
 * kept the most recent value of the others; from then on it kept the most
 * recent value of all of them, one arbitrary rank's. */
enum class DpGauges { per_rank, totals, one_rank };

/* Whether the page comes from the collector that summed over ranks: its
 * tokenizer wrote time per output token, which inter-token latency replaced
 * when the gauges changed to the most recent value. */
bool summing_collector(const Scrape &sc)
{
	bool tpot = false, itl = false;
	for (const Family &f : sc.families) {
		tpot = tpot || (f.name == "sglang:time_per_output_token_seconds" && !f.samples.empty());
		itl = itl || (f.name == "sglang:inter_token_latency_seconds" && !f.samples.empty());
	}
	return tpot && !itl;
}

/* What every group of figures reads: the parsed answers, this probe's
 * samples and the older end of the window. */
struct Sources {
	const ServerView &view;
	const SampleSet &now;
	const Window &window;
	const json *models = nullptr;
	const json *info = nullptr;
	const json *states = nullptr;   /* internal_states of the server information */
	const json *loads = nullptr;    /* the per-rank list of /v1/loads */
	const json *get_load = nullptr; /* the per-rank list of /get_load */
	const Scrape *sc = nullptr;
	const SampleSet *base = nullptr;
	/* The server information where its figures are the deployment's: not
	 * behind a gateway, which passes one worker's through. */
	const json *info_all = nullptr;

	Sources(const ServerView &v, const SampleSet &n, const Window &w) : view(v), now(n), window(w)
	{
		models = view.models ? &*view.models : nullptr;
		info = view.server_info ? &*view.server_info : nullptr;
		info_all = view.gateway ? nullptr : info;
		states = member(info_all, "internal_states");
		loads = member(view.loads ? &*view.loads : nullptr, "loads");
		get_load = view.get_load && view.get_load->is_array() ? &*view.get_load : nullptr;
		sc = view.scrape ? &*view.scrape : nullptr;
		base = window.base ? &*window.base : nullptr;
		std::vector<const Sample *> gen = gauge("sglang:gen_throughput");
		if (!gen.empty() && label_of(*gen.front(), "dp_rank") == nullptr &&
		    number(info, "dp_size").value_or(1) > 1)
			dp = summing_collector(*sc) ? DpGauges::totals : DpGauges::one_rank;
	}

	DpGauges dp = DpGauges::per_rank;

	/* The served model's series of a gauge. */
	std::vector<const Sample *> gauge(const char *name) const
	{
		if (sc == nullptr)
			return {};
		return keep_model(sc->select(name, {MetricType::gauge, MetricType::untyped}), view.model);
	}
	std::optional<double> gsum(const char *name) const { return gauge_sum(gauge(name)); }
	std::optional<double> gmean(const char *name) const { return gauge_mean(gauge(name)); }

	/* How much a counter grew over the window; none without a window. */
	std::optional<double> delta(const char *key) const
	{
		auto a = base ? counter_of(*base, key) : std::nullopt;
		auto b = counter_of(now, key);
		if (!a || !b)
			return std::nullopt;
		return *b - *a;
	}
};

/* Requests running and queued, and the running limit. */
void put_requests(Document &doc, const Sources &s)
{
	std::optional<double> running_gauge = first(
		{s.gsum("sglang:num_running_reqs"), s.gsum("sglang:num_requests_running")});
	std::optional<double> queued_gauge = first(
		{s.gsum("sglang:num_queue_reqs"), s.gsum("sglang:num_requests_waiting")});
	std::optional<double> running_loads = first(
		{sum_each(s.loads, each("num_running_reqs")),
		 sum_each(s.get_load, [](const json &e) -> std::optional<double> {
			 auto all = number(&e, "num_reqs");
			 auto waiting = number(&e, "num_waiting_reqs");
			 if (!all || !waiting)
				 return std::nullopt;
			 return *all - *waiting;
		 })});
	std::optional<double> queued_loads = first(
		{sum_each(s.loads, each("num_waiting_reqs")), sum_each(s.get_load, each("num_waiting_reqs"))});
	/* Gauges of one arbitrary rank give way to the load routes' sums. */
	bool loads_first = s.dp == DpGauges::one_rank;
	doc.whole("num_running_reqs", loads_first ? first({running_loads, running_gauge})
						  : first({running_gauge, running_loads}));
	doc.whole("num_queue_reqs", loads_first ? first({queued_loads, queued_gauge})
						: first({queued_gauge, queued_loads}));
	doc.whole("max_running_reqs",
		  first({sum_each(s.states, each("effective_max_running_requests_per_dp")),
			 sum_each(s.loads, each("max_running_requests")),
			 s.gsum("sglang:max_running_requests"), number(s.info_all, "max_running_requests")}));
}

/* Generation throughput, and the token rates over the window. */
void put_throughput(Document &doc, const Sources &s)
{
	/* A gauge of one arbitrary rank defers to the server information; the
	 * flat information of the summing generation is rank 0's alone. */
	std::vector<const Sample *> gen = s.gauge("sglang:gen_throughput");
	std::optional<double> info_gen = first(
		{sum_each(s.states, each("last_gen_throughput")), number(s.info_all, "last_gen_throughput")});
	doc.real("gen_throughput", s.dp == DpGauges::one_rank
					   ? first({info_gen, gauge_sum(gen)})
					   : first({gauge_sum(gen), info_gen}));

	if (s.base == nullptr || !(s.window.seconds > 0))
		return;
	/* Rates over the window. The live counters count tokens as they are
	 * processed; the others only when their request finishes, which lags
	 * by up to a whole request. */
	const double w = s.window.seconds;
	auto computed = s.delta("rt_prefill_compute"), cache = s.delta("rt_prefill_cache");
	auto decoded = s.delta("rt_decode");
	if (computed && cache) {
		doc.real("pp_tok_s", (*computed + *cache) / w);
		doc.real("pp_computed_tok_s", *computed / w);
	} else if (auto prompt = s.delta("prompt")) {
		doc.real("pp_tok_s", *prompt / w);
		if (auto cached = s.delta("cached"))
			doc.real("pp_computed_tok_s", (*prompt - *cached) / w);
	}
	if (auto d = decoded ? decoded : s.delta("generation"))
		doc.real("gen_tok_s", *d / w);
	if (auto d = s.delta("requests"))
		doc.real("req_s", *d / w);
}

/* Aborted requests, retractions (the scheduler's sign of KV cache
 * pressure) and the share of HTTP answers that were server errors: over
 * the window when there is one, else over the server's life. */
void put_events(Document &doc, const Sources &s)
{
	auto count = [&](const char *key) {
		return s.base != nullptr ? s.delta(key) : counter_of(s.now, key);
	};
	doc.whole("aborted_requests", count("aborted"));
	doc.whole("retractions", count("retractions"));
	auto all = count("http_all"), errors = count("http_5xx");
	if (all && errors && *all > 0)
		doc.real("http_error_rate", *errors / *all);
}

/* The KV cache: tokens in use, capacity, their ratio, and the context length. */
void put_kv_cache(Document &doc, const Sources &s)
{
	/* Since 2026 the pool's used and free slots have gauges of their own. */
	std::optional<double> kv_used = s.gsum("sglang:kv_used_tokens");
	std::optional<double> kv_free = s.gsum("sglang:kv_available_tokens");
	std::optional<double> used = first({s.gsum("sglang:num_used_tokens"), kv_used,
					    sum_each(s.loads, each("num_used_tokens"))});
	std::optional<double> capacity = first(
		{s.gsum("sglang:max_total_num_tokens"),
		 kv_used && kv_free ? std::optional<double>(*kv_used + *kv_free) : std::nullopt,
		 sum_each(s.states, [](const json &e) {
			 return number(member(&e, "memory_usage"), "token_capacity");
		 }),
		 sum_each(s.loads, each("max_total_num_tokens")), number(s.info_all, "max_total_num_tokens")});
	/* The summing generation's used tokens cover every rank, but its flat
	 * server information gives rank 0's capacity only: without the other
	 * ranks' the ratio is the server's own gauge. */
	if (s.dp == DpGauges::totals && s.states == nullptr && s.loads == nullptr)
		capacity.reset();
	std::optional<double> usage;
	/* The gauge is rounded to two places in several versions. */
	if (used && capacity && *capacity > 0)
		usage = *used / *capacity;
	doc.real("token_usage", first({usage, s.gmean("sglang:token_usage"),
				       mean_each(s.loads, each("token_usage"))}));
	doc.whole("num_used_tokens", used);
	doc.whole("max_total_num_tokens", capacity);
	doc.whole("context_len", first({number(base_model_entry(s.models), "max_model_len"),
					number(s.info, "context_length"), s.gmean("sglang:context_len")}));
}

/* The prefix cache hit rate over the window and over the server's life. */
void put_cache_hits(Document &doc, const Sources &s)
{
	/* The gauge is the last prefill batch's ratio (in percent in 2024) and
	 * reads 0 after every decode log; the counters give the window's. */
	std::optional<double> hit;
	/* The scheduler's effective prompt tokens first, whose help text gives
	 * the ratio; the finished requests' counters lag by a whole request. */
	if (auto all = s.delta("eff_all"); all && *all > 0)
		hit = s.delta("eff_hit").value_or(0) / *all;
	if (auto dp = s.delta("prompt"); !hit && dp && *dp > 0)
		if (auto dc = s.delta("cached"))
			hit = *dc / *dp;
	if (!hit) {
		std::vector<const Sample *> g = s.gauge("sglang:cache_hit_rate");
		hit = gauge_mean(g);
		if (hit && !g.empty() && label_of(*g.front(), "model_name") == nullptr &&
		    label_of(*g.front(), "name") != nullptr)
			*hit /= 100.0;
	}
	doc.real("cache_hit_rate", hit);
	auto cached = counter_of(s.now, "cached");
	auto prompt = counter_of(s.now, "prompt");
	if (auto all = counter_of(s.now, "eff_all"); all && *all > 0)
		doc.real("cache_hit_rate_lifetime", counter_of(s.now, "eff_hit").value_or(0) / *all);
	else if (cached && prompt && *prompt > 0)
		doc.real("cache_hit_rate_lifetime", *cached / *prompt);
}

/* Speculative decoding: algorithm, accepted length and acceptance rate. */
void put_speculative(Document &doc, const Sources &s)
{
	const json *algo = member(s.info, "speculative_algorithm");
	std::optional<double> accept_len = first(
		{s.gmean("sglang:spec_accept_length"), mean_each(s.states, each("avg_spec_accept_length")),
		 number(s.info, "avg_spec_accept_length"), mean_each(s.loads, [](const json &e) {
			 return number(member(&e, "speculative"), "accept_length");
		 })});
	bool speculative = algo != nullptr && algo->is_string();
	/* Without the server information only a working draft model shows. */
	if (s.info == nullptr && accept_len && *accept_len > 0)
		speculative = true;
	if (!speculative)
		return;
	if (algo != nullptr && algo->is_string())
		doc.j["spec_algo"] = algo->get<std::string>();
	doc.real("spec_accept_length", accept_len);
	std::optional<double> rate = s.gmean("sglang:spec_accept_rate");
	if (!rate && accept_len) {
		std::optional<double> drafts = number(s.info, "speculative_num_draft_tokens");
		if (!drafts)
			if (auto steps = number(s.info, "speculative_num_steps"))
				drafts = *steps + 1;
		if (drafts && *drafts > 0)
			rate = *accept_len / *drafts;
	}
	doc.real("spec_accept_rate", rate);
}

/* Mean latencies: over the window when it saw observations, else over the
 * server's lifetime. */
void put_latencies(Document &doc, const Sources &s)
{
	auto mean_ms = [&](const char *key) -> std::optional<double> {
		const Histogram *h = histogram_of(s.now, key);
		if (h == nullptr)
			return std::nullopt;
		const Histogram *old = s.base ? histogram_of(*s.base, key) : nullptr;
		if (old != nullptr && old->family == h->family && h->count - old->count > 0)
			return 1000.0 * (h->sum - old->sum) / (h->count - old->count);
		if (h->count > 0)
			return 1000.0 * h->sum / h->count;
		return std::nullopt;
	};
	doc.real("itl_ms", mean_ms("itl"));
	doc.real("ttft_ms", mean_ms("ttft"));
	doc.real("queue_ms", mean_ms("queue"));
	doc.real("e2e_ms", mean_ms("e2e"));
}

/* Running totals of requests and tokens. */
void put_totals(Document &doc, const Sources &s)
{
	doc.whole("requests_total", counter_of(s.now, "requests"));
	doc.whole("prompt_tokens_total", counter_of(s.now, "prompt"));
	doc.whole("generation_tokens_total", counter_of(s.now, "generation"));
}

/* Latency quantiles over the window, the window's length, and a restart. */
void put_window(Document &doc, const Sources &s)
{
	if (s.base != nullptr) {
		for (const char *key : {"ttft", "itl", "queue", "e2e"}) {
			const Histogram *h = histogram_of(s.now, key);
			const Histogram *old = histogram_of(*s.base, key);
			if (h == nullptr || old == nullptr || old->family != h->family)
				continue;
			std::string k(key);
			if (auto p = histogram_quantile(0.5, *h, old))
				doc.real((k + "_p50_ms").c_str(), *p * 1000.0);
			if (auto p = histogram_quantile(0.95, *h, old))
				doc.real((k + "_p95_ms").c_str(), *p * 1000.0);
		}
		doc.j["window_s"] = std::round(s.window.seconds * 1000.0) / 1000.0;
	} else if (!s.now.counters.empty() || !s.now.histograms.empty()) {
		/* No older sample: the means and counts cover the server's life. */
		doc.j["lifetime"] = true;
	}
	if (s.window.restarted)
		doc.j["restarted"] = true;
}

/* The server's state and version, and the routes that answered too late
 * for their figures to be in the document. */
void put_server(Document &doc, const Sources &s)
{
	if (!s.view.health.empty())
		doc.j["health"] = s.view.health;
	for (const json *j : {s.info, s.view.loads ? &*s.view.loads : nullptr})
		if (const json *v = member(j, "version"); v != nullptr && v->is_string()) {
			doc.j["version"] = v->get<std::string>();
			break;
		}
	if (!s.view.late.empty())
		doc.j["late"] = s.view.late;
}

/* The share of the KV cache in use, from the tokens where both are known,
 * else as the server gives it. */
std::optional<double> usage_of(std::optional<double> used, std::optional<double> capacity,
			       std::optional<double> given)
{
	return used && capacity && *capacity > 0 ? std::optional<double>(*used / *capacity) : given;
}

/* Each data-parallel rank's value of a scheduler gauge, by rank label. */
std::map<std::string, double> by_rank(const std::vector<const Sample *> &series)
{
	std::map<std::string, double> values;
	for (const auto &g : scheduler_groups(series))
		for (const Sample *x : g.second)
			values[g.first] += x->value;
	return values;
}

/* The ranks as the metrics page gives them, when its series carry ranks. */
ojson ranks_from_metrics(const Sources &s)
{
	auto running = by_rank(s.gauge("sglang:num_running_reqs"));
	if (running.size() < 2 || running.count("") > 0)
		return ojson::array();
	auto queued = by_rank(s.gauge("sglang:num_queue_reqs"));
	auto used = by_rank(s.gauge("sglang:num_used_tokens"));
	auto capacity = by_rank(s.gauge("sglang:max_total_num_tokens"));
	auto usage = by_rank(s.gauge("sglang:token_usage"));
	auto gen = by_rank(s.gauge("sglang:gen_throughput"));
	auto at = [](const std::map<std::string, double> &m, const std::string &k) {
		auto it = m.find(k);
		return it == m.end() ? std::nullopt : std::optional<double>(it->second);
	};
	ojson ranks = ojson::array();
	for (const auto &r : running) {
		Document o;
		o.whole("rank", std::strtod(r.first.c_str(), nullptr));
		o.whole("num_running_reqs", r.second);
		o.whole("num_queue_reqs", at(queued, r.first));
		o.real("token_usage", usage_of(at(used, r.first), at(capacity, r.first), at(usage, r.first)));
		o.real("gen_throughput", at(gen, r.first));
		ranks.push_back(o.j);
	}
	return ranks;
}

/* The ranks as the load route gives them. */
ojson ranks_from_loads(const Sources &s)
{
	ojson ranks = ojson::array();
	if (s.loads == nullptr || !s.loads->is_array())
		return ranks;
	for (const json &e : *s.loads) {
		Document o;
		o.whole("rank", number(&e, "dp_rank"));
		o.whole("num_running_reqs", number(&e, "num_running_reqs"));
		o.whole("num_queue_reqs", number(&e, "num_waiting_reqs"));
		o.real("token_usage", usage_of(number(&e, "num_used_tokens"), number(&e, "max_total_num_tokens"),
					       number(&e, "token_usage")));
		o.real("gen_throughput", number(&e, "gen_throughput"));
		ranks.push_back(o.j);
	}
	return ranks;
}

/* The ranks as the older load route gives them: requests only. */
ojson ranks_from_get_load(const Sources &s)
{
	ojson ranks = ojson::array();
	if (s.get_load == nullptr)
		return ranks;
	for (const json &e : *s.get_load) {
		auto all = number(&e, "num_reqs"), waiting = number(&e, "num_waiting_reqs");
		Document o;
		o.whole("rank", number(&e, "dp_rank"));
		if (all && waiting)
			o.whole("num_running_reqs", *all - *waiting);
		o.whole("num_queue_reqs", waiting);
		ranks.push_back(o.j);
	}
	return ranks;
}

/* Per-rank figures when there is more than one data-parallel rank, so that
 * one hot rank shows beside the sums. */
void put_dp_ranks(Document &doc, const Sources &s)
{
	if (s.view.gateway)
		return;
	ojson ranks = ranks_from_metrics(s);
	if (ranks.size() < 2)
		ranks = ranks_from_loads(s);
	if (ranks.size() < 2)
		ranks = ranks_from_get_load(s);
	if (ranks.size() > 1)
		doc.j["dp"] = ranks;
}

/* Behind a gateway, one object per worker, shaped like the ranks: those
 * of the metrics page, then those the gateway lists without any metrics. */
void put_workers(Document &doc, const Sources &s)
{
	if (!s.view.gateway)
		return;
	std::vector<std::string> addresses;
	auto add = [&](const std::string &a) {
		if (std::find(addresses.begin(), addresses.end(), a) == addresses.end())
			addresses.push_back(a);
	};
	for (const char *name : {"sglang:num_running_reqs", "sglang:num_queue_reqs"})
		for (const Sample *x : s.gauge(name))
			if (const std::string *a = label_of(*x, "worker_addr"))
				add(*a);
	for (const std::string &a : s.view.workers)
		add(a);
	ojson workers = ojson::array();
	for (const std::string &a : addresses) {
		auto mine = [&](const char *name) {
			std::vector<const Sample *> out;
			for (const Sample *x : s.gauge(name))
				if (const std::string *w = label_of(*x, "worker_addr"); w != nullptr && *w == a)
					out.push_back(x);
			return out;
		};
		auto sum = [&](const char *name) { return gauge_sum(mine(name)); };
		Document o;
		o.j["address"] = a;
		o.whole("num_running_reqs", sum("sglang:num_running_reqs"));
		o.whole("num_queue_reqs", sum("sglang:num_queue_reqs"));
		o.real("token_usage", usage_of(first({sum("sglang:num_used_tokens"), sum("sglang:kv_used_tokens")}),
					       sum("sglang:max_total_num_tokens"),
					       gauge_mean(mine("sglang:token_usage"))));
		o.real("gen_throughput", sum("sglang:gen_throughput"));
		workers.push_back(o.j);
	}
	if (!workers.empty())
		doc.j["workers"] = workers;
}

} // namespace

ojson derive_output(const std::string &url, const ServerView &view, const SampleSet &now,
		    const Window &window)
{
	Document doc;
	doc.j["url"] = url;
	doc.j["model"] = view.model;
	Sources s(view, now, window);
	put_requests(doc, s);
	put_dp_ranks(doc, s);
	put_workers(doc, s);
	put_throughput(doc, s);
	put_kv_cache(doc, s);
	put_cache_hits(doc, s);
	put_speculative(doc, s);
	put_latencies(doc, s);
	put_events(doc, s);
	put_totals(doc, s);
	put_window(doc, s);
	put_server(doc, s);
	return doc.j;
}

namespace {

/* The members of object j named in keys, or null when j is not an object. */
json kept_members(const json *j, std::initializer_list<const char *> keys)
{
	if (j == nullptr || !j->is_object())
		return nullptr;
	json out = json::object();
	for (const char *k : keys)
		if (const json *v = member(j, k))
			out[k] = *v;
	return out;
}

/* The server information without what moves (throughput, accepted length)
 * and without what must not be kept (the API key it reports in clear). */
json lasting_server_info(const json *info)
{
	json out = kept_members(info, {"served_model_name", "model_path", "prefill", "decode",
				       "max_running_requests", "max_total_num_tokens", "context_length",
				       "speculative_algorithm", "speculative_num_draft_tokens",
				       "speculative_num_steps", "dp_size", "version"});
	if (const json *states = member(info, "internal_states"); states != nullptr && states->is_array()) {
		json kept = json::array();
		for (const json &e : *states) {
			json k = kept_members(&e, {"effective_max_running_requests_per_dp"});
			if (const json *t = member(member(&e, "memory_usage"), "token_capacity"))
				k["memory_usage"] = {{"token_capacity", *t}};
			kept.push_back(k.is_null() ? json::object() : k);
		}
		out["internal_states"] = kept;
	}
	return out;
}

json lasting_models(const json *models)
{
	const json *data = member(models, "data");
	if (data == nullptr || !data->is_array())
		return nullptr;
	json kept = json::array();
	for (const json &e : *data)
		kept.push_back(kept_members(&e, {"id", "parent", "max_model_len"}));
	return {{"data", kept}};
}

std::optional<json> as_answer(const json &j)
{
	return j.is_null() ? std::nullopt : std::optional<json>(j);
}

} // namespace

void apply_facts(ServerView &view, const ProbeResult &probe, const ServerFacts &facts)
{
	view.models = as_answer(facts.models);
	view.model_info = as_answer(facts.model_info);
	if (!probe.server_info.asked())
		view.server_info = as_answer(facts.server_info);
	view.health = facts.health;
	view.model = served_model(view);
}

ServerFacts learn_facts(const ProbeResult &probe, const ServerView &view, const SampleSet &now, int64_t t_ms)
{
	ServerFacts facts;
	if (!view.late.empty() || view.health == "starting")
		return facts;
	facts.asked_ms = t_ms;
	facts.models = lasting_models(view.models ? &*view.models : nullptr);
	facts.server_info = view.server_info ? lasting_server_info(&*view.server_info) : json(nullptr);
	facts.model_info = kept_members(view.model_info ? &*view.model_info : nullptr, {"model_path"});
	facts.health = view.health;

	/* A steady probe must give the document that this probe gives, member
	 * for member: tried first with the metrics page alone, then with every
	 * route whose answer moves. */
	const std::string full = derive_output("", view, now, Window{}).dump();
	const Route *page = probe.engine_metrics.ok() && view.gateway ? &probe.engine_metrics : &probe.metrics;
	std::vector<std::vector<std::string>> candidates;
	if (view.scrape && page->ok())
		candidates.push_back({page->path});
	std::vector<std::string> moving;
	for (const Route *r : {&probe.server_info, &probe.metrics, &probe.loads, &probe.engine_metrics})
		if (r->ok())
			moving.push_back(r->path);
	candidates.push_back(moving);
	for (const auto &routes : candidates) {
		if (routes.empty())
			continue;
		ProbeResult steady;
		for (const Route *r : {&probe.server_info, &probe.metrics, &probe.loads, &probe.engine_metrics})
			if (std::find(routes.begin(), routes.end(), r->path) != routes.end()) {
				Route &into = r == &probe.server_info ? steady.server_info
					      : r == &probe.metrics   ? steady.metrics
					      : r == &probe.loads     ? steady.loads
								      : steady.engine_metrics;
				into = *r;
			}
		ServerView v = read_probe(steady);
		apply_facts(v, steady, facts);
		if (derive_output("", v, now, Window{}).dump() == full) {
			facts.routes = routes;
			break;
		}
	}
	return facts;
}

} // namespace sgm
