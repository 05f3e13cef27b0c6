/*
 * The Prometheus text reader: the quirks a real page holds, then input that
 * no exporter should send, line by line.
 */
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "proc.h"
#include "sglang_metrics.h"

using namespace sgm;

namespace {

std::string fixture(const std::string &rel)
{
	return ctest::read_text(std::string(QV_FIXTURES) + "/" + rel);
}

std::vector<const Sample *> gauges(const Scrape &s, const char *name)
{
	return s.select(name, {MetricType::gauge, MetricType::untyped});
}

std::vector<const Sample *> counters(const Scrape &s, const char *name)
{
	return s.select(name, {MetricType::counter, MetricType::untyped});
}

} // namespace

TEST(PromQuirks, EscapesNumbersAndFamiliesOfTheQuirksPage)
{
	Scrape s = parse_prometheus(fixture("quirks/metrics_quirks.txt"));
	EXPECT_EQ(s.bad_lines, 0u);

	/* Label values keep their escaped quotes, backslashes and line feeds. */
	auto prompt = counters(s, "sglang:prompt_tokens_total");
	ASSERT_EQ(prompt.size(), 3u);
	EXPECT_EQ(*label_of(*prompt[1], "tenant"), "acme \"prod\"");
	EXPECT_EQ(*label_of(*prompt[2], "tenant"), "C:\\models\\x\nline2");
	EXPECT_EQ(*label_of(*prompt[0], "priority"), "");
	/* Three-digit exponents and 64-bit sized counts read exactly. */
	EXPECT_EQ(prompt[0]->value, 12345678901.0);
	EXPECT_EQ(*counter_sum(prompt), 12345678901.0 + 1e6 + 5e5);

	auto speed = gauges(s, "sglang:kv_transfer_speed_gb_s");
	ASSERT_EQ(speed.size(), 2u);
	EXPECT_TRUE(std::isnan(speed[0]->value));
	EXPECT_TRUE(std::isinf(speed[1]->value) && speed[1]->value > 0);
	auto util = gauges(s, "sglang:utilization");
	EXPECT_TRUE(std::isinf(util[0]->value) && util[0]->value < 0);
	EXPECT_EQ(util[1]->value, -1.0);

	/* A trailing timestamp is not the value. */
	auto queue = gauges(s, "sglang:num_queue_reqs");
	ASSERT_EQ(queue.size(), 2u);
	EXPECT_EQ(queue[0]->value + queue[1]->value, 3.0);

	/* _created is a gauge family of its own, never part of the counter. */
	EXPECT_TRUE(counters(s, "sglang:prompt_tokens_created").empty());
	EXPECT_EQ(gauges(s, "sglang:prompt_tokens_created").size(), 1u);

	/* A gauge with an "le" label and a _count name is still a gauge. */
	EXPECT_TRUE(s.select("sglang:routing_key_running_req_count", {MetricType::histogram}).empty());
	EXPECT_FALSE(gauge_sum(gauges(s, "sglang:routing_key_running_req_count")).has_value());

	/* HELP escapes; a declared family without samples; a sample without TYPE. */
	bool help_seen = false, empty_family = false;
	for (const Family &f : s.families) {
		if (f.name == "sglang:custom_note_info") {
			EXPECT_EQ(f.help, "A HELP text with a backslash C:\\models\\qwen and an escaped\nnewline.");
			help_seen = true;
		}
		if (f.name == "sglang:declared_but_never_set_total")
			empty_family = f.samples.empty() && f.type == MetricType::counter;
	}
	EXPECT_TRUE(help_seen);
	EXPECT_TRUE(empty_family);
	auto untyped = s.select("sglang:untyped_sample_without_type_line", {MetricType::untyped});
	ASSERT_EQ(untyped.size(), 1u);
	EXPECT_EQ(untyped[0]->value, 42.0);
}

TEST(PromQuirks, DataParallelRanksAndHistogramSeries)
{
	Scrape s = parse_prometheus(fixture("quirks/metrics_quirks.txt"));
	/* Two DP ranks listed out of order: counts add up, ratios average. */
	EXPECT_EQ(*gauge_sum(gauges(s, "sglang:num_running_reqs")), 60.0);
	EXPECT_DOUBLE_EQ(*gauge_mean(gauges(s, "sglang:cache_hit_rate")), 0.25);
	EXPECT_DOUBLE_EQ(*gauge_mean(gauges(s, "sglang:token_usage")), 0.315);
	/* The sums of a histogram come before its buckets, per label set. */
	auto h = read_histogram(s, "sglang:time_to_first_token_seconds", "Qwen/Qwen3-30B-A3B", false);
	ASSERT_TRUE(h.has_value());
	EXPECT_EQ(h->count, 5001000.0);
	EXPECT_EQ(h->sum, 2000300.0);
	EXPECT_EQ(h->buckets.at(1.0), 4000700.0);
	EXPECT_EQ(h->buckets.at(INFINITY), 5001000.0);
}

