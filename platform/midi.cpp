// MIDI device services: choosing the service at start-up and sending every entry point of midi.h to
// the service that runs. Each entry point is a switch over the current service; `none` has no
// devices, `virtual` lives in midi_virtual.cpp, and the real services (alsa, jack) are not built
// yet, so they start as `none`.
//
// Threads: MidiStart*, MidiShutdown, opens and closes on the main thread; sends from the main,
// timer and MIDI input threads; the service is only ever changed while no other thread uses the
// layer.
#include "platform/midi.h"

#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/midi_virtual.h"

namespace platform {
namespace {

std::atomic<MidiService> g_service{MidiService::None};

MidiService Current() { return g_service.load(std::memory_order_acquire); }

// True when a listening Unix socket answers at `path`. A busy server (full backlog) counts as one.
bool UnixSocketAnswers(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int r = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  bool answers = r == 0 || errno == EAGAIN || errno == EINPROGRESS;
  close(fd);
  return answers;
}

// Whether a JACK server of this user is running, judged by its request socket under /dev/shm (the
// layouts of both common server implementations), so that no JACK library is needed to decide.
bool JackServerAnswers() {
  const char* server = std::getenv("JACK_DEFAULT_SERVER");
  std::string name = server && *server ? server : "default";
  std::string uid = std::to_string(getuid());
  return UnixSocketAnswers("/dev/shm/jack_" + name + "_" + uid + "_0") ||
         UnixSocketAnswers("/dev/shm/jack-" + uid + "/" + name + "/jack_0") ||
         UnixSocketAnswers("/dev/shm/jack_" + name + "_0");
}

// Starts a real device service. None is built yet: report it and let the caller fall back.
bool StartRealService(MidiService service) {
  std::fprintf(stderr, "tovu: MIDI service %s is not available in this build; using none\n",
               service == MidiService::Alsa ? "alsa" : "jack");
  return false;
}

}  // namespace

MidiService MidiStartFromEnvironment() {
  MidiShutdown();
  const char* value = std::getenv("TOVU_MIDI");
  MidiService wanted;
  if (value && *value) {
    if (strcasecmp(value, "alsa") == 0) {
      wanted = MidiService::Alsa;
    } else if (strcasecmp(value, "jack") == 0) {
      wanted = MidiService::Jack;
    } else if (strcasecmp(value, "virtual") == 0) {
      wanted = MidiService::Virtual;
    } else if (strcasecmp(value, "none") == 0) {
      wanted = MidiService::None;
    } else {
      std::fprintf(stderr, "tovu: TOVU_MIDI=%s names no MIDI service; using none\n", value);
      wanted = MidiService::None;
    }
  } else {
    struct stat info;
    if (stat("/dev/snd/seq", &info) == 0) {
      wanted = MidiService::Alsa;
    } else if (JackServerAnswers()) {
      wanted = MidiService::Jack;
    } else {
      wanted = MidiService::None;
    }
  }

  switch (wanted) {
    case MidiService::Virtual:
      MidiStartVirtual(VirtualConfigFromEnvironment());
      break;
    case MidiService::Alsa:
    case MidiService::Jack:
      if (!StartRealService(wanted)) MidiStartNone();
      break;
    case MidiService::None:
      MidiStartNone();
      break;
  }
  return Current();
}

void MidiStartNone() {
  MidiShutdown();
  g_service.store(MidiService::None, std::memory_order_release);
}

void MidiStartVirtual(const VirtualMidiConfig& config) {
  MidiShutdown();
  virtual_midi::Start(config);
  g_service.store(MidiService::Virtual, std::memory_order_release);
}

void MidiShutdown() {
  switch (Current()) {
    case MidiService::Virtual:
      virtual_midi::Stop();
      break;
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  g_service.store(MidiService::None, std::memory_order_release);
}

MidiService MidiCurrentService() { return Current(); }

// In every entry point below, alsa and jack answer as `none` until their services exist.

uint32_t MidiOutCount() {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::OutCount();
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return 0;
}

uint32_t MidiInCount() {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::InCount();
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return 0;
}

int MidiOutName(uint32_t deviceId, char* name, size_t capacity) {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::OutName(deviceId, name, capacity);
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return kMidiBadDeviceId;
}

int MidiInName(uint32_t deviceId, char* name, size_t capacity) {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::InName(deviceId, name, capacity);
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return kMidiBadDeviceId;
}

int MidiOutOpen(uint32_t deviceId, MidiHandle* handle) {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::OutOpen(deviceId, handle);
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return kMidiBadDeviceId;
}

int MidiOutClose(MidiHandle handle) {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::OutClose(handle);
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return kMidiInvalidHandle;
}

int MidiOutShort(MidiHandle handle, uint32_t word) {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::OutShort(handle, word);
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return kMidiInvalidHandle;
}

int MidiOutLong(MidiHandle handle, const uint8_t* bytes, uint32_t length) {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::OutLong(handle, bytes, length);
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return kMidiInvalidHandle;
}

int MidiInOpen(uint32_t deviceId, MidiInCallback callback, uintptr_t instance, MidiHandle* handle) {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::InOpen(deviceId, callback, instance, handle);
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return kMidiBadDeviceId;
}

int MidiInStart(MidiHandle handle) {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::InStart(handle);
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return kMidiInvalidHandle;
}

int MidiInStop(MidiHandle handle) {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::InStop(handle);
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return kMidiInvalidHandle;
}

int MidiInClose(MidiHandle handle) {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::InClose(handle);
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return kMidiInvalidHandle;
}

int MidiInAddBuffer(MidiHandle handle, MidiInBuffer* buffer) {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::InAddBuffer(handle, buffer);
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return kMidiInvalidHandle;
}

bool VirtualInject(uint32_t inputId, const uint8_t* bytes, size_t count) {
  switch (Current()) {
    case MidiService::Virtual:
      return virtual_midi::Inject(inputId, bytes, count);
    case MidiService::Alsa:
    case MidiService::Jack:
    case MidiService::None:
      break;
  }
  return false;
}

}  // namespace platform
