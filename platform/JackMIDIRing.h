/*
 * A single-producer/single-consumer ring of MIDI messages, each stored as a 16-bit
 * length followed by its bytes. It is how MIDI crosses between JACK's real-time process
 * callback and the ordinary threads: pushing and popping are wait-free, never allocate
 * and never enter the kernel.
 *
 * Written here rather than on jack_ringbuffer_t because the indices must be atomics the
 * thread sanitizer can see, and because a whole packet list must be published at once
 * (all of it or nothing), which one release store of the write index gives for free.
 */
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/MIDIPacketList.h"

namespace korvel::platform::jack {

class MIDIRing {
 public:
  /* `capacity` is rounded up to a power of two. */
  explicit MIDIRing(size_t capacity) {
    size_t size = 64;
    while (size < capacity) size <<= 1;
    mask_ = size - 1;
    bytes_ = std::make_unique<uint8_t[]>(size);
  }
  MIDIRing(const MIDIRing&) = delete;
  MIDIRing& operator=(const MIDIRing&) = delete;

  size_t capacity() const { return mask_ + 1; }

  /* Producer side. Pushes every non-empty packet of the list as one message, or none of
   * them when the list does not fit in the free space. */
  bool pushPacketList(const MIDIPacketList* list) {
    size_t write = write_.load(std::memory_order_relaxed);
    size_t free = capacity() - (write - read_.load(std::memory_order_acquire));
    size_t need = 0;
    const MIDIPacket* packet = list->packet;
    for (uint32_t i = 0; i < list->numPackets; ++i, packet = MIDIPacketNext(packet)) {
      if (packet->length > 0) need += sizeof(uint16_t) + packet->length;
    }
    if (need > free) return false;
    packet = list->packet;
    for (uint32_t i = 0; i < list->numPackets; ++i, packet = MIDIPacketNext(packet)) {
      if (packet->length == 0) continue;
      write = stage(write, packet->data, packet->length);
    }
    write_.store(write, std::memory_order_release);
    return true;
  }

  /* Producer side: one message; false (nothing pushed) when it does not fit. */
  bool push(const uint8_t* data, uint16_t length) {
    size_t write = write_.load(std::memory_order_relaxed);
    size_t free = capacity() - (write - read_.load(std::memory_order_acquire));
    if (length == 0 || sizeof(uint16_t) + length > free) return false;
    write_.store(stage(write, data, length), std::memory_order_release);
    return true;
  }

  /* Consumer side: the length of the oldest message, 0 when the ring is empty. */
  uint16_t frontLength() const {
    size_t read = read_.load(std::memory_order_relaxed);
    if (write_.load(std::memory_order_acquire) == read) return 0;
    uint16_t length;
    copyOut(read, &length, sizeof length);
    return length;
  }

  /* Consumer side: copies the oldest message (frontLength() bytes) to `out` and removes
   * it. Call only after frontLength() returned non-zero. */
  void popFront(uint8_t* out) {
    size_t read = read_.load(std::memory_order_relaxed);
    uint16_t length;
    copyOut(read, &length, sizeof length);
    copyOut(read + sizeof length, out, length);
    read_.store(read + sizeof length + length, std::memory_order_release);
  }

  /* Consumer side: removes the oldest message without copying it. */
  void dropFront() {
    size_t read = read_.load(std::memory_order_relaxed);
    uint16_t length;
    copyOut(read, &length, sizeof length);
    read_.store(read + sizeof length + length, std::memory_order_release);
  }

 private:
  size_t stage(size_t write, const uint8_t* data, uint16_t length) {
    copyIn(write, &length, sizeof length);
    copyIn(write + sizeof length, data, length);
    return write + sizeof length + length;
  }
  void copyIn(size_t at, const void* src, size_t n) {
    size_t offset = at & mask_;
    size_t first = n < capacity() - offset ? n : capacity() - offset;
    std::memcpy(&bytes_[offset], src, first);
    std::memcpy(&bytes_[0], static_cast<const uint8_t*>(src) + first, n - first);
  }
  void copyOut(size_t at, void* dst, size_t n) const {
    size_t offset = at & mask_;
    size_t first = n < capacity() - offset ? n : capacity() - offset;
    std::memcpy(dst, &bytes_[offset], first);
    std::memcpy(static_cast<uint8_t*>(dst) + first, &bytes_[0], n - first);
  }

  size_t mask_;
  std::unique_ptr<uint8_t[]> bytes_;
  // Free-running byte counters; only their difference and their low bits are used.
  alignas(64) std::atomic<size_t> write_{0};
  alignas(64) std::atomic<size_t> read_{0};
};

}  // namespace korvel::platform::jack
