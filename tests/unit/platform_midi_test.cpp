// Tests of the MIDI device layer's virtual service: configuration from the environment, the output
// log and capture, refused opens and sends, FIFO and injected input, system-exclusive buffers, the
// wait for a running input callback, concurrent sends, and restarting the service; the selection of
// a real service that cannot be had; and the ring between jack's senders and its process callback.
// Threads: the test thread, plus sender and injector threads where a test says so.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi.h"
#include "platform/midi_common.h"
#include "platform/midi_ring.h"
#include "platform/timer.h"

namespace platform {
namespace {

using Strings = std::vector<std::string>;

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

struct TempDir {
  std::string path;
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tovu-midi-XXXXXX").string();
    path = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempDir() {
    if (!path.empty()) std::filesystem::remove_all(path);
  }
  std::string File(const char* name) const { return path + "/" + name; }
};

// The log's lines with their time stamps removed; checks that every line starts with one and that
// the time stamps never go backwards.
Strings ReadLog(const std::string& path) {
  std::ifstream in(path);
  Strings lines;
  std::string line;
  long long last = 0;
  while (std::getline(in, line)) {
    size_t space = line.find(' ');
    EXPECT_NE(space, std::string::npos) << line;
    if (space == std::string::npos) continue;
    std::string ns = line.substr(0, space);
    EXPECT_TRUE(!ns.empty() && std::all_of(ns.begin(), ns.end(), ::isdigit)) << line;
    long long value = std::stoll(ns);
    EXPECT_GE(value, last) << line;
    last = value;
    lines.push_back(line.substr(space + 1));
  }
  return lines;
}

void WriteFifo(const std::string& path, const Strings& lines) {
  std::ofstream out(path);  // a new writer each time: writers come and go
  for (const std::string& line : lines) out << line << '\n' << std::flush;
}

// Records what an input callback receives.
struct Received {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint32_t> shorts;
  std::vector<std::vector<uint8_t>> sysex;
  std::vector<MidiHandle> handles;
  bool requeue = false;  // queue each returned buffer again, from inside the callback

  static void Callback(MidiHandle handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                       uintptr_t) {
    auto* self = reinterpret_cast<Received*>(instance);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->handles.push_back(handle);
    if (msg == kMimData) self->shorts.push_back(static_cast<uint32_t>(param1));
    if (msg == kMimLongData) {
      auto* buffer = reinterpret_cast<MidiInBuffer*>(param1);
      self->sysex.emplace_back(buffer->data, buffer->data + buffer->bytesRecorded);
      if (self->requeue) {
        EXPECT_EQ(MidiInAddBuffer(handle, buffer), kMidiOk);
      }
    }
    self->changed.notify_all();
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    shorts.clear();
    sysex.clear();
    handles.clear();
  }

  // Waits (bounded) until `count` short messages have arrived.
  bool WaitShorts(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return shorts.size() >= count; });
  }
};

VirtualMidiConfig Config(Strings outputs, Strings inputs) {
  VirtualMidiConfig config;
  config.outputs = std::move(outputs);
  config.inputs = std::move(inputs);
  return config;
}

// What the layer may still touch until it shuts down (callback instances, queued buffers) lives in
// the fixture, so that it outlives TearDown even when a test ends early.
class PlatformMidiTest : public ::testing::Test {
 protected:
  void TearDown() override {
    MidiShutdown();
    VirtualCaptureEnable(false);
    VirtualCaptureTake();
  }

  uintptr_t Instance(Received* r) { return reinterpret_cast<uintptr_t>(r); }

  Received got;
  Received marker;  // a second input whose arrival shows that earlier FIFO lines were handled
  uint8_t storage[2][16] = {};
  MidiInBuffer buffers[2];
};

