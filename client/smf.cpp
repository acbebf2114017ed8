// Standard MIDI File import and take export. See smf.h.
//
// Threads: whichever thread calls; no shared state.
#include "client/smf.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>


namespace tovu {

namespace {

constexpr int64_t kMaxTick = 0x7FFFFF00;     // below the engine's "no loop end" 0x7FFFFFFF
constexpr uint32_t kMaxImageTempo = 0xFEFFFF;  // a tempo word must stay below 0xFF000000
constexpr uint32_t kFineResolution = 7680;
constexpr size_t kMaxAreaBytes = 0xFF0000;     // references carry 24-bit offsets

// ---- Reading ----

enum class Kind : uint8_t { Channel, SysexF0, SysexF7, Meta };

struct RawEvent {
  int64_t tick = 0;
  uint32_t track = 0;
  uint32_t seq = 0;
  uint8_t port = 0;  // the file port in force for the track
  Kind kind = Kind::Channel;
  uint8_t status = 0, data1 = 0, data2 = 0;
  uint8_t metaType = 0;
  size_t dataAt = 0;
  uint32_t dataLength = 0;
};

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[256];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

// Reads the events of one track chunk, data in [pos, end).
struct TrackReader {
  const uint8_t* data;
  size_t pos;
  size_t end;
  uint32_t track;  // from 1, for messages
  std::string* error;

  bool Fail(size_t at, const std::string& what) {
    *error = Format("track %u at byte %zu: ", track, at) + what;
    return false;
  }

  bool Vlq(uint32_t* value, const char* what) {
    size_t at = pos;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      if (pos >= end) return Fail(at, std::string(what) + " runs past the end of the track");
      uint8_t b = data[pos++];
      v = v << 7 | (b & 0x7F);
      if (!(b & 0x80)) {
        *value = v;
        return true;
      }
    }
    return Fail(at, std::string(what) + " is a variable-length number longer than 4 bytes");
  }

