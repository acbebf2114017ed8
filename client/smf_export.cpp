// Standard MIDI File export: a take written as a format 1 file, its loop passes laid one after the
// other, against the tempo and time-signature map of the song it was recorded with. See smf.h.
//
// Threads: whichever thread calls; no shared state.
#include "client/smf.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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

// A recorded event: its pass, its song tick, its tick in the passes laid one after the other, and
// its bytes as the file holds them.
struct Item {
  size_t pass;
  int32_t songTick;
  int64_t laidTick;
  FileEvent event;
};

// The recorded events, their passes, and where the last pass ends in the passes laid out.
struct Recorded {
  std::vector<Pass> passes;
  std::vector<Item> items;
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
Recorded Gather(const Take& take, int32_t loopStart) {
  Recorded r;
  std::vector<Pass>& passes = r.passes;
  passes.push_back({take.recordStartTick, take.recordStartTick, 0});
  size_t sysexIndex = 0;  // the n-th sysex marker stands for the n-th message
  for (size_t i = 0; i < take.events.size(); ++i) {
    const TakeEvent& e = take.events[i];
    Pass& pass = passes.back();
    int64_t fileTick = pass.fileStart + (static_cast<int64_t>(e.tick) - pass.songStart);
    uint32_t code = e.event & 0xFF;
    if (IsEndMarker(e.event)) {
      pass.songEnd = e.tick;
      r.endTick = std::max(r.endTick, fileTick);
      if (i + 1 < take.events.size()) passes.push_back({loopStart, loopStart, std::max<int64_t>(fileTick, 0)});
      continue;
    }
    const std::vector<uint8_t>* block = nullptr;
    if (IsSysexMarker(e.event)) {
      block = sysexIndex < take.sysex.size() ? &take.sysex[sysexIndex] : nullptr;
      ++sysexIndex;
    }
    if (fileTick < 0 || code >= 0xF1 || code < 0x80 || (code == 0xF0 && (!block || block->empty()))) {
      ++r.dropped;
      continue;
    }
    r.endTick = std::max(r.endTick, fileTick);
    r.items.push_back({passes.size() - 1, e.tick, fileTick, block ? SysexEvent(fileTick, *block) : ChannelEvent(fileTick, e.event)});
  }
  Pass& last = passes.back();
  if (last.songEnd == last.songStart) last.songEnd = last.songStart + static_cast<int32_t>(r.endTick - last.fileStart);
  return r;
}

// The channel of a channel message (0-15), or -1 (sysex and meta events).
int ChannelOf(const FileEvent& e) {
  uint8_t status = e.bytes.empty() ? 0 : e.bytes[0];
  return status >= 0x80 && status < 0xF0 ? status & 0x0F : -1;
}

// One track's events in time order, whole: a release whose note is not sounding (its note-on fell
// in the count-in, or in an earlier pass of a track of its own) is left out, and every note and
// pedal (sustain, sostenuto, soft) still held at `endTick` is released there, so that no note hangs
// in the file. Returns how many releases were left out.
size_t CloseNotes(std::vector<FileEvent>& events, int64_t endTick) {
  std::stable_sort(events.begin(), events.end(), [](const FileEvent& a, const FileEvent& b) { return a.tick < b.tick; });
  std::vector<uint16_t> held(16 * 128, 0);
  std::vector<uint8_t> pedals(16 * 3, 0);
  const uint8_t kPedals[3] = {64, 66, 67};
  std::vector<FileEvent> kept;
  size_t left = 0;
  for (FileEvent& e : events) {
    int channel = ChannelOf(e);
    uint8_t kind = channel < 0 ? 0 : e.bytes[0] & 0xF0;
    if (kind == 0x90 || kind == 0x80) {
      uint16_t& h = held[static_cast<size_t>(channel) * 128 + e.bytes[1]];
      if (kind == 0x90 && e.bytes[2] != 0) {
        ++h;
      } else if (h == 0) {
        ++left;
        continue;
      } else {
        --h;
      }
    } else if (kind == 0xB0) {
      for (int k = 0; k < 3; ++k)
        if (e.bytes[1] == kPedals[k]) pedals[static_cast<size_t>(channel) * 3 + k] = e.bytes[2] >= 64;
    }
    kept.push_back(std::move(e));
  }
  for (int channel = 0; channel < 16; ++channel) {
    uint8_t status = static_cast<uint8_t>(channel);
    for (int note = 0; note < 128; ++note)
      for (uint16_t n = held[static_cast<size_t>(channel) * 128 + note]; n > 0; --n)
        kept.push_back({endTick, {static_cast<uint8_t>(0x90 | status), static_cast<uint8_t>(note), 0}});
    for (int k = 0; k < 3; ++k)
      if (pedals[static_cast<size_t>(channel) * 3 + k]) kept.push_back({endTick, {static_cast<uint8_t>(0xB0 | status), kPedals[k], 0}});
  }
  events = std::move(kept);
  return left;
}

// A track name (meta 0x03) at tick 0.
FileEvent TrackName(const std::string& text) {
  FileEvent m{0, {0xFF, 0x03}};
  PutVlq(m.bytes, static_cast<uint32_t>(text.size()));
  m.bytes.insert(m.bytes.end(), text.begin(), text.end());
  return m;
}

// The tracks of one set of events: all of them in one, or (split) one per channel in channel order
// and a last one for the system-exclusive messages, each named after `name` and what it holds.
std::vector<std::vector<FileEvent>> Tracks(std::vector<FileEvent> events, bool split, const std::string& name) {
  std::vector<std::vector<FileEvent>> tracks;
  if (!split) {
    if (!name.empty()) events.insert(events.begin(), TrackName(name));
    tracks.push_back(std::move(events));
    return tracks;
  }
  std::vector<std::vector<FileEvent>> byChannel(17);
  for (FileEvent& e : events) {
    int channel = ChannelOf(e);
    byChannel[channel < 0 ? 16 : static_cast<size_t>(channel)].push_back(std::move(e));
  }
  std::string prefix = name.empty() ? "" : name + ", ";
  for (size_t c = 0; c < byChannel.size(); ++c) {
    if (byChannel[c].empty()) continue;
    byChannel[c].insert(byChannel[c].begin(),
                        TrackName(prefix + (c < 16 ? "channel " + std::to_string(c + 1) : std::string("system exclusive"))));
    tracks.push_back(std::move(byChannel[c]));
  }
  return tracks;
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

void PutHeader(std::vector<uint8_t>& out, uint16_t tracks, uint8_t divisionHigh, uint8_t divisionLow) {
  out.insert(out.end(), {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, static_cast<uint8_t>(tracks >> 8), static_cast<uint8_t>(tracks),
                         divisionHigh, divisionLow});
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
  Recorded recorded = Gather(take, options.loopStart);
  std::vector<FileEvent> conductor = ConductorTrack(recorded.passes, options);
  std::vector<FileEvent> events;
  for (Item& item : recorded.items) events.push_back(std::move(item.event));
  size_t left = CloseNotes(events, recorded.endTick);
  // The pass markers (when the take looped) go with the recorded events, or with the tempo map when
  // the events are split by channel.
  std::vector<FileEvent> markers;
  if (recorded.passes.size() > 1)
    for (size_t k = 0; k < recorded.passes.size(); ++k) markers.push_back(PassMarker(recorded.passes[k].fileStart, k + 1));
  if (!options.splitChannels) events.insert(events.begin(), markers.begin(), markers.end());
  else conductor.insert(conductor.end(), markers.begin(), markers.end());
  std::vector<std::vector<FileEvent>> tracks = Tracks(std::move(events), options.splitChannels, "");

  std::vector<uint8_t> out;
  PutHeader(out, static_cast<uint16_t>(1 + tracks.size()), static_cast<uint8_t>(q >> 8), static_cast<uint8_t>(q));
  PutTrack(out, std::move(conductor), 0);
  for (std::vector<FileEvent>& track : tracks) PutTrack(out, std::move(track), recorded.endTick);
  if (dropped) *dropped = recorded.dropped + left;
  return out;
}

bool MergeTakeSmf(const Take& take, const std::vector<uint8_t>& songFile, const SmfSong& song,
                  const TakeExportOptions& options, std::vector<uint8_t>* out, size_t* dropped, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  // The song's own track chunks, as they are; other chunks are left out.
  auto be32 = [&](size_t at) {
    return static_cast<uint32_t>(songFile[at]) << 24 | static_cast<uint32_t>(songFile[at + 1]) << 16 |
           static_cast<uint32_t>(songFile[at + 2]) << 8 | songFile[at + 3];
  };
  if (songFile.size() < 14 || memcmp(songFile.data(), "MThd", 4) != 0 || be32(4) < 6) {
    *error = "the song file has no header";
    return false;
  }
  std::vector<std::pair<size_t, size_t>> chunks;  // [begin, end) of each track chunk
  for (size_t at = 8 + static_cast<size_t>(be32(4)); at + 8 <= songFile.size();) {
    size_t end = at + 8 + static_cast<size_t>(be32(at + 4));
    if (end > songFile.size()) end = songFile.size();  // a cut last chunk is read to the file's end
    if (memcmp(songFile.data() + at, "MTrk", 4) == 0) chunks.push_back({at, end});
    at = end;
  }

  Recorded recorded = Gather(take, options.loopStart);
  size_t left = 0;
  std::vector<std::vector<uint8_t>> added;  // the take's track chunks
  auto fileTick = [&](int32_t tick) { return static_cast<int64_t>(std::llround(FileTickAt(song, tick))); };
  for (size_t k = 0; k < recorded.passes.size(); ++k) {
    // Each pass on tracks of its own, at its place in the song.
    std::vector<FileEvent> events;
    for (Item& item : recorded.items) {
      if (item.pass != k) continue;
      item.event.tick = fileTick(item.songTick);
      if (item.event.tick < 0) {
        ++left;
        continue;
      }
      events.push_back(std::move(item.event));
    }
    int64_t endTick = std::max<int64_t>(fileTick(recorded.passes[k].songEnd), 0);
    for (const FileEvent& e : events) endTick = std::max(endTick, e.tick);
    left += CloseNotes(events, endTick);
    std::string name = recorded.passes.size() > 1 ? "take, pass " + std::to_string(k + 1) : "take";
    for (std::vector<FileEvent>& track : Tracks(std::move(events), options.splitChannels, name)) {
      added.emplace_back();
      PutTrack(added.back(), std::move(track), endTick);
    }
  }
  size_t trackCount = chunks.size() + added.size();
  if (trackCount > 0xFFFF) {
    *error = "the song and the take together have more than 65535 tracks";
    return false;
  }
  out->clear();
  PutHeader(*out, static_cast<uint16_t>(trackCount), songFile[12], songFile[13]);
  for (auto [begin, end] : chunks) {  // with its length as read (a cut last chunk's is less than it said)
    out->insert(out->end(), {'M', 'T', 'r', 'k'});
    PutBe32(*out, static_cast<uint32_t>(end - begin - 8));
    out->insert(out->end(), songFile.begin() + static_cast<ptrdiff_t>(begin + 8), songFile.begin() + static_cast<ptrdiff_t>(end));
  }
  for (const std::vector<uint8_t>& chunk : added) out->insert(out->end(), chunk.begin(), chunk.end());
  if (dropped) *dropped = recorded.dropped + left;
  return true;
}

}  // namespace tovu
