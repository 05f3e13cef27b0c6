/* The metrics action through the binary: targets, probe, document and
 * every error answer. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "scenario.h"

using harness::json_error;
using harness::json_header;
using harness::scenario;

namespace {

const std::string metrics_obj = "{\"url\":\"http://srv:30000\",\"model\":\"org/m-7b\",\"num_running_reqs\":2}";
const std::string no_metrics =
	"no SGLang metrics at this URL (not SGLang, unreachable, or API-key gated)";

/* The document the action forms from the companion's object, with the
 * updated_epoch the answer carries (checked to lie in [lo, hi]). */
std::string expect_doc(const std::string &answer, const std::string &obj, int64_t lo,
		       int64_t hi, const std::string &source, const std::string &session)
{
	std::string key = ",\"updated_epoch\":";
	size_t at = answer.find(key);
	if (at == std::string::npos)
		return "<no updated_epoch in " + answer + ">";
	int64_t epoch = std::stoll(answer.substr(at + key.size()));
	EXPECT_GE(epoch, lo);
	EXPECT_LE(epoch, hi);
	std::string head = obj.substr(0, obj.rfind('}'));
	std::string comma = head.find_first_not_of(" {\t\r\n") == std::string::npos ? "" : ",";
	return json_header + head + comma + "\"ok\":true,\"updated_epoch\":" + std::to_string(epoch) +
	       ",\"source\":\"" + source + "\",\"session\":\"" + session + "\"}\n";
}

/* An error answer with a member detail after the others. */
std::string with_detail(const std::string &answer, const std::string &detail)
{
	return answer.substr(0, answer.size() - 2) + ",\"detail\":\"" + detail + "\"}\n";
}

const std::string stopped = "the metrics companion gave no answer within 10 seconds and was stopped";

/* A scenario with one session root holding session s1 on srv. */
struct metrics_scenario : scenario {
	metrics_scenario()
	{
		use_root("root");
		session("root/s1", "http://srv:30000/v1");
		metrics_prints(metrics_obj + "\n");
	}
};

} // namespace

TEST(MetricsAction, RequestErrors)
{
	metrics_scenario s;
	const std::string select = "select a session or enter an SGLang URL";
	EXPECT_EQ(s.get("action=metrics").out, json_error("400 Bad Request", select));
	EXPECT_EQ(s.get("format=json&id=").out, json_error("400 Bad Request", select));
	for (const char *id : {"a..b", "a/b", "a%5Cb", "a+b", "a%22b"})
		EXPECT_EQ(s.get(std::string("action=metrics&id=") + id).out,
			  json_error("400 Bad Request", select))
			<< id;
	EXPECT_EQ(s.get("action=metrics&url=ftp://x&id=s1").out,
		  json_error("400 Bad Request", "invalid url (must be http:// or https://)",
			     "ftp://x"));
	EXPECT_EQ(s.get("action=metrics&url=http://a%22b").out,
		  json_error("400 Bad Request", "invalid url (must be http:// or https://)",
			     "http://a\\\"b"));
	EXPECT_TRUE(s.metrics_runs().empty());
}

TEST(MetricsAction, SessionErrors)
{
	metrics_scenario s;
	s.tmux_prints("{\"sessions\":[{\"name\":\"listed\"}]}");
	EXPECT_EQ(s.get("action=metrics&id=nowhere").out,
		  json_error("404 Not Found", "session not found on this node"));
	EXPECT_EQ(s.get("action=metrics&id=listed").out,
		  json_error("404 Not Found", "session not found on this node"))
		<< "a record without a session directory is passed over";
	s.session("root/bare", "");
	EXPECT_EQ(s.get("action=metrics&id=bare").out,
		  json_error("404 Not Found",
			     "session has no OPENAI_BASE_URL (not an OpenAI-compatible provider)"));
	s.session("root/bad", "ftp://srv");
	EXPECT_EQ(s.get("action=metrics&id=bad").out,
		  json_error("400 Bad Request", "session OPENAI_BASE_URL is not usable", "ftp://srv"));
	EXPECT_TRUE(s.metrics_runs().empty());
}

