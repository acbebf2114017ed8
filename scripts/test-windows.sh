#!/usr/bin/env bash
# Runs the Windows builds (scripts/build-windows.sh) under wine, each in a private WINEPREFIX inside
# its build directory, with wine's null graphics driver (no display needed), against the engine with
# the virtual MIDI service:
#   - the C example client: registration, port lists, an open, direct sends, a song played to its
#     end with its start message, positions and notifications, a note written to the virtual
#     input's named pipe and echoed by thru, unregistration; the engine then closes by itself
#     (status 0) and the virtual log holds exactly the expected lines;
#   - a client that holds the engine's answer for 5 s is given up on after 2 s: a note posted
#     meanwhile is played 2 s after the send began, not 5 s;
#   - settings are read from the registry (the metronome settings the client is sent);
#   - an engine started by a launcher with a pipe as its standard error closes by itself when the
#     launcher goes away before registering;
#   - with the default winmm service and no devices (no sound card), the port lists are empty;
#   - a second engine started while one runs ends with status 2 and the single-instance message;
#   - a client process holding 200 registered windows is killed: the engine unregisters them all
#     and closes by itself;
#   - tovu_win_integration_tests.exe: the client library starting engines itself, recording from
#     the named pipe, a song played with positions, start failures, tovu-ctl.exe (tests/windows).
#
#   scripts/test-windows.sh             both targets (a target whose wine cannot run here is skipped)
#   TOVU_WIN_TARGETS=win64 scripts/test-windows.sh
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The wine loader for a target: 64-bit programs need wine64; 32-bit ones the 32-bit loader, which
# needs a kernel that runs 32-bit programs.
wine_for() {
  local loader
  if [ "$1" = win64 ]; then
    for loader in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
      [ -n "$loader" ] && [ -x "$loader" ] && { echo "$loader"; return 0; }
    done
  else
    for loader in /usr/lib/wine/wine "$(command -v wine || true)"; do
      [ -n "$loader" ] && [ -x "$loader" ] && "$loader" --version > /dev/null 2>&1 && { echo "$loader"; return 0; }
    done
  fi
  return 1
}

# Waits up to $2 seconds for process $1 (a child of this shell) to end; sets `status` to its exit
# status, or to "running".
wait_status() {
  local pid=$1 limit=$2 i
  for ((i = 0; i < limit * 10; ++i)); do
    if ! kill -0 "$pid" 2> /dev/null; then
      wait "$pid"
      status=$?
      return
    fi
    sleep 0.1
  done
  status=running
}

