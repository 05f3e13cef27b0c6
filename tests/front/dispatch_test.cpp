/* The choice of handler from action and format, and when only the description is asked for. */
#include <gtest/gtest.h>

#include "front/front.h"
#include "platform/platform.h"

TEST(RouteRequest, Table)
{
	struct {
		const char *action;
		const char *format;
		handler want;
	} rows[] = {
		{"sessions", "", HANDLER_SESSIONS},  {"sessions", "json", HANDLER_SESSIONS},
		{"metrics", "", HANDLER_METRICS},    {"", "json", HANDLER_METRICS},
		{"foo", "json", HANDLER_METRICS},    {"", "", HANDLER_PAGE},
		{"Sessions", "", HANDLER_PAGE},      {"metrics ", "", HANDLER_PAGE},
		{"foo", "JSON", HANDLER_PAGE},      {"targets", "json", HANDLER_TARGETS},
		{"Targets", "", HANDLER_PAGE},
	};
	for (const auto &r : rows)
		EXPECT_EQ(route_request(r.action, r.format), r.want) << r.action << "/" << r.format;
}

TEST(WantsMeta, ArgumentAndVariable)
{
	char prog[] = "plugin", meta[] = "--meta", other[] = "--metadata";
	char *with_meta[] = {prog, meta, nullptr};
	char *second[] = {prog, other, meta, nullptr};
	char *none[] = {prog, nullptr};

	plat_setenv("QV_PLUGIN_META", nullptr);
	EXPECT_EQ(wants_meta(2, with_meta), 1);
	EXPECT_EQ(wants_meta(3, second), 0);
	EXPECT_EQ(wants_meta(1, none), 0);
	/* Only presence counts (the empty value is checked through the binary:
	 * Windows cannot set an empty variable in-process). */
	plat_setenv("QV_PLUGIN_META", "0");
	EXPECT_EQ(wants_meta(1, none), 1);
	plat_setenv("QV_PLUGIN_META", nullptr);
}