TEST(MetricsAction, ProbeOutputTests)
{
	metrics_scenario s;
	const std::string ep = "http://srv:30000/v1";
	struct {
		std::string out;
		int status;
	} refused[] = {
		{metrics_obj, 1}, {" " + metrics_obj, 0},   {"\n" + metrics_obj, 0},
		{metrics_obj + "\f", 0}, {"{", 0},         {"", 0},
		{"}", 0},         {"not json", 0},          {std::string("{\"a\":\"\0\"}", 9), 0},
	};
	for (const auto &r : refused) {
		s.metrics_prints(r.out, r.status);
		EXPECT_EQ(s.get("action=metrics&id=s1&fresh=1").out,
			  json_error("502 Bad Gateway", no_metrics, ep))
			<< r.out;
	}
	s.env["QUORVANE_SGLANG_METRICS_BIN"] = s.p("missing-companion");
	EXPECT_EQ(s.get("action=metrics&url=http://x/").out,
		  with_detail(json_error("502 Bad Gateway", no_metrics, "http://x/"),
			      "the metrics companion could not be started: " +
				      harness::json_text(s.p("missing-companion"))));
	EXPECT_FALSE(s.w.exists("root/s1/sglang_metrics.json")) << "errors never touch the cache";
}

TEST(MetricsAction, HangingCompanionIsCutOff)
{
	metrics_scenario s;
	s.env["FAKE_METRICS_SLEEP_MS"] = "60000";
	int64_t start = plat_clock_ms();
	auto r = s.get("action=metrics&url=http://slow/");
	EXPECT_EQ(r.out, with_detail(json_error("502 Bad Gateway", no_metrics, "http://slow/"),
				     stopped));
	/* The bound is 10 s; the margin allows for a slow emulator. */
	EXPECT_LT(plat_clock_ms() - start, 30000);
}

TEST(MetricsAction, UrlTargetDocument)
{
	metrics_scenario s;
	s.metrics_prints(metrics_obj + "\r\n");
	int64_t t0 = plat_time();
	auto r = s.get("action=metrics&url=http://srv:30000/v1&id=a%22b\\&fresh=1");
	EXPECT_EQ(r.out, expect_doc(r.out, metrics_obj, t0, plat_time(), "query", "a\\\"b\\\\"));
	ASSERT_EQ(s.metrics_runs().size(), 1u);
	EXPECT_EQ(s.metrics_runs()[0], (std::vector<std::string>{"http://srv:30000/v1"}));
	EXPECT_TRUE(s.tmux_runs().empty());
	EXPECT_FALSE(s.w.exists("root/s1/sglang_metrics.json")) << "URL targets have no cache";

	r = s.get("format=json&url=http://srv/");
	EXPECT_EQ(r.out, expect_doc(r.out, metrics_obj, t0, plat_time(), "query", ""));
}

TEST(MetricsAction, EmptyObjectStillGivesValidJson)
{
	metrics_scenario s;
	for (const char *obj : {"{}", "{ \n }"}) {
		s.metrics_prints(obj);
		auto r = s.get("action=metrics&url=http://srv/");
		int64_t now = plat_time();
		EXPECT_EQ(r.out, expect_doc(r.out, obj, now - 60, now, "query", "")) << obj;
	}
}

TEST(MetricsAction, UpdatedEpochIsTakenAfterTheProbe)
{
	metrics_scenario s;
	s.env["FAKE_METRICS_SLEEP_MS"] = "2500";
	int64_t t0 = plat_time();
	auto r = s.get("action=metrics&id=s1");
	EXPECT_EQ(r.out, expect_doc(r.out, metrics_obj, t0 + 2, plat_time(), "session", "s1"));
}

