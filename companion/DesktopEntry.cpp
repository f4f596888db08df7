#include "companion/DesktopEntry.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "interface/CompanionProtocol.h"
#include "platform/SafeFile.h"

namespace tolvane {

namespace {
std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid())) return pw->pw_dir;
  return "/";
}
}  // namespace

std::string UserApplicationsDirectory() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && data[0] == '/') return std::string(data) + "/applications";
  return HomeDirectory() + "/.local/share/applications";
}

std::optional<std::string> InstallDesktopEntry(const std::string& applicationsDir,
                                               const std::string& bundlePath,
                                               const std::string& executable) {
  std::error_code ec;
  std::filesystem::create_directories(applicationsDir, ec);
  const std::string bundle = std::filesystem::absolute(bundlePath, ec).lexically_normal().string();
  const std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Tolvane\n"
      "Comment=Companion stand-in for the Korvel plug-in\n"
      "Exec=" +
      executable +
      " run\n"
      "Terminal=true\n"
      "NoDisplay=true\n"
      "X-Bundle-Path=" +
      bundle + "\n";
  const std::string path =
      applicationsDir + "/" + korvel::link::kCompanionBundleIdentifier + ".desktop";
  if (!korvel::platform::WriteFileAtomically(path, entry)) return std::nullopt;
  return path;
}

}  // namespace tolvane
