// The jack service: MIDI devices through libjack, with output written at the frame that keeps one
// period of constant latency after each message's send time.
//
// The engine is one JACK client (TOVU_JACK_CLIENT, default "TovuEngine"), never starting a server.
// Its output devices are the other clients' MIDI input ports and its input devices their MIDI output
// ports, as jack_get_ports lists them at start-up. Opening output device n registers port "out<n>"
// and connects it to that port; input device n likewise "in<n>", connected from that port.
//
// An output device:
//
//   closed --open: ring reset, port registered and connected, port published--> open
//   open --send: stamped with JACK's clock (or, for a timing message, its due time), pushed to the
//            device's ring (full: 7)--> open
//   open --close: wait until the ring has been written, unpublish the port, wait until the process
//            callback has let go of it, disconnect and unregister--> closed
//
// An input device: closed --open--> stopped --start--> started --stop--> stopped --close--> closed.
// While started, the process callback pushes every event with its frame time into the service's
// input ring; the input thread of this file hands them, in order, to the engine's callback.
//
// The server, as the follower thread of this file sees it (see "Following the server" below):
//
//   alive --jack_on_shutdown--> gone: every port unpublished, every device absent, a line on
//     ^                          standard error; the dead client closed by the server worker after
//     |                          the jobs queued before (libjack starts afresh only once its last
//     |                          client has closed); a new client tried after 50 ms, 100 ms, ...
//     |                          up to every 500 ms
//     +--a server answers: the new client is made current on the worker and activated, its devices
//        listed again under their names (present again, as midi.h's devices that come back), a line
//        on standard error
//
// Once gone, sends and opens return 1, closes only release our side, and nothing waits on a process
// callback that will not come. While alive, JACK's port registration callback (on its notification
// thread) only wakes the follower, which lists the other clients' ports again and tells midi_common
// which are present, so that a client that comes later is appended and one that goes is absent.
// The connection callback likewise only marks and wakes: the engine's port for an open device stays
// connected to that device's port while it is open, so a connection someone else removed (a
// patchbay, another program) is made again on the worker.
//
// A server that hangs (stopped, swapped out) must not hang the engine's main thread. Every call that
// waits on the server (registering, connecting, disconnecting, unregistering a port) and every wait
// for a process cycle runs on the server worker, a thread of this file, one job after another:
//
//   job queued --worker takes it--> running --done--> the opener takes the port
//                                       |--the opener stopped waiting (1 s): abandoned--> done, and
//                                          what it made is unregistered again
//
// An open waits at most kServerWaitLimit for its job, and while the worker has been stuck in a job
// longer than that, an open fails at once (result 1). A close waits at most as long (not at all
// while the worker is stuck): the device is closed for senders at once, and its port is drained,
// unpublished and unregistered by the worker, which finishes the close on its own when the server
// is slow.
//
// Timing: a message is stamped with JACK's microsecond clock when it is sent and written one period
// later, at the frame of the cycle where that time falls (by the cycle's own start time and length,
// jack_get_cycle_times), so every message has the same latency and the sender's timing reaches the
// port unchanged, rather than rounded to the period. A message due in a later cycle stays in the
// ring; one that is late is written at the start of the cycle; none is written before a message
// sent earlier on the same port. A cycle is never taken to have begun more than its own length
// before the callback runs: after a server that stalled (and whose frame count and cycle times
// resume where they stopped), what was sent meanwhile is late and goes out at once, followed by
// whatever was sent after it, rather than played again over the stall's length. A message sent on
// the server's time (PlaceOnServerTime: a playback that follows a master inside JACK) is stamped
// instead with the frame it is written at, from its server time by the latest cycle, and written
// there whenever the cycle that holds it runs (at once when that has passed).
//
// The transport: the timebase is taken and given up on the server worker (as an open is); start, stop
// and locate are libjack's non-blocking requests, asked from any thread. While the timebase is ours,
// TimebaseCallback asks the engine, on JACK's real-time thread, for the position due at the cycle's
// first frame, through a function that reads atomics only. Every cycle the process callback also
// publishes the transport as it stands at the cycle's first frame (TransportRead), with a segment
// count that moves whenever it did not simply run on, for a playback that follows it, and the
// server's own time there: its frames counted from the client's first cycle (a driver that stalls
// or runs slow falls behind the engine's clock, and JACK's clients, a clock master among them, keep
// to the frames).
//
// The devices' records, handles and input states are midi_common's (the process callback reads only
// an input's atomics there); this file keeps each device's JACK port and each output's ring.
//
// Threads: Start and Stop on the main thread while nobody else uses the layer; opens and closes on
// the main thread, their server calls on the server worker; sends on any thread, serialised among
// themselves by the device's sender mutex (midi_common's), which the process callback never takes.
// The process callback (JACK's real-time thread) only reads atomics, pops the output rings, pushes
// the input ring and calls libjack's real-time functions: it never allocates, locks or enters the
// kernel. The input thread polls the input ring every millisecond while an input is open (the
// callback cannot wake it without a system call).
#include "platform/midi_jack.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/midi_ring.h"
#include "platform/timer.h"

namespace platform::jack_midi {
namespace {

using midi_common::InDevice;
using midi_common::MidiOps;
using midi_common::MidiServiceState;

constexpr size_t kOutRingBytes = size_t{1} << 17;  // per open output
constexpr size_t kInRingBytes = size_t{1} << 18;   // shared by all inputs
// How long a close waits for what was sent to be written, and for the callback to let go. The close
// waits on the server worker, not on its caller, so it can afford to wait out a server that stalls
// for a while: its last note-offs still reach the port when the server answers again.
constexpr auto kDrainLimit = std::chrono::seconds(10);
constexpr auto kReleaseLimit = std::chrono::seconds(2);
constexpr auto kPollInterval = std::chrono::milliseconds(1);
// How long an open waits for the server worker, and how long the end of the service waits for the
// worker to finish what was queued.
constexpr auto kServerWaitLimit = std::chrono::milliseconds(1000);
constexpr auto kWorkerStopLimit = std::chrono::seconds(3);

// One piece of work for the server worker. `run` returns a result code and, for an open, the port it
// made; `undo` releases that port when the opener has stopped waiting.
struct ServerJob {
  std::function<int(jack_port_t**)> run;
  std::function<void(jack_port_t*)> undo;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;       // guarded by mutex
  bool abandoned = false;  // guarded by mutex
  int result = 0;
  jack_port_t* port = nullptr;
  uint32_t connection = 0;  // the server connection (Service::connection) the job ran in
};

struct OutPort {
  MidiRing ring;  // producer: a sender holding the device's mutex; consumer: the process callback
  std::atomic<jack_port_t*> port{nullptr};  // non-null while the process callback serves it
};

// While `flowing` (midi_common's, set by start and stop), the process callback queues its events.
struct InPort {
  std::atomic<jack_port_t*> port{nullptr};
};

// When this cycle began and how long it lasts, in JACK's microseconds.
struct CycleClock {
  jack_time_t startUs = 0;
  int64_t lengthUs = 1;
};

struct Service {
  // The current client, null while no server answers: changed only by the server worker (jobs that
  // drop a dead one and adopt a new one), read by the process callback of that client, the
  // worker's jobs, the follower and, under publishMutex, the input thread.
  std::atomic<jack_client_t*> client{nullptr};
  std::string clientName;
  std::atomic<bool> alive{true};
  // Advanced (under publishMutex) when the server goes and when a new client is adopted: a port
  // made in an older connection is never published.
  std::atomic<uint32_t> connection{0};
  std::mutex publishMutex;  // publishing a port against `connection`; the input thread's client
  MidiServiceState* state = nullptr;  // the device records and their counts (midi_common's)
  std::atomic<uint32_t> maxEvent{0};  // largest event an empty port buffer holds; 0 until known
  std::atomic<int> inCallback{0};
  std::atomic<uint64_t> cycles{0};
  uint32_t outRoom = 0;  // the arrays below hold as many devices as midi_common's records
  uint32_t inRoom = 0;
  std::unique_ptr<OutPort[]> outputs;
  std::unique_ptr<InPort[]> inputs;
  InDevice* devices = nullptr;  // the state's input records

