/*
 * The Prometheus and Grafana files in contrib/: promtool's checks and the
 * rules' unit tests, the dashboard's variables and queries, and a real
 * Prometheus that finds two mock-sglang servers through the plug-in served
 * by lighttpd, scrapes them and raises the stall alert. Each case is
 * skipped where a program it needs is not installed.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "proc.h"

using nlohmann::json;

namespace {

const std::string kContrib = QV_CONTRIB;
const std::string kRules = kContrib + "/prometheus/sglang-monitor.rules.yml";
const std::string kDashboard = kContrib + "/grafana/sglang-monitor.json";
const std::string kPassword = "scrape-pw";

/* How long the real Prometheus may take to discover, scrape and alert. */
constexpr int kWaitMs = 60000;

bool installed(const std::string &tool)
{
	return ctest::which(tool) != tool;
}

#define NEED(tool)                                                    \
	do {                                                          \
		if (!installed(tool))                                 \
			GTEST_SKIP() << "'" << (tool) << "' is not installed"; \
	} while (0)

ctest::ProcResult promtool(const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {ctest::which("promtool")};
	argv.insert(argv.end(), args.begin(), args.end());
	return ctest::run(argv, ctest::base_env(), 60000);
}

/* A dashboard query with Grafana's variables as a Prometheus user would
 * see them: every session, and a rate window of rate_window. */
std::string grafana_expanded(std::string expr, const std::string &rate_window)
{
	expr = std::regex_replace(expr, std::regex(R"(\$__rate_interval|\$__interval)"), rate_window);
	return std::regex_replace(expr, std::regex(R"(\$\{session\}|\$session)"), ".+");
}

struct Query {
	std::string where;
	std::string expr;
};

/* Every query of the dashboard: panel targets, then annotations. */
std::vector<Query> dashboard_queries(const json &d)
{
	std::vector<Query> out;
	for (const json &p : d.at("panels"))
		for (const json &t : p.value("targets", json::array()))
			out.push_back({p.at("title").get<std::string>() + " " + t.at("refId").get<std::string>(),
				       t.at("expr").get<std::string>()});
	for (const json &a : d.at("annotations").at("list"))
		if (a.contains("expr"))
			out.push_back({"annotation " + a.at("name").get<std::string>(), a.at("expr").get<std::string>()});
	return out;
}

json load_json(const std::string &path)
{
	return json::parse(ctest::read_text(path));
}

/* A free TCP port on the loopback address, as the kernel hands one out. */
int free_port()
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof(a);
	if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
	    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
		throw std::runtime_error("no free port");
	close(fd);
	return ntohs(a.sin_port);
}

size_t collect(char *data, size_t size, size_t n, void *out)
{
	static_cast<std::string *>(out)->append(data, size * n);
	return size * n;
}

/* GETs url; the body, or empty when no answer came with status 200. */
std::string http_get(const std::string &url)
{
	std::string body;
	long status = 0;
	CURL *c = curl_easy_init();
	curl_easy_setopt(c, CURLOPT_URL, url.c_str());
	curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
	curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
	curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 5000L);
	CURLcode rc = curl_easy_perform(c);
	curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
	curl_easy_cleanup(c);
	return rc == CURLE_OK && status == 200 ? body : std::string();
}

std::string url_escape(const std::string &text)
{
	char *e = curl_easy_escape(nullptr, text.c_str(), static_cast<int>(text.size()));
	std::string out = e != nullptr ? e : "";
	curl_free(e);
	return out;
}

/* A program left running in the background, its output in a log file,
 * stopped by SIGTERM when the object goes. */
class Service {
public:
	Service(const std::vector<std::string> &argv, const std::string &log)
	{
		std::vector<std::string> all = {"/bin/sh", "-c", "log=$1; shift; exec \"$@\" >\"$log\" 2>&1", "sh", log};
		all.insert(all.end(), argv.begin(), argv.end());
		std::vector<const char *> c;
		for (const std::string &s : all)
			c.push_back(s.c_str());
		c.push_back(nullptr);
		std::vector<std::string> env = ctest::base_env();
		std::vector<const char *> e;
		for (const std::string &s : env)
			e.push_back(s.c_str());
		e.push_back(nullptr);
		if (!plat_child_start(&child_, c.data(), e.data(), 10 * 60 * 1000, 0) || child_.failed)
			throw std::runtime_error("cannot start " + argv[0]);
	}
	~Service()
	{
		kill(static_cast<pid_t>(child_.proc), SIGTERM);
		child_.deadline = plat_clock_ms() + 10000;
		plat_child_finish(&child_);
	}
	Service(const Service &) = delete;
	Service &operator=(const Service &) = delete;

private:
	plat_child child_ = {};
};