TEST(PromQuirks, OpenMetricsGivesTheSameCounters)
{
	Scrape text = parse_prometheus(fixture("a_recent_eagle/metrics.txt"));
	Scrape om = parse_prometheus(fixture("quirks/a_metrics_openmetrics.txt"));
	EXPECT_EQ(om.bad_lines, 0u);
	for (const char *name : {"sglang:prompt_tokens_total", "sglang:generation_tokens_total",
				 "sglang:num_requests_total"}) {
		auto a = counter_sum(counters(text, name));
		auto b = counter_sum(counters(om, name));
		ASSERT_TRUE(a && b) << name;
		EXPECT_EQ(*a, *b) << name;
	}
	EXPECT_EQ(*gauge_sum(gauges(om, "sglang:num_running_reqs")), 48.0);
}

TEST(PromRanks, ReplicatedTensorRanksCountOncePerDataParallelGroup)
{
	/* With metrics on every scheduler, each TP rank repeats its group's
	 * value; pid-only series of the chosen rank are summed. */
	Scrape s = parse_prometheus(
		"# TYPE sglang:num_running_reqs gauge\n"
		"sglang:num_running_reqs{dp_rank=\"0\",pp_rank=\"0\",tp_rank=\"1\"} 7\n"
		"sglang:num_running_reqs{dp_rank=\"0\",pp_rank=\"0\",tp_rank=\"0\"} 7\n"
		"sglang:num_running_reqs{dp_rank=\"1\",pp_rank=\"0\",tp_rank=\"3\"} 5\n"
		"sglang:num_running_reqs{dp_rank=\"1\",pp_rank=\"0\",tp_rank=\"2\"} 5\n"
		"sglang:num_running_reqs{dp_rank=\"1\",pp_rank=\"1\",tp_rank=\"0\"} 99\n"
		"# TYPE sglang:num_paused_reqs gauge\n"
		"sglang:num_paused_reqs{pid=\"10\",tp_rank=\"0\"} 1\n"
		"sglang:num_paused_reqs{pid=\"11\",tp_rank=\"0\"} 2\n"
		"sglang:num_paused_reqs{pid=\"12\",tp_rank=\"x\"} 50\n");
	EXPECT_EQ(*gauge_sum(gauges(s, "sglang:num_running_reqs")), 12.0);
	EXPECT_EQ(*gauge_mean(gauges(s, "sglang:num_running_reqs")), 6.0);
	EXPECT_EQ(*gauge_sum(gauges(s, "sglang:num_paused_reqs")), 3.0);
}

TEST(PromRanks, ServedModelChosenUnlessNoSeriesNamesIt)
{
	Scrape s = parse_prometheus(
		"# TYPE sglang:gen_throughput gauge\n"
		"sglang:gen_throughput{model_name=\"a\"} 10\n"
		"sglang:gen_throughput{model_name=\"b\"} 20\n");
	auto all = gauges(s, "sglang:gen_throughput");
	EXPECT_EQ(*gauge_sum(keep_model(all, "b")), 20.0);
	EXPECT_EQ(*gauge_sum(keep_model(all, "renamed")), 30.0);
	EXPECT_EQ(*gauge_sum(keep_model(all, "")), 30.0);
}

/* Lines no exporter should write: each is skipped on its own, the line
 * after it still counts. */
struct Hostile {
	const char *name;
	std::string line;
};

/* Names the row in test listings. */
void PrintTo(const Hostile &v, std::ostream *os)
{
	*os << v.name;
}

class PromHostile : public ::testing::TestWithParam<Hostile> {};

