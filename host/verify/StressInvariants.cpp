#include "host/verify/StressInvariants.h"

#include <cstdio>
#include <cstring>

namespace korvel::host::stress {
namespace {

std::string Hex2(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", v & 0xFF);
  return text;
}

}  // namespace

std::optional<std::string> CheckDrain(const uint8_t* data, uint32_t size) {
  if (size < 4 || (size - 4) % 4 != 0) return "drain reported size " + std::to_string(size);
  uint32_t count;
  std::memcpy(&count, data, 4);
  if (count > 256) return "drain returned " + std::to_string(count) + " entries (more than 256)";
  if (size != 4 + 4 * count)
    return "drain of " + std::to_string(count) + " entries reported size " + std::to_string(size);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = data + 4 + 4 * i;
    const std::string at = "drained entry " + std::to_string(i) + " (" + Hex2(e[0]) + " " +
                           Hex2(e[1]) + " " + Hex2(e[2]) + " length " + std::to_string(e[3]) + ")";
    if (e[0] < 0x80 || e[0] >= 0xF0) return at + ": not a channel status";
    if (e[1] >= 0x80 || e[2] >= 0x80) return at + ": data byte of 80 or more";
    if (e[3] != 2 && e[3] != 3) return at + ": length is neither 2 nor 3";
    if (e[3] != ChannelMessageLength(e[0])) return at + ": length does not fit the status";
  }
  return std::nullopt;
}

std::optional<std::string> CheckTrackName(const char* bytes256,
                                          const std::set<std::string>& written) {
  const void* nul = std::memchr(bytes256, 0, 256);
  if (!nul) return std::string("track name has no NUL within its 256 bytes");
  std::string name(bytes256, static_cast<const char*>(nul));
  if (name.empty() || written.count(name)) return std::nullopt;
  std::string shown = name.size() > 40 ? name.substr(0, 40) + "..." : name;
  return "track name \"" + shown + "\" (" + std::to_string(name.size()) +
         " bytes) is none of the names written";
}

std::optional<std::string> CheckCCValues(const uint8_t* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (bytes[i] >= 0x80)
      return "CC value " + Hex2(bytes[i]) + " on channel " + std::to_string(i / 128 + 1) +
             ", controller " + std::to_string(i % 128);
  return std::nullopt;
}

std::optional<std::string> CheckCCTriggered(const uint8_t* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (bytes[i] > 1)
      return "CC-triggered flag " + Hex2(bytes[i]) + " for controller " + std::to_string(i);
  return std::nullopt;
}

std::optional<std::string> CheckBytesFromWritten(const uint8_t* read, size_t size,
                                                 const std::vector<std::vector<uint8_t>>& written,
                                                 const char* what) {
  for (size_t i = 0; i < size; ++i) {
    bool known = false;
    for (const auto& w : written) known = known || (i < w.size() && w[i] == read[i]);
    if (!known)
      return std::string(what) + " byte " + std::to_string(i) + " is " + Hex2(read[i]) +
             ", which no write put there";
  }
  return std::nullopt;
}

bool ThruMatches(const MIDIPacketList* packets, uint8_t status, uint8_t data1, uint8_t data2,
                 const char** problem) {
  if (!packets || packets->numPackets != 1) {
    *problem = "thru packet list does not hold exactly one packet";
    return false;
  }
  const MIDIPacket& p = packets->packet[0];
  if (p.length != ChannelMessageLength(status)) {
    *problem = "thru packet has the wrong length for its status";
    return false;
  }
  const uint8_t expected[3] = {status, data1, data2};
  if (std::memcmp(p.data, expected, p.length) != 0) {
    *problem = "thru packet bytes differ from the event sent";
    return false;
  }
  return true;
}

}  // namespace korvel::host::stress
