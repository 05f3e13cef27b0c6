#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "page/page.h"

static const char header[] =
	"Content-Type: text/html; charset=utf-8\r\n"
	"Cache-Control: no-cache, no-store, must-revalidate\r\n\r\n";

static std::string read_source(const std::string &name)
{
	std::string path = std::string(QV_PAGE_SRC_DIR) + "/" + name;
	std::string text;
	FILE *fp = fopen(path.c_str(), "rb");
	char buf[4096];
	size_t n;

	if (fp == nullptr) {
		ADD_FAILURE() << "cannot open " << path;
		return text;
	}
	while ((n = fread(buf, 1, sizeof(buf), fp)) > 0)
		text.append(buf, n);
	fclose(fp);
	return text;
}

/* The text of a source as it goes into the document: without its final
 * newline. */
static std::string inlined(const std::string &name)
{
	std::string text = read_source(name);
	if (!text.empty() && text.back() == '\n')
		text.pop_back();
	return text;
}

/* Replaces every prefix NAME suffix with before, the text of NAME, after. */
static std::string inline_refs(const std::string &doc, const std::string &prefix,
			       const std::string &suffix, const std::string &before,
			       const std::string &after)
{
	std::string out;
	size_t pos = 0, at;

	while ((at = doc.find(prefix, pos)) != std::string::npos) {
		size_t name_at = at + prefix.size();
		size_t end = doc.find(suffix, name_at);
		if (end == std::string::npos) {
			ADD_FAILURE() << "unterminated " << prefix;
			break;
		}
		out += doc.substr(pos, at - pos) + before +
		       inlined(doc.substr(name_at, end - name_at)) + after;
		pos = end + suffix.size();
	}
	return out + doc.substr(pos);
}

static std::string embedded()
{
	return std::string(page_response, page_response_len);
}

TEST(PageEmbed, ResponseIsHeaderAndAssembledSources)
{
	std::string doc = read_source("monitor.html");
	doc = inline_refs(doc, "<script src='", "'></script>", "<script>", "</script>");
	doc = inline_refs(doc, "@import url(", ");", "", "");
	EXPECT_TRUE(embedded() == header + doc)
		<< "the embedded page differs from the sources; rebuild";
	EXPECT_EQ(memchr(page_response, 0, page_response_len), nullptr);
}

/* The fixed parts of the document, in their order, and nothing else loaded
 * from outside it. */
TEST(PageEmbed, DocumentStructure)
{
	std::string page = embedded();
	const char *parts[] = {
		header,
		"<!DOCTYPE html><html lang='en'><head>\n<meta charset='utf-8'>\n"
		"<meta name='viewport' content='width=device-width,initial-scale=1'>\n",
		"<title>SGLang Monitor \xc2\xb7 QUORVANE BOT</title>",
		"<script>",
		"<style>",
		"</style></head><body>\n<div class='wrap'>",
		"<div class='card' id='card'><div class='sg-msg'>Connecting&#8230;</div></div>",
		"</div>\n<script>",
		"</script>\n<script>",
		"</script>\n</body></html>\n",
	};
	size_t pos = 0;
	for (const char *part : parts) {
		size_t at = page.find(part, pos);
		ASSERT_NE(at, std::string::npos) << "missing or out of order: " << part;
		pos = at + strlen(part);
	}
	EXPECT_EQ(pos, page.size());

	size_t scripts = 0, styles = 0, at = 0;
	while ((at = page.find("<script", at)) != std::string::npos)
		scripts++, at++;
	at = 0;
	while ((at = page.find("<style", at)) != std::string::npos)
		styles++, at++;
	EXPECT_EQ(scripts, 3u);
	EXPECT_EQ(styles, 1u);
	EXPECT_EQ(page.find(" src="), std::string::npos);
	EXPECT_EQ(page.find("@import"), std::string::npos);

	/* Plain ASCII apart from the title's middle dot. */
	size_t dot = page.find("\xc2\xb7");
	for (size_t i = 0; i < page.size(); i++) {
		if (i == dot || i == dot + 1)
			continue;
		ASSERT_LT((unsigned char)page[i], 0x80u) << "byte " << i;
	}
}