TEST_F(PlatformMidiTest, ConfigurationComesFromTheEnvironment) {
  {
    ScopedEnv o("TOVU_VIRTUAL_OUTPUTS", nullptr), i("TOVU_VIRTUAL_INPUTS", nullptr),
        f("TOVU_VIRTUAL_FAIL_OPEN", nullptr), l("TOVU_VIRTUAL_LOG", nullptr),
        p("TOVU_VIRTUAL_INPUT", nullptr);
    VirtualMidiConfig c = VirtualConfigFromEnvironment();
    EXPECT_EQ(c.outputs, (Strings{"Virtual Out 1", "Virtual Out 2"}));
    EXPECT_EQ(c.inputs, (Strings{"Virtual In 1"}));
    EXPECT_TRUE(c.failOut.empty() && c.failIn.empty());
    EXPECT_TRUE(c.logPath.empty() && c.inputFifo.empty());
  }
  {
    ScopedEnv o("TOVU_VIRTUAL_OUTPUTS", "3"), i("TOVU_VIRTUAL_INPUTS", "0"),
        l("TOVU_VIRTUAL_LOG", "/x/log"), p("TOVU_VIRTUAL_INPUT", "/x/fifo");
    VirtualMidiConfig c = VirtualConfigFromEnvironment();
    EXPECT_EQ(c.outputs, (Strings{"Virtual Out 1", "Virtual Out 2", "Virtual Out 3"}));
    EXPECT_TRUE(c.inputs.empty());
    EXPECT_EQ(c.logPath, "/x/log");
    EXPECT_EQ(c.inputFifo, "/x/fifo");
  }
  {
    ScopedEnv o("TOVU_VIRTUAL_OUTPUTS", "Synth A|Drum Kit|7"), i("TOVU_VIRTUAL_INPUTS", "Keys"),
        f("TOVU_VIRTUAL_FAIL_OPEN", "out:1, in:0,bogus,out:x,in:,up:3,out:12");
    VirtualMidiConfig c = VirtualConfigFromEnvironment();
    EXPECT_EQ(c.outputs, (Strings{"Synth A", "Drum Kit", "7"}));
    EXPECT_EQ(c.inputs, (Strings{"Keys"}));
    EXPECT_EQ(c.failOut, (std::vector<uint32_t>{1, 12}));
    EXPECT_EQ(c.failIn, (std::vector<uint32_t>{0}));
  }
}

TEST_F(PlatformMidiTest, ServiceSelectionCountsAndNames) {
  std::string longName(70, 'n');
  longName[0] = 'A';
  longName[69] = 'Z';
  {
    ScopedEnv m("TOVU_MIDI", "virtual"), o("TOVU_VIRTUAL_OUTPUTS", "300"),
        i("TOVU_VIRTUAL_INPUTS", ("In|" + longName).c_str()), l("TOVU_VIRTUAL_LOG", nullptr),
        p("TOVU_VIRTUAL_INPUT", nullptr), f("TOVU_VIRTUAL_FAIL_OPEN", nullptr);
    ASSERT_EQ(MidiStartFromEnvironment(), MidiService::Virtual);
  }
  EXPECT_EQ(MidiCurrentService(), MidiService::Virtual);
  EXPECT_EQ(MidiOutCount(), 300u);
  EXPECT_EQ(MidiInCount(), 2u);

  char name[128];
  ASSERT_EQ(MidiOutName(299, name, sizeof name), kMidiOk);
  EXPECT_STREQ(name, "Virtual Out 300");
  EXPECT_EQ(MidiOutName(300, name, sizeof name), kMidiBadDeviceId);
  ASSERT_EQ(MidiInName(1, name, sizeof name), kMidiOk);
  EXPECT_EQ(std::string(name), longName);
  char cut[64];
  ASSERT_EQ(MidiInName(1, cut, sizeof cut), kMidiOk);
  EXPECT_EQ(std::string(cut), longName.substr(0, 63));
  EXPECT_EQ(MidiInName(2, name, sizeof name), kMidiBadDeviceId);

  MidiHandle handle = 0;
  ASSERT_EQ(MidiOutOpen(299, &handle), kMidiOk);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(MidiOutShort(handle, 0x90), kMidiOk);

  {
    ScopedEnv m("TOVU_MIDI", "none");
    EXPECT_EQ(MidiStartFromEnvironment(), MidiService::None);
  }
  EXPECT_EQ(MidiOutCount(), 0u);
  EXPECT_EQ(MidiInCount(), 0u);
  EXPECT_EQ(MidiOutName(0, name, sizeof name), kMidiBadDeviceId);
  EXPECT_EQ(MidiOutOpen(0, &handle), kMidiBadDeviceId);
  EXPECT_EQ(MidiOutShort(handle, 0x90), kMidiInvalidHandle);
}