  MidiRing inRing;  // producer: the process callback; consumer: the input thread
  std::mutex readerMutex;
  std::condition_variable readerWake;
  bool stopping = false;  // guarded by readerMutex
  int openInputs = 0;     // guarded by readerMutex
  std::thread reader;

  std::mutex workMutex;  // guards work, workStop, workerDone
  std::condition_variable workWake;
  std::deque<std::shared_ptr<ServerJob>> work;
  bool workStop = false;
  bool workerDone = false;
  std::atomic<int64_t> busySinceNs{0};  // when the worker began its current job; 0 while idle
  std::thread worker;

  Event follow;  // set by JACK's callbacks (registration, connection, shutdown) and by Stop
  std::atomic<bool> followStop{false};
  std::atomic<bool> disconnected{false};  // a connection went: the follower looks at the engine's own
  std::thread follower;
  // The transport's timebase, while this client holds it: written on the server worker before the
  // server is asked to call TimebaseCallback (and cleared once it no longer does), read there.
  std::atomic<TransportTimebase> timebase{nullptr};
  std::atomic<void*> timebaseContext{nullptr};
  // A locate waiting for its cycle (TransportLocate writes it, the process callback asks the server
  // for it in the cycle before the first that begins at or after `locateAtUs`): a sequence counter,
  // odd while written, as the playback clock's; `locateDone` the last sequence asked for.
  std::atomic<uint32_t> locateSeq{0};
  std::atomic<uint32_t> locateDone{0};
  std::atomic<int64_t> locateAtUs{0};     // JACK's clock at the frame that must read `locateFrame`
  std::atomic<int64_t> locateFrame{0};
  std::atomic<bool> startWithLocate{false};  // the transport starts in the locate's cycle
  // What the engine last asked of the transport (under publishMutex), so that a server that answers
  // again after one went rolls from where the song is: rolling, and a song time at a moment (NowMs).
  bool rollWanted = false;
  double lastSongMs = 0;
  double lastAtMs = 0;
  // This cycle's times as the process callback took them (JACK's real-time thread only, which calls
  // the timebase after it): the position is given for the frame where output is placed.
  CycleClock cycleNow;
  // The transport as the process callback saw it at its latest cycle (TransportRead's), under a
  // sequence counter, odd while written; and the callback's own memory of the cycle before.
  std::atomic<uint32_t> watchSeq{0};
  std::atomic<uint32_t> watchSegment{0};
  std::atomic<bool> watchRolling{false};
  std::atomic<double> watchFrame{0};
  std::atomic<double> watchRate{0};
  std::atomic<double> watchAtMs{0};
  std::atomic<double> watchMediaMs{0};
  std::atomic<uint32_t> watchCycleFrame{0};  // the cycle's first frame, where watchMediaMs holds
  bool watchedBefore = false;
  // The frames behind watchMediaMs (the real-time thread's): counted from the first cycle of
  // `mediaClient`, whose time there was `mediaBaseMs` (NowMs's scale); and the least lead of the
  // engine's clock over that time seen at the callbacks (mediaLeadMs, see WatchTransport), and the
  // clock and the server's time at the last callback.
  jack_client_t* mediaClient = nullptr;
  int64_t mediaFrames = 0;
  jack_nframes_t mediaLastStart = 0;
  double mediaBaseMs = 0;
  double mediaLeadMs = 0;
  double lastCalledMs = 0, lastMediaMs = 0;
  bool lastRolling = false;
  jack_nframes_t lastFrame = 0;
  jack_nframes_t lastFrames = 0;
};

Service& Own(MidiServiceState& s) { return *static_cast<Service*>(s.own); }

// ---- The process callback (real-time) ----


// The frame of this cycle at which a message sent at `sentUs` (the clock's low 32 bits) is due: one
// period after it was sent. Negative when that time has passed; a period or more when it lies in a
// later cycle.
int64_t DueOffset(const CycleClock& clock, uint32_t sentUs, jack_nframes_t nframes) {
  int64_t sinceStart = static_cast<int32_t>(sentUs - static_cast<uint32_t>(clock.startUs));
  return (sinceStart + clock.lengthUs) * static_cast<int64_t>(nframes) / clock.lengthUs;
}

void WriteOutput(Service& s, OutPort& d, jack_port_t* port, const CycleClock& clock, jack_nframes_t cycleStart,
                 jack_nframes_t nframes) {
  void* buffer = jack_port_get_buffer(port, nframes);
  JackBufferTake(buffer);
  jack_midi_clear_buffer(buffer);
  s.maxEvent.store(static_cast<uint32_t>(jack_midi_max_event_size(buffer)), std::memory_order_relaxed);
  const int64_t period = static_cast<int64_t>(nframes);
  int64_t last = 0;
  bool wrote = false;
  MidiRecord r;
  while (MidiRingPeek(d.ring, &r)) {
    int64_t offset = r.epoch == kPlacedAtFrame ? static_cast<int64_t>(static_cast<int32_t>(r.frame - cycleStart))
                                               : DueOffset(clock, r.frame, nframes);
    if (offset >= period) {
      // Due in a later cycle, and so is everything after it. A stamp that far ahead is not believed:
      // a send time more than two periods on, a frame more than a second on.
      const int64_t second = static_cast<int64_t>(s.watchRate.load(std::memory_order_relaxed));
      if (offset < (r.epoch == kPlacedAtFrame ? std::max(second, 3 * period) : 3 * period)) break;
      offset = period - 1;
    }
    offset = std::max(offset, last);  // a late one (negative) goes at once, after those before it
    // Asked first: a refused reserve makes libjack format an error message on this thread.
    jack_midi_data_t* out = r.length <= jack_midi_max_event_size(buffer)
                                ? jack_midi_event_reserve(buffer, static_cast<jack_nframes_t>(offset), r.length)
                                : nullptr;
    if (!out) {
      if (wrote) break;  // this cycle's buffer is full: the rest waits for the next cycle
      MidiRingPop(d.ring, r, nullptr);  // larger than an empty buffer holds: it never fits
      continue;
    }
    MidiRingPop(d.ring, r, out);
    last = offset;
    wrote = true;
  }
  JackBufferLeave(buffer);
}

void ReadInput(Service& s, uint32_t device, const InDevice& d, jack_port_t* port, jack_nframes_t cycleStart,
               jack_nframes_t nframes) {
  if (!d.flowing.load(std::memory_order_acquire)) return;
  void* buffer = jack_port_get_buffer(port, nframes);
  JackBufferTake(buffer);
  uint32_t epoch = d.epoch.load(std::memory_order_acquire);
  uint32_t count = jack_midi_get_event_count(buffer);
  for (uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0 || event.size == 0) continue;
    MidiRecord r;
    r.length = static_cast<uint32_t>(event.size);
    r.device = device;
    r.frame = cycleStart + event.time;
    r.epoch = epoch;
    MidiRingPush(s.inRing, r, event.buffer);  // a full ring drops the event
  }
  JackBufferLeave(buffer);
}

// A locate takes effect at the start of the cycle after the one that asks for it, and a transport
// moves only at cycle starts: the pending one is asked for in the cycle before the first that
// begins at or after its frame, so that the cycle holding that frame still reads the position
// before the jump and the next one the position after it.
void AskPendingLocate(Service& s, const CycleClock& clock) {
  const uint32_t seq = s.locateSeq.load(std::memory_order_acquire);
  if ((seq & 1) != 0 || seq == s.locateDone.load()) return;
  const int64_t atUs = s.locateAtUs.load(std::memory_order_acquire);
  const int64_t frame = s.locateFrame.load(std::memory_order_acquire);
  if (s.locateSeq.load(std::memory_order_acquire) != seq) return;  // rewritten meanwhile: next cycle
  const int64_t nextUs = static_cast<int64_t>(clock.startUs) + clock.lengthUs;
  const int64_t earlyUs = atUs - nextUs;  // how far the frame lies after the next cycle's start
  if (earlyUs > clock.lengthUs / 64) return;  // it lies in a later cycle than the next
  const double rate = jack_get_sample_rate(s.client);
  const int64_t at = frame - static_cast<int64_t>(std::llround(static_cast<double>(earlyUs) * rate / 1e6));
  jack_transport_locate(s.client, static_cast<jack_nframes_t>(std::max<int64_t>(at, 0)));
  // Done first, then the start taken: TransportRoll relies on that order.
  s.locateDone.store(seq);
  if (s.startWithLocate.exchange(false)) jack_transport_start(s.client);
}

// The engine's time for what is written at the cycle's first frame: it was sent one cycle before.
// JACK's clock is read beside ours, so that neither has to be the other.
double DueMsOfCycle(const CycleClock& cycle) {
  return NowMs() + (static_cast<double>(cycle.startUs) - static_cast<double>(cycle.lengthUs) -
                    static_cast<double>(jack_get_time())) / 1000.0;
}

// The lead of the engine's clock over the server's time (WatchTransport): how fast it may rise
// (ms per ms of the server's time), and how much more clock than frames between two callbacks has it
// rise at once (a stall).
constexpr double kLeadRise = 0.01;
constexpr double kLeadJumpMs = 20.0;

// Publishes the transport at this cycle's first frame. A new segment begins whenever it did not
// simply run on from the cycle before: it started or stopped, or was located (or this is the first
// cycle seen, on this server or a new one).
void WatchTransport(Service& s, const CycleClock& clock, jack_nframes_t cycleStart, jack_nframes_t nframes,
                    double calledMs) {
  jack_position_t pos;
  const bool rolling = jack_transport_query(s.client, &pos) == JackTransportRolling;
  const jack_nframes_t ranOn = s.lastRolling ? s.lastFrame + s.lastFrames : s.lastFrame;
  const bool newSegment = !s.watchedBefore || rolling != s.lastRolling || pos.frame != ranOn;
  s.watchedBefore = true;
  s.lastRolling = rolling;
  s.lastFrame = pos.frame;
  s.lastFrames = nframes;
  // The server's time: its frames from the client's first cycle. Its lead over the engine's clock
  // is taken from when the callbacks run (a message sent a period before this one is written at
  // its first frame), at the least: a driver wakes late, never early, and a message has to be sent
  // before the callback that writes it, so the earliest callbacks keep the frames' time. The lead
  // rises slowly (kLeadRise: a driver whose frames run slower than the clock), and at once after a
  // stall (a driver that stopped and lost frames; one that then catches up brings it down again).
  jack_client_t* client = s.client.load(std::memory_order_relaxed);
  const double rate = pos.frame_rate > 0 ? static_cast<double>(pos.frame_rate) : 48000.0;
  const double periodMs = nframes * 1000.0 / rate;
  const bool first = s.mediaClient != client;
  if (first) {
    s.mediaClient = client;
    s.mediaFrames = 0;
    s.mediaBaseMs = DueMsOfCycle(clock);
  } else {
    s.mediaFrames += static_cast<jack_nframes_t>(cycleStart - s.mediaLastStart);
  }
  s.mediaLastStart = cycleStart;
  const double mediaMs = s.mediaBaseMs + static_cast<double>(s.mediaFrames) * 1000.0 / rate;
  const double lead = calledMs - periodMs - mediaMs;
  const bool stalled = !first && (calledMs - s.lastCalledMs) - (mediaMs - s.lastMediaMs) > kLeadJumpMs;
  // (After a stall, short of the lead seen: the callback that comes then may itself be late, and a
  // message placed early only waits for its frame.)
  s.mediaLeadMs = first ? lead
                : stalled ? std::max(s.mediaLeadMs, lead - kLeadJumpMs)
                          : std::min(s.mediaLeadMs + kLeadRise * periodMs, lead);
  s.lastCalledMs = calledMs;
  s.lastMediaMs = mediaMs;
  const uint32_t seq = s.watchSeq.load(std::memory_order_relaxed);
  s.watchSeq.store(seq + 1);
  if (newSegment) s.watchSegment.store(s.watchSegment.load(std::memory_order_relaxed) + 1);
  s.watchRolling.store(rolling);
  s.watchFrame.store(static_cast<double>(pos.frame));
  s.watchRate.store(static_cast<double>(pos.frame_rate));
  s.watchAtMs.store(mediaMs + s.mediaLeadMs);
  s.watchMediaMs.store(mediaMs);
  s.watchCycleFrame.store(cycleStart);
  s.watchSeq.store(seq + 2);
}

int Process(jack_nframes_t nframes, void* arg) {
  Service& s = *static_cast<Service*>(arg);
  s.inCallback.store(1, std::memory_order_seq_cst);
  jack_nframes_t cycleStart = jack_last_frame_time(s.client);
  CycleClock clock;
  jack_nframes_t frames;
  jack_time_t nextUs;
  float periodUs;
  jack_time_t nowUs = jack_get_time();
  const double calledMs = NowMs();
  if (jack_get_cycle_times(s.client, &frames, &clock.startUs, &nextUs, &periodUs) == 0 && nextUs > clock.startUs) {
    clock.lengthUs = static_cast<int64_t>(nextUs - clock.startUs);
  } else {  // no estimate yet: the cycle starts now and lasts its frames at the nominal rate
    jack_nframes_t rate = jack_get_sample_rate(s.client);
    clock.startUs = nowUs;
    clock.lengthUs = rate > 0 ? std::max<int64_t>(1, static_cast<int64_t>(nframes) * 1000000 / rate) : 1;
  }
  // A cycle that runs more than its own length after its estimated start is one of those a server
  // runs to catch up after a stall (its estimates resume where they stopped): what was due by now
  // is late, whatever the estimate says.
  if (nowUs > clock.startUs + static_cast<jack_time_t>(clock.lengthUs))
    clock.startUs = nowUs - static_cast<jack_time_t>(clock.lengthUs);
  const uint32_t outCount = s.state->outCount.load(std::memory_order_acquire);
  const uint32_t inCount = s.state->inCount.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < outCount; ++i) {
    jack_port_t* port = s.outputs[i].port.load(std::memory_order_seq_cst);
    if (port) WriteOutput(s, s.outputs[i], port, clock, cycleStart, nframes);
  }
  for (uint32_t i = 0; i < inCount; ++i) {
    jack_port_t* port = s.inputs[i].port.load(std::memory_order_seq_cst);
    if (port) ReadInput(s, i, s.devices[i], port, cycleStart, nframes);
  }
  s.cycleNow = clock;
  WatchTransport(s, clock, cycleStart, nframes, calledMs);
  AskPendingLocate(s, clock);
  s.cycles.fetch_add(1, std::memory_order_release);
  s.inCallback.store(0, std::memory_order_seq_cst);
  return 0;
}

