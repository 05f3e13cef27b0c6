/*
 * End-to-end harness: temporary worlds, controlled runs of the plug-in, and
 * the record of the fake companion's runs.
 */
#include "harness.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "platform/platform.h"
#include "util/util.h"

namespace fs = std::filesystem;

namespace harness {

namespace {

/* Variables a Windows process cannot start well without; taken from our own
 * environment when the test does not set them. */
const char *const windows_needs[] = { "SYSTEMROOT", "WINDIR", "PATH", "TEMP", "TMP" };

bool on_windows()
{
	return plat_sep == '\\';
}

} // namespace

fs::path world::at(const std::string &rel) const
{
	fs::path p = root_.path;
	if (!rel.empty())
		p /= fs::path(rel);
	return p.make_preferred();
}

std::string world::path(const std::string &rel) const
{
	return at(rel).string();
}

void world::mkdir(const std::string &rel) const
{
	fs::create_directories(at(rel));
}

void world::write(const std::string &rel, const std::string &bytes) const
{
	const fs::path p = at(rel);
	fs::create_directories(p.parent_path());
	std::ofstream f(p, std::ios::binary | std::ios::trunc);
	f.write(bytes.data(), (std::streamsize)bytes.size());
	f.close();
	if (!f)
		throw std::runtime_error("cannot write " + p.string());
}

std::string world::read(const std::string &rel) const
{
	const fs::path p = at(rel);
	std::ifstream f(p, std::ios::binary);
	if (!f)
		throw std::runtime_error("cannot read " + p.string());
	return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool world::exists(const std::string &rel) const
{
	return fs::exists(at(rel));
}

void world::set_mtime(const std::string &rel, int64_t offset_s) const
{
	fs::last_write_time(at(rel), fs::file_time_type::clock::now() +
					     std::chrono::seconds(offset_s));
}

std::string plugin_path()
{
	return QV_PLUGIN_PATH;
}

std::string fake_companion_path()
{
	return QV_FAKE_COMPANION_PATH;
}

running::running(const std::string &program, const std::vector<std::string> &args,
		 const env_map &env, int timeout_ms)
{
	env_map full = env;
	std::vector<std::string> env_strings;
	std::vector<const char *> envp;
	std::vector<const char *> argv;

	if (on_windows()) {
		for (const char *name : windows_needs) {
			const char *v = std::getenv(name);
			if (v != nullptr && full.find(name) == full.end())
				full[name] = v;
		}
	}
	for (const auto &kv : full)
		env_strings.push_back(kv.first + "=" + kv.second);
	for (const auto &s : env_strings)
		envp.push_back(s.c_str());
	envp.push_back(nullptr);
	argv.push_back(program.c_str());
	for (const auto &a : args)
		argv.push_back(a.c_str());
	argv.push_back(nullptr);
	made_ = plat_child_start(&child_, argv.data(), envp.data(), timeout_ms, 0) != 0;
}

running::~running()
{
	if (made_)
		plat_child_finish(&child_);
}

void running::end(bool hard)
{
	if (made_ && child_.proc != 0)
		process_end(child_.proc, hard);
}

run_result running::finish()
{
	run_result r;
	uint64_t len = 0;
	char *out;

	if (!made_)
		return r;
	made_ = false;
	r.started = !child_.failed;
	out = read_child_all(&child_, &len);
	if (out != nullptr)
		r.out.assign(out, (size_t)len);
	std::free(out);
	r.status = plat_child_finish(&child_);
	r.timed_out = child_.timed_out != 0;
	return r;
}

run_result run_program(const std::string &program, const std::vector<std::string> &args,
		       const env_map &env, int timeout_ms)
{
	return running(program, args, env, timeout_ms).finish();
}

std::vector<std::string> folder_names(const std::string &dir)
{
	plat_dir d;
	std::vector<std::string> names;
	if (!plat_dir_open(&d, dir.c_str()))
		return names;
	while (plat_dir_next(&d))
		if (std::string(d.name) != "." && std::string(d.name) != "..")
			names.push_back(d.name);
	plat_dir_close(&d);
	std::sort(names.begin(), names.end());
	return names;
}

run_result run_plugin(const std::vector<std::string> &args, const env_map &env, int timeout_ms)
{
	return run_program(plugin_path(), args, env, timeout_ms);
}

std::string describe(const run_result &r)
{
	std::ostringstream o;
	const size_t shown = r.out.size() < 80 ? r.out.size() : 80;

	o << "status " << r.status << (r.started ? "" : ", not started")
	  << (r.timed_out ? ", timed out" : "") << ", " << r.out.size() << " bytes: ";
	for (size_t i = 0; i < shown; i++) {
		const unsigned char c = (unsigned char)r.out[i];
		if (c == '\r')
			o << "\\r";
		else if (c == '\n')
			o << "\\n";
		else if (c < 0x20 || c >= 0x7f)
			o << "\\x" << "0123456789abcdef"[c >> 4] << "0123456789abcdef"[c & 15];
		else
			o << (char)c;
	}
	return o.str();
}

std::vector<std::vector<std::string>> fake_args_log(const std::string &path)
{
	std::vector<std::vector<std::string>> runs;
	std::ifstream f(path, std::ios::binary);
	std::string line;

	while (std::getline(f, line)) {
		std::vector<std::string> args;
		std::string::size_type from = 0;
		std::string::size_type at;

		while ((at = line.find(ARGS_SEP, from)) != std::string::npos) {
			args.push_back(line.substr(from, at - from));
			from = at + 1;
		}
		runs.push_back(args);
	}
	return runs;
}

} // namespace harness
