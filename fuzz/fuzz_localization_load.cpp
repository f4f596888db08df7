/*
 * The localization table's whole load: the companion's language file and its strings
 * table come from the input, in a companion bundle and home directory of this process's
 * own. Input layout:
 *   byte 0   flags: bit 0 the language file exists, bit 1 the table sits in the chosen
 *            language's directory (otherwise in en.lproj), bit 2 the table exists
 *   then     the language file's bytes, the byte 1E, the table's bytes
 * After reload() the language must be the one the file names (or "en"), and every
 * lookup must answer from exactly the table that the loader reads from those bytes.
 */
#include <glib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "localization/HXLocalization.h"
#include "localization/StringPool.h"
#include "localization/StringsTableLoader.h"

namespace {

using namespace korvel::fuzz;
using korvel::localization::HXLocalization;
using korvel::localization::StringsTable;
namespace fs = std::filesystem;

bool IsBlank(gunichar c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  const GUnicodeType type = g_unichar_type(c);
  return type == G_UNICODE_SPACE_SEPARATOR || type == G_UNICODE_LINE_SEPARATOR ||
         type == G_UNICODE_PARAGRAPH_SEPARATOR;
}

/* The language a file with these bytes selects: UTF-8 (without a byte-order mark),
 * trimmed, lower-cased by the full Unicode rules, and one of the seven codes. */
std::string ExpectedLanguage(std::optional<std::string_view> file) {
  if (!file) return "en";
  std::string_view text = *file;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (!g_utf8_validate_len(text.data(), text.size(), nullptr)) return "en";
  std::u32string chars;
  for (const char* p = text.data(); p < text.data() + text.size(); p = g_utf8_next_char(p))
    chars.push_back(g_utf8_get_char(p));
  size_t begin = 0, end = chars.size();
  while (begin < end && IsBlank(chars[begin])) ++begin;
  while (end > begin && IsBlank(chars[end - 1])) --end;
  std::string trimmed;
  for (size_t i = begin; i < end; ++i) {
    char buffer[8];
    trimmed.append(buffer, static_cast<size_t>(g_unichar_to_utf8(chars[i], buffer)));
  }
  std::unique_ptr<gchar, decltype(&g_free)> lower(
      g_utf8_strdown(trimmed.data(), static_cast<gssize>(trimmed.size())), &g_free);
  const std::string code(lower.get());
  for (const char* supported : {"de", "en", "fr", "es", "ja", "ko", "zh"})
    if (code == supported) return code;
  return "en";
}

struct Layout {
  std::string root = PrivateDirectory() + "/localization";
  std::string home = root + "/home";
  std::string bundle = root + "/Tolvane.app";
  std::string resources = bundle + "/Contents/Resources";
  std::string languageFile = home + "/Library/Application Support/Tolvane/current_language.txt";
};

// A fixed clock: the table's throttle is not what this target is about.
double gNow = 1.0e9;

HXLocalization::Environment TestEnvironment(const Layout& layout) {
  HXLocalization::Environment environment;
  environment.now = [] { return gNow; };
  environment.homeDirectory = layout.home;
  environment.xdgDataHome = layout.root + "/no-data-home";
  environment.xdgDataDirs = layout.root + "/no-data-dirs";
  environment.fallbackApplicationPath = layout.bundle;
  return environment;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const Layout layout;
  const uint8_t flags = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t separator = rest.find('\x1E');
  const std::string_view languageBytes = rest.substr(0, separator);
  const std::string_view tableBytes =
      separator == std::string_view::npos ? std::string_view() : rest.substr(separator + 1);

  std::error_code ignored;
  fs::remove_all(layout.root, ignored);
  fs::create_directories(fs::path(layout.languageFile).parent_path());
  fs::create_directories(layout.resources);

  std::optional<std::string_view> languageFile;
  if (flags & 1) {
    FUZZ_CHECK(WriteWholeFile(layout.languageFile, languageBytes), "writing the language file");
    languageFile = languageBytes;
  }
  const std::string language = ExpectedLanguage(languageFile);
  const std::string directory = (flags & 2) ? (language == "zh" ? "zh-Hans" : language) : "en";
  fs::create_directories(layout.resources + "/" + directory + ".lproj");
  StringsTable expected;
  if (flags & 4) {
    const std::string tablePath = layout.resources + "/" + directory + ".lproj/Localizable.strings";
    FUZZ_CHECK(WriteWholeFile(tablePath, tableBytes), "writing the strings table");
    if (auto parsed = korvel::localization::ParseStringsTable(tableBytes))
      expected = std::move(*parsed);
  }

  HXLocalization localization(TestEnvironment(layout));
  FUZZ_CHECK(localization.currentLanguage() == "en", "a new table must start in English");
  localization.reload();
  FUZZ_CHECK(localization.currentLanguage() == language,
             "language '" + localization.currentLanguage() + "', expected '" + language + "'");

  korvel::localization::StringPool pool;
  const std::string fallback = "\x01not a translation";
  for (const auto& [key, value] : expected) {
    const std::string_view found = localization.stringForKey(key, fallback);
    FUZZ_CHECK(found == (value.empty() ? std::string_view(fallback) : std::string_view(value)),
               "lookup of a key in the table");
    const std::string_view own = localization.stringForKey(key);
    FUZZ_CHECK(own == (value.empty() ? std::string_view(key) : std::string_view(value)),
               "lookup without fallback");
    // A key with a NUL cannot be asked for through the C lookup at all.
    if (key.find('\0') != std::string::npos) continue;
    const char* c = korvel::localization::LookUpForC(localization, pool, key.c_str(), "");
    FUZZ_CHECK(c != nullptr, "a C lookup returned null");
    // A C string ends at the first NUL of whatever it stands for.
    const std::string& answer = value.empty() ? key : value;
    FUZZ_CHECK(std::string_view(c) == std::string_view(answer.c_str()), "C lookup answer");
  }
  const std::string missing = "\x02key that no table holds";
  if (!expected.count(missing)) {
    FUZZ_CHECK(localization.stringForKey(missing, "fb") == "fb",
               "a missing key must give the fallback");
    FUZZ_CHECK(localization.stringForKey(missing, "") == missing,
               "a missing key without fallback must give the key");
  }
  return 0;
}
