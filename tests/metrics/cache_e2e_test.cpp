/* The per-session metrics cache through the binary. */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "scenario.h"
#include "tools/tools.h"
#include "util/util.h"

using harness::json_header;
using harness::scenario;

namespace {

const std::string cache_file = "root/s1/sglang_metrics.json";

/* A session s1 on srv, and a cached document for it with a marker that
 * only the cache can have given. */
struct cache_scenario : scenario {
	cache_scenario()
	{
		use_root("root");
		session("root/s1", "http://srv:30000/v1/");
		metrics_prints("{\"url\":\"http://srv:30000\",\"probe\":\"new\"}");
	}
	void cached(const std::string &doc, int64_t age)
	{
		w.write(cache_file, doc);
		w.set_mtime(cache_file, -age);
	}
};

/* Asks for session s1 from `clients` requests at once and gives their
 * answers. They must share one companion run per 3-second expiry: exactly
 * one on POSIX, where the requests start together; Wine starts them slowly
 * enough to span expiries. */
std::vector<std::string> concurrent_gets(cache_scenario &s, int clients)
{
	std::vector<std::string> answers(clients);
	std::vector<std::thread> threads;
	const int64_t start = plat_clock_ms();
	for (int i = 0; i < clients; i++)
		threads.emplace_back([&, i] { answers[i] = s.get("action=metrics&id=s1").out; });
	for (auto &t : threads)
		t.join();
	const int64_t took_ms = plat_clock_ms() - start;
	if (plat_sep == '/')
		EXPECT_EQ(s.metrics_runs().size(), 1u);
	else
		EXPECT_LE(s.metrics_runs().size(), (size_t)(1 + took_ms / 3000));
	return answers;
}

const std::string cached_doc =
	"{\"url\":\"http://srv:30000\",\"probe\":\"old\",\"ok\":true,\"updated_epoch\":5,"
	"\"source\":\"session\",\"session\":\"s1\"}\n";

bool probed(const harness::run_result &r)
{
	return r.out.find("\"probe\":\"new\"") != std::string::npos;
}

} // namespace

TEST(MetricsCache, ServedWhileFreshAndForTheSameServer)
{
	cache_scenario s;
	/* Two seconds old: a clock tick during the run leaves it fresh. The
	 * exact limit is checked on its own. */
	s.cached(cached_doc, 2);
	EXPECT_EQ(s.get("action=metrics&id=s1").out, json_header + cached_doc);
	EXPECT_TRUE(s.metrics_runs().empty()) << "a hit starts no companion";
	EXPECT_TRUE(s.tmux_runs().empty());

	s.cached(cached_doc, -1);
	EXPECT_EQ(s.get("action=metrics&id=s1&fresh=true").out, json_header + cached_doc)
		<< "a second ahead of the clock is fresh; fresh other than 1 changes nothing";
	EXPECT_EQ(s.get("action=metrics&id=s1&fresh=01").out, json_header + cached_doc);

	/* Without its final newline the file is answered with one. */
	s.cached(cached_doc.substr(0, cached_doc.size() - 1), 0);
	EXPECT_EQ(s.get("action=metrics&id=s1").out, json_header + cached_doc);
	EXPECT_EQ(s.w.read(cache_file), cached_doc.substr(0, cached_doc.size() - 1));
	EXPECT_TRUE(s.metrics_runs().empty());
}

