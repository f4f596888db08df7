// How the plug-in finds the companion's bundle on Linux: a desktop entry named after the
// companion's bundle identifier whose X-Bundle-Path holds the bundle's absolute path.
#pragma once

#include <optional>
#include <string>

namespace tolvane {

// The directory the entry goes to: $XDG_DATA_HOME/applications, or
// ~/.local/share/applications when XDG_DATA_HOME is unset, empty or relative.
std::string UserApplicationsDirectory();

// Writes com.tolvane.Tolvane.desktop into `applicationsDir` (created if missing) naming
// `bundlePath`; returns the entry's path, or nothing on failure.
std::optional<std::string> InstallDesktopEntry(const std::string& applicationsDir,
                                               const std::string& bundlePath,
                                               const std::string& executable);

}  // namespace tolvane