TEST(MetricsAction, FirstRootWinsOverLaterRootsAndTheListing)
{
	metrics_scenario s;
	s.env["USERPROFILE"] = s.p("up");
	s.env["HOME"] = s.p("up");
	s.session("up/.quorvane/sessions/s1", "http://later/");
	s.session("wt/.quorvane/sessions/s1", "http://listed/");
	s.w.write("wt/.quorvane/sessions/s1/meta.json", "{}");
	s.tmux_prints("{\"sessions\":[{\"name\":\"s1\",\"worktree\":\"" + harness::json_text(s.p("wt")) +
		      "\"}]}");
	auto r = s.get("action=metrics&id=s1");
	EXPECT_EQ(r.out, expect_doc(r.out, metrics_obj, 0, plat_time(), "session", "s1"));
	ASSERT_EQ(s.metrics_runs().size(), 1u);
	EXPECT_EQ(s.metrics_runs()[0][0], "http://srv:30000/v1");
	EXPECT_TRUE(s.tmux_runs().empty()) << "the listing is not run";
}

TEST(MetricsAction, ListingExactThenSubstring)
{
	scenario s;
	s.metrics_prints(metrics_obj);
	for (const char *w : {"w1", "w2", "w3"}) {
		std::string dir = std::string(w) + "/.quorvane/sessions/dir-" + w;
		s.session(dir, std::string("http://") + w + "/");
		s.w.write(dir + "/meta.json", "{}");
	}
	s.tmux_prints("{\"sessions\":[{\"name\":\"bot\"},{\"name\":\"bot-long\",\"worktree\":\"" +
		      harness::json_text(s.p("w1")) + "\"},{\"name\":\"bot\",\"worktree\":\"" + harness::json_text(s.p("w2")) +
		      "\"},{\"name\":\"Bot\",\"worktree\":\"" + harness::json_text(s.p("w3")) + "\"}]}");
	auto r = s.get("action=metrics&id=bot");
	EXPECT_EQ(r.out, expect_doc(r.out, metrics_obj, 0, plat_time(), "session", "dir-w2"));
	EXPECT_EQ(s.metrics_runs().back()[0], "http://w2/");
	r = s.get("action=metrics&id=t-lo");
	EXPECT_EQ(r.out, expect_doc(r.out, metrics_obj, 0, plat_time(), "session", "dir-w1"));
	EXPECT_EQ(s.metrics_runs().back()[0], "http://w1/");
	EXPECT_EQ(s.get("action=metrics&id=BOT").out,
		  json_error("404 Not Found", "session not found on this node"));
}

/* The API key goes only to the servers an operator configured, the
 * endpoints of sessions (under a root, or in the listing, in any spelling
 * of the same server); a URL that anyone can put in a query gets a
 * companion without it. */
TEST(MetricsAction, ApiKeyOnlyForConfiguredEndpoints)
{
	metrics_scenario s;
	s.env["SGLANG_API_KEY"] = "sk-secret";
	s.env["FAKE_METRICS_ENV_NAME"] = "SGLANG_API_KEY";
	s.env["FAKE_METRICS_ENV_LOG"] = s.p("key.log");
	s.w.write("wt/.quorvane/sessions/s2/meta.json", "{}");
	s.session("wt/.quorvane/sessions/s2", "http://listed:8000");
	s.tmux_prints("{\"sessions\":[{\"name\":\"bot\",\"worktree\":\"" +
		      harness::json_text(s.p("wt")) + "\"}]}");
	const char *queries[] = {
		"action=metrics&id=s1",
		"action=metrics&url=http://srv:30000/v1",
		"action=metrics&url=http://srv:30000/",
		"action=metrics&url=http://listed:8000/v1&id=s1",
		"action=metrics&url=http://attacker:30000/v1",
		"action=metrics&url=http://srv:30000.attacker/v1",
	};
	for (const char *q : queries)
		EXPECT_EQ(s.get(q).out.rfind(json_header, 0), 0u) << q;
	EXPECT_EQ(s.w.read("key.log"), "sk-secret\nsk-secret\nsk-secret\nsk-secret\n"
				       "(unset)\n(unset)\n");
}

