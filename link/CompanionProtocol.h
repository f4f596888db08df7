// What the plug-in and the companion agree on: names, IDs and message bytes. The
// companion stand-in decodes with the same constants.
#pragma once

#include <cstdint>

#include "platform/AudioComponent.h"

namespace korvel::link {

/* The companion's MIDI destination carries the unique ID 'TVLK'. */
inline constexpr int32_t kCompanionDestinationID = static_cast<int32_t>(KORVEL_FOURCC('T', 'V', 'L', 'K'));
inline constexpr const char* kMIDIClientName = "KorvelV2AU";
inline constexpr const char* kMIDIPortName = "KorvelV2Out";
inline constexpr const char* kTrackChangedNotification = "com.tolvane.trackChanged";
inline constexpr const char* kCompanionBundleIdentifier = "com.tolvane.Tolvane";

inline constexpr uint8_t kSysExStart = 0xF0;
inline constexpr uint8_t kSysExEnd = 0xF7;
inline constexpr uint8_t kManufacturerNonCommercial = 0x7D;
/* F0 7D g0..g4 command F7 */
inline constexpr int kCommandLength = 9;
/* F0 7D g0..g4 F7, followed in the same packet list by the event's own packet */
inline constexpr int kTagLength = 8;

inline constexpr uint8_t kCommandConnect = 1;
inline constexpr uint8_t kCommandDisconnect = 2;
inline constexpr uint8_t kCommandHeartbeat = 3;

/* The UID from the five 7-bit groups of a header (bytes 2..6). */
inline uint32_t DecodeUID(const uint8_t* groups) {
  return (uint32_t(groups[0]) << 28) | (uint32_t(groups[1]) << 21) | (uint32_t(groups[2]) << 14) |
         (uint32_t(groups[3]) << 7) | uint32_t(groups[4]);
}

}  // namespace korvel::link
