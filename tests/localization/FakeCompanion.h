// A companion application installed in a temporary directory: its bundle with strings
// tables, its desktop entry, a home directory holding its language file, and a clock the
// test moves by hand.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "localization/HXLocalization.h"
#include "tests/support/TestSupport.h"

namespace korvel::localization::test {

class FakeCompanion {
 public:
  FakeCompanion() { std::filesystem::create_directories(bundle() + "/Contents/Resources"); }

  std::string home() const { return dir_.file("home"); }
  std::string dataHome() const { return dir_.file("data-home"); }
  std::string dataDir() const { return dir_.file("data-dir"); }
  std::string bundle() const { return dir_.file("apps/Tolvane.app"); }
  std::string fallbackBundle() const { return dir_.file("Applications/Tolvane.app"); }
  std::string languageFile() const {
    return home() + "/Library/Application Support/Tolvane/current_language.txt";
  }
  const korvel::test::TempDir& dir() const { return dir_; }

  // <bundle>/Contents/Resources/<directory>.lproj/Localizable.strings
  void writeTable(const std::string& directory, const std::string& contents) const {
    write(bundle() + "/Contents/Resources/" + directory + ".lproj/Localizable.strings", contents);
  }
  // The desktop entry under <dataRoot>/applications naming `bundlePath`.
  void writeDesktopEntry(const std::string& dataRoot, const std::string& bundlePath) const {
    write(dataRoot + "/applications/com.tolvane.Tolvane.desktop",
          "[Desktop Entry]\nType=Application\nName=Tolvane\nExec=tolvane\nX-Bundle-Path=" +
              bundlePath + "\n");
  }
  // The language file, with its modification time set to seconds + nanoseconds.
  void writeLanguage(const std::string& contents, time_t seconds, long nanoseconds = 0) const {
    write(languageFile(), contents);
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    if (::utimensat(AT_FDCWD, languageFile().c_str(), times, 0) != 0)
      throw std::runtime_error("utimensat failed");
  }
  void removeLanguage() const { std::filesystem::remove(languageFile()); }

  // The environment of an HXLocalization that reads only this directory.
  HXLocalization::Environment environment() {
    HXLocalization::Environment environment;
    environment.now = [this] { return now; };
    environment.homeDirectory = home();
    environment.xdgDataHome = dataHome();
    environment.xdgDataDirs = dataDir();
    environment.fallbackApplicationPath = fallbackBundle();
    return environment;
  }

  double now = 1'700'000'000.0;

 private:
  static void write(const std::string& path, const std::string& contents) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    korvel::test::WriteFile(path, contents);
  }
  korvel::test::TempDir dir_;
};

}  // namespace korvel::localization::test
