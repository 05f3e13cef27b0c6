/*
 * mock-sglang answers as the servers it stands for: route by route, with
 * the key where the server wants one, and /metrics pages that Prometheus'
 * own checker reads; it refuses options it cannot honour.
 */
#include <sys/wait.h>

#include <cstdio>
#include <regex>

#include <gtest/gtest.h>

#include "proc.h"
#include "sglang_metrics.h"

namespace {

const std::string kFixtures = QV_FIXTURES;

sgm::HttpResult get(const std::string &url, std::vector<std::string> headers = {})
{
	sgm::Fetcher f(5000);
	f.get(0, url, headers);
	auto done = f.wait();
	return done.empty() ? sgm::HttpResult{} : done[0].second;
}

/* promtool's verdict on a page: its exit status and its findings. The
 * checker also lints names, and SGLang's names hold a colon by design. */
struct Verdict {
	int status = -1;
	std::vector<std::string> findings;
};

Verdict promtool(const std::string &page)
{
	ctest::TempDir tmp;
	std::string path = tmp.path() + "/page.txt";
	ctest::write_text(path, page);
	ctest::ProcResult r = ctest::run({"/bin/sh", "-c", "exec promtool check metrics < \"$0\"", path},
					 ctest::base_env());
	Verdict v;
	v.status = r.status;
	std::string all = r.out + r.err;
	std::size_t start = 0;
	while (start < all.size()) {
		std::size_t nl = all.find('\n', start);
		std::string line = all.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
		if (!line.empty())
			v.findings.push_back(line);
		start = nl == std::string::npos ? all.size() : nl + 1;
	}
	return v;
}

/* Passes when promtool read the page and found nothing beyond the colon. */
void expect_promtool_passes(const std::string &page)
{
	Verdict v = promtool(page);
	EXPECT_TRUE(v.status == 0 || v.status == 3) << "promtool status " << v.status;
	for (const std::string &f : v.findings)
		EXPECT_NE(f.find("metric names should not contain ':'"), std::string::npos) << f;
}

} // namespace

TEST(MockRoutes, EachGenerationAnswersItsOwnRoutes)
{
	ctest::Mock a({kFixtures + "/a_recent_eagle"});
	for (const char *path : {"/server_info", "/get_server_info", "/model_info", "/get_model_info",
				 "/v1/models", "/v1/loads", "/get_load", "/health", "/metrics", "/metrics/"})
		EXPECT_EQ(get(a.url(path)).status, 200) << path;
	sgm::HttpResult missing = get(a.url("/nothing/here"));
	EXPECT_EQ(missing.status, 404);
	EXPECT_EQ(missing.body, "{\"detail\":\"Not Found\"}");

	/* Early 2025: only the older names. */
	ctest::Mock b({kFixtures + "/b_v043"});
	for (const char *path : {"/server_info", "/model_info", "/v1/loads", "/get_load"})
		EXPECT_EQ(get(b.url(path)).status, 404) << path;
	for (const char *path : {"/get_server_info", "/get_model_info", "/v1/models", "/metrics"})
		EXPECT_EQ(get(b.url(path)).status, 200) << path;
}

TEST(MockRoutes, KeyGuardsAllButHealthAndMetrics)
{
	ctest::Mock c({kFixtures + "/c_no_metrics"});
	sgm::HttpResult refused = get(c.url("/v1/models"));
	EXPECT_EQ(refused.status, 401);
	EXPECT_EQ(refused.body, "{\"error\":\"Unauthorized\"}");
	EXPECT_EQ(get(c.url("/v1/models"), {"Authorization: bearer sk-fixture-0c1d2e3f"}).status, 200);
	EXPECT_EQ(get(c.url("/v1/loads"), {"x-api-key: sk-fixture-0c1d2e3f"}).status, 200);
	EXPECT_EQ(get(c.url("/v1/models"), {"Authorization: Bearer sk-other"}).status, 401);
	EXPECT_EQ(get(c.url("/health")).status, 200);
	/* Exempt, but not mounted without --enable-metrics. */
	EXPECT_EQ(get(c.url("/metrics")).status, 404);
	EXPECT_EQ(get(c.url("/metrics"), {"Authorization: Bearer sk-fixture-0c1d2e3f"}).status, 404);
}

