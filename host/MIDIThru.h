// Where an instance's MIDI output (the thru, through its MIDI output callback) goes:
// counted always, and forwarded to the host's JACK "MIDI Out" port when JACK runs.
//
// Two routes to JACK. During playback the instances run on the host's own real-time
// thread, so messages cross to JACK's process thread through a lock-free ring. Live, the
// instances run on JACK's process thread itself, so the callback writes straight into
// the cycle's output buffer at the frame of the event being processed.
#pragma once

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/AudioComponent.h"

namespace korvel::host {

// Single producer (the thread that calls the instances), single consumer (JACK's
// process thread). Entries are a length byte and the message.
class ThruRing {
 public:
  explicit ThruRing(size_t bytes = 1 << 16);
  ~ThruRing();
  ThruRing(const ThruRing&) = delete;
  ThruRing& operator=(const ThruRing&) = delete;

  // False when the ring is full (the message is dropped, never waited for).
  bool push(const uint8_t* bytes, size_t length);
  // Consumer: moves every complete message into a JACK MIDI buffer at frame 0.
  void drainInto(void* jackMIDIBuffer);

 private:
  jack_ringbuffer_t* ring_;
};

class MIDIThru {
 public:
  explicit MIDIThru(ThruRing* ring = nullptr) : ring_(ring) {}

  // The AUMIDIOutputCallback to install with property 48, with `this` as user data.
  static OSStatus Callback(void* userData, const AudioTimeStamp* time, uint32_t output,
                           const MIDIPacketList* packets);

  // Live route: messages go into `jackMIDIBuffer` at `frame` until cleared with nullptr.
  void setLiveTarget(void* jackMIDIBuffer, jack_nframes_t frame) {
    liveBuffer_ = jackMIDIBuffer;
    liveFrame_ = frame;
  }

  uint64_t events() const { return events_.load(std::memory_order_relaxed); }
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  void deliver(const uint8_t* bytes, size_t length);

  ThruRing* ring_;
  void* liveBuffer_ = nullptr;
  jack_nframes_t liveFrame_ = 0;
  std::atomic<uint64_t> events_{0};
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace korvel::host
