// Standard MIDI File export: a take written as a format 1 file, its loop passes laid one after the
// other, against the tempo and time-signature map of the song it was recorded with. See smf.h.
//
// Threads: whichever thread calls; no shared state.
#include "client/smf.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace tovu {

namespace {

void PutVlq(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t buf[5];
  int n = 0;
  buf[n++] = v & 0x7F;
  while (v >>= 7) buf[n++] = 0x80 | (v & 0x7F);
  while (n) out.push_back(buf[--n]);
}

void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

struct FileEvent {
  int64_t tick;
  std::vector<uint8_t> bytes;  // status onwards
};

void PutTrack(std::vector<uint8_t>& out, std::vector<FileEvent> events, int64_t endTick) {
  std::stable_sort(events.begin(), events.end(), [](const FileEvent& a, const FileEvent& b) { return a.tick < b.tick; });
  std::vector<uint8_t> body;
  int64_t last = 0;
  for (const FileEvent& e : events) {
    PutVlq(body, static_cast<uint32_t>(e.tick - last));
    body.insert(body.end(), e.bytes.begin(), e.bytes.end());
    last = e.tick;
  }
  PutVlq(body, static_cast<uint32_t>(std::max(endTick, last) - last));
  body.insert(body.end(), {0xFF, 0x2F, 0x00});
  out.insert(out.end(), {'M', 'T', 'r', 'k'});
  PutBe32(out, static_cast<uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
}

FileEvent TempoEvent(int64_t tick, uint32_t us) {
  return {tick, {0xFF, 0x51, 0x03, static_cast<uint8_t>(us >> 16), static_cast<uint8_t>(us >> 8), static_cast<uint8_t>(us)}};
}

FileEvent TimeSigEvent(int64_t tick, const SmfTimeSignature& s) {
  return {tick, {0xFF, 0x58, 0x04, static_cast<uint8_t>(s.numerator), static_cast<uint8_t>(s.denominatorPower), 24, 8}};
}

// One loop pass of the take: where it lies in the song, and where it begins in the file.
struct Pass {
  int32_t songStart, songEnd;
  int64_t fileStart;
};

// The recorded events as file events, the passes laid one after the other.
struct RecordedTrack {
  std::vector<Pass> passes;
  std::vector<FileEvent> events;
  int64_t endTick = 0;
  size_t dropped = 0;  // events before the start, system messages, sysex markers without a message
};

FileEvent SysexEvent(int64_t tick, const std::vector<uint8_t>& block) {
  FileEvent f{tick, {}};
  bool framed = block[0] == 0xF0;
  f.bytes.push_back(framed ? 0xF0 : 0xF7);
  PutVlq(f.bytes, static_cast<uint32_t>(block.size() - (framed ? 1 : 0)));
  f.bytes.insert(f.bytes.end(), block.begin() + (framed ? 1 : 0), block.end());
  return f;
}

FileEvent ChannelEvent(int64_t tick, uint32_t word) {
  uint32_t code = word & 0xFF;
  FileEvent f{tick, {static_cast<uint8_t>(code), static_cast<uint8_t>((word >> 8) & 0x7F)}};
  if ((code & 0xE0) != 0xC0) f.bytes.push_back(static_cast<uint8_t>((word >> 16) & 0x7F));
  return f;
}

// Loop passes: each end marker but the last closes one; later passes start again at loopStart.
RecordedTrack LayOutPasses(const Take& take, int32_t loopStart) {
  RecordedTrack track;
  std::vector<Pass>& passes = track.passes;
  passes.push_back({take.recordStartTick, take.recordStartTick, 0});
  size_t sysexIndex = 0;  // the n-th sysex marker stands for the n-th message
  for (size_t i = 0; i < take.events.size(); ++i) {
    const TakeEvent& e = take.events[i];
    Pass& pass = passes.back();
    int64_t fileTick = pass.fileStart + (static_cast<int64_t>(e.tick) - pass.songStart);
    uint32_t code = e.event & 0xFF;
    if (IsEndMarker(e.event)) {
      pass.songEnd = e.tick;
      track.endTick = std::max(track.endTick, fileTick);
      if (i + 1 < take.events.size()) passes.push_back({loopStart, loopStart, std::max<int64_t>(fileTick, 0)});
      continue;
    }
    const std::vector<uint8_t>* block = nullptr;
    if (IsSysexMarker(e.event)) {
      block = sysexIndex < take.sysex.size() ? &take.sysex[sysexIndex] : nullptr;
      ++sysexIndex;
    }
    if (fileTick < 0 || code >= 0xF1 || code < 0x80 || (code == 0xF0 && (!block || block->empty()))) {
      ++track.dropped;
      continue;
    }
    track.endTick = std::max(track.endTick, fileTick);
    track.events.push_back(block ? SysexEvent(fileTick, *block) : ChannelEvent(fileTick, e.event));
  }
  Pass& last = passes.back();
  if (last.songEnd == last.songStart) last.songEnd = last.songStart + static_cast<int32_t>(track.endTick - last.fileStart);
  return track;
}

// A marker (meta 0x06) "pass N" at the start of a pass.
FileEvent PassMarker(int64_t tick, size_t number) {
  std::string text = "pass " + std::to_string(number);
  FileEvent m{tick, {0xFF, 0x06}};
  PutVlq(m.bytes, static_cast<uint32_t>(text.size()));
  m.bytes.insert(m.bytes.end(), text.begin(), text.end());
  return m;
}

// The song's tempo and time signature for each pass: what is in force at its start, then changes.
std::vector<FileEvent> ConductorTrack(const std::vector<Pass>& passes, const TakeExportOptions& options) {
  auto tempoAt = [&](int32_t tick) {
    uint32_t us = 500000;
    for (auto& [t, v] : options.tempos)
      if (t <= tick) us = v;
    return us;
  };
  auto sigAt = [&](int32_t tick) {
    SmfTimeSignature s;
    for (const SmfTimeSignature& v : options.timeSigs)
      if (v.imageTick <= tick) s = v;
    return s;
  };
  std::vector<FileEvent> conductor;
  for (const Pass& p : passes) {
    conductor.push_back(TimeSigEvent(p.fileStart, sigAt(p.songStart)));
    conductor.push_back(TempoEvent(p.fileStart, tempoAt(p.songStart)));
    for (const SmfTimeSignature& s : options.timeSigs)
      if (s.imageTick > p.songStart && s.imageTick < p.songEnd) conductor.push_back(TimeSigEvent(p.fileStart + s.imageTick - p.songStart, s));
    for (auto& [t, us] : options.tempos)
      if (t > p.songStart && t < p.songEnd) conductor.push_back(TempoEvent(p.fileStart + t - p.songStart, us));
  }
  return conductor;
}

}  // namespace

TakeExportOptions ExportOptionsFor(const SmfSong& song) {
  TakeExportOptions o;
  o.ticksPerQuarter = song.ticksPerQuarter;
  o.tempos.clear();
  for (const SmfTempo& t : song.tempos)
    o.tempos.push_back({t.imageTick, static_cast<uint32_t>(std::llround(60e6 / t.imageTempo))});
  o.timeSigs = song.timeSigs;
  return o;
}

std::vector<uint8_t> ExportTakeSmf(const Take& take, const TakeExportOptions& options, size_t* dropped) {
  uint32_t q = options.ticksPerQuarter;
  if (q == 0 || q > 0x7FFF) q = 480;  // the file cannot say otherwise; times then follow the tempo map as given
  RecordedTrack recorded = LayOutPasses(take, options.loopStart);
  std::vector<FileEvent> conductor = ConductorTrack(recorded.passes, options);
  // The second track: the pass markers (when the take looped), then the recorded events.
  std::vector<FileEvent> events;
  if (recorded.passes.size() > 1)
    for (size_t k = 0; k < recorded.passes.size(); ++k) events.push_back(PassMarker(recorded.passes[k].fileStart, k + 1));
  events.insert(events.end(), std::make_move_iterator(recorded.events.begin()), std::make_move_iterator(recorded.events.end()));

  std::vector<uint8_t> out = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, static_cast<uint8_t>(q >> 8), static_cast<uint8_t>(q)};
  PutTrack(out, std::move(conductor), 0);
  PutTrack(out, std::move(events), recorded.endTick);
  if (dropped) *dropped = recorded.dropped;
  return out;
}

}  // namespace tovu
