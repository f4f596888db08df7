// A bare record for the real-time tests: made by the factory and given the starting
// state of the MIDI tables without opening a link.
#pragma once

#include <array>
#include <cstring>
#include <vector>

#include "component/KorvelComponent.h"
#include "identity/UIDRegistry.h"
#include "link/CompanionLink.h"

namespace korvel::test {

using Bytes = std::vector<uint8_t>;

// What the host's MIDI-output callback received: one entry per packet, and {0xEE} before
// the packets of a call whose time stamp was not zero.
struct ThruCapture {
  std::vector<Bytes> packets;
  int calls = 0;
  uint32_t lastOutput = 99;

  static OSStatus Callback(void* user, const AudioTimeStamp* when, uint32_t output,
                           const MIDIPacketList* list) {
    auto* self = static_cast<ThruCapture*>(user);
    self->calls++;
    self->lastOutput = output;
    static const AudioTimeStamp zero{};
    if (std::memcmp(when, &zero, sizeof zero) != 0) self->packets.push_back({0xEE});
    const MIDIPacket* p = list->packet;
    for (uint32_t i = 0; i < list->numPackets; ++i) {
      self->packets.emplace_back(p->data, p->data + p->length);
      p = reinterpret_cast<const MIDIPacket*>(reinterpret_cast<const uint8_t*>(p) +
                                              offsetof(MIDIPacket, data) + p->length);
    }
    return 0;
  }
};

// A queued event as {status, data 1, data 2, length}.
using Queued = std::array<uint8_t, 4>;

class BareRecord {
 public:
  BareRecord() : inst_(reinterpret_cast<KorvelInstance*>(KorvelAUFactory(nullptr))) {
    KR_Reset(inst_, 0, 0);
  }
  ~BareRecord() { KR_Release(inst_); }
  KorvelInstance* operator->() { return inst_; }
  KorvelInstance* get() { return inst_; }

  void link(bool connected = true, bool active = true) {
    KR_Store(inst_->isConnected, connected ? 1 : 0);
    KR_Store(inst_->isActiveTrack, active ? 1 : 0);
  }
  void setKeyswitches(const std::vector<int32_t>& notes) {
    static const int32_t none = 0;  // a zero-length value still needs a data pointer
    KR_SetProperty(inst_, kKorvelProperty_ArticulationNotes, 0, 0,
                   notes.empty() ? &none : notes.data(), static_cast<uint32_t>(notes.size() * 4));
  }
  void send(uint32_t status, uint32_t d1, uint32_t d2) { KR_MIDIEvent(inst_, status, d1, d2, 0); }
  std::vector<Queued> drain() {
    PendingEvent events[kKorvelMaxPending];
    std::vector<Queued> queued;
    for (int i = 0, n = KR_DrainPending(inst_, events); i < n; ++i)
      queued.push_back(
          {events[i].status, events[i].dataByte1, events[i].dataByte2, events[i].length});
    return queued;
  }

 private:
  KorvelInstance* inst_;
};

}  // namespace korvel::test
