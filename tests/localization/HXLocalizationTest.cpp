// The localization table against a companion installed in a temporary directory, on a
// clock the tests move by hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "localization/HXLocalization.h"
#include "localization/StringPool.h"
#include "tests/localization/FakeCompanion.h"

namespace korvel::localization {
namespace {

using test::FakeCompanion;

constexpr time_t kT0 = 1'700'000'000;

size_t CountOccurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

class HXLocalizationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    companion.writeDesktopEntry(companion.dataHome(), companion.bundle());
    companion.writeTable("en", "\"cc_label_cc\" = \"CC\";\n\"cc_label_articulations\" = \"Articulations\";\n");
    companion.writeTable("de", "\"cc_label_cc\" = \"Controller\";\n\"cc_label_articulations\" = \"Artikulationen\";\n"
                               "\"empty\" = \"\";\n");
    companion.writeTable("fr", "\"cc_label_cc\" = \"Contr\u00f4leurs\";\n");
    companion.writeTable("zh-Hans", "\"cc_label_cc\" = \"\u63a7\u5236\u5668\";\n");
  }

  // A table created the way the shared instance is: constructed, then loaded once.
  std::unique_ptr<HXLocalization> loaded() {
    auto localization = std::make_unique<HXLocalization>(companion.environment());
    localization->reload();
    return localization;
  }

  FakeCompanion companion;
};

TEST_F(HXLocalizationTest, StartsEmptyInEnglishWithoutReadingFiles) {
  companion.writeLanguage("de", kT0);
  HXLocalization localization(companion.environment());
  EXPECT_EQ(localization.currentLanguage(), "en");
  EXPECT_EQ(localization.languageFilePath(),
            companion.home() + "/Library/Application Support/Tolvane/current_language.txt");
  // The first lookup always checks, and the unseen file's time differs from 0.
  EXPECT_EQ(localization.stringForKey("cc_label_cc", "CC"), "Controller");
}

TEST_F(HXLocalizationTest, LanguageFileSelectsOnlyBareSupportedCodes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" DE \n", "de"},
      {"\t\r\nfr\u00a0\u3000\u2029\u0085", "fr"},
      {"\u2003Es\u202f", "es"},
      {"\xEF\xBB\xBFja\n", "ja"},
      {"\u212Ao", "ko"},  // KELVIN SIGN lower-cases to 'k'
      {"zh\n", "zh"},
      {"zh-Hans", "en"},
      {"en-US", "en"},
      {"pt", "en"},
      {"d e", "en"},
      {"", "en"},
      {"\xFF" "de", "en"},  // not UTF-8
      {"de\u200b", "en"},   // ZERO WIDTH SPACE is not white space
  };
  for (const auto& [contents, expected] : cases) {
    companion.writeLanguage(contents, kT0);
    EXPECT_EQ(loaded()->currentLanguage(), expected) << '"' << contents << '"';
  }
  companion.removeLanguage();
  EXPECT_EQ(loaded()->currentLanguage(), "en");
}

TEST_F(HXLocalizationTest, ChoosesLanguageDirectoryWithEnglishFallback) {
  companion.writeLanguage("zh", kT0);
  auto chinese = loaded();
  EXPECT_EQ(chinese->currentLanguage(), "zh");
  EXPECT_EQ(chinese->stringForKey("cc_label_cc"), "\u63a7\u5236\u5668");

  companion.writeLanguage("ko", kT0);  // no ko.lproj in this bundle
  auto korean = loaded();
  EXPECT_EQ(korean->currentLanguage(), "ko");
  EXPECT_EQ(korean->stringForKey("cc_label_articulations"), "Articulations");

  std::filesystem::remove_all(companion.bundle() + "/Contents/Resources/en.lproj");
  testing::internal::CaptureStderr();
  auto bare = loaded();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // a bundle without tables is not logged
  EXPECT_EQ(bare->currentLanguage(), "ko");
  EXPECT_EQ(bare->stringForKey("cc_label_cc", "CC"), "CC");
}