// The cycle now running, in JACK's microseconds (as Process takes it when the server has no estimate).
CycleClock CurrentCycle(jack_client_t* client) {
  CycleClock clock;
  jack_nframes_t frames;
  jack_time_t nextUs;
  float periodUs;
  if (jack_get_cycle_times(client, &frames, &clock.startUs, &nextUs, &periodUs) == 0 && nextUs > clock.startUs) {
    clock.lengthUs = static_cast<int64_t>(nextUs - clock.startUs);
  } else {
    jack_nframes_t rate = jack_get_sample_rate(client);
    clock.startUs = jack_get_time();
    clock.lengthUs = rate > 0 ? std::max<int64_t>(1, int64_t{jack_get_buffer_size(client)} * 1000000 / rate) : 1;
  }
  return clock;
}

// The timebase master's part of a cycle (JACK's real-time thread, after Process): the engine's
// position for what is written at the cycle's first frame, which was sent one cycle before it.
void TimebaseCallback(jack_transport_state_t, jack_nframes_t, jack_position_t* pos, int, void* arg) {
  Service& s = *static_cast<Service*>(arg);
  TransportTimebase timebase = s.timebase.load(std::memory_order_acquire);
  if (!timebase) return;
  const double dueMs = DueMsOfCycle(s.cycleNow);
  TransportPosition p;
  if (!timebase(s.timebaseContext.load(std::memory_order_acquire), dueMs, &p)) return;
  pos->valid = JackPositionBBT;
  pos->bar = p.bar;
  pos->beat = p.beat;
  pos->tick = p.tick;
  pos->bar_start_tick = p.barStartTick;
  pos->beats_per_bar = static_cast<float>(p.beatsPerBar);
  pos->beat_type = static_cast<float>(p.beatType);
  pos->ticks_per_beat = p.ticksPerBeat;
  pos->beats_per_minute = p.beatsPerMinute;
}


