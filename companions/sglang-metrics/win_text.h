/* UTF-8 and the UTF-16 of Windows' wide calls, both ways; Windows only. */
#ifndef QV_SGLANG_METRICS_WIN_TEXT_H
#define QV_SGLANG_METRICS_WIN_TEXT_H

#include <windows.h>

#include <string>

namespace sgm {

inline std::wstring wide(const std::string &s)
{
	if (s.empty())
		return {};
	int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
	std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
	if (n > 0)
		MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
	return w;
}

inline std::string narrow(const std::wstring &w)
{
	if (w.empty())
		return {};
	int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
				    nullptr);
	std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
	if (n > 0)
		WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr,
				    nullptr);
	return s;
}

} // namespace sgm

#endif
