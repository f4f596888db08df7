// Where a host finds the editor: the bundle's location and the factory's class name, as
// libplist string nodes owned by the caller.
#include "component/CocoaViewInfo.h"

#include <glib.h>
#include <plist/plist.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "interface/KorvelProperties.h"
#include "platform/Bundle.h"

namespace korvel::component {
namespace {

/* A directory's file:// URL, percent-encoded, with the trailing slash of a directory. */
std::string DirectoryURL(const std::string& path) {
  gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  if (uri == nullptr) return "file://" + path + "/";
  std::string url(uri);
  g_free(uri);
  if (url.empty() || url.back() != '/') url += '/';
  return url;
}

/* The main program's bundle: the directory that holds the executable. */
std::string MainBundlePath() {
  char exe[4096];
  const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length <= 0) return "/";
  std::string path(exe, static_cast<size_t>(length));
  const size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

void Fill(AudioUnitCocoaViewInfo* info, const std::string& bundlePath) {
  info->mCocoaAUViewBundleLocation = plist_new_string(DirectoryURL(bundlePath).c_str());
  info->mCocoaAUViewClass[0] = plist_new_string(kKorvelViewFactoryClassName);
}

}  // namespace
}  // namespace korvel::component

bool KorvelEditor_CopyCocoaViewInfo(AudioUnitCocoaViewInfo* info) {
  if (info == nullptr) return false;
  const std::optional<std::string> bundle = korvel::platform::OwnBundlePath();
  if (!bundle) return false;
  korvel::component::Fill(info, *bundle);
  return true;
}

extern "C" void Korvel_GetCocoaUIInfo(AudioUnitCocoaViewInfo* info) {
  if (info == nullptr) return;
  try {
    const std::optional<std::string> bundle = korvel::platform::OwnBundlePath();
    korvel::component::Fill(info, bundle ? *bundle : korvel::component::MainBundlePath());
  } catch (...) {
    // Out of memory before anything was filled in: the host's record stays as it was.
  }
}
