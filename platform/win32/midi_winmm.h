// The winmm service's entry points (win32/midi_winmm.cpp), for win32/midi.cpp's dispatch only
// (engine code uses midi.h). Threads: as in midi.h; Start and Stop run on the main thread while
// nothing else uses the layer.
#pragma once

#include "platform/midi.h"

namespace platform::winmm_midi {

// Takes the system's device lists as they are now; their order and numbers stay fixed until Stop.
void Start();
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

}  // namespace platform::winmm_midi
