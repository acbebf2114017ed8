// The metronome: its settings (one output device, a channel and two notes, engine-wide), the port it
// holds open, the one-bar count-in of a recording start and the click at each position step.
//
// Click state, drawn:
//
//     none --MetronomeStep on a bar line--> bar sounding --next MetronomeStep--> none (or a new click)
//     none --MetronomeStep on a beat line-> beat sounding --next MetronomeStep--> none (or a new click)
//     bar or beat sounding --EndLongClick, a step's time after the strike--> none (a loop shorter
//                            than a step never reaches the next step)
//     any  --SetMetronome / port released--> none (the sounding click is ended on its own port first)
//     any  --ResetClickState (every start, and the stop of a recording)--> none (the stop has
//            already silenced it)
//
// The click that sounds is remembered as the very word that struck it, so it is always ended on the
// port and note it was struck on, whatever the settings have become since.
//
// Threads: SetMetronome, ReleaseMetronomePort, ResetClickState and BeginCountIn run on the main
// thread; MetronomeStep on the timer thread inside a wake-up (which holds the scheduler lock). The
// click state, the masked click notes and `port` change only under the metronome's own lock, which
// is held for at most two sends (end a click, strike the next); the scheduler lock is never taken
// under it.
#pragma once

#include <atomic>
#include <cstdint>

#include "locks/locks.h"
#include "playback/clock.h"
#include "playback/state_image.h"
#include "ports/ports.h"

constexpr uint32_t kBarClickVelocity = 126;
constexpr uint32_t kBeatClickVelocity = 100;

struct Metronome {
  Mutex lock ACQUIRED_BEFORE(PortStage::lock);
  std::atomic<bool> on{false};  // the running playback clicks (decided at every start)
  // The click channel and notes as the timer thread uses them (masked to 0-15 and 0-127; the
  // stored settings keep what the client gave), and the word of the sounding click.
  uint32_t channel GUARDED_BY(lock) = 9;
  uint32_t barNote GUARDED_BY(lock) = 60;
  uint32_t beatNote GUARDED_BY(lock) = 61;
  uint32_t sounding GUARDED_BY(lock) = 0;  // the note-on that struck the sounding click; 0 = none
  // The output port index the metronome holds open (-1 none): written on the main thread under
  // lock, read by the timer thread.
  std::atomic<int32_t> port{-1};
  int32_t clickState GUARDED_BY(lock) = 0;  // 0 none, 1 beat click sounding, 2 bar click sounding
  double endsAtMs GUARDED_BY(lock) = 0;     // when the sounding click has lasted one step (NowMs's scale)
};

// The note-on word of a click: status 0x90 on the channel's low four bits, the note's low seven
// bits, the velocity, and the port index (255 when the port is -1 or out of a packed event's range).
uint32_t ClickWord(uint32_t channel, uint32_t note, uint32_t velocity, int32_t port);

// Copy-data type 27 (also window creation and every port opening, with the engine's current
// settings): closes the port held, stores the four settings into the ports' settings and opens the
// device's port. A device id no port has reads back as 0x8000; a port that fails to open keeps the
// device id but clicks nowhere.
void SetMetronome(Metronome& metronome, Ports& ports, const EngineSettings& settings);
// Command 8 reloaded the settings store: the clicks take the reloaded channel and notes (no port is
// opened or closed).
void RefreshMetronomeNotes(Metronome& metronome, const EngineSettings& settings);
// Ends a sounding click and closes the metronome's port (a client closing its ports).
void ReleaseMetronomePort(Metronome& metronome, Ports& ports);

// At every start: the click state becomes "none" (no click sounding is remembered).
void ResetClickState(Metronome& metronome);
// At a start: switches the metronome on when the playback records and a metronome device is set
// (whether or not its port opened), and returns the count-in length in ticks (the main image's ticks
// per bar), else switches it off and returns 0. A bar of 0 ticks or fewer gives no count-in.
int32_t BeginCountIn(Metronome& metronome, const EngineSettings& settings, const StateImage* main, bool recording);
// Whether the metronome clicks in this playback.
bool MetronomeOn(const Metronome& metronome);
// At each new position step while the metronome is on: the bar or beat the main image's time
// signature puts there is clicked, the click before it ended.
void MetronomeStep(Metronome& metronome, Ports& ports, const StateImage& main, const PlaybackClock& clock,
                   int32_t step);
// At every wake-up while the metronome is on: ends the click that has sounded for one step's time
// by `nowMs`, so that a click ends even when no further step comes (a loop shorter than a step).
void EndLongClick(Metronome& metronome, Ports& ports, double nowMs);
