// The localization table against a companion installed in a temporary directory, on a
// clock the tests move by hand.
#include <gtest/gtest.h>

#include <array>
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

namespace fs = std::filesystem;
using test::FakeCompanion;

constexpr time_t kT0 = 1'700'000'000;
const std::string kNotFoundLine = std::string(HXLocalization::kCompanionNotFoundMessage) + "\n";

size_t CountOccurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++count;
  return count;
}

class HXLocalizationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    companion.writeDesktopEntry(companion.dataHome(), companion.bundle());
    companion.writeTable(
        "en", "\"cc_label_cc\" = \"CC\";\n\"cc_label_articulations\" = \"Articulations\";\n");
    companion.writeTable("de", "\"cc_label_cc\" = \"Controller\";\n\"empty\" = \"\";\n");
    companion.writeTable("fr", "\"cc_label_cc\" = \"Contr\u00f4leurs\";\n");
    companion.writeTable("zh-Hans", "\"cc_label_cc\" = \"\u63a7\u5236\u5668\";\n");
  }
  // A table created the way the shared instance is: constructed, then loaded once.
  std::unique_ptr<HXLocalization> loaded(const std::string& language) {
    companion.writeLanguage(language, kT0);
    auto localization = std::make_unique<HXLocalization>(companion.environment());
    localization->reload();
    return localization;
  }
  // The language file rewritten with modification time kT0 + `second`, and the clock moved.
  void rewriteLanguage(const std::string& language, time_t second, double advance,
                       long nanoseconds = 0) {
    companion.writeLanguage(language, kT0 + second, nanoseconds);
    companion.now += advance;
  }

  FakeCompanion companion;
};

TEST_F(HXLocalizationTest, LanguageFileSelectsOnlyBareSupportedCodes) {
  const std::pair<std::string, std::string> cases[] = {
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
      {"\xFF"
       "de",
       "en"},              // not UTF-8
      {"de\u200b", "en"},  // ZERO WIDTH SPACE is not white space
  };
  for (const auto& [contents, expected] : cases)
    EXPECT_EQ(loaded(contents)->currentLanguage(), expected) << '"' << contents << '"';
  auto localization = loaded("de");
  companion.removeLanguage();
  localization->reload();
  EXPECT_EQ(localization->currentLanguage(), "en");
}

TEST_F(HXLocalizationTest, ChoosesLanguageDirectoryWithEnglishFallback) {
  auto chinese = loaded("zh");
  EXPECT_EQ(chinese->currentLanguage(), "zh");
  EXPECT_EQ(chinese->stringForKey("cc_label_cc"), "\u63a7\u5236\u5668");
  auto korean = loaded("ko");  // no ko.lproj in this bundle
  EXPECT_EQ(korean->currentLanguage(), "ko");
  EXPECT_EQ(korean->stringForKey("cc_label_articulations"), "Articulations");

  fs::remove_all(companion.bundle() + "/Contents/Resources/en.lproj");
  testing::internal::CaptureStderr();
  auto bare = loaded("ko");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // a bundle without tables is not logged
  EXPECT_EQ(bare->stringForKey("cc_label_cc", "CC"), "CC");
}

TEST_F(HXLocalizationTest, FallsBackOnMissingEmptyOrUnreadableTexts) {
  auto localization = loaded("de");
  const std::vector<std::array<std::string, 3>> cases = {// key, fallback, expected
                                                         {"cc_label_cc", "CC", "Controller"},
                                                         {"empty", "Fallback", "Fallback"},
                                                         {"empty", "", "empty"},
                                                         {"missing", "Fallback", "Fallback"},
                                                         {"missing", "", "missing"}};
  for (const auto& [key, fallback, expected] : cases)
    EXPECT_EQ(localization->stringForKey(key, fallback), expected) << key << " / " << fallback;
  EXPECT_EQ(localization->stringForKey("empty"), "empty");

  companion.writeTable("de", "\"cc_label_cc\" = \"broken");
  rewriteLanguage("de", 1, 5);
  EXPECT_EQ(localization->stringForKey("cc_label_cc", "CC"), "CC");
}

TEST_F(HXLocalizationTest, SeesLanguageChangeOnlyAtTheFirstCheckFiveSecondsAfterThePrevious) {
  auto localization = loaded("de");
  EXPECT_EQ(localization->stringForKey("cc_label_cc"),
            "Controller");  // check at now, nothing changed
  rewriteLanguage("fr", 3, 4.9);
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "Controller");
  EXPECT_EQ(localization->currentLanguage(), "de");
  companion.now += 0.1;  // exactly 5.0 s after the last check
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "Contr\u00f4leurs");
  EXPECT_EQ(localization->currentLanguage(), "fr");

  // The check just made restarts the interval, whatever lookups came between.
  rewriteLanguage("de", 9, 4.99);
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "Contr\u00f4leurs");
  companion.now += 0.01;
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "Controller");
}

