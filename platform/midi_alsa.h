// The alsa service's entry points (midi_alsa.cpp), for midi.cpp's dispatch only (engine code uses
// midi.h). Threads: as in midi.h; Start and Stop run on the main thread while nothing else uses the
// layer.
#pragma once

#include <string>

#include "platform/midi.h"

namespace platform::alsa_midi {

// Starts the service. False, with the reason in `why` and nothing left running, when it cannot be had.
bool Start(std::string* why);
void Stop();

uint32_t OutCount();
uint32_t InCount();
int OutName(uint32_t deviceId, char* name, size_t capacity);
int InName(uint32_t deviceId, char* name, size_t capacity);

int OutOpen(uint32_t deviceId, MidiHandle* handle);
int OutClose(MidiHandle handle);
int OutShort(MidiHandle handle, uint32_t word);
int OutLong(MidiHandle handle, const uint8_t* bytes, uint32_t length);

int InOpen(uint32_t deviceId, MidiInCallback callback, uintptr_t instance, MidiHandle* handle);
int InStart(MidiHandle handle);
int InStop(MidiHandle handle);
int InClose(MidiHandle handle);
int InAddBuffer(MidiHandle handle, MidiInBuffer* buffer);

}  // namespace platform::alsa_midi
