/*
 * The metrics action: the live metrics of one SGLang server, named by URL or
 * by session, as one JSON document.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "metrics/metrics.h"
#include "sessions/sessions.h"
#include "tools/tools.h"
#include "util/util.h"

#define ID_CAP 256
#define URL_CAP 512
#define FRESH_CAP 16
#define METRICS_ROOT_SLOTS 8
/* A session directory from the listing is kept whole. */
#define SESSION_DIR_CAP ENTRY_DIR_CAP
/* A root (at most ROOT_CAP - 1 bytes), a separator and a folder's name (an
 * identifier that passed safe_id, or a name read from a root, at most
 * PLAT_NAME_CAP - 1 bytes) always fit. */
#define CANDIDATE_CAP (ROOT_CAP + PLAT_NAME_CAP)
/* Room in the document beyond the companion's object: the four members'
 * names, the source, a 64-bit time, the quotes and the line end. */
#define DOC_EXTRA 512
/* The companion's own reason is passed on cut to this many bytes; a
 * sentence of ours that names the companion's path needs more room. */
#define DETAIL_REASON_MAX 300
#define DETAIL_CAP (METRICS_PATH_CAP + 64)

/* The variable through which the metrics companion gets the servers' API
 * key. */
#define API_KEY_VAR "SGLANG_API_KEY"

static const char no_metrics[] =
	"no SGLang metrics at this URL (not SGLang, unreachable, or API-key gated)";

static int root_entry_path(const char *root, const char *name, char *candidate);
static int find_session(const char *id, char *dir, char *name);
static int same_endpoint(const char *a_norm, const char *b);
static int endpoint_configured(const char *endpoint);
static int key_allowed(const char *endpoint);
static void probe_url(const char *url, size_t url_len, const char *id);
static int match_listing(const char *id, char *dir, char *name);
static size_t trim_output(const char *out, size_t len);
static int object_is_empty(const char *out, size_t len);
static enum run_result run_probe(const char *endpoint, int with_key, char **out, size_t *len,
				 int *status);
static void probe_failed(const char *status, const char *message, const char *endpoint,
			 const char *detail, const char *session_dir);
static void failure_detail(enum run_result result, const char *out, size_t len, char *detail);
static char *form_document(const char *out, size_t len, int64_t now, const char *source,
			   const char *session);
static void probe(const char *endpoint, int with_key, const char *source,
		  const char *session_dir, const char *session);

/* Finds the session directory of id in the listing: an exact name first,
 * then a name that holds id; only records with a directory count. */
static int match_listing(const char *id, char *dir, char *name)
{
	session_entry *table;
	session_entry *hit = NULL;
	int n;
	int i;

	table = (session_entry *)calloc(SESSION_TABLE_CAP, sizeof(session_entry));
	if (table == NULL)
		return 0;
	n = list_tmux_sessions(table);
	for (i = 0; i < n && hit == NULL; i++) {
		if (table[i].session_dir[0] != '\0' && strcmp(table[i].name, id) == 0)
			hit = &table[i];
	}
	for (i = 0; i < n && hit == NULL; i++) {
		if (table[i].session_dir[0] != '\0' && strstr(table[i].name, id) != NULL)
			hit = &table[i];
	}
	if (hit != NULL) {
		str_copy(dir, hit->session_dir, SESSION_DIR_CAP);
		str_copy(name, hit->sid, ENTRY_SID_CAP);
	}
	free(table);
	return hit != NULL;
}

/* Forms the path of entry name under a session root into candidate
 * (CANDIDATE_CAP). 1 when it fits whole. */
static int root_entry_path(const char *root, const char *name, char *candidate)
{
	return path_join(candidate, CANDIDATE_CAP, root, name);
}

/* Finds the session directory of id: a directory of that name under a
 * session root, else the listing's. Fills dir and the reported name. */
static int find_session(const char *id, char *dir, char *name)
{
	char roots[METRICS_ROOT_SLOTS][ROOT_CAP];
	char candidate[CANDIDATE_CAP];
	int n;
	int i;

	n = collect_default_roots(roots, METRICS_ROOT_SLOTS);
	for (i = 0; i < n; i++) {
		if (root_entry_path(roots[i], id, candidate) && is_dir(candidate)) {
			str_copy(dir, candidate, SESSION_DIR_CAP);
			str_copy(name, id, ENTRY_SID_CAP);
			return 1;
		}
	}
	return match_listing(id, dir, name);
}

/* 1 when endpoint b has the comparison form a_norm. */
static int same_endpoint(const char *a_norm, const char *b)
{
	char norm[ENDPOINT_NORM_CAP];

	normalize_endpoint(b, norm);
	return b[0] != '\0' && strcmp(a_norm, norm) == 0;
}

