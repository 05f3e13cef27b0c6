/*
 * safe_id and url_ok against the plain wording of their rules.
 */
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "util/util.h"

namespace {

bool alnum(unsigned char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool only(const std::string &s, const char *extra)
{
	for (unsigned char c : s)
		if (!alnum(c) && std::strchr(extra, c) == nullptr)
			return false;
	return true;
}

bool model_safe_id(const std::string &id)
{
	return !id.empty() && id != "." && id.size() <= 160 && only(id, "-.:_") &&
	       id.find("..") == std::string::npos;
}

bool model_url_ok(const std::string &url)
{
	return (url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0) &&
	       url.size() <= 512 && only(url, ":/.-_~%?&#=+@,");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
	FuzzInput in(data, size);
	/* The first byte may put a scheme in front, so that long URLs are
	 * reached without the fuzzer finding "http://" first. */
	unsigned c = in.byte();
	std::string text = c_part(in.rest());
	if (c % 3 == 1)
		text = "http://" + text;
	else if (c % 3 == 2)
		text = "https://" + text;

	/* Exactly the text on the heap, so that a read past it is caught. */
	char *buf = static_cast<char *>(std::malloc(text.size() + 1));
	std::memcpy(buf, text.c_str(), text.size() + 1);
	FUZZ_CHECK(safe_id(buf) == (model_safe_id(text) ? 1 : 0), "safe_id disagrees with the model");
	FUZZ_CHECK(url_ok(buf) == (model_url_ok(text) ? 1 : 0), "url_ok disagrees with the model");
	std::free(buf);
	return 0;
}