TEST_F(HXLocalizationTest, FallsBackOnMissingOrEmptyTexts) {
  companion.writeLanguage("de", kT0);
  auto localization = loaded();
  EXPECT_EQ(localization->stringForKey("cc_label_cc", "CC"), "Controller");
  EXPECT_EQ(localization->stringForKey("empty", "Fallback"), "Fallback");
  EXPECT_EQ(localization->stringForKey("empty", ""), "empty");
  EXPECT_EQ(localization->stringForKey("empty"), "empty");
  EXPECT_EQ(localization->stringForKey("missing", "Fallback"), "Fallback");
  EXPECT_EQ(localization->stringForKey("missing", ""), "missing");
}

TEST_F(HXLocalizationTest, SeesLanguageChangeOnlyAtTheFirstCheckFiveSecondsAfterThePrevious) {
  companion.writeLanguage("de", kT0);
  auto localization = loaded();
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "Controller");  // check at now, nothing changed

  companion.writeLanguage("fr", kT0 + 3);
  companion.now += 4.9;
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "Controller");
  EXPECT_EQ(localization->currentLanguage(), "de");
  companion.now += 0.1;  // exactly 5.0 s after the last check
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "Contr\u00f4leurs");
  EXPECT_EQ(localization->currentLanguage(), "fr");

  // The check just made restarts the interval, whatever lookups came between.
  companion.writeLanguage("de", kT0 + 9);
  companion.now += 4.99;
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "Contr\u00f4leurs");
  companion.now += 0.01;
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "Controller");
}

TEST_F(HXLocalizationTest, ComparesModificationTimesInWholeSeconds) {
  companion.writeLanguage("de", kT0, 100'000'000);
  auto localization = loaded();
  companion.writeLanguage("fr", kT0, 900'000'000);  // same second
  companion.now += 10;
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "Controller");

  // A file that goes back in time counts as changed too: only equality is compared.
  companion.writeLanguage("fr", kT0 - 60);
  companion.now += 5;
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "Contr\u00f4leurs");
}

TEST_F(HXLocalizationTest, DeletedLanguageFileKeepsLanguageAndTable) {
  companion.writeLanguage("de", kT0);
  auto localization = loaded();
  companion.removeLanguage();
  for (int i = 0; i < 3; ++i) {
    companion.now += 5;
    EXPECT_EQ(localization->stringForKey("cc_label_cc"), "Controller");
    EXPECT_EQ(localization->currentLanguage(), "de");
  }
  // Written again with the time of the loaded file: still nothing to load.
  companion.writeLanguage("fr", kT0);
  companion.now += 5;
  EXPECT_EQ(localization->currentLanguage(), "de");
}

TEST_F(HXLocalizationTest, ReadsPropertyListTables) {
  companion.writeTable("ja",
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                       "<key>cc_label_cc</key><string>\u30b3\u30f3\u30c8\u30ed\u30fc\u30e9\u30fc</string>"
                       "<key>count</key><integer>2</integer></dict></plist>\n");
  companion.writeLanguage("ja", kT0);
  auto localization = loaded();
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "\u30b3\u30f3\u30c8\u30ed\u30fc\u30e9\u30fc");
  EXPECT_EQ(localization->stringForKey("count", "n"), "n");

  companion.writeTable("ja", "\"cc_label_cc\" = \"broken");
  companion.writeLanguage("ja", kT0 + 1);
  companion.now += 5;
  EXPECT_EQ(localization->stringForKey("cc_label_cc", "CC"), "CC");
}

class CompanionSearchTest : public HXLocalizationTest {
 protected:
  void SetUp() override {
    HXLocalizationTest::SetUp();
    std::filesystem::remove(companion.dataHome() + "/applications/com.tolvane.Tolvane.desktop");
    companion.writeLanguage("de", kT0);
  }
};

TEST_F(CompanionSearchTest, WithoutCompanionLogsOncePerFailedLoad) {
  testing::internal::CaptureStderr();
  auto localization = loaded();
  EXPECT_EQ(localization->currentLanguage(), "de");
  EXPECT_EQ(localization->stringForKey("cc_label_cc", "CC"), "CC");
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "cc_label_cc");
  companion.now += 5;
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "cc_label_cc");  // unchanged file: no retry
  companion.writeLanguage("fr", kT0 + 1);
  companion.now += 5;
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "cc_label_cc");
  EXPECT_EQ(localization->currentLanguage(), "fr");
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOccurrences(log, std::string(HXLocalization::kCompanionNotFoundMessage) + "\n"), 2u) << log;
}

