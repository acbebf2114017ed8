// What every verb shares (see common.h).
#include "tools/ctl/common.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "client/tovu_client.h"

namespace ctl {

volatile std::sig_atomic_t gInterrupted = 0;

namespace {
void OnInterrupt(int) { gInterrupted = 1; }
}  // namespace

void CatchInterrupts() {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
}

int UsageError(const std::string& verb, const std::string& what) {
  std::string v = verb.empty() ? "" : " " + verb;
  fprintf(stderr, "tovu-ctl%s: %s\n(see tovu-ctl%s --help)\n", v.c_str(), what.c_str(), v.c_str());
  return kExitUsage;
}

int Failure(const std::string& what) {
  fprintf(stderr, "tovu-ctl: %s\n", what.c_str());
  return kExitFailed;
}

std::string ErrorText(uint32_t code) {
  switch (code) {
    case tovu::kErrorNotRegistered: return "this client is not registered with the engine";
    case tovu::kErrorSongSlotEmpty: return "no song is loaded";
    case tovu::kErrorNoInputPort: return "recording needs an open input port";
    case tovu::kErrorBadLoop: return "the loop's start is not before its end";
    case tovu::kErrorAlreadyPlaying: return "the engine is already playing (for this or another client)";
    case tovu::kErrorOutOfMemory: return "the engine has no memory for the song, or the recording lost input";
    case tovu::kErrorMalformedSong: return "the engine refused the song image as malformed";
    case tovu::kErrorNoOutputPorts: return "the engine has no output port to play on";
    case tovu::kErrorQueueFull: return "the port's queue is full (it pauses after each sysex), so the message was not sent";
    case tovu::kErrorMessageTooLong: return "the port's device carries no system-exclusive message that long";
    case tovu::kErrorPortAbsent: return "the port's device has gone away";
    default: return "unknown reason " + std::to_string(code);
  }
}

std::string MidiResultText(int32_t result) {
  switch (result) {
    case 0: return "done";
    case 1: return "the device reported an error";
    case 2: return "no such device";
    case 4: return "the device is in use";
    case 5: return "the port is not open (bad port)";
    case 6: return "no MIDI driver";
    case 7: return "the device has no memory, or the port's queue is full (it pauses after each sysex)";
    case tovu::kResultNoDevice: return "the port's device has gone away";
    default: return "device error " + std::to_string(result);
  }
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  std::error_code ec;
  auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    *error = "cannot read " + path + ": no such file";
    return false;
  }
  if (std::filesystem::is_directory(status)) {
    *error = "cannot read " + path + ": it is a directory, not a MIDI file";
    return false;
  }
  if (!std::filesystem::is_regular_file(status)) {
    *error = "cannot read " + path + ": not a regular file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  return true;
}

int64_t BarCount(const tovu::SmfSong& song) {
  tovu::SmfPosition end = tovu::PositionAt(song, song.endImageTick);
  return end.bar - 1 + ((end.beat > 1 || end.sixteenth > 1) ? 1 : 0);
}

std::string Minutes(double seconds) {
  if (seconds < 0) seconds = 0;
  int m = static_cast<int>(seconds / 60);
  char b[32];
  snprintf(b, sizeof b, "%d:%06.3f", m, seconds - m * 60.0);
  return b;
}

int Parse(CLI::App& app, const std::string& verb, std::vector<std::string> args) {
  std::reverse(args.begin(), args.end());  // CLI11 takes the arguments last first
  try {
    app.parse(args);
  } catch (const CLI::CallForHelp&) {
    fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& e) {
    return UsageError(verb, e.what());
  }
  return -1;
}

void Configure(CLI::App& app, const char* footer) {
  app.footer(footer);
  app.get_formatter()->column_width(30);
}

}  // namespace ctl
