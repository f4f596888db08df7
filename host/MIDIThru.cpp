#include "host/MIDIThru.h"

#include <jack/midiport.h>

#include <new>

namespace korvel::host {

ThruRing::ThruRing(size_t bytes) : ring_(jack_ringbuffer_create(bytes)) {
  if (!ring_) throw std::bad_alloc();
  jack_ringbuffer_mlock(ring_);  // best effort: keeps the consumer's pages resident
}

ThruRing::~ThruRing() { jack_ringbuffer_free(ring_); }

bool ThruRing::push(const uint8_t* bytes, size_t length) {
  if (length == 0 || length > 255) return false;
  uint8_t entry[256];
  entry[0] = static_cast<uint8_t>(length);
  for (size_t i = 0; i < length; ++i) entry[1 + i] = bytes[i];
  if (jack_ringbuffer_write_space(ring_) < length + 1) return false;
  // One write, so the consumer never sees a length without its message.
  jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(entry), length + 1);
  return true;
}

void ThruRing::drainInto(void* jackMIDIBuffer) {
  uint8_t entry[256];
  while (jack_ringbuffer_read_space(ring_) >= 1) {
    jack_ringbuffer_peek(ring_, reinterpret_cast<char*>(entry), 1);
    size_t length = entry[0];
    if (jack_ringbuffer_read_space(ring_) < length + 1) break;
    jack_ringbuffer_read(ring_, reinterpret_cast<char*>(entry), length + 1);
    jack_midi_event_write(jackMIDIBuffer, 0, entry + 1, length);
  }
}

OSStatus MIDIThru::Callback(void* userData, const AudioTimeStamp*, uint32_t output,
                            const MIDIPacketList* packets) {
  auto* self = static_cast<MIDIThru*>(userData);
  if (!self || !packets || output != 0) return noErr;
  const MIDIPacket* p = packets->packet;
  for (uint32_t i = 0; i < packets->numPackets; ++i) {
    self->deliver(p->data, p->length);
    p = reinterpret_cast<const MIDIPacket*>(reinterpret_cast<const Byte*>(p) +
                                            offsetof(MIDIPacket, data) + p->length);
  }
  return noErr;
}

void MIDIThru::deliver(const uint8_t* bytes, size_t length) {
  events_.fetch_add(1, std::memory_order_relaxed);
  if (liveBuffer_) {
    if (jack_midi_event_write(liveBuffer_, liveFrame_, bytes, length) != 0)
      dropped_.fetch_add(1, std::memory_order_relaxed);
  } else if (ring_) {
    if (!ring_->push(bytes, length)) dropped_.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace korvel::host
