// What the plug-in and the companion agree on: names, IDs and message bytes. The record
// builds its SysEx header, the link sends and the companion stand-in decodes with these
// same constants, and tests and benchmarks speak to either side with them.
#pragma once

#include <cstdint>

namespace korvel::link {

/* The companion's MIDI destination carries the unique ID 'TVLK'. */
inline constexpr int32_t kCompanionDestinationID = ('T' << 24) | ('V' << 16) | ('L' << 8) | 'K';
inline constexpr const char* kMIDIClientName = "KorvelV2AU";
inline constexpr const char* kMIDIPortName = "KorvelV2Out";
inline constexpr const char* kTrackChangedNotification = "com.tolvane.trackChanged";
inline constexpr const char* kCompanionBundleIdentifier = "com.tolvane.Tolvane";

inline constexpr uint8_t kSysExStart = 0xF0;
inline constexpr uint8_t kSysExEnd = 0xF7;
inline constexpr uint8_t kManufacturerNonCommercial = 0x7D;
/* F0 7D g0..g4: the header that opens every message */
inline constexpr int kHeaderLength = 7;
/* F0 7D g0..g4 command F7 */
inline constexpr int kCommandLength = 9;
/* F0 7D g0..g4 F7, followed in the same packet list by the event's own packet */
inline constexpr int kTagLength = 8;

inline constexpr uint8_t kCommandConnect = 1;
inline constexpr uint8_t kCommandDisconnect = 2;
inline constexpr uint8_t kCommandHeartbeat = 3;

/* The header for `uid`: F0 7D and the UID in five groups of 4+7+7+7+7 bits. */
inline void EncodeHeader(uint32_t uid, uint8_t out[kHeaderLength]) {
  out[0] = kSysExStart;
  out[1] = kManufacturerNonCommercial;
  out[2] = static_cast<uint8_t>(uid >> 28);
  out[3] = static_cast<uint8_t>((uid >> 21) & 0x7F);
  out[4] = static_cast<uint8_t>((uid >> 14) & 0x7F);
  out[5] = static_cast<uint8_t>((uid >> 7) & 0x7F);
  out[6] = static_cast<uint8_t>(uid & 0x7F);
}

/* The UID from the five 7-bit groups of a header (bytes 2..6). */
inline uint32_t DecodeUID(const uint8_t* groups) {
  return (uint32_t(groups[0]) << 28) | (uint32_t(groups[1]) << 21) | (uint32_t(groups[2]) << 14) |
         (uint32_t(groups[3]) << 7) | uint32_t(groups[4]);
}

}  // namespace korvel::link