void OnShutdown(void* arg) {
  Service& s = *static_cast<Service*>(arg);
  s.alive.store(false, std::memory_order_release);
  EventSet(&s.follow);
}

// A port of any client was registered or unregistered: the follower lists them again.
void OnPortRegistration(jack_port_id_t, int, void* arg) { EventSet(&static_cast<Service*>(arg)->follow); }

// Two ports were connected or disconnected: a disconnection may have been of one of the engine's.
void OnPortConnect(jack_port_id_t, jack_port_id_t, int connected, void* arg) {
  if (connected) return;
  Service& s = *static_cast<Service*>(arg);
  s.disconnected.store(true);
  EventSet(&s.follow);
}

void Quiet(const char*) {}

// ---- Waiting on the process callback (main thread) ----

bool Alive(const Service& s) { return s.alive.load(std::memory_order_acquire); }

// Waits until a process cycle that starts from now on has finished, or the limit has passed, or the
// server has gone. False only when the limit passed with the server still there.
bool WaitForCycle(Service& s, std::chrono::milliseconds limit) {
  uint64_t seen = s.cycles.load(std::memory_order_acquire);
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (s.cycles.load(std::memory_order_acquire) < seen + 2) {
    if (!Alive(s)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return true;
}

// After a port was unpublished (stored null): returns true once no process callback can still be
// using it. False when the callback did not finish within the limit (the caller then leaks rather
// than frees what the callback may hold).
bool WaitForRelease(Service& s) {
  uint64_t seen = s.cycles.load(std::memory_order_acquire);
  if (s.inCallback.load(std::memory_order_seq_cst) == 0) return true;
  auto deadline = std::chrono::steady_clock::now() + kReleaseLimit;
  while (s.cycles.load(std::memory_order_acquire) == seen &&
         s.inCallback.load(std::memory_order_seq_cst) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// ---- The server worker ----

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void WorkerMain(Service* s) {
  for (;;) {
    std::shared_ptr<ServerJob> job;
    {
      std::unique_lock<std::mutex> lock(s->workMutex);
      s->workWake.wait(lock, [s] { return s->workStop || !s->work.empty(); });
      if (s->work.empty()) {  // stopping, and everything queued has been done
        s->workerDone = true;
        s->workWake.notify_all();
        return;
      }
      job = std::move(s->work.front());
      s->work.pop_front();
    }
    s->busySinceNs.store(SteadyNs());
    job->connection = s->connection.load();
    jack_port_t* port = nullptr;
    int result = job->run(&port);
    s->busySinceNs.store(0);
    bool abandoned;
    {
      std::lock_guard<std::mutex> lock(job->mutex);
      job->done = true;
      job->result = result;
      job->port = port;
      abandoned = job->abandoned;
    }
    job->finished.notify_all();
    if (abandoned && port && job->undo) job->undo(port);
  }
}

// True while the worker has spent longer than the open limit in one job: the server does not answer.
bool WorkerStuck(const Service& s) {
  int64_t since = s.busySinceNs.load();
  return since != 0 && SteadyNs() - since > std::chrono::nanoseconds(kServerWaitLimit).count();
}

void Queue(Service& s, std::shared_ptr<ServerJob> job) {
  {
    std::lock_guard<std::mutex> lock(s.workMutex);
    s.work.push_back(std::move(job));
  }
  s.workWake.notify_all();
}

// Runs a job on the worker and waits for it, at most kServerWaitLimit, and not at all while the
// worker is stuck (an open is then not even queued: it fails at once; a close always is). A job that
// does not finish in time is abandoned (the worker undoes an open when it finishes) and gives 1.
int RunBounded(Service& s, std::shared_ptr<ServerJob> job, jack_port_t** port, bool queueWhenStuck = false,
               uint32_t* connection = nullptr) {
  *port = nullptr;
  if (WorkerStuck(s)) {
    if (queueWhenStuck) Queue(s, job);
    return kMidiError;
  }
  Queue(s, job);
  std::unique_lock<std::mutex> lock(job->mutex);
  if (!job->finished.wait_for(lock, kServerWaitLimit, [&] { return job->done; })) {
    job->abandoned = true;
    return kMidiError;
  }
  *port = job->port;
  if (connection) *connection = job->connection;
  return job->result;
}

// ---- The input thread ----

// What the process callback published at its latest cycle, under its sequence counter: the
// transport, and the frame time of the cycle's first frame. False when there is none yet.
bool ReadWatched(const Service& s, TransportState* out, uint32_t* cycleFrame) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    const uint32_t before = s.watchSeq.load();
    if (before == 0) return false;  // no cycle yet
    if (before & 1) continue;
    TransportState t;
    t.segment = s.watchSegment.load();
    t.rolling = s.watchRolling.load();
    t.frame = s.watchFrame.load();
    t.frameRate = s.watchRate.load();
    t.atMs = s.watchAtMs.load();
    t.mediaMs = s.watchMediaMs.load();
    const uint32_t frame = s.watchCycleFrame.load();
    if (s.watchSeq.load() != before) continue;
    *out = t;
    *cycleFrame = frame;
    return true;
  }
  return false;
}

// The server's time of the latest cycle: the frame its first frame is, and the server time of a
// message written there.
bool ReadServerTime(const Service& s, uint32_t* frame, double* mediaMs, double* rate) {
  TransportState t;
  if (!ReadWatched(s, &t, frame) || !(t.frameRate > 0)) return false;
  *mediaMs = t.mediaMs;
  *rate = t.frameRate;
  return true;
}

// A message `lateMs` late, sent on a thread that places output on the server's time: stamped with
// the frame that time gives (kPlacedAtFrame). False, leaving `r` alone, on any other thread.
bool PlaceAtServerTime(const Service& s, double lateMs, MidiRecord* r) {
  const double serverMs = midi_common::PlacedServerMs();
  if (!std::isfinite(serverMs)) return false;
  uint32_t frame;
  double mediaMs, rate;
  if (!ReadServerTime(s, &frame, &mediaMs, &rate)) return false;
  const double frames = (serverMs - lateMs - mediaMs) * rate / 1000.0;
  if (!std::isfinite(frames) || std::fabs(frames) > 1e9) return false;
  r->frame = frame + static_cast<uint32_t>(static_cast<int32_t>(std::llround(frames)));
  r->epoch = kPlacedAtFrame;
  return true;
}

void ReaderMain(Service* s) {
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[kInRingBytes]);
  int64_t lastArrivalNs = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(s->readerMutex);
      if (s->stopping) return;
      if (s->openInputs == 0) {
        s->readerWake.wait(lock, [s] { return s->stopping || s->openInputs > 0; });
      } else {
        s->readerWake.wait_for(lock, kPollInterval);
      }
      if (s->stopping) return;
    }
    MidiRecord r;
    while (MidiRingPeek(s->inRing, &r)) {
      MidiRingPop(s->inRing, r, bytes.get());
      if (r.device >= s->state->inCount.load(std::memory_order_acquire)) continue;
      // Input read in a cycle arrived during the period before it (as output written in a cycle
      // sounds a period after it was sent): its age in frames, carried over to the monotonic
      // clock, stamps it when it arrived rather than when this thread got to it. (The client is
      // read under publishMutex: the worker closes a client it has replaced.)
      int64_t ageFrames;
      jack_nframes_t rate, period;
      {
        std::lock_guard<std::mutex> lock(s->publishMutex);
        jack_client_t* client = s->client.load();
        if (!client) continue;  // its server has gone: the input went with it
        period = jack_get_buffer_size(client);
        ageFrames = static_cast<int32_t>(jack_frame_time(client) - r.frame) + static_cast<int64_t>(period);
        rate = jack_get_sample_rate(client);
      }
      int64_t ageNs = rate > 0 ? std::max<int64_t>(ageFrames, 0) * 1000000000 / rate : 0;
      // Never before the event delivered ahead of it: the clocks' estimates jitter a little.
      int64_t arrivalNs = std::max(MonotonicNs() - ageNs, lastArrivalNs);
      lastArrivalNs = arrivalNs;
      // On the server's time, exactly from its frame: when output written at that frame was sent (a
      // period before it), as the arrival above.
      uint32_t cycleFrame;
      double cycleMs, cycleRate, serverMs = std::numeric_limits<double>::quiet_NaN();
      if (ReadServerTime(*s, &cycleFrame, &cycleMs, &cycleRate))
        serverMs = cycleMs + static_cast<int32_t>(r.frame - cycleFrame) * 1000.0 / cycleRate;
      midi_common::Deliver(s->devices[r.device], bytes.get(), r.length, arrivalNs, r.epoch, serverMs);
    }
  }
}

