// tovu-ctl: the engine from a shell. Plays and records Standard MIDI Files, shows what a file holds,
// and keeps the small verbs for looking at ports, sending messages and silencing the outputs. Built
// on the client library only; `tovu-ctl --help` and `tovu-ctl <verb> --help` describe the verbs,
// which CLI11 parses (one parser per verb, so every verb answers --help and nothing else).
//
// One file per verb or family: info.cpp, play.cpp, record.cpp, clock.cpp, small_verbs.cpp; what they share in
// common.h, the engine side and port names in session.h, the position display in display.h.
//
// Exit statuses: 0 done, 1 a file that cannot be read or written, an engine that cannot be reached
// or a refused request, 2 bad usage, 130 play stopped with Ctrl-C.
//
// Threads: the main thread only; the Ctrl-C handler only sets a flag.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tools/ctl/common.h"

#ifndef TOVU_VERSION
#define TOVU_VERSION "unknown"
#endif

namespace ctl {
namespace {

const char kToolHelp[] =
    "usage: tovu-ctl <verb> [options]        (tovu-ctl <verb> --help for each)\n"
    "\n"
    "  play FILE.mid...  play Standard MIDI Files one after another, showing the position and notes\n"
    "  record OUT.mid    record from a MIDI input into a file, with metronome and count-in\n"
    "  info FILE.mid     show what a file holds (no engine needed)\n"
    "  clock --out PORT  a MIDI clock master for drum machines and sequencers (space, +, -, q)\n"
    "  ports             list the output and input ports (--watch: and their changes)\n"
    "  send BYTES...     send one MIDI message, e.g. send 90 3C 64\n"
    "  panic             silence every output port (or the ones named with --out)\n"
    "  close             ask the engine to close\n"
    "\n"
    "The small verbs (ports, open, send, sleep, panic, reload, close) can follow one another in one\n"
    "call, run in order by one client:  tovu-ctl open synth send 90 3C 64 sleep 500 send 80 3C 40\n"
    "Ports are named by device id (tovu-ctl ports) or by their name or a unique part of it.\n"
    "\n"
    "examples:\n"
    "  tovu-ctl ports\n"
    "  tovu-ctl play song.mid --out synth --from 9 --loop 9-16\n"
    "  tovu-ctl play a.mid b.mid c.mid --out fluid\n"
    "  tovu-ctl record take.mid --click drums --count-in 2 --bars 8 --loop --with backing.mid\n"
    "\n"
    "Exit status: 0 done, 1 a file or request failed, 2 bad usage, 130 play stopped with Ctrl-C.\n"
    "The engine is started when none runs (TOVU_ENGINE_BINARY, beside tovu-ctl, or on PATH).\n"
    "tovu-ctl --version prints the version; man tovu-ctl has the whole manual.\n";

int Run(int argc, char** argv) {
  if (argc < 2) {
    fputs(kToolHelp, stderr);
    return kExitUsage;
  }
  std::string verb = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (verb == "--help" || verb == "-h" || verb == "help") return fputs(kToolHelp, stdout), 0;
  if (verb == "--version" || verb == "-V") return printf("tovu-ctl %s\n", TOVU_VERSION), 0;
  if (verb == "info") return Info(args);
  if (verb == "play") return Play(args);
  if (verb == "record") return Record(args);
  if (verb == "clock") return Clock(args);
  if (IsSmallVerb(verb)) return SmallVerbs(std::vector<std::string>(argv + 1, argv + argc));
  return UsageError("", "unknown verb " + verb);
}

}  // namespace
}  // namespace ctl

int main(int argc, char** argv) {
  try {
    return ctl::Run(argc, argv);
  } catch (const std::exception& e) {
    return ctl::Failure(std::string("unexpected failure: ") + e.what());
  }
}
