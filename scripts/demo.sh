#!/usr/bin/env bash
# Sets everything up, starts the engine with two virtual outputs, lists its ports through the
# client library and shows the engine closing.
# With --jack: starts a private JACK server (dummy driver) and a MIDI monitor as the sink instead,
# and shows the engine's port connected to it and what the sink received.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# tovu-client too: with it, `cmake --install build` works after the demo alone.
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target tovu-engine tovu-ctl tovu-demo-play tovu-client

demo=$(mktemp -d /tmp/tovu-demo-XXXXXX)
trap 'rm -rf "$demo"' EXIT
export TOVU_ENGINE_SOCKET="$demo/TovuEngine.sock"
export TOVU_SETTINGS_DIR="$demo/settings"

if [ "${1:-}" = "--jack" ]; then
  export JACK_DEFAULT_SERVER="tovu-demo-$$"
  export TOVU_MIDI=jack
  pids=()
  trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$demo"' EXIT
  echo "== starting a private JACK server \"$JACK_DEFAULT_SERVER\" (dummy driver, 48 kHz, 256 frames)"
  jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >"$demo/jackd.log" 2>&1 &
  pids+=($!)
  jack_wait -w -t 5 >/dev/null 2>&1
  echo "== a MIDI sink: jack_midi_dump as client \"synth\""
  stdbuf -oL jack_midi_dump synth >"$demo/sink.txt" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 200); do jack_lsp 2>/dev/null | grep -q '^synth:input$' && break; sleep 0.01; done

  echo "== starting tovu-engine (TOVU_MIDI=jack): its output devices are the other clients' MIDI inputs"
  build/tovu-engine 2>"$demo/engine.err" &
  engine=$!
  for _ in $(seq 1 200); do [ -S "$TOVU_ENGINE_SOCKET" ] && break; sleep 0.01; done
  echo "== one client: list ports, open device 0, play a middle C (the engine's port meanwhile:)"
  build/tovu-ctl ports open 0 send 90 3C 64 sleep 500 send 80 3C 40 &
  ctl=$!
  sleep 0.3
  jack_lsp -c | sed -n '/^TovuEngine:/,+1p' | sed 's/^/  /'
  wait "$ctl"
  wait "$engine" && echo "engine exited with status 0 (its last client left)"
  echo "== what the sink received:"
  sed 's/^/  /' "$demo/sink.txt"
  exit 0
fi
export TOVU_MIDI=virtual
export TOVU_VIRTUAL_OUTPUTS="Demo Synth|Demo Drums"
export TOVU_VIRTUAL_INPUTS=1
export TOVU_VIRTUAL_LOG="$demo/virtual.log"
mkdir -p "$TOVU_SETTINGS_DIR/Dev1"
echo 20 > "$TOVU_SETTINGS_DIR/Dev1/ExclDly"

echo "== starting tovu-engine (virtual outputs: $TOVU_VIRTUAL_OUTPUTS)"
build/tovu-engine 2>"$demo/engine.err" &
engine=$!
for _ in $(seq 1 200); do [ -S "$TOVU_ENGINE_SOCKET" ] && break; sleep 0.01; done

echo "== one client: list ports, open both outputs, play a middle C, list again"
build/tovu-ctl ports open 0,1 send 90 3C 64 sleep 250 send 80 3C 40 ports
echo "== what the virtual outputs received:"
sed 's/^[0-9]* /  /' "$TOVU_VIRTUAL_LOG"

echo "== the last client has left: the engine closes by itself"
wait "$engine" && echo "engine exited with status 0"
[ -e "$TOVU_ENGINE_SOCKET" ] && echo "socket file still there" || echo "socket file removed"

echo
echo "== playback: a song on two ports (piano and bass on Demo Synth, drums on Demo Drums), started in"
echo "   the middle of bar 2, looping bars 2-3 once round, then stopped (the client starts the engine)"
: > "$TOVU_VIRTUAL_LOG"
build/tovu-demo-play
echo "== what the virtual outputs received, in ms from the first message (the chased state at the"
echo "   start tick comes first; the loop wraps at 2400 ms; the stop releases what still sounds):"
awk '$2 == "data" { if (t0 == "") t0 = $1; $1 = sprintf("%9.1f ms ", ($1 - t0) / 1e6); print }' "$TOVU_VIRTUAL_LOG"

echo
echo "== tovu-ctl with a Standard MIDI File: a three-track song (piano with bank, RPN and sysex on"
echo "   Demo Synth; drums on Demo Drums through the file's port event), written by mido"
/usr/bin/python3 tests/smf/make_midi.py song "$demo/song.mid" "$demo/song.txt"
build/tovu-ctl info "$demo/song.mid"
echo "== tovu-ctl play song.mid --out 0,1 --tempo 2 (the position and the notes sounding per channel)"
: > "$TOVU_VIRTUAL_LOG"
build/tovu-ctl play "$demo/song.mid" --out 0,1 --tempo 2
echo "== the first messages the virtual outputs received, in ms from the first:"
awk '$2 == "data" { if (t0 == "") t0 = $1; $1 = sprintf("%9.1f ms ", ($1 - t0) / 1e6); print }' "$TOVU_VIRTUAL_LOG" | head -16
echo "   ... $(grep -c ' data ' "$TOVU_VIRTUAL_LOG") messages in all"
