/*
 * The query-string lookup and the access check against small models of
 * their rules: the first "key=" segment wins, its whole raw value is decoded
 * ("%XX" and "+") and cut to the capacity, never inside a UTF-8 character;
 * the password is proved by the header, a Bearer token, the whole value of
 * a pwd parameter or of the Referer's, and by nothing else.
 */
#include <cstring>
#include <string>

#include "front/front.h"
#include "util/util.h"
#include "fuzz_input.h"

namespace {

bool model_hex(char c, int &v)
{
	if (c >= '0' && c <= '9')
		v = c - '0';
	else if (c >= 'a' && c <= 'f')
		v = c - 'a' + 10;
	else if (c >= 'A' && c <= 'F')
		v = c - 'A' + 10;
	else
		return false;
	return true;
}

/* The lookup as a reader of the rules would write it with std::string:
 * the whole decoded value, before any cut. */
bool model_query(const std::string &query, const std::string &key, std::string &value)
{
	value.clear();
	if (query.empty() || key.empty())
		return false;
	std::size_t start = 0;
	for (;;) {
		std::size_t amp = query.find('&', start);
		std::string seg = query.substr(start, amp == std::string::npos ? std::string::npos
									     : amp - start);
		if (seg.size() > key.size() && seg.compare(0, key.size(), key) == 0 &&
		    seg[key.size()] == '=') {
			std::string raw = seg.substr(key.size() + 1);
			std::string out;
			for (std::size_t i = 0; i < raw.size();) {
				int hi, lo;
				if (raw[i] == '%' && i + 2 < raw.size() &&
				    model_hex(raw[i + 1], hi) && model_hex(raw[i + 2], lo)) {
					out += static_cast<char>(hi * 16 + lo);
					i += 3;
				} else {
					out += raw[i] == '+' ? ' ' : raw[i];
					i++;
				}
			}
			value = out;
			return true;
		}
		if (amp == std::string::npos)
			return false;
		start = amp + 1;
	}
}

/* The Authorization rule: optional spaces, "Bearer " in any case, more
 * optional spaces, then the password; without the word the whole value. */
std::string model_bearer_token(const std::string &header)
{
	std::size_t i = header.find_first_not_of(' ');
	if (i == std::string::npos)
		return "";
	static const char word[] = "bearer ";
	if (header.size() - i >= 7) {
		bool match = true;
		for (std::size_t k = 0; k < 7; k++) {
			char c = header[i + k];
			if (c >= 'A' && c <= 'Z')
				c = static_cast<char>(c - 'A' + 'a');
			if (c != word[k])
				match = false;
		}
		if (match) {
			i += 7;
			while (i < header.size() && header[i] == ' ')
				i++;
		}
	}
	return header.substr(i);
}

bool model_pwd(const std::string &query, const std::string &password)
{
	std::string pwd;
	/* A value too long for the candidate buffer never matches. */
	return model_query(query, "pwd", pwd) && pwd.size() < PWD_CAP && c_part(pwd) == password;
}

/* Which of the four optional request fields are present, one bit each. */
enum { F_HEADER = 1, F_AUTH = 2, F_QUERY = 4, F_REFERER = 8 };

bool model_access(unsigned present, const std::string &password, const std::string &header,
		  const std::string &auth, const std::string &query, const std::string &referer)
{
	if (password.empty())
		return true;
	if ((present & F_HEADER) && header == password)
		return true;
	if ((present & F_AUTH) && model_bearer_token(auth) == password)
		return true;
	if ((present & F_QUERY) && model_pwd(query, password))
		return true;
	if (!(present & F_REFERER))
		return false;
	std::size_t mark = referer.find('?');
	return mark != std::string::npos && model_pwd(referer.substr(mark + 1), password);
}

void set_or_unset(const char *name, bool present, const std::string &value)
{
	if (present)
		setenv(name, value.c_str(), 1);
	else
		unsetenv(name);
}

void check_lookup(FuzzInput &in)
{
	unsigned c = in.byte();
	std::size_t cap = c < 200 ? 1 + c : 1 + (c - 200) * 40;
	std::string key = c_part(in.field('\n'));
	std::string query = c_part(in.rest());

	/* Exactly the capacity on the heap, and a canary just past it. */
	char *out = static_cast<char *>(std::malloc(cap + 1));
	std::memset(out, 'Z', cap + 1);
	std::size_t full = 0;
	int got = get_query_val_len(query.c_str(), key.c_str(), out, cap, &full);
	std::string whole;
	bool present = model_query(query, key, whole);
	/* A decoded zero byte ends the value as a C string. */
	std::string want = c_part(whole.size() < cap ? whole : model_cut_end(whole.substr(0, cap - 1)));
	FUZZ_CHECK(out[cap] == 'Z', "lookup wrote past its capacity");
	FUZZ_CHECK(std::memchr(out, '\0', cap) != nullptr, "lookup left its value unterminated");
	FUZZ_CHECK(got == (present ? 1 : 0), "lookup disagrees about the key's presence");
	FUZZ_CHECK(want == out, "lookup decoded another value than the model");
	FUZZ_CHECK(full == whole.size(), "lookup gave another whole length than the model");
	std::free(out);
}

void check_access(FuzzInput &in)
{
	unsigned present = in.byte();
	std::string password = c_part(in.field('\n'));
	std::string header = c_part(in.field('\n'));
	std::string auth = c_part(in.field('\n'));
	std::string query = c_part(in.field('\n'));
	std::string referer = c_part(in.rest());

	setenv("BOT_PASSWORD", password.c_str(), 1);
	set_or_unset("HTTP_X_BOT_PASSWORD", present & F_HEADER, header);
	set_or_unset("HTTP_AUTHORIZATION", present & F_AUTH, auth);
	set_or_unset("QUERY_STRING", present & F_QUERY, query);
	set_or_unset("HTTP_REFERER", present & F_REFERER, referer);
	bool want = model_access(present, password, header, auth, query, referer);
	FUZZ_CHECK(access_granted() == (want ? 1 : 0), "access check disagrees with the model");
	FUZZ_CHECK(secret_equal(password.c_str(), header.c_str()) == (password == header ? 1 : 0),
		   "secret comparison is not byte equality");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
	FuzzInput in(data, size);
	/* The first byte chooses the rule under test. */
	if (in.byte() & 1)
		check_access(in);
	else
		check_lookup(in);
	return 0;
}
