/*
 * The fixed paths of the files shared with the companion application:
 *   /tmp/korvel_connection_%08X.json  (one per UID, upper-case hexadecimal)
 *   /tmp/korvel_active_uid.txt
 *   /tmp/korvel_active_track.txt
 * Tests move the directory elsewhere so that they never touch the real files; nothing
 * else ever changes it.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvel::link {

/* A UID as the files name it: eight upper-case hexadecimal digits ("%08X"). */
std::string UIDText(uint32_t uid);

std::string ConnectionFilePath(uint32_t uid);
std::string ActiveUIDFilePath();
std::string ActiveTrackFilePath();

/* Tests only: the directory that stands in for /tmp (nullopt: back to /tmp). */
void SetSharedFileDirectoryForTesting(std::optional<std::string> directory);

}  // namespace korvel::link
