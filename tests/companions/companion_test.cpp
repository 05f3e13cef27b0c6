/*
 * The metrics companion as the plug-in runs it: the real program against
 * mock-sglang serving each fixture server, and against servers that fail in
 * the ways real ones do. Every run gets a clean environment and its own
 * cache folder.
 */
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "match.h"
#include "metrics/metrics.h"
#include "proc.h"

using json = nlohmann::json;

namespace {

const std::string kFixtures = QV_FIXTURES;
const char kKey[] = "sk-fixture-0c1d2e3f";

struct Probe {
	ctest::ProcResult r;
	json out;
};

/* Runs the companion on url; extra holds KEY=VALUE entries. */
Probe probe(const std::string &url, const ctest::TempDir &home, std::vector<std::string> extra = {})
{
	std::vector<std::string> env = ctest::base_env();
	env.push_back("HOME=" + home.path());
	env.insert(env.end(), extra.begin(), extra.end());
	Probe p;
	p.r = ctest::run({QV_METRICS_BIN, url}, env);
	p.out = json::parse(p.r.out, nullptr, false);
	return p;
}

/* Text without the blanks around it. */
std::string ctest_trim(const std::string &s)
{
	std::size_t b = s.find_first_not_of(" \t\r\n");
	return b == std::string::npos ? std::string() : s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

/* The failure form: one object of url, model and error on one line, a
 * one-line message on standard error, status 1. */
void expect_failure(const Probe &p, const std::string &url, const std::string &error_part)
{
	EXPECT_EQ(p.r.status, 1) << p.r.out << p.r.err;
	ASSERT_TRUE(p.out.is_object()) << p.r.out;
	EXPECT_EQ(p.out.size(), 3u) << p.r.out;
	EXPECT_EQ(p.out["url"], url);
	EXPECT_TRUE(p.out["model"].is_string());
	EXPECT_NE(p.out["error"].get<std::string>().find(error_part), std::string::npos) << p.r.out;
	EXPECT_EQ(std::count(p.r.out.begin(), p.r.out.end(), '\n'), 1);
	EXPECT_EQ(std::count(p.r.err.begin(), p.r.err.end(), '\n'), 1) << p.r.err;
}

/* A TCP server on 127.0.0.1 that accepts connections and then either closes
 * them at once or keeps them open without a word. */
class RawServer {
public:
	explicit RawServer(bool close_at_once) : close_(close_at_once)
	{
		fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		sockaddr_in a{};
		a.sin_family = AF_INET;
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t len = sizeof(a);
		if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 || listen(fd_, 16) != 0 ||
		    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
			throw std::runtime_error("raw server");
		port_ = ntohs(a.sin_port);
		thread_ = std::thread([this] { serve(); });
	}
	~RawServer()
	{
		stop_ = true;
		shutdown(fd_, SHUT_RDWR);
		thread_.join();
		for (int c : held_)
			close(c);
		close(fd_);
	}
	std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
	void serve()
	{
		while (!stop_) {
			int c = accept(fd_, nullptr, nullptr);
			if (c < 0)
				return;
			if (close_)
				close(c);
			else
				held_.push_back(c);
		}
	}
	bool close_;
	int fd_ = -1, port_ = 0;
	std::atomic<bool> stop_{false};
	std::vector<int> held_;
	std::thread thread_;
};

/* A server of the test's own on 127.0.0.1, over TLS when given a certificate
 * and its key: each route gives a fixed answer after a delay, "*" answers
 * every route not named, and without "*" those answer 404. It counts the
 * requests it sees and whether any carried an Authorization header. */
class TestServer {
public:
	struct Answer {
		int status = 200;
		std::string body;
		std::string location; /* a Location header when not empty */
		int delay_ms = 0;
	};

	explicit TestServer(std::map<std::string, Answer> routes, const std::string &tls_dir = "")
		: routes_(std::move(routes))
	{
		if (tls_dir.empty())
			svr_ = std::make_unique<httplib::Server>();
		else
			svr_ = std::make_unique<httplib::SSLServer>((tls_dir + "/server.pem").c_str(),
								    (tls_dir + "/server.key").c_str());
		svr_->Get(".*", [this](const httplib::Request &req, httplib::Response &res) {
			answer(req, res);
		});
		port_ = svr_->bind_to_any_port("127.0.0.1");
		if (port_ <= 0)
			throw std::runtime_error("test server");
		thread_ = std::thread([this] { svr_->listen_after_bind(); });
	}
	~TestServer()
	{
		svr_->stop();
		thread_.join();
	}
	std::string url(const std::string &scheme = "http") const
	{
		return scheme + "://127.0.0.1:" + std::to_string(port_);
	}
	int requests() const
	{
		std::lock_guard<std::mutex> lock(mu_);
		return requests_;
	}
	bool saw_authorization() const
	{
		std::lock_guard<std::mutex> lock(mu_);
		return saw_auth_;
	}

private:
	void answer(const httplib::Request &req, httplib::Response &res)
	{
		{
			std::lock_guard<std::mutex> lock(mu_);
			requests_++;
			saw_auth_ = saw_auth_ || req.has_header("Authorization");
		}
		auto it = routes_.find(req.path);
		if (it == routes_.end())
			it = routes_.find("*");
		if (it == routes_.end()) {
			res.status = 404;
			res.set_content("{\"detail\":\"Not Found\"}", "application/json");
			return;
		}
		const Answer &a = it->second;
		std::this_thread::sleep_for(std::chrono::milliseconds(a.delay_ms));
		res.status = a.status;
		if (!a.location.empty())
			res.set_header("Location", a.location);
		res.set_content(a.body, req.path == "/metrics" ? "text/plain" : "application/json");
	}

	std::map<std::string, Answer> routes_;
	std::unique_ptr<httplib::Server> svr_;
	std::thread thread_;
	int port_ = 0;
	mutable std::mutex mu_;
	int requests_ = 0;
	bool saw_auth_ = false;
};

/* The routes of a fixture folder that a recent server answers. */
std::map<std::string, TestServer::Answer> fixture_answers(const std::string &dir)
{
	std::map<std::string, TestServer::Answer> routes;
	for (const auto &r : {std::make_pair("/v1/models", "v1_models.json"),
			      std::make_pair("/server_info", "server_info.json"),
			      std::make_pair("/metrics", "metrics.txt"),
			      std::make_pair("/v1/loads", "v1_loads.json")}) {
		TestServer::Answer a;
		a.body = ctest::read_text(kFixtures + "/" + dir + "/" + r.second);
		routes[r.first] = a;
	}
	return routes;
}

struct Variant {
	const char *dir;
	const char *path; /* appended to the mock's address */
	std::vector<std::string> mock_args;
	std::vector<std::string> env;
	const char *expected;
};

/* Names the row in test listings. */
void PrintTo(const Variant &v, std::ostream *os)
{
	*os << v.dir;
}

class CompanionFixtures : public ::testing::TestWithParam<Variant> {};

} // namespace

TEST_P(CompanionFixtures, OneProbeMatchesTheExpectedObject)
{
	const Variant &v = GetParam();
	std::vector<std::string> args = v.mock_args;
	args.push_back(kFixtures + "/" + v.dir);
	ctest::Mock mock(args);
	ctest::TempDir home;
	Probe p = probe(mock.url(v.path), home, v.env);
	EXPECT_EQ(p.r.status, 0) << p.r.out << p.r.err;
	EXPECT_EQ(p.r.err, "");
	json expected = json::parse(ctest::read_text(kFixtures + "/" + v.dir + "/" + v.expected));
	ctest::expect_matches(p.out, expected, mock.url());
	EXPECT_EQ(p.r.out.rfind("{\"url\":", 0), 0u) << "url must lead, for the plug-in's scan";
}

INSTANTIATE_TEST_SUITE_P(
	Generations, CompanionFixtures,
	::testing::Values(
		/* 2026, metrics and EAGLE, asked with the OpenAI base URL. */
		Variant{"a_recent_eagle", "/v1/", {}, {}, "expected.json"},
		/* 2026, no metrics, two DP ranks, behind an API key. */
		Variant{"c_no_metrics", "", {}, {std::string("SGLANG_API_KEY=") + kKey}, "expected.json"},
		/* Early 2025: v0.4 metric names, flat server information. */
		Variant{"b_v043", "/", {}, {}, "expected.json"},
		/* Early 2025 with two data-parallel ranks: gauges summed over the ranks. */
		Variant{"d_v043_dp2", "", {}, {}, "expected.json"},
		/* 2024: first-generation names, percent cache hits, no server information. */
		Variant{"g1_2024", "/v1", {}, {}, "expected.json"},
		/* 2026: two DP ranks of two TP ranks, priority scheduling. */
		Variant{"e_2026_dp2_priority", "/v1", {}, {}, "expected.json"},
		/* The model gateway in front of two workers. */
		Variant{"f_gateway", "", {}, {}, "expected.json"},
		/* A metrics page alone, with every quirk of the format. */
		Variant{"quirks", "", {"--scrapes", "metrics_quirks.txt"}, {}, "expected_metrics_only.json"}),
	[](const ::testing::TestParamInfo<Variant> &i) { return std::string(i.param.dir); });

TEST(CompanionWindow, SecondScrapeGivesRatesAndARestartDropsThem)
{
	ctest::TempDir home;
	{
		ctest::Mock mock({kFixtures + "/a_recent_eagle"});
		probe(mock.url("/v1"), home, {"QUORVANE_TEST_CLOCK_MS=7000000"});
		Probe p = probe(mock.url("/v1"), home, {"QUORVANE_TEST_CLOCK_MS=7005000"});
		EXPECT_EQ(p.r.status, 0);
		json expected = json::parse(ctest::read_text(kFixtures + "/a_recent_eagle/expected_t5.json"));
		ctest::expect_matches(p.out, expected, mock.url(), ctest::window_extras());
		EXPECT_EQ(p.out["window_s"], 5.0);
		/* Quantiles of the bucket differences, worked out by hand from the
		 * two pages: 32 first tokens, 12406 tokens, 32 queue waits. */
		const std::pair<const char *, double> quantiles[] = {
			{"ttft_p50_ms", 369.230769}, {"ttft_p95_ms", 880.0},  {"itl_p50_ms", 18.888101},
			{"itl_p95_ms", 28.090604},   {"queue_p50_ms", 700.0}, {"queue_p95_ms", 2700.0}};
		for (const auto &q : quantiles)
			EXPECT_NEAR(p.out[q.first].get<double>(), q.second, 1e-5) << q.first;
	}
	{
		/* The server restarts between two probes: its counters start over. */
		ctest::Mock mock({"--scrapes", "metrics_t5.txt,metrics.txt", kFixtures + "/a_recent_eagle"});
		ctest::TempDir fresh;
		probe(mock.url(), fresh, {"QUORVANE_TEST_CLOCK_MS=1000"});
		Probe p = probe(mock.url(), fresh, {"QUORVANE_TEST_CLOCK_MS=6000"});
		EXPECT_EQ(p.r.status, 0);
		EXPECT_EQ(p.out["restarted"], true);
		json expected = json::parse(ctest::read_text(kFixtures + "/a_recent_eagle/expected.json"));
		ctest::expect_matches(p.out, expected, mock.url(), {"restarted"});
	}
}

TEST(CompanionWindow, NewestGenerationCountsRetractionsAndEffectiveCacheHits)
{
	/* Over the window: one retraction, and the cache hits of the
	 * scheduler's effective tokens (55900 of 96400), not those of the
	 * finished requests (35900 of 80800). */
	ctest::Mock mock({kFixtures + "/e_2026_dp2_priority"});
	ctest::TempDir home;
	probe(mock.url(), home, {"QUORVANE_TEST_CLOCK_MS=7000000"});
	Probe p = probe(mock.url(), home, {"QUORVANE_TEST_CLOCK_MS=7005000"});
	EXPECT_EQ(p.r.status, 0) << p.r.out;
	json expected = json::parse(ctest::read_text(kFixtures + "/e_2026_dp2_priority/expected_t5.json"));
	ctest::expect_matches(p.out, expected, mock.url(), ctest::window_extras());
}

namespace {

/* Requests of each route that the mock has answered so far. */
std::map<std::string, int> mock_stats(const ctest::Mock &mock)
{
	httplib::Client c("127.0.0.1", mock.port());
	auto res = c.Get("/mock/stats");
	std::map<std::string, int> out;
	json counts = res && res->status == 200 ? json::parse(res->body, nullptr, false) : json();
	if (counts.is_object())
		for (const auto &e : counts.items())
			out[e.key()] = e.value().get<int>();
	return out;
}

/* The routes asked between two readings, with their counts. */
std::map<std::string, int> asked_since(const std::map<std::string, int> &before,
				       const std::map<std::string, int> &after)
{
	std::map<std::string, int> out;
	for (const auto &a : after) {
		auto it = before.find(a.first);
		int n = a.second - (it == before.end() ? 0 : it->second);
		if (n > 0)
			out[a.first] = n;
	}
	return out;
}

/* The one state file of a home folder. */
std::string state_file(const ctest::TempDir &home)
{
	return std::filesystem::directory_iterator(home.path() + "/.cache/quorvane/sglang-metrics")->path().string();
}

} // namespace

TEST(CompanionSteady, AskOnlyWhatMovesAndGiveTheSameDocument)
{
	using Routes = std::map<std::string, int>;
	const std::string clock = "QUORVANE_TEST_CLOCK_MS=";
	const std::string key = std::string("SGLANG_API_KEY=") + kKey;
	struct Row {
		const char *dir;
		Routes steady;
	} rows[] = {
		{"e_2026_dp2_priority", {{"/metrics", 1}}},
		{"a_recent_eagle", {{"/metrics", 1}}},
		{"b_v043", {{"/metrics", 1}}},
		{"g1_2024", {{"/metrics", 1}}},
		/* Without a metrics page the moving figures are in two answers. */
		{"c_no_metrics", {{"/server_info", 1}, {"/v1/loads", 1}}},
		{"f_gateway", {{"/engine_metrics", 1}}},
	};
	for (const Row &row : rows) {
		/* One page throughout, so that two homes see the same answers. */
		const std::string dir = kFixtures + "/" + row.dir;
		std::vector<std::string> args = {dir};
		if (!ctest::read_text(dir + "/metrics.txt").empty())
			args = {"--scrapes", "metrics.txt", dir};
		ctest::Mock mock(args);
		ctest::TempDir home, full;
		probe(mock.url(), home, {clock + "7000000", key});
		/* The other home forgets the facts, so its next probe asks all. */
		std::filesystem::copy(home.path() + "/.cache", full.path() + "/.cache",
				      std::filesystem::copy_options::recursive);
		json kept = json::parse(ctest::read_text(state_file(full)));
		kept.erase("facts");
		ctest::write_text(state_file(full), kept.dump());
		auto before = mock_stats(mock);
		Probe steady = probe(mock.url(), home, {clock + "7005000", key});
		auto after = mock_stats(mock);
		EXPECT_EQ(asked_since(before, after), row.steady) << row.dir;
		Probe all = probe(mock.url(), full, {clock + "7005000", key});
		EXPECT_EQ(steady.out, all.out) << row.dir;
		/* Ten minutes on, every route is asked again. */
		after = mock_stats(mock);
		probe(mock.url(), home, {clock + "7605000", key});
		EXPECT_GT(asked_since(after, mock_stats(mock)).size(), row.steady.size()) << row.dir;
	}
	/* A restart (the counters start over) is looked at with every route,
	 * in the same run. */
	ctest::Mock mock({"--scrapes", "metrics_t5.txt,metrics_t5.txt,metrics.txt", kFixtures + "/a_recent_eagle"});
	ctest::TempDir home;
	probe(mock.url(), home, {clock + "1000"});
	probe(mock.url(), home, {clock + "6000"});
	auto before = mock_stats(mock);
	Probe p = probe(mock.url(), home, {clock + "11000"});
	EXPECT_EQ(p.out["restarted"], true) << p.r.out;
	EXPECT_EQ(asked_since(before, mock_stats(mock)).count("/v1/models"), 1u);
}

TEST(CompanionWindow, KeptSamplesCarryTheWallClock)
{
	/* The samples outlive the process and the boot; a clock that starts
	 * over at boot would make an old sample look recent after a reboot. */
	ctest::Mock mock({kFixtures + "/a_recent_eagle"});
	ctest::TempDir home;
	int64_t before = std::chrono::duration_cast<std::chrono::milliseconds>(
				 std::chrono::system_clock::now().time_since_epoch()).count();
	ASSERT_EQ(probe(mock.url(), home).r.status, 0);
	int64_t after = std::chrono::duration_cast<std::chrono::milliseconds>(
				std::chrono::system_clock::now().time_since_epoch()).count();
	std::vector<std::filesystem::path> files;
	for (const auto &e : std::filesystem::directory_iterator(home.path() + "/.cache/quorvane/sglang-metrics"))
		files.push_back(e.path());
	ASSERT_EQ(files.size(), 1u);
	json state = json::parse(ctest::read_text(files[0].string()), nullptr, false);
	ASSERT_TRUE(state.is_object() && state["samples"].is_array() && state["samples"].size() == 1) << state;
	int64_t t = state["samples"][0]["t_ms"].get<int64_t>();
	EXPECT_GE(t, before);
	EXPECT_LE(t, after);
}

TEST(CompanionKey, NeededRefusedAndNeverPrinted)
{
	ctest::Mock mock({kFixtures + "/c_no_metrics"});
	ctest::TempDir home;
	Probe none = probe(mock.url(), home);
	expect_failure(none, mock.url(), "401");
	EXPECT_EQ(none.out["model"], "");
	Probe wrong = probe(mock.url(), home, {"SGLANG_API_KEY=sk-wrong"});
	expect_failure(wrong, mock.url(), "401");
	EXPECT_EQ(wrong.r.out.find("sk-wrong"), std::string::npos);
	EXPECT_EQ(wrong.r.err.find("sk-wrong"), std::string::npos);
	/* The server information holds the key in clear; it stays there. */
	Probe right = probe(mock.url(), home, {std::string("SGLANG_API_KEY=") + kKey});
	EXPECT_EQ(right.r.status, 0);
	EXPECT_EQ(right.r.out.find(kKey), std::string::npos);
	EXPECT_EQ(right.r.err.find(kKey), std::string::npos);
}

TEST(CompanionKey, OldServersGuardTheMetricsPageToo)
{
	ctest::Mock mock({"--api-key", "k1", "--metrics-need-key", kFixtures + "/b_v043"});
	ctest::TempDir home;
	Probe p = probe(mock.url(), home, {"SGLANG_API_KEY=k1"});
	EXPECT_EQ(p.r.status, 0) << p.r.out;
	EXPECT_EQ(p.out["requests_total"], 11228);
}

TEST(CompanionFailures, RefusedClosedAndNotSglang)
{
	ctest::TempDir home;
	/* Nothing listens: refused at once. A port is taken and released. */
	std::string dead;
	{
		RawServer s(true);
		dead = s.url();
	}
	expect_failure(probe(dead + "/v1", home), dead, "cannot reach");
	{
		RawServer s(true);
		expect_failure(probe(s.url(), home), s.url(), "cannot reach");
	}
	{
		ctest::Mock html({"--html"});
		expect_failure(probe(html.url(), home), html.url(), "not an SGLang server");
	}
	expect_failure(probe("ftp://127.0.0.1/", home), "ftp://127.0.0.1", "invalid url");
}

TEST(CompanionFailures, SilentAndSlowServersEndWithinTheBound)
{
	ctest::TempDir home;
	/* The probe's own bound ends the run, well before the plug-in's. */
	const int plugin_limit_ms = 10000;
	{
		/* Connections accepted and never answered. */
		RawServer s(false);
		std::vector<std::string> env = ctest::base_env();
		env.push_back("HOME=" + home.path());
		ctest::ProcResult r = ctest::run({QV_METRICS_BIN, s.url()}, env, plugin_limit_ms);
		EXPECT_FALSE(r.timed_out);
		EXPECT_EQ(r.status, 1);
		EXPECT_NE(r.out.find("no answer"), std::string::npos) << r.out;
	}
	{
		ctest::Mock slow({"--delay-ms", "20000", kFixtures + "/a_recent_eagle"});
		std::vector<std::string> env = ctest::base_env();
		env.push_back("HOME=" + home.path());
		ctest::ProcResult r = ctest::run({QV_METRICS_BIN, slow.url()}, env, plugin_limit_ms);
		EXPECT_FALSE(r.timed_out);
		EXPECT_EQ(r.status, 1);
		EXPECT_NE(r.out.find("no answer"), std::string::npos) << r.out;
	}
}

TEST(CompanionUrl, ComparisonFormIsThePluginsOwn)
{
	ctest::Mock mock({kFixtures + "/a_recent_eagle"});
	ctest::TempDir home;
	for (const char *suffix : {"", "/", "/v1", "/v1/", "/v1//", "//v1"}) {
		std::string in = mock.url(suffix);
		char norm[ENDPOINT_NORM_CAP];
		normalize_endpoint(in.c_str(), norm);
		Probe p = probe(in, home);
		EXPECT_EQ(p.out["url"], norm) << in;
	}
	/* A base that keeps a path: the routes go below it. */
	Probe p = probe(mock.url("/v1/v1"), home);
	EXPECT_EQ(p.out["url"], mock.url("/v1"));
	EXPECT_EQ(p.r.status, 1) << "routes under /v1 do not exist on the server";
}

TEST(CompanionSlowServer, EveryRouteIsAskedAtOnce)
{
	/* Every answer 2.6 s late. The load routes go out beside /metrics, not
	 * after its 404, so the figures of a server without metrics arrive. */
	ctest::Mock mock({"--delay-ms", "2600", kFixtures + "/c_no_metrics"});
	ctest::TempDir home;
	Probe p = probe(mock.url(), home, {std::string("SGLANG_API_KEY=") + kKey});
	EXPECT_EQ(p.r.status, 0) << p.r.out;
	EXPECT_EQ(p.out["num_running_reqs"], 42);
	EXPECT_EQ(p.out["num_queue_reqs"], 2);
	EXPECT_EQ(p.out["num_used_tokens"], 117144);
	EXPECT_TRUE(p.out.contains("token_usage"));
	EXPECT_FALSE(p.out.contains("late")) << p.r.out;
}

TEST(CompanionSlowServer, RoutesPastTheBoundAreNamed)
{
	/* Answers 4.5 s late: the first routes of an early-2025 server answer,
	 * their older names (asked after a 404) cannot within 8 s. The run
	 * still ends inside the plug-in's 10 s and says what is missing. */
	ctest::Mock mock({"--delay-ms", "4500", kFixtures + "/b_v043"});
	ctest::TempDir home;
	std::vector<std::string> env = ctest::base_env();
	env.push_back("HOME=" + home.path());
	ctest::ProcResult r = ctest::run({QV_METRICS_BIN, mock.url()}, env, 10000);
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	json out = json::parse(r.out, nullptr, false);
	EXPECT_EQ(out["requests_total"], 11228) << r.out;
	EXPECT_EQ(out["late"], json({"/get_server_info", "/get_load", "/get_model_info"})) << r.out;
	EXPECT_FALSE(out.contains("context_len")) << "its source came too late";
}

TEST(CompanionSlowServer, OnlyTheModelListInTimeIsCalledSlow)
{
	TestServer slow({{"/v1/models", {200, ctest::read_text(kFixtures + "/a_recent_eagle/v1_models.json"), "", 0}},
			 {"*", {200, "{}", "", 8500}}});
	ctest::TempDir home;
	Probe p = probe(slow.url(), home);
	expect_failure(p, slow.url(), "too slow");
	for (const char *route : {"/server_info", "/metrics", "/v1/loads", "/model_info", "/health"})
		EXPECT_NE(p.out["error"].get<std::string>().find(route), std::string::npos) << route << p.r.out;
}

TEST(CompanionSlowServer, ASteadyProbeAndItsFullProbeShareOneBound)
{
	/* The facts are kept; then the same address answers only after 20 s.
	 * The steady probe's wait and the full probe after it must still end
	 * inside the plug-in's 10 s. */
	ctest::TempDir home;
	int port = 0;
	{
		ctest::Mock fast({kFixtures + "/a_recent_eagle"});
		port = fast.port();
		ASSERT_EQ(probe(fast.url(), home).r.status, 0);
	}
	ctest::Mock slow({"--port", std::to_string(port), "--delay-ms", "20000", kFixtures + "/a_recent_eagle"});
	std::vector<std::string> env = ctest::base_env();
	env.push_back("HOME=" + home.path());
	ctest::ProcResult r = ctest::run({QV_METRICS_BIN, slow.url()}, env, 10000);
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.out.find("no answer"), std::string::npos) << r.out;
}

