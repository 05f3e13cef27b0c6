/*
 * quorvane-sglang-metrics: probes one SGLang server and prints one JSON
 * object with its figures. The library behind this header is everything but
 * main(), so that the tests can drive each stage on its own.
 */
#ifndef QV_SGLANG_METRICS_H
#define QV_SGLANG_METRICS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace sgm {

/* Network bounds. The plug-in gives the whole run 10 s before it kills the
 * companion; the probe must end well inside that, with time left to print.
 * Each request is bounded by what is left of the probe's budget. */
constexpr long kConnectTimeoutMs = 1500;
constexpr long kProbeBudgetMs = 8000;
/* A body larger than this is refused; real /metrics pages stay far below. */
constexpr std::size_t kMaxBodyBytes = 8u << 20;

/* ---- prom.cpp: the Prometheus text format ---- */

using Labels = std::vector<std::pair<std::string, std::string>>;

enum class MetricType { untyped, counter, gauge, histogram, summary, info, other };

struct Sample {
	std::string name; /* as written, with any _total, _sum, _bucket suffix */
	Labels labels;    /* sorted by label name */
	double value = 0;
};

struct Family {
	std::string name; /* as declared by TYPE or HELP, else the sample name */
	MetricType type = MetricType::untyped;
	std::string help; /* unescaped */
	std::vector<Sample> samples;
};

struct Scrape {
	std::vector<Family> families;
	std::size_t bad_lines = 0; /* lines that could not be read and were skipped */

	/* Samples with exactly this name whose family has one of the types. */
	std::vector<const Sample *> select(std::string_view sample_name,
					   std::initializer_list<MetricType> types) const;
	/* True when any sample name starts with "sglang:". */
	bool has_sglang() const;
};

/* Parses a text-format (or OpenMetrics) page. Never fails: a line that
 * cannot be read is skipped and counted. */
Scrape parse_prometheus(std::string_view text);

/* Parses one sample value: decimal and exponent forms, Inf and NaN in any
 * letter case with an optional sign. False when text is not a number. */
bool parse_value(std::string_view text, double &out);

/* The value of a label, or null when the sample has none by that name. */
const std::string *label_of(const Sample &s, std::string_view name);

/* ---- aggregate.cpp: from series to one figure ---- */

/* Keeps the samples of the served model: those whose model label (model_name,
 * or name in the first generation) equals model, or all when none does. */
std::vector<const Sample *> keep_model(const std::vector<const Sample *> &in,
				       const std::string &model);

/* The scheduler a series comes from: its dp_rank, behind the worker_addr
 * that a gateway adds, so that the ranks of two workers stay apart. */
std::string scheduler_group(const Sample &s);

/* Scheduler series: grouped by scheduler_group; inside a group only the
 * series of the lowest (pp_rank, tp_rank) count, since every TP rank may
 * repeat them, and of those the total of the empty priority where there is
 * one (else the per-priority series, summed). NaN and negative values and
 * series carrying an "le" label are left out. */
std::map<std::string, std::vector<const Sample *>>
scheduler_groups(const std::vector<const Sample *> &in);

/* Per-group sums of a scheduler gauge, then their sum or their mean. */
std::optional<double> gauge_sum(const std::vector<const Sample *> &in);
std::optional<double> gauge_mean(const std::vector<const Sample *> &in);

/* Sum of a tokenizer counter over every label set, NaN left out. */
std::optional<double> counter_sum(const std::vector<const Sample *> &in);

/* A histogram summed over the series chosen: cumulative counts by bound. */
struct Histogram {
	std::string family;
	double sum = 0;
	double count = 0;
	std::map<double, double> buckets; /* upper bound -> cumulative count */
};

/* Reads histogram family `name` from the scrape for the model; scheduler
 * histograms take one series per DP group. Empty when it has no samples. */
std::optional<Histogram> read_histogram(const Scrape &scrape, const std::string &name,
					const std::string &model, bool scheduler);

/* The q-quantile (0..1) of the observations between two histograms of one
 * family (older may be empty for all of them), by linear interpolation inside
 * the bucket it falls in, as Prometheus' histogram_quantile does. */
std::optional<double> histogram_quantile(double q, const Histogram &newer,
					 const Histogram *older);

/* ---- http.cpp: parallel GET requests ---- */

struct HttpResult {
	bool transport_ok = false; /* an HTTP answer arrived whole */
	bool timed_out = false;
	long status = 0;
	std::string body;
	std::string error; /* why no answer arrived, from the transfer library */
	std::string location; /* where a redirect points; it is never followed */
};

/* Runs GET requests side by side, all of them bounded by one deadline that
 * starts when the fetcher is made. */
class Fetcher {
public:
	explicit Fetcher(long budget_ms);
	~Fetcher();
	Fetcher(const Fetcher &) = delete;
	Fetcher &operator=(const Fetcher &) = delete;

	/* Starts a request; tag names it in what wait() gives back. */
	void get(int tag, const std::string &url, const std::vector<std::string> &headers);
	/* Blocks until one or more requests have ended and gives them back;
	 * empty when none is running. */
	std::vector<std::pair<int, HttpResult>> wait();

private:
	struct Impl;
	std::unique_ptr<Impl> impl_;
};

/* ---- probe.cpp: which routes, in which order ---- */

/* What each route family answered; path says which route did (the newer name
 * or its older fallback), empty when none was asked or none answered. */
struct Route {
	std::string path;
	HttpResult result;
	bool asked() const { return !path.empty(); }
	bool ok() const { return result.transport_ok && result.status == 200; }
};

