/*
 * mock-sglang [options] FIXTURE_DIR
 * mock-sglang --live [options]
 *
 * Listens on 127.0.0.1 only, prints the port it listens on as one line on
 * standard output, and runs until SIGINT, SIGTERM or SIGHUP.
 *
 * Options:
 *   --port N             listen on port N, 0 to 65535 (default 0: any free port)
 *   --api-key KEY        require KEY on the guarded routes (default: the
 *                        "api_key" of the fixture's server information)
 *   --no-key             require no key, whatever the fixture says
 *   --metrics-need-key   guard /metrics too, as servers before Feb 2025 did
 *   --scrapes A,B,...    fixture files served on successive /metrics calls,
 *                        the last one from then on (default: metrics.txt,
 *                        then metrics_t5.txt when present)
 *   --openmetrics FILE   served for "Accept: application/openmetrics-text"
 *   --delay-ms N         wait N ms, at most an hour, before every answer
 *                        (a slow server)
 *   --html               answer every route with a web page (not SGLang);
 *                        not with --live
 *   --model NAME         served model name of the live server
 *   --scenario NAME      what the live server does: live (default),
 *                        stall-queue (requests wait, none runs),
 *                        stall-tokens (requests run, no token comes out) or
 *                        down (every route answers 503); while it runs,
 *                        GET /mock/scenario?name=NAME switches it, and
 *                        name=restart empties its counters once
 *
 * GET /mock/stats answers the number of requests of each route so far, as
 * a JSON object from path to count; the /mock/ routes are not counted.
 */
#include <csignal>
#include <map>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <thread>

#include <httplib.h>

#include "mock.h"

namespace mock {

bool key_accepted(const httplib::Request &req, const std::string &key, bool metrics_need_key)
{
	if (key.empty())
		return true;
	const std::string &p = req.path;
	if (p.compare(0, 7, "/health") == 0 || p.compare(0, 6, "/ready") == 0 ||
	    (!metrics_need_key && p.compare(0, 8, "/metrics") == 0))
		return true;
	std::string auth = req.get_header_value("Authorization");
	if (auth.size() > 7 && strncasecmp(auth.c_str(), "bearer ", 7) == 0 && auth.substr(7) == key)
		return true;
	return req.get_header_value("x-api-key") == key;
}

void not_found(httplib::Response &res)
{
	res.status = 404;
	res.set_content("{\"detail\":\"Not Found\"}", "application/json");
}

} // namespace mock

namespace {

void usage()
{
	std::fputs("usage: mock-sglang [--port N] [--api-key KEY | --no-key] [--metrics-need-key]\n"
		   "                   [--scrapes A,B,...] [--openmetrics FILE] [--delay-ms N]\n"
		   "                   [--html] FIXTURE_DIR\n"
		   "       mock-sglang --live [--port N] [--api-key KEY] [--delay-ms N] [--model NAME]\n"
		   "                          [--scenario live|stall-queue|stall-tokens|down]\n",
		   stderr);
}

std::vector<std::string> split_commas(const std::string &s)
{
	std::vector<std::string> out;
	std::size_t start = 0;
	while (start <= s.size()) {
		std::size_t comma = s.find(',', start);
		std::string part = s.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
		if (!part.empty())
			out.push_back(part);
		if (comma == std::string::npos)
			break;
		start = comma + 1;
	}
	return out;
}

constexpr long kMaxPort = 65535;
constexpr long kMaxDelayMs = 3600000;

enum class Parsed { ok, usage, refused };

/* A one-line message on standard error, for an option that cannot be used. */
Parsed refuse(const std::string &message)
{
	std::fprintf(stderr, "mock-sglang: %s\n", message.c_str());
	return Parsed::refused;
}

std::string number_wanted(const char *option, long max, const std::string &value)
{
	return std::string(option) + " wants a number from 0 to " + std::to_string(max) + ", not '" +
	       value + "'";
}

/* A value written as decimal digits alone, no sign or space, from 0 to max. */
bool whole_number(const std::string &text, long max, int &out)
{
	if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
		return false;
	long v = std::strtol(text.c_str(), nullptr, 10);
	if (v > max)
		return false;
	out = static_cast<int>(v);
	return true;
}

/* Reads the options; a value out of place is refused with its own message,
 * anything else that does not fit is a usage error. */
Parsed parse_args(int argc, char **argv, mock::Options &opt)
{
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		auto value = [&](std::string &out) {
			if (i + 1 >= argc)
				return false;
			out = argv[++i];
			return true;
		};
		std::string v;
		if (a == "--live") {
			opt.live = true;
		} else if (a == "--port" && value(v)) {
			if (!whole_number(v, kMaxPort, opt.port))
				return refuse(number_wanted("--port", kMaxPort, v));
		} else if (a == "--api-key" && value(v)) {
			opt.api_key = v;
			opt.key_from_fixture = false;
		} else if (a == "--no-key") {
			opt.api_key.clear();
			opt.key_from_fixture = false;
		} else if (a == "--metrics-need-key") {
			opt.metrics_need_key = true;
		} else if (a == "--scrapes" && value(v)) {
			opt.scrapes = split_commas(v);
		} else if (a == "--openmetrics" && value(v)) {
			opt.openmetrics = v;
		} else if (a == "--delay-ms" && value(v)) {
			if (!whole_number(v, kMaxDelayMs, opt.delay_ms))
				return refuse(number_wanted("--delay-ms", kMaxDelayMs, v));
		} else if (a == "--html") {
			opt.html = true;
		} else if (a == "--model" && value(v)) {
			opt.model = v;
		} else if (a == "--scenario" && value(v)) {
			mock::Scenario unused;
			if (!mock::scenario_from_name(v, unused))
				return refuse("--scenario wants live, stall-queue, stall-tokens or down, not '" +
					      v + "'");
			opt.scenario = v;
		} else if (!a.empty() && a[0] != '-' && opt.fixture_dir.empty()) {
			opt.fixture_dir = a;
		} else {
			return Parsed::usage;
		}
	}
	/* The live server has its own routes; a web page in their place is
	 * what --html alone gives. */
	if (opt.live && opt.html)
		return refuse("--live and --html cannot be used together");
	if (!opt.live && opt.scenario != "live")
		return refuse("--scenario needs --live");
	return opt.live != !opt.fixture_dir.empty() || opt.html ? Parsed::ok : Parsed::usage;
}

} // namespace

