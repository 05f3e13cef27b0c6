/*
 * GET requests side by side over one libcurl multi handle. Each transfer owns
 * its easy handle, header list, error buffer and body; the fetcher owns the
 * transfers, so every handle is released on every path out.
 */
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>

#include <curl/curl.h>

#include "sglang_metrics.h"

namespace sgm {

namespace {

struct EasyDeleter {
	void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
struct ListDeleter {
	void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
struct MultiDeleter {
	void operator()(CURLM *m) const { curl_multi_cleanup(m); }
};

struct Transfer {
	int tag = 0;
	std::unique_ptr<CURL, EasyDeleter> easy;
	std::unique_ptr<curl_slist, ListDeleter> headers;
	char errbuf[CURL_ERROR_SIZE] = {};
	std::string body;
	bool too_large = false;
};

std::size_t on_body(char *data, std::size_t size, std::size_t count, void *user)
{
	auto *t = static_cast<Transfer *>(user);
	std::size_t n = size * count;
	if (t->body.size() + n > kMaxBodyBytes) {
		t->too_large = true;
		return 0; /* ends the transfer with a write error */
	}
	t->body.append(data, n);
	return n;
}

/* An environment variable's value, or null when it is unset or empty. */
const char *env_value(const char *name)
{
	const char *v = std::getenv(name);
	return v != nullptr && v[0] != '\0' ? v : nullptr;
}

/* Trusts the certificate authorities that the environment names, as curl's
 * own tool does, so that a server with a private authority can be watched
 * without changing the system's store. */
void set_trust(CURL *h)
{
	const char *bundle = env_value("CURL_CA_BUNDLE");
	if (bundle == nullptr)
		bundle = env_value("SSL_CERT_FILE");
	if (bundle != nullptr)
		curl_easy_setopt(h, CURLOPT_CAINFO, bundle);
	if (const char *dir = env_value("SSL_CERT_DIR"))
		curl_easy_setopt(h, CURLOPT_CAPATH, dir);
}

/* What a finished transfer gave: the answer, or why there is none. */
HttpResult result_of(Transfer &t, CURLcode code)
{
	HttpResult r;
	if (code == CURLE_OK) {
		r.transport_ok = true;
		curl_easy_getinfo(t.easy.get(), CURLINFO_RESPONSE_CODE, &r.status);
		r.body = std::move(t.body);
		char *location = nullptr;
		if (curl_easy_getinfo(t.easy.get(), CURLINFO_REDIRECT_URL, &location) == CURLE_OK &&
		    location != nullptr)
			r.location = location;
	} else {
		r.timed_out = code == CURLE_OPERATION_TIMEDOUT;
		if (t.too_large)
			r.error = "answer larger than " + std::to_string(kMaxBodyBytes >> 20) + " MiB";
		else
			r.error = t.errbuf[0] != '\0' ? t.errbuf : curl_easy_strerror(code);
	}
	return r;
}

long long now_ms()
{
	using namespace std::chrono;
	return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

/* libcurl's global set-up, once per process, before the first handle. */
bool curl_ready()
{
	static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
	return ready;
}

} // namespace

struct Fetcher::Impl {
	std::unique_ptr<CURLM, MultiDeleter> multi{curl_ready() ? curl_multi_init() : nullptr};
	std::unordered_map<CURL *, std::unique_ptr<Transfer>> running;
	std::vector<std::pair<int, HttpResult>> failed; /* could not even start */
	long long deadline = 0;

	~Impl()
	{
		/* Easy handles leave the multi handle before either is cleaned up. */
		for (auto &r : running)
			curl_multi_remove_handle(multi.get(), r.first);
	}
};

Fetcher::Fetcher(long budget_ms) : impl_(new Impl)
{
	impl_->deadline = now_ms() + budget_ms;
}

Fetcher::~Fetcher() = default;

void Fetcher::get(int tag, const std::string &url, const std::vector<std::string> &headers)
{
	auto t = std::make_unique<Transfer>();
	t->tag = tag;
	t->easy.reset(curl_easy_init());
	CURL *h = t->easy.get();
	if (h == nullptr || impl_->multi == nullptr) {
		impl_->failed.emplace_back(tag, HttpResult{false, false, 0, {}, "cannot start a request", {}});
		return;
	}
	long left = static_cast<long>(impl_->deadline - now_ms());
	if (left < 1)
		left = 1;
	curl_slist *list = nullptr;
	for (const std::string &line : headers)
		if (curl_slist *l = curl_slist_append(list, line.c_str()))
			list = l;
	t->headers.reset(list);
	curl_easy_setopt(h, CURLOPT_URL, url.c_str());
	curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
	curl_easy_setopt(h, CURLOPT_HTTPHEADER, t->headers.get());
	curl_easy_setopt(h, CURLOPT_USERAGENT, "quorvane-sglang-metrics/1");
	/* Only plain web requests, and no redirects: a redirect could carry the
	 * API key to another host. */
	curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
	curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
	curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
	curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, left < kConnectTimeoutMs ? left : kConnectTimeoutMs);
	curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, left);
	curl_easy_setopt(h, CURLOPT_ERRORBUFFER, t->errbuf);
	curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
	curl_easy_setopt(h, CURLOPT_WRITEDATA, t.get());
	set_trust(h);
	if (curl_multi_add_handle(impl_->multi.get(), h) != CURLM_OK) {
		impl_->failed.emplace_back(tag, HttpResult{false, false, 0, {}, "cannot start a request", {}});
		return;
	}
	impl_->running.emplace(h, std::move(t));
}

std::vector<std::pair<int, HttpResult>> Fetcher::wait()
{
	std::vector<std::pair<int, HttpResult>> done = std::move(impl_->failed);
	impl_->failed.clear();
	CURLM *m = impl_->multi.get();
	while (!impl_->running.empty() && done.empty()) {
		int still = 0;
		curl_multi_perform(m, &still);
		int queued = 0;
		while (CURLMsg *msg = curl_multi_info_read(m, &queued)) {
			if (msg->msg != CURLMSG_DONE)
				continue;
			auto it = impl_->running.find(msg->easy_handle);
			if (it == impl_->running.end())
				continue;
			Transfer &t = *it->second;
			HttpResult r = result_of(t, msg->data.result);
			done.emplace_back(t.tag, std::move(r));
			curl_multi_remove_handle(m, msg->easy_handle);
			impl_->running.erase(it);
		}
		if (done.empty() && !impl_->running.empty())
			curl_multi_poll(m, nullptr, 0, 100, nullptr);
	}
	return done;
}

} // namespace sgm
