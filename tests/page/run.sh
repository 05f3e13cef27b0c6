#!/bin/sh
# Runs the monitor page tests against a built tree:
#   tests/page/run.sh BUILD_DIR
# Installs the locked test dependencies, then runs the formatter unit tests
# and the browser tests under node's test runner.
set -eu

if [ $# -ne 1 ] || [ ! -x "$1/sglang-monitor" ]; then
	echo "usage: tests/page/run.sh BUILD_DIR (a build tree holding sglang-monitor)" >&2
	exit 2
fi
QV_BUILD_DIR=$(cd "$1" && pwd)
export QV_BUILD_DIR
cd "$(dirname "$0")"

# The lock file names versions and hashes only, never a download address.
if grep -q '"resolved"' package-lock.json; then
	echo "run.sh: package-lock.json holds download addresses" >&2
	exit 1
fi
npm ci --no-audit --no-fund --loglevel=error >&2
exec node --test --test-reporter=tap format.test.mjs served.test.mjs theme.test.mjs client.test.mjs status.test.mjs history.test.mjs all.test.mjs e2e.test.mjs