  bool Read(std::vector<RawEvent>* events, SmfTrack* info, SmfCounts* counts) {
    int64_t tick = 0;
    uint8_t running = 0;
    uint8_t port = 0;
    uint32_t seq = 0;
    while (pos < end) {
      size_t at = pos;
      uint32_t delta;
      if (!Vlq(&delta, "delta time")) return false;
      tick += delta;
      if (tick > kMaxTick) return Fail(at, "the track runs past tick 2147483392");
      if (pos >= end) return Fail(at, "event runs past the end of the track");
      size_t statusAt = pos;
      uint8_t status;
      if (data[pos] & 0x80) {
        status = data[pos++];
      } else {
        if (running == 0) return Fail(statusAt, Format("data byte 0x%02X without a status", data[pos]));
        status = running;
      }
      RawEvent e;
      e.tick = tick;
      e.track = track - 1;
      e.seq = seq++;
      e.port = port;
      e.status = status;
      ++info->events;
      if (status < 0xF0) {
        running = status;
        int n = (status & 0xE0) == 0xC0 ? 1 : 2;
        uint8_t d[2] = {0, 0};
        for (int i = 0; i < n; ++i) {
          if (pos >= end) return Fail(at, "event runs past the end of the track");
          if (data[pos] & 0x80) return Fail(pos, Format("byte 0x%02X where a data byte belongs", data[pos]));
          d[i] = data[pos++];
        }
        e.kind = Kind::Channel;
        e.data1 = d[0];
        e.data2 = d[1];
        switch (status & 0xF0) {
          case 0x80: ++counts->noteOff; break;
          case 0x90: ++(d[1] ? counts->noteOn : counts->noteOff); break;
          case 0xA0: ++counts->polyPressure; break;
          case 0xB0: ++counts->controller; break;
          case 0xC0: ++counts->program; break;
          case 0xD0: ++counts->channelPressure; break;
          default: ++counts->pitchBend; break;
        }
        events->push_back(e);
        continue;
      }
      running = 0;  // system exclusive and meta events cancel running status
      if (status == 0xF0 || status == 0xF7) {
        uint32_t length;
        if (!Vlq(&length, "sysex length")) return false;
        if (length > end - pos) return Fail(at, Format("sysex of %u bytes runs past the end of the track", length));
        e.kind = status == 0xF0 ? Kind::SysexF0 : Kind::SysexF7;
        e.dataAt = pos;
        e.dataLength = length;
        pos += length;
        ++counts->sysex;
        events->push_back(e);
        continue;
      }
      if (status != 0xFF) return Fail(statusAt, Format("status 0x%02X has no place in a file", status));
      if (pos >= end) return Fail(at, "meta event runs past the end of the track");
      uint8_t type = data[pos++];
      uint32_t length;
      if (!Vlq(&length, "meta event length")) return false;
      if (length > end - pos) return Fail(at, Format("meta event of %u bytes runs past the end of the track", length));
      e.kind = Kind::Meta;
      e.metaType = type;
      e.dataAt = pos;
      e.dataLength = length;
      const uint8_t* p = data + pos;
      pos += length;
      switch (type) {
        case 0x2F:
          info->endTick = tick;
          return true;  // whatever follows in the chunk is not part of the track
        case 0x51:
          if (length != 3) return Fail(at, Format("tempo event of %u bytes (3 expected)", length));
          if ((p[0] | p[1] | p[2]) == 0) return Fail(at, "tempo of 0 microseconds per quarter note");
          ++counts->tempo;
          break;
        case 0x58:
          if (length < 2) return Fail(at, Format("time signature of %u bytes (4 expected)", length));
          if (p[0] == 0 || p[0] > 254) return Fail(at, Format("time signature numerator %u", p[0]));
          if (p[1] > 6) return Fail(at, Format("time signature denominator 2^%u", p[1]));
          ++counts->timeSignature;
          break;
        case 0x21:
          if (length < 1) return Fail(at, "port event without a port number");
          port = p[0];
          ++counts->port;
          break;
        case 0x03:
          if (info->name.empty()) info->name.assign(reinterpret_cast<const char*>(p), length);
          ++counts->otherMeta;
          break;
        default:
          ++counts->otherMeta;
          break;
      }
      events->push_back(e);
    }
    info->endTick = tick;  // no end of track: the chunk's end ends it
    return true;
  }
};

bool ReadFile(const uint8_t* data, size_t size, SmfSong* song, std::vector<RawEvent>* events, std::string* error) {
  if (size < 14 || memcmp(data, "MThd", 4) != 0) {
    *error = size >= 4 && memcmp(data, "RIFF", 4) == 0 ? "a RIFF MIDI file; only plain Standard MIDI Files are read"
                                                       : "not a Standard MIDI File (no MThd header at byte 0)";
    return false;
  }
  uint32_t headerLength = Be32(data + 4);
  if (headerLength < 6) {
    *error = Format("header chunk of %u bytes at byte 0 (at least 6 expected)", headerLength);
    return false;
  }
  if (headerLength > size - 8) {
    *error = Format("header chunk of %u bytes runs past the end of the file (%zu bytes)", headerLength, size);
    return false;
  }
  song->format = Be16(data + 8);
  uint32_t trackCount = Be16(data + 10);
  uint32_t division = Be16(data + 12);
  if (song->format == 2) {
    *error = "format 2 (independent sequences) is not supported; formats 0 and 1 are";
    return false;
  }
  if (song->format > 2) {
    *error = Format("unknown format %u at byte 8", song->format);
    return false;
  }
  if (division & 0x8000) {
    *error = "SMPTE time division (frames per second) is not supported; ticks per quarter note are";
    return false;
  }
  if (division == 0) {
    *error = "division of 0 ticks per quarter note at byte 12";
    return false;
  }
  song->division = division;
  size_t pos = 8 + static_cast<size_t>(headerLength);
  uint32_t found = 0;
  uint32_t unknown = 0;  // chunks of other types, which are skipped
  while (found < trackCount) {
    // Some writers count a chunk of another type among the tracks: a file that ends once the
    // chunks make up the announced count is whole.
    if (pos == size && found > 0 && found + unknown >= trackCount) break;
    if (size - pos < 8) {
      *error = pos == size ? Format("the header announces %u tracks but the file ends after %u", trackCount, found)
                           : Format("chunk header at byte %zu is cut off by the end of the file", pos);
      return false;
    }
    uint32_t length = Be32(data + pos + 4);
    bool isTrack = memcmp(data + pos, "MTrk", 4) == 0;
    if (length > size - pos - 8) {
      *error = Format("%s chunk at byte %zu claims %u bytes but the file ends at byte %zu",
                      isTrack ? Format("track %u:", found + 1).c_str() : "unknown", pos, length, size);
      return false;
    }
    if (isTrack) {
      SmfTrack info;
      TrackReader reader{data, pos + 8, pos + 8 + length, found + 1, error};
      if (!reader.Read(events, &info, &song->counts)) return false;
      song->tracks.push_back(info);
      ++found;
    } else {
      ++unknown;
    }
    pos += 8 + static_cast<size_t>(length);
  }
  return true;
}

uint32_t TempoValue(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]; }

