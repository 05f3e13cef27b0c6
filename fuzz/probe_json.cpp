/*
 * The metrics companion's reading of a server's answers: five bodies (model
 * list, server information, metrics page, loads, model information) go
 * through the same stages as a real probe, twice, so that the second run
 * has a window; the printed object must always be one JSON object.
 */
#include <string>

#include "fuzz_input.h"
#include "sglang_metrics.h"

namespace {

using ojson = nlohmann::ordered_json;

const char kUrl[] = "http://127.0.0.1:30000";

/* Fills a route as a finished request: answered with 200 when the bit is
 * set, else with 404. */
void answer(sgm::Route &r, const char *path, bool ok, std::string body)
{
	r.path = path;
	r.result.transport_ok = true;
	r.result.status = ok ? 200 : 404;
	r.result.body = std::move(body);
}

/* Prints the object the way the companion does and reads it back. */
void check_printed(const ojson &j)
{
	std::string text = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
	ojson back = ojson::parse(text, nullptr, false);
	FUZZ_CHECK(back.is_object(), "the printed object does not read back");
	FUZZ_CHECK(back.contains("url") && back["url"] == kUrl, "the printed object lost its url");
	FUZZ_CHECK(back.contains("model") && back["model"].is_string(), "the printed object has no model");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
	FuzzInput in(data, size);
	unsigned flags = in.byte();
	unsigned step = in.byte();
	sgm::ProbeResult probe;
	answer(probe.models, "/v1/models", !(flags & 1), in.field('\0'));
	answer(probe.server_info, (flags & 2) ? "/get_server_info" : "/server_info", !(flags & 4),
	       in.field('\0'));
	answer(probe.metrics, "/metrics", !(flags & 8), in.field('\0'));
	answer(probe.loads, (flags & 16) ? "/get_load" : "/v1/loads", !(flags & 32), in.field('\0'));
	answer(probe.model_info, (flags & 64) ? "/get_model_info" : "/model_info", !(flags & 128),
	       in.rest());

	sgm::ServerView view = sgm::read_probe(probe);
	sgm::not_sglang_reason(view, probe);
	const int64_t t0 = 1760000000000;
	sgm::SampleSet first = sgm::current_samples(view, t0);
	sgm::State state{kUrl, {}};
	sgm::Window w1 = sgm::update_window(state, first);
	check_printed(sgm::derive_output(kUrl, view, first, w1));

	/* A later probe whose figures grew (or, for some steps, shrank). */
	sgm::SampleSet second = sgm::current_samples(view, t0 + 1000 * (step % 90));
	double factor = 1.0 + (static_cast<int>(step) - 32) / 64.0;
	for (auto &c : second.counters)
		c.second *= factor;
	for (auto &h : second.histograms) {
		h.second.count *= factor;
		h.second.sum *= factor;
		for (auto &b : h.second.buckets)
			b.second *= factor;
	}
	sgm::Window w2 = sgm::update_window(state, second);
	check_printed(sgm::derive_output(kUrl, view, second, w2));
	return 0;
}
