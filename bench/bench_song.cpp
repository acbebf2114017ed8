// Song image costs on a synthetic song of 1,000,000 mixed events over 16 ports: the load check, a
// seek to the song's end, and the replay of a state with every channel of 16 ports touched, each
// printed beside a memcpy of the song's event array measured in the same run.
//
// The outputs are in-process virtual devices with nothing recording them, so the replay figure is
// the engine's own cost per message plus the device layer's lock.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "client/song_builder.h"
#include "platform/midi.h"
#include "playback/seek.h"
#include "playback/song_image.h"
#include "playback/state_image.h"
#include "ports/ports.h"

namespace {

constexpr uint32_t kPorts = 16;
constexpr size_t kEvents = 1000000;

// Median wall time of `reps` runs, in milliseconds.
double MedianMs(int reps, const std::function<void()>& run) {
  std::vector<double> times;
  for (int i = 0; i < reps; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    run();
    auto t1 = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Every channel of every port gets a bank, program, bend, pressure, all 128 controllers, poly
// pressure on every note and its listed RPN and NRPN values; then a body of mixed events up to
// 1,000,000, ending with eight notes held on every channel.
std::vector<uint8_t> BuildSong() {
  tovu::SongBuilder song;
  song.ticksPerQuarter = 480;
  song.SetRpnList({0, 1, 2});
  song.SetNrpnList({100, 200});
  song.Tempo(0, 120);
  int32_t tick = 0;
  for (uint32_t port = 0; port < kPorts; ++port) {
    for (uint32_t ch = 0; ch < 16; ++ch) {
      song.Bank(tick, port, ch, tovu::BankKind::Full14, 129 + ch);
      song.Program(tick, port, ch, ch);
      song.PitchBend(tick, port, ch, 8192 + ch);
      song.ChannelPressure(tick, port, ch, 10);
      for (uint32_t c = 0; c < 128; ++c) song.Controller(tick, port, ch, c, c);
      for (uint32_t n = 0; n < 128; ++n) song.PolyPressure(tick, port, ch, n, n);
      for (uint32_t p = 0; p < 3; ++p) song.Rpn(tick, port, ch, p, 1000 + p);
      for (uint32_t p : {100u, 200u}) song.Nrpn(tick, port, ch, p, p);
    }
  }
  const size_t held = kPorts * 16 * 8;
  std::mt19937 rng(1234);
  auto below = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  while (song.EventCount() + held + 2 <= kEvents) {
    tick += static_cast<int32_t>(below(4));
    const uint32_t port = below(kPorts), ch = below(16), note = 24 + below(80);
    const uint32_t kind = below(100);
    if (kind < 40) {  // a note and its release a little later, as a pair
      song.NoteOn(tick, port, ch, note, 1 + below(127));
      song.NoteRelease(tick + 1 + static_cast<int32_t>(below(3)), port, ch, note);
    } else if (kind < 86) {
      song.Controller(tick, port, ch, below(128), below(128));
    } else if (kind < 89) {
      song.PitchBend(tick, port, ch, below(16384));
    } else if (kind < 91) {
      song.ChannelPressure(tick, port, ch, below(128));
    } else if (kind < 92) {
      song.Program(tick, port, ch, below(128));
    } else if (kind < 93) {
      song.Tempo(tick, 60 + below(140));
    } else if (kind < 95) {
      song.Sysex(tick, port, {0xF0, 0x7D, static_cast<uint8_t>(below(128)), 0x01, 0x02, 0x03, 0xF7});
    } else if (kind < 98) {
      song.Rpn(tick, port, ch, below(4), below(16384));
    } else {
      song.Nrpn(tick, port, ch, 100 * below(3), below(16384));
    }
  }
  while (song.EventCount() + held < kEvents) song.Controller(tick, 0, 0, 7, 100);
  tick += 10;
  for (uint32_t port = 0; port < kPorts; ++port)
    for (uint32_t ch = 0; ch < 16; ++ch)
      for (uint32_t n = 0; n < 8; ++n) song.NoteOn(tick, port, ch, 60 + n, 100);
  song.End(tick + 480);
  song.sortByTick = true;  // the paired releases were added ahead of their ticks
  return song.Build();
}

}  // namespace

int main() {
  std::printf("building the song...\n");
  const std::vector<uint8_t> song = BuildSong();
  const int32_t songEnd = ReadI32(song.data() + kSongEndTick);
  const size_t eventBytes = ReadU32(song.data() + kSongSysexBlockOffset) - kSongHeaderSize;
  std::printf("song: %zu events + end marker, %zu-byte event array, %zu-byte image, %u ports\n",
              eventBytes / kEventEntrySize - 1, eventBytes, song.size(), kPorts);

  platform::VirtualMidiConfig config;
  for (uint32_t i = 0; i < kPorts; ++i) config.outputs.push_back("Bench Out " + std::to_string(i + 1));
  platform::MidiStartVirtual(config);
  Ports ports;
  BuildPortTables(ports);
  for (int i = 0; i < ports.outputCount; ++i) ports.outputs[i].Open();

  StateImage* a = CreateStateImage(ports.outputCount);
  StateImage* b = CreateStateImage(ports.outputCount);
  if (!a || !b || ports.outputCount != static_cast<int32_t>(kPorts)) {
    std::printf("setup failed (%d outputs)\n", ports.outputCount.load());
    return 1;
  }

  std::vector<uint8_t> copy(eventBytes);
  const double memcpyMs = MedianMs(15, [&] {
    std::memcpy(copy.data(), song.data() + kSongHeaderSize, eventBytes);
    asm volatile("" : : "r"(copy.data()) : "memory");
  });

  bool valid = false;
  const double validateMs = MedianMs(15, [&] { valid = ValidateSongImage(song.data(), song.size(), kPorts); });

  bool end = false;
  const double seekMs = MedianMs(15, [&] { end = SeekImages(song.data(), songEnd, -1, *a, *b, nullptr); });

  int touched = 0;
  for (int i = 0; i < a->snapshotCount; ++i) touched += a->snapshots[i].dirty;
  platform::VirtualCaptureEnable(true);
  ReplayState(ports, *a);
  const size_t messages = platform::VirtualCaptureTake().size();
  platform::VirtualCaptureEnable(false);
  const double replayMs = MedianMs(9, [&] { ReplayState(ports, *a); });

  std::printf("memcpy of the event array:      %8.3f ms  (baseline)\n", memcpyMs);
  std::printf("ValidateSongImage:              %8.3f ms  %5.2fx memcpy  (%s)\n", validateMs, validateMs / memcpyMs,
              valid ? "accepted" : "REFUSED");
  std::printf("SeekImages to the end (%d):  %8.3f ms  %5.2fx memcpy  (end flag %d)\n", songEnd, seekMs,
              seekMs / memcpyMs, end);
  std::printf("ReplayState, %d channels:     %8.3f ms  %5.2fx memcpy  (%zu messages, %.1f ns each)\n", touched,
              replayMs, replayMs / memcpyMs, messages, replayMs * 1e6 / static_cast<double>(messages));
  std::printf("medians of 15 runs (replay: 9)\n");

  DestroyStateImage(a);
  DestroyStateImage(b);
  for (int i = 0; i < ports.outputCount; ++i) ports.outputs[i].Close();
  platform::MidiShutdown();
  return valid && end ? 0 : 1;
}