TEST(MetricsCache, MissesProbeAndReplaceTheFile)
{
	cache_scenario s;
	struct {
		std::string doc;
		int64_t age;
		const char *why;
	} misses[] = {
		{cached_doc, 4, "four seconds old"},
		{cached_doc, -3600, "an hour ahead of the clock"},
		{"", 0, "empty"},
		{"{}", 0, "two bytes"},
		{"{\"probe\":\"old\"}", 0, "no url"},
		{"{\"url\":\"http://srv:30000/v1\",\"probe\":\"old\"}", 0, "url keeps /v1"},
		{"{\"url\":\"http://other:1\",\"probe\":\"old\"}", 0, "another server"},
	};
	for (const auto &m : misses) {
		s.cached(m.doc, m.age);
		auto r = s.get("action=metrics&id=s1");
		EXPECT_TRUE(probed(r)) << m.why;
		EXPECT_EQ(s.w.read(cache_file), r.out.substr(json_header.size())) << m.why;
	}
	/* fresh=1 skips a valid file, and the new document replaces it. */
	s.cached(cached_doc, 0);
	auto r = s.get("action=metrics&id=s1&fresh=1");
	EXPECT_TRUE(probed(r));
	EXPECT_EQ(s.w.read(cache_file), r.out.substr(json_header.size()));
	EXPECT_EQ(s.metrics_runs().size(), 8u);
}

TEST(MetricsCache, FailedProbeLeavesTheFile)
{
	cache_scenario s;
	s.cached(cached_doc, 100);
	s.metrics_prints("{\"url\":\"http://srv:30000\"}", 1);
	auto r = s.get("action=metrics&id=s1");
	EXPECT_NE(r.out.find("502 Bad Gateway"), std::string::npos);
	EXPECT_EQ(s.w.read(cache_file), cached_doc);
}

TEST(MetricsCache, SharedByNamesOfOneDirectory)
{
	cache_scenario s;
	s.w.write("wt/.quorvane/sessions/s1/meta.json", "{}");
	s.tmux_prints("{\"sessions\":[{\"name\":\"my-bot\",\"worktree\":\"" +
		      harness::json_text(s.p("wt")) + "\"}]}");
	s.session("wt/.quorvane/sessions/s1", "http://srv:30000");
	auto first = s.get("action=metrics&id=my-bot");
	EXPECT_TRUE(probed(first));
	auto second = s.get("action=metrics&id=bot");
	EXPECT_EQ(second.out, first.out) << "the second name is served from the same file";
	EXPECT_EQ(s.metrics_runs().size(), 1u);
	EXPECT_TRUE(s.w.exists("wt/.quorvane/sessions/s1/sglang_metrics.json"));
}

TEST(MetricsCache, ConcurrentStoresNeverShowAPartialFile)
{
	cache_scenario s;
	/* A large document takes many writes, so a reader would catch a
	 * partly written file if one were ever in place. */
	std::string big = "{\"url\":\"http://srv:30000\",\"probe\":\"new\",\"pad\":\"" +
			  std::string(2 << 20, 'p') + "\"}";
	s.metrics_prints(big);
	std::atomic<bool> done{false};
	std::atomic<int> reads{0}, torn{0};
	std::thread reader([&] {
		while (!done) {
			std::string doc;
			try {
				doc = s.w.read(cache_file);
			} catch (...) {
				continue; /* not there yet, or being replaced on Windows */
			}
			reads++;
			if (doc.size() < big.size() || doc.compare(0, big.size() - 1, big, 0,
								     big.size() - 1) != 0 ||
			    doc.substr(doc.size() - 2) != "}\n")
				torn++;
		}
	});
	std::vector<std::thread> clients;
	std::atomic<int> bad_answers{0};
	for (int c = 0; c < 4; c++)
		clients.emplace_back([&, c] {
			for (int i = 0; i < 6; i++) {
				auto r = s.get((i + c) % 2 ? "action=metrics&id=s1&fresh=1"
							   : "action=metrics&id=s1");
				if (r.out.rfind(json_header + big.substr(0, big.size() - 1), 0) != 0)
					bad_answers++;
			}
		});
	for (auto &t : clients)
		t.join();
	done = true;
	reader.join();
	EXPECT_EQ(bad_answers, 0);
	EXPECT_EQ(torn, 0) << "of " << reads << " reads";
	EXPECT_GT(reads, 0);
	/* No temporary file stays behind. */
	EXPECT_EQ(harness::folder_names(s.p("root/s1")).size(), 2u) << "snapshot and cache only";
}

/* A cache file that is a link is never followed: the request probes, and
 * the store replaces the link, not what it points to. A FIFO dated ahead
 * of the clock no longer hangs every request of the session. */
