#include "localization/CompanionLocator.h"

#include <glib.h>
#include <sys/stat.h>

#include <memory>

#include "localization/LocalFileReader.h"

namespace korvel::localization {

namespace {

constexpr const char* kDesktopEntryGroup = "Desktop Entry";
constexpr const char* kBundlePathKey = "X-Bundle-Path";

bool IsAbsolute(std::string_view path) { return !path.empty() && path.front() == '/'; }

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::optional<std::string> BundlePathFromDesktopEntry(const std::string& entryPath) {
  std::optional<std::string> contents = ReadLocalFile(entryPath, kMaxDesktopEntrySize);
  if (!contents) return std::nullopt;
  std::unique_ptr<GKeyFile, decltype(&g_key_file_free)> keyFile(g_key_file_new(), &g_key_file_free);
  if (!g_key_file_load_from_data(keyFile.get(), contents->data(), contents->size(), G_KEY_FILE_NONE,
                                 nullptr)) {
    return std::nullopt;
  }
  std::unique_ptr<gchar, decltype(&g_free)> value(
      g_key_file_get_string(keyFile.get(), kDesktopEntryGroup, kBundlePathKey, nullptr), &g_free);
  if (!value || !IsAbsolute(value.get())) return std::nullopt;
  std::string bundle = WithoutTrailingSlashes(value.get());
  if (!IsDirectory(bundle)) return std::nullopt;
  return bundle;
}

}  // namespace

std::vector<std::string> ApplicationDirectories(const DesktopSearchEnvironment& environment) {
  std::vector<std::string> directories;
  if (environment.xdgDataHome && IsAbsolute(*environment.xdgDataHome)) {
    directories.push_back(*environment.xdgDataHome + "/applications");
  } else {
    directories.push_back(environment.homeDirectory + "/.local/share/applications");
  }
  std::string dataDirs = environment.xdgDataDirs.value_or("");
  if (dataDirs.empty()) dataDirs = "/usr/local/share:/usr/share";
  size_t start = 0;
  while (start <= dataDirs.size()) {
    size_t end = dataDirs.find(':', start);
    if (end == std::string::npos) end = dataDirs.size();
    std::string_view entry(dataDirs.data() + start, end - start);
    if (IsAbsolute(entry)) directories.push_back(std::string(entry) + "/applications");
    start = end + 1;
  }
  return directories;
}

std::optional<std::string> FindApplicationBundle(const DesktopSearchEnvironment& environment,
                                                 std::string_view bundleIdentifier) {
  const std::string fileName = std::string(bundleIdentifier) + ".desktop";
  for (const std::string& directory : ApplicationDirectories(environment)) {
    if (std::optional<std::string> bundle = BundlePathFromDesktopEntry(directory + "/" + fileName))
      return bundle;
  }
  return std::nullopt;
}

}  // namespace korvel::localization