void ChangeOpenInputs(Service& s, int delta) {
  {
    std::lock_guard<std::mutex> lock(s.readerMutex);
    s.openInputs += delta;
  }
  s.readerWake.notify_all();
}

// ---- Devices ----

// The MIDI ports of other clients with the given direction, in jack_get_ports order.
std::vector<std::string> OtherPorts(jack_client_t* client, const std::string& self, unsigned long flags) {
  std::vector<std::string> names;
  const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
  if (!ports) return names;
  std::string prefix = self + ":";
  for (size_t i = 0; ports[i] && names.size() < midi_common::kMaxDevices; ++i) {
    if (std::strncmp(ports[i], prefix.c_str(), prefix.size()) == 0) continue;
    names.emplace_back(ports[i]);
  }
  jack_free(ports);
  return names;
}

// Registers our port and connects it with `other`. Null when either fails (nothing is left).
jack_port_t* RegisterAndConnect(Service& s, const char* ownName, const std::string& other, bool output) {
  if (!Alive(s) || !s.client.load()) return nullptr;
  jack_port_t* port = jack_port_register(s.client, ownName, JACK_DEFAULT_MIDI_TYPE,
                                         output ? JackPortIsOutput : JackPortIsInput, 0);
  if (!port) return nullptr;
  const char* own = jack_port_name(port);
  int r = output ? jack_connect(s.client, own, other.c_str()) : jack_connect(s.client, other.c_str(), own);
  if (r != 0 && r != EEXIST) {
    jack_port_unregister(s.client, port);
    return nullptr;
  }
  return port;
}

// Disconnects and unregisters a port that the process callback no longer uses.
void Unregister(Service& s, jack_port_t* port) {
  if (!Alive(s) || !s.client.load()) return;  // the server is gone: nothing to tell it
  jack_port_disconnect(s.client, port);
  jack_port_unregister(s.client, port);
}

// Publishes a port the worker made in `connection` for the process callback: false, with nothing
// published, when the server went (or a new client was adopted) since, as the port's client is then
// gone or going (its close frees the port).
bool Publish(Service& s, std::atomic<jack_port_t*>& slot, jack_port_t* port, uint32_t connection) {
  std::lock_guard<std::mutex> lock(s.publishMutex);
  if (connection != s.connection.load()) return false;
  slot.store(port, std::memory_order_seq_cst);
  return true;
}

// Stamps the message and pushes it for the process callback, under the device's sender mutex.
int Send(MidiServiceState& state, uint32_t id, const uint8_t* bytes, uint32_t length) {
  Service& s = Own(state);
  if (!Alive(s)) return kMidiError;
  uint32_t maxEvent = s.maxEvent.load(std::memory_order_relaxed);
  if (maxEvent != 0 && length > maxEvent) return kMidiInvalidParam;  // one event could never carry it
  // The stamp is the clock itself, not the server's frame count, which stands still while the
  // server stalls. The ring's order and the process callback keep the messages of a port in order.
  MidiRecord r;
  r.length = length;
  if (!PlaceAtServerTime(s, 0.0, &r))
    r.frame = static_cast<uint32_t>(jack_get_time());  // microseconds; the callback compares the low bits
  if (!MidiRingPush(s.outputs[id].ring, r, bytes)) return kMidiNoMemory;
  return kMidiOk;
}

// As Send, stamped with the time a message sent at `atMs` (not after now) would have had: it is
// written a period after that time, at its frame, however late the sender got to it.
int SendAt(MidiServiceState& state, uint32_t id, const uint8_t* bytes, uint32_t length, double atMs) {
  Service& s = Own(state);
  if (!Alive(s)) return kMidiError;
  uint32_t maxEvent = s.maxEvent.load(std::memory_order_relaxed);
  if (maxEvent != 0 && length > maxEvent) return kMidiInvalidParam;
  jack_time_t nowUs = jack_get_time();
  double lateUs = (NowMs() - atMs) * 1000.0;
  MidiRecord r;
  r.length = length;
  if (!PlaceAtServerTime(s, std::max(0.0, NowMs() - atMs), &r))
    r.frame = static_cast<uint32_t>(nowUs - (lateUs > 0 ? static_cast<jack_time_t>(std::llround(lateUs)) : 0));
  if (!MidiRingPush(s.outputs[id].ring, r, bytes)) return kMidiNoMemory;
  return kMidiOk;
}

