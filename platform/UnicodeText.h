// UTF-8 text as the platform's string handling treats it: strict validation, cutting at a
// whole character, and trimming Unicode white space and line breaks. The one home of these
// checks for the component, the link files, the localization table and the editor.
#pragma once

#include <cstddef>
#include <string_view>

namespace korvel {

/* Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. A NUL byte is a
 * valid character unless `allowNUL` is false. */
bool IsValidUTF8(std::string_view text, bool allowNUL = true);

/* The length of the longest prefix of `text` that is at most `maxBytes` long and does
 * not end inside a multi-byte character. */
size_t UTF8PrefixLength(std::string_view text, size_t maxBytes);

/* Unicode white space and line breaks: the separators (Zs, Zl, Zp), that is U+0020,
 * U+00A0, U+1680, U+2000..U+200A, U+202F, U+205F, U+3000, U+2028 and U+2029, and the
 * controls U+0009..U+000D and U+0085. */
bool IsWhiteSpaceOrLineBreak(char32_t c);

/* `text`, which must be valid UTF-8, without white space and line breaks at either end. */
std::string_view TrimWhiteSpaceAndLineBreaks(std::string_view text);

}  // namespace korvel
