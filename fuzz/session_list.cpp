/*
 * The session-list scanner fed the tmux companion's output directly. This
 * file defines the two companion hooks the listing calls, so that the
 * linker takes them from here instead of starting a process for every
 * input: the output is the fuzz input, zero-terminated as the real reader
 * leaves it.
 */
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "sessions/sessions.h"
#include "tools/tools.h"

namespace {

const uint8_t *g_data;
std::size_t g_size;
int g_runs;

} // namespace

const char *tmux_bin(void)
{
	return "quorvane-tmux";
}

enum run_result run_companion(const char *const argv[], int timeout_ms, char **out,
			      uint64_t *len, int *status)
{
	(void)argv;
	(void)timeout_ms;
	g_runs++;
	*out = static_cast<char *>(std::malloc(g_size + 1));
	std::memcpy(*out, g_data, g_size);
	(*out)[g_size] = '\0';
	*len = g_size;
	*status = 0;
	return RUN_DONE;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
	(void)argc;
	(void)argv;
	/* Session folders are looked up under each listed worktree; a world
	 * without session roots keeps the lookups to missing paths. */
	unsetenv("QV_SESSIONS_DIR");
	setenv("HOME", "/nonexistent", 1);
	setenv("USERPROFILE", "/nonexistent", 1);
	setenv("LOCALAPPDATA", "/nonexistent", 1);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
	g_data = data;
	g_size = size;
	g_runs = 0;
	/* One record more than the table, to catch a write past it. */
	auto *table = static_cast<session_entry *>(
		std::malloc(sizeof(session_entry) * (SESSION_TABLE_CAP + 1)));
	std::memset(table, 'Z', sizeof(session_entry) * (SESSION_TABLE_CAP + 1));

	int count = list_tmux_sessions(table);
	FUZZ_CHECK(g_runs == 1, "the companion ran other than once");
	FUZZ_CHECK(count >= 0 && count <= SESSION_TABLE_CAP, "count outside the table");
	std::string text(reinterpret_cast<const char *>(data), size);
	std::size_t braces = 0;
	for (char c : c_part(text))
		braces += c == '{';
	FUZZ_CHECK(static_cast<std::size_t>(count) <= braces, "more sessions than objects");
	for (int i = 0; i < count; i++) {
		const session_entry &e = table[i];
		FUZZ_CHECK(std::memchr(e.name, '\0', sizeof(e.name)) != nullptr && e.name[0] != '\0',
			   "a listed session has no terminated name");
		FUZZ_CHECK(std::memchr(e.worktree, '\0', sizeof(e.worktree)) != nullptr &&
				   std::memchr(e.session_dir, '\0', sizeof(e.session_dir)) != nullptr &&
				   std::memchr(e.sid, '\0', sizeof(e.sid)) != nullptr &&
				   std::memchr(e.url, '\0', sizeof(e.url)) != nullptr,
			   "a record field is unterminated");
		FUZZ_CHECK(std::strstr(text.c_str(), e.name) != nullptr ||
				   std::strpbrk(e.name, "\\\n\r\t") != nullptr ||
				   text.find('\\') != std::string::npos,
			   "a name that is not in the output");
	}
	const char *past = reinterpret_cast<const char *>(&table[SESSION_TABLE_CAP]);
	for (std::size_t i = 0; i < sizeof(session_entry); i++)
		FUZZ_CHECK(past[i] == 'Z', "the listing wrote past its table");
	std::free(table);
	return 0;
}