TEST_F(CompanionSearchTest, UsesFallbackApplicationPathWhenNoEntryNamesOne) {
  std::filesystem::create_directories(companion.fallbackBundle() + "/Contents/Resources");
  std::filesystem::rename(companion.bundle() + "/Contents/Resources/de.lproj",
                          companion.fallbackBundle() + "/Contents/Resources/de.lproj");
  EXPECT_EQ(loaded()->stringForKey("cc_label_cc"), "Controller");
}

TEST_F(CompanionSearchTest, SearchesDataHomeThenDataDirsSkippingUnusableEntries) {
  // Data home names a bundle that does not exist: passed over for the data dir's entry.
  companion.writeDesktopEntry(companion.dataHome(), companion.dir().file("gone/Tolvane.app"));
  companion.writeDesktopEntry(companion.dataDir(), companion.bundle());
  EXPECT_EQ(loaded()->stringForKey("cc_label_cc"), "Controller");

  // A usable data-home entry wins over the data dir's.
  std::string other = companion.dir().file("other/Tolvane.app");
  std::filesystem::create_directories(other + "/Contents/Resources/de.lproj");
  korvel::test::WriteFile(other + "/Contents/Resources/de.lproj/Localizable.strings", "cc_label_cc = Andere;");
  companion.writeDesktopEntry(companion.dataHome(), other);
  EXPECT_EQ(loaded()->stringForKey("cc_label_cc"), "Andere");

  // Unset XDG data home: ~/.local/share/applications. Relative data dirs are ignored even
  // where they would resolve (from the working directory) to an entry.
  HXLocalization::Environment environment = companion.environment();
  environment.xdgDataHome.reset();
  environment.xdgDataDirs = "relative/share";
  companion.writeDesktopEntry(companion.home() + "/.local/share", other);
  companion.writeDesktopEntry(companion.dir().path() + "/relative/share", companion.bundle());
  HXLocalization defaults(environment);
  defaults.reload();
  EXPECT_EQ(defaults.stringForKey("cc_label_cc"), "Andere");

  std::filesystem::remove(companion.home() + "/.local/share/applications/com.tolvane.Tolvane.desktop");
  const std::filesystem::path workingDirectory = std::filesystem::current_path();
  std::filesystem::current_path(companion.dir().path());
  HXLocalization relativeOnly(environment);
  testing::internal::CaptureStderr();
  relativeOnly.reload();
  std::string log = testing::internal::GetCapturedStderr();
  std::filesystem::current_path(workingDirectory);
  EXPECT_EQ(relativeOnly.stringForKey("cc_label_cc", "CC"), "CC");
  EXPECT_EQ(CountOccurrences(log, HXLocalization::kCompanionNotFoundMessage), 1u);
}

TEST_F(HXLocalizationTest, CLookupsHandBackArgumentsOrTextsThatOutliveReloads) {
  companion.writeLanguage("de", kT0);
  auto localization = loaded();
  StringPool pool;
  const char* key = "cc_label_cc";
  const char* fallback = "CC";

  const char* german = LookUpForC(*localization, pool, key, fallback);
  EXPECT_STREQ(german, "Controller");
  EXPECT_EQ(LookUpForC(*localization, pool, key, fallback), german);  // same text, same pointer
  for (int i = 0; i < 100; ++i) LookUpForC(*localization, pool, key, fallback);
  EXPECT_EQ(pool.size(), 1u);

  const char* missing = "missing";
  EXPECT_EQ(LookUpForC(*localization, pool, missing, fallback), fallback);
  EXPECT_EQ(LookUpForC(*localization, pool, missing, ""), missing);
  EXPECT_EQ(LookUpForC(*localization, pool, missing, missing), missing);
  EXPECT_STREQ(LookUpForC(*localization, pool, nullptr, nullptr), "");
  EXPECT_STREQ(LookUpForC(*localization, pool, missing, nullptr), "missing");
  EXPECT_EQ(LookUpForC(*localization, pool, nullptr, fallback), fallback);

  companion.writeLanguage("fr", kT0 + 1);
  companion.now += 5;
  EXPECT_STREQ(LookUpForC(*localization, pool, key, fallback), "Contr\u00f4leurs");
  EXPECT_STREQ(german, "Controller");  // the German table is gone, its text is not
}

}  // namespace
}  // namespace korvel::localization
