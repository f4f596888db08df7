// What the stress phase can tell about one answer of the plug-in on its own: each check
// returns a description of the first inconsistency it finds, or nothing when the answer
// could have come from some interleaving of the calls the stress made. They allocate
// only when they report, so that the real-time thread may use the allocation-free ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/AudioComponent.h"

namespace korvel::host::stress {

// The number of MIDI bytes a channel message with this status stands for.
inline size_t ChannelMessageLength(uint8_t status) { return (status & 0xE0) == 0xC0 ? 2 : 3; }

// A drain of the pending-event queue (property 65009): a count, then 4-byte entries
// (status, data 1, data 2, length). `size` is what the get reported.
std::optional<std::string> CheckDrain(const uint8_t* data, uint32_t size);

// The 256 bytes of the track-name property: NUL-terminated, and one of the names that
// were written (the empty name always counts as written).
std::optional<std::string> CheckTrackName(const char* bytes256,
                                          const std::set<std::string>& written);

// The 2048 bytes of the CC-value table: every value 7-bit.
std::optional<std::string> CheckCCValues(const uint8_t* bytes, size_t size);
// The 128 flags of the CC-triggered table: every byte 0 or 1.
std::optional<std::string> CheckCCTriggered(const uint8_t* bytes, size_t size);

// A value that is shared without a lock may be read while it is being written, so a
// reader may see a mix of two writes, byte by byte; but every byte must come from one of
// the values that were written.
std::optional<std::string> CheckBytesFromWritten(const uint8_t* read, size_t size,
                                                 const std::vector<std::vector<uint8_t>>& written,
                                                 const char* what);

// A thru packet list as the plug-in hands it to the MIDI output callback, against the
// event that was sent; no allocation. False (with `problem` set to a static text) on a
// mismatch.
bool ThruMatches(const MIDIPacketList* packets, uint8_t status, uint8_t data1, uint8_t data2,
                 const char** problem);

}  // namespace korvel::host::stress