TEST_F(PlatformMidiTest, LogAndCaptureShowEachEventAsOneLine) {
  TempDir dir;
  VirtualMidiConfig config = Config({"A", "B"}, {"I"});
  config.logPath = dir.File("out.log");
  MidiStartVirtual(config);
  VirtualCaptureEnable(true);

  MidiHandle out0 = 0, out1 = 0, in0 = 0;
  ASSERT_EQ(MidiOutOpen(0, &out0), kMidiOk);
  ASSERT_EQ(MidiOutOpen(1, &out1), kMidiOk);
  ASSERT_EQ(MidiInOpen(0, nullptr, 0, &in0), kMidiOk);
  // Bytes beyond what the status implies, and bits 24-31, never show.
  const uint32_t words[] = {0x00643C90, 0x7F003C80, 0x7F7F05C3, 0xFF0040D1, 0x002010E0,
                            0x00007FB0, 0x000012F1, 0x000201F2, 0x000005F3, 0x00FFFFF8,
                            0x000000FE, 0x00123456, 0x00AABBF6};
  for (uint32_t word : words) ASSERT_EQ(MidiOutShort(out0, word), kMidiOk);
  const uint8_t sysex[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  ASSERT_EQ(MidiOutLong(out1, sysex, sizeof sysex), kMidiOk);
  ASSERT_EQ(MidiOutLong(out1, sysex, 0), kMidiOk);  // nothing goes out
  ASSERT_EQ(MidiOutClose(out0), kMidiOk);
  ASSERT_EQ(MidiInClose(in0), kMidiOk);
  MidiShutdown();  // closes out1

  const Strings expected = {"open out0",
                            "open out1",
                            "open in0",
                            "data out0 90 3c 64",
                            "data out0 80 3c 00",
                            "data out0 c3 05",
                            "data out0 d1 40",
                            "data out0 e0 10 20",
                            "data out0 b0 7f 00",
                            "data out0 f1 12",
                            "data out0 f2 01 02",
                            "data out0 f3 05",
                            "data out0 f8",
                            "data out0 fe",
                            "data out0 56 34 12",
                            "data out0 f6",
                            "data out1 f0 7e 7f 09 01 f7",
                            "close out0",
                            "close in0",
                            "close out1"};
  std::ifstream raw(config.logPath);
  Strings rawLines;
  for (std::string line; std::getline(raw, line);) rawLines.push_back(line);
  EXPECT_EQ(ReadLog(config.logPath), expected);

  std::vector<VirtualMidiEvent> events = VirtualCaptureTake();
  ASSERT_EQ(events.size(), rawLines.size());
  for (size_t i = 0; i < events.size(); ++i)
    EXPECT_EQ(FormatVirtualLogLine(events[i]), rawLines[i]);
  EXPECT_TRUE(VirtualCaptureTake().empty());

  EXPECT_EQ(ShortMessageLength(0x00), 3);
  EXPECT_EQ(ShortMessageLength(0xAF), 3);
  EXPECT_EQ(ShortMessageLength(0xCF), 2);
  EXPECT_EQ(ShortMessageLength(0xDF), 2);
  EXPECT_EQ(ShortMessageLength(0xEF), 3);
  EXPECT_EQ(ShortMessageLength(0xF0), 1);
  EXPECT_EQ(ShortMessageLength(0xF7), 1);
  EXPECT_EQ(ShortMessageLength(0xFF), 1);
}

TEST_F(PlatformMidiTest, RefusedOpensAndSendsLogNothing) {
  TempDir dir;
  VirtualMidiConfig config = Config({"A", "B"}, {"I"});
  config.logPath = dir.File("out.log");
  config.failOut = {1};
  config.failIn = {0};
  MidiStartVirtual(config);

  MidiHandle h = 0;
  EXPECT_EQ(MidiOutOpen(1, &h), kMidiAllocated);
  EXPECT_EQ(MidiInOpen(0, nullptr, 0, &h), kMidiAllocated);
  EXPECT_EQ(MidiOutOpen(2, &h), kMidiBadDeviceId);
  EXPECT_EQ(h, 0u);

  MidiHandle first = 0;
  ASSERT_EQ(MidiOutOpen(0, &first), kMidiOk);
  MidiHandle again = 0;
  EXPECT_EQ(MidiOutOpen(0, &again), kMidiAllocated);
  ASSERT_EQ(MidiOutClose(first), kMidiOk);
  const uint8_t bytes[] = {0xF0, 0x01, 0xF7};
  EXPECT_EQ(MidiOutShort(first, 0x643C90), kMidiInvalidHandle);
  EXPECT_EQ(MidiOutLong(first, bytes, sizeof bytes), kMidiInvalidHandle);
  EXPECT_EQ(MidiOutClose(first), kMidiInvalidHandle);

  MidiHandle second = 0;
  ASSERT_EQ(MidiOutOpen(0, &second), kMidiOk);
  EXPECT_NE(second, first);
  EXPECT_EQ(MidiOutShort(first, 0x643C90), kMidiInvalidHandle);  // stale
  EXPECT_EQ(MidiOutShort(0, 0x643C90), kMidiInvalidHandle);
  EXPECT_EQ(MidiInStart(second), kMidiInvalidHandle);  // an output's handle is no input's
  EXPECT_EQ(MidiOutShort(second, 0x643C90), kMidiOk);
  MidiShutdown();
  MidiShutdown();
  EXPECT_EQ(MidiOutShort(second, 0x643C90), kMidiInvalidHandle);

  EXPECT_EQ(ReadLog(config.logPath),
            (Strings{"open out0", "close out0", "open out0", "data out0 90 3c 64", "close out0"}));
}

TEST_F(PlatformMidiTest, FifoInputArrivesOnlyWhileStarted) {
  TempDir dir;
  VirtualMidiConfig config = Config({}, {"I0", "I1", "I2"});
  config.inputFifo = dir.File("in.fifo");
  MidiStartVirtual(config);
  ASSERT_TRUE(std::filesystem::is_fifo(config.inputFifo));

  MidiHandle in = 0, markerIn = 0;
  ASSERT_EQ(MidiInOpen(0, &Received::Callback, Instance(&got), &in), kMidiOk);
  ASSERT_EQ(MidiInOpen(1, &Received::Callback, Instance(&marker), &markerIn), kMidiOk);
  ASSERT_EQ(MidiInStart(markerIn), kMidiOk);
  // Lines are handled in order: once the marker's line has arrived, the line before it has been
  // handled (and dropped) while input 0 was not started.
  WriteFifo(config.inputFifo, {"0 90 3c 64", "1 fe"});
  ASSERT_TRUE(marker.WaitShorts(1));
  ASSERT_EQ(MidiInStart(in), kMidiOk);
  WriteFifo(config.inputFifo, {"0 80 3c 00"});
  ASSERT_TRUE(got.WaitShorts(1));
  ASSERT_EQ(MidiInStop(in), kMidiOk);
  WriteFifo(config.inputFifo, {"0 90 40 64", "1 fe"});
  ASSERT_TRUE(marker.WaitShorts(2));
  ASSERT_EQ(MidiInStart(in), kMidiOk);
  std::string tooLong = "0 f0";
  for (int i = 0; i < 70000; ++i) tooLong += " 01";
  WriteFifo(config.inputFifo,
            {"", "x", "0", "0 9", "0 90 3c 64 11", "0 903c64", "0x 90", "3 90 3c 64", "2 90 3c 64",
             "99999999999 90", "0 90 3g 64", tooLong, " 0  B0\t07 7F\r", "0 f8"});
  ASSERT_TRUE(got.WaitShorts(3));

  std::lock_guard<std::mutex> lock(got.mutex);
  EXPECT_EQ(got.shorts, (std::vector<uint32_t>{0x003C80, 0x7F07B0, 0xF8}));
  EXPECT_TRUE(got.sysex.empty());
  for (MidiHandle h : got.handles) EXPECT_EQ(h, in);
}

TEST_F(PlatformMidiTest, FifoSysexFillsOldestQueuedBuffer) {
  TempDir dir;
  VirtualMidiConfig config = Config({}, {"I"});
  config.inputFifo = dir.File("in.fifo");
  MidiStartVirtual(config);

  MidiHandle in = 0;
  ASSERT_EQ(MidiInOpen(0, &Received::Callback, Instance(&got), &in), kMidiOk);
  ASSERT_EQ(MidiInStart(in), kMidiOk);
  MidiInBuffer& first = buffers[0];
  MidiInBuffer& second = buffers[1];
  first = {storage[0], 16, 0, 0};
  second = {storage[1], 4, 0, 0};
  ASSERT_EQ(MidiInAddBuffer(in, &first), kMidiOk);
  ASSERT_EQ(MidiInAddBuffer(in, &second), kMidiOk);
  WriteFifo(config.inputFifo,
            {"0 f0 01 02 03 04 05 f7", "0 f0 0a 0b 0c 0d 0e f7", "0 f0 7f f7", "0 fe"});
  ASSERT_TRUE(got.WaitShorts(1));

  std::lock_guard<std::mutex> lock(got.mutex);
  ASSERT_EQ(got.sysex.size(), 2u);  // the third found no buffer
  EXPECT_EQ(got.sysex[0], (std::vector<uint8_t>{0xF0, 1, 2, 3, 4, 5, 0xF7}));
  EXPECT_EQ(first.bytesRecorded, 7u);
  EXPECT_EQ(got.sysex[1], (std::vector<uint8_t>{0xF0, 0x0A, 0x0B, 0x0C}));
  EXPECT_EQ(second.bytesRecorded, 4u);
  EXPECT_EQ(got.shorts, (std::vector<uint32_t>{0xFE}));
}

TEST_F(PlatformMidiTest, InjectionFollowsTheSameRules) {
  MidiStartVirtual(Config({}, {"I"}));
  got.requeue = true;
  MidiHandle in = 0;
  ASSERT_EQ(MidiInOpen(0, &Received::Callback, Instance(&got), &in), kMidiOk);
  const uint8_t note[] = {0x90, 0x3C, 0x64};
  const uint8_t four[] = {0x90, 0x3C, 0x64, 0x00};
  const uint8_t sysex[] = {0xF0, 0x43, 0x10, 0xF7};
  EXPECT_FALSE(VirtualInject(0, note, sizeof note));  // not started
  ASSERT_EQ(MidiInStart(in), kMidiOk);
  EXPECT_TRUE(VirtualInject(0, note, sizeof note));
  EXPECT_TRUE(VirtualInject(0, note, 2));
  EXPECT_FALSE(VirtualInject(0, four, sizeof four));
  EXPECT_FALSE(VirtualInject(0, note, 0));
  EXPECT_FALSE(VirtualInject(1, note, sizeof note));

  MidiInBuffer& buffer = buffers[0];
  buffer = {storage[0], 8, 0, 0};
  ASSERT_EQ(MidiInAddBuffer(in, &buffer), kMidiOk);
  EXPECT_TRUE(VirtualInject(0, sysex, sizeof sysex));
  EXPECT_TRUE(VirtualInject(0, sysex, sizeof sysex));  // re-queued from inside the callback

  ASSERT_EQ(MidiInStop(in), kMidiOk);
  EXPECT_FALSE(VirtualInject(0, note, sizeof note));
  ASSERT_EQ(MidiInClose(in), kMidiOk);  // drops the re-queued buffer
  EXPECT_EQ(MidiInAddBuffer(in, &buffer), kMidiInvalidHandle);
  ASSERT_EQ(MidiInOpen(0, &Received::Callback, Instance(&got), &in), kMidiOk);
  ASSERT_EQ(MidiInStart(in), kMidiOk);
  EXPECT_TRUE(VirtualInject(0, sysex, sizeof sysex));  // no buffer queued: dropped

  std::lock_guard<std::mutex> lock(got.mutex);
  EXPECT_EQ(got.shorts, (std::vector<uint32_t>{0x643C90, 0x3C90}));
  ASSERT_EQ(got.sysex.size(), 2u);
  EXPECT_EQ(got.sysex[1], (std::vector<uint8_t>(sysex, sysex + sizeof sysex)));
}

// Virtual input takes the path every service's input takes: the callback learns when the message
// arrived (not when it asks), and the milliseconds since the input was started.
TEST_F(PlatformMidiTest, InjectedInputCarriesItsArrivalTime) {
  MidiStartVirtual(Config({}, {"I"}));
  struct Seen {
    double arrival = 0, askedAt = 0;
    uintptr_t sinceStart = 0;
  } seen;
  auto callback = [](MidiHandle, uint32_t, uintptr_t instance, uintptr_t, uintptr_t ms) {
    auto* s = reinterpret_cast<Seen*>(instance);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    s->arrival = MidiInArrivalMs();
    s->askedAt = NowMs();
    s->sinceStart = ms;
  };
  MidiHandle in = 0;
  ASSERT_EQ(MidiInOpen(0, callback, reinterpret_cast<uintptr_t>(&seen), &in), kMidiOk);
  double started = NowMs();
  ASSERT_EQ(MidiInStart(in), kMidiOk);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  double before = NowMs();
  const uint8_t note[] = {0x90, 0x3C, 0x64};
  ASSERT_TRUE(VirtualInject(0, note, sizeof note));
  EXPECT_GE(seen.arrival, before);
  EXPECT_LE(seen.arrival, seen.askedAt - 25.0);  // the arrival, not the moment of asking
  EXPECT_GE(seen.sinceStart, 4u);
  EXPECT_LE(static_cast<double>(seen.sinceStart), seen.arrival - started + 1.0);
  EXPECT_GT(MidiInArrivalMs(), NowMs() - 1.0);  // outside a callback: now
}

TEST_F(PlatformMidiTest, StopWaitsForARunningCallback) {
  MidiStartVirtual(Config({}, {"I"}));
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false;
    std::atomic<bool> stopReturned{false};
    bool stopReturnedInsideCallback = false;
  } gate;
  auto callback = [](MidiHandle, uint32_t, uintptr_t instance, uintptr_t, uintptr_t) {
    auto* g = reinterpret_cast<Gate*>(instance);
    std::unique_lock<std::mutex> lock(g->mutex);
    g->entered = true;
    g->changed.notify_all();
    g->changed.wait(lock, [&] { return g->released; });
    g->stopReturnedInsideCallback = g->stopReturned.load();
  };
  MidiHandle in = 0;
  ASSERT_EQ(MidiInOpen(0, callback, reinterpret_cast<uintptr_t>(&gate), &in), kMidiOk);
  ASSERT_EQ(MidiInStart(in), kMidiOk);
  const uint8_t note[] = {0x90, 0x3C, 0x64};
  std::thread injector([&] { EXPECT_TRUE(VirtualInject(0, note, sizeof note)); });
  {
    std::unique_lock<std::mutex> lock(gate.mutex);
    EXPECT_TRUE(
        gate.changed.wait_for(lock, std::chrono::seconds(20), [&] { return gate.entered; }));
  }
  std::thread stopper([&] {
    EXPECT_EQ(MidiInStop(in), kMidiOk);
    gate.stopReturned = true;
  });
  // Give the stop a moment to reach its wait; a correct layer passes however long this is.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  {
    std::lock_guard<std::mutex> lock(gate.mutex);
    gate.released = true;
    gate.changed.notify_all();
  }
  injector.join();
  stopper.join();
  EXPECT_FALSE(gate.stopReturnedInsideCallback);
  EXPECT_FALSE(VirtualInject(0, note, sizeof note));
}

