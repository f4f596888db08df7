/*
 * Whether this instance sits on the companion's active track. The companion names that
 * track in one of two small text files: by the UID of the instance on it (preferred) or,
 * when the UID file cannot be read, by the track's name.
 */
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "link/CompanionLink.h"
#include "link/SharedPaths.h"
#include "platform/SafeFile.h"
#include "platform/UnicodeText.h"
#include "record/KorvelInstance.h"

namespace {

/* The file as trimmed UTF-8 text; nothing when it cannot be read or is not UTF-8. */
std::optional<std::string> ReadTrimmedText(const std::string& path) {
  auto bytes = korvel::platform::ReadSharedFile(path);
  if (!bytes || !korvel::IsValidUTF8(*bytes)) return std::nullopt;
  return std::string(korvel::TrimWhiteSpaceAndLineBreaks(*bytes));
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* A UID as the companion writes it: hexadecimal with an optional 0x, or, for a text that
   does not start that way, decimal. Only the low 32 bits count. */
uint32_t ParseActiveUID(const std::string& text) {
  size_t pos = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
      HexDigitValue(text[2]) >= 0) {
    pos = 2;
  }
  if (pos < text.size() && HexDigitValue(text[pos]) >= 0) {
    uint64_t value = 0;
    for (; pos < text.size() && HexDigitValue(text[pos]) >= 0; ++pos) {
      value = (value << 4) | static_cast<uint64_t>(HexDigitValue(text[pos]));
    }
    return static_cast<uint32_t>(value);
  }
  // strtoull accepts a sign (a negative number wraps) and gives 0 without digits.
  return static_cast<uint32_t>(std::strtoull(text.c_str(), nullptr, 10));
}

bool IsActiveTrack(KorvelInstance* inst) {
  const bool connected = KR_Load(inst->isConnected) != 0;
  if (auto uidText = ReadTrimmedText(korvel::link::ActiveUIDFilePath())) {
    if (uidText->empty() || *uidText == "0") return false;
    const uint32_t active = ParseActiveUID(*uidText);
    return connected && active != 0 && active == KR_Load(inst->uniqueID);
  }
  if (auto activeName = ReadTrimmedText(korvel::link::ActiveTrackFilePath())) {
    if (!connected) return false;
    char name[kKorvelTrackNameSize];
    KR_CopyTrackName(inst, name);
    std::string_view nameBytes(name, strnlen(name, sizeof name));
    // A name that is not UTF-8 decodes to nothing and so matches nothing but an empty file.
    if (!korvel::IsValidUTF8(nameBytes)) nameBytes = {};
    return *activeName == nameBytes;
  }
  return false;
}

}  // namespace

void KR_CheckActiveTrack(KorvelInstance* inst) {
  if (!inst) return;
  bool active = false;
  try {
    active = IsActiveTrack(inst);
  } catch (...) {
    active = false;  // out of memory reading a file: as if it could not be read
  }
  KR_Store(inst->isActiveTrack, active ? 1 : 0);
}
