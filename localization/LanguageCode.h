/*
 * The companion's current language: the code in its language file, reduced to one of the
 * seven supported codes, and the name of the matching .lproj directory.
 */
#ifndef KORVEL_LOCALIZATION_LANGUAGECODE_H
#define KORVEL_LOCALIZATION_LANGUAGECODE_H

#include <optional>
#include <string>
#include <string_view>

namespace korvel::localization {

inline constexpr std::string_view kDefaultLanguage = "en";

/* Unicode white space and line breaks: the Z categories (space, line and paragraph
 * separators) and the controls U+0009 to U+000D and U+0085. */
bool IsWhitespaceOrNewline(char32_t codePoint);

/* `text` without leading and trailing IsWhitespaceOrNewline characters; nothing when it is
 * not valid UTF-8 or holds a NUL (no supported code could contain one either). */
std::optional<std::string_view> TrimWhitespaceAndNewlines(std::string_view text);

bool IsSupportedLanguage(std::string_view code);

/* The language named by the language file's raw bytes (nullopt: no file or unreadable):
 * decoded as UTF-8 (a leading byte-order mark dropped), trimmed, lower-cased, and kept
 * when it is a supported code; otherwise the default language. */
std::string LanguageFromFileContents(const std::optional<std::string>& bytes);

/* "zh-Hans" for "zh", the code itself for every other. */
std::string LanguageDirectoryName(std::string_view language);

}  // namespace korvel::localization

#endif
