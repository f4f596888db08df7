/*
 * Finding the installed companion application (Tolvane) by its bundle identifier, the
 * desktop-entry way: the first "<identifier>.desktop" in $XDG_DATA_HOME/applications
 * (default ~/.local/share/applications), then in each $XDG_DATA_DIRS entry's applications
 * directory (default /usr/local/share:/usr/share), whose [Desktop Entry] key
 * "X-Bundle-Path" names the application bundle by absolute path.
 *
 * An entry that cannot be read or parsed, lacks the key, names a relative path or a path
 * that is not an existing directory is passed over and the search goes on, as an
 * application lookup would not answer with a bundle that is not there. Relative or empty
 * XDG directory entries are ignored, as the base-directory convention asks (an unset,
 * empty or relative $XDG_DATA_HOME means its default). The entry is
 * parsed with GLib's GKeyFile, which implements the desktop-entry syntax (groups, escapes,
 * comments) that a hand-written reader would only approximate.
 */
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interface/CompanionProtocol.h"

namespace korvel::localization {

inline constexpr std::string_view kCompanionBundleIdentifier =
    korvel::link::kCompanionBundleIdentifier;

/* The environment the search depends on: nullopt for an unset variable. */
struct DesktopSearchEnvironment {
  std::string homeDirectory;
  std::optional<std::string> xdgDataHome;
  std::optional<std::string> xdgDataDirs;
};

/* The "applications" directories in search order. */
std::vector<std::string> ApplicationDirectories(const DesktopSearchEnvironment& environment);

/* The bundle path of the application with `bundleIdentifier`, or nothing. */
std::optional<std::string> FindApplicationBundle(const DesktopSearchEnvironment& environment,
                                                 std::string_view bundleIdentifier);

}  // namespace korvel::localization
