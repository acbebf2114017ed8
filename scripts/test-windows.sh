#!/usr/bin/env bash
# Runs the Windows builds (scripts/build-windows.sh) under wine, each in a private WINEPREFIX inside
# its build directory, with wine's null graphics driver (no display needed), against the engine with
# the virtual MIDI service:
#   - the unit tests, as one process (tovu_unit_tests.exe; see unit_filter for the emulated target);
#   - the C example client: registration, port lists, an open, direct sends, a song played to its
#     end with its start message, positions and notifications, a note written to the virtual
#     input's named pipe and echoed by thru, unregistration; the engine then closes by itself
#     (status 0) and the virtual log holds exactly the expected lines;
#   - a client that holds the engine's answer for 5 s is given up on after 2 s, and a note posted
#     300 ms into the wait is played then, not held behind the answer;
#   - settings are read from the registry (the metronome settings the client is sent);
#   - an engine started by a launcher with a pipe as its standard error closes by itself when the
#     launcher goes away before registering;
#   - with the default winmm service and no devices (no sound card), the port lists are empty;
#   - a second engine started while one runs ends with status 2 and the single-instance message;
#   - a client process holding 200 registered windows is killed: the engine unregisters them all
#     and closes by itself;
#   - tovu_win_integration_tests.exe: the client library starting engines itself, recording from
#     the named pipe, a song played with positions, start failures, tovu-ctl.exe, devices added and
#     removed through the virtual control pipe while a song plays (tests/windows).
#
# The win32 target also runs its client against the win64 engine. Where it runs emulated (qemu-user
# on a kernel without 32-bit support: about a minute per process start) it runs the unit tests'
# single-threaded suites and the example client only (see below, where each cut is explained).
# Ends with status 1 when anything failed.
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

# The wine loader for a target. Both run in a 64-bit prefix through wine64, which hands 32-bit
# programs to wine's 32-bit loader; that one runs only where the kernel runs 32-bit programs (or
# where qemu-user is registered for them: scripts/setup-windows.sh), so a win32 target needs it to answer.
wine_for() {
  local loader
  if [ "$1" = win32 ] && ! /usr/lib/wine/wine --version > /dev/null 2>&1; then
    return 1
  fi
  for loader in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
    [ -n "$loader" ] && [ -x "$loader" ] && { echo "$loader"; return 0; }
  done
  return 1
}

# True for a target whose programs run emulated here: win32 through qemu-user (scripts/setup-windows.sh
# registers it on a kernel that cannot run 32-bit programs itself).
emulated() {
  [ "$1" = win32 ] && grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2> /dev/null
}

wineserver_for() { command -v wineserver || echo /usr/lib/wine/wineserver64; }

