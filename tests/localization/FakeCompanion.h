// A companion application installed in a temporary directory: its bundle with strings
// tables, its desktop entry, a home directory holding its language file, and a clock the
// test moves by hand.
#pragma once

#include <ctime>
#include <string>

#include "localization/HXLocalization.h"
#include "tests/support/TestSupport.h"

namespace korvel::localization::test {

class FakeCompanion {
 public:
  FakeCompanion();

  std::string home() const { return dir_.file("home"); }
  std::string dataHome() const { return dir_.file("data-home"); }
  std::string dataDir() const { return dir_.file("data-dir"); }
  std::string bundle() const { return dir_.file("apps/Tolvane.app"); }
  std::string fallbackBundle() const { return dir_.file("Applications/Tolvane.app"); }
  const korvel::test::TempDir& dir() const { return dir_; }

  // Writes <bundle>/Contents/Resources/<directory>.lproj/Localizable.strings.
  void writeTable(const std::string& directory, const std::string& contents) const;
  // The desktop entry under <dataRoot>/applications naming `bundlePath`.
  void writeDesktopEntry(const std::string& dataRoot, const std::string& bundlePath) const;
  // The language file, with its modification time set to seconds + nanoseconds.
  void writeLanguage(const std::string& contents, time_t seconds, long nanoseconds = 0) const;
  void removeLanguage() const;

  // The environment of an HXLocalization that reads only this directory.
  HXLocalization::Environment environment();

  double now = 1'700'000'000.0;

 private:
  korvel::test::TempDir dir_;
};

}  // namespace korvel::localization::test
