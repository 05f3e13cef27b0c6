/*
 * GET requests side by side through WinHTTP, Windows' own HTTP stack, so
 * that the system's proxy settings and certificate store apply. Each request
 * runs synchronously on a thread of its own; wait() collects what has ended.
 * The state the threads touch is shared with them, so the fetcher can go at
 * its deadline without waiting for a request that is still stuck: closing
 * its handle cancels it, and whatever is left ends with the process.
 */
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "sglang_metrics.h"
#include "win_text.h"

#ifndef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#endif

namespace sgm {

namespace {

long long now_ms()
{
	using namespace std::chrono;
	return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct HandleCloser {
	void operator()(void *h) const { WinHttpCloseHandle(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

/* What the threads and the fetcher share. */
struct Shared {
	Handle session;
	std::mutex mu;
	std::condition_variable cv;
	std::vector<std::pair<int, HttpResult>> ended; /* not yet given back */
	bool closing = false; /* the fetcher is gone: requests cancel themselves */
};

/* One request; its handle is published so that it can be cancelled. */
struct Request {
	int tag = 0;
	std::string url;
	std::vector<std::string> headers;
	long budget_ms = 0;
	HINTERNET handle = nullptr; /* under Shared::mu */
	bool ended = false;         /* under Shared::mu */
};

/* Cancels a running request by closing its handle; under Shared::mu. */
void cancel(Request &rq)
{
	if (rq.handle != nullptr)
		WinHttpCloseHandle(rq.handle);
	rq.handle = nullptr;
}

/* The URL parts WinHTTP asks for; false when url is not one it can use. */
struct UrlParts {
	std::wstring host, path;
	INTERNET_PORT port = 0;
	bool secure = false;
};

bool crack(const std::string &url, UrlParts &parts)
{
	std::wstring w = wide(url);
	URL_COMPONENTS c = {};
	c.dwStructSize = sizeof(c);
	c.dwSchemeLength = static_cast<DWORD>(-1);
	c.dwHostNameLength = static_cast<DWORD>(-1);
	c.dwUrlPathLength = static_cast<DWORD>(-1);
	c.dwExtraInfoLength = static_cast<DWORD>(-1);
	if (w.empty() || !WinHttpCrackUrl(w.c_str(), static_cast<DWORD>(w.size()), 0, &c))
		return false;
	if (c.nScheme != INTERNET_SCHEME_HTTP && c.nScheme != INTERNET_SCHEME_HTTPS)
		return false;
	parts.secure = c.nScheme == INTERNET_SCHEME_HTTPS;
	parts.host.assign(c.lpszHostName, c.dwHostNameLength);
	parts.port = c.nPort;
	parts.path.assign(c.lpszUrlPath, c.dwUrlPathLength);
	if (c.lpszExtraInfo != nullptr)
		parts.path.append(c.lpszExtraInfo, c.dwExtraInfoLength);
	if (parts.path.empty())
		parts.path = L"/";
	return !parts.host.empty();
}

/* Why a WinHTTP call failed, in words. */
std::string failure_text(DWORD code, const std::string &url)
{
	UrlParts p;
	crack(url, p);
	std::string where = narrow(p.host) + " port " + std::to_string(p.port);
	switch (code) {
	case ERROR_WINHTTP_CANNOT_CONNECT:
		return "Failed to connect to " + where + ": Couldn't connect to server";
	case ERROR_WINHTTP_NAME_NOT_RESOLVED:
		return "Could not resolve host: " + narrow(p.host);
	case ERROR_WINHTTP_TIMEOUT:
		return "Operation timed out";
	case ERROR_WINHTTP_CONNECTION_ERROR:
		return "Connection to " + where + " was reset";
	case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
		return "The server's answer is not HTTP";
	case ERROR_WINHTTP_SECURE_FAILURE:
	case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
	case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
	case ERROR_WINHTTP_SECURE_INVALID_CA:
	case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
	case ERROR_WINHTTP_SECURE_INVALID_CERT:
	case ERROR_WINHTTP_SECURE_CERT_REVOKED:
	case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
	case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
		return "TLS with " + where + " failed: the server's certificate is not trusted by this system "
		       "(error " + std::to_string(code) + ")";
	case ERROR_WINHTTP_OPERATION_CANCELLED:
		return "Operation timed out";
	default:
		break;
	}
	char buf[512] = {};
	DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
					 FORMAT_MESSAGE_IGNORE_INSERTS,
				 GetModuleHandleA("winhttp.dll"), code, 0, buf, sizeof(buf), nullptr);
	while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ' || buf[n - 1] == '.'))
		buf[--n] = '\0';
	std::string text = n > 0 ? buf : "WinHTTP error";
	return text + " (" + std::to_string(code) + ")";
}

/* The Location header, made absolute against url as a browser would. */
std::string location_of(HINTERNET h, const std::string &url)
{
	DWORD size = 0;
	WinHttpQueryHeaders(h, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size,
			    WINHTTP_NO_HEADER_INDEX);
	if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
		return {};
	std::wstring w(size / sizeof(wchar_t) + 1, L'\0');
	if (!WinHttpQueryHeaders(h, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, &w[0], &size,
				 WINHTTP_NO_HEADER_INDEX))
		return {};
	w.resize(size / sizeof(wchar_t));
	std::string loc = narrow(w);
	if (loc.find("://") != std::string::npos)
		return loc;
	std::size_t host_end = url.find('/', url.find("://") + 3);
	std::string origin = url.substr(0, host_end);
	if (loc.rfind("//", 0) == 0)
		return url.substr(0, url.find("://") + 1) + loc;
	if (!loc.empty() && loc[0] == '/')
		return origin + loc;
	std::string base = host_end == std::string::npos ? origin + "/" : url.substr(0, url.rfind('/') + 1);
	return base + loc;
}

/* Runs one request to its end and gives back what it gave. */
HttpResult perform(Shared &sh, Request &rq)
{
	HttpResult r;
	UrlParts p;
	if (!crack(rq.url, p)) {
		r.error = "URL rejected: " + rq.url;
		return r;
	}
	Handle connect(WinHttpConnect(sh.session.get(), p.host.c_str(), p.port, 0));
	HINTERNET h = connect ? WinHttpOpenRequest(connect.get(), L"GET", p.path.c_str(), nullptr,
						   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
						   p.secure ? WINHTTP_FLAG_SECURE : 0)
			      : nullptr;
	if (h == nullptr) {
		r.error = failure_text(GetLastError(), rq.url);
		return r;
	}
	{
		std::lock_guard<std::mutex> lock(sh.mu);
		if (sh.closing) {
			WinHttpCloseHandle(h);
			return r;
		}
		rq.handle = h;
	}
	/* Whoever cancels the request closes its handle; otherwise it is
	 * closed here when the request ends. */
	struct Release {
		Shared &sh;
		Request &rq;
		~Release()
		{
			std::lock_guard<std::mutex> lock(sh.mu);
			cancel(rq);
		}
	} release{sh, rq};
	/* No redirects: a redirect could carry the API key to another host. */
	DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
	WinHttpSetOption(h, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof(no_redirects));
	int left = static_cast<int>(rq.budget_ms);
	WinHttpSetTimeouts(h, left, left < kConnectTimeoutMs ? left : static_cast<int>(kConnectTimeoutMs),
			   left, left);
	for (const std::string &line : rq.headers) {
		std::wstring w = wide(line);
		WinHttpAddRequestHeaders(h, w.c_str(), static_cast<DWORD>(w.size()),
					 WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);
	}
	if (!WinHttpSendRequest(h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
	    !WinHttpReceiveResponse(h, nullptr)) {
		DWORD code = GetLastError();
		r.timed_out = code == ERROR_WINHTTP_TIMEOUT || code == ERROR_WINHTTP_OPERATION_CANCELLED;
		r.error = failure_text(code, rq.url);
		return r;
	}
	DWORD status = 0, size = sizeof(status);
	WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
			    WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
	r.status = static_cast<long>(status);
	if (status >= 300 && status < 400)
		r.location = location_of(h, rq.url);
	char buf[65536];
	for (;;) {
		DWORD got = 0;
		if (!WinHttpReadData(h, buf, sizeof(buf), &got)) {
			DWORD code = GetLastError();
			r.timed_out = code == ERROR_WINHTTP_TIMEOUT || code == ERROR_WINHTTP_OPERATION_CANCELLED;
			r.error = failure_text(code, rq.url);
			r.status = 0;
			r.body.clear();
			return r;
		}
		if (got == 0)
			break;
		if (r.body.size() + got > kMaxBodyBytes) {
			r.error = "answer larger than " + std::to_string(kMaxBodyBytes >> 20) + " MiB";
			r.status = 0;
			r.body.clear();
			return r;
		}
		r.body.append(buf, got);
	}
	r.transport_ok = true;
	return r;
}

} // namespace

struct Fetcher::Impl {
	std::shared_ptr<Shared> shared = std::make_shared<Shared>();
	std::vector<std::shared_ptr<Request>> requests;
	long long deadline = 0;
	std::size_t outstanding = 0; /* started and not yet given back */

	~Impl()
	{
		/* Cancels what still runs; the threads end on their own, or with
		 * the process. */
		std::lock_guard<std::mutex> lock(shared->mu);
		shared->closing = true;
		for (auto &rq : requests)
			cancel(*rq);
	}
};

Fetcher::Fetcher(long budget_ms) : impl_(new Impl)
{
	impl_->deadline = now_ms() + budget_ms;
	const wchar_t *agent = L"quorvane-sglang-metrics/1";
	HINTERNET s = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
				  WINHTTP_NO_PROXY_BYPASS, 0);
	/* Systems before Windows 8.1 know only the configured proxy. */
	if (s == nullptr)
		s = WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
				WINHTTP_NO_PROXY_BYPASS, 0);
	impl_->shared->session.reset(s);
}

Fetcher::~Fetcher() = default;

void Fetcher::get(int tag, const std::string &url, const std::vector<std::string> &headers)
{
	auto rq = std::make_shared<Request>();
	rq->tag = tag;
	rq->url = url;
	rq->headers = headers;
	long long left = impl_->deadline - now_ms();
	rq->budget_ms = static_cast<long>(left < 1 ? 1 : left);
	std::shared_ptr<Shared> sh = impl_->shared;
	impl_->requests.push_back(rq);
	impl_->outstanding++;
	if (!sh->session) {
		std::lock_guard<std::mutex> lock(sh->mu);
		rq->ended = true;
		sh->ended.emplace_back(tag, HttpResult{false, false, 0, {}, "cannot start a request", {}});
		return;
	}
	try {
		std::thread([sh, rq] {
			HttpResult r = perform(*sh, *rq);
			std::lock_guard<std::mutex> lock(sh->mu);
			if (rq->ended)
				return;
			rq->ended = true;
			sh->ended.emplace_back(rq->tag, std::move(r));
			sh->cv.notify_all();
		}).detach();
	} catch (const std::system_error &) {
		std::lock_guard<std::mutex> lock(sh->mu);
		rq->ended = true;
		sh->ended.emplace_back(tag, HttpResult{false, false, 0, {}, "cannot start a request", {}});
	}
}

std::vector<std::pair<int, HttpResult>> Fetcher::wait()
{
	Shared &sh = *impl_->shared;
	std::unique_lock<std::mutex> lock(sh.mu);
	if (impl_->outstanding == 0)
		return {};
	/* WinHTTP's own timeouts end each request by the deadline; a little
	 * later, whatever has not ended is given up here. */
	auto until = std::chrono::steady_clock::now() +
		     std::chrono::milliseconds(impl_->deadline + 250 - now_ms());
	sh.cv.wait_until(lock, until, [&] { return !sh.ended.empty(); });
	if (sh.ended.empty()) {
		for (auto &rq : impl_->requests) {
			if (rq->ended)
				continue;
			cancel(*rq);
			rq->ended = true;
			sh.ended.emplace_back(rq->tag, HttpResult{false, true, 0, {}, "Operation timed out", {}});
		}
	}
	std::vector<std::pair<int, HttpResult>> done = std::move(sh.ended);
	sh.ended.clear();
	impl_->outstanding -= done.size();
	return done;
}

} // namespace sgm
