/*
 * Helpers shared by the fuzz targets: cutting one input into fields, and a
 * scratch file that a target rewrites for every input.
 */
#ifndef QV_FUZZ_INPUT_H
#define QV_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

/* Stops the run with a message that names the broken rule; libFuzzer saves
 * the input that got here. */
#define FUZZ_CHECK(cond, what)                                                          \
	do {                                                                            \
		if (!(cond)) {                                                          \
			std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what,   \
				     __FILE__, __LINE__);                              \
			std::abort();                                                   \
		}                                                                       \
	} while (0)

/* Reads an input front to back: single bytes for choices, then fields that
 * end at a separator byte, then the rest. */
class FuzzInput {
public:
	FuzzInput(const uint8_t *data, std::size_t size)
		: p_(reinterpret_cast<const char *>(data)), n_(size) {}

	/* One byte, or 0 when the input is used up. */
	unsigned byte()
	{
		if (n_ == 0)
			return 0;
		n_--;
		return static_cast<unsigned char>(*p_++);
	}

	/* The bytes up to the next sep (dropped), or all that is left. */
	std::string field(char sep)
	{
		std::size_t i = 0;
		while (i < n_ && p_[i] != sep)
			i++;
		std::string f(p_, i);
		std::size_t used = i < n_ ? i + 1 : i;
		p_ += used;
		n_ -= used;
		return f;
	}

	/* Everything that is left. */
	std::string rest()
	{
		std::string r(p_, n_);
		p_ += n_;
		n_ = 0;
		return r;
	}

	bool empty() const { return n_ == 0; }

private:
	const char *p_;
	std::size_t n_;
};

/* A C string's view of text: everything before its first zero byte. */
inline std::string c_part(const std::string &text)
{
	return std::string(text.c_str());
}

/* How UTF-8 bytes at text[at..] stand, worked out from the code points
 * that their possible completions reach: 2 when they begin with a whole
 * valid character (*len its length), 1 when all of them only begin one (a
 * character cut short), 0 when even their first bytes begin none (*len
 * then the longest part that does, at least 1). */
inline int model_utf8_at(const std::string &text, std::size_t at, std::size_t &len)
{
	unsigned char c = static_cast<unsigned char>(text[at]);
	std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3
		      : (c & 0xF8) == 0xF0 ? 4 : 0;
	len = 1;
	if (n == 0)
		return 0;
	if (n == 1)
		return 2;
	/* The range of code points that k bytes can still become. */
	auto reachable = [&](std::size_t k) {
		uint32_t lo = c & (0x7F >> n), hi = lo;
		for (std::size_t i = 1; i < n; i++) {
			uint32_t bits = i < k ? static_cast<unsigned char>(text[at + i]) & 0x3F : 0;
			lo = (lo << 6) | bits;
			hi = (hi << 6) | (i < k ? bits : 0x3F);
		}
		static const uint32_t min_cp[5] = { 0, 0, 0x80, 0x800, 0x10000 };
		lo = lo < min_cp[n] ? min_cp[n] : lo;
		hi = hi > 0x10FFFF ? 0x10FFFF : hi;
		/* Surrogates are no characters: the range must reach past them. */
		bool outside_surrogates = lo < 0xD800 || hi > 0xDFFF;
		return lo <= hi && outside_surrogates;
	};
	std::size_t k = 1;
	if (!reachable(1))
		return 0;
	while (k < n && at + k < text.size() &&
	       (static_cast<unsigned char>(text[at + k]) & 0xC0) == 0x80 && reachable(k + 1))
		k++;
	len = k;
	if (k == n)
		return 2;
	return at + k == text.size() ? 1 : 0;
}

/* A text that was cut at its end, less a character that the cut split. */
inline std::string model_cut_end(const std::string &p)
{
	std::size_t len;
	for (std::size_t at = 0; at < p.size(); at += len)
		if (model_utf8_at(p, at, len) == 1)
			return p.substr(0, at);
	return p;
}

/* A file in the temporary folder that lives as long as the process. */
class ScratchFile {
public:
	ScratchFile()
	{
		const char *dir = std::getenv("TMPDIR");
		path_ = std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") +
			"/qv-fuzz-XXXXXX";
		int fd = mkstemp(&path_[0]);
		if (fd < 0) {
			std::perror("mkstemp");
			std::abort();
		}
		close(fd);
	}
	~ScratchFile() { unlink(path_.c_str()); }
	ScratchFile(const ScratchFile &) = delete;
	ScratchFile &operator=(const ScratchFile &) = delete;

	/* Replaces the file's content with text. */
	void write(const std::string &text)
	{
		FILE *fp = std::fopen(path_.c_str(), "wb");
		if (fp == nullptr || std::fwrite(text.data(), 1, text.size(), fp) != text.size()) {
			std::perror(path_.c_str());
			std::abort();
		}
		std::fclose(fp);
	}

	const std::string &path() const { return path_; }

private:
	std::string path_;
};

#endif
