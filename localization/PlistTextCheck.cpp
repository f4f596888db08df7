#include "localization/PlistTextCheck.h"

#include <cstdint>
#include <cstddef>

namespace korvel::localization {

namespace {

uint64_t BigEndian(std::string_view bytes, size_t at, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

}  // namespace

bool PlistHoldsTextWithNUL(std::string_view bytes) {
  if (bytes.substr(0, 6) != "bplist") return bytes.find('\0') != std::string_view::npos;
  if (bytes.size() < 8 + 32) return false;
  const size_t trailer = bytes.size() - 32;
  const size_t offsetSize = static_cast<unsigned char>(bytes[trailer + 6]);
  const uint64_t objects = BigEndian(bytes, trailer + 8, 8);
  const uint64_t table = BigEndian(bytes, trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || table > trailer ||
      objects > (trailer - table) / offsetSize)
    return false;
  for (uint64_t i = 0; i < objects; ++i) {
    const uint64_t at = BigEndian(bytes, table + i * offsetSize, offsetSize);
    if (at >= trailer) continue;
    const unsigned char marker = static_cast<unsigned char>(bytes[at]);
    const unsigned kind = marker >> 4;
    if (kind != 0x5 && kind != 0x6) continue;
    uint64_t length = marker & 0x0F;
    size_t start = at + 1;
    if (length == 0x0F) {  // the length follows as an integer object
      if (start >= trailer || (static_cast<unsigned char>(bytes[start]) >> 4) != 0x1) continue;
      const size_t width = size_t(1) << (bytes[start] & 0x0F);
      if (width > 8 || start + 1 + width > trailer) continue;
      length = BigEndian(bytes, start + 1, width);
      start += 1 + width;
    }
    const uint64_t size = kind == 0x6 ? length * 2 : length;
    if (length > trailer || start + size > trailer) continue;
    for (uint64_t k = 0; k < length; ++k) {
      if (kind == 0x5 && bytes[start + k] == '\0') return true;
      if (kind == 0x6 && BigEndian(bytes, start + 2 * k, 2) == 0) return true;
    }
  }
  return false;
}

}  // namespace korvel::localization
