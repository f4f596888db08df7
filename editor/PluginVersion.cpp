#include "editor/PluginVersion.h"

#include <cstdio>
#include <optional>

#include "platform/Bundle.h"

namespace korvel::editor {
namespace {

std::optional<std::string>& KeptVersion() {
  static std::optional<std::string> kept;
  return kept;
}

std::string ReadVersion() {
  const std::optional<std::string> bundle = platform::OwnBundlePath();
  if (!bundle) return "v?";
  const platform::BundleVersionInfo info = platform::ReadBundleVersionInfo(*bundle);
  if (!info.hasAudioComponents) return "v?";
  // The component version is a 32-bit number; it is shown as the signed value it packs.
  const int version = static_cast<int>(static_cast<int32_t>(info.componentVersion.value_or(0)));
  char text[16];
  std::snprintf(text, sizeof text, "v%d", version);
  return text;
}

}  // namespace

const std::string& PluginVersion() {
  std::optional<std::string>& kept = KeptVersion();
  if (!kept) kept = ReadVersion();
  return *kept;
}

void ResetPluginVersionForTesting() { KeptVersion().reset(); }

}  // namespace korvel::editor
