// libplist (as Debian builds it) aborts on a string or key that holds a NUL byte when
// its text is read back, so a property-list table is checked for such text before it is
// parsed: it could come from any file in the companion's bundle.
#pragma once

#include <string_view>

namespace korvel::localization {

// True when an XML property list contains a NUL byte, or a binary one has an ASCII or
// UTF-16 string object containing a zero character.
bool PlistHoldsTextWithNUL(std::string_view bytes);

}  // namespace korvel::localization
