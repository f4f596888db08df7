/*
 * The plug-in's own bundle (Korvel.component), found from the path of the loaded shared
 * object: <bundle>/Contents/x86_64-linux/Korvel.so. Code linked into a test binary is not
 * inside a bundle; tests point the lookup at a fixture instead.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvel::platform {

/* The bundle directory, or nothing when the code is not running from a bundle. */
std::optional<std::string> OwnBundlePath();
/* The bundle around a shared object at `modulePath`, made absolute: the directory two
   levels above it when those are Contents/x86_64-linux, else nothing. */
std::optional<std::string> BundleOfModule(const std::string& modulePath);
/* Tests: use `path` as the bundle (nullopt: back to the loaded module's own). */
void SetBundlePathForTesting(std::optional<std::string> path);

struct BundleVersionInfo {
  std::string shortVersion;                /* CFBundleShortVersionString, "" when absent */
  std::string buildVersion;                /* CFBundleVersion, "" when absent */
  bool hasAudioComponents = false;         /* a non-empty AudioComponents array */
  std::optional<int64_t> componentVersion; /* its first entry's "version" */
};

/* Reads <bundle>/Contents/Info.plist; an absent or unreadable one gives empty values. */
BundleVersionInfo ReadBundleVersionInfo(const std::string& bundlePath);

}  // namespace korvel::platform
