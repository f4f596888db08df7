#include "companion/LinkMessages.h"

#include <cstdio>

#include "interface/CompanionProtocol.h"
#include "link/SharedPaths.h"

namespace tolvane {

namespace {

using korvel::link::kManufacturerNonCommercial;
using korvel::link::kSysExEnd;
using korvel::link::kSysExStart;

// The UID of a message that starts with our header, or nothing.
std::optional<uint32_t> HeaderUID(const uint8_t* data, size_t length) {
  if (length < 8 || data[0] != kSysExStart || data[1] != kManufacturerNonCommercial)
    return std::nullopt;
  uint32_t uid = 0;
  for (int i = 2; i < 7; ++i) {
    if (data[i] & 0x80) return std::nullopt;
    uid = (uid << 7) | data[i];
  }
  return uid;
}

}  // namespace

std::optional<LinkMessage> LinkDecoder::feed(const uint8_t* data, size_t length) {
  if (length == 0) return std::nullopt;
  std::optional<uint32_t> tag = pendingTag_;
  pendingTag_.reset();
  if (auto uid = HeaderUID(data, length)) {
    if (length == 8 && data[7] == kSysExEnd) {
      pendingTag_ = uid;
      return std::nullopt;
    }
    if (length == 9 && data[8] == kSysExEnd) {
      LinkMessage message;
      message.kind = LinkMessage::Kind::Command;
      message.uid = *uid;
      message.command = data[7];
      return message;
    }
  }
  LinkMessage message;
  message.kind = tag ? LinkMessage::Kind::Event : LinkMessage::Kind::Untagged;
  message.uid = tag.value_or(0);
  message.bytes.assign(data, data + length);
  return message;
}

std::string DescribeMIDI(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return "empty";
  uint8_t status = bytes[0];
  auto data = [&](size_t i) {
    return i < bytes.size() ? std::to_string(bytes[i]) : std::string("?");
  };
  if (status < 0x80) return "data " + data(0);
  if (status >= 0xF0) {
    if (status == kSysExStart) return "sysex " + std::to_string(bytes.size()) + " bytes";
    char text[16];
    std::snprintf(text, sizeof text, "system %02X", status);
    return text;
  }
  std::string channel = "ch " + std::to_string((status & 0x0F) + 1) + " ";
  switch (status & 0xF0) {
    case 0x80:
      return channel + "note-off " + data(1) + " " + data(2);
    case 0x90:
      return channel + "note-on " + data(1) + " " + data(2);
    case 0xA0:
      return channel + "poly-pressure " + data(1) + " " + data(2);
    case 0xB0:
      return channel + "cc " + data(1) + " " + data(2);
    case 0xC0:
      return channel + "program " + data(1);
    case 0xD0:
      return channel + "pressure " + data(1);
    default: {  // 0xE0, pitch bend: 14 bits, least significant 7 first
      if (bytes.size() < 3) return channel + "bend ?";
      return channel + "bend " + std::to_string((bytes[2] & 0x7F) << 7 | (bytes[1] & 0x7F));
    }
  }
}

std::string FormatLine(const LinkMessage& message) {
  switch (message.kind) {
    case LinkMessage::Kind::Command:
      switch (static_cast<LinkCommand>(message.command)) {
        case LinkCommand::Connect:
          return "connect UID " + korvel::link::UIDText(message.uid);
        case LinkCommand::Disconnect:
          return "disconnect UID " + korvel::link::UIDText(message.uid);
        case LinkCommand::Heartbeat:
          return "heartbeat UID " + korvel::link::UIDText(message.uid);
      }
      return "command " + std::to_string(message.command) + " UID " +
             korvel::link::UIDText(message.uid);
    case LinkMessage::Kind::Event:
      return "event UID " + korvel::link::UIDText(message.uid) + " " + DescribeMIDI(message.bytes);
    case LinkMessage::Kind::Untagged:
      break;
  }
  return "untagged " + DescribeMIDI(message.bytes);
}

}  // namespace tolvane
