/*
 * Reads a Localizable.strings file as a property list: the .strings text format, or an
 * XML or binary property list whose root is a dictionary. Only string values count; a
 * dictionary's other values (numbers, dates, nested containers) are left out.
 */
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "localization/StringsTable.h"

namespace korvel::localization {

/* The table held in `bytes`, or nothing when they are malformed or not a dictionary. */
std::optional<StringsTable> ParseStringsTable(std::string_view bytes);

/* The same for the file at `path`; a missing, unreadable or oversized file gives nothing. */
std::optional<StringsTable> LoadStringsTable(const std::string& path);

}  // namespace korvel::localization
