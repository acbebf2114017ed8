// Standard MIDI File import: reading a file (header, chunks, each track's events) and converting
// its merged events into a song image, step by step, with the tempo map that relates the file's
// ticks, the image's ticks and time; and the position queries on an imported song's tempo map. The
// file is untrusted: every read is checked against the chunk it belongs to. See smf.h.
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

// The printf the formats are checked against: the C library's own, unless the build names another
// (gnu_printf with mingw, whose C++ runtime formats as C99 does, not as the system's library).
#ifndef TOVU_PRINTF_FORMAT
#define TOVU_PRINTF_FORMAT printf
#endif
std::string Format(const char* fmt, ...) __attribute__((format(TOVU_PRINTF_FORMAT, 1, 2)));
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
  if (!song.retimed && song.division == song.ticksPerQuarter && std::fabs(fileTick) < 1e15)
    return std::llround(fileTick);  // kept ticks (see FileTickAt)
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

// ---- Converting the merged events into the song image ----

// Puts the events of all tracks in playing order: by tick, ties in track order, then file order.
void MergeTracks(std::vector<RawEvent>* events) {
  std::stable_sort(events->begin(), events->end(), [](const RawEvent& a, const RawEvent& b) {
    if (a.tick != b.tick) return a.tick < b.tick;
    if (a.track != b.track) return a.track < b.track;
    return a.seq < b.seq;
  });
}

// The image's resolution: the file's own when its ticks can be kept, else the one asked for (0:
// none), else a fine one (see Timing in smf.h).
bool ChooseResolution(const uint8_t* data, const std::vector<RawEvent>& events, uint32_t wanted, SmfSong* song,
                      std::string* error) {
  bool keepTicks = song->division % 4 == 0;
  for (const RawEvent& e : events)
    if (e.kind == Kind::Meta && e.metaType == 0x51 && 60000000u % TempoValue(data + e.dataAt) != 0) keepTicks = false;
  if (wanted != 0 && (wanted % 4 != 0 || wanted > 32764)) {
    *error = Format("%u ticks per quarter note cannot be played (a multiple of 4 up to 32764 can)", wanted);
    return false;
  }
  if (wanted != 0 && wanted != song->division) keepTicks = false;
  song->retimed = !keepTicks;
  song->ticksPerQuarter = keepTicks ? song->division
                          : wanted != 0 ? wanted
                                        : std::min<uint32_t>(std::max<uint32_t>(kFineResolution, (song->division + 3) / 4 * 4), 32764);
  song->song.ticksPerQuarter = song->ticksPerQuarter;
  return true;
}

// What the conversion carries from one event to the next.
struct Conversion {
  const uint8_t* data;  // the file
  const SmfImportOptions& options;
  const std::vector<RawEvent>& events;  // merged
  SmfSong& song;
  std::string* error;
  int64_t lastTick = 0;             // the last image tick placed: no event goes back before it
  bool firstTempoReplaces = false;  // the file's own tempo at tick 0 replaces the default one
  bool timeSigAtZero = false;       // the file's time signature at tick 0 has been seen
  std::vector<uint16_t> rpnList{}, nrpnList{};  // parameters written, for chasing
  size_t sysexBytes = 0;            // the sysex area so far
};

// The tempo map starts at the default 120 bpm and 4/4 until the file's own at tick 0 replace them;
// the image gets the default tempo only when the file has none at tick 0.
void StartTempoMap(Conversion& c) {
  SmfTempo initial;
  c.song.tempos.push_back(initial);
  bool tempoAtZero = false;
  for (const RawEvent& e : c.events)
    if (e.tick == 0 && e.kind == Kind::Meta && e.metaType == 0x51) tempoAtZero = true;
  if (!tempoAtZero) c.song.song.Tempo(0, initial.imageTempo);
  c.firstTempoReplaces = tempoAtZero;
  c.song.timeSigs.push_back(SmfTimeSignature{});
}

