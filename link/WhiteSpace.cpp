#include "link/WhiteSpace.h"

#include <cstddef>

namespace korvel::link {
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
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
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

}  // namespace korvel::link
