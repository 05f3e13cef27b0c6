/*
 * A reader of the Prometheus text exposition format, lenient where exporters
 * differ (OpenMetrics family names, timestamps, stray carriage returns) and
 * strict where a wrong guess would change a figure (quoted label values are
 * read with their escapes, never split on commas or braces).
 */
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "sglang_metrics.h"

namespace sgm {

namespace {

bool name_start(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}

bool name_char(char c)
{
	return name_start(c) || (c >= '0' && c <= '9');
}

bool blank(char c)
{
	return c == ' ' || c == '\t';
}

void skip_blanks(std::string_view s, std::size_t &i)
{
	while (i < s.size() && blank(s[i]))
		i++;
}

/* SGLang's families under their one spelling: a gateway's re-export or a
 * relabelling proxy writes "sglang_" where the server writes "sglang:". */
std::string canonical_name(std::string_view name)
{
	std::string n(name);
	if (n.compare(0, 7, "sglang_") == 0)
		n[6] = ':';
	return n;
}

/* Reads a metric or label name at i; empty when there is none. */
std::string_view read_name(std::string_view s, std::size_t &i, bool allow_colon)
{
	std::size_t start = i;
	if (i >= s.size() || !name_start(s[i]) || (!allow_colon && s[i] == ':'))
		return {};
	while (i < s.size() && name_char(s[i]) && (allow_colon || s[i] != ':'))
		i++;
	return s.substr(start, i - start);
}

MetricType type_from_word(std::string_view w)
{
	if (w == "counter")
		return MetricType::counter;
	if (w == "gauge")
		return MetricType::gauge;
	if (w == "histogram")
		return MetricType::histogram;
	if (w == "summary")
		return MetricType::summary;
	if (w == "info")
		return MetricType::info;
	if (w == "untyped" || w == "unknown")
		return MetricType::untyped;
	return MetricType::other;
}

/* The suffixes a sample of a family of this type may add to its name. */
bool suffix_fits(MetricType type, std::string_view suffix)
{
	if (suffix.empty())
		return true;
	switch (type) {
	case MetricType::counter:
		return suffix == "_total" || suffix == "_created";
	case MetricType::histogram:
		return suffix == "_bucket" || suffix == "_sum" || suffix == "_count" ||
		       suffix == "_created";
	case MetricType::summary:
		return suffix == "_sum" || suffix == "_count" || suffix == "_created";
	case MetricType::info:
		return suffix == "_info";
	default:
		return false;
	}
}

/* HELP text escapes: backslash-backslash and backslash-n. */
std::string unescape_help(std::string_view s)
{
	std::string out;
	out.reserve(s.size());
	for (std::size_t i = 0; i < s.size(); i++) {
		if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == 'n')) {
			out += s[i + 1] == 'n' ? '\n' : '\\';
			i++;
		} else {
			out += s[i];
		}
	}
	return out;
}

/* Reads a quoted label value from just past its opening quote to just past
 * its closing one, with its escapes. False when the quote is not closed. */
bool read_label_value(std::string_view s, std::size_t &i, std::string &value)
{
	while (i < s.size()) {
		char c = s[i++];
		if (c == '"')
			return true;
		if (c == '\\' && i < s.size()) {
			char e = s[i++];
			if (e == 'n')
				value += '\n';
			else if (e == '\\' || e == '"')
				value += e;
			else {
				/* Not an escape of the format: kept as written. */
				value += '\\';
				value += e;
			}
			continue;
		}
		value += c;
	}
	return false;
}

/* Reads {name="value",...} at i (which is at the brace). False on any
 * malformed label set, which makes the whole line unreadable. */
