/* The response writer: the escape table, long texts, error answers and header blocks. */
#include <gtest/gtest.h>

#include <string>

#include "capture.h"

static std::string json_str(const std::string &text)
{
	return capture_output([&] { json_print_str(text.c_str()); });
}

TEST(JsonPrintStr, EscapeTable)
{
	EXPECT_EQ(json_str("a\"b\\c"), "\"a\\\"b\\\\c\"");
	EXPECT_EQ(json_str("t\tn\nr\r"), "\"t\\tn\\nr\\r\"");
	/* Other control bytes and DEL are dropped with nothing in their place. */
	EXPECT_EQ(json_str("a\x01" "b\x1b" "c\x7f" "d\x08\x0b\x0c\x1f"), "\"abcd\"");
	/* Valid UTF-8 passes unchanged; '/' is not escaped. */
	EXPECT_EQ(json_str("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80/x"),
		  "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80/x\"");
	EXPECT_EQ(capture_output([] { json_print_str(nullptr); }), "\"\"");
}

TEST(JsonPrintStr, InvalidUtf8BecomesReplacementCharacters)
{
	const std::string R = "\xef\xbf\xbd";
	const struct {
		const char *text;
		std::string want;
	} rows[] = {
		{ "\xff\xfe", R + R },
		{ "a\x80" "b", "a" + R + "b" },
		{ "\xc3", R },                        /* cut after the lead */
		{ "\xe2\x82(", R + "(" },              /* one for the whole beginning */
		{ "\xf0\x9f\x98", R },
		{ "\xc0\xaf", R + R },                 /* overlong */
		{ "\xed\xa0\x80", R + R + R },         /* a surrogate */
		{ "\xf4\x90\x80\x80", R + R + R + R }, /* past U+10FFFF */
		{ "\xf5\xbf", R + R },
	};
	for (const auto &r : rows) {
		EXPECT_EQ(json_str(r.text), "\"" + r.want + "\"") << r.text;
		EXPECT_EQ(json_escaped_len(r.text), r.want.size()) << r.text;
	}
	char out[16];
	EXPECT_EQ(json_escape_text("\"\xff", out), 5u);
	EXPECT_EQ(std::string(out, 5), "\\\"" + R);
}

TEST(JsonPrintStr, LongTextCrossesInternalBuffer)
{
	std::string text(5000, 'a');
	for (size_t i = 0; i < text.size(); i += 7)
		text[i] = '"';
	std::string want = "\"";
	for (char c : text)
		want += c == '"' ? std::string("\\\"") : std::string(1, c);
	want += "\"";
	EXPECT_EQ(json_str(text), want);

	/* Characters of several bytes are never split across two writes. */
	std::string euros;
	for (int i = 0; i < 3000; i++)
		euros += "\xe2\x82\xac";
	EXPECT_EQ(json_str(euros + "\xe2\x82"), "\"" + euros + "\xef\xbf\xbd\"");
}

TEST(ReplyJsonErr, Forms)
{
	EXPECT_EQ(capture_output([] {
			  reply_json_err("404 Not Found", "session not found on this node", nullptr);
		  }),
		  "Status: 404 Not Found\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
		  "{\"ok\":false,\"error\":\"session not found on this node\"}\n");
	EXPECT_EQ(capture_output([] { reply_json_err("502 Bad Gateway", "x", "http://h/\"q"); }),
		  "Status: 502 Bad Gateway\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
		  "{\"ok\":false,\"error\":\"x\",\"url\":\"http://h/\\\"q\"}\n");
	/* An empty URL gives no url member; an absent message an empty error. */
	EXPECT_EQ(capture_output([] { reply_json_err("400 Bad Request", nullptr, ""); }),
		  "Status: 400 Bad Request\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
		  "{\"ok\":false,\"error\":\"\"}\n");
}

TEST(OutHeader, BlocksOfEachKind)
{
	EXPECT_EQ(capture_output([] { out_header(nullptr, OUT_JSON); }),
		  "Content-Type: application/json; charset=utf-8\r\n\r\n");
	EXPECT_EQ(capture_output([] { out_header("401 Unauthorized", OUT_JSON); }),
		  "Status: 401 Unauthorized\r\nContent-Type: application/json; charset=utf-8\r\n\r\n");
	EXPECT_EQ(capture_output([] { out_header(nullptr, OUT_HTML); }),
		  "Content-Type: text/html; charset=utf-8\r\n"
		  "Cache-Control: no-cache, no-store, must-revalidate\r\n\r\n");
}

TEST(JsonEscapedLen, CountsWhatThePrinterWrites)
{
	/* Every byte value, alone and in a run: the count is what the printer
	 * writes between the quotes, so a buffer sized by it is never short. */
	for (int c = 1; c < 256; c++) {
		const std::string text = std::string(3, (char)c) + "x";
		EXPECT_EQ(json_escaped_len(text.c_str()) + 2, json_str(text).size()) << "byte " << c;
	}
	EXPECT_EQ(json_escaped_len(""), 0u);
	EXPECT_EQ(json_escaped_len(nullptr), 0u);
}
