// The virtual MIDI service's entry points, for midi.cpp's dispatch only (engine code uses midi.h).
// Threads: as in midi.h; Start and Stop run on the main thread while nothing else uses the layer.
#pragma once

#include "platform/midi.h"

namespace platform::virtual_midi {

// More devices than this in one direction are cut to this many (device ids must fit a handle).
constexpr uint32_t kMaxDevices = 4095;
// Longest message a FIFO line may carry; longer lines are ignored.
constexpr size_t kMaxLineBytes = 65536;

void Start(const VirtualMidiConfig& config);
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

bool Inject(uint32_t inputId, const uint8_t* bytes, size_t count);

}  // namespace platform::virtual_midi