/* 1 when endpoint names the server of a session on this node, that is one
 * an operator configured: the endpoint of a directory under a session root,
 * or of a session in the listing. Compared in the comparison form, which
 * names the same host and port. */
static int endpoint_configured(const char *endpoint)
{
	char roots[METRICS_ROOT_SLOTS][ROOT_CAP];
	char norm[ENDPOINT_NORM_CAP];
	char candidate[CANDIDATE_CAP];
	char url[ENDPOINT_CAP];
	session_entry *table;
	plat_dir d;
	int found = 0;
	int n;
	int i;

	normalize_endpoint(endpoint, norm);
	n = collect_default_roots(roots, METRICS_ROOT_SLOTS);
	for (i = 0; i < n && !found; i++) {
		if (!plat_dir_open(&d, roots[i]))
			continue;
		while (!found && plat_dir_next(&d)) {
			if (d.name[0] == '.' || !d.is_dir)
				continue;
			found = root_entry_path(roots[i], d.name, candidate) &&
				resolve_session_url(candidate, url) && same_endpoint(norm, url);
		}
		plat_dir_close(&d);
	}
	if (found)
		return 1;
	/* Only then the listing, which runs the tmux companion. */
	table = (session_entry *)calloc(SESSION_TABLE_CAP, sizeof(session_entry));
	if (table == NULL)
		return 0;
	n = list_tmux_sessions(table);
	for (i = 0; i < n && !found; i++)
		found = same_endpoint(norm, table[i].url);
	free(table);
	return found;
}

/* 1 when the companion may have the API key for endpoint: a key is set and
 * the endpoint is one an operator configured. Without a key there is
 * nothing to keep back, and the search, which may run the tmux companion,
 * is skipped. */
static int key_allowed(const char *endpoint)
{
	const char *key = getenv(API_KEY_VAR);

	return key != NULL && key[0] != '\0' && endpoint_configured(endpoint);
}

/* The length of out without its trailing spaces, tabs and line ends. */
static size_t trim_output(const char *out, size_t len)
{
	while (len > 0 && (out[len - 1] == ' ' || out[len - 1] == '\t' ||
			   out[len - 1] == '\n' || out[len - 1] == '\r'))
		len--;
	return len;
}

/* 1 when the object in out[0..len) has no members: only blanks between
 * its braces. */
static int object_is_empty(const char *out, size_t len)
{
	size_t i;

	for (i = 1; i + 1 < len; i++) {
		if (out[i] != ' ' && out[i] != '\t' && out[i] != '\n' && out[i] != '\r')
			return 0;
	}
	return 1;
}

/* Runs the metrics companion once on endpoint, with the API key in its
 * environment only when with_key: its output (null when none) with *len its
 * length less trailing blanks, and its exit status. */
static enum run_result run_probe(const char *endpoint, int with_key, char **out, size_t *len,
				 int *status)
{
	const char *argv[3];
	enum run_result result;
	uint64_t n;

	argv[0] = sglang_metrics_bin();
	argv[1] = endpoint;
	argv[2] = NULL;
	result = run_companion_without(argv, with_key ? NULL : API_KEY_VAR, METRICS_TIMEOUT_MS,
				       out, &n, status);
	*len = *out != NULL ? trim_output(*out, (size_t)n) : 0;
	return result;
}

/* Puts into detail (DETAIL_CAP bytes) why a probe gave no document: which
 * of the two bounds of a run it hit, else the companion's string member
 * "error" when its output (len bytes, trimmed) is an object; else empty. */
static void failure_detail(enum run_result result, const char *out, size_t len, char *detail)
{
	detail[0] = '\0';
	if (result == RUN_NOT_STARTED) {
		snprintf(detail, DETAIL_CAP, "the metrics companion could not be started: %s",
			 sglang_metrics_bin());
	} else if (result == RUN_TIMED_OUT) {
		snprintf(detail, DETAIL_CAP,
			 "the metrics companion gave no answer within %d seconds and was stopped",
			 METRICS_TIMEOUT_MS / 1000);
	} else if (len >= 2 && out[0] == '{' && out[len - 1] == '}') {
		/* The extractor cuts a long reason between characters. */
		if (!json_extract_str_after(out, out + len, "error", detail, DETAIL_REASON_MAX + 1))
			detail[0] = '\0';
	}
}

/* Forms the metrics document: the companion's object (len bytes, closing
 * brace included) extended with ok, updated_epoch, source and session.
 * Returns a new heap text, or null when memory is short. */
static char *form_document(const char *out, size_t len, int64_t now, const char *source,
			   const char *session)
{
	size_t size = len + DOC_EXTRA + json_escaped_len(session);
	size_t n;
	char *doc;

	doc = (char *)malloc(size);
	if (doc == NULL)
		return NULL;
	memcpy(doc, out, len - 1);
	n = len - 1;
	/* An object without members gets no comma before the first added
	 * member, so the document stays valid JSON. */
	n += (size_t)snprintf(doc + n, size - n,
			      "%s\"ok\":true,\"updated_epoch\":%lld,\"source\":\"%s\",\"session\":\"",
			      object_is_empty(out, len) ? "" : ",", (long long)now, source);
	n += json_escape_text(session, doc + n);
	memcpy(doc + n, "\"}\n", 4);
	return doc;
}

