#include "localization/StringsTableLoader.h"
#include "localization/PlistTextCheck.h"

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

#include "localization/LocalFileReader.h"
#include "localization/StringsFileParser.h"

namespace korvel::localization {

namespace {

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

bool LooksLikeBinaryPlist(std::string_view bytes) { return bytes.substr(0, 6) == "bplist"; }

// An XML property list starts with markup, possibly after a UTF-8 byte-order mark and
// blanks; the .strings text format can never start with '<'.
std::optional<std::string_view> XmlPlistStart(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  size_t first = bytes.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos || bytes[first] != '<') return std::nullopt;
  return bytes.substr(first);
}

std::optional<StringsTable> TableFromPlist(std::string_view bytes) {
  if (PlistHoldsTextWithNUL(bytes)) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  PlistPtr root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;

  StringsTable table;
  plist_dict_iter rawIter = nullptr;
  plist_dict_new_iter(root.get(), &rawIter);
  std::unique_ptr<void, FreeDeleter> iter(rawIter);
  for (;;) {
    char* rawKey = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root.get(), iter.get(), &rawKey, &value);
    std::unique_ptr<char, FreeDeleter> key(rawKey);
    if (!value) break;
    if (!key || plist_get_node_type(value) != PLIST_STRING) continue;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(value, &length);
    table.insert_or_assign(std::string(key.get()),
                           std::string(text ? text : "", text ? length : 0));
  }
  return table;
}

}  // namespace

std::optional<StringsTable> ParseStringsTable(std::string_view bytes) {
  if (LooksLikeBinaryPlist(bytes)) return TableFromPlist(bytes);
  if (std::optional<std::string_view> xml = XmlPlistStart(bytes)) return TableFromPlist(*xml);
  return ParseStringsFile(bytes);
}

std::optional<StringsTable> LoadStringsTable(const std::string& path) {
  std::optional<std::string> bytes = ReadLocalFile(path, kMaxStringsTableSize);
  if (!bytes) return std::nullopt;
  return ParseStringsTable(*bytes);
}

}  // namespace korvel::localization