TEST_F(HXLocalizationTest, StartsInEnglishLoadsAtTheFirstLookupAndComparesWholeSeconds) {
  companion.writeLanguage("de", kT0, 100'000'000);
  HXLocalization localization(companion.environment());
  EXPECT_EQ(localization.currentLanguage(), "en");
  // The first lookup always checks, and the unseen file's time differs from 0.
  EXPECT_EQ(localization.stringForKey("cc_label_cc", "CC"), "Controller");
  rewriteLanguage("fr", 0, 10, 900'000'000);  // same second: not seen
  EXPECT_EQ(localization.stringForKey("cc_label_cc"), "Controller");

  // Deleted: language and table stay; written again with the loaded file's time: still
  // nothing to load.
  companion.removeLanguage();
  for (int i = 0; i < 2; ++i) {
    companion.now += 5;
    EXPECT_EQ(localization.stringForKey("cc_label_cc"), "Controller");
    EXPECT_EQ(localization.currentLanguage(), "de");
  }
  rewriteLanguage("fr", 0, 5);
  EXPECT_EQ(localization.currentLanguage(), "de");

  // A file that goes back in time counts as changed too: only equality is compared.
  rewriteLanguage("fr", -60, 5);
  EXPECT_EQ(localization.stringForKey("cc_label_cc"), "Contr\u00f4leurs");
}

class CompanionSearchTest : public HXLocalizationTest {
 protected:
  void SetUp() override {
    HXLocalizationTest::SetUp();
    fs::remove(companion.dataHome() + "/applications/com.tolvane.Tolvane.desktop");
  }
};

TEST_F(CompanionSearchTest, WithoutCompanionLogsOncePerFailedLoad) {
  testing::internal::CaptureStderr();
  auto localization = loaded("de");
  EXPECT_EQ(localization->currentLanguage(), "de");
  EXPECT_EQ(localization->stringForKey("cc_label_cc", "CC"), "CC");
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "cc_label_cc");
  companion.now += 5;
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "cc_label_cc");  // unchanged file: no retry
  rewriteLanguage("fr", 1, 5);
  EXPECT_EQ(localization->stringForKey("cc_label_cc"), "cc_label_cc");
  EXPECT_EQ(localization->currentLanguage(), "fr");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOccurrences(log, kNotFoundLine), 2u) << log;
}

TEST_F(CompanionSearchTest, UsesFallbackApplicationPathWhenNoEntryNamesOne) {
  fs::create_directories(companion.fallbackBundle() + "/Contents/Resources");
  fs::rename(companion.bundle() + "/Contents/Resources/de.lproj",
             companion.fallbackBundle() + "/Contents/Resources/de.lproj");
  EXPECT_EQ(loaded("de")->stringForKey("cc_label_cc"), "Controller");
}

TEST_F(CompanionSearchTest, SearchesDataHomeThenDataDirsSkippingUnusableEntries) {
  // Data home names a bundle that does not exist: passed over for the data dir's entry.
  companion.writeDesktopEntry(companion.dataHome(), companion.dir().file("gone/Tolvane.app"));
  companion.writeDesktopEntry(companion.dataDir(), companion.bundle());
  EXPECT_EQ(loaded("de")->stringForKey("cc_label_cc"), "Controller");

  // A usable data-home entry wins over the data dir's.
  const std::string other = companion.dir().file("other/Tolvane.app");
  fs::create_directories(other + "/Contents/Resources/de.lproj");
  korvel::test::WriteFile(other + "/Contents/Resources/de.lproj/Localizable.strings",
                          "cc_label_cc = Andere;");
  companion.writeDesktopEntry(companion.dataHome(), other);
  EXPECT_EQ(loaded("de")->stringForKey("cc_label_cc"), "Andere");

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

  fs::remove(companion.home() + "/.local/share/applications/com.tolvane.Tolvane.desktop");
  const fs::path workingDirectory = fs::current_path();
  fs::current_path(companion.dir().path());
  HXLocalization relativeOnly(environment);
  testing::internal::CaptureStderr();
  relativeOnly.reload();
  const std::string log = testing::internal::GetCapturedStderr();
  fs::current_path(workingDirectory);
  EXPECT_EQ(relativeOnly.stringForKey("cc_label_cc", "CC"), "CC");
  EXPECT_EQ(CountOccurrences(log, kNotFoundLine), 1u);
}

TEST_F(HXLocalizationTest, CLookupsHandBackArgumentsOrTextsThatOutliveReloads) {
  auto localization = loaded("de");
  StringPool pool;
  const char *key = "cc_label_cc", *fallback = "CC", *missing = "missing";
  auto lookUp = [&](const char* k, const char* f) { return LookUpForC(*localization, pool, k, f); };

  const char* german = lookUp(key, fallback);
  EXPECT_STREQ(german, "Controller");
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(lookUp(key, fallback), german);  // same text, same pointer
  EXPECT_EQ(pool.size(), 1u);

  EXPECT_EQ(lookUp(missing, fallback), fallback);
  EXPECT_EQ(lookUp(missing, ""), missing);
  EXPECT_EQ(lookUp(missing, missing), missing);
  EXPECT_EQ(lookUp(nullptr, fallback), fallback);
  EXPECT_STREQ(lookUp(nullptr, nullptr), "");
  EXPECT_STREQ(lookUp(missing, nullptr), "missing");

  rewriteLanguage("fr", 1, 5);
  EXPECT_STREQ(lookUp(key, fallback), "Contr\u00f4leurs");
  EXPECT_STREQ(german, "Controller");  // the German table is gone, its text is not
}

}  // namespace
}  // namespace korvel::localization
