// A virtual MIDI destination of the test process that records every packet reaching it,
// optionally under the unique ID the plug-in searches for; and that search.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MIDIServices.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {

inline MIDIEndpointRef FindDestinationByID(int32_t wanted) {
  for (unsigned long i = 0; i < MIDIGetNumberOfDestinations(); ++i) {
    int32_t id = 0;
    MIDIObjectGetIntegerProperty(MIDIGetDestination(i), kMIDIPropertyUniqueID, &id);
    if (id == wanted) return MIDIGetDestination(i);
  }
  return 0;
}

class RecordingDestination {
 public:
  using Bytes = std::vector<uint8_t>;
  // Without `client`, one of its own is made (and disposed of with the destination).
  explicit RecordingDestination(const std::string& name, MIDIClientRef client = 0)
      : client_(client) {
    if (!client_) {
      MIDIClientCreateWithBlock((name + " client").c_str(), &client_, nullptr);
      ownsClient_ = true;
    }
    MIDIDestinationCreateWithBlock(
        client_, name.c_str(), &endpoint_, [this](const MIDIPacketList* list) {
          std::lock_guard lock(mutex_);
          const MIDIPacket* p = list->packet;
          for (uint32_t i = 0; i < list->numPackets; ++i, p = MIDIPacketNext(p))
            packets_.emplace_back(p->data, p->data + p->length);
          lists_++;
        });
  }
  ~RecordingDestination() {
    if (endpoint_) MIDIEndpointDispose(endpoint_);
    if (ownsClient_ && client_) MIDIClientDispose(client_);
  }
  RecordingDestination(const RecordingDestination&) = delete;
  RecordingDestination& operator=(const RecordingDestination&) = delete;

  MIDIEndpointRef endpoint() const { return endpoint_; }
  bool setUniqueID(int32_t id) {
    return MIDIObjectSetIntegerProperty(endpoint_, kMIDIPropertyUniqueID, id) == 0;
  }
  std::vector<Bytes> packets() const {
    std::lock_guard lock(mutex_);
    return packets_;
  }
  size_t count() const {
    std::lock_guard lock(mutex_);
    return packets_.size();
  }
  // The number of packet lists delivered (the services hand over one event per list).
  int lists() const { return lists_.load(); }
  bool waitFor(size_t n) const {
    return WaitUntil([&] { return count() >= n; });
  }

 private:
  MIDIClientRef client_ = 0;
  bool ownsClient_ = false;
  MIDIEndpointRef endpoint_ = 0;
  mutable std::mutex mutex_;
  std::vector<Bytes> packets_;
  std::atomic<int> lists_{0};
};

}  // namespace korvel::test
