/* The comparison form of an endpoint, the age limit, and what the store
 * keeps. */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "harness.h"
#include "metrics/metrics.h"
#include "util/util.h"

TEST(NormalizeEndpoint, TrailingSlashesThenOneV1)
{
	const char *rows[][2] = {
		{"http://h:1/v1", "http://h:1"},     {"http://h:1/v1///", "http://h:1"},
		{"http://h:1/", "http://h:1"},       {"http://h:1/V1", "http://h:1/V1"},
		{"http://h/v1/v1", "http://h/v1"},   {"http://h//v1", "http://h/"},
		{"/v1", ""},                         {"v1", "v1"},
		{"///", ""},                         {"", ""},
	};
	for (const auto &r : rows) {
		char out[ENDPOINT_NORM_CAP];
		normalize_endpoint(r[0], out);
		EXPECT_EQ(std::string(out), r[1]) << r[0];
	}
	std::string longest = "http://" + std::string(600, 'a');
	char out[ENDPOINT_NORM_CAP + 1];
	out[ENDPOINT_NORM_CAP] = 'Z';
	normalize_endpoint(longest.c_str(), out);
	EXPECT_EQ(std::string(out), longest.substr(0, 511));
	EXPECT_EQ(out[ENDPOINT_NORM_CAP], 'Z');
}

/* A time far ahead of the clock (a clock stepped back, a planted file) is
 * stale, or the same document would be served for as long. */
TEST(MetricsCacheFresh, AtMostThreeSecondsOldAndTwoAhead)
{
	const int64_t now = 1800000000;
	EXPECT_EQ(metrics_cache_fresh(now, now - 3), 1);
	EXPECT_EQ(metrics_cache_fresh(now, now - 4), 0);
	EXPECT_EQ(metrics_cache_fresh(now, now + 2), 1);
	EXPECT_EQ(metrics_cache_fresh(now, now + 3), 0);
	EXPECT_EQ(metrics_cache_fresh(now, now + 3600), 0);
	EXPECT_EQ(metrics_cache_fresh(now, 0), 0);
}

/* A document longer than the file reader is sure to return whole is never
 * stored (it would be served cut off, as invalid JSON with status 200); the
 * file there stays as it was. The longest one kept is served back whole. */
TEST(MetricsCacheStore, KeepsOnlyWhatReadsBackWhole)
{
	harness::world w;
	w.write("s/sglang_metrics.json", "old");
	const std::string head = "{\"url\":\"http://h\",\"pad\":\"";
	std::string doc = head + std::string(READ_FILE_WHOLE_MAX - head.size() - 3, 'p') + "\"}\n";
	ASSERT_EQ(doc.size(), READ_FILE_WHOLE_MAX);

	const std::string longer = doc.substr(0, doc.size() - 1) + " \n";
	metrics_cache_store(w.path("s").c_str(), longer.c_str());
	EXPECT_EQ(w.read("s/sglang_metrics.json"), "old");

	metrics_cache_store(w.path("s").c_str(), doc.c_str());
	EXPECT_TRUE(w.read("s/sglang_metrics.json") == doc);
	FILE *sink = std::tmpfile();
	FILE *prev = out_redirect(sink);
	EXPECT_EQ(metrics_cache_serve(w.path("s").c_str(), "http://h/v1", ""), 1);
	out_redirect(prev == stdout ? nullptr : prev);
	EXPECT_EQ(std::ftell(sink), (long)(doc.size() + 49)) << "header and the whole document";
	std::fclose(sink);
}
