/*
 * The environment-snapshot reader against a model of its line rules: lines
 * are read in pieces of 2047 bytes and only a line's first piece counts;
 * "export " may come first; a value is trimmed and loses one pair of
 * matching quotes; the last non-empty assignment wins.
 */
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "util/util.h"

namespace {

/* The bytes of a line's first piece as the reader takes them. */
constexpr std::size_t kPiece = 2047;

bool model_line(std::string line, const std::string &key, std::string &value)
{
	std::size_t p = line.find_first_not_of(" \t");
	if (p == std::string::npos)
		return false;
	if (line[p] == '\n' || line[p] == '\r' || line[p] == '#')
		return false;
	if (line.compare(p, 7, "export ") == 0) {
		p += 7;
		while (p < line.size() && (line[p] == ' ' || line[p] == '\t'))
			p++;
	}
	if (line.compare(p, key.size(), key) != 0 || p + key.size() >= line.size() ||
	    line[p + key.size()] != '=')
		return false;
	p += key.size() + 1;
	while (p < line.size() && (line[p] == ' ' || line[p] == '\t'))
		p++;
	std::string v = line.substr(p);
	while (!v.empty() && std::strchr(" \t\r\n", v.back()) != nullptr)
		v.pop_back();
	if (v.empty())
		return false;
	if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) {
		v = v.substr(1, v.size() - 2);
		if (v.empty())
			return false;
	}
	value = v;
	return true;
}

bool model_snapshot(const std::string &content, const std::string &key, std::size_t cap,
		    std::string &value)
{
	bool found = false;
	value.clear();
	for (std::size_t start = 0; start < content.size();) {
		std::size_t nl = content.find('\n', start);
		std::size_t end = nl == std::string::npos ? content.size() : nl + 1;
		std::string v;
		if (model_line(content.substr(start, std::min(end - start, kPiece)), key, v)) {
			/* A value that does not fit is cut between characters. */
			value = v.size() < cap ? v : model_cut_end(v.substr(0, cap - 1));
			found = true;
		}
		start = end;
	}
	return found;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
	static ScratchFile file;
	FuzzInput in(data, size);
	unsigned c = in.byte();
	std::size_t cap = c < 200 ? 1 + c : 1 + (c - 200) * 60;
	std::string key = c_part(in.field('\n'));
	std::string content = in.rest();

	file.write(content);
	char *out = static_cast<char *>(std::malloc(cap + 1));
	std::memset(out, 'Z', cap + 1);
	int got = snapshot_get(file.path().c_str(), key.c_str(), out, cap);
	FUZZ_CHECK(out[cap] == 'Z', "reader wrote past its capacity");
	FUZZ_CHECK(std::memchr(out, '\0', cap) != nullptr, "reader left its value unterminated");
	FUZZ_CHECK(got == 1 || out[0] == '\0', "reader found nothing but left a value");

	/* A zero byte cuts a piece short in the line reader: such files are
	 * only run, not compared. */
	if (!key.empty() && content.find('\0') == std::string::npos) {
		std::string want;
		bool found = model_snapshot(content, key, cap, want);
		FUZZ_CHECK(got == (found ? 1 : 0), "reader disagrees about the key's presence");
		FUZZ_CHECK(want == out, "reader gave another value than the model");
	}
	std::free(out);
	return 0;
}
