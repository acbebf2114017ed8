// A lock-free single-producer, single-consumer ring of MIDI records (a fixed header and its bytes),
// used between senders and the JACK process callback and between that callback and the JACK input
// thread. Push and the consumer calls never allocate, lock or enter the kernel, so either side may
// be a real-time thread.
//
// Threads: exactly one producer thread at a time (senders serialise themselves before pushing) and
// exactly one consumer thread at a time. Init and Reset run while neither side uses the ring.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace platform {

// An output record whose `frame` is the frame it is written at, not its send time.
constexpr uint32_t kPlacedAtFrame = 1;

struct MidiRecord {
  uint32_t length = 0;  // bytes that follow the header
  uint32_t device = 0;
  // input: the JACK frame time it arrived at; output: the low 32 bits of its send time in
  // microseconds, or (epoch kPlacedAtFrame) the frame time it is written at
  uint32_t frame = 0;
  uint32_t epoch = 0;  // input: the device's epoch; output: 0 or kPlacedAtFrame
};

struct MidiRing {
  std::unique_ptr<uint8_t[]> data;
  size_t capacity = 0;              // a power of two
  std::atomic<uint64_t> head{0};    // bytes ever written; stored by the producer
  std::atomic<uint64_t> tail{0};    // bytes ever read; stored by the consumer
};

// Allocates `capacity` bytes (rounded up to a power of two). False when out of memory.
inline bool MidiRingInit(MidiRing& ring, size_t capacity) {
  size_t size = 64;
  while (size < capacity) size <<= 1;
  ring.data.reset(new (std::nothrow) uint8_t[size]);
  ring.capacity = ring.data ? size : 0;
  ring.head.store(0, std::memory_order_relaxed);
  ring.tail.store(0, std::memory_order_relaxed);
  return ring.data != nullptr;
}

inline void MidiRingReset(MidiRing& ring) {
  ring.head.store(0, std::memory_order_relaxed);
  ring.tail.store(0, std::memory_order_relaxed);
}

namespace ring_detail {
inline void CopyIn(MidiRing& ring, uint64_t at, const void* from, size_t count) {
  size_t start = static_cast<size_t>(at) & (ring.capacity - 1);
  size_t first = count < ring.capacity - start ? count : ring.capacity - start;
  std::memcpy(ring.data.get() + start, from, first);
  std::memcpy(ring.data.get(), static_cast<const uint8_t*>(from) + first, count - first);
}
inline void CopyOut(const MidiRing& ring, uint64_t at, void* to, size_t count) {
  size_t start = static_cast<size_t>(at) & (ring.capacity - 1);
  size_t first = count < ring.capacity - start ? count : ring.capacity - start;
  std::memcpy(to, ring.data.get() + start, first);
  std::memcpy(static_cast<uint8_t*>(to) + first, ring.data.get(), count - first);
}
}  // namespace ring_detail

// Producer: appends the record and its `record.length` bytes. False (nothing written) when they do
// not fit.
inline bool MidiRingPush(MidiRing& ring, const MidiRecord& record, const uint8_t* bytes) {
  uint64_t head = ring.head.load(std::memory_order_relaxed);
  uint64_t tail = ring.tail.load(std::memory_order_acquire);
  uint64_t need = sizeof record + static_cast<uint64_t>(record.length);
  if (need > ring.capacity - (head - tail)) return false;
  ring_detail::CopyIn(ring, head, &record, sizeof record);
  if (record.length > 0) ring_detail::CopyIn(ring, head + sizeof record, bytes, record.length);
  ring.head.store(head + need, std::memory_order_release);
  return true;
}

// Consumer: the header of the oldest record, left in the ring. False when the ring is empty.
inline bool MidiRingPeek(const MidiRing& ring, MidiRecord* record) {
  uint64_t tail = ring.tail.load(std::memory_order_relaxed);
  uint64_t head = ring.head.load(std::memory_order_acquire);
  if (head == tail) return false;
  ring_detail::CopyOut(ring, tail, record, sizeof *record);
  return true;
}

// Consumer: copies the bytes of the record just peeked into `to` (room for record.length bytes, or
// null to discard them) and removes the record.
inline void MidiRingPop(MidiRing& ring, const MidiRecord& record, uint8_t* to) {
  uint64_t tail = ring.tail.load(std::memory_order_relaxed);
  if (to && record.length > 0) ring_detail::CopyOut(ring, tail + sizeof record, to, record.length);
  ring.tail.store(tail + sizeof record + record.length, std::memory_order_release);
}

// Either side: true when everything pushed so far has been popped.
inline bool MidiRingEmpty(const MidiRing& ring) {
  return ring.head.load(std::memory_order_acquire) == ring.tail.load(std::memory_order_acquire);
}

}  // namespace platform