uint32_t ImageTempoFor(uint32_t usPerQuarter) {
  double bpm = 60e6 / usPerQuarter;
  return static_cast<uint32_t>(std::clamp<double>(std::llround(bpm), 1, kMaxImageTempo));
}

// ---- The tempo map ----

// The image tick of a file tick, by the tempo in force (the last change at or before it).
int64_t ImageTickOf(const SmfSong& song, const SmfTempo& t, double fileTick) {
  double timeUs = t.timeUs + (fileTick - static_cast<double>(t.fileTick)) * t.usPerQuarter / song.division;
  double x = t.imageTick + (timeUs - t.engineTimeUs) * t.imageTempo * static_cast<double>(song.ticksPerQuarter) / 60e6;
  // Far outside any song (a slow tempo over a huge tick): past the last tick, so it is refused.
  if (!(std::fabs(x) < 1e15)) return x < 0 ? -kMaxTick - 1 : kMaxTick + 1;
  return std::llround(x);
}

const SmfTempo& TempoAtFileTick(const SmfSong& song, double fileTick) {
  size_t i = 0;
  while (i + 1 < song.tempos.size() && static_cast<double>(song.tempos[i + 1].fileTick) <= fileTick) ++i;
  return song.tempos[i];
}

// Bar geometry of one time-signature stretch, in file ticks.
struct BarGeometry {
  double startTick;
  int64_t startBar;
  double ticksPerBar;
  double ticksPerBeat;
};

std::vector<BarGeometry> Bars(const SmfSong& song) {
  std::vector<BarGeometry> out;
  int64_t bar = 1;
  for (size_t i = 0; i < song.timeSigs.size(); ++i) {
    const SmfTimeSignature& s = song.timeSigs[i];
    double beat = song.division * 4.0 / (1u << s.denominatorPower);
    BarGeometry g{static_cast<double>(s.fileTick), bar, beat * s.numerator, beat};
    out.push_back(g);
    if (i + 1 < song.timeSigs.size()) {
      double length = static_cast<double>(song.timeSigs[i + 1].fileTick - s.fileTick);
      bar += static_cast<int64_t>(std::ceil(length / g.ticksPerBar - 1e-9));  // a partial bar counts whole
    }
  }
  return out;
}

// ---- Writing ----

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

}  // namespace