TEST_F(PlatformMidiTest, ConcurrentSendsAndCloseKeepLinesWhole) {
  TempDir dir;
  VirtualMidiConfig config = Config({"A"}, {});
  config.logPath = dir.File("out.log");
  MidiStartVirtual(config);
  MidiHandle out = 0;
  ASSERT_EQ(MidiOutOpen(0, &out), kMidiOk);

  std::atomic<int> sent{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      const uint8_t sysex[] = {0xF0, 0x7D, static_cast<uint8_t>(t), 0x01, 0x02, 0x03, 0x04, 0xF7};
      for (int i = 0; i < 2000; ++i) {
        int r = (i % 10 == 0) ? MidiOutLong(out, sysex, sizeof sysex)
                              : MidiOutShort(out, 0x640090u | static_cast<uint32_t>(i % 128) << 8);
        if (r == kMidiOk) {
          sent.fetch_add(1);
        } else {
          EXPECT_EQ(r, kMidiInvalidHandle);
        }
      }
    });
  }
  for (int spins = 0; sent.load() < 1000 && spins < 20000000; ++spins) std::this_thread::yield();
  EXPECT_EQ(MidiOutClose(out), kMidiOk);
  for (std::thread& t : senders) t.join();

  Strings lines = ReadLog(config.logPath);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "open out0");
  EXPECT_EQ(lines.back(), "close out0");
  const std::regex data("data out0 (90 [0-7][0-9a-f] 64|f0 7d 0[0-3] 01 02 03 04 f7)");
  for (size_t i = 1; i + 1 < lines.size(); ++i)
    EXPECT_TRUE(std::regex_match(lines[i], data)) << lines[i];
  EXPECT_EQ(lines.size() - 2, static_cast<size_t>(sent.load()));
}