TEST_P(PromHostile, BadLineIsSkippedAndTheNextOneKept)
{
	std::string text = "# TYPE m gauge\n" + GetParam().line + "\nm{k=\"ok\"} 5\n";
	Scrape s = parse_prometheus(text);
	auto m = gauges(s, "m");
	ASSERT_FALSE(m.empty());
	EXPECT_EQ(m.back()->value, 5.0);
	EXPECT_EQ(*label_of(*m.back(), "k"), "ok");
	for (const Sample *x : m)
		EXPECT_TRUE(label_of(*x, "k") == nullptr || *label_of(*x, "k") == "ok");
	EXPECT_EQ(s.bad_lines, 1u);
}

INSTANTIATE_TEST_SUITE_P(
	Lines, PromHostile,
	::testing::Values(Hostile{"unterminated_quote", "m{k=\"x} 1"},
			  Hostile{"unquoted_value", "m{k=x} 1"},
			  Hostile{"missing_value", "m{k=\"x\"}"},
			  Hostile{"word_value", "m{k=\"x\"} many"},
			  Hostile{"hex_value", "m 0x10"},
			  Hostile{"double_sign", "m --1"},
			  Hostile{"dangling_exponent", "m 1e"},
			  Hostile{"label_name_digit", "m{1k=\"x\"} 1"},
			  Hostile{"duplicate_label", "m{k=\"a\",k=\"b\"} 1"},
			  Hostile{"missing_comma", "m{k=\"a\" j=\"b\"} 1"},
			  Hostile{"open_brace_only", "m{"},
			  Hostile{"no_name", "{k=\"x\"} 1"},
			  Hostile{"nul_in_value", std::string("m 1\0 2", 6)},
			  Hostile{"brace_and_comma_inside_value_then_junk", "m{k=\"a,}b\"}} 1"},
			  Hostile{"huge_line", "m{k=\"" + std::string(1 << 20, 'x') + "} 1"}),
	[](const ::testing::TestParamInfo<Hostile> &i) { return std::string(i.param.name); });

TEST(PromValues, NumberSpellings)
{
	struct Row {
		const char *text;
		bool ok;
		double value;
	} rows[] = {
		{"48.0", true, 48.0},           {"3.7498112e+07", true, 3.7498112e+07},
		{"1e-05", true, 1e-05},         {"1.2345678901e+010", true, 12345678901.0},
		{"-1.0", true, -1.0},           {"+5e+05", true, 5e5},
		{"31", true, 31},               {"+Inf", true, INFINITY},
		{"-inf", true, -INFINITY},      {"Inf", true, INFINITY},
		{"1e999", true, INFINITY},      {"1e-999", true, 0.0},
		{"", false, 0},                 {"+", false, 0},
		{"0x1p3", false, 0},            {"1.0.0", false, 0},
		{"1,5", false, 0},              {" 1", false, 0},
	};
	for (const Row &r : rows) {
		double v = -7;
		EXPECT_EQ(parse_value(r.text, v), r.ok) << r.text;
		if (r.ok) {
			EXPECT_EQ(v, r.value) << r.text;
		}
	}
	/* Beyond a double either way, judged by the size of the whole number,
	 * not by the sign of its exponent alone. */
	const std::string zeros(400, '0');
	const std::pair<std::string, double> beyond[] = {
		{"0." + zeros + "1", 0.0},          {"1" + zeros + "e-5", INFINITY},
		{"-1" + zeros, -INFINITY},          {"0." + zeros + "1e+5", 0.0},  
		{"1e99999999999999999999", INFINITY}, {"." + zeros + "7", 0.0},
	};
	for (const auto &b : beyond) {
		double v = -7;
		EXPECT_TRUE(parse_value(b.first, v)) << b.first.substr(0, 8);
		EXPECT_EQ(v, b.second) << b.first.substr(0, 8) << "... of " << b.first.size() << " bytes";
	}
	double nan = 0;
	EXPECT_TRUE(parse_value("NaN", nan) && std::isnan(nan));
	EXPECT_TRUE(parse_value("nan", nan) && std::isnan(nan));
}

TEST(PromValues, CarriageReturnsBlankLinesCommentsAndEof)
{
	Scrape s = parse_prometheus("# a comment\r\n\r\n# TYPE m gauge\r\n  m{k=\"v\"} 2 1774090012345\r\n"
				    "# TYPEWRITER is a comment\n# EOF\nm{k=\"after\"} 9\n");
	auto m = gauges(s, "m");
	ASSERT_EQ(m.size(), 1u);
	EXPECT_EQ(m[0]->value, 2.0);
	EXPECT_EQ(*label_of(*m[0], "k"), "v");
	EXPECT_EQ(s.bad_lines, 0u);
}