/* Answers a failed probe of endpoint with the error answer; for a session
 * target the answer is recorded first, so that the requests of the same
 * expiry are given it instead of probing again. */
static void probe_failed(const char *status, const char *message, const char *endpoint,
			 const char *detail, const char *session_dir)
{
	if (session_dir[0] != '\0')
		metrics_cache_store_failure(session_dir, endpoint, status, message, detail);
	reply_json_err_detail(status, message, endpoint, detail);
}

/* Runs the metrics companion once on endpoint (with the API key when
 * with_key) and answers with its document, stored in the session's cache
 * for a session target. A failure answers 502 with the reason, when one is
 * known. */
static void probe(const char *endpoint, int with_key, const char *source,
		  const char *session_dir, const char *session)
{
	enum run_result result;
	char detail[DETAIL_CAP];
	char *out;
	int status;
	size_t len;
	char *doc;

	result = run_probe(endpoint, with_key, &out, &len, &status);
	if (result == RUN_NO_CHILD) {
		probe_failed("502 Bad Gateway", "failed to run quorvane-sglang-metrics", endpoint,
			     NULL, session_dir);
		return;
	}
	/* A zero byte would end the document early in the cache and in every
	 * reader that takes it as text: such output is no JSON object. */
	if (status != 0 || len < 2 || out[0] != '{' || out[len - 1] != '}' ||
	    memchr(out, '\0', len) != NULL) {
		failure_detail(result, out, len, detail);
		free(out);
		probe_failed("502 Bad Gateway", no_metrics, endpoint, detail, session_dir);
		return;
	}
	doc = form_document(out, len, plat_time(), source, session);
	free(out);
	if (doc == NULL) {
		probe_failed("500 Internal Server Error", "out of memory", endpoint, NULL,
			     session_dir);
		return;
	}
	if (session_dir[0] != '\0')
		metrics_cache_store(session_dir, doc);
	out_header(NULL, OUT_JSON);
	out_str(doc);
	free(doc);
}

/* Answers for a URL target of url_len bytes (url holds it when it fitted
 * URL_CAP). The id of a URL target is only reported, never looked up. */
static void probe_url(const char *url, size_t url_len, const char *id)
{
	/* A URL too long to hold whole is refused, never probed cut. */
	if (url_len >= URL_CAP) {
		reply_json_err("400 Bad Request", "invalid url (too long)", NULL);
		return;
	}
	if (!url_ok(url)) {
		reply_json_err("400 Bad Request", "invalid url (must be http:// or https://)", url);
		return;
	}
	/* The API key goes only to a server an operator configured: any page
	 * or client can name a URL here. */
	probe(url, key_allowed(url), "query", "", id);
}

void handle_metrics(const char *query)
{
	char id[ID_CAP];
	char url[URL_CAP];
	char fresh[FRESH_CAP];
	char endpoint[ENDPOINT_CAP];
	char dir[SESSION_DIR_CAP];
	char name[ENTRY_SID_CAP];
	size_t url_len;
	int held = 0;

	get_query_val(query, "id", id, sizeof(id));
	get_query_val_len(query, "url", url, sizeof(url), &url_len);
	get_query_val(query, "fresh", fresh, sizeof(fresh));
	dir[0] = '\0';
	name[0] = '\0';

	if (url_len > 0) {
		probe_url(url, url_len, id);
		return;
	}
	if (id[0] == '\0' || !safe_id(id)) {
		reply_json_err("400 Bad Request", "select a session or enter an SGLang URL", NULL);
		return;
	}
	if (!find_session(id, dir, name)) {
		reply_json_err("404 Not Found", "session not found on this node", NULL);
		return;
	}
	if (!resolve_session_url(dir, endpoint)) {
		reply_json_err("404 Not Found",
			       "session has no OPENAI_BASE_URL (not an OpenAI-compatible provider)",
			       NULL);
		return;
	}
	if (!url_ok(endpoint)) {
		reply_json_err("400 Bad Request", "session OPENAI_BASE_URL is not usable", endpoint);
		return;
	}
	if (metrics_cache_serve(dir, endpoint, fresh))
		return;
	/* Requests that find the cache stale together wait for one probe. */
	if (metrics_cache_await(dir, endpoint, fresh, METRICS_TIMEOUT_MS, &held))
		return;
	probe(endpoint, 1, "session", dir, name[0] != '\0' ? name : id);
	if (held)
		metrics_cache_unlock(dir);
}
