# Shared by the Windows tests run under Wine: a temporary folder removed on
# exit, mock-sglang started and stopped, Windows programs run with a chosen
# %LOCALAPPDATA%. Sourced; sets -euo pipefail.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}

tmp=$(mktemp -d)
mock_pid= mock_port=
stop() { # pid
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null || return 0
  wait "$1" 2>/dev/null || true
}
trap 'stop "$mock_pid"; rm -rf "$tmp"' EXIT

fail() {
  echo "${0##*/}: $*" >&2
  exit 1
}

# Starts mock-sglang ($mock) with the arguments given, in place of the one
# running; sets mock_port from the first line it prints.
start_mock() {
  stop "$mock_pid"
  "$mock" "$@" >"$tmp/mock.out" &
  mock_pid=$!
  mock_port=
  # Waits long: on a loaded machine a start can take many seconds.
  for _ in $(seq 600); do
    [ -s "$tmp/mock.out" ] || ! kill -0 "$mock_pid" 2>/dev/null && break
    sleep 0.1
  done
  mock_port=$(head -n 1 "$tmp/mock.out")
  [ -n "$mock_port" ] || fail "mock-sglang $* did not start"
}

# A path of this machine as Windows programs under Wine see it.
win_path() {
  local p=${1//\//\\}
  echo "Z:$p"
}

# Runs Windows program $2 under Wine with the arguments after it, with
# %LOCALAPPDATA% set to folder $1 (Wine puts its own in place of the one
# from outside, so cmd sets it). The program's own standard output and
# error pass through, and its exit status is ours.
win_run() {
  local appdata=$1 program=$2
  shift 2
  wine cmd /c "set LOCALAPPDATA=$(win_path "$appdata")&& $(win_path "$program") $*"
}
