// Loading a plug-in bundle the way a music host does: read its Info.plist, dlopen the
// shared object it names and look up the factory function the registration names.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/AudioComponent.h"

namespace korvel::host {

class BundleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The first entry of the bundle's AudioComponents array.
struct ComponentRegistration {
  std::string type, subtype, manufacturer;  // four-character codes as text
  std::string name;
  int64_t version = 0;
  std::string factoryFunction;

  AudioComponentDescription description() const;
};

struct BundleInfo {
  std::string bundlePath;
  std::string infoPlistPath;
  std::string executableName;  // CFBundleExecutable
  std::string shortVersion;    // CFBundleShortVersionString
  std::string sharedObjectPath;
  ComponentRegistration component;
};

// Reads <bundle>/Contents/Info.plist; throws BundleError saying what is missing.
BundleInfo ReadBundleInfo(const std::string& bundlePath);

// A loaded plug-in module. The module stays loaded for the life of the process (as in
// real hosts): its worker threads and the main-queue hooks must never outlive its code.
class PluginBundle {
 public:
  explicit PluginBundle(const std::string& bundlePath);

  const BundleInfo& info() const { return info_; }
  AudioComponentFactoryFunction factory() const { return factory_; }
  // -1 when the plug-in does not export the main-queue hooks.
  int mainQueueFD() const { return mainQueueFD_ ? mainQueueFD_() : -1; }
  void runMainQueue() const {
    if (runMainQueue_) runMainQueue_();
  }
  bool hasMainQueueHooks() const { return mainQueueFD_ && runMainQueue_; }

 private:
  BundleInfo info_;
  void* module_ = nullptr;
  AudioComponentFactoryFunction factory_ = nullptr;
  int (*mainQueueFD_)() = nullptr;
  void (*runMainQueue_)() = nullptr;
};

// The bundle a subcommand uses when none is given: $KORVEL_BUNDLE, else the one built
// next to this host.
std::string DefaultBundlePath();

// "aumi" -> 0x61756D69; throws BundleError unless the text is exactly four characters.
OSType FourCharCode(const std::string& code);

}  // namespace korvel::host