// ---- Following the server (the follower thread) ----

constexpr int kFirstRetryMs = 50;
constexpr int kLongestRetryMs = 500;  // a server that answers again is found within this
// After a registration the list is read again at these intervals: the server publishes a change
// of its port list at the start of a cycle, which a server busy closing a client may hold back.
constexpr int kSettleMs[] = {50, 250, 1000};
constexpr int kSettleSteps = static_cast<int>(sizeof kSettleMs / sizeof kSettleMs[0]);

void SetCallbacks(Service& s, jack_client_t* client) {
  jack_set_process_callback(client, Process, &s);
  jack_set_port_registration_callback(client, OnPortRegistration, &s);
  jack_set_port_connect_callback(client, OnPortConnect, &s);
  jack_on_shutdown(client, OnShutdown, &s);
}

// Lists the other clients' ports again: those listed are present (appended when new, back when
// absent), the others absent; the engine is told when anything changed, or when `tell`. (A client
// registers its ports before it activates, and the server lists them at once but refuses to connect
// them until then: a port held open that came back in between could not be reopened. The server
// announces an activating client's ports, and each announcement is told, so that the engine tries
// again.)
void ListAgain(Service& s, bool tell = false) {
  jack_client_t* client = s.client.load();
  bool changed = midi_common::SyncDevices(*s.state, false, OtherPorts(client, s.clientName, JackPortIsInput));
  changed = midi_common::SyncDevices(*s.state, true, OtherPorts(client, s.clientName, JackPortIsOutput)) || changed;
  if (changed || tell) midi_common::Changed(*s.state);
}

// Unpublishes every port, so that no process callback of any client touches a port of this
// connection again. Under publishMutex.
void UnpublishAll(Service& s) {
  for (uint32_t i = 0; i < s.outRoom; ++i) s.outputs[i].port.store(nullptr, std::memory_order_seq_cst);
  for (uint32_t i = 0; i < s.inRoom; ++i) s.inputs[i].port.store(nullptr, std::memory_order_seq_cst);
  s.connection.fetch_add(1);
}

// Runs `run` on the server worker after the jobs queued before it, and waits for it (the follower's
// own wait: the worker finishes everything queued, also when the service stops). False when the
// follower is being stopped first.
bool RunOnWorker(Service& s, std::function<void()> run) {
  auto job = std::make_shared<ServerJob>();
  job->run = [run = std::move(run)](jack_port_t**) {
    run();
    return static_cast<int>(kMidiOk);
  };
  Queue(s, job);
  std::unique_lock<std::mutex> lock(job->mutex);
  while (!job->finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return job->done; }))
    if (s.followStop.load()) return false;
  return true;
}

// Unpublishes every port and closes the current client, on the worker.
void DropClient(Service& s) {
  RunOnWorker(s, [sp = &s] {
    jack_client_t* dead;
    {
      std::lock_guard<std::mutex> lock(sp->publishMutex);
      UnpublishAll(*sp);
      dead = sp->client.exchange(nullptr);
    }
    if (dead) jack_client_close(dead);  // its server is gone: this only releases our side
  });
}

// The server has gone: every device is absent, and the dead client is closed. The engine lets its
// handles go; their closes find their ports unpublished and leave them to the dead client.
void Lose(Service& s) {
  DropClient(s);
  bool changed = midi_common::SyncDevices(*s.state, false, {});
  changed = midi_common::SyncDevices(*s.state, true, {}) || changed;
  std::fprintf(stderr, "tovu: the JACK server has gone; its MIDI ports are absent until a server answers again\n");
  if (changed) midi_common::Changed(*s.state);
}

void TransportRoll(MidiServiceState& state, bool rolling);
void TransportLocate(MidiServiceState& state, double songMs, double atMs);

// Tries a new client on whatever server answers now. On success it is adopted on the server worker
// (after the jobs queued before) and activated. False when no server answers (or the follower is
// being stopped).
bool Reconnect(Service& s) {
  jack_status_t status = static_cast<jack_status_t>(0);
  jack_client_t* client =
      jack_client_open(s.clientName.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), &status);
  if (!client) return false;
  SetCallbacks(s, client);
  // Not adopted when the follower is being stopped first: the worker then adopts it before it ends,
  // and Stop closes whichever client is current.
  if (!RunOnWorker(s, [sp = &s, client] {
        std::lock_guard<std::mutex> lock(sp->publishMutex);
        UnpublishAll(*sp);
        sp->client.store(client);
        sp->alive.store(true, std::memory_order_release);
      }))
    return false;
  if (jack_activate(client) != 0) {
    // Dropped again, and a new client tried later.
    s.alive.store(false, std::memory_order_release);
    DropClient(s);
    return false;
  }
  // A timebase the engine held on the server that went is asked for on this one, and a transport
  // that rolled there rolls here from where the song is now (its frame ran on with real time).
  if (s.timebase.load(std::memory_order_acquire) != nullptr) {
    RunOnWorker(s, [sp = &s, client] { jack_set_timebase_callback(client, 0, TimebaseCallback, sp); });
    WaitForCycle(s, std::chrono::milliseconds(1000));
    bool roll;
    double songMs;
    {
      std::lock_guard<std::mutex> lock(s.publishMutex);
      roll = s.rollWanted;
      songMs = s.lastSongMs + std::max(0.0, NowMs() - s.lastAtMs);
    }
    if (roll) {
      const double now = NowMs();
      TransportLocate(*s.state, songMs, now);
      TransportRoll(*s.state, true);
    }
  }
  WaitForCycle(s, std::chrono::milliseconds(1000));
  return true;
}

// Connects a published port of the engine to its device's port again where that connection has gone
// while the device's port is there (on the worker, which alone registers, connects and closes).
void ConnectAgain(jack_client_t* client, const std::atomic<jack_port_t*>& slot, const std::string& other, bool output) {
  jack_port_t* own = slot.load();
  if (!own || jack_port_connected_to(own, other.c_str()) || !jack_port_by_name(client, other.c_str())) return;
  const char* name = jack_port_name(own);
  if (output)
    jack_connect(client, name, other.c_str());
  else
    jack_connect(client, other.c_str(), name);
}

void HealConnections(Service& s) {
  RunOnWorker(s, [sp = &s] {
    jack_client_t* client = sp->client.load();
    if (!client) return;
    const uint32_t outCount = sp->state->outCount.load(), inCount = sp->state->inCount.load();
    for (uint32_t i = 0; i < outCount; ++i) ConnectAgain(client, sp->outputs[i].port, sp->state->outputs[i].name, true);
    for (uint32_t i = 0; i < inCount; ++i) ConnectAgain(client, sp->inputs[i].port, sp->state->inputs[i].name, false);
  });
}

void FollowerMain(Service* s) {
  bool lost = false;
  int retryMs = kFirstRetryMs;
  int settle = kSettleSteps;  // the next of kSettleMs to wait after a registration; none left
  for (;;) {
    bool woken = EventWait(&s->follow, lost ? retryMs : settle < kSettleSteps ? kSettleMs[settle] : -1);
    if (s->followStop.load()) return;
    if (!lost && Alive(*s)) {
      // The server's port list changes at the start of its next cycle: listed after that, and
      // again as the list settles.
      WaitForCycle(*s, std::chrono::milliseconds(200));
      if (s->disconnected.exchange(false)) HealConnections(*s);
      ListAgain(*s, woken);
      settle = woken ? 0 : settle + 1;
      continue;
    }
    if (!lost) {
      lost = true;
      retryMs = kFirstRetryMs;
      Lose(*s);
      continue;
    }
    if (!Reconnect(*s)) {
      retryMs = std::min(retryMs * 2, kLongestRetryMs);
      continue;
    }
    lost = false;
    std::fprintf(stderr, "tovu: a JACK server answers again; its MIDI ports are listed and reopened by name\n");
    ListAgain(*s, true);
    // Ports registered while the new client was not yet active raised no callback, and the
    // server may publish them a cycle late: the list is read again as it settles.
    settle = 0;
  }
}

