// Test support: the engine in process. See engine_fixture.h.
#include "support/engine_fixture.h"

#include <algorithm>
#include <iterator>

#include "platform/thread_count.h"

namespace {

int32_t Dispatch(void* context, const platform::BusMessage& m) {
  return EngineWindowProc(*static_cast<Engine*>(context), m);
}

}  // namespace

InProcessEngine::InProcessEngine(int outputs, int inputs, std::vector<uint32_t> failOut) {
  platform::MidiShutdown();
  platform::VirtualMidiConfig config;
  for (int i = 0; i < outputs; ++i) config.outputs.push_back("Virtual Out " + std::to_string(i + 1));
  for (int i = 0; i < inputs; ++i) config.inputs.push_back("Virtual In " + std::to_string(i + 1));
  config.failOut = std::move(failOut);
  platform::MidiStartVirtual(config);
  platform::VirtualCaptureEnable(true);
  engine.bus = platform::BusCreate("", platform::kNoHandle, Dispatch, &engine);
  engine.window = platform::BusEngineWindow(engine.bus);
  platform::BusMessage create;
  create.msg = platform::kWmCreate;
  created = EngineWindowProc(engine, create) == 0;
  platform::VirtualCaptureTake();
}

InProcessEngine::~InProcessEngine() {
  TearDownEngine(engine);
  platform::BusDestroy(engine.bus);
  platform::EventDestroy(&engine.activityEvent);
  platform::VirtualCaptureEnable(false);
  platform::MidiShutdown();
}

ClientRecord& InProcessEngine::AddClient(uint32_t window) {
  auto* record = new ClientRecord;
  record->window = window;
  engine.clients.records.push_back(record);
  return *record;
}

int32_t InProcessEngine::CopyData(uint32_t sender, uint32_t type, const std::vector<uint8_t>& payload) {
  platform::BusMessage m;
  m.hwnd = engine.window;
  m.msg = platform::kWmCopyData;
  m.wParam = sender;
  m.dwData = type;
  m.cbData = static_cast<uint32_t>(payload.size());
  m.payload = payload.empty() ? nullptr : payload.data();
  return EngineWindowProc(engine, m);
}

std::vector<uint64_t> ThreadIds() { return platform::ThreadIdsOfThisProcess(); }

std::vector<uint64_t> ThreadsStartedSince(const std::vector<uint64_t>& before) {
  std::vector<uint64_t> now = ThreadIds(), started;
  std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::back_inserter(started));
  return started;
}
