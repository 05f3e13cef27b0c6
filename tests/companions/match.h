/*
 * Comparing a companion object with an expected one: the same members,
 * integers exact, other numbers to a relative 1e-5 (the expected files keep
 * six decimals).
 */
#ifndef QV_TESTS_COMPANIONS_MATCH_H
#define QV_TESTS_COMPANIONS_MATCH_H

#include <algorithm>
#include <cmath>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace ctest {

/* Members of the windowed extras, which the expected files do not list. */
inline const std::set<std::string> &window_extras()
{
	static const std::set<std::string> s = {"ttft_p50_ms", "ttft_p95_ms", "itl_p50_ms", "itl_p95_ms",
						"queue_p50_ms", "queue_p95_ms", "e2e_p50_ms", "e2e_p95_ms",
						"window_s", "restarted"};
	return s;
}

/* Checks actual against expected; members named in ignore may be in actual
 * without being expected. The url member is compared with url. */
inline void expect_matches(const nlohmann::json &actual, const nlohmann::json &expected,
			   const std::string &url, const std::set<std::string> &ignore = {})
{
	ASSERT_TRUE(actual.is_object()) << actual.dump();
	for (auto it = expected.begin(); it != expected.end(); ++it) {
		const std::string &k = it.key();
		ASSERT_TRUE(actual.contains(k)) << "missing " << k << " in " << actual.dump();
		const nlohmann::json &a = actual[k], &e = it.value();
		if (k == "url") {
			EXPECT_EQ(a, url);
		} else if (e.is_number_integer()) {
			EXPECT_TRUE(a.is_number_integer()) << k << " = " << a.dump();
			EXPECT_EQ(a, e) << k;
		} else if (e.is_number()) {
			ASSERT_TRUE(a.is_number()) << k;
			double x = a.get<double>(), y = e.get<double>();
			EXPECT_LE(std::fabs(x - y), 1e-5 * std::max(1.0, std::fabs(y))) << k << ": " << x << " vs " << y;
		} else {
			EXPECT_EQ(a, e) << k;
		}
	}
	for (auto it = actual.begin(); it != actual.end(); ++it)
		EXPECT_TRUE(expected.contains(it.key()) || ignore.count(it.key()) > 0)
			<< "unexpected member " << it.key() << " = " << it.value().dump();
}

} // namespace ctest

#endif
