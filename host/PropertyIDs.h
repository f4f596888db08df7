// The component's own property IDs, as a host that talks to Korvel knows them.
#pragma once

#include <cstdint>

namespace korvel::host {

enum KorvelProperty : uint32_t {
  kCCValues = 65001,            // 16 x 128 bytes, channel-major
  kUniqueID = 65002,            // u32
  kConnected = 65003,           // u32 0/1
  kTrackName = 65004,           // 256 bytes, NUL-terminated UTF-8
  kActiveArticulation = 65005,  // i32, -1 for none
  kLastVelocity = 65006,        // u32
  kArticulationNotes = 65008,   // up to 128 x i32, set only
  kPendingEvents = 65009,       // u32 count + 4-byte entries, drains the queue
  kActiveTrack = 65010,         // u32 0/1
  kCompanionCommand = 65011,    // u32 1 (connect) or 2 (disconnect), set only
  kCCTriggered = 65012,         // 128 bytes
};

}  // namespace korvel::host
