/*
 * The JSON string writer: whatever the text, its output is one JSON string
 * literal that reads back as the text without the dropped control bytes and
 * with each invalid UTF-8 sequence as U+FFFD, and a JSON parser accepts it.
 * Its length is what json_escaped_len says, and json_escape_text writes the
 * same bytes between the quotes.
 */
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz_input.h"
#include "util/util.h"

namespace {

/* The text as it must read back: control bytes other than LF, CR and TAB,
 * and DEL, are left out; a valid character stays, and every invalid
 * sequence (the longest part that begins a character, or one byte) becomes
 * one U+FFFD. */
std::string kept_text(const std::string &text)
{
	std::string k;
	std::size_t len;
	for (std::size_t at = 0; at < text.size(); at += len) {
		unsigned char c = static_cast<unsigned char>(text[at]);
		if (model_utf8_at(text, at, len) != 2)
			k += "\xef\xbf\xbd";
		else if (!((c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c == 0x7F))
			k += text.substr(at, len);
	}
	return k;
}

/* Reads a literal by the JSON grammar, limited to the escapes the writer
 * uses; false when it is not exactly one literal. */
bool read_literal(const std::string &lit, std::string &value)
{
	if (lit.size() < 2 || lit.front() != '"' || lit.back() != '"')
		return false;
	value.clear();
	for (std::size_t i = 1; i + 1 < lit.size(); i++) {
		unsigned char c = static_cast<unsigned char>(lit[i]);
		if (c < 0x20 || c == '"')
			return false;
		if (c != '\\') {
			value += static_cast<char>(c);
			continue;
		}
		if (i + 2 >= lit.size())
			return false;
		char e = lit[++i];
		if (e == '"' || e == '\\')
			value += e;
		else if (e == 'n')
			value += '\n';
		else if (e == 'r')
			value += '\r';
		else if (e == 't')
			value += '\t';
		else
			return false;
	}
	return true;
}

/* Well-formed UTF-8: shortest forms only, no surrogates, at most U+10FFFF. */
bool is_utf8(const std::string &s)
{
	for (std::size_t i = 0; i < s.size();) {
		unsigned char c = static_cast<unsigned char>(s[i]);
		std::size_t n;
		uint32_t cp;
		if (c < 0x80) {
			i++;
			continue;
		} else if (c >= 0xC2 && c <= 0xDF) {
			n = 1, cp = c & 0x1F;
		} else if (c >= 0xE0 && c <= 0xEF) {
			n = 2, cp = c & 0x0F;
		} else if (c >= 0xF0 && c <= 0xF4) {
			n = 3, cp = c & 0x07;
		} else {
			return false;
		}
		if (i + n >= s.size())
			return false;
		for (std::size_t k = 1; k <= n; k++) {
			unsigned char d = static_cast<unsigned char>(s[i + k]);
			if ((d & 0xC0) != 0x80)
				return false;
			cp = (cp << 6) | (d & 0x3F);
		}
		if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
		    (cp >= 0xD800 && cp <= 0xDFFF))
			return false;
		i += n + 1;
	}
	return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
	FuzzInput in(data, size);
	std::string text = c_part(in.rest());

	char *buf = nullptr;
	std::size_t len = 0;
	FILE *mem = open_memstream(&buf, &len);
	FUZZ_CHECK(mem != nullptr, "no memory stream");
	out_redirect(mem);
	json_print_str(text.c_str());
	out_redirect(nullptr);
	std::fclose(mem);
	std::string lit(buf, len);
	std::free(buf);

	std::string value;
	FUZZ_CHECK(read_literal(lit, value), "writer's output is not one JSON string literal");
	FUZZ_CHECK(value == kept_text(text), "literal does not read back as the model says");
	FUZZ_CHECK(is_utf8(value), "literal is not UTF-8");
	if (is_utf8(text)) {
		std::string bytes;
		for (unsigned char c : text)
			if (!((c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c == 0x7F))
				bytes += static_cast<char>(c);
		FUZZ_CHECK(value == bytes, "valid UTF-8 did not pass byte for byte");
	}
	nlohmann::json j = nlohmann::json::parse(lit, nullptr, false);
	FUZZ_CHECK(j.is_string() && j.get<std::string>() == value,
		   "a JSON parser does not read the literal back");
	FUZZ_CHECK(json_escaped_len(text.c_str()) + 2 == lit.size(),
		   "json_escaped_len disagrees with the writer");
	std::string inner(lit.size(), '\0');
	FUZZ_CHECK(json_escape_text(text.c_str(), &inner[0]) + 2 == lit.size() &&
			   inner.compare(0, lit.size() - 2, lit, 1, lit.size() - 2) == 0,
		   "json_escape_text writes other bytes than the writer");
	return 0;
}
