// UTF-8 checks shared by the component, the link files and the editor.
#ifndef KORVEL_COMPONENT_TEXTENCODING_H
#define KORVEL_COMPONENT_TEXTENCODING_H

#include <cstddef>
#include <string_view>

namespace korvel {

/* Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. */
bool IsValidUTF8(std::string_view text);

/* The length of the longest prefix of `text` that is at most `maxBytes` long and does
 * not end inside a multi-byte character. */
size_t UTF8PrefixLength(std::string_view text, size_t maxBytes);

}  // namespace korvel

#endif
