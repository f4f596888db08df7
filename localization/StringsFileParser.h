// The text format of Localizable.strings tables:
//
//     /* comment */   // comment
//     "key" = "value";
//     unquoted_key = "value";
//     "same" ;                      (a key alone: its own value)
//
// optionally wrapped in one pair of braces (the old-style property-list dictionary).
// Strings are quoted with " or ', or unquoted runs of [A-Za-z0-9_$/:.-]. Escapes inside
// quotes: \n \t \r \a \b \f \v, octal \0 to \377, \uXXXX and \UXXXX (one to four hex
// digits; a surrogate pair in two escapes becomes one character, a lone surrogate becomes
// U+FFFD), and a backslash before any other character stands for that character (\" \'
// \\). A later entry for a key replaces an earlier one.
//
// Encoding: UTF-16 little or big endian with its byte-order mark, or UTF-8 with or
// without one. Anything malformed — bad syntax, an unterminated string or comment, a
// nested array or dictionary value, invalid UTF-8 or UTF-16, a NUL character in the raw
// text — gives no table at all, never a partial one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "localization/StringsTable.h"

namespace korvel::localization {

/* The file's bytes decoded to UTF-8 by their byte-order mark (none: UTF-8), or nothing
 * when they are not valid text in that encoding. */
std::optional<std::string> DecodeStringsFileText(std::string_view bytes);

/* Parses a whole .strings file (raw bytes, any of the encodings above). */
std::optional<StringsTable> ParseStringsFile(std::string_view bytes);

}  // namespace korvel::localization
