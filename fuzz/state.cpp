/*
 * The metrics companion's state file: whatever the file holds, loading it,
 * adding a sample, deriving the windowed figures and writing it back must
 * work, and what is written must read back to the same state.
 */
#include <string>

#include "fuzz_input.h"
#include "sglang_metrics.h"

namespace {

using json = nlohmann::json;

const char kUrl[] = "http://127.0.0.1:30000";

/* A sample as a probe of a busy server gives it. */
sgm::SampleSet probe_sample(int64_t t_ms, double scale)
{
	sgm::SampleSet s;
	s.t_ms = t_ms;
	s.counters = {{"prompt", 1.0e6 * scale}, {"generation", 2.0e5 * scale},
		      {"cached", 4.0e5 * scale}, {"requests", 900 * scale}};
	sgm::Histogram h;
	h.family = "sglang:time_to_first_token_seconds";
	h.buckets = {{0.1, 100 * scale}, {0.5, 700 * scale}, {1.0, 880 * scale}, {HUGE_VAL, 900 * scale}};
	h.count = 900 * scale;
	h.sum = 250 * scale;
	s.histograms["ttft"] = h;
	s.histograms["itl"] = h;
	s.histograms["queue"] = h;
	return s;
}

std::string text_of(const sgm::State &s)
{
	return sgm::state_to_json(s).dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
	static ScratchFile file;
	FuzzInput in(data, size);
	unsigned step = in.byte();
	std::string text = in.rest();

	/* The file as the companion reads it, and the same text parsed whole
	 * so that a foreign url does not end the run early. */
	const int64_t now_ms = 1760000000000 + 1000 * static_cast<int64_t>(step);
	file.write(text);
	sgm::State loaded = sgm::load_state(file.path(), kUrl, now_ms);
	FUZZ_CHECK(loaded.url == kUrl, "a loaded state names another endpoint");
	sgm::State state = sgm::state_from_json(json::parse(text, nullptr, false), now_ms);
	state.url = kUrl;

	for (sgm::State *s : {&loaded, &state}) {
		sgm::SampleSet now = probe_sample(now_ms, 1.0 + step / 128.0);
		sgm::Window w = sgm::update_window(*s, now);
		sgm::ServerView view;
		auto out = sgm::derive_output(kUrl, view, now, w);
		FUZZ_CHECK(json::parse(out.dump(-1, ' ', false, json::error_handler_t::replace), nullptr,
				       false)
				   .is_object(),
			   "the output does not read back");

		/* Written and read again, the state keeps its samples, and from
		 * then on it writes the same text. A value JSON cannot hold is
		 * written as null once and left out after, hence one round first. */
		std::string once = text_of(*s);
		sgm::State again = sgm::state_from_json(json::parse(once, nullptr, false), now_ms);
		FUZZ_CHECK(again.samples.size() == s->samples.size(), "a written sample is lost on reading");
		std::string twice = text_of(again);
		std::string thrice = text_of(sgm::state_from_json(json::parse(twice, nullptr, false), now_ms));
		FUZZ_CHECK(thrice == twice, "the state does not read back as written");
	}
	return 0;
}
