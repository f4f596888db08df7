#include "localization/LanguageCode.h"

#include <glib.h>

#include <array>

#include "platform/UnicodeText.h"

namespace korvel::localization {

namespace {

constexpr std::array<std::string_view, 7> kSupportedLanguages = {"de", "en", "fr", "es",
                                                                 "ja", "ko", "zh"};
constexpr char32_t kKelvinSign = 0x212A;

// Full Unicode lower-casing, as far as it can matter for the supported codes: ASCII
// letters, and the Kelvin sign, the one non-ASCII character whose lower case is an ASCII
// letter ('k'). Every other character can never be part of a supported code, so it is
// left as it is.
std::string LowercaseForCodeMatch(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    gunichar c = g_utf8_get_char(p);
    const char* next = g_utf8_next_char(p);
    if (c >= 'A' && c <= 'Z') {
      out.push_back(static_cast<char>(c - 'A' + 'a'));
    } else if (c == kKelvinSign) {
      out.push_back('k');
    } else {
      out.append(p, static_cast<size_t>(next - p));
    }
    p = next;
  }
  return out;
}

}  // namespace

bool IsSupportedLanguage(std::string_view code) {
  for (std::string_view supported : kSupportedLanguages) {
    if (code == supported) return true;
  }
  return false;
}

std::string LanguageFromFileContents(const std::optional<std::string>& bytes) {
  if (!bytes) return std::string(kDefaultLanguage);
  std::string_view text = *bytes;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  // No supported code holds a NUL, so a NUL makes the file as unusable as bad UTF-8.
  if (!korvel::IsValidUTF8(text, /*allowNUL=*/false)) return std::string(kDefaultLanguage);
  std::string code = LowercaseForCodeMatch(korvel::TrimWhiteSpaceAndLineBreaks(text));
  return IsSupportedLanguage(code) ? code : std::string(kDefaultLanguage);
}

std::string LanguageDirectoryName(std::string_view language) {
  return language == "zh" ? std::string("zh-Hans") : std::string(language);
}

}  // namespace korvel::localization