TEST_F(PlatformMidiTest, ServiceRestartsManyTimes) {
  TempDir dir;
  VirtualMidiConfig config = Config({"A"}, {"I"});
  config.logPath = dir.File("out.log");
  config.inputFifo = dir.File("in.fifo");
  Strings expected;
  MidiHandle previous = 0;
  for (int round = 0; round < 25; ++round) {
    MidiStartVirtual(config);
    EXPECT_EQ(MidiOutShort(previous, 0x90), kMidiInvalidHandle);
    MidiHandle out = 0, in = 0;
    ASSERT_EQ(MidiOutOpen(0, &out), kMidiOk);
    got.Clear();
    ASSERT_EQ(MidiInOpen(0, &Received::Callback, Instance(&got), &in), kMidiOk);
    ASSERT_EQ(MidiInStart(in), kMidiOk);
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02x", round);
    WriteFifo(config.inputFifo, {std::string("0 90 ") + hex + " 01"});
    ASSERT_TRUE(got.WaitShorts(1));
    uint32_t echoed;
    {
      std::lock_guard<std::mutex> lock(got.mutex);
      echoed = got.shorts[0];
    }
    EXPECT_EQ(MidiOutShort(out, echoed), kMidiOk);
    MidiShutdown();
    MidiShutdown();
    EXPECT_EQ(MidiCurrentService(), MidiService::None);
    EXPECT_EQ(MidiOutCount(), 0u);
    previous = out;
    expected.insert(expected.end(),
                    {"open out0", "open in0", std::string("data out0 90 ") + hex + " 01",
                     "close in0", "close out0"});
  }
  EXPECT_EQ(ReadLog(config.logPath), expected);
}

