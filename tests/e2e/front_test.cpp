/*
 * The request front end through the built plug-in, run as a CGI host runs
 * it: the description line, the access check, the choice of handler, and
 * the bytes of the header block. The tmux companion is the fake, and no
 * session folder can be found, so no real program is ever run.
 */
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "harness.h"

using harness::describe;
using harness::env_map;
using harness::run_plugin;

namespace {

const std::string META =
	"{\"name\":\"sglang\",\"desc\":\"SGLang metrics\",\"kind\":\"ui\",\"version\":\"1.0.1\"}\n";
const std::string UNAUTHORIZED = "Status: 401 Unauthorized\r\n"
				 "Content-Type: application/json; charset=utf-8\r\n\r\n"
				 "{\"ok\":false,\"error\":\"unauthorized\"}\n";

/* How each handler's answer begins. */
const std::string PAGE = "Content-Type: text/html";
const std::string SESSIONS =
	"Content-Type: application/json; charset=utf-8\r\n\r\n{\"ok\":true,\"sessions\":[";
const std::string METRICS = "Status: 400 Bad Request\r\n";

const std::string PASSWORD = "s3cret pw";

bool starts_with(const std::string &s, const std::string &prefix)
{
	return s.compare(0, prefix.size(), prefix) == 0;
}

/* The least environment of a request: both companions are the fake, and
 * nothing names a profile or data folder. */
env_map base_env()
{
	return { { "QUORVANE_TMUX_BIN", harness::fake_companion_path() },
		 { "QUORVANE_SGLANG_METRICS_BIN", harness::fake_companion_path() } };
}

env_map with(env_map env, const env_map &more)
{
	for (const auto &kv : more)
		env[kv.first] = kv.second;
	return env;
}

/* Which handler an answer came from, by its first bytes. */
std::string handler_of(const std::string &out)
{
	if (starts_with(out, SESSIONS))
		return "sessions";
	if (starts_with(out, METRICS))
		return "metrics";
	if (starts_with(out, PAGE))
		return "page";
	if (out == UNAUTHORIZED)
		return "401";
	if (out == META)
		return "meta";
	return "unknown: " + out.substr(0, 80);
}

} // namespace

TEST(E2eMeta, DescriptionLineBeforeAnythingElse)
{
	struct row {
		std::vector<std::string> args;
		env_map env;
		std::string want;
	};
	const std::vector<row> rows = {
		{ { "--meta" }, {}, "meta" },
		{ { "--meta" }, { { "BOT_PASSWORD", PASSWORD } }, "meta" },
		{ { "--meta", "--other" }, {}, "meta" },
		{ {}, { { "QV_PLUGIN_META", "" } }, "meta" },
		{ {}, { { "QV_PLUGIN_META", "0" }, { "BOT_PASSWORD", PASSWORD } }, "meta" },
		{ { "--meta" }, { { "QUERY_STRING", "action=sessions" } }, "meta" },
		/* Only a first argument of exactly "--meta" counts. */
		{ { "other", "--meta" }, {}, "page" },
		{ { "other", "--meta" }, { { "BOT_PASSWORD", PASSWORD } }, "401" },
		{ { "--metadata" }, {}, "page" },
		{ { "--met" }, {}, "page" },
		{ { "--META" }, {}, "page" },
		{ { "" }, {}, "page" },
	};
	for (const auto &r : rows) {
		const auto got = run_plugin(r.args, with(base_env(), r.env));
		const std::string where = r.args.empty() ? "(no arguments)" : r.args[0];
		EXPECT_EQ(handler_of(got.out), r.want) << where << ": " << describe(got);
		EXPECT_EQ(got.status, 0) << where << ": " << describe(got);
		if (r.want == "meta") {
			EXPECT_EQ(got.out.size(), 72u) << where;
		}
	}
}

TEST(E2eAccess, RefusalIsTheExact401Answer)
{
	const auto got = run_plugin({}, with(base_env(), { { "BOT_PASSWORD", PASSWORD } }));
	EXPECT_EQ(got.out, UNAUTHORIZED);
	EXPECT_EQ(got.out.size(), 111u);
	EXPECT_EQ(got.status, 0);
}