TEST(MetricsCache, LinksAndFifosAreMisses)
{
	if (plat_sep != '/')
		GTEST_SKIP() << "links and FIFOs are made on POSIX only";
	cache_scenario s;
	s.w.write("secret.json", cached_doc);
	std::filesystem::create_symlink(s.p("secret.json"), s.p(cache_file));
	auto r = s.get("action=metrics&id=s1");
	EXPECT_TRUE(probed(r)) << harness::describe(r);
	EXPECT_FALSE(std::filesystem::is_symlink(s.p(cache_file)));
	EXPECT_EQ(s.w.read(cache_file), r.out.substr(json_header.size()));
	EXPECT_EQ(s.w.read("secret.json"), cached_doc);

	std::filesystem::remove(s.p(cache_file));
	ASSERT_EQ(std::system(("mkfifo '" + s.p(cache_file) + "'").c_str()), 0);
	s.w.set_mtime(cache_file, 3600);
	for (int i = 0; i < 2; i++) {
		r = s.get("action=metrics&id=s1");
		EXPECT_FALSE(r.timed_out);
		EXPECT_TRUE(probed(r)) << harness::describe(r);
	}
	EXPECT_EQ(s.w.read(cache_file), r.out.substr(json_header.size())) << "healed by the store";
	EXPECT_EQ(s.metrics_runs().size(), 2u) << "the second request was a hit";
}

/* A cache file longer than the file reader is sure to return whole is a
 * miss: it could be served cut off. The longest that is sure to come back
 * whole is served. */
TEST(MetricsCache, FileTooLongToReadWholeIsAMiss)
{
	cache_scenario s;
	const std::string doc = cached_doc.substr(0, cached_doc.size() - 2) + ",\"pad\":\"" +
				std::string(READ_FILE_WHOLE_MAX - cached_doc.size() - 9, 'q') +
				"\"}\n";
	ASSERT_EQ(doc.size(), READ_FILE_WHOLE_MAX);
	s.cached(doc, 0);
	auto r = s.get("action=metrics&id=s1");
	EXPECT_EQ(r.out.size(), json_header.size() + doc.size());
	EXPECT_TRUE(r.out == json_header + doc) << "served whole";
	s.cached(doc.substr(0, doc.size() - 1) + " \n", 0);
	EXPECT_TRUE(probed(s.get("action=metrics&id=s1"))) << "one byte longer: a miss";
}

namespace {

const std::vector<std::string> snapshot_and_cache = { "config-snapshot.txt",
						      "sglang_metrics.json" };

} // namespace

/* Many requests that find the cache stale at once run the companion once:
 * the first takes the lock beside the cache file, the others wait for the
 * fresh file and answer from it. Every answer is whole, and the lock is gone
 * afterwards. The companion takes a while, so that requests that start late
 * still find the lock or a fresh file. Under the emulator fifty process
 * starts can take longer than that and one expiry, so there the later ones
 * may rightly start another probe: it checks that no more probes ran than
 * one per 3-second expiry of the time the requests took. */
TEST(MetricsCache, OneProbePerExpiry)
{
	cache_scenario s;
	s.cached(cached_doc, 100);
	s.env["FAKE_METRICS_SLEEP_MS"] = "5000";
	const int clients = 50;
	const std::vector<std::string> answers = concurrent_gets(s, clients);
	const std::string head = json_header + "{\"url\":\"http://srv:30000\",\"probe\":\"new\","
						 "\"ok\":true,\"updated_epoch\":";
	const std::string tail = ",\"source\":\"session\",\"session\":\"s1\"}\n";
	int whole = 0;
	for (const auto &a : answers)
		whole += a.rfind(head, 0) == 0 && a.size() > head.size() + tail.size() &&
			 a.compare(a.size() - tail.size(), tail.size(), tail) == 0;
	EXPECT_EQ(whole, clients) << answers[0];
	EXPECT_NE(std::find(answers.begin(), answers.end(), json_header + s.w.read(cache_file)),
		  answers.end());
	EXPECT_EQ(harness::folder_names(s.p("root/s1")), snapshot_and_cache);
}

