// How late timed work happens on Windows (or wine), in the same run: the engine itself, and one-shot
// timers three ways.
//   - The engine: tovu-engine.exe beside this program, started by the client library with the
//     virtual service, plays a song of events at irregular ticks with tempo changes (the song the
//     Linux bench_timing plays); each event's lateness is its log time minus its ideal time after
//     the clock's anchoring (the start's replayed controller).
//   - The engine's timer service (a chain of one-shot timers, each armed for an absolute time 1 to
//     4 ms after the last one was due), a bare high-resolution waitable timer armed the same way,
//     and a WinMM one-shot chain (timeSetEvent): the counter at the callback minus the due time.
// A negative figure is an expiry that came early. Absolute figures under wine mean little; the
// ratios do.
//
//   bench_timing [count] [seconds]   (default 500 timers each way and a 20 s song; the Windows
//                                    build's bench_timing)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/timing_song.h"
#include "client/tovu_client.h"
#include "platform/timer.h"

namespace {

constexpr double kSpacingMs[] = {1.0, 2.5, 4.0, 1.5};

struct Chain {
  platform::TimerService* service = nullptr;
  std::vector<double> lateness;
  size_t wanted = 0;
  double dueMs = 0;
  HANDLE done = nullptr;
};

double Spacing(size_t i) { return kSpacingMs[i % 4]; }

void OnServiceTimer(void* context, uint64_t) {
  Chain* c = static_cast<Chain*>(context);
  c->lateness.push_back(platform::NowMs() - c->dueMs);
  if (c->lateness.size() == c->wanted) {
    SetEvent(c->done);
    return;
  }
  c->dueMs += Spacing(c->lateness.size());
  platform::TimerArm(c->service, c->dueMs, OnServiceTimer, c);
}

Chain* g_winmm = nullptr;
void CALLBACK OnWinmmTimer(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  Chain* c = g_winmm;
  c->lateness.push_back(platform::NowMs() - c->dueMs);
  if (c->lateness.size() == c->wanted) {
    SetEvent(c->done);
    return;
  }
  c->dueMs += Spacing(c->lateness.size());
  // WinMM takes whole milliseconds, relative: the delay is rounded to the nearest one.
  double delay = c->dueMs - platform::NowMs();
  UINT ms = delay < 1 ? 1 : static_cast<UINT>(delay + 0.5);
  timeSetEvent(ms, 0, OnWinmmTimer, 0, TIME_ONESHOT | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
}

struct Quantiles {
  double p50 = 0, p99 = 0;
};

Quantiles Report(const char* name, std::vector<double> v) {
  if (v.empty()) {
    std::printf("%-22s no samples\n", name);
    return {};
  }
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))]; };
  size_t early = static_cast<size_t>(std::count_if(v.begin(), v.end(), [](double x) { return x < 0; }));
  std::printf("%-22s n %zu  min %7.3f  p50 %7.3f  p99 %7.3f  max %7.3f ms  early %zu\n", name, v.size(), v.front(),
              at(0.50), at(0.99), v.back(), early);
  return {at(0.50), at(0.99)};
}

// The timer service's (or the engine's) lateness as a multiple of a baseline's, at the median and at the 99th
// percentile; a baseline at or below zero (early, or exactly on time) gives no ratio.
void Ratio(const char* baseline, Quantiles service, Quantiles base, const char* measured = "timer service") {
  auto one = [](double a, double b) { return b > 0 ? a / b : -1; };
  double p50 = one(service.p50, base.p50), p99 = one(service.p99, base.p99);
  std::printf("%s / %-22s p50 ", measured, baseline);
  p50 < 0 ? std::printf("   n/a") : std::printf("%6.2f", p50);
  std::printf("  p99 ");
  p99 < 0 ? std::printf("   n/a\n") : std::printf("%6.2f\n", p99);
}