/* A failed probe passes on the companion's own reason, its string member
 * "error" cut to 300 bytes on a character boundary, and only when its output
 * is an object; the cache file stays as it was, and only the failed answer
 * is kept beside it. Each row forces its own probe. */
TEST(MetricsAction, FailureDetailFromTheCompanion)
{
	metrics_scenario s;
	const std::string ep = "http://srv:30000/v1";
	const std::string cached = "{\"url\":\"http://srv:30000\",\"old\":1}\n";
	s.w.write("root/s1/sglang_metrics.json", cached);
	s.w.set_mtime("root/s1/sglang_metrics.json", -100);
	const std::string reach = "cannot reach the server: Connection refused";
	struct {
		std::string out;
		int status;
		std::string detail;
	} rows[] = {
		{"{\"url\":\"http://srv:30000\",\"model\":\"\",\"error\":\"" + reach + "\"}\n", 1,
		 reach},
		{"{\"error\":\"" + std::string(400, 'e') + "\"}", 1, std::string(300, 'e')},
		{"{\"error\":\"" + std::string(299, 'a') + "\xc3\xa9\"}", 1, std::string(299, 'a')},
		{"{\"error\":\"" + std::string(298, 'a') + "\xc3\xa9z\"}", 1,
		 std::string(298, 'a') + "\xc3\xa9"},
		{"{\"error\":\"a\\\"b\\\\c\\nd\"}", 1, "a\\\"b\\\\c\\nd"},
		{"{\"url\":\"http://srv:30000\"}", 1, ""},
		{"{\"error\":5}", 1, ""},
		{"{\"error\":\"\"}", 1, ""},
		{"error: boom {\"error\":\"x\"}", 1, ""},
		{"{\"error\":\"x\"", 0, ""},
	};
	for (const auto &r : rows) {
		s.metrics_prints(r.out, r.status);
		const std::string plain = json_error("502 Bad Gateway", no_metrics, ep);
		EXPECT_EQ(s.get("action=metrics&id=s1&fresh=1").out,
			  r.detail.empty() ? plain : with_detail(plain, r.detail))
			<< r.out;
	}
	EXPECT_EQ(s.w.read("root/s1/sglang_metrics.json"), cached);
	EXPECT_EQ(harness::folder_names(s.p("root/s1")),
		  (std::vector<std::string>{ "config-snapshot.txt", "sglang_metrics.json",
					     "sglang_metrics.json.failed" }));
}

/* A companion that cannot be started, or that is stopped at its bound,
 * gets a sentence that says which; the cache file stays as it was. */
TEST(MetricsAction, FailureDetailForTheRunItself)
{
	metrics_scenario s;
	const std::string ep = "http://srv:30000/v1";
	const std::string cached = "{\"url\":\"http://srv:30000\",\"old\":1}\n";
	s.w.write("root/s1/sglang_metrics.json", cached);
	s.w.set_mtime("root/s1/sglang_metrics.json", -100);
	s.metrics_prints("{\"error\":\"never seen\"}", 1);

	s.env["FAKE_METRICS_SLEEP_MS"] = "60000";
	EXPECT_EQ(s.get("action=metrics&id=s1&fresh=1").out,
		  with_detail(json_error("502 Bad Gateway", no_metrics, ep), stopped));
	s.env.erase("FAKE_METRICS_SLEEP_MS");

	s.env["QUORVANE_SGLANG_METRICS_BIN"] = s.p("no/such/companion");
	EXPECT_EQ(s.get("action=metrics&id=s1&fresh=1").out,
		  with_detail(json_error("502 Bad Gateway", no_metrics, ep),
			      "the metrics companion could not be started: " +
				      harness::json_text(s.p("no/such/companion"))));
	EXPECT_EQ(s.w.read("root/s1/sglang_metrics.json"), cached);
}
