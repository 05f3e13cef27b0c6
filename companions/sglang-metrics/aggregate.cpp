/*
 * From many series to one figure. SGLang writes scheduler figures once per
 * scheduler process (per data-parallel rank, and with
 * --enable-metrics-for-all-schedulers per tensor-parallel rank as well) and
 * tokenizer figures once per label set; each kind is summed its own way.
 */
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <tuple>

#include "sglang_metrics.h"

namespace sgm {

namespace {

/* A rank label as a number; a missing one is rank 0, an unreadable one
 * sorts last so that a readable rank is preferred. */
long rank_of(const Sample &s, const char *label)
{
	const std::string *v = label_of(s, label);
	if (v == nullptr || v->empty())
		return 0;
	char *end = nullptr;
	long r = std::strtol(v->c_str(), &end, 10);
	return *end == '\0' ? r : std::numeric_limits<long>::max();
}

/* The label that names the model: model_name, or name in the first
 * generation (2024), where "name" meant the model. */
const std::string *model_label(const Sample &s)
{
	const std::string *m = label_of(s, "model_name");
	return m != nullptr ? m : label_of(s, "name");
}

} // namespace

std::vector<const Sample *> keep_model(const std::vector<const Sample *> &in,
				       const std::string &model)
{
	if (model.empty())
		return in;
	std::vector<const Sample *> out;
	for (const Sample *s : in) {
		const std::string *m = model_label(*s);
		if (m != nullptr && *m == model)
			out.push_back(s);
	}
	/* Gateways and renamed models: nothing matched, so nothing is dropped. */
	return out.empty() ? in : out;
}

std::string scheduler_group(const Sample &s)
{
	const std::string *dp = label_of(s, "dp_rank");
	const std::string *worker = label_of(s, "worker_addr");
	std::string key = dp != nullptr ? *dp : std::string();
	return worker != nullptr ? *worker + '\x1f' + key : key;
}

std::map<std::string, std::vector<const Sample *>>
scheduler_groups(const std::vector<const Sample *> &in)
{
	std::map<std::string, std::vector<const Sample *>> groups;
	for (const Sample *s : in) {
		/* A gauge below zero is a fault of the server, not a figure. */
		if (std::isnan(s->value) || s->value < 0 || label_of(*s, "le") != nullptr)
			continue;
		groups[scheduler_group(*s)].push_back(s);
	}
	for (auto &g : groups) {
		auto key = [](const Sample *s) {
			return std::make_tuple(rank_of(*s, "pp_rank"), rank_of(*s, "tp_rank"));
		};
		auto lowest = key(*std::min_element(g.second.begin(), g.second.end(),
						    [&](const Sample *a, const Sample *b) {
							    return key(a) < key(b);
						    }));
		/* With priority scheduling the total is the series of the empty
		 * priority, written beside one series per priority: the total
		 * counts alone where it is there. */
		bool has_total = std::any_of(g.second.begin(), g.second.end(), [](const Sample *s) {
			const std::string *p = label_of(*s, "priority");
			return p != nullptr && p->empty();
		});
		g.second.erase(std::remove_if(g.second.begin(), g.second.end(),
					      [&](const Sample *s) {
						      const std::string *p = label_of(*s, "priority");
						      return key(s) != lowest ||
							     (has_total && p != nullptr && !p->empty());
					      }),
			       g.second.end());
	}
	return groups;
}

namespace {

/* The sum of each DP group's remaining series. */
std::vector<double> group_values(const std::vector<const Sample *> &in)
{
	std::vector<double> values;
	for (const auto &g : scheduler_groups(in)) {
		double v = 0;
		for (const Sample *s : g.second)
			v += s->value;
		values.push_back(v);
	}
	return values;
}

} // namespace

std::optional<double> gauge_sum(const std::vector<const Sample *> &in)
{
	std::vector<double> v = group_values(in);
	if (v.empty())
		return std::nullopt;
	return std::accumulate(v.begin(), v.end(), 0.0);
}

std::optional<double> gauge_mean(const std::vector<const Sample *> &in)
{
	std::vector<double> v = group_values(in);
	if (v.empty())
		return std::nullopt;
	return std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

std::optional<double> counter_sum(const std::vector<const Sample *> &in)
{
	std::optional<double> sum;
	for (const Sample *s : in) {
		if (std::isnan(s->value))
			continue;
		sum = sum.value_or(0) + s->value;
	}
	return sum;
}

std::optional<Histogram> read_histogram(const Scrape &scrape, const std::string &name,
					const std::string &model, bool scheduler)
{
	std::vector<const Sample *> all;
	for (const char *suffix : {"_sum", "_count", "_bucket"}) {
		auto part = scrape.select(name + suffix, {MetricType::histogram});
		all.insert(all.end(), part.begin(), part.end());
	}
	all = keep_model(all, model);
	if (all.empty())
		return std::nullopt;
	if (scheduler) {
		/* Every sample of one series carries the same rank labels, so the
		 * series chosen per group keep their sum, count and buckets. The
		 * "le" of buckets must not exclude them here, so they are set
		 * aside and matched on their rank labels. */
		std::vector<const Sample *> plain, kept;
		for (const Sample *s : all)
			if (label_of(*s, "le") == nullptr)
				plain.push_back(s);
		auto groups = scheduler_groups(plain);
		for (const Sample *s : all) {
			auto g = groups.find(scheduler_group(*s));
			if (g == groups.end() || g->second.empty())
				continue;
			const Sample *ref = g->second.front();
			if (rank_of(*s, "pp_rank") == rank_of(*ref, "pp_rank") &&
			    rank_of(*s, "tp_rank") == rank_of(*ref, "tp_rank"))
				kept.push_back(s);
		}
		all = kept;
	}
	Histogram h;
	h.family = name;
	for (const Sample *s : all) {
		/* A NaN sum or count stays NaN, as it does in Prometheus, so that
		 * the mean it would give is left out instead of reading 0. */
		const std::string &n = s->name;
		if (n.size() == name.size() + 4 && n.compare(name.size(), 4, "_sum") == 0) {
			h.sum += s->value;
		} else if (n.size() == name.size() + 6 && n.compare(name.size(), 6, "_count") == 0) {
			h.count += s->value;
		} else if (!std::isnan(s->value)) {
			const std::string *le = label_of(*s, "le");
			double bound = 0;
			if (le != nullptr && parse_value(*le, bound) && !std::isnan(bound))
				h.buckets[bound] += s->value;
		}
	}
	return h;
}

std::optional<double> histogram_quantile(double q, const Histogram &newer, const Histogram *older)
{
	if (newer.buckets.empty())
		return std::nullopt;
	/* Bucket counts of the window: the newer cumulative counts less the
	 * older ones. A bound the older histogram lacks counts from zero. */
	std::vector<std::pair<double, double>> cum;
	for (const auto &b : newer.buckets) {
		double c = b.second;
		if (older != nullptr) {
			auto it = older->buckets.find(b.first);
			if (it != older->buckets.end())
				c -= it->second;
		}
		cum.emplace_back(b.first, c);
	}
	/* Cumulative counts never fall as the bound grows; repair rounding. */
	for (std::size_t i = 1; i < cum.size(); i++)
		cum[i].second = std::max(cum[i].second, cum[i - 1].second);
	double total = cum.back().second;
	if (!(total > 0) || !std::isinf(cum.back().first))
		return std::nullopt;
	double rank = q * total;
	for (std::size_t i = 0; i < cum.size(); i++) {
		if (cum[i].second < rank)
			continue;
		if (std::isinf(cum[i].first))
			/* Beyond the largest finite bound: that bound is all we know. */
			return i > 0 ? std::optional<double>(cum[i - 1].first) : std::nullopt;
		double lower = i > 0 ? cum[i - 1].first : 0.0;
		double below = i > 0 ? cum[i - 1].second : 0.0;
		if (i == 0 && cum[0].first <= 0)
			return cum[0].first;
		double in_bucket = cum[i].second - below;
		if (!(in_bucket > 0))
			return cum[i].first;
		return lower + (cum[i].first - lower) * (rank - below) / in_bucket;
	}
	return std::nullopt;
}

} // namespace sgm