// A service that cannot be had (no JACK server; no ALSA sequencer here; or not built at all).
TEST(MidiSelection, ARequestedServiceThatCannotBeHadGivesNoDevicesAndOneLine) {
  ScopedEnv server("JACK_DEFAULT_SERVER", ("tovu-absent-" + std::to_string(getpid())).c_str());
  for (const char* service : {"jack", "alsa"}) {
    SCOPED_TRACE(service);
    if (std::string(service) == "alsa" && access("/dev/snd/seq", F_OK) == 0) continue;  // a real sequencer
    ScopedEnv midi("TOVU_MIDI", service);
    testing::internal::CaptureStderr();
    EXPECT_EQ(MidiStartFromEnvironment(), MidiService::None);
    std::string text = testing::internal::GetCapturedStderr();
    // One line of ours; libjack may add lines of its own when it fails to reach a server.
    size_t ours = 0;
    for (size_t at = text.find("MIDI service "); at != std::string::npos; at = text.find("MIDI service ", at + 1)) ++ours;
    EXPECT_EQ(ours, 1u) << text;
    EXPECT_NE(text.find(std::string("MIDI service ") + service), std::string::npos) << text;
    EXPECT_EQ(MidiOutCount(), 0u);
    EXPECT_EQ(MidiInCount(), 0u);
    MidiHandle handle = 0;
    EXPECT_EQ(MidiOutOpen(0, &handle), kMidiBadDeviceId);
  }
  if (access("/dev/snd/seq", F_OK) != 0) {
    // Nothing asked for and nothing there: none, without a word.
    ScopedEnv midi("TOVU_MIDI", nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(MidiStartFromEnvironment(), MidiService::None);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  MidiShutdown();
}

// A service that lists the system's devices again (jack, winmm) hands the names over in the
// system's order and learns which id each went to: winmm opens a device by the number it is listed
// under now, so a wrong id here opens a stranger.
TEST(MidiDeviceList, ListingsKeepIdsByNameAndSayWhereEachNameWent) {
  static const midi_common::MidiOps ops = {
      MidiService::Virtual, [](midi_common::MidiServiceState&) { return true; }, []() -> int64_t { return 0; }, nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  };
  midi_common::MidiServiceState state;
  midi_common::MakeDevices(state, ops, {"Synth", "Drums", "Synth"}, {}, nullptr);
  auto presentIds = [&] {
    std::vector<uint32_t> ids;
    for (uint32_t id = 0; id < state.outCount.load(); ++id)
      if (midi_common::Presence(state, false, id).present) ids.push_back(id);
    return ids;
  };
  using Ids = std::vector<uint32_t>;
  Ids ids;
  // Renumbered by the system, one of two twins and the drums gone, a new device in front.
  EXPECT_TRUE(midi_common::SyncDevices(state, false, {"Piano", "Synth"}, &ids));
  EXPECT_EQ(ids, (Ids{3, 0}));
  EXPECT_EQ(presentIds(), (Ids{0, 3}));
  // Nothing new: no change, the same ids.
  EXPECT_FALSE(midi_common::SyncDevices(state, false, {"Piano", "Synth"}, &ids));
  EXPECT_EQ(ids, (Ids{3, 0}));
  // Everything back in yet another order: each takes its old id, the second twin the second record.
  const uint32_t drumsGeneration = midi_common::Presence(state, false, 1).generation;
  EXPECT_TRUE(midi_common::SyncDevices(state, false, {"Synth", "Drums", "Piano", "Synth"}, &ids));
  EXPECT_EQ(ids, (Ids{0, 1, 3, 2}));
  EXPECT_EQ(presentIds(), (Ids{0, 1, 2, 3}));
  EXPECT_EQ(midi_common::Presence(state, false, 1).generation, drumsGeneration + 1);
  char name[32];
  ASSERT_EQ(midi_common::OutName(state, 3, name, sizeof name), kMidiOk);
  EXPECT_STREQ(name, "Piano");
  EXPECT_FALSE(midi_common::SyncDevices(state, true, {}, &ids));
  EXPECT_TRUE(ids.empty());
  midi_common::EndService(state);
}

TEST(MidiRingTest, RecordsWrapAroundWholeAndAFullRingRefuses) {
  MidiRing ring;
  ASSERT_TRUE(MidiRingInit(ring, 256));
  uint32_t pushed = 0, popped = 0;
  uint8_t out[200];
  for (int round = 0; round < 500; ++round) {
    // Lengths 0 to 90 in a pattern that makes records straddle the end of the buffer.
    uint32_t length = static_cast<uint32_t>((round * 37) % 91);
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(pushed + i);
    MidiRecord r;
    r.length = length;
    r.frame = pushed;
    while (!MidiRingPush(ring, r, bytes.data())) {
      // Full: drain one record and check it.
      MidiRecord head;
      ASSERT_TRUE(MidiRingPeek(ring, &head));
      ASSERT_EQ(head.frame, popped);
      MidiRingPop(ring, head, out);
      for (uint32_t i = 0; i < head.length; ++i) ASSERT_EQ(out[i], static_cast<uint8_t>(popped + i));
      ++popped;
    }
    ++pushed;
  }
  MidiRecord head;
  while (MidiRingPeek(ring, &head)) {
    ASSERT_EQ(head.frame, popped++);
    MidiRingPop(ring, head, nullptr);
  }
  EXPECT_EQ(popped, pushed);
  EXPECT_TRUE(MidiRingEmpty(ring));
  MidiRecord tooLong;
  tooLong.length = 256;
  EXPECT_FALSE(MidiRingPush(ring, tooLong, out));
}

}  // namespace
}  // namespace platform