/* Asks until check gives true or kWaitMs pass; the last answer is kept. */
template <class Check> bool wait_for(Check check)
{
	for (int64_t end = plat_clock_ms() + kWaitMs; plat_clock_ms() < end; usleep(250000))
		if (check())
			return true;
	return false;
}

/* The result of an instant query; null when Prometheus did not answer. */
json prom_query(int port, const std::string &expr)
{
	std::string body = http_get("http://127.0.0.1:" + std::to_string(port) + "/api/v1/query?query=" +
				    url_escape(expr));
	json j = json::parse(body, nullptr, false);
	return j.is_object() && j.value("status", "") == "success" ? j["data"]["result"] : json();
}

} // namespace

TEST(PrometheusFiles, ConfigRulesAndRuleTestsPassPromtool)
{
	NEED("promtool");
	for (const auto &args : std::vector<std::vector<std::string>>{
		     {"check", "config", kContrib + "/prometheus/prometheus.yml"},
		     {"check", "rules", kRules},
		     {"test", "rules", kContrib + "/prometheus/sglang-monitor.rules.test.yml"}}) {
		ctest::ProcResult r = promtool(args);
		EXPECT_EQ(r.status, 0) << args[0] << " " << args[1] << "\n" << r.out << r.err;
	}
}

TEST(GrafanaDashboard, VariablesAndEveryQueryParses)
{
	json d = load_json(kDashboard);
	json ds, session;
	for (const json &v : d.at("templating").at("list")) {
		if (v.at("name") == "datasource")
			ds = v;
		if (v.at("name") == "session")
			session = v;
	}
	EXPECT_EQ(ds.value("type", ""), "datasource");
	EXPECT_EQ(ds.value("query", ""), "prometheus");
	EXPECT_EQ(session.value("type", ""), "query");
	EXPECT_TRUE(std::regex_search(session.value("query", ""), std::regex(R"(^label_values\(.*, *session\)$)")))
		<< session.dump();
	for (const json &p : d.at("panels"))
		EXPECT_EQ(p.at("datasource").at("uid"), "${datasource}") << p.at("title");

	std::vector<Query> queries = dashboard_queries(d);
	ASSERT_FALSE(queries.empty());
	/* promtool parses each query as the expression of a recording rule. */
	std::string rules = "groups:\n  - name: dashboard\n    rules:\n";
	for (size_t i = 0; i < queries.size(); i++) {
		EXPECT_NE(queries[i].expr.find("session=~\"$session\""), std::string::npos)
			<< queries[i].where << " ignores the session chosen";
		rules += "      - record: dashboard_query_" + std::to_string(i) +
			 "\n        expr: " + json(grafana_expanded(queries[i].expr, "1m")).dump() + "\n";
	}
	NEED("promtool");
	ctest::TempDir tmp;
	ctest::write_text(tmp.path() + "/queries.yml", rules);
	ctest::ProcResult r = promtool({"check", "rules", tmp.path() + "/queries.yml"});
	EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST(RealPrometheus, FindsSessionsThroughThePluginAndRaisesTheStallAlert)
{
	NEED("prometheus");
	NEED("lighttpd");
	ctest::TempDir tmp;
	const std::string dir = tmp.path();
	ctest::Mock healthy({"--live"});
	ctest::Mock stalled({"--live", "--scenario", "stall-queue"});

	/* The sessions come from the session root: no tmux companion. */
	ctest::write_text(dir + "/sessions/healthy/config-snapshot.txt",
			  "OPENAI_BASE_URL=" + healthy.url("/v1") + "\n");
	ctest::write_text(dir + "/sessions/stalled/config-snapshot.txt",
			  "OPENAI_BASE_URL=" + stalled.url("/v1/") + "\n");
	ctest::write_text(dir + "/sessions/no-endpoint/meta.json", "{}");
	ctest::write_text(dir + "/www/.keep", "");
	ASSERT_EQ(symlink(QV_PLUGIN_BIN, (dir + "/www/sglang-monitor").c_str()), 0);
	int web = free_port();
	ctest::write_text(dir + "/lighttpd.conf",
			  "server.document-root = \"" + dir + "/www\"\n"
			  "server.bind = \"127.0.0.1\"\n"
			  "server.port = " + std::to_string(web) + "\n"
			  "server.errorlog = \"" + dir + "/lighttpd-error.log\"\n"
			  "server.modules = ( \"mod_setenv\", \"mod_cgi\" )\n"
			  "cgi.assign = ( \"/sglang-monitor\" => \"\" )\n"
			  "setenv.add-environment = (\n"
			  "  \"HOME\" => \"" + dir + "\",\n"
			  "  \"QV_SESSIONS_DIR\" => \"" + dir + "/sessions\",\n"
			  "  \"QUORVANE_TMUX_BIN\" => \"" + dir + "/no-tmux-companion\",\n"
			  "  \"BOT_PASSWORD\" => \"" + kPassword + "\"\n)\n");
	Service lighttpd({ctest::which("lighttpd"), "-D", "-f", dir + "/lighttpd.conf"}, dir + "/lighttpd.log");

	/* The shipped rules with every "for" cut to 3 s, so the test is quick. */
	ctest::write_text(dir + "/rules.yml",
			  std::regex_replace(ctest::read_text(kRules), std::regex(R"(for: \w+)"), "for: 3s"));
	ctest::write_text(dir + "/prometheus.yml",
			  "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
			  "rule_files:\n  - " + dir + "/rules.yml\n"
			  "scrape_configs:\n  - job_name: sglang\n    http_sd_configs:\n"
			  "      - url: \"http://127.0.0.1:" + std::to_string(web) +
			  "/sglang-monitor?action=targets\"\n        refresh_interval: 1s\n"
			  "        authorization:\n          credentials: \"" + kPassword + "\"\n");
	int prom = free_port();
	Service prometheus({ctest::which("prometheus"), "--config.file=" + dir + "/prometheus.yml",
			    "--storage.tsdb.path=" + dir + "/data",
			    "--web.listen-address=127.0.0.1:" + std::to_string(prom)},
			   dir + "/prometheus.log");
	const std::string api = "http://127.0.0.1:" + std::to_string(prom) + "/api/v1/";

	/* Both sessions are discovered, labelled, and up. */
	json targets;
	bool up = wait_for([&] {
		targets = json::parse(http_get(api + "targets?state=active"), nullptr, false);
		if (!targets.is_object() || !targets["data"]["activeTargets"].is_array())
			return false;
		int n = 0;
		for (const json &t : targets["data"]["activeTargets"])
			n += t.value("health", "") == "up";
		return n == 2;
	});
	ASSERT_TRUE(up) << targets.dump() << "\n" << ctest::read_text(dir + "/prometheus.log")
			<< ctest::read_text(dir + "/lighttpd-error.log");
	std::set<std::string> found;
	for (const json &t : targets["data"]["activeTargets"]) {
		std::string name = t["labels"].value("session", "");
		found.insert(name);
		EXPECT_EQ(t.value("scrapeUrl", ""), (name == "healthy" ? healthy : stalled).url("/metrics"));
	}
	EXPECT_EQ(found, (std::set<std::string>{"healthy", "stalled"}));

	/* SGLang's own series carry the session. */
	json running = prom_query(prom, "{__name__=~\"sglang[:_]num_running_reqs\"}");
	found.clear();
	for (const json &s : running)
		found.insert(s["metric"].value("session", ""));
	EXPECT_EQ(found, (std::set<std::string>{"healthy", "stalled"})) << running.dump();

	/* The stall alert fires for the stalled session alone. */
	json firing;
	bool fired = wait_for([&] {
		firing = prom_query(prom, "ALERTS{alertstate=\"firing\"}");
		return firing.is_array() && !firing.empty();
	});
	ASSERT_TRUE(fired) << ctest::read_text(dir + "/prometheus.log");
	std::cout << "firing: " << firing.dump() << "\n";
	ASSERT_EQ(firing.size(), 1u) << firing.dump();
	EXPECT_EQ(firing[0]["metric"].value("alertname", ""), "SGLangQueueStalled");
	EXPECT_EQ(firing[0]["metric"].value("session", ""), "stalled");
	EXPECT_TRUE(prom_query(prom, "ALERTS{session=\"healthy\"}").empty());

	/* Every dashboard query runs; those of the families the mock serves
	 * give figures for the healthy session. */
	const std::set<std::string> absent = {"Aborted and retracted requests", "HTTP 5xx share"};
	for (const Query &q : dashboard_queries(load_json(kDashboard))) {
		json r = prom_query(prom, grafana_expanded(q.expr, "10s"));
		ASSERT_TRUE(r.is_array()) << q.where << ": " << q.expr;
		if (absent.count(q.where.substr(0, q.where.rfind(' '))) != 0 || q.where.rfind("annotation", 0) == 0)
			continue;
		bool seen = false;
		for (const json &s : r)
			seen = seen || s["metric"].value("session", "") == "healthy";
		EXPECT_TRUE(seen) << q.where << " shows nothing: " << r.dump();
	}
}