// The image tick of a file tick, by the tempo map so far; false when it lies past the image's last.
bool Place(Conversion& c, int64_t fileTick, int32_t* tick) {
  int64_t x = std::max(ImageTickOf(c.song, c.song.tempos.back(), static_cast<double>(fileTick)), c.lastTick);
  if (x > kMaxTick) {
    *c.error = Format("the song is too long: tick %lld of the file lies past the song image's last tick",
                      static_cast<long long>(fileTick));
    return false;
  }
  c.lastTick = x;
  *tick = static_cast<int32_t>(x);
  return true;
}

uint32_t PortOf(const SmfImportOptions& options, uint8_t filePort) {
  const std::vector<uint8_t>& ports = options.outputPortIndices;
  return ports.empty() ? 0 : ports[filePort % ports.size()];
}

// A note-on, note-off or poly pressure: left out when muted or transposed out of range.
void AddNote(Conversion& c, const RawEvent& e, int32_t tick, uint32_t port) {
  uint32_t channel = e.status & 0x0F;
  bool muted = (c.options.mutedChannels >> channel & 1) ||
               (e.track < c.options.mutedTracks.size() && c.options.mutedTracks[e.track]);
  int note = e.data1 + (channel == 9 ? 0 : c.options.transpose);
  if (muted || note < 0 || note > 127) return;
  if ((e.status & 0xF0) == 0x80)
    c.song.song.NoteRelease(tick, port, channel, static_cast<uint8_t>(note));
  else
    c.song.song.Raw(tick, PackEvent(e.status, static_cast<uint8_t>(note), e.data2, port));
}

// Whether the k-th event after event i is the same channel's `controller`, on the same track, tick
// and port: the selections below are written as such runs.
bool FollowedBy(const Conversion& c, size_t i, size_t k, uint8_t controller) {
  const RawEvent& e = c.events[i];
  size_t j = i + k;
  return j < c.events.size() && c.events[j].tick == e.tick && c.events[j].track == e.track &&
         c.events[j].kind == Kind::Channel && c.events[j].status == e.status && c.events[j].data1 == controller &&
         c.events[j].port == e.port;
}

// An RPN (101, 100, 6, 38) or NRPN (99, 98, 6, 38) write at event *i: one parameter reference, the
// parameter listed for chasing. Moves *i to its last controller.
bool AddParameter(Conversion& c, size_t* i, int32_t tick, uint32_t port) {
  const std::vector<RawEvent>& events = c.events;
  const RawEvent& e = events[*i];
  SongBuilder& b = c.song.song;
  uint32_t channel = e.status & 0x0F;
  uint32_t parameter = static_cast<uint32_t>(e.data2) << 7 | events[*i + 1].data2;
  uint32_t value = static_cast<uint32_t>(events[*i + 2].data2) << 7 | events[*i + 3].data2;
  bool rpn = e.data1 == 101;
  std::vector<uint16_t>& list = rpn ? c.rpnList : c.nrpnList;
  if (std::find(list.begin(), list.end(), parameter) == list.end()) list.push_back(static_cast<uint16_t>(parameter));
  if (rpn) {
    b.Rpn(tick, port, channel, parameter, value);
    ++c.song.counts.rpns;
  } else {
    b.Nrpn(tick, port, channel, parameter, value);
    ++c.song.counts.nrpns;
  }
  if ((rpn ? b.rpnRecords : b.nrpnRecords).size() > kMaxAreaBytes) {
    *c.error = "too many RPN or NRPN writes for one song image";
    return false;
  }
  *i += 3;
  return true;
}

