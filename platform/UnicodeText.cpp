// Strict UTF-8 checks and Unicode trimming over byte strings (no locale, no allocation).
#include "platform/UnicodeText.h"

#include <cstdint>

namespace korvel {

namespace {
// Length of the well-formed sequence starting at text[i], or 0 if it is malformed.
size_t SequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t b0 = byte(i);
  if (b0 < 0x80) return 1;
  size_t n;
  uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return n;
}
}  // namespace

bool IsValidUTF8(std::string_view text, bool allowNUL) {
  if (!allowNUL && text.find('\0') != std::string_view::npos) return false;
  for (size_t i = 0; i < text.size();) {
    size_t n = SequenceLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

size_t UTF8PrefixLength(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  size_t end = maxBytes;
  // Step back over continuation bytes to the start of the character that straddles the cut.
  while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) --end;
  return end;
}

namespace {

bool IsContinuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

/* The code point of the valid UTF-8 sequence text[begin, end). */
char32_t Decode(std::string_view text, size_t begin, size_t end) {
  const auto lead = static_cast<unsigned char>(text[begin]);
  const size_t length = end - begin;
  static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t value = lead & kLeadBits[length];
  for (size_t i = begin + 1; i < end; ++i) {
    value = (value << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
  }
  return value;
}

size_t EndOfCharacterAt(std::string_view text, size_t begin) {
  size_t end = begin + 1;
  while (end < text.size() && IsContinuation(text[end])) ++end;
  return end;
}

size_t StartOfCharacterBefore(std::string_view text, size_t end) {
  size_t begin = end - 1;
  while (begin > 0 && IsContinuation(text[begin])) --begin;
  return begin;
}

}  // namespace

bool IsWhiteSpaceOrLineBreak(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view TrimWhiteSpaceAndLineBreaks(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t next = EndOfCharacterAt(text, begin);
    if (!IsWhiteSpaceOrLineBreak(Decode(text, begin, next))) break;
    begin = next;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = StartOfCharacterBefore(text, end);
    if (!IsWhiteSpaceOrLineBreak(Decode(text, start, end))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace korvel
