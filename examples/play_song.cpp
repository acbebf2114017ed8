// A client of the engine in about forty lines: connect (starting the engine when none runs),
// register, open the first output, load a song built with the song builder, play it to its end.
// Build it against an installed client library with
//   c++ -std=c++20 play_song.cpp $(pkg-config --cflags --libs tovu-client)
#include <cstdio>

#include "client/tovu_client.h"

int main() {
  tovu::Client c;
  if (!tovu::Connect(c) || tovu::Register(c) != 0) return fprintf(stderr, "no engine\n"), 1;
  std::vector<tovu::OutputPortInfo> outputs;
  tovu::RequestOutputPorts(c, &outputs);
  tovu::OpenPortsRequest ports;
  if (!outputs.empty()) ports.outputDevices = {outputs[0].deviceId};
  tovu::OpenPortsReply opened;
  if (outputs.empty() || !tovu::OpenPorts(c, ports, &opened) || opened.outputResults[0] != 0)
    return fprintf(stderr, "no output to play on\n"), 1;

  tovu::SongBuilder song;  // 120 ticks per quarter, 4/4; port index 0 = the first output, opened above
  song.Tempo(0, 240);
  song.Program(0, 0, 0, 0);
  const int notes[] = {60, 64, 67, 72};
  for (int i = 0; i < 4; ++i) {
    song.NoteOn(i * 120, 0, 0, notes[i], 100);
    song.NoteRelease(i * 120 + 100, 0, 0, notes[i]);
  }
  song.End(480);
  tovu::LoadSong(c, song.Build());
  tovu::Start(c, tovu::StartRequest{});

  tovu::Message m;  // the song ends with notification 5 (stopped); a refusal comes as 10
  bool ended = tovu::WaitForMessage(c, [](const tovu::Message& x) {
    return x.msg == tovu::kEngineCommand && (x.wParam == tovu::kNotifyStopped || x.wParam == tovu::kNotifyFailed);
  }, 10000, &m);
  bool ok = ended && m.wParam == tovu::kNotifyStopped;
  printf("%s\n", ok ? "played" : "not played");
  tovu::Unregister(c);
  tovu::Disconnect(c);
  return ok ? 0 : 1;
}