void StopFollower(Service& s) {
  if (!s.follower.joinable()) return;
  s.followStop.store(true);
  EventSet(&s.follow);
  s.follower.join();
}

// ---- The transport ----

// Output is written one period after it is sent; input is read in the cycle after the period it
// arrived in, and the input thread polls for it every kPollInterval.
double DelayMs(MidiServiceState& state, bool input) {
  Service& s = Own(state);
  double periodMs = 0;
  {
    std::lock_guard<std::mutex> lock(s.publishMutex);
    jack_client_t* client = s.client.load();
    const jack_nframes_t rate = client ? jack_get_sample_rate(client) : 0;
    if (rate > 0) periodMs = 1000.0 * jack_get_buffer_size(client) / rate;
  }
  if (!input) return periodMs;
  return periodMs + std::chrono::duration<double, std::milli>(kPollInterval).count();
}

bool TransportRead(MidiServiceState& state, TransportState* out) {
  Service& s = Own(state);
  uint32_t cycleFrame;
  return s.alive.load(std::memory_order_acquire) && ReadWatched(s, out, &cycleFrame);
}

bool TransportTimebaseOf(MidiServiceState& state, TransportTimebase timebase, void* context) {
  Service* s = &Own(state);
  if (!Alive(*s)) return false;
  auto job = std::make_shared<ServerJob>();
  job->run = [s, timebase, context](jack_port_t**) {
    if (timebase) {
      s->timebaseContext.store(context, std::memory_order_release);
      s->timebase.store(timebase, std::memory_order_release);
      return jack_set_timebase_callback(s->client, 0, TimebaseCallback, s) == 0 ? static_cast<int>(kMidiOk)
                                                                                : static_cast<int>(kMidiError);
    }
    if (s->timebase.load() == nullptr) return static_cast<int>(kMidiOk);
    jack_release_timebase(s->client);
    // A cycle in progress may still call the callback: it is let go only once two more have run.
    WaitForCycle(*s, kReleaseLimit);
    s->timebase.store(nullptr, std::memory_order_release);
    return static_cast<int>(kMidiOk);
  };
  jack_port_t* none;
  int result = RunBounded(*s, job, &none, /*queueWhenStuck=*/timebase == nullptr);
  if (result != kMidiOk && timebase) s->timebase.store(nullptr, std::memory_order_release);
  return result == kMidiOk;
}

// A start while a locate waits for its cycle starts with it, so that the transport never rolls on
// from the position before. Any thread; one at a time with TransportLocate (the caller's lock).
// The client is read under publishMutex (held only to swap a client or publish a port), since the
// worker closes a client it has dropped.
void TransportRoll(MidiServiceState& state, bool rolling) {
  Service& s = Own(state);
  if (!Alive(s)) return;
  std::lock_guard<std::mutex> lock(s.publishMutex);
  s.rollWanted = rolling;
  jack_client_t* client = s.client.load();
  if (!client) return;
  if (!rolling) {
    s.startWithLocate.store(false, std::memory_order_release);
    jack_transport_stop(client);
    return;
  }
  const uint32_t seq = s.locateSeq.load();
  if (seq != s.locateDone.load()) {
    s.startWithLocate.store(true);
    if (s.locateDone.load() != seq) return;          // the callback starts it with the locate
    if (!s.startWithLocate.exchange(false)) return;  // it has, meanwhile
  }
  jack_transport_start(client);
}

// A message due at `atMs` is stamped with JACK's clock less the time it is late and written one
// cycle after that stamp: the transport must read `songMs` at that message's frame. The process
// callback asks for the locate in its cycle (AskPendingLocate). Any thread; one at a time.
void TransportLocate(MidiServiceState& state, double songMs, double atMs) {
  Service& s = Own(state);
  if (!Alive(s)) return;
  std::lock_guard<std::mutex> lock(s.publishMutex);
  s.lastSongMs = songMs;
  s.lastAtMs = atMs;
  jack_client_t* client = s.client.load();
  if (!client) return;
  const CycleClock cycle = CurrentCycle(client);
  // Signed: a jump the engine reached a little before its due time is located for that time.
  const double lateUs = (NowMs() - atMs) * 1000.0;
  const int64_t writtenUs = static_cast<int64_t>(jack_get_time()) - std::llround(lateUs) + cycle.lengthUs;
  const uint32_t seq = s.locateSeq.load(std::memory_order_relaxed);
  s.locateSeq.store(seq + 1, std::memory_order_release);
  s.locateAtUs.store(writtenUs, std::memory_order_release);
  s.locateFrame.store(std::llround(songMs * jack_get_sample_rate(client) / 1000.0), std::memory_order_release);
  s.locateSeq.store(seq + 2, std::memory_order_release);
}

// ---- Operations ----

bool Stop(MidiServiceState& state) {
  Service* s = &Own(state);
  StopFollower(*s);
  // Outputs first, so that what was sent before the stop is still written.
  midi_common::CloseAll(state, /*inputsFirst=*/false);
  {
    std::lock_guard<std::mutex> lock(s->readerMutex);
    s->stopping = true;
  }
  s->readerWake.notify_all();
  s->reader.join();
  // The closes above are finished by the worker. A worker stuck on a server that does not answer is
  // left behind with the client (and the device records, which the process callback still reads):
  // the process is ending, and waiting for the server would hang it.
  bool finished;
  {
    std::unique_lock<std::mutex> lock(s->workMutex);
    s->workStop = true;
    s->workWake.notify_all();
    finished = s->workWake.wait_for(lock, kWorkerStopLimit, [s] { return s->workerDone; });
  }
  if (!finished) {
    s->worker.detach();
    return false;
  }
  s->worker.join();
  // Deactivation waits for a process callback in progress; after it none runs again.
  if (jack_client_t* client = s->client.load()) {
    if (Alive(*s)) jack_deactivate(client);
    jack_client_close(client);
  }
  EventDestroy(&s->follow);
  delete s;
  return true;
}

int64_t InputClockNs() { return static_cast<int64_t>(jack_get_time()) * 1000; }

// Registers our port for device `deviceId` ("out<n>" or "in<n>") and connects it with `other`, on
// the server worker and waiting for it at most as RunBounded does, after `prepare` (run there too)
// has succeeded. The port is in `*port` when the result is 0.
int OpenPort(Service* s, uint32_t deviceId, bool output, std::string other, std::function<int()> prepare,
             jack_port_t** port, uint32_t* connection) {
  auto job = std::make_shared<ServerJob>();
  job->run = [s, deviceId, output, other = std::move(other), prepare = std::move(prepare)](jack_port_t** made) {
    int result = prepare ? prepare() : static_cast<int>(kMidiOk);
    if (result != kMidiOk) return result;
    char own[16];
    std::snprintf(own, sizeof own, output ? "out%u" : "in%u", deviceId);
    *made = RegisterAndConnect(*s, own, other, output);
    return *made ? static_cast<int>(kMidiOk) : static_cast<int>(kMidiError);
  };
  job->undo = [s](jack_port_t* made) { Unregister(*s, made); };
  return RunBounded(*s, job, port, false, connection);
}