/* The lock never outlives its probe, whatever the outcome; fresh=1 probes
 * at once although another process holds the lock; and a lock left by a
 * process that died is taken over once it is older than the companion's
 * bound. */
TEST(MetricsCache, LockLifetime)
{
	cache_scenario s;
	const std::string lock = cache_file + ".lock";
	s.metrics_prints("{\"url\":\"http://srv:30000\"}", 1);
	EXPECT_NE(s.get("action=metrics&id=s1").out.find("502 Bad Gateway"), std::string::npos);
	EXPECT_EQ(harness::folder_names(s.p("root/s1")),
		  (std::vector<std::string>{ "config-snapshot.txt", "sglang_metrics.json.failed" }));

	s.metrics_prints("{\"url\":\"http://srv:30000\",\"probe\":\"new\"}");
	s.w.write(lock, "");
	EXPECT_TRUE(probed(s.get("action=metrics&id=s1&fresh=1")));
	EXPECT_TRUE(s.w.exists(lock)) << "another's lock is left alone";

	s.cached(cached_doc, 100);
	s.w.set_mtime(lock, -60);
	auto r = s.get("action=metrics&id=s1");
	EXPECT_TRUE(probed(r)) << harness::describe(r);
	EXPECT_EQ(harness::folder_names(s.p("root/s1")), snapshot_and_cache);
	EXPECT_EQ(s.metrics_runs().size(), 3u);
}

/* Something planted in the lock's place never holds a request back for the
 * companion's bound: a folder or a link is left where it is and the request
 * probes at once; a lock dated ahead of the clock is taken over. The run's
 * bound, well below the companion's, tells a request that waited. */
TEST(MetricsCache, PlantedLocksCostNoWait)
{
	cache_scenario s;
	const std::string lock = cache_file + ".lock";
	auto get = [&s]() {
		harness::env_map e = s.env;
		e["QUERY_STRING"] = "action=metrics&id=s1";
		e["GATEWAY_INTERFACE"] = "CGI/1.1";
		e["REQUEST_METHOD"] = "GET";
		return harness::run_plugin({}, e, METRICS_TIMEOUT_MS / 2);
	};
	s.w.mkdir(lock);
	s.cached(cached_doc, 100);
	auto r = get();
	EXPECT_TRUE(probed(r)) << "a folder: " << harness::describe(r);
	EXPECT_TRUE(std::filesystem::is_directory(s.p(lock)));
	std::filesystem::remove(s.p(lock));

	s.w.write(lock, "");
	s.w.set_mtime(lock, 3600);
	s.cached(cached_doc, 100);
	r = get();
	EXPECT_TRUE(probed(r)) << "dated ahead: " << harness::describe(r);
	EXPECT_FALSE(s.w.exists(lock)) << "taken over and let go";

	if (plat_sep == '/') {
		s.w.write("touched", "");
		std::filesystem::create_symlink(s.p("touched"), s.p(lock));
		s.cached(cached_doc, 100);
		r = get();
		EXPECT_TRUE(probed(r)) << "a link: " << harness::describe(r);
		EXPECT_TRUE(std::filesystem::is_symlink(s.p(lock)));
	}
}

/* Requests that wait on a probe that fails take its outcome, the very same
 * answer, and so does every request of that expiry: one companion run, not
 * one per request. The failure is never served once stale nor for another
 * server, and a success replaces it. */
