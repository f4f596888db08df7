/*
 * Property-list objects cross the component boundary as libplist nodes. Numbers are
 * signed 64-bit integers; this libplist stores integers in unsigned nodes, so the helpers
 * here keep the two's-complement bits and read them back as signed.
 */
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace korvel::platform {

inline plist_t NewIntegerNode(int64_t value) {
  return plist_new_uint(static_cast<uint64_t>(value));
}

/* The integer value of a number node (an integer, or a real truncated toward zero);
 * nothing for any other node. */
inline std::optional<int64_t> IntegerValue(plist_t node) {
  if (node == nullptr) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_UINT: {
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      return static_cast<int64_t>(v);
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      if (!(d > -9.2e18 && d < 9.2e18)) return std::nullopt;
      return static_cast<int64_t>(d);
    }
    default:
      return std::nullopt;
  }
}

inline std::optional<std::string> StringValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  // The pointer form: the copying one aborts (in Debian's build) on text holding a NUL.
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return text ? std::string(text, length) : std::string();
}

struct PlistDeleter {
  void operator()(void* node) const {
    if (node) plist_free(static_cast<plist_t>(node));
  }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

}  // namespace korvel::platform
