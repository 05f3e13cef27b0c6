#!/usr/bin/env bash
# The Windows zip as a host installs it: it holds the plug-in, the metrics
# companion and INSTALL.txt (Windows line ends) and nothing else, neither
# program needs a DLL outside Windows' own, and the two, taken from the
# unpacked zip and laid out as INSTALL.txt says, answer action=metrics for
# a session whose endpoint is mock-sglang, the second time from the cache.
#
# usage: wine_package_test.sh BUILD_DIR MOCK FIXTURES   (makes the zip)
#        wine_package_test.sh --check ZIP               (checks a zip alone)
. "$(dirname "$0")/wine_lib.sh"

# Windows' own DLLs, the only ones a program of the package may import.
system_dlls='^(kernel32|advapi32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+|user32|shell32|ole32|ws2_32|winhttp|crypt32|bcrypt|secur32|ntdll)\.dll$'

# Checks zip $1 and unpacks it into folder $2.
check_zip() {
  local zip=$1 into=$2 names dll
  names=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
  [ "$names" = "INSTALL.txt quorvane-sglang-metrics.exe sglang-monitor.exe " ] ||
    fail "$zip holds: $names"
  mkdir -p "$into"
  unzip -q -o "$zip" -d "$into"
  [ "$(grep -c $'\r$' "$into/INSTALL.txt")" = "$(wc -l <"$into/INSTALL.txt")" ] ||
    fail "INSTALL.txt has lines without Windows line ends"
  for exe in "$into"/*.exe; do
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
    [[ ${dlls,,} == *kernel32.dll* ]] || fail "cannot read the imports of ${exe##*/}"
    for dll in $dlls; do
      [[ ${dll,,} =~ $system_dlls ]] || fail "${exe##*/} imports $dll"
    done
  done
  echo "package: $(basename "$zip"): $names; imports only Windows' own DLLs"
}

if [ "$1" = --check ]; then
  check_zip "$2" "$tmp/unpacked"
  exit 0
fi

build=$1 mock=$2 fixtures=$3
cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$tmp/cpack.log")"
zips=("$tmp"/pkg/sglang-monitor-*-win64.zip)
[ ${#zips[@]} = 1 ] && [ -f "${zips[0]}" ] || fail "no sglang-monitor-<version>-win64.zip: $(ls "$tmp/pkg")"
pkg=$tmp/unpacked
check_zip "${zips[0]}" "$pkg"

# As INSTALL.txt says: the companion beside the bot's tmux companion (only
# its presence counts here) under %LOCALAPPDATA%\quorvane, and a session
# there whose endpoint is the mock.
appdata=$tmp/appdata
mkdir -p "$appdata/quorvane/sessions/s1"
cp "$pkg/quorvane-sglang-metrics.exe" "$appdata/quorvane/"
: >"$appdata/quorvane/quorvane-tmux.exe"

request() (
  unset BOT_PASSWORD QV_SESSIONS_DIR QUORVANE_SGLANG_METRICS_BIN QUORVANE_TMUX_BIN
  export GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET QUERY_STRING='action=metrics&id=s1'
  win_run "$appdata" "$pkg/sglang-monitor.exe"
)

# The second request comes from the cache: the server is gone by then, and
# the answer is the first one, byte for byte. On a loaded machine Wine can
# take longer to start the plug-in than the cache's 3 seconds; then the pair
# runs again with the cache touched every second while the second request
# runs, as if it came in time (a file dated ahead of the clock is stale).
head=$'Content-Type: application/json; charset=utf-8\r\n\r\n{"url":"http://127.0.0.1:'
cache=$appdata/quorvane/sessions/s1/sglang_metrics.json
for attempt in 1 2; do
  start_mock "$fixtures/a_recent_eagle"
  echo "OPENAI_BASE_URL=http://127.0.0.1:$mock_port/v1" >"$appdata/quorvane/sessions/s1/config-snapshot.txt"
  rm -f "$cache"
  first=$(request)
  stop "$mock_pid"
  mock_pid=
  [[ $first == "$head"* && $first == *'"model":"meta-llama/Llama-3.1-8B-Instruct"'* &&
     $first == *'"ok":true'* && $first == *'"source":"session","session":"s1"}' ]] ||
    fail "first answer: $first"
  [ -f "$cache" ] || fail "no cache file in the session folder"
  toucher=
  if [ "$attempt" = 2 ]; then
    while :; do touch "$cache"; sleep 1; done &
    toucher=$!
  fi
  t0=$(date +%s)
  second=$(request)
  [ -z "$toucher" ] || { kill "$toucher"; wait "$toucher" 2>/dev/null || true; }
  if [ "$second" = "$first" ]; then
    echo "end to end: a live answer, then the same from the cache (run $attempt)"
    exit 0
  fi
  [ "$attempt" = 1 ] && [ $(($(date +%s) - t0)) -ge 2 ] || fail "second answer not from the cache: $second"
  echo "the second run took $(($(date +%s) - t0)) s, longer than the cache lives; once more"
done
