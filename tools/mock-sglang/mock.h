/*
 * mock-sglang: a stand-in SGLang server on 127.0.0.1 for tests and the demo.
 * It serves either a fixture folder (recorded answers, route by route) or a
 * simulated busy server whose figures move.
 */
#ifndef QV_MOCK_SGLANG_H
#define QV_MOCK_SGLANG_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}

namespace mock {

struct Options {
	std::string fixture_dir;          /* fixture mode when not empty */
	bool live = false;                /* simulated server */
	int port = 0;                     /* 0: any free port */
	std::string api_key;              /* required on the guarded routes when not empty */
	bool key_from_fixture = true;     /* take the key from the fixture's server information */
	bool metrics_need_key = false;    /* servers before Feb 2025 guarded /metrics too */
	std::vector<std::string> scrapes; /* fixture files for successive /metrics answers */
	std::string openmetrics;          /* fixture file for an OpenMetrics Accept header */
	int delay_ms = 0;                 /* wait before every answer */
	bool html = false;                /* answer every route with a web page */
	std::string model = "meta-llama/Llama-3.1-8B-Instruct";
	std::string scenario = "live";    /* how the live server behaves; see Scenario */
};

/* What the live server is doing. A stall keeps the server up and answering
 * while no work moves; down answers every route with 503. */
enum class Scenario { live, stall_queue, stall_tokens, down };

/* The scenario of a name ("live", "stall-queue", "stall-tokens", "down");
 * false for any other name. */
bool scenario_from_name(const std::string &name, Scenario &out);

/* main.cpp */

/* Whether the request may pass the API-key check of a server started with
 * key: the health and metrics routes are exempt; otherwise "Authorization:
 * Bearer key" (scheme in any letter case) or "x-api-key: key". */
bool key_accepted(const httplib::Request &req, const std::string &key, bool metrics_need_key);

/* Answers 404 the way the server's framework does. */
void not_found(httplib::Response &res);

/* fixture.cpp */

/* Serves the fixture folder: reads its files once and installs the routes.
 * False with a message on standard error when the folder cannot be used. */
bool fixture_routes(httplib::Server &svr, Options &opt);

/* live.cpp */

/* A busy server that evolves with the clock: load rises and falls, requests
 * finish, counters and histograms advance. */
class Simulator {
public:
	explicit Simulator(const Options &opt);
	std::string metrics_text();
	std::string server_info_json();
	std::string models_json();
	std::string model_info_json();
	std::string loads_json();
	std::string get_load_json();

	/* Switches to a scenario by name; "restart" empties every counter and
	 * histogram once, as a server that started again, and goes on live.
	 * False for an unknown name. */
	bool switch_to(const std::string &name);
	Scenario scenario();

private:
	struct Hist {
		std::vector<double> bounds; /* finite upper bounds, ascending */
		std::vector<double> counts; /* per bound, plus one for +Inf; not cumulative */
		double sum = 0;
		double count = 0;
		void observe(double v, double weight = 1);
	};

	void advance();                 /* brings the state up to the clock */
	void step(double t, double dt); /* one simulated interval ending at t */
	void finish_request(double load);
	void stall(double dt);          /* a step while work does not move */
	void restart();                 /* counters and histograms back to zero */

	std::mutex mu_;
	Options opt_;
	std::mt19937_64 rng_{20260321};
	Scenario scenario_ = Scenario::live;
	double start_ = 0;   /* clock at start, seconds */
	double sim_t_ = 0;   /* simulated seconds since start */
	double pending_finish_ = 0;
	double since_log_ = 0;
	/* gauges */
	double running_ = 0, queued_ = 0, used_tokens_ = 0, gen_throughput_ = 0;
	double cache_hit_rate_ = 0, accept_len_ = 2.8, load_ = 0;
	/* counters */
	double prompt_ = 0, generation_ = 0, cached_ = 0, requests_ = 0;
	double rt_prefill_compute_ = 0, rt_prefill_cache_ = 0, rt_decode_ = 0;
	Hist ttft_, itl_, e2e_, queue_;
};

/* Installs the live routes on svr. */
void live_routes(httplib::Server &svr, const std::shared_ptr<Simulator> &sim, const Options &opt);

/* A number in the text the Prometheus Python client writes: "48.0",
 * "0.4171", "3.7498112e+07", "1e-05", "+Inf". */
std::string go_float(double v);

} // namespace mock

#endif
