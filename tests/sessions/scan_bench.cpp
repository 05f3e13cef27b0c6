/*
 * Benchmark, not a test: the sessions action on a tmux companion that
 * prints nearly 8 MiB of unnamed objects, against the companion run alone.
 * Prints the median wall time of each over the given number of runs.
 *   listing_scan_bench [RUNS]   (default 5)
 */
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "scenario.h"

namespace {

/* The median wall time in milliseconds of runs calls of f. */
template <typename F> double median_ms(int runs, F f)
{
	std::vector<int64_t> t;
	for (int i = 0; i < runs; i++) {
		const int64_t start = plat_clock_ms();
		f();
		t.push_back(plat_clock_ms() - start);
	}
	std::sort(t.begin(), t.end());
	return (double)t[t.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
	const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
	harness::scenario s;
	const size_t pairs = ((size_t)8 << 20) / 3 - 4096;
	std::string text = "{\"sessions\":[{\"name\":\"first\"},";
	for (size_t i = 0; i < pairs; i++)
		text += "{},";
	text += "{\"name\":\"last\"}]}";
	s.tmux_prints(text);

	bool ok = true;
	const double action = median_ms(runs, [&] {
		ok = ok && s.get("action=sessions").out.find("\"last\"") != std::string::npos;
	});
	const double alone = median_ms(runs, [&] {
		harness::env_map e = s.env;
		harness::run_program(harness::fake_companion_path(), { "--list", "--output-json" }, e);
	});
	std::printf("session-list scan of %zu bytes: %.0f ms per request, companion alone %.0f ms "
		    "(median of %d)%s\n",
		    text.size(), action, alone, runs, ok ? "" : "  WRONG ANSWER");
	return ok ? 0 : 1;
}
