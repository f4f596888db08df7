#include "host/PluginBundle.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/Plist.h"

#ifndef KORVEL_DEFAULT_BUNDLE
#define KORVEL_DEFAULT_BUNDLE ""
#endif

namespace korvel::host {
namespace {

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string RequiredString(plist_t dict, const char* key, const std::string& where) {
  auto value = PlistString(PlistDictItem(dict, key));
  if (!value || value->empty())
    throw BundleError(where + ": missing or empty string \"" + key + "\"");
  return *value;
}

}  // namespace

OSType FourCharCode(const std::string& code) {
  if (code.size() != 4) throw BundleError("\"" + code + "\" is not a four-character code");
  return KORVEL_FOURCC(uint8_t(code[0]), uint8_t(code[1]), uint8_t(code[2]), uint8_t(code[3]));
}

AudioComponentDescription ComponentRegistration::description() const {
  AudioComponentDescription d{};
  d.componentType = FourCharCode(type);
  d.componentSubType = FourCharCode(subtype);
  d.componentManufacturer = FourCharCode(manufacturer);
  return d;
}

BundleInfo ReadBundleInfo(const std::string& bundlePath) {
  if (!IsDirectory(bundlePath)) throw BundleError("no bundle directory at " + bundlePath);
  BundleInfo info;
  info.bundlePath = bundlePath;
  info.infoPlistPath = bundlePath + "/Contents/Info.plist";

  std::ifstream stream(info.infoPlistPath, std::ios::binary);
  if (!stream) throw BundleError("bundle has no Contents/Info.plist: " + info.infoPlistPath);
  std::stringstream text;
  text << stream.rdbuf();
  std::string xml = text.str();
  plist_t root = nullptr;
  plist_from_memory(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  PlistPtr owner(root);
  if (!root || plist_get_node_type(root) != PLIST_DICT)
    throw BundleError(info.infoPlistPath + ": not a property-list dictionary");

  info.executableName = RequiredString(root, "CFBundleExecutable", info.infoPlistPath);
  info.shortVersion = PlistString(PlistDictItem(root, "CFBundleShortVersionString")).value_or("");
  plist_t components = PlistDictItem(root, "AudioComponents");
  if (!components || plist_get_node_type(components) != PLIST_ARRAY ||
      plist_array_get_size(components) == 0)
    throw BundleError(info.infoPlistPath + ": no AudioComponents entry");
  plist_t entry = plist_array_get_item(components, 0);
  std::string where = info.infoPlistPath + " AudioComponents[0]";
  ComponentRegistration& c = info.component;
  c.type = RequiredString(entry, "type", where);
  c.subtype = RequiredString(entry, "subtype", where);
  c.manufacturer = RequiredString(entry, "manufacturer", where);
  c.name = RequiredString(entry, "name", where);
  c.factoryFunction = RequiredString(entry, "factoryFunction", where);
  auto version = PlistInteger(PlistDictItem(entry, "version"));
  if (!version) throw BundleError(where + ": missing integer \"version\"");
  c.version = *version;
  (void)c.description();  // the codes must be four characters each

  info.sharedObjectPath = bundlePath + "/Contents/x86_64-linux/" + info.executableName + ".so";
  return info;
}

PluginBundle::PluginBundle(const std::string& bundlePath) : info_(ReadBundleInfo(bundlePath)) {
  if (::access(info_.sharedObjectPath.c_str(), R_OK) != 0)
    throw BundleError("bundle has no shared object " + info_.sharedObjectPath);
  module_ = ::dlopen(info_.sharedObjectPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module_) throw BundleError(std::string("cannot load plug-in module: ") + ::dlerror());
  factory_ = reinterpret_cast<AudioComponentFactoryFunction>(
      ::dlsym(module_, info_.component.factoryFunction.c_str()));
  if (!factory_)
    throw BundleError("factory function \"" + info_.component.factoryFunction + "\" named in " +
                      info_.infoPlistPath + " is not exported by " + info_.sharedObjectPath);
  mainQueueFD_ = reinterpret_cast<int (*)()>(::dlsym(module_, "Korvel_MainQueueFD"));
  runMainQueue_ = reinterpret_cast<void (*)()>(::dlsym(module_, "Korvel_RunMainQueue"));
}

std::string DefaultBundlePath() {
  if (const char* env = std::getenv("KORVEL_BUNDLE"); env && *env) return env;
  // The build puts the bundle at <build>/Korvel.component and this program in <build>/host.
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string exe(self, size_t(n));
    std::string dir = exe.substr(0, exe.rfind('/'));
    std::string sibling = dir.substr(0, dir.rfind('/')) + "/Korvel.component";
    if (IsDirectory(sibling)) return sibling;
  }
  return KORVEL_DEFAULT_BUNDLE;
}

}  // namespace korvel::host