TEST(MockRoutes, SuccessiveScrapesAndNegotiation)
{
	ctest::Mock a({"--openmetrics", "../quirks/a_metrics_openmetrics.txt", kFixtures + "/a_recent_eagle"});
	std::string t0 = ctest::read_text(kFixtures + "/a_recent_eagle/metrics.txt");
	std::string t5 = ctest::read_text(kFixtures + "/a_recent_eagle/metrics_t5.txt");
	sgm::HttpResult om = get(a.url("/metrics"), {"Accept: application/openmetrics-text"});
	EXPECT_NE(om.body.find("# EOF"), std::string::npos);
	EXPECT_EQ(get(a.url("/metrics")).body, t0);
	EXPECT_EQ(get(a.url("/metrics")).body, t5);
	EXPECT_EQ(get(a.url("/metrics")).body, t5);
}

TEST(MockLive, FiguresMoveAndPagesPassPromtool)
{
	ctest::Mock live({"--live"});
	sgm::HttpResult first = get(live.url("/metrics"));
	ASSERT_EQ(first.status, 200);
	expect_promtool_passes(first.body);

	sgm::Scrape s0 = sgm::parse_prometheus(first.body);
	EXPECT_EQ(s0.bad_lines, 0u);
	auto total = [](const sgm::Scrape &s) {
		return *sgm::counter_sum(s.select("sglang:generation_tokens_total", {sgm::MetricType::counter}));
	};
	/* A busy server finishes requests every few hundred milliseconds. */
	double before = total(s0), after = before;
	for (int i = 0; i < 50 && after == before; i++) {
		usleep(100000);
		after = total(sgm::parse_prometheus(get(live.url("/metrics")).body));
	}
	EXPECT_GT(after, before);
	EXPECT_EQ(get(live.url("/v1/models")).status, 200);
	EXPECT_EQ(get(live.url("/server_info")).status, 200);
	EXPECT_EQ(live.stop(), 0) << "the mock ends cleanly on SIGTERM";
}

TEST(MockLive, ScenariosStallFailAndRestartOnDemand)
{
	auto read = [](const std::string &page, const char *name, sgm::MetricType type) {
		sgm::Scrape s = sgm::parse_prometheus(page);
		auto picked = s.select(name, {type});
		return *(type == sgm::MetricType::counter ? sgm::counter_sum(picked) : sgm::gauge_sum(picked));
	};
	auto generated = [&](const std::string &page) {
		return read(page, "sglang:generation_tokens_total", sgm::MetricType::counter);
	};
	auto gauge = [&](const std::string &page, const char *name) {
		return read(page, name, sgm::MetricType::gauge);
	};

	/* A queue that waits while nothing runs and no token moves. */
	ctest::Mock queue({"--live", "--scenario", "stall-queue"});
	std::string first = get(queue.url("/metrics")).body;
	usleep(1200000);
	std::string later = get(queue.url("/metrics")).body;
	EXPECT_EQ(gauge(later, "sglang:num_running_reqs"), 0);
	EXPECT_GT(gauge(later, "sglang:num_queue_reqs"), 0);
	EXPECT_EQ(generated(later), generated(first));

	/* Switched at run time: requests hold their slots, no token comes out. */
	EXPECT_EQ(get(queue.url("/mock/scenario?name=stall-tokens")).status, 200);
	first = get(queue.url("/metrics")).body;
	usleep(1200000);
	later = get(queue.url("/metrics")).body;
	EXPECT_GT(gauge(later, "sglang:num_running_reqs"), 0);
	EXPECT_EQ(generated(later), generated(first));

	/* Down: every route, health included, answers 503 until switched back. */
	EXPECT_EQ(get(queue.url("/mock/scenario?name=down")).status, 200);
	for (const char *route : {"/metrics", "/v1/models", "/server_info", "/health", "/nowhere"})
		EXPECT_EQ(get(queue.url(route)).status, 503) << route;
	EXPECT_EQ(get(queue.url("/mock/scenario?name=sideways")).status, 400);

	/* A restart empties the totals, then the server works again. */
	EXPECT_EQ(get(queue.url("/mock/scenario?name=restart")).status, 200);
	double after_restart = generated(get(queue.url("/metrics")).body);
	EXPECT_LT(after_restart, generated(first));
	double moved = after_restart;
	for (int i = 0; i < 50 && moved == after_restart; i++) {
		usleep(100000);
		moved = generated(get(queue.url("/metrics")).body);
	}
	EXPECT_GT(moved, after_restart);
	EXPECT_EQ(queue.stop(), 0);
}