TEST(E2eAccess, FourProofs)
{
	const std::string p128(128, 'k');
	const std::string p127(127, 'k');
	const std::string p200(200, 'k');
	const std::string p1024(1024, 'k');
	struct row {
		const char *what;
		env_map env; /* BOT_PASSWORD is PASSWORD unless a row sets it */
		bool pass;
	};
	const std::vector<row> rows = {
		{ "no password configured", { { "BOT_PASSWORD", "" } }, true },
		{ "no password, any credentials",
		  { { "BOT_PASSWORD", "" }, { "HTTP_X_BOT_PASSWORD", "wrong" } }, true },
		{ "no credentials", {}, false },

		{ "header", { { "HTTP_X_BOT_PASSWORD", PASSWORD } }, true },
		{ "header wins over a wrong pwd",
		  { { "HTTP_X_BOT_PASSWORD", PASSWORD }, { "QUERY_STRING", "pwd=wrong" } }, true },
		{ "header in other case", { { "HTTP_X_BOT_PASSWORD", "S3CRET PW" } }, false },
		{ "header with a trailing space", { { "HTTP_X_BOT_PASSWORD", PASSWORD + " " } }, false },
		{ "header empty", { { "HTTP_X_BOT_PASSWORD", "" } }, false },

		{ "bearer", { { "HTTP_AUTHORIZATION", "Bearer " + PASSWORD } }, true },
		{ "bearer small letters", { { "HTTP_AUTHORIZATION", "bearer " + PASSWORD } }, true },
		{ "bearer capitals", { { "HTTP_AUTHORIZATION", "BEARER " + PASSWORD } }, true },
		{ "bearer with spaces around", { { "HTTP_AUTHORIZATION", "   BeArEr    " + PASSWORD } }, true },
		{ "bearer then a tab", { { "HTTP_AUTHORIZATION", "Bearer\t" + PASSWORD } }, false },
		{ "bearer after a tab", { { "HTTP_AUTHORIZATION", "\tBearer " + PASSWORD } }, false },
		{ "bearer and a trailing space", { { "HTTP_AUTHORIZATION", "Bearer " + PASSWORD + " " } }, false },
		{ "bearer alone", { { "HTTP_AUTHORIZATION", "Bearer" } }, false },
		{ "bearer and a space alone", { { "HTTP_AUTHORIZATION", "Bearer " } }, false },
		{ "bearer wrong", { { "HTTP_AUTHORIZATION", "Bearer nope" } }, false },
		{ "another scheme", { { "HTTP_AUTHORIZATION", "Basic " + PASSWORD } }, false },
		{ "bad bearer then a good pwd",
		  { { "HTTP_AUTHORIZATION", "Bearer\t" + PASSWORD }, { "QUERY_STRING", "pwd=s3cret+pw" } }, true },

		{ "pwd with plus", { { "QUERY_STRING", "pwd=s3cret+pw" } }, true },
		{ "pwd with escapes", { { "QUERY_STRING", "a=1&pwd=%73%33cret%20pw&b" } }, true },
		{ "pwd raw space", { { "QUERY_STRING", "pwd=s3cret pw" } }, true },
		{ "first pwd counts", { { "QUERY_STRING", "pwd=wrong&pwd=s3cret+pw" } }, false },
		{ "pwd key is case-sensitive", { { "QUERY_STRING", "PWD=s3cret+pw" } }, false },
		{ "pwd key is not decoded", { { "QUERY_STRING", "p%77d=s3cret+pw" } }, false },
		{ "pwd empty", { { "QUERY_STRING", "pwd=" } }, false },
		{ "pwd empty, one-space password",
		  { { "BOT_PASSWORD", " " }, { "QUERY_STRING", "pwd=" } }, false },
		{ "pwd cut after %00", { { "QUERY_STRING", "pwd=s3cret+pw%00x" } }, true },

		{ "referer", { { "HTTP_REFERER", "http://h/p?plugin=sglang&pwd=s3cret+pw" } }, true },
		{ "referer without query", { { "HTTP_REFERER", "http://h/p/s3cret" } }, false },
		{ "referer fragment after pwd", { { "HTTP_REFERER", "http://h/p?pwd=s3cret+pw#top" } }, false },
		{ "referer fragment elsewhere", { { "HTTP_REFERER", "http://h/p?pwd=s3cret+pw&x=1#top" } }, true },
		{ "wrong pwd and a good referer",
		  { { "QUERY_STRING", "pwd=wrong" }, { "HTTP_REFERER", "http://h/?pwd=s3cret%20pw" } }, true },
		{ "referer wrong", { { "HTTP_REFERER", "http://h/?pwd=nope" } }, false },

		{ "127-byte password by pwd", { { "BOT_PASSWORD", p127 }, { "QUERY_STRING", "pwd=" + p127 } }, true },
		{ "127-byte password and junk by pwd",
		  { { "BOT_PASSWORD", p127 }, { "QUERY_STRING", "pwd=" + p127 + "junk" } }, false },
		{ "127-byte password and junk by referer",
		  { { "BOT_PASSWORD", p127 }, { "HTTP_REFERER", "http://h/?pwd=" + p127 + "junk" } }, false },
		{ "200-byte password by pwd", { { "BOT_PASSWORD", p200 }, { "QUERY_STRING", "pwd=" + p200 } }, true },
		{ "200-byte password by referer",
		  { { "BOT_PASSWORD", p200 }, { "HTTP_REFERER", "http://h/?pwd=" + p200 } }, true },
		{ "1024-byte password by pwd",
		  { { "BOT_PASSWORD", p1024 }, { "QUERY_STRING", "pwd=" + p1024 } }, false },
		{ "128-byte password by header", { { "BOT_PASSWORD", p128 }, { "HTTP_X_BOT_PASSWORD", p128 } }, true },
		{ "128-byte password by bearer",
		  { { "BOT_PASSWORD", p128 }, { "HTTP_AUTHORIZATION", "Bearer " + p128 } }, true },

		{ "leading spaces: bearer cannot",
		  { { "BOT_PASSWORD", "  lead" }, { "HTTP_AUTHORIZATION", "Bearer   lead" } }, false },
		{ "leading spaces: header can",
		  { { "BOT_PASSWORD", "  lead" }, { "HTTP_X_BOT_PASSWORD", "  lead" } }, true },
		{ "leading spaces: pwd can",
		  { { "BOT_PASSWORD", "  lead" }, { "QUERY_STRING", "pwd=++lead" } }, true },
	};
	for (const auto &r : rows) {
		env_map env = with(with(base_env(), { { "BOT_PASSWORD", PASSWORD } }), r.env);
		const auto got = run_plugin({}, env);
		EXPECT_EQ(got.status, 0) << r.what << ": " << describe(got);
		if (r.pass) {
			EXPECT_EQ(handler_of(got.out), "page") << r.what << ": " << describe(got);
		} else {
			EXPECT_EQ(got.out, UNAUTHORIZED) << r.what << ": " << describe(got);
		}
	}
}