struct ProbeResult {
	Route models, server_info, metrics, loads, model_info, health;
	Route engine_metrics; /* a gateway's metrics of all its workers */
	std::vector<std::string> late; /* routes that gave no answer within the budget */
};

/* Requests the routes of base (no trailing "/") in parallel within
 * budget_ms, with the API key as a Bearer token when not empty. With only
 * empty, every route family is asked (older names after a 404); else just
 * the routes that only names, none of their fallbacks. */
ProbeResult probe_server(const std::string &base, const std::string &api_key,
			 const std::vector<std::string> &only = {}, long budget_ms = kProbeBudgetMs);

/* ---- derive.cpp: the output object ---- */

/* The counters and histograms one probe read, kept between runs. */
struct SampleSet {
	int64_t t_ms = 0; /* wall clock, milliseconds since 1970 */
	std::map<std::string, double> counters;     /* prompt, generation, cached, requests */
	std::map<std::string, Histogram> histograms; /* ttft, itl, queue */
};

/* Windowed figures for the output, from window.cpp. */
struct Window {
	std::optional<SampleSet> base; /* the older end; none: single-probe values */
	double seconds = 0;
	bool restarted = false;
};

/* Everything the server answered, parsed once. */
struct ServerView {
	std::optional<nlohmann::json> models, server_info, loads, get_load, model_info;
	std::optional<Scrape> scrape;
	std::string model;  /* served model name, "" when unknown */
	std::string health; /* "ok", "starting" (503), or "" when /health said neither */
	std::vector<std::string> late; /* routes that gave no answer in time */
	bool gateway = false;             /* a model gateway in front of workers */
	std::vector<std::string> workers; /* the addresses the gateway lists */
};

/* What a server says that does not change while it runs, kept so that a
 * steady probe asks only the routes whose answers move. */
struct ServerFacts {
	int64_t asked_ms = 0; /* when every route was last asked; 0: never */
	/* The parts of those answers that the figures read; null when absent. */
	nlohmann::json models, server_info, model_info;
	std::string health;
	std::vector<std::string> routes; /* what a steady probe asks; empty: every route */
};

/* Parses the answers of a probe. */
ServerView read_probe(const ProbeResult &probe);

/* Why the server does not look like SGLang, or "" when it does. */
std::string not_sglang_reason(const ServerView &view, const ProbeResult &probe);

/* The counters and histograms of this probe, stamped with t_ms. */
SampleSet current_samples(const ServerView &view, int64_t t_ms);

/* The facts of a server from a probe of every route, with the routes that
 * a steady probe needs to form the same document: the metrics page alone
 * where it carries what moves, else every route whose answer moves. No
 * routes when the probe was incomplete or the server is starting. */
ServerFacts learn_facts(const ProbeResult &probe, const ServerView &view, const SampleSet &now,
			int64_t t_ms);

/* Fills the view of a steady probe with the kept facts, in place of the
 * answers that were not asked. */
void apply_facts(ServerView &view, const ProbeResult &probe, const ServerFacts &facts);

/* The output object for the comparison form url. */
nlohmann::ordered_json derive_output(const std::string &url, const ServerView &view,
				     const SampleSet &now, const Window &window);

/* ---- window.cpp: state kept between runs ---- */

/* Recent samples of one endpoint, oldest first, and its facts. */
struct State {
	std::string url;
	std::vector<SampleSet> samples;
	ServerFacts facts = {};
};

/* How long the facts of a server are trusted before every route is asked
 * again, and the routes a steady probe may be told to ask. */
constexpr int64_t kFactsKeepMs = 600000;
bool steady_route(const std::string &path);

/* Whether now shows that the server started again since the newest kept
 * sample: a counter or histogram went down, or its start time changed. */
bool restarted_since(const State &state, const SampleSet &now);

/* How long samples are kept, the span the windowed figures aim at, and the
 * least spacing between two kept samples (faster probes reuse the last). */
constexpr int64_t kStateKeepMs = 180000;
constexpr int64_t kWindowMs = 60000;
constexpr int64_t kMinSpacingMs = 2000;

/* A state file larger than this is not ours to read. */
constexpr std::size_t kMaxStateBytes = 4u << 20;

/* The state file of url under the user's cache folder, or "" when there is
 * no usable cache folder. A folder that is a link, not the user's own or
 * writable by others is not used, with a line on standard error.
 * (state_posix.cpp, state_win32.cpp) */
std::string state_path(const std::string &url);

/* Reads the state file; an unreadable or foreign file, or one with any
 * doubtful sample (a time far from now_ms, a counter that is negative or not
 * finite), gives an empty state. Anything but a regular file of the user's,
 * writable by nobody else (a link, a pipe, a device), is never opened for
 * reading, so it can neither block the probe nor feed it; it gives an empty
 * state and a line on standard error. */
State load_state(const std::string &path, const std::string &url, int64_t now_ms);

/* Replaces the state file whole, readable by the user only. False on failure. */
bool save_state(const std::string &path, const State &state);

/* The file name, in the state folder, of url's state. */
std::string state_file_name(const std::string &url);

/* Says on standard error that the state at path is not used, and why. */
void state_refused(const std::string &path, const std::string &why);

/* The state that the text of a state file holds for url; empty when the
 * text is not a state, or is another endpoint's. */
State state_from_text(const std::string &text, const std::string &url, int64_t now_ms);

/* Adds now to the state and picks the window for it: drops every sample when
 * a counter went down (restart), the ones that lie in the future (the clock
 * was set back) and the ones older than kStateKeepMs. */
Window update_window(State &state, const SampleSet &now);

nlohmann::json state_to_json(const State &state);
State state_from_json(const nlohmann::json &j, int64_t now_ms);

} // namespace sgm

#endif