TEST(CompanionFailures, GatewayWithoutItsWorkersMetricsNamesItself)
{
	/* Its other routes pass one worker's answers through: printing them
	 * would show one worker as the deployment. */
	const std::string g = kFixtures + "/f_gateway/";
	TestServer gateway({{"/v1/models", {200, ctest::read_text(g + "v1_models.json"), "", 0}},
			    {"/server_info", {200, ctest::read_text(g + "server_info.json"), "", 0}},
			    {"/v1/loads", {200, ctest::read_text(g + "v1_loads.json"), "", 0}}});
	ctest::TempDir home;
	Probe p = probe(gateway.url(), home);
	expect_failure(p, gateway.url(), "model gateway in front of 2 workers");
	EXPECT_NE(p.out["error"].get<std::string>().find("point the monitor at a worker"), std::string::npos);
}

TEST(CompanionFailures, RedirectIsNamedAndNeverFollowed)
{
	TestServer elsewhere({{"*", {200, "{}", "", 0}}});
	TestServer moved({{"*", {301, "", elsewhere.url() + "/v1/models", 0}}});
	ctest::TempDir home;
	Probe p = probe(moved.url(), home, {"SGLANG_API_KEY=sk-stays-here"});
	expect_failure(p, moved.url(), "HTTP 301 from /v1/models");
	EXPECT_NE(p.out["error"].get<std::string>().find(elsewhere.url() + "/v1/models"), std::string::npos)
		<< p.r.out;
	EXPECT_EQ(elsewhere.requests(), 0);
	EXPECT_TRUE(moved.saw_authorization());
}