TEST(MockLive, FixturePagesPassPromtoolAndABrokenOneFails)
{
	for (const char *f : {"a_recent_eagle/metrics.txt", "b_v043/metrics.txt", "g1_2024/metrics.txt"}) {
		SCOPED_TRACE(f);
		std::string page = ctest::read_text(kFixtures + "/" + f);
		Verdict v = promtool(page);
		EXPECT_NE(v.status, 1);
	}
	/* The checker is not a rubber stamp: an unterminated label value. */
	EXPECT_EQ(promtool("# TYPE m gauge\nm{a=\"b} 1\n").status, 1);
}

TEST(MockOptions, BadNumbersAndLiveWithHtmlAreRefused)
{
	const std::string fixture = kFixtures + "/a_recent_eagle";
	const std::vector<std::vector<std::string>> refused = {
		{"--port", "abc"},           {"--port", "70000"},    {"--port", "-1"},
		{"--port", "80x"},           {"--port", " 80"},      {"--port", ""},
		{"--delay-ms", "abc"},       {"--delay-ms", "-5"},   {"--delay-ms", "1e3"},
		{"--delay-ms", "99999999999999999999"}};
	for (const auto &bad : refused) {
		SCOPED_TRACE(bad[0] + " '" + bad[1] + "'");
		/* A mock that took the value would start serving and run until
		 * the bound here. */
		ctest::ProcResult r = ctest::run({QV_MOCK_BIN, bad[0], bad[1], fixture}, ctest::base_env(), 5000);
		EXPECT_EQ(r.status, 2);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err.rfind("mock-sglang: " + bad[0] + " ", 0), 0u) << r.err;
		EXPECT_NE(r.err.find("'" + bad[1] + "'"), std::string::npos) << r.err;
		EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
	}
	for (const auto &both : std::vector<std::vector<std::string>>{{"--live", "--html"}, {"--html", "--live"}}) {
		ctest::ProcResult r = ctest::run({QV_MOCK_BIN, both[0], both[1]}, ctest::base_env(), 5000);
		EXPECT_EQ(r.status, 2) << both[0];
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "mock-sglang: --live and --html cannot be used together\n");
	}
	for (const auto &bad : std::vector<std::vector<std::string>>{
		     {"--live", "--scenario", "asleep"}, {"--scenario", "down", fixture}}) {
		ctest::ProcResult r = ctest::run({QV_MOCK_BIN, bad[0], bad[1], bad[2]}, ctest::base_env(), 5000);
		EXPECT_EQ(r.status, 2) << bad[1];
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err.rfind("mock-sglang: --scenario ", 0), 0u) << r.err;
	}
	/* Zero, the least of both, is still taken. */
	ctest::Mock quick({"--delay-ms", "0", "--port", "0", fixture});
	EXPECT_EQ(get(quick.url("/health")).status, 200);
}
