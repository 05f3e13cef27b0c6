/* The embedded monitor page: the assembled document, its header, its structure. */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "page/page.h"
#include "util/capture.h"

static const char header[] =
	"Content-Type: text/html; charset=utf-8\r\n"
	"Cache-Control: no-cache, no-store, must-revalidate\r\n\r\n";

/* The whole content of a file, or empty with a failure noted. */
static std::string read_file(const std::string &path)
{
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

static std::string embedded()
{
	return std::string(page_document, page_document_len);
}

TEST(PageEmbed, DocumentIsTheAssembledFileAndGoesOutAfterTheHeader)
{
	EXPECT_TRUE(embedded() == read_file(QV_PAGE_DOC))
		<< "the embedded page differs from the assembled document; rebuild";
	EXPECT_EQ(memchr(page_document, 0, page_document_len), nullptr);
	EXPECT_TRUE(capture_output([] { page_write(); }) == header + embedded());

	/* Every script and style sheet of the source folder is in the
	 * document, less its final newline. */
	size_t sources = 0;
	for (const auto &entry : std::filesystem::directory_iterator(QV_PAGE_SRC_DIR)) {
		std::string name = entry.path().filename().string();
		if (entry.path().extension() != ".js" && entry.path().extension() != ".css")
			continue;
		std::string text = read_file(entry.path().string());
		if (!text.empty() && text.back() == '\n')
			text.pop_back();
		EXPECT_NE(embedded().find(text), std::string::npos) << name;
		sources++;
	}
	EXPECT_GE(sources, 5u);
}

/* The fixed parts of the document, in their order, and nothing else loaded
 * from outside it. */
TEST(PageEmbed, DocumentStructure)
{
	std::string page = embedded();
	const char *parts[] = {
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