// A control change at event *i: a bank selection (a 14-bit one takes the controller 32 after it),
// a parameter write, or a plain controller. Moves *i past what it took.
bool AddController(Conversion& c, size_t* i, int32_t tick, uint32_t port) {
  const RawEvent& e = c.events[*i];
  SongBuilder& b = c.song.song;
  uint32_t channel = e.status & 0x0F;
  if (e.data1 == 0 && FollowedBy(c, *i, 1, 32)) {
    b.Bank(tick, port, channel, BankKind::Full14, static_cast<uint32_t>(e.data2) << 7 | c.events[*i + 1].data2);
    ++c.song.counts.banks;
    ++*i;
  } else if (e.data1 == 0 || e.data1 == 32) {
    b.Bank(tick, port, channel, e.data1 == 0 ? BankKind::Msb : BankKind::Lsb, e.data2);
    ++c.song.counts.banks;
  } else if ((e.data1 == 101 || e.data1 == 99) && FollowedBy(c, *i, 1, static_cast<uint8_t>(e.data1 - 1)) &&
             FollowedBy(c, *i, 2, 6) && FollowedBy(c, *i, 3, 38)) {
    return AddParameter(c, i, tick, port);
  } else {
    b.Raw(tick, PackEvent(e.status, e.data1, e.data2, port));
  }
  return true;
}

bool AddChannelEvent(Conversion& c, size_t* i, int32_t tick, uint32_t port) {
  const RawEvent& e = c.events[*i];
  uint32_t kind = e.status & 0xF0;
  if (kind <= 0xA0) {
    AddNote(c, e, tick, port);
    return true;
  }
  if (kind == 0xB0) return AddController(c, i, tick, port);
  c.song.song.Raw(tick, PackEvent(e.status, e.data1, e.data2, port));
  return true;
}

// An F0 event is sent as F0 and its data, an F7 (escape) event as its data alone; an empty escape
// sends nothing.
bool AddSysex(Conversion& c, const RawEvent& e, int32_t tick, uint32_t port) {
  const uint8_t* from = c.data + e.dataAt;
  std::vector<uint8_t> bytes(from, from + e.dataLength);
  if (e.kind == Kind::SysexF0) bytes.insert(bytes.begin(), 0xF0);
  if (bytes.empty()) return true;
  c.sysexBytes += 5 + bytes.size();
  if (c.sysexBytes > kMaxAreaBytes) {
    *c.error = "more than 16 MB of system-exclusive data for one song image";
    return false;
  }
  c.song.song.Sysex(tick, port, bytes);
  return true;
}

// A tempo change: the exact file time and the engine's time of its tick join the tempo map.
void AddTempo(Conversion& c, const RawEvent& e, int32_t tick) {
  SmfSong& song = c.song;
  uint32_t us = TempoValue(c.data + e.dataAt);
  SmfTempo t;
  t.fileTick = e.tick;
  t.imageTick = tick;
  t.usPerQuarter = us;
  t.imageTempo = ImageTempoFor(us);
  const SmfTempo& prev = song.tempos.back();
  t.timeUs = prev.timeUs + static_cast<double>(e.tick - prev.fileTick) * prev.usPerQuarter / song.division;
  t.engineTimeUs = prev.engineTimeUs + static_cast<double>(tick - prev.imageTick) * 60e6 /
                                           (static_cast<double>(prev.imageTempo) * song.ticksPerQuarter);
  if (c.firstTempoReplaces) {
    song.tempos.back() = t;  // the file's own tempo at tick 0 replaces the default
    c.firstTempoReplaces = false;
  } else {
    song.tempos.push_back(t);
  }
  song.song.Tempo(tick, t.imageTempo);
}

void AddTimeSignature(Conversion& c, const RawEvent& e, int32_t tick) {
  SmfSong& song = c.song;
  SmfTimeSignature s{e.tick, tick, c.data[e.dataAt], c.data[e.dataAt + 1]};
  if (e.tick == 0 && !c.timeSigAtZero) {
    song.timeSigs.back() = s;
    c.timeSigAtZero = true;
    song.song.timeSigNumerator = static_cast<uint8_t>(s.numerator);
    song.song.timeSigDenominatorPower = static_cast<uint8_t>(s.denominatorPower);
  } else {
    if (song.timeSigs.back().fileTick == e.tick) song.timeSigs.pop_back();  // the later of two at one tick holds
    song.timeSigs.push_back(s);
  }
  song.song.TimeSignature(tick, s.numerator, s.denominatorPower);
}

