/*
 * The two active-track files. Input layout:
 *   byte 0        flags: bit 0 the instance is connected, bit 1 the UID file exists,
 *                 bit 2 the track-name file exists
 *   bytes 1..4    the instance's UID, little endian (0: 1234ABCD)
 *   the rest      UID file, track-name file and the instance's track name, separated
 *                 by the byte 1E
 * KR_CheckActiveTrack must come to the same answer as the rules computed here.
 */
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "identity/UIDRegistry.h"
#include "link/CompanionLink.h"
#include "link/SharedPaths.h"
#include "record/KorvelInstance.h"

namespace {

using namespace korvel::fuzz;

/* One code point of valid UTF-8 at `i`, and its length. */
char32_t Decode(std::string_view text, size_t i, size_t* length) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  if (b(i) < 0x80) return *length = 1, b(i);
  if (b(i) < 0xE0) return *length = 2, char32_t(b(i) & 0x1F) << 6 | (b(i + 1) & 0x3F);
  if (b(i) < 0xF0)
    return *length = 3,
           char32_t(b(i) & 0x0F) << 12 | char32_t(b(i + 1) & 0x3F) << 6 | (b(i + 2) & 0x3F);
  return *length = 4, char32_t(b(i) & 0x07) << 18 | char32_t(b(i + 1) & 0x3F) << 12 |
                          char32_t(b(i + 2) & 0x3F) << 6 | (b(i + 3) & 0x3F);
}

bool IsBlank(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

/* The file's text without white space and line breaks at either end; nothing when the
 * file is absent or not UTF-8. */
std::optional<std::string> TrimmedText(std::optional<std::string_view> file) {
  if (!file || !IsStrictUTF8(*file)) return std::nullopt;
  std::string_view text = *file;
  size_t start = 0, end = 0, i = 0;
  bool seenNonBlank = false;
  while (i < text.size()) {
    size_t length;
    char32_t c = Decode(text, i, &length);
    if (!IsBlank(c)) {
      if (!seenNonBlank) start = i;
      seenNonBlank = true;
      end = i + length;
    }
    i += length;
  }
  if (!seenNonBlank) return std::string();
  return std::string(text.substr(start, end - start));
}

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

uint32_t ActiveUID(const std::string& text) {
  size_t pos = 0;
  if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
      IsHexDigit(text[2]))
    pos = 2;
  if (pos < text.size() && IsHexDigit(text[pos])) {
    // Only the low 32 bits count: the last eight digits.
    size_t end = pos;
    while (end < text.size() && IsHexDigit(text[end])) ++end;
    const size_t first = end - pos > 8 ? end - 8 : pos;
    return static_cast<uint32_t>(
        std::strtoull(std::string(text, first, end - first).c_str(), nullptr, 16));
  }
  return static_cast<uint32_t>(std::strtoull(text.c_str(), nullptr, 10));
}

bool ExpectedActive(bool connected, uint32_t uid, const std::string& trackName,
                    std::optional<std::string_view> uidFile,
                    std::optional<std::string_view> trackFile) {
  if (auto text = TrimmedText(uidFile)) {
    if (text->empty() || *text == "0") return false;
    const uint32_t active = ActiveUID(*text);
    return connected && active != 0 && active == uid;
  }
  if (auto text = TrimmedText(trackFile)) {
    return connected && *text == (IsStrictUTF8(trackName) ? trackName : std::string());
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  RedirectSharedFiles();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t flags = data[0];
  uint32_t uid;
  std::memcpy(&uid, data + 1, 4);
  if (uid == 0) uid = 0x1234ABCD;
  const std::vector<std::string_view> parts =
      Split(std::string_view(reinterpret_cast<const char*>(data) + 5, size - 5), "\x1E");
  const std::string_view uidFile = parts[0];
  const std::string_view trackFile = parts.size() > 1 ? parts[1] : std::string_view();
  const std::string_view name = parts.size() > 2 ? parts[2] : std::string_view();

  KorvelInstance* inst = NewBareRecord();
  FUZZ_CHECK(KR_SetUniqueIDKeepingRegistry(inst, uid), "claiming a free UID");
  const bool connected = flags & 1;
  KR_Store(inst->isConnected, connected ? 1 : 0);
  KR_SetTrackName(inst, name.data(), name.size());
  const std::string storedName = TrackNameOf(inst);
  FUZZ_CHECK(storedName == std::string(name.substr(0, kKorvelTrackNameSize - 1)).c_str(),
             "KR_SetTrackName stored something else");

  const std::string uidPath = korvel::link::ActiveUIDFilePath();
  const std::string trackPath = korvel::link::ActiveTrackFilePath();
  std::optional<std::string_view> uidContents, trackContents;
  if (flags & 2) {
    FUZZ_CHECK(WriteWholeFile(uidPath, uidFile), "writing the UID file");
    uidContents = uidFile;
  } else {
    RemoveFile(uidPath);
  }
  if (flags & 4) {
    FUZZ_CHECK(WriteWholeFile(trackPath, trackFile), "writing the track-name file");
    trackContents = trackFile;
  } else {
    RemoveFile(trackPath);
  }

  const bool expected = ExpectedActive(connected, uid, storedName, uidContents, trackContents);
  // Start from the opposite answer so that a check that did nothing shows.
  KR_Store(inst->isActiveTrack, expected ? 0 : 1);
  KR_CheckActiveTrack(inst);
  FUZZ_CHECK(KR_Load(inst->isActiveTrack) == (expected ? 1 : 0),
             std::string("isActiveTrack is ") + (expected ? "false" : "true") + " for UID " +
                 std::to_string(uid));
  CheckRecordInvariants(inst);

  FreeBareRecord(inst);
  return 0;
}