// Plays the irregular song on tovu-engine.exe (beside this program) for `seconds` and returns each
// event's lateness in ms; empty, with `error` said, when the engine could not be used.
std::vector<double> EngineLateness(double seconds, std::string* error) {
  char dir[MAX_PATH];
  DWORD n = GetTempPathA(sizeof dir, dir);
  std::string log = std::string(dir, n) + "tovu-bench-timing-" + std::to_string(GetCurrentProcessId()) + ".log";
  DeleteFileA(log.c_str());
  SetEnvironmentVariableA("TOVU_MIDI", "virtual");
  SetEnvironmentVariableA("TOVU_VIRTUAL_OUTPUTS", "1");
  SetEnvironmentVariableA("TOVU_VIRTUAL_INPUTS", "0");
  SetEnvironmentVariableA("TOVU_VIRTUAL_LOG", log.c_str());
  SetEnvironmentVariableA("TOVU_VIRTUAL_INPUT", nullptr);
  SetEnvironmentVariableA("TOVU_NO_MESSAGE_BOX", "1");

  tovu::Client c;
  if (!tovu::Connect(c)) {
    *error = c.connectError;
    return {};
  }
  tovu::OpenPortsRequest open;
  open.outputDevices = {0};
  tovu::OpenPortsReply reply;
  if (tovu::Register(c) != 0 || !tovu::OpenPorts(c, open, &reply)) {
    *error = "the engine did not register this client or open its output";
    tovu::Disconnect(c);
    return {};
  }
  bench::Scheduled song = bench::IrregularSong(seconds);
  tovu::LoadSong(c, song.image);
  tovu::Start(c, tovu::StartRequest{});
  // The song ends by itself (notification 12) a little after its last event.
  tovu::WaitForNotification(c, tovu::kNotifyEnded, static_cast<int>(seconds * 1000) + 5000);
  tovu::Stop(c);
  tovu::Unregister(c);
  tovu::PumpMessages(c, 200);
  tovu::Disconnect(c);

  // "<ns> data out0 b1 14 00": the data lines from the anchor on, the first being the anchor.
  std::vector<double> late;
  std::ifstream in(log);
  std::string line;
  double anchorMs = -1;
  while (std::getline(in, line) && late.size() < song.idealMs.size()) {
    std::istringstream is(line);
    long long ns = 0;
    is >> ns;
    std::string text;
    std::getline(is >> std::ws, text);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.rfind("data ", 0) != 0) continue;
    if (anchorMs < 0) {
      if (text == bench::kAnchorLine) anchorMs = static_cast<double>(ns) / 1e6;
      continue;
    }
    late.push_back(static_cast<double>(ns) / 1e6 - anchorMs - song.idealMs[late.size()]);
  }
  in.close();
  DeleteFileA(log.c_str());
  if (late.size() < song.idealMs.size())
    *error = "the log holds " + std::to_string(late.size()) + " of the song's " + std::to_string(song.idealMs.size()) + " events";
  return late;
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 500;
  if (count == 0) count = 1;
  double seconds = argc > 2 ? std::atof(argv[2]) : 20;
  if (seconds <= 0) seconds = 20;

  std::string engineError;
  std::vector<double> engine = EngineLateness(seconds, &engineError);

  Chain service;
  service.wanted = count;
  service.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  service.service = platform::TimerServiceStart();
  if (!service.service) return 1;
  service.dueMs = platform::NowMs() + 5;
  platform::TimerArm(service.service, service.dueMs, OnServiceTimer, &service);
  WaitForSingleObject(service.done, INFINITE);
  platform::TimerServiceStop(service.service);

  timeBeginPeriod(1);
  Chain bare;
  HANDLE waitable = CreateWaitableTimerExW(nullptr, nullptr, 0x2 /* high resolution */, TIMER_ALL_ACCESS);
  if (!waitable) waitable = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  bare.dueMs = platform::NowMs() + 5;
  for (size_t i = 0; i < count; ++i) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>((bare.dueMs - platform::NowMs()) * 1e4);
    if (due.QuadPart >= 0) due.QuadPart = -1;
    SetWaitableTimer(waitable, &due, 0, nullptr, nullptr, FALSE);
    WaitForSingleObject(waitable, INFINITE);
    bare.lateness.push_back(platform::NowMs() - bare.dueMs);
    bare.dueMs += Spacing(i + 1);
  }

  Chain winmm;
  winmm.wanted = count;
  winmm.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_winmm = &winmm;
  winmm.dueMs = platform::NowMs() + 5;
  timeSetEvent(5, 0, OnWinmmTimer, 0, TIME_ONESHOT | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
  WaitForSingleObject(winmm.done, 30000);
  timeEndPeriod(1);

  if (!engineError.empty()) std::printf("engine: %s\n", engineError.c_str());
  Quantiles e = Report("engine (song events)", engine);
  Quantiles s = Report("timer service", service.lateness);
  Quantiles b = Report("bare waitable timer", bare.lateness);
  Quantiles w = Report("winmm one-shot chain", winmm.lateness);
  Ratio("bare waitable timer", s, b);
  Ratio("winmm one-shot chain", s, w);
  Ratio("bare waitable timer", e, b, "engine events");
  return engine.empty() ? 1 : 0;
}