TEST(E2eDispatch, HandlerChosenByActionThenFormat)
{
	struct row {
		std::optional<std::string> query;
		std::string want;
	};
	const std::vector<row> rows = {
		{ "action=sessions", "sessions" },
		{ "action=sess%69ons", "sessions" },
		{ "action=sessions%00tail", "sessions" },
		{ "action=sessions&format=json", "sessions" },
		{ "format=json&action=sessions", "sessions" },
		{ "action=sessions&action=metrics", "sessions" },
		{ "action=metrics", "metrics" },
		{ "format=json", "metrics" },
		{ "action=foo&format=json", "metrics" },
		{ "action=&format=json", "metrics" },
		{ "action=metrics&format=html", "metrics" },
		{ std::nullopt, "page" },
		{ "", "page" },
		{ "action=Sessions", "page" },
		{ "Action=sessions", "page" },
		{ "action=", "page" },
		{ "action", "page" },
		{ "action=sessions+", "page" },
		{ "format=JSON", "page" },
		{ "xaction=sessions", "page" },
	};
	for (const auto &r : rows) {
		env_map env = base_env();
		if (r.query)
			env["QUERY_STRING"] = *r.query;
		const auto got = run_plugin({}, env);
		const std::string where = r.query ? "'" + *r.query + "'" : "(no QUERY_STRING)";
		EXPECT_EQ(handler_of(got.out), r.want) << where << ": " << describe(got);
		EXPECT_EQ(got.status, 0) << where << ": " << describe(got);
	}
}

/* Every answer leaves as the bytes written: header lines end in CR LF, never
 * CR CR LF, and the header block ends in one empty line. */
TEST(E2eBytes, NoLineEndTranslation)
{
	const std::vector<env_map> requests = {
		{},
		{ { "QUERY_STRING", "action=sessions" } },
		{ { "QUERY_STRING", "action=metrics" } },
		{ { "BOT_PASSWORD", PASSWORD } },
	};
	for (const auto &req : requests) {
		const auto got = run_plugin({}, with(base_env(), req));
		const std::string what = describe(got);
		EXPECT_EQ(got.out.find("\r\r\n"), std::string::npos) << what;
		const auto end = got.out.find("\r\n\r\n");
		ASSERT_NE(end, std::string::npos) << what;
		for (size_t i = 1; i < end; i++) {
			if (got.out[i] == '\n') {
				EXPECT_EQ(got.out[i - 1], '\r') << what << " at " << i;
			}
		}
	}
	const auto meta = run_plugin({ "--meta" }, base_env());
	EXPECT_EQ(meta.out.find('\r'), std::string::npos);
}
