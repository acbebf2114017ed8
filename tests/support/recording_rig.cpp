// Test support: the recording records alone. See recording_rig.h.
#include "support/recording_rig.h"

RecordingRig::RecordingRig(int outputs, int inputs, std::vector<uint32_t> failOut)
    : VirtualPorts(outputs, inputs, false, 0, std::move(failOut)) {
  mainImage = CreateStateImage(ports.outputCount);
  thruImage = CreateStateImage(ports.outputCount);
  playback.clock = &clock;
  playback.main = mainImage;
  thru.image = thruImage;
  thru.ports = &ports;
  thru.clock = &clock;
  recorder.clock = &clock;
  recorder.playback = &playback;
  recorder.thru = &thru;
  recorder.ports = &ports;
  router = InputRouter{&clients, &ports, &thru, &recorder, &playback.recordingClient};
  ports.inputCallback = OnMidiInput;
  ports.inputInstance = reinterpret_cast<uintptr_t>(&router);
}

RecordingRig::~RecordingRig() {
  CloseAllInputs(ports);
  CloseAllOutputs(ports);
  FreeRecorder(recorder);
  DestroyClientTable(clients);
  DestroyStateImage(mainImage);
  DestroyStateImage(thruImage);
}

ClientRecord& RecordingRig::AddClient(uint32_t window) {
  auto* record = new ClientRecord;
  record->window = window;
  clients.records.push_back(record);
  return *record;
}
