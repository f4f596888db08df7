/*
 * Localizable.strings tables from arbitrary bytes: the .strings text format in UTF-8 or
 * UTF-16, and XML or binary property lists. Whatever the loader returns must survive
 * being written out again: as .strings text (UTF-8 and UTF-16) and as a binary property
 * list, each of which must load back to the very same table.
 */
#include <glib.h>
#include <plist/plist.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "localization/StringsFileParser.h"
#include "localization/StringsTableLoader.h"

namespace {

using korvel::localization::ParseStringsFile;
using korvel::localization::ParseStringsTable;
using korvel::localization::StringsTable;
using namespace korvel::fuzz;

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\0') {
      out += "\\000";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string AsStringsText(const StringsTable& table) {
  std::string out = "/* written back */\n";
  for (const auto& [key, value] : table) out += Quoted(key) + " = " + Quoted(value) + ";\n";
  return out;
}

std::string AsUTF16LE(const std::string& utf8) {
  glong units = 0;
  std::unique_ptr<gunichar2, decltype(&g_free)> text(
      g_utf8_to_utf16(utf8.data(), static_cast<glong>(utf8.size()), nullptr, &units, nullptr),
      &g_free);
  FUZZ_CHECK(text != nullptr, "a table text that is not UTF-8");
  std::string out = "\xFF\xFE";
  for (glong i = 0; i < units; ++i) {
    out += static_cast<char>(text.get()[i] & 0xFF);
    out += static_cast<char>(text.get()[i] >> 8);
  }
  return out;
}

bool HasNUL(const StringsTable& table) {
  for (const auto& [key, value] : table)
    if (key.find('\0') != std::string::npos || value.find('\0') != std::string::npos) return true;
  return false;
}

std::string AsBinaryPlist(const StringsTable& table) {
  plist_t dict = plist_new_dict();
  for (const auto& [key, value] : table)
    plist_dict_set_item(dict, key.c_str(), plist_new_string(value.c_str()));
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict, &bytes, &length);
  plist_free(dict);
  FUZZ_CHECK(bytes != nullptr, "libplist could not write the table");
  std::string out(bytes, length);
  std::free(bytes);
  return out;
}

void CheckSameTable(const std::optional<StringsTable>& reloaded, const StringsTable& table,
                    const char* how) {
  FUZZ_CHECK(reloaded.has_value(), std::string("the table written as ") + how + " does not load");
  FUZZ_CHECK(*reloaded == table, std::string("the table written as ") + how + " loads differently");
}

/* Property-list input: binary, or markup first (after an optional byte-order mark and
 * blanks). Anything else is .strings text. */
bool LooksLikePlist(std::string_view bytes) {
  if (bytes.substr(0, 6) == "bplist") return true;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  const size_t first = bytes.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && bytes[first] == '<';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<StringsTable> table = ParseStringsTable(bytes);

  const bool isPlist = LooksLikePlist(bytes);
  if (!isPlist) {
    const std::optional<StringsTable> text = ParseStringsFile(bytes);
    FUZZ_CHECK(text.has_value() == table.has_value() && (!text || *text == *table),
               "the loader and the .strings parser disagree on text input");
    if (text) {
      // Text input decodes to UTF-8: so must every key and value.
      for (const auto& [key, value] : *text) {
        FUZZ_CHECK(IsStrictUTF8(key) && IsStrictUTF8(value), "a key or value that is not UTF-8");
      }
    }
  }
  if (!table) return 0;

  // Property lists may hold strings that are not UTF-8 (libplist copies bytes); only
  // real text can be written out again.
  for (const auto& [key, value] : *table)
    if (!IsStrictUTF8(key) || !IsStrictUTF8(value)) return 0;

  const std::string text = AsStringsText(*table);
  CheckSameTable(ParseStringsFile(text), *table, ".strings text");
  CheckSameTable(ParseStringsTable(text), *table, ".strings text through the loader");
  CheckSameTable(ParseStringsTable("\xEF\xBB\xBF" + text), *table,
                 ".strings text with a byte-order mark");
  CheckSameTable(ParseStringsTable(AsUTF16LE(text)), *table, "UTF-16 .strings text");
  if (!HasNUL(*table))
    CheckSameTable(ParseStringsTable(AsBinaryPlist(*table)), *table, "a binary property list");
  return 0;
}