bool read_labels(std::string_view s, std::size_t &i, Labels &labels)
{
	i++; /* the brace */
	for (;;) {
		skip_blanks(s, i);
		if (i < s.size() && s[i] == '}') {
			i++;
			break;
		}
		std::string_view name = read_name(s, i, false);
		if (name.empty())
			return false;
		skip_blanks(s, i);
		if (i >= s.size() || s[i] != '=')
			return false;
		i++;
		skip_blanks(s, i);
		if (i >= s.size() || s[i] != '"')
			return false;
		i++;
		std::string value;
		if (!read_label_value(s, i, value))
			return false;
		labels.emplace_back(std::string(name), std::move(value));
		skip_blanks(s, i);
		if (i < s.size() && s[i] == ',') {
			i++;
			continue;
		}
		if (i < s.size() && s[i] == '}') {
			i++;
			break;
		}
		return false;
	}
	std::stable_sort(labels.begin(), labels.end(),
			 [](const auto &a, const auto &b) { return a.first < b.first; });
	/* A name given twice makes the series ambiguous. */
	for (std::size_t k = 1; k < labels.size(); k++)
		if (labels[k].first == labels[k - 1].first)
			return false;
	return true;
}

/* The parser's working state: families by name and the one whose HELP or
 * TYPE line came last, which the samples that follow normally belong to. */
struct Reader {
	Scrape scrape;
	std::unordered_map<std::string, std::size_t> index;
	std::size_t current = SIZE_MAX;

	std::size_t family(std::string_view name)
	{
		auto it = index.find(std::string(name));
		if (it != index.end())
			return it->second;
		scrape.families.push_back(Family{std::string(name), MetricType::untyped, {}, {}});
		index.emplace(std::string(name), scrape.families.size() - 1);
		return scrape.families.size() - 1;
	}

	/* Whether sample name belongs to family f. */
	bool fits(std::size_t f, std::string_view name) const
	{
		const Family &fam = scrape.families[f];
		if (name.size() < fam.name.size() || name.compare(0, fam.name.size(), fam.name) != 0)
			return false;
		return suffix_fits(fam.type, name.substr(fam.name.size()));
	}

	/* The family a sample belongs to: the current one, else the family named
	 * like the sample (declared elsewhere, or a new untyped one). */
	std::size_t owner(std::string_view name)
	{
		if (current != SIZE_MAX && fits(current, name))
			return current;
		static const char *const suffixes[] = {"_bucket", "_sum", "_count", "_total",
							"_created", "_info"};
		for (const char *suf : suffixes) {
			std::size_t n = std::strlen(suf);
			if (name.size() > n && name.compare(name.size() - n, n, suf) == 0) {
				auto it = index.find(std::string(name.substr(0, name.size() - n)));
				if (it != index.end() && fits(it->second, name))
					return it->second;
			}
		}
		return family(name);
	}

	void comment(std::string_view line)
	{
		std::size_t i = 1;
		skip_blanks(line, i);
		std::string_view rest = line.substr(i);
		bool is_help = rest.compare(0, 5, "HELP ") == 0 || rest.compare(0, 5, "HELP\t") == 0;
		bool is_type = rest.compare(0, 5, "TYPE ") == 0 || rest.compare(0, 5, "TYPE\t") == 0;
		if (!is_help && !is_type)
			return; /* an ordinary comment */
		i += 5;
		skip_blanks(line, i);
		std::string_view name = read_name(line, i, true);
		if (name.empty()) {
			scrape.bad_lines++;
			return;
		}
		std::size_t f = family(canonical_name(name));
		if (i < line.size() && !blank(line[i])) {
			scrape.bad_lines++;
			return;
		}
		skip_blanks(line, i);
		if (is_help) {
			scrape.families[f].help = unescape_help(line.substr(i));
		} else {
			std::string_view word = line.substr(i);
			while (!word.empty() && blank(word.back()))
				word.remove_suffix(1);
			scrape.families[f].type = type_from_word(word);
		}
		current = f;
	}

