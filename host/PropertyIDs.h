// The component's own property IDs, as a host that talks to Korvel knows them.
#pragma once

#include <cstdint>

#include "interface/KorvelProperties.h"

namespace korvel::host {

enum KorvelProperty : uint32_t {
  kCCValues = kKorvelProperty_CCValues,                      // 16 x 128 bytes, channel-major
  kUniqueID = kKorvelProperty_UniqueID,                      // u32
  kConnected = kKorvelProperty_Connected,                    // u32 0/1
  kTrackName = kKorvelProperty_TrackName,                    // 256 bytes, NUL-terminated UTF-8
  kActiveArticulation = kKorvelProperty_ActiveArticulation,  // i32, -1 for none
  kLastVelocity = kKorvelProperty_LastVelocity,              // u32
  kArticulationNotes = kKorvelProperty_ArticulationNotes,    // up to 128 x i32, set only
  kPendingEvents = kKorvelProperty_PendingEvents,            // u32 count + 4-byte entries, drains
  kActiveTrack = kKorvelProperty_ActiveTrack,                // u32 0/1
  kCompanionCommand = kKorvelProperty_CompanionCommand,  // u32 1 connect, 2 disconnect; set only
  kCCTriggered = kKorvelProperty_CCTriggered,            // 128 bytes
};

}  // namespace korvel::host
