// What the plug-in instances send to tolvane's destination, decoded.
//
//   command:  F0 7D g0 g1 g2 g3 g4 cmd F7   (9 bytes; 1 connect, 2 disconnect, 3 heartbeat)
//   UID tag:  F0 7D g0 g1 g2 g3 g4 F7       (8 bytes), the event it names comes next
//
// g0..g4 are the UID in 7-bit groups, most significant first. The destination hands
// over one MIDI event at a time, so a tag and its event arrive as two separate messages:
// the decoder remembers the tag until the next message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "interface/CompanionProtocol.h"

namespace tolvane {

enum class LinkCommand : uint8_t {
  Connect = korvel::link::kCommandConnect,
  Disconnect = korvel::link::kCommandDisconnect,
  Heartbeat = korvel::link::kCommandHeartbeat,
};

struct LinkMessage {
  enum class Kind { Command, Event, Untagged };
  Kind kind = Kind::Untagged;
  uint32_t uid = 0;
  uint8_t command = 0;         // Kind::Command
  std::vector<uint8_t> bytes;  // Kind::Event and Kind::Untagged: the MIDI message
};

class LinkDecoder {
 public:
  /* Nothing for a UID tag (it waits for its event) or for an empty message. */
  std::optional<LinkMessage> feed(const uint8_t* data, size_t length);

 private:
  std::optional<uint32_t> pendingTag_;
};

/* "ch 1 note-on 60 100", "ch 3 cc 1 64", "ch 1 bend 8192", "sysex 6 bytes" ... */
std::string DescribeMIDI(const std::vector<uint8_t>& bytes);

/* The line tolvane prints: "connect UID 12345678", "event UID 12345678 ch 1 note-on 60 100". */
std::string FormatLine(const LinkMessage& message);

}  // namespace tolvane
