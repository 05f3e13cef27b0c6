#!/usr/bin/env bash
# The Windows metrics companion under Wine against mock-sglang on the same
# loopback, beside the build machine's own companion: the same document,
# byte for byte (the mock's port aside), from every fixture server, and
# from two probes five seconds apart (the state kept under %LOCALAPPDATA%),
# and from servers that fail: a port where nothing listens, a web site, a
# server that answers after the probe's bound. A state folder that is a
# link is not used.
#
# usage: wine_companion_test.sh fixtures|window|failures|state WIN_COMPANION
#                               HOST_COMPANION MOCK FIXTURES
mode=$1 win=$2 host=$3 mock=$4 fixtures=$5
. "$(dirname "$0")/wine_lib.sh"
key=sk-fixture-0c1d2e3f

# One probe by companion $1 (win or host) of the mock's route $2, at clock
# $3, its state in folder $4, with the API key when $5 is "key"; prints
# "status: output" with the mock's port made PORT.
probe() {
  local who=$1 route=$2 clock=$3 state=$4 with_key=${5:-} out status=0
  local url="http://127.0.0.1:$mock_port$route"
  mkdir -p "$state"
  if [ "$who" = win ]; then
    out=$(QUORVANE_TEST_CLOCK_MS=$clock SGLANG_API_KEY=${with_key:+$key} win_run "$state" "$win" "$url" 2>"$tmp/err") || status=$?
  else
    out=$(env -i PATH="$PATH" XDG_CACHE_HOME="$state" QUORVANE_TEST_CLOCK_MS="$clock" \
      SGLANG_API_KEY=${with_key:+$key} "$host" "$url" 2>"$tmp/err") || status=$?
  fi
  echo "$status: ${out//127.0.0.1:$mock_port/127.0.0.1:PORT}"
}

# Both companions on a fresh mock started with the arguments after $1..$2
# (route, key), each with a fresh state; fails when they differ, in a
# document or in the failure form.
same() {
  local route=$1 with_key=$2 args=("${@:3}") outs=()
  for who in host win; do
    start_mock "${args[@]}"
    outs+=("$(probe "$who" "$route" 7000000 "$tmp/$who-$RANDOM" "$with_key")")
  done
  [ "${outs[0]}" = "${outs[1]}" ] ||
    fail "$* gave on this machine:"$'\n'"${outs[0]}"$'\n'"and under Wine:"$'\n'"${outs[1]}"
  echo "same: ${args[*]} ($route${with_key:+, with key})"
}

case $mode in
fixtures)
  # A fixture server answers every route it has a file for; a folder with
  # pages of metrics alone is served one page at a time.
  for dir in "$fixtures"/*/; do
    dir=${dir%/}
    if [ -f "$dir/v1_models.json" ]; then
      same /v1/ "" "$dir"
      same "" key "$dir"
    else
      for page in "$dir"/metrics*.txt; do
        if [ -f "$page" ]; then
          same "" "" --scrapes "${page##*/}" "$dir"
        fi
      done
    fi
  done
  ;;
window)
  # The second probe measures over the window since the first.
  for dir in "$fixtures"/*/; do
    [ -f "$dir/metrics_t5.txt" ] || continue
    outs=()
    for who in host win; do
      start_mock "${dir%/}"
      probe "$who" /v1 7000000 "$tmp/$who-w" >/dev/null
      outs+=("$(probe "$who" /v1 7005000 "$tmp/$who-w")")
    done
    [ "${outs[0]}" = "${outs[1]}" ] ||
      fail "window of $dir on this machine:"$'\n'"${outs[0]}"$'\n'"and under Wine:"$'\n'"${outs[1]}"
    [[ ${outs[1]} == *'"window_s":5.0'* ]] || fail "no window under Wine: ${outs[1]}"
    compgen -G "$tmp/win-w/quorvane/sglang-metrics/*.json" >/dev/null ||
      fail "no state under %LOCALAPPDATA%\\quorvane\\sglang-metrics"
    echo "same window: $dir"
    windows=$((${windows:-0} + 1))
  done
  [ "${windows:-0}" -gt 0 ] || fail "no fixture server with a second page (metrics_t5.txt)"
  ;;
failures)
  # A port that was just free: refused at once, in the failure form; the
  # words come from the HTTP stack, so only their start is the same.
  start_mock "$fixtures/a_recent_eagle"
  stop "$mock_pid"
  mock_pid=
  got=$(probe win /v1 7000000 "$tmp/win-r")
  want='1: {"url":"http://127.0.0.1:PORT","model":"","error":"cannot reach the server: '
  [ "${got#"$want"}" != "$got" ] || fail "refused port gave: $got"
  grep -q '^quorvane-sglang-metrics: cannot reach the server' "$tmp/err" || fail "stderr: $(cat "$tmp/err")"
  echo "refused: $got"
  same "" "" --html
  # Every route answers after the bound: the probe gives up at it.
  SECONDS=0
  same /v1 "" --delay-ms 9500 "$fixtures/b_v043"
  [ "$SECONDS" -lt 40 ] || fail "two probes of a silent server took $SECONDS s"
  ;;
state)
  # Under Wine a linked folder of this machine is a reparse point, as a
  # Windows link is (a linked file is not: Wine shows its target). A state
  # folder that is a link is neither read nor written.
  start_mock "$fixtures/a_recent_eagle"
  state=$tmp/s/quorvane/sglang-metrics
  mkdir -p "$tmp/s/quorvane" "$tmp/elsewhere"
  ln -s "$tmp/elsewhere" "$state"
  got=$(probe win /v1 7005000 "$tmp/s")
  [[ $got == '0: {'* ]] || fail "state folder a link: $got"
  grep -q "not used (it is a link)" "$tmp/err" || fail "state folder a link, stderr: $(cat "$tmp/err")"
  [ -z "$(ls -A "$tmp/elsewhere")" ] || fail "written through a link: $(ls "$tmp/elsewhere")"
  echo "state: links refused"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
