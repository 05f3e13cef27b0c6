#!/usr/bin/env bash
# The whole chain as a user meets it: lighttpd runs the plug-in as a CGI
# program, the plug-in runs both real companions, the tmux companion asks a
# tmux server on a private socket and the metrics companion asks
# mock-sglang. Nothing of the developer's own (tmux server, sessions, cache)
# is touched.
#
# usage: chain_test.sh PLUGIN TMUX_COMPANION METRICS_COMPANION MOCK FIXTURES
set -euo pipefail

plugin=$1 tmux_companion=$2 metrics_companion=$3 mock=$4 fixtures=$5

for tool in lighttpd tmux; do
  command -v "$tool" >/dev/null || { echo "chain test: '$tool' is not installed" >&2; exit 1; }
done

tmp=$(mktemp -d)
mock_pid= lighttpd_pid=
socket=$tmp/tmux.sock
# Under set -e, a process that ends with a failure status as it is stopped
# must neither cut the cleanup short nor decide the test's status.
stop() { # pid
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null || return 0
  wait "$1" 2>/dev/null || true
}
cleanup() {
  stop "$lighttpd_pid"
  stop "$mock_pid"
  tmux -S "$socket" kill-server 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

fail() {
  echo "chain test: $*" >&2
  exit 1
}

# GET path from 127.0.0.1:port with bash's own socket; prints the answer.
http_get() {
  local port=$1 path=$2
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$path" >&3
  cat <&3
  exec 3<&-
}

# mock-sglang with the recent fixture server; its first line is its port.
"$mock" "$fixtures/a_recent_eagle" >"$tmp/mock.out" &
mock_pid=$!
for _ in $(seq 50); do [ -s "$tmp/mock.out" ] && break; sleep 0.1; done
mock_port=$(head -n 1 "$tmp/mock.out")
[ -n "$mock_port" ] || fail "mock-sglang did not start"

# A session whose worktree holds its session directory.
worktree=$tmp/work/project
sid=20260321-chain
mkdir -p "$worktree/.quorvane/sessions/$sid"
echo "OPENAI_BASE_URL=http://127.0.0.1:$mock_port/v1" >"$worktree/.quorvane/sessions/$sid/config-snapshot.txt"
HOME=$tmp tmux -S "$socket" new-session -d -s chain-demo -c "$worktree"

mkdir -p "$tmp/www" "$tmp/home"
ln -s "$plugin" "$tmp/www/sglang-monitor"
# lighttpd on the first free port of a few tried.
for attempt in $(seq 20); do
  port=$((20000 + RANDOM % 40000))
  cat >"$tmp/lighttpd.conf" <<EOF
server.document-root = "$tmp/www"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$tmp/lighttpd.log"
server.modules = ( "mod_setenv", "mod_cgi" )
cgi.assign = ( "/sglang-monitor" => "" )
setenv.add-environment = (
  "PATH" => "$PATH",
  "HOME" => "$tmp/home",
  "XDG_CACHE_HOME" => "$tmp/cache",
  "QUORVANE_TMUX_BIN" => "$tmux_companion",
  "QUORVANE_SGLANG_METRICS_BIN" => "$metrics_companion",
  "QUORVANE_TMUX_SOCKET" => "$socket"
)
EOF
  lighttpd -D -f "$tmp/lighttpd.conf" &
  lighttpd_pid=$!
  for _ in $(seq 30); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break 2
    kill -0 "$lighttpd_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$lighttpd_pid" 2>/dev/null; wait "$lighttpd_pid" 2>/dev/null || true
  lighttpd_pid=
done
[ -n "$lighttpd_pid" ] || fail "lighttpd did not start: $(cat "$tmp/lighttpd.log" 2>/dev/null)"

sessions=$(http_get "$port" "/sglang-monitor?action=sessions")
echo "$sessions" | head -n 1 | grep -q " 200 " || fail "sessions: $sessions"
echo "$sessions" | grep -qF "{\"name\":\"chain-demo\",\"sid\":\"$sid\",\"url\":\"http://127.0.0.1:$mock_port/v1\",\"has_url\":true}" ||
  fail "sessions does not list the tmux session with its endpoint: $sessions"

metrics=$(http_get "$port" "/sglang-monitor?action=metrics&id=chain-demo")
echo "$metrics" | head -n 1 | grep -q " 200 " || fail "metrics: $metrics"
for member in "\"url\":\"http://127.0.0.1:$mock_port\"" '"model":"meta-llama/Llama-3.1-8B-Instruct"' \
  '"num_running_reqs":48' '"prompt_tokens_total":37498112' '"ok":true' '"source":"session"' \
  "\"session\":\"$sid\""; do
  echo "$metrics" | grep -qF "$member" || fail "metrics lacks $member: $metrics"
done
[ -f "$worktree/.quorvane/sessions/$sid/sglang_metrics.json" ] || fail "the metrics document was not cached"
echo "chain test: sessions and metrics answered through lighttpd, both companions and mock-sglang"
