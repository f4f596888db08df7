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

std::string ConnectionFilePath(uint32_t uid) {
  char name[40];
  std::snprintf(name, sizeof name, "korvel_connection_%08X.json", static_cast<unsigned>(uid));
  return SharedFile(name);
}

std::string ActiveUIDFilePath() { return SharedFile("korvel_active_uid.txt"); }

std::string ActiveTrackFilePath() { return SharedFile("korvel_active_track.txt"); }

void SetSharedFileDirectoryForTesting(std::optional<std::string> directory) {
  std::lock_guard lock(gDirectoryMutex);
  gDirectoryOverride = std::move(directory);
}

}  // namespace korvel::link
