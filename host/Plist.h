// Owning handles and typed reads for libplist nodes, the property-list objects that cross
// the plug-in boundary and make up the project file.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace korvel::host {

struct PlistDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

inline PlistPtr AdoptPlist(plist_t node) { return PlistPtr(node); }

// Integers are stored as 64-bit integer nodes; a 32-bit signed value is read back from
// their low 32 bits so that values written from negative numbers compare equal.
inline std::optional<int64_t> PlistInteger(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
  uint64_t v = 0;
  plist_get_uint_val(node, &v);
  return static_cast<int64_t>(v);
}

inline std::optional<std::string> PlistString(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  // The pointer form: the copying one aborts (in Debian's build) on text holding a NUL.
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  if (!text) return std::nullopt;
  return std::string(text, length);
}

inline plist_t PlistDictItem(plist_t dict, const char* key) {
  if (!dict || plist_get_node_type(dict) != PLIST_DICT) return nullptr;
  return plist_dict_get_item(dict, key);
}

}  // namespace korvel::host
