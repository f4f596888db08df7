#include "host/EditorView.h"

#include <dlfcn.h>
#include <glib.h>

#include "host/Plist.h"
#include "host/PluginBundle.h"
#include "host/PluginInstance.h"

namespace korvel::host {
namespace {

using FactoryLookup = const KorvelViewFactoryInterface* (*)(const char*);

std::string PathFromFileURL(const std::string& url) {
  GError* error = nullptr;
  gchar* path = g_filename_from_uri(url.c_str(), nullptr, &error);
  if (!path) {
    std::string why = error ? error->message : "not a file URL";
    if (error) g_error_free(error);
    throw EditorError("the view's bundle location \"" + url + "\" is unusable: " + why);
  }
  std::string result(path);
  g_free(path);
  return result;
}

// The module that holds the view factory. A host loads the bundle the description names;
// when that is the bundle the instance came from, dlopen hands back the module already
// loaded. Modules stay loaded for the life of the process, as the instances' do.
void* LoadViewModule(const std::string& bundlePath) {
  BundleInfo info = ReadBundleInfo(bundlePath);
  void* module = ::dlopen(info.sharedObjectPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module)
    throw EditorError("cannot load the view's module " + info.sharedObjectPath + ": " +
                      ::dlerror());
  return module;
}

}  // namespace

std::unique_ptr<EditorView> MakeEditorView(const PluginInstance& instance) {
  AudioUnitCocoaViewInfo info{};
  uint32_t size = sizeof info;
  OSStatus status =
      instance.getProperty(kAudioUnitProperty_CocoaUI, kAudioUnitScope_Global, &info, &size);
  // Both nodes belong to this host from here on, whatever happens next.
  PlistPtr location(info.mCocoaAUViewBundleLocation), className(info.mCocoaAUViewClass[0]);
  if (status != noErr || size < sizeof info)
    throw EditorError("the plug-in gives no view description (CocoaUI property, status " +
                      std::to_string(status) + ")");
  auto url = PlistString(location.get());
  auto name = PlistString(className.get());
  if (!url || !name) throw EditorError("the plug-in's view description lacks a bundle or class");

  void* module = LoadViewModule(PathFromFileURL(*url));
  auto lookup = reinterpret_cast<FactoryLookup>(::dlsym(module, "Korvel_ViewFactoryNamed"));
  if (!lookup) throw EditorError("the view's module exports no Korvel_ViewFactoryNamed");
  const KorvelViewFactoryInterface* factory = lookup(name->c_str());
  if (!factory || !factory->uiViewForAudioUnit || !factory->view)
    throw EditorError("the view's module has no factory class \"" + *name + "\"");
  KorvelView* view =
      factory->uiViewForAudioUnit(instance.handle(), kPreferredEditorWidth, kPreferredEditorHeight);
  if (!view) throw EditorError("the factory \"" + *name + "\" made no view");
  return std::make_unique<EditorView>(*factory->view, view);
}

}  // namespace korvel::host
