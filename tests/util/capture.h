/* Captures what the response writer sends, as bytes. */
#ifndef QV_TEST_CAPTURE_H
#define QV_TEST_CAPTURE_H

#include <cstdio>
#include <string>

#include "util/util.h"

template <typename F> std::string capture_output(F fn)
{
	FILE *tmp = tmpfile();
	FILE *prev = out_redirect(tmp);
	fn();
	fflush(tmp);
	out_redirect(prev == stdout ? nullptr : prev);
	std::string out;
	rewind(tmp);
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), tmp)) > 0)
		out.append(buf, n);
	fclose(tmp);
	return out;
}

#endif