bool ImportSmf(const uint8_t* data, size_t size, const SmfImportOptions& options, SmfSong* out, std::string* error) {
  SmfSong song;
  std::vector<RawEvent> events;
  std::string ignored;
  if (!error) error = &ignored;
  if (data == nullptr) size = 0;
  if (!ReadFile(data, size, &song, &events, error)) return false;
  std::stable_sort(events.begin(), events.end(), [](const RawEvent& a, const RawEvent& b) {
    if (a.tick != b.tick) return a.tick < b.tick;
    if (a.track != b.track) return a.track < b.track;
    return a.seq < b.seq;
  });
  for (const SmfTrack& t : song.tracks) song.endFileTick = std::max(song.endFileTick, t.endTick);

  // Resolution: the file's own when its ticks can be kept, else a fine one (see Timing in smf.h).
  bool keepTicks = song.division % 4 == 0;
  for (const RawEvent& e : events)
    if (e.kind == Kind::Meta && e.metaType == 0x51 && 60000000u % TempoValue(data + e.dataAt) != 0) keepTicks = false;
  uint32_t wanted = options.ticksPerQuarter;
  if (wanted != 0 && (wanted % 4 != 0 || wanted > 32764)) {
    *error = Format("%u ticks per quarter note cannot be played (a multiple of 4 up to 32764 can)", wanted);
    return false;
  }
  if (wanted != 0 && wanted != song.division) keepTicks = false;
  song.retimed = !keepTicks;
  song.ticksPerQuarter = keepTicks ? song.division
                         : wanted != 0 ? wanted
                                       : std::min<uint32_t>(std::max<uint32_t>(kFineResolution, (song.division + 3) / 4 * 4), 32764);

  SongBuilder& b = song.song;
  b.ticksPerQuarter = song.ticksPerQuarter;
  const std::vector<uint8_t>& ports = options.outputPortIndices;
  auto portOf = [&](uint8_t filePort) -> uint32_t { return ports.empty() ? 0 : ports[filePort % ports.size()]; };

  // Tempo state: the file's (for exact times) and the engine's (for placing ticks).
  SmfTempo current;  // the default 120 bpm from tick 0 until the file's first tempo
  song.tempos.push_back(current);
  bool tempoAtZero = false;
  for (const RawEvent& e : events)
    if (e.tick == 0 && e.kind == Kind::Meta && e.metaType == 0x51) tempoAtZero = true;
  if (!tempoAtZero) b.Tempo(0, current.imageTempo);
  bool firstTempoReplaces = tempoAtZero;
  song.timeSigs.push_back(SmfTimeSignature{});
  bool timeSigAtZero = false;
  int64_t lastTick = 0;
  std::vector<uint16_t> rpnList, nrpnList;
  size_t sysexBytes = 0;

  auto place = [&](int64_t fileTick, int32_t* tick) -> bool {
    int64_t x = std::max(ImageTickOf(song, song.tempos.back(), static_cast<double>(fileTick)), lastTick);
    if (x > kMaxTick) {
      *error = Format("the song is too long: tick %lld of the file lies past the song image's last tick",
                      static_cast<long long>(fileTick));
      return false;
    }
    lastTick = x;
    *tick = static_cast<int32_t>(x);
    return true;
  };

  for (size_t i = 0; i < events.size(); ++i) {
    const RawEvent& e = events[i];
    int32_t tick;
    if (!place(e.tick, &tick)) return false;
    uint32_t port = portOf(e.port);
    if (e.kind == Kind::Channel) {
      uint32_t channel = e.status & 0x0F;
      uint32_t kind = e.status & 0xF0;
      if (kind <= 0xA0) {  // notes and poly pressure: muted, or transposed
        bool muted = (options.mutedChannels >> channel & 1) ||
                     (e.track < options.mutedTracks.size() && options.mutedTracks[e.track]);
        int note = e.data1 + (channel == 9 ? 0 : options.transpose);
        if (muted || note < 0 || note > 127) continue;
        RawEvent moved = e;
        moved.data1 = static_cast<uint8_t>(note);
        if (kind == 0x80)
          b.NoteRelease(tick, port, channel, moved.data1);
        else
          b.Raw(tick, PackEvent(e.status, moved.data1, e.data2, port));
        continue;
      }
      // The next events of the same track at the same tick, for the selections below.
      auto follows = [&](size_t k, uint8_t controller) {
        size_t j = i + k;
        return j < events.size() && events[j].tick == e.tick && events[j].track == e.track &&
               events[j].kind == Kind::Channel && events[j].status == e.status && events[j].data1 == controller &&
               events[j].port == e.port;
      };
      if (kind == 0xB0 && e.data1 == 0 && follows(1, 32)) {
        b.Bank(tick, port, channel, BankKind::Full14, static_cast<uint32_t>(e.data2) << 7 | events[i + 1].data2);
        ++song.counts.banks;
        ++i;
      } else if (kind == 0xB0 && (e.data1 == 0 || e.data1 == 32)) {
        b.Bank(tick, port, channel, e.data1 == 0 ? BankKind::Msb : BankKind::Lsb, e.data2);
        ++song.counts.banks;
      } else if (kind == 0xB0 && (e.data1 == 101 || e.data1 == 99) && follows(1, e.data1 - 1) && follows(2, 6) &&
                 follows(3, 38)) {
        uint32_t parameter = static_cast<uint32_t>(e.data2) << 7 | events[i + 1].data2;
        uint32_t value = static_cast<uint32_t>(events[i + 2].data2) << 7 | events[i + 3].data2;
        bool rpn = e.data1 == 101;
        std::vector<uint16_t>& list = rpn ? rpnList : nrpnList;
        if (std::find(list.begin(), list.end(), parameter) == list.end()) list.push_back(static_cast<uint16_t>(parameter));
        if (rpn) {
          b.Rpn(tick, port, channel, parameter, value);
          ++song.counts.rpns;
        } else {
          b.Nrpn(tick, port, channel, parameter, value);
          ++song.counts.nrpns;
        }
        if ((rpn ? b.rpnRecords : b.nrpnRecords).size() > kMaxAreaBytes) {
          *error = "too many RPN or NRPN writes for one song image";
          return false;
        }
        i += 3;
      } else {
        b.Raw(tick, PackEvent(e.status, e.data1, e.data2, port));
      }
    } else if (e.kind == Kind::SysexF0 || e.kind == Kind::SysexF7) {
      std::vector<uint8_t> bytes;
      if (e.kind == Kind::SysexF0) bytes.push_back(0xF0);
      bytes.insert(bytes.end(), data + e.dataAt, data + e.dataAt + e.dataLength);
      if (bytes.empty()) continue;  // an empty escape sends nothing
      sysexBytes += 5 + bytes.size();
      if (sysexBytes > kMaxAreaBytes) {
        *error = "more than 16 MB of system-exclusive data for one song image";
        return false;
      }
      b.Sysex(tick, port, bytes);
    } else if (e.metaType == 0x51) {
      uint32_t us = TempoValue(data + e.dataAt);
      SmfTempo t;
      t.fileTick = e.tick;
      t.imageTick = tick;
      t.usPerQuarter = us;
      t.imageTempo = ImageTempoFor(us);
      const SmfTempo& prev = song.tempos.back();
      t.timeUs = prev.timeUs + static_cast<double>(e.tick - prev.fileTick) * prev.usPerQuarter / song.division;
      t.engineTimeUs = prev.engineTimeUs + static_cast<double>(tick - prev.imageTick) * 60e6 /
                                               (static_cast<double>(prev.imageTempo) * song.ticksPerQuarter);
      if (firstTempoReplaces) {
        song.tempos.back() = t;  // the file's own tempo at tick 0 replaces the default
        firstTempoReplaces = false;
      } else {
        song.tempos.push_back(t);
      }
      b.Tempo(tick, t.imageTempo);
    } else if (e.metaType == 0x58) {
      SmfTimeSignature s{e.tick, tick, data[e.dataAt], data[e.dataAt + 1]};
      if (e.tick == 0 && !timeSigAtZero) {
        song.timeSigs.back() = s;
        timeSigAtZero = true;
        b.timeSigNumerator = static_cast<uint8_t>(s.numerator);
        b.timeSigDenominatorPower = static_cast<uint8_t>(s.denominatorPower);
      } else {
        if (song.timeSigs.back().fileTick == e.tick) song.timeSigs.pop_back();  // the later of two at one tick holds
        song.timeSigs.push_back(s);
      }
      b.TimeSignature(tick, s.numerator, s.denominatorPower);
    }
  }
  int32_t endTick;
  if (!place(song.endFileTick, &endTick)) return false;
  song.endImageTick = endTick;
  const SmfTempo& last = song.tempos.back();
  song.lengthUs = last.timeUs + static_cast<double>(song.endFileTick - last.fileTick) * last.usPerQuarter / song.division;
  b.End(endTick);
  if (!rpnList.empty()) b.SetRpnList(rpnList);
  if (!nrpnList.empty()) b.SetNrpnList(nrpnList);
  *out = std::move(song);
  return true;
}

