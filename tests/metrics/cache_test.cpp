/* The comparison form of an endpoint, and the age limit. */
#include <gtest/gtest.h>

#include <string>

#include "metrics/metrics.h"

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

TEST(MetricsCacheFresh, AtMostThreeSecondsOrAhead)
{
	const int64_t now = 1800000000;
	EXPECT_EQ(metrics_cache_fresh(now, now - 3), 1);
	EXPECT_EQ(metrics_cache_fresh(now, now - 4), 0);
	EXPECT_EQ(metrics_cache_fresh(now, now + 3600), 1);
	EXPECT_EQ(metrics_cache_fresh(now, 0), 0);
}
