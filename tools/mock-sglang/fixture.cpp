/*
 * Fixture mode: the answers of a recorded server, file by file. A route is
 * served when its file is in the folder and answers 404 otherwise, so a
 * folder describes its server generation by the files it holds: an older
 * server has get_server_info.json but no server_info.json, a server without
 * --enable-metrics has no metrics.txt. A model gateway's folder holds the
 * aggregated metrics of its workers as engine_metrics.txt.
 */
#include <cstdio>
#include <fstream>
#include <iterator>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "mock.h"

namespace mock {

namespace {

const char kPromType[] = "text/plain; version=0.0.4; charset=utf-8";
const char kOpenMetricsType[] = "application/openmetrics-text; version=1.0.0; charset=utf-8";
const char kJsonType[] = "application/json";

bool read_file(const std::string &path, std::string &out)
{
	std::ifstream in(path, std::ios::binary);
	if (!in)
		return false;
	out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
	return true;
}

/* The JSON routes and the files that answer them, newest file first: a new
 * server answers the old names with the same body. */
struct JsonRoute {
	const char *path;
	std::vector<const char *> files;
};

const JsonRoute kJsonRoutes[] = {
	{"/server_info", {"server_info.json"}},
	{"/get_server_info", {"get_server_info.json", "server_info.json"}},
	{"/model_info", {"model_info.json"}},
	{"/get_model_info", {"get_model_info.json", "model_info.json"}},
	{"/v1/models", {"v1_models.json"}},
	{"/v1/loads", {"v1_loads.json"}},
	{"/get_load", {"get_load.json"}},
};

} // namespace

bool fixture_routes(httplib::Server &svr, Options &opt)
{
	const std::string dir = opt.fixture_dir + "/";
	std::string probe;
	bool any = false;

	/* The server's key, as the server information reports it. */
	if (opt.key_from_fixture) {
		std::string info;
		if (read_file(dir + "server_info.json", info) || read_file(dir + "get_server_info.json", info)) {
			nlohmann::json j = nlohmann::json::parse(info, nullptr, false);
			if (j.is_object() && j.contains("api_key") && j["api_key"].is_string())
				opt.api_key = j["api_key"].get<std::string>();
		}
	}

	for (const JsonRoute &r : kJsonRoutes) {
		std::string body;
		for (const char *f : r.files)
			if (read_file(dir + f, body))
				break;
		if (body.empty())
			continue;
		any = true;
		svr.Get(r.path, [body, opt](const httplib::Request &req, httplib::Response &res) {
			if (!key_accepted(req, opt.api_key, opt.metrics_need_key)) {
				res.status = 401;
				res.set_content("{\"error\":\"Unauthorized\"}", kJsonType);
				return;
			}
			res.set_content(body, kJsonType);
		});
	}

	if (opt.scrapes.empty()) {
		if (read_file(dir + "metrics.txt", probe))
			opt.scrapes.push_back("metrics.txt");
		if (read_file(dir + "metrics_t5.txt", probe))
			opt.scrapes.push_back("metrics_t5.txt");
	}
	auto pages = std::make_shared<std::vector<std::string>>();
	for (const std::string &f : opt.scrapes) {
		std::string body;
		if (!read_file(dir + f, body)) {
			std::fprintf(stderr, "mock-sglang: cannot read '%s%s'\n", dir.c_str(), f.c_str());
			return false;
		}
		pages->push_back(std::move(body));
	}
	std::string openmetrics;
	if (!opt.openmetrics.empty() && !read_file(opt.openmetrics, openmetrics) &&
	    !read_file(dir + opt.openmetrics, openmetrics)) {
		std::fprintf(stderr, "mock-sglang: cannot read '%s'\n", opt.openmetrics.c_str());
		return false;
	}
	std::string engine;
	if (read_file(dir + "engine_metrics.txt", engine)) {
		any = true;
		svr.Get("/engine_metrics", [engine, opt](const httplib::Request &req, httplib::Response &res) {
			if (!key_accepted(req, opt.api_key, opt.metrics_need_key)) {
				res.status = 401;
				res.set_content("{\"error\":\"Unauthorized\"}", kJsonType);
				return;
			}
			res.set_content(engine, "text/plain; charset=utf-8");
		});
	}
	any = any || !pages->empty();
	if (!any) {
		std::fprintf(stderr, "mock-sglang: no fixture files in '%s'\n", opt.fixture_dir.c_str());
		return false;
	}

	/* Successive scrapes: each /metrics call takes the next page, and the
	 * last page stays. OpenMetrics requests do not advance the sequence. */
	auto next = std::make_shared<std::atomic<std::size_t>>(0);
	svr.Get(R"(/metrics(/.*)?)", [pages, next, openmetrics, opt](const httplib::Request &req,
								 httplib::Response &res) {
		if (!key_accepted(req, opt.api_key, opt.metrics_need_key)) {
			res.status = 401;
			res.set_content("{\"error\":\"Unauthorized\"}", kJsonType);
			return;
		}
		if (pages->empty()) {
			/* Without --enable-metrics the route is not mounted at all. */
			not_found(res);
			return;
		}
		if (!openmetrics.empty() &&
		    req.get_header_value("Accept").find("application/openmetrics-text") != std::string::npos) {
			res.set_content(openmetrics, kOpenMetricsType);
			return;
		}
		std::size_t i = next->fetch_add(1);
		res.set_content((*pages)[i < pages->size() ? i : pages->size() - 1], kPromType);
	});

	for (const char *path : {"/health", "/health_generate", "/ping"})
		svr.Get(path, [](const httplib::Request &, httplib::Response &res) {
			res.set_content("", kJsonType);
		});
	svr.Get(R"(.*)", [opt](const httplib::Request &req, httplib::Response &res) {
		if (!key_accepted(req, opt.api_key, opt.metrics_need_key)) {
			res.status = 401;
			res.set_content("{\"error\":\"Unauthorized\"}", kJsonType);
			return;
		}
		not_found(res);
	});
	return true;
}

} // namespace mock