// Every merged event in turn, each placed on the image's ticks by the tempo map so far.
bool ConvertEvents(Conversion& c) {
  for (size_t i = 0; i < c.events.size(); ++i) {
    const RawEvent& e = c.events[i];
    int32_t tick;
    if (!Place(c, e.tick, &tick)) return false;
    uint32_t port = PortOf(c.options, e.port);
    bool ok = true;
    if (e.kind == Kind::Channel)
      ok = AddChannelEvent(c, &i, tick, port);
    else if (e.kind == Kind::SysexF0 || e.kind == Kind::SysexF7)
      ok = AddSysex(c, e, tick, port);
    else if (e.metaType == 0x51)
      AddTempo(c, e, tick);
    else if (e.metaType == 0x58)
      AddTimeSignature(c, e, tick);
    if (!ok) return false;
  }
  return true;
}

// The song's end (the latest end of track), its length, and the parameter lists.
bool Finish(Conversion& c) {
  SmfSong& song = c.song;
  int32_t endTick;
  if (!Place(c, song.endFileTick, &endTick)) return false;
  song.endImageTick = endTick;
  const SmfTempo& last = song.tempos.back();
  song.lengthUs = last.timeUs + static_cast<double>(song.endFileTick - last.fileTick) * last.usPerQuarter / song.division;
  song.song.End(endTick);
  if (!c.rpnList.empty()) song.song.SetRpnList(c.rpnList);
  if (!c.nrpnList.empty()) song.song.SetNrpnList(c.nrpnList);
  return true;
}

}  // namespace

bool ImportSmf(const uint8_t* data, size_t size, const SmfImportOptions& options, SmfSong* out, std::string* error) {
  SmfSong song;
  std::vector<RawEvent> events;
  std::string ignored;
  if (!error) error = &ignored;
  if (data == nullptr) size = 0;
  if (!ReadFile(data, size, &song, &events, error)) return false;
  MergeTracks(&events);
  for (const SmfTrack& t : song.tracks) song.endFileTick = std::max(song.endFileTick, t.endTick);
  if (!ChooseResolution(data, events, options.ticksPerQuarter, &song, error)) return false;
  Conversion c{data, options, events, song, error};
  StartTempoMap(c);
  if (!ConvertEvents(c) || !Finish(c)) return false;
  *out = std::move(song);
  return true;
}

namespace {

// The engine's time of an image tick, by the tempo in force there.
double EngineTimeUs(const SmfSong& song, const SmfTempo& t, int32_t imageTick) {
  return t.engineTimeUs +
         static_cast<double>(imageTick - t.imageTick) * 60e6 / (static_cast<double>(t.imageTempo) * song.ticksPerQuarter);
}

const SmfTempo& TempoAtImageTick(const SmfSong& song, int32_t imageTick) {
  size_t i = 0;
  while (i + 1 < song.tempos.size() && song.tempos[i + 1].imageTick <= imageTick) ++i;
  return song.tempos[i];
}

}  // namespace

double FileTickAt(const SmfSong& song, int32_t imageTick) {
  // Kept ticks are the file's own: no tempo's rounding (a song made at 90 bpm holds 666,667 us per
  // quarter) may move them.
  if (!song.retimed && song.division == song.ticksPerQuarter) return imageTick;
  if (song.tempos.empty() || song.division == 0 || song.ticksPerQuarter == 0) return imageTick;
  const SmfTempo& t = TempoAtImageTick(song, imageTick);
  return static_cast<double>(t.fileTick) + (EngineTimeUs(song, t, imageTick) - t.timeUs) * song.division / t.usPerQuarter;
}

SmfPosition PositionAt(const SmfSong& song, int32_t imageTick) {
  SmfPosition p;
  if (song.tempos.empty() || song.timeSigs.empty() || song.division == 0 || song.ticksPerQuarter == 0) return p;
  double fileTick = FileTickAt(song, imageTick);
  p.seconds = EngineTimeUs(song, TempoAtImageTick(song, imageTick), imageTick) / 1e6;
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

}  // namespace tovu