	void sample(std::string_view line)
	{
		std::size_t i = 0;
		std::string_view name = read_name(line, i, true);
		if (name.empty()) {
			scrape.bad_lines++;
			return;
		}
		Sample s;
		s.name = canonical_name(name);
		std::size_t after_name = i;
		skip_blanks(line, i);
		bool blank_before_value = i > after_name;
		if (i < line.size() && line[i] == '{') {
			if (!read_labels(line, i, s.labels)) {
				scrape.bad_lines++;
				return;
			}
			blank_before_value = i < line.size() && blank(line[i]);
			skip_blanks(line, i);
		}
		if (!blank_before_value || i >= line.size()) {
			scrape.bad_lines++;
			return;
		}
		std::size_t end = i;
		while (end < line.size() && !blank(line[end]))
			end++;
		if (!parse_value(line.substr(i, end - i), s.value)) {
			scrape.bad_lines++;
			return;
		}
		/* What may follow is a timestamp, which a monitor has no use for. */
		scrape.families[owner(s.name)].samples.push_back(std::move(s));
	}
};

} // namespace

namespace {

/* The power of ten of a decimal number's leading digit: 2 for "123.4",
 * -3 for "0.00123", 0 for "1e0". The exponent is clamped so that a long run
 * of its digits cannot overflow; a number without a non-zero digit counts as
 * vanishing. */
long decimal_magnitude(std::string_view t)
{
	std::size_t e = t.find_first_of("eE");
	std::string_view digits = t.substr(0, e);
	long exponent = 0;
	if (e != std::string_view::npos) {
		std::string_view x = t.substr(e + 1);
		bool minus = !x.empty() && x[0] == '-';
		if (!x.empty() && (x[0] == '-' || x[0] == '+'))
			x.remove_prefix(1);
		for (char c : x)
			exponent = std::min(exponent * 10 + (c - '0'), 100000L);
		if (minus)
			exponent = -exponent;
	}
	std::size_t point = digits.find('.');
	long int_len = static_cast<long>(point == std::string_view::npos ? digits.size() : point);
	long leading = 0; /* digits before the first non-zero one */
	for (char c : digits) {
		if (c == '.')
			continue;
		if (c != '0')
			return int_len - 1 - leading + exponent;
		leading++;
	}
	return -1;
}

} // namespace

bool parse_value(std::string_view text, double &out)
{
	bool negative = false;
	std::string_view t = text;
	if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
		negative = t[0] == '-';
		t.remove_prefix(1);
	}
	if (t.empty() || t[0] == '+' || t[0] == '-')
		return false;
	double v = 0;
	auto res = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
	if (res.ptr != t.data() + t.size())
		return false;
	if (res.ec == std::errc::result_out_of_range) {
		/* Still a number, only beyond a double: huge or vanishing. */
		v = decimal_magnitude(t) >= 0 ? HUGE_VAL : 0.0;
	} else if (res.ec != std::errc()) {
		return false;
	}
	out = negative ? -v : v;
	return true;
}

const std::string *label_of(const Sample &s, std::string_view name)
{
	for (const auto &l : s.labels)
		if (l.first == name)
			return &l.second;
	return nullptr;
}

std::vector<const Sample *> Scrape::select(std::string_view sample_name,
					   std::initializer_list<MetricType> types) const
{
	std::vector<const Sample *> out;
	for (const Family &f : families) {
		if (std::find(types.begin(), types.end(), f.type) == types.end())
			continue;
		if (sample_name.compare(0, f.name.size(), f.name) != 0)
			continue;
		for (const Sample &s : f.samples)
			if (s.name == sample_name)
				out.push_back(&s);
	}
	return out;
}

bool Scrape::has_sglang() const
{
	for (const Family &f : families)
		for (const Sample &s : f.samples)
			if (s.name.compare(0, 7, "sglang:") == 0)
				return true;
	return false;
}

Scrape parse_prometheus(std::string_view text)
{
	Reader r;
	std::size_t pos = 0;
	while (pos < text.size()) {
		std::size_t nl = text.find('\n', pos);
		std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
		pos = nl == std::string_view::npos ? text.size() : nl + 1;
		while (!line.empty() && (line.back() == '\r' || blank(line.back())))
			line.remove_suffix(1);
		std::size_t i = 0;
		skip_blanks(line, i);
		line.remove_prefix(i);
		if (line.empty())
			continue;
		if (line[0] == '#') {
			if (line == "# EOF")
				break;
			r.comment(line);
			continue;
		}
		r.sample(line);
	}
	return std::move(r.scrape);
}

} // namespace sgm
