/*
 * The JSON string-field extractor against a model that looks only inside
 * the range it is given: the first "key" wholly inside the range that is
 * followed by a colon and a quoted value gives that value.
 */
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "util/util.h"

namespace {

bool blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

/* The extractor's rules on a range without zero bytes. */
bool model_extract(const std::string &range, const std::string &key, std::size_t cap,
		   std::string &value)
{
	const std::string pattern = "\"" + key + "\"";
	value.clear();
	std::size_t pos = 0;
	for (;;) {
		std::size_t hit = range.find(pattern, pos);
		if (hit == std::string::npos)
			return false;
		pos = hit + pattern.size();
		std::size_t p = pos;
		while (p < range.size() && blank(range[p]))
			p++;
		if (p >= range.size())
			return false;
		if (range[p] != ':')
			continue;
		for (p++; p < range.size() && blank(range[p]); p++) {
		}
		if (p >= range.size())
			return false;
		if (range[p] != '"')
			continue;
		for (p++; p < range.size() && range[p] != '"' && value.size() + 1 < cap;) {
			if (range[p] != '\\' || p + 1 >= range.size()) {
				value += range[p++];
				continue;
			}
			char e = range[p + 1];
			value += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
			p += 2;
		}
		/* A value cut at the capacity ends between characters. */
		if (p < range.size() && range[p] != '"')
			value = model_cut_end(value);
		return true;
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
	FuzzInput in(data, size);
	std::size_t cap = 1 + in.byte() % 200;
	unsigned cut = in.byte();
	/* Keys are at most 125 bytes and hold no zero byte. */
	std::string key = c_part(in.field('\n')).substr(0, 125);
	std::string text = in.rest();

	/* The range ends cut/255 of the way in; the text after it, up to its
	 * terminator, is there to be (wrongly) read. */
	std::size_t len = text.size() * cut / 255;
	char *buf = static_cast<char *>(std::malloc(text.size() + 1));
	std::memcpy(buf, text.data(), text.size());
	buf[text.size()] = '\0';
	char *out = static_cast<char *>(std::malloc(cap + 1));
	std::memset(out, 'Z', cap + 1);

	int got = json_extract_str_after(buf, buf + len, key.c_str(), out, cap);
	FUZZ_CHECK(out[cap] == 'Z', "extractor wrote past its capacity");
	FUZZ_CHECK(std::memchr(out, '\0', cap) != nullptr, "extractor left its value unterminated");
	FUZZ_CHECK(got == 1 || out[0] == '\0', "extractor found nothing but left a value");

	/* A zero byte inside the range ends the search in one version of the
	 * extractor and not in another: compare only ranges without one. */
	std::string range(buf, len);
	if (range.find('\0') == std::string::npos && len > 0) {
		std::string want;
		bool found = model_extract(range, key, cap, want);
		FUZZ_CHECK(got == (found ? 1 : 0), "extractor disagrees about the key's presence");
		FUZZ_CHECK(want == out, "extractor copied another value than the model");
	}
	std::free(out);
	std::free(buf);
	return 0;
}
