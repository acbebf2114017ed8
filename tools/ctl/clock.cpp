// tovu-ctl clock: a standalone MIDI clock master. The engine plays a silent song whose pulses go to
// the ports named (sync out), and keeps them running between starts at the same tempo.
//
//   running --space--> stopped (0xFC; pulses go on at the tempo so receivers stay locked)
//   stopped --space--> running (0xFA from the top, then the pulses)
//   either  --+ / - --> the same, one quarter note a minute faster or slower (1-1000)
//   either  --q, Ctrl-C, the engine's end--> gone (0xFC when running; the engine's sync-out
//            settings put back). Standard input that ends (a file) leaves Ctrl-C.
//
// Threads: the main thread only; the Ctrl-C handler only sets a flag.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/terminal.h"
#include "tools/ctl/common.h"
#include "tools/ctl/session.h"

namespace ctl {
namespace {

const char kClockDescription[] =
    "A MIDI clock master: 24 pulses a quarter note to the --out ports, with start and stop, the\n"
    "tool to drive a drum machine, an arpeggiator or a hardware sequencer. It starts at once; keys:\n"
    "space stops (FC) and starts again from the top (FA), + and - change the tempo by one, q or\n"
    "Ctrl-C ends (FC). Between a stop and a start the pulses go on at the tempo, so that receivers\n"
    "stay locked. The engine's own sync-out settings are put back at the end.\n";

const char kClockFooter[] =
    "PORT is a device id (tovu-ctl ports) or a name or a unique part of one, without regard to case.\n"
    "\n"
    "examples:\n"
    "  tovu-ctl clock --bpm 120 --out drums\n"
    "  tovu-ctl clock --bpm 96.5 --out 1,arp\n";

// The song's own tempo: the tempo factor makes any other.
constexpr double kSongBpm = 100;
constexpr int32_t kTicksPerQuarter = 96;

// A silent song as long as an image can be: the pulses are all it gives.
std::vector<uint8_t> SilentSong() {
  tovu::SongBuilder b;
  b.ticksPerQuarter = kTicksPerQuarter;
  b.Tempo(0, static_cast<uint32_t>(kSongBpm));
  b.End(0x7FFF0000);
  return b.Build();
}

void Show(bool terminal, double bpm, bool running) {
  printf(terminal ? "\r%7.2f bpm  %-8s" : "%.2f bpm %s\n", bpm, running ? "running" : "stopped");
  fflush(stdout);
}

}  // namespace

int Clock(const std::vector<std::string>& args) {
  CLI::App app{kClockDescription, "tovu-ctl clock"};
  Configure(app, kClockFooter);
  double bpm = 120;
  std::vector<std::string> outs;
  app.add_option("--bpm", bpm, "quarter notes a minute (1-1000; default 120)")->check(CLI::Range(1.0, 1000.0))->type_name("BPM");
  app.add_option("--out", outs, "the ports that get the clock (repeatable)")->required()->delimiter(',')
      ->allow_extra_args(false)->type_name("PORT,...");
  if (int status = Parse(app, "clock", args); status >= 0) return status;

  Session s;
  if (!StartSession(s)) return kExitFailed;
  SyncOutScope sync;  // ends before the session: the engine's sync-out settings come back
  auto milli = [](double b) { return static_cast<uint32_t>(std::llround(b * 1000)); };
  if (!ChooseSyncOut(s, outs, {}, 1, tovu::kSyncRunWhileStopped, milli(bpm), &sync)) return kExitFailed;
  if (!LoadAndCheck(s, SilentSong())) return kExitFailed;
  tovu::SetTempoFactor(s.client, bpm / kSongBpm);

  const bool terminal = platform::StdoutIsTerminal();
  CatchInterrupts();
  platform::KeysBegin();
  bool running = tovu::Start(s.client, MakeStart(0, false, 0, 0, false));
  Show(terminal, bpm, running);
  int status = 0;
  bool keys = true;  // until the input ends (a file, a closed pipe): then Ctrl-C ends it
  while (!gInterrupted) {
    int key = platform::kNoKey;
    if (keys) {
      key = platform::ReadKey(50);
      tovu::PumpMessages(s.client, 0);
    } else {
      tovu::PumpMessages(s.client, 50);
    }
    if (key == platform::kKeysEnded) keys = false;
    if (!tovu::Connected(s.client)) {
      status = Failure("the engine has gone");
      break;
    }
    uint32_t code = 0;
    if (TakeFailure(s, &code)) {
      status = Failure("the engine refused to play: " + ErrorText(code));
      break;
    }
    if (key == 'q' || key == 'Q') break;
    if (key == ' ') {
      if (running)
        tovu::Stop(s.client);
      else
        tovu::Start(s.client, MakeStart(0, false, 0, 0, false));
      running = !running;
    } else if (key == '+' || key == '-') {
      bpm = std::clamp(bpm + (key == '+' ? 1.0 : -1.0), 1.0, 1000.0);
      tovu::SetTempoFactor(s.client, bpm / kSongBpm);
      tovu::SyncOutSettings settings;
      if (tovu::RequestSyncOutSettings(s.client, &settings)) {
        settings.idleTempoMilli = milli(bpm);
        tovu::SetSyncOut(s.client, settings);
      }
    } else {
      continue;
    }
    Show(terminal, bpm, running);
  }
  platform::KeysEnd();
  if (running) tovu::Stop(s.client);
  if (terminal) fputs("\n", stdout);
  if (status != 0) return status;
  return gInterrupted ? kExitInterrupted : 0;
}

}  // namespace ctl
