/*
 * The metrics companion's Prometheus text reader: the parsed page keeps
 * its own invariants whatever the text, the figures read from it come out
 * without fault, and one sample value is compared with the C library's
 * reading of the same number.
 */
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "fuzz_input.h"
#include "sglang_metrics.h"

namespace {

bool digit(char c)
{
	return c >= '0' && c <= '9';
}

bool same_nocase(const std::string &a, const char *b)
{
	return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

/* Whether t (its sign removed) is a decimal number: digits with at most one
 * point, at least one digit, then an optional exponent with digits. */
bool decimal_form(const std::string &t)
{
	std::size_t i = 0, digits = 0;
	while (i < t.size() && digit(t[i]))
		i++, digits++;
	if (i < t.size() && t[i] == '.')
		for (i++; i < t.size() && digit(t[i]); i++)
			digits++;
	if (digits == 0)
		return false;
	if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
		i++;
		if (i < t.size() && (t[i] == '+' || t[i] == '-'))
			i++;
		std::size_t exp_start = i;
		while (i < t.size() && digit(t[i]))
			i++;
		if (i == exp_start)
			return false;
	}
	return i == t.size();
}

void check_value(const std::string &text)
{
	double got = 12345;
	bool ok = sgm::parse_value(text, got);
	std::string t = text;
	bool negative = false;
	if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
		negative = t[0] == '-';
		t.erase(0, 1);
	}
	if (decimal_form(t)) {
		FUZZ_CHECK(ok, "a decimal number is refused");
		double want = std::strtod(text.c_str(), nullptr);
		if (std::fabs(want) < DBL_MIN)
			FUZZ_CHECK(got == want || got == 0, "a tiny number is read as another value");
		else
			FUZZ_CHECK(got == want, "a number is read as another value than strtod's");
		return;
	}
	if (same_nocase(t, "inf") || same_nocase(t, "infinity")) {
		FUZZ_CHECK(ok && std::isinf(got) && (got < 0) == negative, "an infinity is misread");
		return;
	}
	if (same_nocase(t, "nan")) {
		FUZZ_CHECK(ok && std::isnan(got), "NaN is misread");
		return;
	}
	/* "nan(...)" is one more form the conversion may take; anything else
	 * is not a number. */
	if (t.size() < 4 || strncasecmp(t.c_str(), "nan(", 4) != 0)
		FUZZ_CHECK(!ok, "text that is no number is read as one");
}

void check_scrape(const std::string &text)
{
	sgm::Scrape scrape = sgm::parse_prometheus(text);
	std::size_t lines = 1, samples = 0;
	for (char c : text)
		lines += c == '\n';
	std::set<std::string> names;
	for (const sgm::Family &f : scrape.families) {
		FUZZ_CHECK(names.insert(f.name).second, "two families with one name");
		for (const sgm::Sample &s : f.samples) {
			samples++;
			FUZZ_CHECK(s.name.compare(0, f.name.size(), f.name) == 0,
				   "a sample outside its family's name");
			for (std::size_t k = 1; k < s.labels.size(); k++)
				FUZZ_CHECK(s.labels[k - 1].first < s.labels[k].first,
					   "labels not sorted or repeated");
		}
	}
	FUZZ_CHECK(samples + scrape.bad_lines <= lines, "more samples and bad lines than lines");

	/* The figures the companion reads, on whatever this page holds. */
	using sgm::MetricType;
	auto gauges = scrape.select("sglang:num_running_reqs", {MetricType::gauge, MetricType::untyped});
	sgm::gauge_sum(gauges);
	sgm::gauge_mean(sgm::keep_model(gauges, "m"));
	sgm::counter_sum(scrape.select("sglang:prompt_tokens_total",
				       {MetricType::counter, MetricType::untyped}));
	for (const char *h : {"sglang:time_to_first_token_seconds", "sglang:e2e_request_latency_seconds"}) {
		auto newer = sgm::read_histogram(scrape, h, "", h[7] == 't');
		if (!newer)
			continue;
		for (double q : {0.0, 0.5, 0.95, 1.0}) {
			sgm::histogram_quantile(q, *newer, nullptr);
			sgm::histogram_quantile(q, *newer, &*newer);
		}
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
	FuzzInput in(data, size);
	/* The first byte chooses between a whole page and one value. */
	if (in.byte() == 'v')
		check_value(c_part(in.rest()));
	else
		check_scrape(in.rest());
	return 0;
}
