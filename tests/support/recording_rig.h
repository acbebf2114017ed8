// Test support: the records thru, the recorder and the metronome work with, built alone and wired as
// the host wires them: port tables over in-process virtual devices, the main and thru state images,
// a playback clock, the playback's loop bounds and recording client, a client table for the input
// filter, and the input router the devices' callback reaches. No engine, bus or timer service.
// Threads: the test thread stands in for the main thread (and the timer thread where a case says so).
#pragma once

#include <cstdint>
#include <vector>

#include "playback/metronome.h"
#include "playback/scheduler.h"
#include "recording/recording.h"
#include "support/virtual_ports.h"

struct RecordingRig : VirtualPorts {
  StateImage* mainImage = nullptr;
  StateImage* thruImage = nullptr;
  PlaybackClock clock;
  PlaybackState playback;  // its loop bounds and recording client
  ClientTable clients;
  Metronome metronome;
  Thru thru;
  Recorder recorder;
  InputRouter router;

  // `outputs` and `inputs` virtual devices; opening an output whose id is in `failOut` fails.
  explicit RecordingRig(int outputs = 2, int inputs = 2, std::vector<uint32_t> failOut = {});
  ~RecordingRig();
  RecordingRig(const RecordingRig&) = delete;
  RecordingRig& operator=(const RecordingRig&) = delete;

  // Enters a client as registration would leave it (the process fields are not used).
  ClientRecord& AddClient(uint32_t window);
};
