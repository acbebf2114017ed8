// The life of a port while its device comes and goes: the tables follow what the MIDI service lists
// (FollowDevices), and a returning output goes back to its holders (PublishReopened).
//
// A port, once listed, keeps its index for the engine's life:
//
//   appended (present) --device gone--> absent --device back--> back (reopened for its holders,
//        ^                                  (held: and opened)       | an output not yet published)
//        |                          PublishReopened (outputs; inputs at once)                  |
//        +-------------------------------------------------------------------------------------+
//
// While absent: its holders keep their opens (openCount), its handle is 0 (the port list shows it as
// a closed port), opening it or sending to it returns kMidiNoDevice, and nothing it held is
// remembered: its queue was dropped and its ledger cleared when the device went, without a message,
// since the device that held those notes is gone and the one that comes back holds none of them. A
// device that went and came back between two looks (its generation moved on while present) is taken
// as gone and back: the device may be another instance (a restarted synthesiser) that knows nothing.
//
// Threads: the main thread only; the stage lock (taken by ForgetDevice and PublishReopened) keeps
// the senders of other threads from reaching a port halfway through a change.
#include <algorithm>

#include "ports/ports.h"

namespace {

// The input's device has gone: its handle is closed (no callback runs after this), its holders keep
// their opens.
void ForgetInput(InputPort& port) {
  port.absent.store(true);
  platform::MidiHandle h = port.handle.exchange(0, std::memory_order_acq_rel);
  if (h == 0) return;
  platform::MidiInStop(h);
  platform::MidiInClose(h);
}

// The input's device is back: reopened and started for its holders. False when the open fails: the
// port stays absent, its holders still hold it, and the next change tries again.
bool ReopenInput(Ports& ports, InputPort& port) {
  if (port.openCount > 0 && port.handle.load() == 0) {
    platform::MidiHandle h = 0;
    if (platform::MidiInOpen(port.deviceId, ports.inputCallback, ports.inputInstance, &h) != platform::kMidiOk)
      return false;
    port.handle.store(h, std::memory_order_release);
    platform::MidiInStart(h);
  }
  port.absent.store(false);
  return true;
}

// Whether a present port's device has gone (or gone and come back) since the port last looked.
bool Went(bool absent, uint32_t generation, const platform::MidiPresence& now) {
  return !absent && (!now.present || now.generation != generation);
}

}  // namespace

std::vector<PortChange> FollowDevices(Ports& ports) {
  std::vector<PortChange> changes;
  const int32_t outputs = ports.outputCount.load();
  for (int32_t i = 0; i < outputs; ++i) {
    OutputPort& port = ports.outputs[i];
    platform::MidiPresence now = platform::MidiOutPresence(port.deviceId);
    if (Went(port.absent.load(), port.generation, now)) {
      ForgetDevice(port);
      changes.push_back({false, i, PortChangeKind::kGone});
    }
    port.generation = now.generation;
    if (!port.absent.load() || !now.present || port.reopened != 0) continue;
    if (port.openCount > 0) {
      // The stage's queue was made at the first open and is kept; only the device is opened again.
      // A device that is listed but cannot be opened yet leaves the port absent (sends still answer
      // that no device is there) until a later change, when it is tried again.
      platform::MidiHandle h = 0;
      if (platform::MidiOutOpen(port.deviceId, &h) != platform::kMidiOk) continue;
      port.reopened = h;
    }
    changes.push_back({false, i, PortChangeKind::kBack});
  }
  const int32_t inputs = ports.inputCount.load();
  for (int32_t i = 0; i < inputs; ++i) {
    InputPort& port = ports.inputs[i];
    platform::MidiPresence now = platform::MidiInPresence(port.deviceId);
    if (Went(port.absent.load(), port.generation, now)) {
      ForgetInput(port);
      changes.push_back({true, i, PortChangeKind::kGone});
    }
    port.generation = now.generation;
    if (!port.absent.load() || !now.present || !ReopenInput(ports, port)) continue;
    changes.push_back({true, i, PortChangeKind::kBack});
  }
  // New devices, in device order (the service numbers them as they appear).
  uint32_t devices = std::min<uint32_t>(platform::MidiOutCount(), kMaxPorts);
  for (uint32_t id = static_cast<uint32_t>(outputs); id < devices; ++id) {
    if (!AppendOutputPort(ports, id, true)) break;
    changes.push_back({false, static_cast<int32_t>(id), PortChangeKind::kAdded});
  }
  devices = std::min<uint32_t>(platform::MidiInCount(), kMaxPorts);
  for (uint32_t id = static_cast<uint32_t>(inputs); id < devices; ++id) {
    if (!AppendInputPort(ports, id)) break;
    changes.push_back({true, static_cast<int32_t>(id), PortChangeKind::kAdded});
  }
  return changes;
}

void PublishReopened(Ports& ports, int32_t index) {
  if (index < 0 || index >= ports.outputCount.load()) return;
  OutputPort& port = ports.outputs[index];
  EngineLock guard(port.stage.lock);
  if (port.reopened != 0) port.handle.store(port.reopened, std::memory_order_release);
  port.reopened = 0;
  port.absent.store(false);
}

tovu::PortStates PortStatesOf(const Ports& ports) {
  tovu::PortStates states;
  const int32_t outputs = ports.outputCount.load();
  const int32_t inputs = ports.inputCount.load();
  for (int32_t i = 0; i < outputs; ++i)
    states.outputs.push_back(ports.outputs[i].absent.load() ? tovu::protocol::kPortAbsent : tovu::protocol::kPortPresent);
  for (int32_t i = 0; i < inputs; ++i)
    states.inputs.push_back(ports.inputs[i].absent.load() ? tovu::protocol::kPortAbsent : tovu::protocol::kPortPresent);
  return states;
}
