/*
 * Trimming the companion's small text files the way its own text handling does: Unicode
 * white space and line breaks, not only the ASCII ones.
 */
#ifndef KORVEL_LINK_WHITESPACE_H
#define KORVEL_LINK_WHITESPACE_H

#include <string_view>

namespace korvel::link {

/* U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
   U+202F, U+205F and U+3000. */
bool IsWhiteSpaceOrLineBreak(char32_t c);

/* `text`, which must be valid UTF-8, without white space and line breaks at either end. */
std::string_view TrimWhiteSpaceAndLineBreaks(std::string_view text);

}  // namespace korvel::link

#endif
