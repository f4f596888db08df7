// The exported C lookups on the process-wide table, in a process whose home and XDG
// directories point into a temporary directory with no companion installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "localization/HXLocalization.h"
#include "tests/support/TestSupport.h"

namespace korvel::localization {
namespace {

TEST(ExportedLookup, WithoutCompanionReturnsFallbacksAndKeys) {
  if (::access("/Applications/Tolvane.app", F_OK) == 0)
    GTEST_SKIP() << "a companion is installed at /Applications";
  korvel::test::TempDir dir;
  ::setenv("HOME", dir.path().c_str(), 1);
  ::setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
  ::setenv("XDG_DATA_DIRS", dir.file("dirs").c_str(), 1);

  const char *key = "cc_label_cc", *fallback = "CC";
  testing::internal::CaptureStderr();
  EXPECT_EQ(HXLocFB(key, fallback), fallback);  // the first lookup loads the shared table
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string(HXLocalization::kCompanionNotFoundMessage) + "\n");
  EXPECT_EQ(HXLoc(key), key);  // the other C fallbacks are the table test's
  EXPECT_EQ(&HXLocalization::shared(), &HXLocalization::shared());
  EXPECT_EQ(HXLocalization::shared().currentLanguage(), "en");
}

}  // namespace
}  // namespace korvel::localization