SmfPosition PositionAt(const SmfSong& song, int32_t imageTick) {
  SmfPosition p;
  if (song.tempos.empty() || song.timeSigs.empty() || song.division == 0 || song.ticksPerQuarter == 0) return p;
  size_t i = 0;
  while (i + 1 < song.tempos.size() && song.tempos[i + 1].imageTick <= imageTick) ++i;
  const SmfTempo& t = song.tempos[i];
  double engineUs = t.engineTimeUs + static_cast<double>(imageTick - t.imageTick) * 60e6 /
                                         (static_cast<double>(t.imageTempo) * song.ticksPerQuarter);
  double fileTick = static_cast<double>(t.fileTick) + (engineUs - t.timeUs) * song.division / t.usPerQuarter;
  p.seconds = engineUs / 1e6;
  std::vector<BarGeometry> bars = Bars(song);
  size_t k = 0;
  // A re-timed image tick may lie a fraction of a file tick before the file tick it stands for.
  double slack = song.retimed ? song.division / 64.0 : 1e-6;
  while (k + 1 < bars.size() && bars[k + 1].startTick <= fileTick + slack) ++k;
  const BarGeometry& g = bars[k];
  double r = fileTick - g.startTick + slack;
  double barIndex = std::floor(r / g.ticksPerBar);
  double inBar = r - barIndex * g.ticksPerBar;
  double beatIndex = std::floor(inBar / g.ticksPerBeat);
  double inBeat = inBar - beatIndex * g.ticksPerBeat;
  p.bar = g.startBar + static_cast<int64_t>(barIndex);
  p.beat = static_cast<int64_t>(beatIndex) + 1;
  p.sixteenth = static_cast<int64_t>(std::floor(inBeat / (song.division / 4.0))) + 1;
  return p;
}

