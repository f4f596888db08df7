#include "localization/HXLocalization.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <utility>
#include <vector>

#include "localization/CompanionLocator.h"
#include "localization/LanguageCode.h"
#include "localization/LocalFileReader.h"
#include "localization/StringPool.h"
#include "localization/StringsTableLoader.h"
#include "platform/SystemLog.h"

namespace korvel::localization {

namespace {

// 0001-01-01 00:00:00 UTC: far enough back that the first lookup always checks.
constexpr double kDistantPast = -62135596800.0;

double SystemNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::optional<std::string> EnvironmentVariable(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

std::string ProcessHomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  struct passwd entry {};
  struct passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir) {
    return result->pw_dir;
  }
  return "/";
}

// The whole-second part of the modification time, or nothing when stat fails.
std::optional<int64_t> ModificationSeconds(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<int64_t>(st.st_mtim.tv_sec);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

HXLocalization::Environment HXLocalization::Environment::Process() {
  Environment environment;
  environment.now = SystemNow;
  environment.homeDirectory = ProcessHomeDirectory();
  environment.xdgDataHome = EnvironmentVariable("XDG_DATA_HOME");
  environment.xdgDataDirs = EnvironmentVariable("XDG_DATA_DIRS");
  environment.fallbackApplicationPath = std::string(kFallbackApplicationPath);
  return environment;
}

HXLocalization::HXLocalization() : HXLocalization(Environment::Process()) {}

HXLocalization::HXLocalization(Environment environment)
    : _strings(),
      _language(kDefaultLanguage),
      _lastLoadCheck(kDistantPast),
      _lastLangFileMtime(0),
      _environment(std::move(environment)) {}

std::string HXLocalization::languageFilePath() const {
  std::string home = _environment.homeDirectory;
  while (!home.empty() && home.back() == '/') home.pop_back();
  return home + "/" + std::string(kLanguageFileRelativePath);
}

void HXLocalization::maybeReload() {
  const double now = _environment.now();
  if (now - _lastLoadCheck < kMinimumCheckInterval) return;
  _lastLoadCheck = now;
  std::optional<int64_t> mtime = ModificationSeconds(languageFilePath());
  if (!mtime) return;
  if (*mtime != _lastLangFileMtime) reload();
}

std::optional<std::string> HXLocalization::locateCompanionBundle() const {
  DesktopSearchEnvironment search{_environment.homeDirectory, _environment.xdgDataHome,
                                  _environment.xdgDataDirs};
  if (std::optional<std::string> bundle = FindApplicationBundle(search, kCompanionBundleIdentifier))
    return bundle;
  if (Exists(_environment.fallbackApplicationPath)) return _environment.fallbackApplicationPath;
  return std::nullopt;
}

void HXLocalization::reload() {
  const std::string languageFile = languageFilePath();
  // Recorded before the read, so a write racing the read is seen at the next check.
  if (std::optional<int64_t> mtime = ModificationSeconds(languageFile)) _lastLangFileMtime = *mtime;
  _language = LanguageFromFileContents(ReadLocalFile(languageFile, kMaxLanguageFileSize));

  std::optional<std::string> bundle = locateCompanionBundle();
  if (!bundle) {
    _strings = StringsTable();
    platform::SystemLog("%s", kCompanionNotFoundMessage);
    return;
  }
  if (!IsDirectory(*bundle)) {
    _strings = StringsTable();
    return;
  }
  const std::string resources = *bundle + "/Contents/Resources/";
  std::string languageDirectory = resources + LanguageDirectoryName(_language) + ".lproj";
  if (!Exists(languageDirectory)) languageDirectory = resources + "en.lproj";
  if (!Exists(languageDirectory)) {
    _strings = StringsTable();
    return;
  }
  std::optional<StringsTable> table =
      LoadStringsTable(languageDirectory + "/" + std::string(kStringsFileName));
  _strings = table ? std::move(*table) : StringsTable();
}

std::string_view HXLocalization::stringForKey(std::string_view key) {
  return stringForKey(key, key);
}

std::string_view HXLocalization::stringForKey(std::string_view key, std::string_view fallback) {
  maybeReload();
  auto found = _strings.find(key);
  if (found != _strings.end() && !found->second.empty()) return found->second;
  if (!fallback.empty()) return fallback;
  return key;
}

HXLocalization& HXLocalization::shared() {
  // A function-local static is initialised exactly once even when first calls race.
  static HXLocalization* instance = [] {
    auto* created = new HXLocalization(Environment::Process());
    created->reload();
    return created;
  }();
  return *instance;
}

const char* LookUpForC(HXLocalization& localization, StringPool& pool, const char* key,
                       const char* fallback) {
  const char* keyText = key ? key : "";
  const char* fallbackText = fallback ? fallback : "";
  std::string_view result = localization.stringForKey(keyText, fallbackText);
  // Falling back hands back the caller's own argument, not a copy.
  if (result.data() == fallbackText) return fallbackText;
  if (result.data() == keyText) return keyText;
  return pool.intern(result);
}

}  // namespace korvel::localization

extern "C" const char* HXLoc(const char* key) { return HXLocFB(key, key); }

extern "C" const char* HXLocFB(const char* key, const char* fallback) {
  using namespace korvel::localization;
  try {
    return LookUpForC(HXLocalization::shared(), StringPool::process(), key, fallback);
  } catch (...) {
    // Out of memory: the caller's own text, as for a key the table does not hold.
    if (fallback != nullptr && fallback[0] != '\0') return fallback;
    return key != nullptr ? key : "";
  }
}
