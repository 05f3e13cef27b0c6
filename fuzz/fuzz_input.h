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