TEST(CompanionTls, PrivateAuthorityNamedInTheEnvironment)
{
	const std::string tls = kFixtures + "/tls";
	TestServer server(fixture_answers("a_recent_eagle"), tls);
	const std::string url = server.url("https");
	ctest::TempDir home;
	expect_failure(probe(url, home), url, "cannot reach");
	for (const std::string &var : {"SSL_CERT_FILE=" + tls + "/ca.pem", "CURL_CA_BUNDLE=" + tls + "/ca.pem",
				       "SSL_CERT_DIR=" + tls + "/certs"}) {
		Probe p = probe(url, home, {var});
		EXPECT_EQ(p.r.status, 0) << var << ": " << p.r.out;
		EXPECT_EQ(p.out["model"], "meta-llama/Llama-3.1-8B-Instruct") << var;
	}
}

TEST(CompanionUrl, BlanksAreTrimmedAndAHostIsNeeded)
{
	ctest::Mock mock({kFixtures + "/a_recent_eagle"});
	ctest::TempDir home;
	Probe p = probe(" \t" + mock.url("/v1/") + " \r\n", home);
	EXPECT_EQ(p.r.status, 0) << p.r.out;
	EXPECT_EQ(p.out["url"], mock.url());
	for (const char *bad : {"http://", "https://", "http:///v1", " http://  "}) {
		Probe q = probe(bad, home);
		std::string given = ctest_trim(bad);
		expect_failure(q, given, "no host after");
		EXPECT_NE(q.out["error"].get<std::string>().find(given.substr(0, given.find("//") + 2)),
			  std::string::npos) << q.r.out;
	}
}

