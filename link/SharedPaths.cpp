#include "link/SharedPaths.h"

#include <cstdio>
#include <mutex>

namespace korvel::link {
namespace {

std::mutex gDirectoryMutex;
std::optional<std::string> gDirectoryOverride;

std::string SharedFile(const char* name) {
  std::lock_guard lock(gDirectoryMutex);
  return (gDirectoryOverride ? *gDirectoryOverride : std::string("/tmp")) + "/" + name;
}

}  // namespace

std::string UIDText(uint32_t uid) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(uid));
  return text;
}

std::string ConnectionFilePath(uint32_t uid) {
  return SharedFile(("korvel_connection_" + UIDText(uid) + ".json").c_str());
}

std::string ActiveUIDFilePath() { return SharedFile("korvel_active_uid.txt"); }

std::string ActiveTrackFilePath() { return SharedFile("korvel_active_track.txt"); }

void SetSharedFileDirectoryForTesting(std::optional<std::string> directory) {
  std::lock_guard lock(gDirectoryMutex);
  gDirectoryOverride = std::move(directory);
}

}  // namespace korvel::link