TEST(MetricsCache, OneFailedProbePerExpiry)
{
	cache_scenario s;
	s.cached(cached_doc, 100);
	s.metrics_prints("{\"url\":\"http://srv:30000\",\"error\":\"cannot reach the server\"}", 1);
	s.env["FAKE_METRICS_SLEEP_MS"] = "2000";
	const int clients = 30;
	const std::vector<std::string> answers = concurrent_gets(s, clients);
	const std::string failed =
		"Status: 502 Bad Gateway\r\n" + json_header +
		"{\"ok\":false,\"error\":\"no SGLang metrics at this URL (not SGLang, unreachable, "
		"or API-key gated)\",\"url\":\"http://srv:30000/v1/\",\"detail\":\"cannot reach the "
		"server\"}\n";
	EXPECT_EQ(std::count(answers.begin(), answers.end(), failed), clients) << answers[0];
	EXPECT_EQ(s.w.read(cache_file), cached_doc) << "the cache stays as it was";

	s.env.erase("FAKE_METRICS_SLEEP_MS");
	const size_t runs = s.metrics_runs().size();
	s.w.set_mtime(cache_file + ".failed", -4);
	EXPECT_EQ(s.get("action=metrics&id=s1").out, failed) << "stale: probed anew";
	EXPECT_EQ(s.metrics_runs().size(), runs + 1);
	s.session("root/s1", "http://other:1");
	EXPECT_NE(s.get("action=metrics&id=s1").out.find("http://other:1"), std::string::npos);
	EXPECT_EQ(s.metrics_runs().size(), runs + 2) << "another server: probed";
	s.session("root/s1", "http://srv:30000/v1/");
	s.metrics_prints("{\"url\":\"http://srv:30000\",\"probe\":\"new\"}");
	EXPECT_TRUE(probed(s.get("action=metrics&id=s1&fresh=1")));
	EXPECT_EQ(harness::folder_names(s.p("root/s1")), snapshot_and_cache);
}

/* The cache file, and the failed answer beside it, may hold a URL with
 * credentials: only their owner may read them. Windows files take their
 * folder's permissions instead. */
TEST(MetricsCache, FilesReadableByTheOwnerOnly)
{
	if (plat_sep != '/')
		GTEST_SKIP() << "POSIX permissions";
	cache_scenario s;
	namespace fs = std::filesystem;
	const auto others = fs::perms::group_all | fs::perms::others_all;
	s.metrics_prints("{\"url\":\"http://srv:30000\"}", 1);
	s.get("action=metrics&id=s1");
	EXPECT_EQ(fs::status(s.p(cache_file + ".failed")).permissions() & others, fs::perms::none);
	s.metrics_prints("{\"url\":\"http://srv:30000\",\"probe\":\"new\"}");
	EXPECT_TRUE(probed(s.get("action=metrics&id=s1&fresh=1")));
	EXPECT_EQ(fs::status(s.p(cache_file)).permissions() & others, fs::perms::none);
}

/* A host that stops the plug-in in the middle of a probe (the polite stop
 * signal) takes the companion and the lock with it, so the next request
 * probes at once instead of waiting out the companion's bound. Windows has
 * no such signal. */
TEST(MetricsCache, StoppedProbeTakesItsLockWithIt)
{
	if (plat_sep == '\\')
		GTEST_SKIP() << "no stop signal on Windows";
	cache_scenario s;
	const std::string lock = cache_file + ".lock";
	s.cached(cached_doc, 100);
	harness::env_map slow = s.env;
	slow["FAKE_METRICS_SLEEP_MS"] = "600000";
	slow["FAKE_METRICS_BEAT"] = s.p("beat");
	slow["QUERY_STRING"] = "action=metrics&id=s1";
	slow["GATEWAY_INTERFACE"] = "CGI/1.1";
	slow["REQUEST_METHOD"] = "GET";
	harness::running plugin(harness::plugin_path(), {}, slow);
	for (int i = 0; i < 400 && !s.w.exists("beat"); i++)
		harness::sleep_ms(25);
	ASSERT_TRUE(s.w.exists("beat")) << "the companion never started";
	EXPECT_TRUE(s.w.exists(lock));
	plugin.end(false);
	plugin.finish();
	EXPECT_FALSE(s.w.exists(lock)) << "a stopped plug-in left its lock";

	const int64_t t0 = plat_clock_ms();
	auto r = s.get("action=metrics&id=s1");
	EXPECT_TRUE(probed(r)) << harness::describe(r);
	std::printf("the request after the stop took %lld ms\n", (long long)(plat_clock_ms() - t0));
}