TEST(CompanionHealth, AStartingServerIsReportedNotFailed)
{
	/* Loading its model: /health answers 503 and so do the figure routes. */
	TestServer starting({{"/v1/models", {200, ctest::read_text(kFixtures + "/a_recent_eagle/v1_models.json"), "", 0}},
			     {"/health", {503, "", "", 0}},
			     {"*", {503, "{\"detail\":\"starting\"}", "", 0}}});
	ctest::TempDir home;
	Probe p = probe(starting.url(), home);
	EXPECT_EQ(p.r.status, 0) << p.r.out;
	EXPECT_EQ(p.out["health"], "starting");
	EXPECT_EQ(p.out["model"], "meta-llama/Llama-3.1-8B-Instruct");
	EXPECT_FALSE(p.out.contains("error")) << p.r.out;

	/* 503 on every route, the model list too: nothing says SGLang is there,
	 * so the run fails and says why instead of printing an empty document. */
	TestServer down({{"*", {503, "Service Unavailable", "", 0}}});
	Probe d = probe(down.url(), home);
	EXPECT_EQ(d.r.status, 1) << d.r.out;
	EXPECT_EQ(d.out["error"], "HTTP 503 from /v1/models: the server does not serve (still starting, or down "
				  "behind a proxy)");
}

TEST(CompanionWindow, DoubtfulStoredSamplesAreDropped)
{
	ctest::Mock mock({"--scrapes", "metrics.txt", kFixtures + "/a_recent_eagle"});
	ctest::TempDir home;
	const std::string clock = "QUORVANE_TEST_CLOCK_MS=";
	ASSERT_EQ(probe(mock.url(), home, {clock + "1765000000000"}).r.status, 0);
	std::string dir = home.path() + "/.cache/quorvane/sglang-metrics";
	std::string path = std::filesystem::directory_iterator(dir)->path().string();
	const json kept = json::parse(ctest::read_text(path));
	ASSERT_EQ(kept["samples"].size(), 1u) << kept;

	/* Each damage in turn: a time from far outside the clock's range (it
	 * overflowed the window's subtraction), counters below zero, a sample
	 * before an absurd one. None may give a window. */
	std::vector<json> damaged;
	json s = kept;
	s["samples"][0]["t_ms"] = LLONG_MIN + 1000;
	damaged.push_back(s);
	s = kept;
	s["samples"][0]["counters"]["prompt"] = -1e15;
	damaged.push_back(s);
	s = kept;
	s["samples"][0]["histograms"]["ttft"]["count"] = -3;
	damaged.push_back(s);
	s = kept;
	json absurd = kept["samples"][0];
	absurd["t_ms"] = 4102444800000000LL;
	s["samples"].push_back(absurd);
	damaged.push_back(s);
	for (const json &d : damaged) {
		ctest::write_text(path, d.dump());
		Probe p = probe(mock.url(), home, {clock + "1765000005000"});
		EXPECT_EQ(p.r.status, 0);
		EXPECT_FALSE(p.out.contains("window_s")) << d.dump().substr(0, 300) << "\n" << p.r.out;
		EXPECT_FALSE(p.out.contains("pp_tok_s")) << p.r.out;
	}
	/* The sound file still gives its window. */
	ctest::write_text(path, kept.dump());
	Probe p = probe(mock.url(), home, {clock + "1765000005000"});
	EXPECT_EQ(p.out["window_s"], 5.0) << p.r.out;
}
