#include "platform/Bundle.h"

#include <dlfcn.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

namespace korvel::platform {
namespace {

constexpr std::uintmax_t kMaxInfoPlistSize = 1 << 20;

std::mutex gMutex;
std::optional<std::string> gBundlePathOverride;

/* The bundle around the shared object that holds this code, if it sits in one. */
std::optional<std::string> LoadedModuleBundle() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&LoadedModuleBundle), &info) == 0 || !info.dli_fname ||
      !*info.dli_fname) {
    return std::nullopt;
  }
  return BundleOfModule(info.dli_fname);
}

struct CachedInfo {
  std::string plistPath;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{};
  BundleVersionInfo info;
};
std::optional<CachedInfo> gCache;

bool SameFile(const CachedInfo& cached, const std::string& path, const struct stat& st) {
  return cached.plistPath == path && cached.device == st.st_dev && cached.inode == st.st_ino &&
         cached.size == st.st_size && cached.modified.tv_sec == st.st_mtim.tv_sec &&
         cached.modified.tv_nsec == st.st_mtim.tv_nsec;
}

std::string StringValue(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (!node || plist_get_node_type(node) != PLIST_STRING) return {};
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return text ? std::string(text, length) : std::string();
}

BundleVersionInfo ParseInfoPlist(const std::string& bytes) {
  BundleVersionInfo info;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  std::unique_ptr<void, decltype(&plist_free)> owner(root, &plist_free);
  if (!root || plist_get_node_type(root) != PLIST_DICT) return info;

  info.shortVersion = StringValue(root, "CFBundleShortVersionString");
  info.buildVersion = StringValue(root, "CFBundleVersion");

  plist_t components = plist_dict_get_item(root, "AudioComponents");
  if (components && plist_get_node_type(components) == PLIST_ARRAY &&
      plist_array_get_size(components) > 0) {
    info.hasAudioComponents = true;
    // A first entry without an integer "version" stands for version 0.
    info.componentVersion = 0;
    plist_t first = plist_array_get_item(components, 0);
    if (first && plist_get_node_type(first) == PLIST_DICT) {
      plist_t version = plist_dict_get_item(first, "version");
      if (version && plist_get_node_type(version) == PLIST_UINT) {
        uint64_t value = 0;
        plist_get_uint_val(version, &value);
        // Integer nodes hold the signed value's two's-complement bits.
        info.componentVersion = static_cast<int64_t>(value);
      }
    }
  }
  return info;
}

std::optional<std::string> ReadInfoPlist(const std::string& path, std::uintmax_t size) {
  if (size > kMaxInfoPlistSize) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad() || bytes.size() > kMaxInfoPlistSize) return std::nullopt;
  return bytes;
}

}  // namespace

std::optional<std::string> BundleOfModule(const std::string& modulePath) {
  std::error_code ec;
  std::filesystem::path module = std::filesystem::absolute(modulePath, ec);
  if (ec) return std::nullopt;
  // Symbolic links are left alone: a bundle linked into a plug-in folder is found where
  // the host loaded it from.
  module = module.lexically_normal();
  std::filesystem::path architectureDir = module.parent_path();
  std::filesystem::path contentsDir = architectureDir.parent_path();
  if (architectureDir.filename() != "x86_64-linux" || contentsDir.filename() != "Contents") {
    return std::nullopt;
  }
  return contentsDir.parent_path().string();
}

std::optional<std::string> OwnBundlePath() {
  {
    std::lock_guard lock(gMutex);
    if (gBundlePathOverride) return gBundlePathOverride;
  }
  // The module does not move while it is loaded.
  static const std::optional<std::string> loaded = LoadedModuleBundle();
  return loaded;
}

void SetBundlePathForTesting(std::optional<std::string> path) {
  std::lock_guard lock(gMutex);
  gBundlePathOverride = std::move(path);
  gCache.reset();
}

BundleVersionInfo ReadBundleVersionInfo(const std::string& bundlePath) {
  const std::string plistPath = bundlePath + "/Contents/Info.plist";
  struct stat st;
  if (::stat(plistPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  {
    // The connection file is rewritten often; the bundle's Info.plist almost never
    // changes, so it is parsed again only when the file itself has changed.
    std::lock_guard lock(gMutex);
    if (gCache && SameFile(*gCache, plistPath, st)) return gCache->info;
  }
  auto bytes = ReadInfoPlist(plistPath, static_cast<std::uintmax_t>(st.st_size));
  if (!bytes) return {};
  BundleVersionInfo info = ParseInfoPlist(*bytes);
  std::lock_guard lock(gMutex);
  gCache = CachedInfo{plistPath, st.st_dev, st.st_ino, st.st_size, st.st_mtim, info};
  return info;
}

}  // namespace korvel::platform
