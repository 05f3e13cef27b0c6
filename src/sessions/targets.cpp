/*
 * Discovery targets: each session's endpoint as the address, scheme and
 * metrics path a Prometheus scrape job needs, written as one target group
 * of an HTTP service-discovery answer.
 */
#include <stdio.h>
#include <string.h>

#include "sessions/sessions.h"
#include "util/util.h"

#define TARGET_PORT_MAX 65535
#define TARGET_PORT_DIGITS 5

static int host_ok(const char *host, size_t len);
static int port_ok(const char *port, size_t len);

/* 1 when [host, host + len) is a name or an IPv4 address: letters, digits,
 * ".", "-" and "_", at least one byte. */
static int host_ok(const char *host, size_t len)
{
	size_t i;

	if (len == 0)
		return 0;
	for (i = 0; i < len; i++) {
		unsigned char c = (unsigned char)host[i];

		if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
		      c == '.' || c == '-' || c == '_'))
			return 0;
	}
	return 1;
}

/* 1 when [port, port + len) is a port number from 1 to 65535 in decimal. */
static int port_ok(const char *port, size_t len)
{
	long value = 0;
	size_t i;

	if (len == 0 || len > TARGET_PORT_DIGITS)
		return 0;
	for (i = 0; i < len; i++) {
		if (port[i] < '0' || port[i] > '9')
			return 0;
		value = value * 10 + (port[i] - '0');
	}
	return value >= 1 && value <= TARGET_PORT_MAX;
}

int target_parse(const char *endpoint, scrape_target *t)
{
	char bare[ENDPOINT_CAP];
	char norm[ENDPOINT_NORM_CAP];
	const char *rest;
	const char *slash;
	const char *at;
	const char *colon;
	size_t cut;
	size_t hostport;
	size_t n;

	memset(t, 0, sizeof(*t));
	if (!url_ok(endpoint))
		return 0;
	/* A query or fragment names no part of the server and may hold a key:
	 * it is left out before the comparison form drops "/" and "/v1". An
	 * endpoint that does not fit whole is refused rather than cut. */
	cut = strcspn(endpoint, "?#");
	if (cut >= sizeof(bare))
		return 0;
	memcpy(bare, endpoint, cut);
	bare[cut] = '\0';
	normalize_endpoint(bare, norm);

	if (strncmp(norm, "https://", 8) == 0) {
		str_copy(t->scheme, "https", sizeof(t->scheme));
		rest = norm + 8;
	} else {
		str_copy(t->scheme, "http", sizeof(t->scheme));
		rest = norm + 7;
	}
	slash = strchr(rest, '/');
	hostport = slash != NULL ? (size_t)(slash - rest) : strlen(rest);
	/* Credentials in front of the host never leave the plug-in: the
	 * address starts after the last "@" of the authority. */
	for (at = rest + hostport; at > rest && at[-1] != '@'; at--)
		;
	hostport -= (size_t)(at - rest);
	colon = (const char *)memchr(at, ':', hostport);
	if (colon != NULL) {
		if (!host_ok(at, (size_t)(colon - at)) ||
		    !port_ok(colon + 1, hostport - (size_t)(colon - at) - 1))
			return 0;
		memcpy(t->address, at, hostport);
		t->address[hostport] = '\0';
	} else {
		if (!host_ok(at, hostport))
			return 0;
		/* Without a port the scheme's own is meant; naming it keeps the
		 * address the same whatever Prometheus assumes. */
		snprintf(t->address, sizeof(t->address), "%.*s:%s", (int)hostport, at,
			 strcmp(t->scheme, "https") == 0 ? "443" : "80");
	}

	/* The path in front of the dropped "/v1" is where the server is
	 * mounted, and its metrics are beside it. */
	str_copy(t->metrics_path, slash != NULL ? slash : "", sizeof(t->metrics_path));
	n = strlen(t->metrics_path);
	while (n > 0 && t->metrics_path[n - 1] == '/')
		t->metrics_path[--n] = '\0';
	str_copy(t->metrics_path + n, "/metrics", sizeof(t->metrics_path) - n);
	return 1;
}

int target_write(int first, const char *name, const char *endpoint)
{
	scrape_target t;

	if (!target_parse(endpoint, &t))
		return 0;
	if (!first)
		out_str(",");
	out_str("{\"targets\":[");
	json_print_str(t.address);
	out_str("],\"labels\":{\"session\":");
	json_print_str(name);
	out_str(",\"__scheme__\":");
	json_print_str(t.scheme);
	out_str(",\"__metrics_path__\":");
	json_print_str(t.metrics_path);
	out_str("}}");
	return 1;
}