int OutOpen(MidiServiceState& state, uint32_t deviceId) {
  Service* s = &Own(state);
  if (!Alive(*s)) return kMidiError;
  OutPort& d = s->outputs[deviceId];
  // The callback does not touch the ring while the port is unpublished (a close queued before this
  // open has finished with it).
  auto resetRing = [&d] {
    if (d.ring.capacity == 0 ? !MidiRingInit(d.ring, kOutRingBytes) : (MidiRingReset(d.ring), false))
      return static_cast<int>(kMidiNoMemory);
    return static_cast<int>(kMidiOk);
  };
  jack_port_t* port = nullptr;
  uint32_t connection = 0;
  int result = OpenPort(s, deviceId, true, state.outputs[deviceId].name, resetRing, &port, &connection);
  // Published before the handle: until then no sender reaches the (empty) ring.
  if (result == kMidiOk && !Publish(*s, d.port, port, connection)) result = kMidiError;
  return result;
}

void OutClose(MidiServiceState& state, uint32_t deviceId) {
  Service* s = &Own(state);
  OutPort* d = &s->outputs[deviceId];
  auto job = std::make_shared<ServerJob>();
  job->run = [s, d](jack_port_t**) {
    // What was sent is written first (a late note-off still sounds), then one more cycle passes so
    // that the last buffer has reached the connected port before the connection goes.
    auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
    // (A port unpublished when the server went has nobody left to write its ring.)
    while (Alive(*s) && d->port.load() && !MidiRingEmpty(d->ring) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    WaitForCycle(*s, kDrainLimit);
    jack_port_t* port = d->port.exchange(nullptr, std::memory_order_seq_cst);
    if (!WaitForRelease(*s)) {
      d->ring.data.release();  // the callback may still hold it: leaked rather than freed under it
      d->ring.capacity = 0;
      return static_cast<int>(kMidiOk);
    }
    if (port) Unregister(*s, port);
    return static_cast<int>(kMidiOk);
  };
  jack_port_t* none;
  RunBounded(*s, job, &none, /*queueWhenStuck=*/true);
}

int InOpen(MidiServiceState& state, uint32_t deviceId) {
  Service* s = &Own(state);
  if (!Alive(*s)) return kMidiError;
  jack_port_t* port = nullptr;
  uint32_t connection = 0;
  int result = OpenPort(s, deviceId, false, state.inputs[deviceId].name, nullptr, &port, &connection);
  if (result != kMidiOk) return result;
  // The input is not flowing until it is started: the process callback leaves the port alone.
  if (!Publish(*s, s->inputs[deviceId].port, port, connection)) return kMidiError;
  ChangeOpenInputs(*s, 1);
  return kMidiOk;
}

void InClose(MidiServiceState& state, uint32_t deviceId, bool) {
  Service& s = Own(state);
  jack_port_t* port = s.inputs[deviceId].port.exchange(nullptr, std::memory_order_seq_cst);
  ChangeOpenInputs(s, -1);
  if (port) {
    auto job = std::make_shared<ServerJob>();
    job->run = [sp = &s, port](jack_port_t**) {
      if (WaitForRelease(*sp)) Unregister(*sp, port);
      return static_cast<int>(kMidiOk);
    };
    jack_port_t* none;
    RunBounded(s, job, &none, /*queueWhenStuck=*/true);
  }
}

// What one cycle's event buffer holds, once a cycle has measured it (before that, no limit is known).
uint32_t Longest(MidiServiceState& state, uint32_t) {
  uint32_t maxEvent = Own(state).maxEvent.load(std::memory_order_relaxed);
  return maxEvent != 0 ? maxEvent : 0x7FFFFFFFu;
}

const MidiOps kOps = {
    MidiService::Jack, Stop, InputClockNs, OutOpen, OutClose, Send, InOpen, InClose, nullptr, Longest,
    SendAt, TransportTimebaseOf, TransportRoll, TransportLocate, nullptr, TransportRead, DelayMs,
};

}  // namespace

// ---- Service ----

bool Start(MidiServiceState& state, std::string* why) {
  // libjack reports a missing server on standard error itself; the layer says it in one line.
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
  const char* wanted = std::getenv("TOVU_JACK_CLIENT");
  std::string name = wanted && *wanted ? wanted : "TovuEngine";
  size_t limit = static_cast<size_t>(jack_client_name_size());
  if (limit > 0 && name.size() > limit - 1) name.resize(limit - 1);
  jack_status_t status = static_cast<jack_status_t>(0);
  jack_client_t* client = nullptr;
  // A server that is there but busy may fail an open (JackServerError); it gets two more tries. No
  // server at all (only JackServerFailed) is answered at once.
  for (int attempt = 0; attempt < 3 && !client; ++attempt) {
    if (attempt > 0 && !(status & JackServerError)) break;
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    client = jack_client_open(name.c_str(), JackNoStartServer, &status);
  }
  if (!client) {
    if (why) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(status));
      *why = (status & (JackServerFailed | JackServerError) ? std::string("no JACK server answers")
                                                             : "the JACK server refused client \"" + name + "\"") +
             ", status " + code;
    }
    return false;
  }
  auto s = std::make_unique<Service>();
  s->client = client;
  s->clientName = jack_get_client_name(client);
  s->state = &state;
  std::vector<std::string> outs = OtherPorts(client, s->clientName, JackPortIsInput);
  std::vector<std::string> ins = OtherPorts(client, s->clientName, JackPortIsOutput);
  // As much room as midi_common's records get (MakeDevices), for the devices that come later.
  s->outRoom = std::max(static_cast<uint32_t>(std::min<size_t>(outs.size(), midi_common::kMaxDevices)),
                        midi_common::kDeviceRoom);
  s->inRoom = std::max(static_cast<uint32_t>(std::min<size_t>(ins.size(), midi_common::kMaxDevices)),
                       midi_common::kDeviceRoom);
  s->outputs = std::make_unique<OutPort[]>(s->outRoom);
  s->inputs = std::make_unique<InPort[]>(s->inRoom);
  bool ready = MidiRingInit(s->inRing, kInRingBytes) && EventCreate(&s->follow);
  if (ready) {
    SetCallbacks(*s, client);
    ready = jack_activate(client) == 0;
  }
  if (!ready) {
    jack_client_close(client);
    if (s->follow.handle != kNoHandle) EventDestroy(&s->follow);
    if (why) *why = "the JACK client could not be activated";
    return false;
  }
  // The process callback reads the input records only for a port that an open publishes later.
  Service* own = s.release();
  midi_common::MakeDevices(state, kOps, outs, ins, own);
  own->devices = state.inputs.get();
  own->reader = std::thread(ReaderMain, own);
  pthread_setname_np(own->reader.native_handle(), "tovu-jack-in");
  own->worker = std::thread(WorkerMain, own);
  pthread_setname_np(own->worker.native_handle(), "tovu-jack-srv");
  // Its first look lists what registered between the listing above and the callback's start.
  EventSet(&own->follow);
  own->follower = std::thread(FollowerMain, own);
  pthread_setname_np(own->follower.native_handle(), "tovu-jack-follow");
  // After a first cycle the largest event is known, so that a send too long for any event is
  // refused rather than taken and dropped.
  WaitForCycle(*own, std::chrono::milliseconds(1000));
  return true;
}

}  // namespace platform::jack_midi