int32_t TickOfBar(const SmfSong& song, int64_t bar, int64_t beat) {
  if (song.tempos.empty() || song.timeSigs.empty()) return 0;
  std::vector<BarGeometry> bars = Bars(song);
  size_t k = 0;
  while (k + 1 < bars.size() && bars[k + 1].startBar <= bar) ++k;
  const BarGeometry& g = bars[k];
  double fileTick = g.startTick + static_cast<double>(bar - g.startBar) * g.ticksPerBar +
                    static_cast<double>(beat - 1) * g.ticksPerBeat;
  int64_t x = ImageTickOf(song, TempoAtFileTick(song, fileTick), fileTick);
  return static_cast<int32_t>(std::clamp<int64_t>(x, -kMaxTick, kMaxTick));
}

std::string FormatPosition(const SmfPosition& p) {
  double s = p.seconds < 0 ? 0 : p.seconds;
  int minutes = static_cast<int>(s / 60);
  return Format("%lld.%lld.%lld  %d:%06.3f", static_cast<long long>(p.bar), static_cast<long long>(p.beat),
                static_cast<long long>(p.sixteenth), minutes, s - minutes * 60.0);
}

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
  size_t droppedCount = 0;
  uint32_t q = options.ticksPerQuarter;
  if (q == 0 || q > 0x7FFF) q = 480;  // the file cannot say otherwise; times then follow the tempo map as given
  // Loop passes: each end marker but the last closes one; later passes start again at loopStart.
  struct Pass {
    int32_t songStart, songEnd;
    int64_t fileStart;
  };
  std::vector<Pass> passes{{take.recordStartTick, take.recordStartTick, 0}};
  std::vector<FileEvent> events;
  int64_t endTick = 0;
  size_t sysexIndex = 0;  // the n-th sysex marker stands for the n-th message
  for (size_t i = 0; i < take.events.size(); ++i) {
    const TakeEvent& e = take.events[i];
    Pass& pass = passes.back();
    int64_t fileTick = pass.fileStart + (static_cast<int64_t>(e.tick) - pass.songStart);
    uint32_t code = e.event & 0xFF;
    if (IsEndMarker(e.event)) {
      pass.songEnd = e.tick;
      endTick = std::max(endTick, fileTick);
      if (i + 1 < take.events.size()) passes.push_back({options.loopStart, options.loopStart, std::max<int64_t>(fileTick, 0)});
      continue;
    }
    const std::vector<uint8_t>* block = nullptr;
    if (IsSysexMarker(e.event)) {
      block = sysexIndex < take.sysex.size() ? &take.sysex[sysexIndex] : nullptr;
      ++sysexIndex;
    }
    if (fileTick < 0 || code >= 0xF1 || code < 0x80 || (code == 0xF0 && (!block || block->empty()))) {
      ++droppedCount;
      continue;
    }
    endTick = std::max(endTick, fileTick);
    if (block) {
      FileEvent f{fileTick, {}};
      bool framed = (*block)[0] == 0xF0;
      f.bytes.push_back(framed ? 0xF0 : 0xF7);
      PutVlq(f.bytes, static_cast<uint32_t>(block->size() - (framed ? 1 : 0)));
      f.bytes.insert(f.bytes.end(), block->begin() + (framed ? 1 : 0), block->end());
      events.push_back(std::move(f));
      continue;
    }
    FileEvent f{fileTick, {static_cast<uint8_t>(code), static_cast<uint8_t>((e.event >> 8) & 0x7F)}};
    if ((code & 0xE0) != 0xC0) f.bytes.push_back(static_cast<uint8_t>((e.event >> 16) & 0x7F));
    events.push_back(std::move(f));
  }
  if (passes.back().songEnd == passes.back().songStart) passes.back().songEnd = passes.back().songStart + static_cast<int32_t>(endTick - passes.back().fileStart);

  // The song's tempo and time signature for each pass: what is in force at its start, then changes.
  std::vector<FileEvent> conductor;
  std::vector<FileEvent> markers;
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
  for (size_t k = 0; k < passes.size(); ++k) {
    const Pass& p = passes[k];
    if (passes.size() > 1) {
      std::string text = Format("pass %zu", k + 1);
      FileEvent m{p.fileStart, {0xFF, 0x06}};
      PutVlq(m.bytes, static_cast<uint32_t>(text.size()));
      m.bytes.insert(m.bytes.end(), text.begin(), text.end());
      markers.push_back(std::move(m));
    }
    conductor.push_back(TimeSigEvent(p.fileStart, sigAt(p.songStart)));
    conductor.push_back(TempoEvent(p.fileStart, tempoAt(p.songStart)));
    for (const SmfTimeSignature& s : options.timeSigs)
      if (s.imageTick > p.songStart && s.imageTick < p.songEnd) conductor.push_back(TimeSigEvent(p.fileStart + s.imageTick - p.songStart, s));
    for (auto& [t, us] : options.tempos)
      if (t > p.songStart && t < p.songEnd) conductor.push_back(TempoEvent(p.fileStart + t - p.songStart, us));
  }
  markers.insert(markers.end(), std::make_move_iterator(events.begin()), std::make_move_iterator(events.end()));

  std::vector<uint8_t> out = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, static_cast<uint8_t>(q >> 8), static_cast<uint8_t>(q)};
  PutTrack(out, std::move(conductor), 0);
  PutTrack(out, std::move(markers), endTick);
  if (dropped) *dropped = droppedCount;
  return out;
}

}  // namespace tovu