# Makes the target's private prefix ($WINEPREFIX) once: a copy of the other target's prefix when
# that one is ready (making a prefix runs wine's 32-bit set-up programs too, minutes under qemu),
# else a new one; either way with wine's null graphics driver.
make_prefix() {
  local wine=$1 other
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    for other in "$root"/build-win64/wineprefix "$root"/build-win32/wineprefix; do
      [ "$other" != "$WINEPREFIX" ] && grep -q '"Graphics"="null"' "$other/user.reg" 2> /dev/null || continue
      WINEPREFIX="$other" "$(wineserver_for)" -k > /dev/null 2>&1
      WINEPREFIX="$other" "$(wineserver_for)" -w > /dev/null 2>&1
      rm -rf "$WINEPREFIX"
      cp -a "$other" "$WINEPREFIX" && return 0
    done
    "$wine" wineboot -i > /dev/null 2>&1
  fi
  if ! grep -q '"Graphics"="null"' "$WINEPREFIX/user.reg" 2> /dev/null; then
    # The desktop process that wineboot left running took the display driver it found; it and
    # the prefix's server end here, so that every later program uses the null driver.
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > /dev/null 2>&1
    "$(wineserver_for)" -k > /dev/null 2>&1
    "$(wineserver_for)" -w > /dev/null 2>&1
  fi
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

# The unit tests (tovu_unit_tests.exe) as one process: $1 the target, $2 the wine loader, $3 the
# build directory, $4 a --gtest_filter (empty: all of them). Under emulation a run that crashes or
# has not ended after 10 minutes is run once more (qemu-user has been seen to stop a 32-bit run on
# an instruction it calls illegal, or to leave one spinning, where the same tests pass natively and
# on the next run); both runs' ends are shown.
unit_tests() {
  local target=$1 wine=$2 dir=$3 filter=$4 out start=$SECONDS tries=1 try
  [ -x "$dir/tovu_unit_tests.exe" ] || { fail "$target: $dir/tovu_unit_tests.exe missing"; return; }
  emulated "$target" && tries=2
  out=$(mktemp)
  for ((try = 1; try <= tries; ++try)); do
    # A run that ends with status 0 without GoogleTest's summary did not run the tests.
    if timeout -k 10 600 "$wine" "$dir/tovu_unit_tests.exe" ${filter:+"--gtest_filter=$filter"} > "$out" 2>&1 \
       && tr -d '\r' < "$out" | grep -qE '^\[  PASSED  \] [0-9]+ tests?\.$'; then
      echo "unit tests: $(tr -d '\r' < "$out" | grep -E '^\[  (PASSED|SKIPPED) +\] [0-9]+ tests?' | tr '\n' ' ')($((SECONDS - start)) s)"
      rm -f "$out"
      return
    fi
    # The launcher does not take the program with it when it is stopped: the prefix's server does.
    "$(wineserver_for)" -k > /dev/null 2>&1
    echo "unit tests: run $try of $tries failed; its end:"
    tr -d '\r' < "$out" | grep -vE '^\[ +(RUN|OK) +\]' | tail -30
  done
  fail "$target: unit tests"
  rm -f "$out"
}

# Which unit tests a target runs: all of them, but under emulation (win32 through qemu-user) the
# suites whose cases run on the test thread alone, without the in-process engine's threads (timer
# service, MIDI input, notifier): the song and state images, SMF import and export, the take
# format, seek images, the frame reader, the watcher's claims. Under qemu the threaded suites (thru,
# recording, the output path) have spun for minutes in one run and passed in the next, and the
# timing suites measure the emulator; they all run in the win64 target from the same sources.
# TOVU_WIN32_UNIT_FILTER overrides the list.
unit_filter() {
  if emulated "$1"; then
    echo "${TOVU_WIN32_UNIT_FILTER-ValidateSongImage.*:SongImageFuzz.*:SongImage.*:StateImage.*:Timing.*:SmfImport.*:SmfPosition.*:TakeExport.*:SeekImages.*:ReplayState.*:ReplayDifferences.*:SilenceNotes.*:ApplyEvent.*:FrameReader.*:WatcherClaim.*}"
  fi
}

# A 32-bit client against the 64-bit engine: the example client's whole exchange (handles and
# every value 32-bit on the wire both ways) and the virtual log as in the target's own run. Called
# from run_target, whose `expected` log and `work` directory it uses.
cross_bitness() {
  local wine=$1 engine_dir=$2 client_dir=$3 status=
  local log="$work/cross.log" pipe="\\\\.\\pipe\\tovu-cross-$$"
  TOVU_MIDI=virtual TOVU_VIRTUAL_LOG="Z:${log//\//\\}" TOVU_VIRTUAL_INPUT="$pipe" "$wine" "$engine_dir/tovu-engine.exe" > /dev/null 2>&1 &
  local engine=$!
  if "$wine" "$client_dir/win32_client.exe" 2 1 "$pipe" > "$work/cross.out" 2>&1; then
    echo "$client_dir client against the $engine_dir engine: all answers as expected"
  else
    fail "$client_dir client against the $engine_dir engine"
    tr -d '\r' < "$work/cross.out"
  fi
  wait_status "$engine" 30
  [ "$status" = 0 ] || { fail "$engine_dir engine after its $client_dir client: $status"; kill "$engine" 2> /dev/null; }
  check_log "$log" "$client_dir client against the $engine_dir engine: virtual log"
}

# Compares the virtual log $1 (the timestamps cut off) with what the example client leaves; $2 names
# the check in its line.
check_log() {
  local got
  got=$(cut -d' ' -f2- "$1" 2> /dev/null)
  if [ "$got" = "$expected" ]; then
    echo "$2: as expected"
  else
    fail "$2"
    echo "$got"
  fi
}

# What the example client leaves in the virtual log (the timestamps cut off).
expected="open out0
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

# The example client against a fresh engine of the target (called from run_target, whose target,
# dir, wine, work, log and winlog it uses): every answer, the registry settings, the engine
# closing by itself, the virtual log line by line.
example_client() {
  local start=$SECONDS
  local pipe="\\\\.\\pipe\\tovu-test-$$-$target"
  TOVU_MIDI=virtual TOVU_VIRTUAL_LOG="$winlog" TOVU_VIRTUAL_INPUT="$pipe" "$wine" "$dir/tovu-engine.exe" > /dev/null 2> "$work/engine.err" &
  local engine=$!
  if emulated "$target"; then
    # Under qemu the engine and the client each take about a minute to start, far beyond the
    # client's 10 s look for the engine window: the client starts once the engine has opened its
    # log (at its start, just before the window is made).
    local i
    for ((i = 0; i < 3000; ++i)); do
      [ -e "$log" ] && break
      sleep 0.1
    done
  fi
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
  wait_status "$engine" "$(end_limit "$target")"
  [ "$status" = 0 ] || { fail "$target: engine after the last unregistration: $status"; tr -d '\r' < "$work/engine.err"; kill "$engine" 2> /dev/null; }
  echo "engine closed after the last client with status $status ($((SECONDS - start)) s in all)"
  check_log "$log" "$target: virtual log"
  awk '$3 == "out0" && $4 == "90" && $5 == "3c" { if ($6 == "64") on = $1; else if (on) printf "song note held %.2f ms (500 written)\n", ($1 - on) / 1e6 }' "$log"
}

# How long an engine may take to end by itself once its last client has gone: an emulated 32-bit
# engine runs many times slower.
end_limit() { if emulated "$1"; then echo 120; else echo 10; fi; }

run_target() {
  local target=$1 dir="build-$1" wine
  if ! wine=$(wine_for "$target"); then
    echo "== $target: skipped (no wine that runs $target programs here)"
    return
  fi
  [ -x "$dir/tovu-engine.exe" ] || { fail "$target: $dir/tovu-engine.exe missing (run scripts/build-windows.sh)"; return; }
  export WINEPREFIX="$root/$dir/wineprefix" WINEDEBUG=-all
  local prefix_start=$SECONDS
  make_prefix "$wine"
  echo "== $target: wine prefix ready ($((SECONDS - prefix_start)) s)"
  local work
  work=$(mktemp -d)
  local log="$work/midi.log"
  local winlog="Z:${log//\//\\}"
  echo "== $target ($wine)"

  # The unit tests, in one process.
  unit_tests "$target" "$wine" "$dir" "$(unit_filter "$target")"

  # Settings in the registry: a channel with a leading blank, a note with trailing text, and no
  # bar note (its default, 60, applies).
  "$wine" reg delete 'HKCU\Software\Quembly\TovuEngine' /f > /dev/null 2>&1
  "$wine" reg add 'HKCU\Software\Quembly\TovuEngine\MtrChan' /ve /d ' 5' /f > /dev/null 2>&1
  "$wine" reg add 'HKCU\Software\Quembly\TovuEngine\MtrNB' /ve /d '70x' /f > /dev/null 2>&1

  local before=$failures
  if emulated "$target" && [ "${TOVU_WIN32_ENGINE-}" != 1 ]; then
    # An engine of this target under qemu-user: in three runs of four here it crashed inside wine's
    # own 32-bit code (an instruction qemu called illegal, stack smashing detected in wine's
    # client, a segmentation fault in qemu) or spun on both cores without answering, where the
    # same engine passes under wine64 and this target's client passes against the 64-bit engine
    # below. TOVU_WIN32_ENGINE=1 runs it anyway.
    echo "$target (emulated): no $target engine run under qemu-user (TOVU_WIN32_ENGINE=1 runs it)"
  else
    example_client
  fi
  if emulated "$target" && [ "$failures" -gt "$before" ]; then
    # qemu-user has been seen to stop an emulated engine on an instruction it calls illegal, where
    # the same run passes natively and on the next try: once more, its failures counted alone.
    echo "$target (emulated): the example client once more"
    failures=$before
    rm -f "$log"
    "$(wineserver_for)" -k > /dev/null 2>&1
    example_client
  fi

  # The other bitness: this target's client against the 64-bit engine.
  if [ "$target" = win32 ] && [ -x build-win64/tovu-engine.exe ]; then
    cross_bitness "$wine" build-win64 "$dir"
  fi
  if emulated "$target"; then
    # The checks below start two or three 32-bit processes each, minutes in all under qemu, and
    # test platform code both targets compile from the same sources; the slow-client check's 2 s
    # limit means nothing where every instruction is emulated. They run on win64.
    echo "$target (emulated): the slow client, launcher, winmm, second-engine and killed-client checks run on win64 only"
    wait 2> /dev/null
    rm -rf "$work"
    return
  fi

  # A client slow to answer: the engine's send gives up after 2 s, and serves a post meanwhile.
  rm -f "$log"
  TOVU_MIDI=virtual TOVU_VIRTUAL_LOG="$winlog" "$wine" "$dir/tovu-engine.exe" > /dev/null 2>&1 &
  engine=$!
  "$wine" "$dir/win32_client.exe" --stall > "$work/stall.out" 2>&1
  wait_status "$engine" 10
  local gap
  gap=$(awk '$3 == "out0" && $4 == "90" && $6 == "40" { if ($5 == "3c") mark = $1; else if ($5 == "3e" && mark) printf "%d", ($1 - mark) / 1e6 }' "$log")
  if [ -n "$gap" ] && [ "$gap" -ge 250 ] && [ "$gap" -lt 1500 ]; then
    echo "slow client: a note posted 300 ms into the wait for it played after $gap ms"
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
    if "$wine" "$dir/tovu_win_integration_tests.exe" > "$work/integration.out" 2>&1; then
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
