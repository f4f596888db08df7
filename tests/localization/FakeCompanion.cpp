#include "tests/localization/FakeCompanion.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

namespace korvel::localization::test {

namespace fs = std::filesystem;

FakeCompanion::FakeCompanion() {
  fs::create_directories(home() + "/Library/Application Support/Tolvane");
  fs::create_directories(dataHome() + "/applications");
  fs::create_directories(dataDir() + "/applications");
  fs::create_directories(bundle() + "/Contents/Resources");
}

void FakeCompanion::writeTable(const std::string& directory, const std::string& contents) const {
  std::string lproj = bundle() + "/Contents/Resources/" + directory + ".lproj";
  fs::create_directories(lproj);
  korvel::test::WriteFile(lproj + "/Localizable.strings", contents);
}

void FakeCompanion::writeDesktopEntry(const std::string& dataRoot, const std::string& bundlePath) const {
  fs::create_directories(dataRoot + "/applications");
  korvel::test::WriteFile(dataRoot + "/applications/com.tolvane.Tolvane.desktop",
                          "[Desktop Entry]\nType=Application\nName=Tolvane\nExec=tolvane\n"
                          "X-Bundle-Path=" + bundlePath + "\n");
}

void FakeCompanion::writeLanguage(const std::string& contents, time_t seconds, long nanoseconds) const {
  std::string path = home() + "/Library/Application Support/Tolvane/current_language.txt";
  korvel::test::WriteFile(path, contents);
  struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw std::runtime_error("utimensat failed");
}

void FakeCompanion::removeLanguage() const {
  fs::remove(home() + "/Library/Application Support/Tolvane/current_language.txt");
}

HXLocalization::Environment FakeCompanion::environment() {
  HXLocalization::Environment environment;
  environment.now = [this] { return now; };
  environment.homeDirectory = home();
  environment.xdgDataHome = dataHome();
  environment.xdgDataDirs = dataDir();
  environment.fallbackApplicationPath = fallbackBundle();
  return environment;
}

}  // namespace korvel::localization::test
