/* A fresh temporary directory for one test, removed afterwards. */
#ifndef QV_TEST_TEMP_DIR_H
#define QV_TEST_TEMP_DIR_H

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

struct temp_dir {
	std::filesystem::path path;

	temp_dir()
	{
		std::random_device rd;
		path = std::filesystem::temp_directory_path() /
		       ("qv-unit-" + std::to_string(rd()) + std::to_string(rd()));
		std::filesystem::create_directories(path);
	}
	~temp_dir()
	{
		std::error_code ec;
		std::filesystem::remove_all(path, ec);
	}
	std::string file(const std::string &name, const std::string &bytes) const
	{
		std::filesystem::path p = path / name;
		std::ofstream(p, std::ios::binary) << bytes;
		return p.string();
	}
};

#endif
