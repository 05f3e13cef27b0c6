/*
 * Where the state between runs lives on Windows, and how it is read and
 * written: %LOCALAPPDATA%\quorvane\sglang-metrics, a folder made readable
 * and writable by the user alone, and in it one file per endpoint. A folder
 * or file that is a link (a reparse point), or a folder that grants writing
 * to anyone but the user and the system's own accounts, is not used.
 */
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "sglang_metrics.h"
#include "win_text.h"

namespace sgm {

namespace {

struct LocalDeleter {
	void operator()(void *p) const { LocalFree(p); }
};

/* The SID of the user this process runs as, in its token's memory. */
struct UserSid {
	std::unique_ptr<BYTE[]> token_user;
	PSID sid = nullptr;
	std::wstring text;

	UserSid()
	{
		HANDLE token = nullptr;
		if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
			return;
		DWORD size = 0;
		GetTokenInformation(token, TokenUser, nullptr, 0, &size);
		token_user.reset(new BYTE[size > 0 ? size : 1]);
		if (size > 0 && GetTokenInformation(token, TokenUser, token_user.get(), size, &size)) {
			sid = reinterpret_cast<TOKEN_USER *>(token_user.get())->User.Sid;
			wchar_t *s = nullptr;
			if (ConvertSidToStringSidW(sid, &s)) {
				text = s;
				LocalFree(s);
			}
		}
		CloseHandle(token);
	}
};

const UserSid &user()
{
	static const UserSid u;
	return u;
}

/* Whether sid is the user or one of the system's own accounts (the
 * system, the administrators, the owner of whatever is created). */
bool trusted(PSID sid)
{
	if (user().sid != nullptr && EqualSid(sid, user().sid))
		return true;
	for (WELL_KNOWN_SID_TYPE t : {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerSid}) {
		BYTE buf[SECURITY_MAX_SID_SIZE];
		DWORD size = sizeof(buf);
		if (CreateWellKnownSid(t, nullptr, buf, &size) && EqualSid(sid, buf))
			return true;
	}
	return false;
}

/* Whether the folder's access list lets anyone untrusted write to it. */
bool others_can_write(const std::wstring &dir)
{
	PACL dacl = nullptr;
	PSECURITY_DESCRIPTOR sd = nullptr;
	if (GetNamedSecurityInfoW(dir.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
				  &dacl, nullptr, &sd) != ERROR_SUCCESS)
		return true;
	std::unique_ptr<void, LocalDeleter> hold(sd);
	if (dacl == nullptr)
		return true; /* no access list: everyone may do anything */
	const ACCESS_MASK writes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES |
				   FILE_WRITE_EA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
	for (DWORD i = 0; i < dacl->AceCount; i++) {
		ACE_HEADER *ace = nullptr;
		if (!GetAce(dacl, i, reinterpret_cast<void **>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE ||
		    (ace->AceFlags & INHERIT_ONLY_ACE) != 0)
			continue;
		auto *allowed = reinterpret_cast<ACCESS_ALLOWED_ACE *>(ace);
		if ((allowed->Mask & writes) != 0 && !trusted(&allowed->SidStart))
			return true;
	}
	return false;
}

/* Why dir may not hold the state, or "" when it may. */
std::string doubt_dir(const std::wstring &dir)
{
	DWORD attrs = GetFileAttributesW(dir.c_str());
	if (attrs == INVALID_FILE_ATTRIBUTES)
		return "cannot be examined";
	if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
		return "it is a link";
	if ((attrs & FILE_ATTRIBUTE_DIRECTORY) == 0)
		return "not a folder";
	if (others_can_write(dir))
		return "others can write to it";
	return {};
}

/* Makes dir unless it exists, with sa when given; then it must pass
 * doubt_dir() (said on standard error). */
bool usable_dir(const std::wstring &dir, SECURITY_ATTRIBUTES *sa)
{
	if (!CreateDirectoryW(dir.c_str(), sa) && GetLastError() != ERROR_ALREADY_EXISTS)
		return false;
	std::string why = doubt_dir(dir);
	if (!why.empty()) {
		state_refused(narrow(dir), why);
		return false;
	}
	return true;
}

} // namespace

std::string state_path(const std::string &url)
{
	const wchar_t *base = _wgetenv(L"LOCALAPPDATA");
	if (base == nullptr || base[0] == L'\0' || user().text.empty())
		return {};
	std::wstring product = std::wstring(base) + L"\\quorvane";
	std::wstring dir = product + L"\\sglang-metrics";
	/* The state folder grants everything to the user alone, and what is
	 * made in it inherits that; nothing is inherited from above. */
	std::wstring sddl = L"D:P(A;OICI;FA;;;" + user().text + L")";
	PSECURITY_DESCRIPTOR sd = nullptr;
	if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
		return {};
	std::unique_ptr<void, LocalDeleter> hold(sd);
	SECURITY_ATTRIBUTES sa = {sizeof(sa), sd, FALSE};
	if (!usable_dir(product, nullptr) || !usable_dir(dir, &sa))
		return {};
	return narrow(dir) + "\\" + state_file_name(url);
}

State load_state(const std::string &path, const std::string &url, int64_t now_ms)
{
	/* The link itself is opened, never what it points to, and only a
	 * file on a disk is read. */
	HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
			       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
	if (h == INVALID_HANDLE_VALUE)
		return State{url, {}};
	BY_HANDLE_FILE_INFORMATION info = {};
	std::string why;
	if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
		why = "not a regular file";
	else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
		why = "it is a link";
	else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
		why = "not a regular file";
	uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
	std::string text;
	if (why.empty() && size <= kMaxStateBytes) {
		text.resize(static_cast<std::size_t>(size));
		DWORD got = 0;
		if (size > 0 && (!ReadFile(h, &text[0], static_cast<DWORD>(size), &got, nullptr) || got != size))
			text.clear();
	}
	CloseHandle(h);
	if (!why.empty())
		state_refused(path, why);
	return state_from_text(text, url, now_ms);
}

bool save_state(const std::string &path, const State &state)
{
	std::string text = state_to_json(state).dump() + "\n";
	/* A file of this process's own, made new, then put in place whole. */
	std::wstring tmp = wide(path + "." + std::to_string(GetCurrentProcessId()) + ".tmp");
	HANDLE h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (h == INVALID_HANDLE_VALUE)
		return false;
	DWORD put = 0;
	bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) && put == text.size();
	ok = CloseHandle(h) && ok;
	if (!ok || !MoveFileExW(tmp.c_str(), wide(path).c_str(), MOVEFILE_REPLACE_EXISTING)) {
		DeleteFileW(tmp.c_str());
		return false;
	}
	return true;
}

} // namespace sgm
