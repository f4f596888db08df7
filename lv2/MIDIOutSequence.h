// Appending MIDI events to the host's output atom sequence during run(): the host gives
// the capacity in the buffer's atom size, and an event that does not fit is dropped
// whole, so the sequence never runs past the buffer. Allocation-free.
#pragma once

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>

#include <cstdint>
#include <cstring>

namespace korvel::lv2 {

class MIDIOutSequence {
 public:
  // Starts an empty frame-timed sequence in `buffer`, whose body may take `capacity` bytes.
  void begin(LV2_Atom_Sequence* buffer, uint32_t capacity, LV2_URID sequenceType,
             LV2_URID midiEventType) {
    sequence_ = capacity >= sizeof(LV2_Atom_Sequence_Body) ? buffer : nullptr;
    capacity_ = capacity;
    bodyStart_ = reinterpret_cast<uint8_t*>(buffer) + sizeof(LV2_Atom);
    midiEventType_ = midiEventType;
    if (buffer == nullptr) return;
    buffer->atom.type = sequenceType;
    buffer->atom.size = sequence_ ? sizeof(LV2_Atom_Sequence_Body) : 0;
    if (sequence_) buffer->body = LV2_Atom_Sequence_Body{0, 0};
  }
  void end() { sequence_ = nullptr; }

  // Returns false (and writes nothing) when the event does not fit or no run() is under way.
  __attribute__((always_inline)) bool append(int64_t frames, const uint8_t* bytes, uint32_t size) {
    uint8_t* body = reserve(frames, size);
    if (body == nullptr) return false;
    std::memcpy(body, bytes, size);
    return true;
  }

  // A message of at most three bytes from a source that may be read for three bytes: they
  // are copied as a fixed three, since any byte past `size` lands in the event's padding.
  // This is the thru of every channel message, where a sized copy would cost more than
  // the rest of the append.
  __attribute__((always_inline)) bool appendShort(int64_t frames, const uint8_t* bytes,
                                                  uint32_t size) {
    uint8_t* body = reserve(frames, size);
    if (body == nullptr) return false;
    std::memcpy(body, bytes, 3);
    return true;
  }

 private:
  // Writes the header of an event of `size` bytes and returns where its body goes, or
  // nullptr when it does not fit.
  __attribute__((always_inline)) uint8_t* reserve(int64_t frames, uint32_t size) {
    if (sequence_ == nullptr || size > capacity_) return nullptr;
    const uint32_t used = sequence_->atom.size;
    const uint32_t needed = lv2_atom_pad_size(static_cast<uint32_t>(sizeof(LV2_Atom_Event)) + size);
    if (needed > capacity_ - used) return nullptr;
    // Hosts do not all align their buffers to 8 bytes: the header goes in by memcpy, which
    // compiles to plain stores and never reads or writes through a misaligned struct.
    uint8_t* at = bodyStart_ + used;
    LV2_Atom_Event header{};
    header.time.frames = frames;
    header.body.type = midiEventType_;
    header.body.size = size;
    std::memcpy(at, &header, sizeof header);
    sequence_->atom.size = used + needed;
    return at + sizeof header;
  }

  LV2_Atom_Sequence* sequence_ = nullptr;
  // Where the sequence's body starts: events are placed by byte offset from here.
  uint8_t* bodyStart_ = nullptr;
  uint32_t capacity_ = 0;
  LV2_URID midiEventType_ = 0;
};

}  // namespace korvel::lv2