run_target() {
  local target=$1 dir="build-$1" wine
  if ! wine=$(wine_for "$target"); then
    echo "== $target: skipped (no wine that runs $target programs here)"
    return
  fi
  [ -x "$dir/tovu-engine.exe" ] || { fail "$target: $dir/tovu-engine.exe missing (run scripts/build-windows.sh)"; return; }
  export WINEPREFIX="$root/$dir/wineprefix" WINEDEBUG=-all
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot -i > /dev/null 2>&1
  fi
  if ! grep -q '"Graphics"="null"' "$WINEPREFIX/user.reg" 2> /dev/null; then
    # The desktop process that wineboot left running took the display driver it found; it and
    # the prefix's server end here, so that every later program uses the null driver.
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > /dev/null 2>&1
    "$(command -v wineserver || echo /usr/lib/wine/wineserver64)" -k > /dev/null 2>&1
    "$(command -v wineserver || echo /usr/lib/wine/wineserver64)" -w > /dev/null 2>&1
  fi
  local work
  work=$(mktemp -d)
  local log="$work/midi.log"
  local winlog="Z:${log//\//\\}"
  echo "== $target ($wine)"

  # Settings in the registry: a channel with a leading blank, a note with trailing text, and no
  # bar note (its default, 60, applies).
  "$wine" reg delete 'HKCU\Software\Quembly\TovuEngine' /f > /dev/null 2>&1
  "$wine" reg add 'HKCU\Software\Quembly\TovuEngine\MtrChan' /ve /d ' 5' /f > /dev/null 2>&1
  "$wine" reg add 'HKCU\Software\Quembly\TovuEngine\MtrNB' /ve /d '70x' /f > /dev/null 2>&1

  # The example client against a fresh engine.
  local start=$SECONDS
  local pipe="\\\\.\\pipe\\tovu-test-$$-$target"
  TOVU_MIDI=virtual TOVU_VIRTUAL_LOG="$winlog" TOVU_VIRTUAL_INPUT="$pipe" "$wine" "$dir/tovu-engine.exe" > /dev/null 2> "$work/engine.err" &
  local engine=$!
  if "$wine" "$dir/win32_client.exe" 2 1 "$pipe" > "$work/client.out" 2>&1; then
    echo "client: all answers as expected ($(grep -c . "$work/client.out") lines)"
  else
    fail "$target: client"
    cat "$work/client.out"
  fi
  if tr -d '\r' < "$work/client.out" | grep -qx 'metronome settings: 32768 5 60 70'; then
    echo "registry settings: read"
  else
    fail "$target: registry settings: $(grep metronome "$work/client.out")"
  fi
  local status=
  wait_status "$engine" 10
  [ "$status" = 0 ] || { fail "$target: engine after the last unregistration: $status"; kill "$engine" 2> /dev/null; }
  echo "engine closed after the last client with status $status ($((SECONDS - start)) s in all)"
  local expected="open out0
data out0 90 3c 64
data out0 80 3c 00
data out0 90 3c 64
data out0 90 3c 00
close out0
open out0
open in0
data out0 90 40 50
data out0 90 40 00
close out0
close in0"
  local got
  got=$(cut -d' ' -f2- "$log" 2> /dev/null)
  if [ "$got" = "$expected" ]; then
    echo "virtual log: as expected"
  else
    fail "$target: virtual log"
    echo "$got"
  fi
  awk '$3 == "out0" && $4 == "90" && $5 == "3c" { if ($6 == "64") on = $1; else if (on) printf "song note held %.2f ms (500 written)\n", ($1 - on) / 1e6 }' "$log"

  # A client slow to answer: the engine's send gives up after 2 s.
  rm -f "$log"
  TOVU_MIDI=virtual TOVU_VIRTUAL_LOG="$winlog" "$wine" "$dir/tovu-engine.exe" > /dev/null 2>&1 &
  engine=$!
  "$wine" "$dir/win32_client.exe" --stall > "$work/stall.out" 2>&1
  wait_status "$engine" 10
  local gap
  gap=$(awk '$3 == "out0" && $4 == "90" && $6 == "40" { if ($5 == "3c") mark = $1; else if ($5 == "3e" && mark) printf "%d", ($1 - mark) / 1e6 }' "$log")
  if [ -n "$gap" ] && [ "$gap" -ge 1900 ] && [ "$gap" -lt 4000 ]; then
    echo "slow client: the engine gave up on it after $gap ms (posted note played then)"
  else
    fail "$target: slow client: posted note after '${gap}' ms; $(tr -d '\r' < "$work/stall.out")"
  fi

  # Started by a launcher that goes away before registering.
  local out
  if out=$("$wine" "$dir/win32_client.exe" --launch "Z:${root//\//\\}\\$dir\\tovu-engine.exe" 2> /dev/null); then
    echo "launched engine: $(echo "$out" | tr -d '\r' | tail -1)"
  else
    fail "$target: launched engine: $out"
  fi

  # The default service, winmm, with no devices here.
  "$wine" "$dir/tovu-engine.exe" > /dev/null 2>&1 &
  engine=$!
  if out=$("$wine" "$dir/win32_client.exe" 0 0 2> /dev/null); then
    echo "winmm without devices: no ports listed"
  else
    fail "$target: winmm without devices: $out"
  fi
  wait_status "$engine" 10
  [ "$status" = 0 ] || fail "$target: winmm engine: $status"

  # The client library, tovu-ctl.exe and engines it starts itself, through window messages.
  if [ -x "$dir/tovu_win_integration_tests.exe" ]; then
    local scale=1
    [ "$target" = win32 ] && scale=60  # emulated 32-bit programs start and run far slower
    if TOVU_WIN_TEST_TIME_SCALE=$scale "$wine" "$dir/tovu_win_integration_tests.exe" > "$work/integration.out" 2>&1; then
      echo "client library and tovu-ctl: $(tr -d '\r' < "$work/integration.out" | grep -E '^\[  PASSED  \]')"
    else
      fail "$target: client library and tovu-ctl tests"
      tr -d '\r' < "$work/integration.out" | grep -vE '^\[ +(RUN|OK) +\]'
    fi
  else
    fail "$target: $dir/tovu_win_integration_tests.exe missing"
  fi

  # A second engine while one runs.
  rm -f "$log"
  TOVU_MIDI=virtual "$wine" "$dir/tovu-engine.exe" > /dev/null 2>&1 &
  engine=$!
  sleep 2
  TOVU_NO_MESSAGE_BOX=1 TOVU_MIDI=virtual "$wine" "$dir/tovu-engine.exe" > /dev/null 2> "$work/second.err"
  status=$?
  if [ "$status" = 2 ] && [ "$(tr -d '\r' < "$work/second.err")" = "Error: Another instance of Wendle is active" ]; then
    echo "second engine: status 2, \"$(tr -d '\r' < "$work/second.err")\""
  else
    fail "$target: second engine: status $status, stderr: $(cat "$work/second.err")"
  fi
  kill -0 "$engine" 2> /dev/null || fail "$target: the first engine ended when the second started"

  # A client process with 200 registered windows ends without unregistering.
  "$wine" "$dir/win32_client.exe" --hold 200 > "$work/hold.out" 2>&1 &
  local holder=$!
  local i
  for ((i = 0; i < 300; ++i)); do
    grep -q registered "$work/hold.out" && break
    sleep 0.1
  done
  if tr -d '\r' < "$work/hold.out" | grep -qx 'registered 200'; then
    kill -9 "$holder"
    wait "$holder" 2> /dev/null
    start=$SECONDS
    wait_status "$engine" 30
    if [ "$status" = 0 ]; then
      echo "200 windows of a killed client: unregistered, engine closed with status 0 ($((SECONDS - start)) s)"
    else
      fail "$target: engine after its killed 200-window client: $status"
      kill "$engine" 2> /dev/null
    fi
  else
    fail "$target: hold client: $(cat "$work/hold.out")"
    kill "$holder" "$engine" 2> /dev/null
  fi
  wait 2> /dev/null
  rm -rf "$work"
}

for target in ${TOVU_WIN_TARGETS:-win64 win32}; do
  run_target "$target"
done
if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "windows tests passed"