int main(int argc, char **argv)
{
	mock::Options opt;
	switch (parse_args(argc, argv, opt)) {
	case Parsed::ok:
		break;
	case Parsed::usage:
		usage();
		return 2;
	case Parsed::refused:
		return 2;
	}

	/* The signals are taken by sigwait below; every thread made from here
	 * on inherits the mask, so none of them is interrupted. */
	sigset_t sigs;
	sigemptyset(&sigs);
	sigaddset(&sigs, SIGINT);
	sigaddset(&sigs, SIGTERM);
	sigaddset(&sigs, SIGHUP);
	pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

	httplib::Server svr;
	std::shared_ptr<mock::Simulator> sim;
	/* Set when a signal came: a delayed answer gives up its wait, so that
	 * stopping never waits for it. */
	static std::atomic<bool> stopping{false};
	/* Requests by route, for tests and the benchmark to see what a probe asks. */
	static std::mutex counts_mu;
	static std::map<std::string, long> counts;
	int ms = opt.delay_ms;
	svr.set_pre_routing_handler([ms](const httplib::Request &req, httplib::Response &) {
		if (req.path.compare(0, 6, "/mock/") == 0)
			return httplib::Server::HandlerResponse::Unhandled;
		{
			std::lock_guard<std::mutex> lock(counts_mu);
			counts[req.path]++;
		}
		auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
		while (!stopping && std::chrono::steady_clock::now() < until)
			std::this_thread::sleep_for(std::chrono::milliseconds(20));
		return httplib::Server::HandlerResponse::Unhandled;
	});
	svr.Get("/mock/stats", [](const httplib::Request &, httplib::Response &res) {
		std::string body = "{";
		std::lock_guard<std::mutex> lock(counts_mu);
		for (const auto &c : counts)
			body += (body.size() > 1 ? ",\"" : "\"") + c.first + "\":" + std::to_string(c.second);
		res.set_content(body + "}\n", "application/json");
	});
	if (opt.html) {
		svr.Get(R"(.*)", [](const httplib::Request &, httplib::Response &res) {
			res.set_content("<!DOCTYPE html>\n<html><head><title>Welcome</title></head>"
					"<body><h1>It works!</h1></body></html>\n",
					"text/html; charset=utf-8");
		});
	} else if (opt.live) {
		sim = std::make_shared<mock::Simulator>(opt);
		mock::live_routes(svr, sim, opt);
	} else if (!mock::fixture_routes(svr, opt)) {
		return 1;
	}
	svr.set_error_handler([](const httplib::Request &, httplib::Response &res) {
		if (res.status == 404 && res.body.empty())
			mock::not_found(res);
	});

	int port = opt.port;
	if (port > 0 ? !svr.bind_to_port("127.0.0.1", port) : (port = svr.bind_to_any_port("127.0.0.1")) <= 0) {
		std::fprintf(stderr, "mock-sglang: cannot listen on 127.0.0.1:%d\n", opt.port);
		return 1;
	}
	std::printf("%d\n", port);
	std::fflush(stdout);

	std::thread server([&svr] { svr.listen_after_bind(); });
	int sig = 0;
	sigwait(&sigs, &sig);
	stopping = true;
	svr.stop();
	server.join();
	return 0;
}
