/*
 * The companion's current language: the code in its language file, reduced to one of the
 * seven supported codes, and the name of the matching .lproj directory.
 */
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvel::localization {

inline constexpr std::string_view kDefaultLanguage = "en";

bool IsSupportedLanguage(std::string_view code);

/* The language named by the language file's raw bytes (nullopt: no file or unreadable):
 * decoded as UTF-8 (a leading byte-order mark dropped), trimmed, lower-cased, and kept
 * when it is a supported code; otherwise the default language. */
std::string LanguageFromFileContents(const std::optional<std::string>& bytes);

/* "zh-Hans" for "zh", the code itself for every other. */
std::string LanguageDirectoryName(std::string_view language);

}  // namespace korvel::localization
