/* The tests' one temporary folder: made fresh, removed with all it holds. */
#ifndef QV_TEST_TEMP_DIR_H
#define QV_TEST_TEMP_DIR_H

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

struct temp_dir {
	std::filesystem::path path;

	temp_dir()
	{
		std::random_device rd;
		const std::filesystem::path base = std::filesystem::temp_directory_path();
		/* A name nobody holds yet: another process may pick the same
		 * random name, but only one of them creates it. */
		for (int attempt = 0; attempt < 100; attempt++) {
			path = base / ("qv-test-" + std::to_string(rd()) + std::to_string(rd()));
			if (std::filesystem::create_directory(path))
				return;
		}
		throw std::runtime_error("cannot make a temporary folder under " + base.string());
	}
	~temp_dir()
	{
		std::error_code ec;
		std::filesystem::remove_all(path, ec);
	}
	temp_dir(const temp_dir &) = delete;
	temp_dir &operator=(const temp_dir &) = delete;

	/* Writes bytes as the file name inside the folder; returns its path. */
	std::string file(const std::string &name, const std::string &bytes) const
	{
		std::filesystem::path p = path / name;
		std::ofstream(p, std::ios::binary) << bytes;
		return p.string();
	}
};

#endif
