/*
 * The process-wide table of translated user-interface texts. The language is the one the
 * companion application (Tolvane) names in its language file,
 *     ~/Library/Application Support/Tolvane/current_language.txt,
 * and the texts come from <companion bundle>/Contents/Resources/<dir>.lproj/
 * Localizable.strings. A lookup checks the language file at most once every 5 seconds and
 * reloads only when its modification time (whole seconds) has changed.
 *
 * Threading: only the creation of the shared instance is guarded. Lookups, checks and
 * loads mutate the instance without a lock and must all happen on the main thread.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "localization/StringsTable.h"
#include "platform/Export.h"

namespace korvel::localization {

class StringPool;

class HXLocalization {
 public:
  /* Everything the table depends on outside itself. The shared instance uses Process();
   * tests substitute a clock, a home directory and an XDG environment of their own. */
  struct Environment {
    std::function<double()> now;            /* wall-clock seconds since the epoch */
    std::string homeDirectory;              /* what a leading "~" stands for */
    std::optional<std::string> xdgDataHome; /* nullopt: the variable is unset */
    std::optional<std::string> xdgDataDirs;
    std::string fallbackApplicationPath;

    /* The system clock, $HOME (the password database's home when unset or empty),
     * $XDG_DATA_HOME, $XDG_DATA_DIRS and "/Applications/Tolvane.app". */
    static Environment Process();
  };

  static constexpr double kMinimumCheckInterval = 5.0;
  static constexpr std::string_view kLanguageFileRelativePath =
      "Library/Application Support/Tolvane/current_language.txt";
  static constexpr std::string_view kStringsFileName = "Localizable.strings";
  static constexpr std::string_view kFallbackApplicationPath = "/Applications/Tolvane.app";
  static constexpr const char* kCompanionNotFoundMessage =
      "⚠️ HXLocalization: Tolvane nicht gefunden — Fallback auf keys.";

  /* Empty table, "en", never checked, no modification time; reads no file. */
  HXLocalization();
  explicit HXLocalization(Environment environment);
  HXLocalization(const HXLocalization&) = delete;
  HXLocalization& operator=(const HXLocalization&) = delete;

  const std::string& currentLanguage() const { return _language; }

  /* The throttled check: at most once per kMinimumCheckInterval, and a reload only when
   * the language file's modification time (whole seconds) differs from the last load's. */
  void maybeReload();
  /* Reads the language file and loads the matching table. */
  void reload();

  /* The key's text; when it is missing or empty, `fallback` if that is not empty, else
   * `key`. Falling back returns the very view passed in; a text from the table stays valid
   * only until the next lookup or reload. */
  std::string_view stringForKey(std::string_view key);
  std::string_view stringForKey(std::string_view key, std::string_view fallback);

  /* The tilde-expanded path of the language file. */
  std::string languageFilePath() const;

  /* Created and loaded once per process (safe against racing first calls), never
   * destroyed. */
  static HXLocalization& shared();

 private:
  std::optional<std::string> locateCompanionBundle() const;

  StringsTable _strings;
  std::string _language;
  double _lastLoadCheck;
  int64_t _lastLangFileMtime;
  Environment _environment;
};

/*
 * The C lookups' rules over any instance: UTF-8 in and out; the result is `fallback` or
 * `key` itself where the lookup falls back to it, otherwise a copy interned in `pool`. A
 * null key or fallback counts as "", and where the answer would be that null argument the
 * result is "" (a static empty string): the result is never null.
 */
const char* LookUpForC(HXLocalization& localization, StringPool& pool, const char* key,
                       const char* fallback);

}  // namespace korvel::localization

extern "C" {
/* stringForKey on the shared instance; texts from the table live as long as the process. */
KORVEL_EXPORT const char* HXLoc(const char* key);
/* stringForKey with a fallback on the shared instance; same lifetime rules. */
KORVEL_EXPORT const char* HXLocFB(const char* key, const char* fallback);
}
