/*
 * Whole-file reads of the companion's files in the user's own space (the language file in
 * the home directory, strings tables and desktop entries). Symbolic links are followed
 * there, unlike under /tmp, but only a regular file of at most `maxSize` bytes counts: a
 * FIFO or device would block the user-interface thread, and an oversized file is not one
 * the companion wrote.
 */
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/SafeFile.h"

namespace korvel::localization {

inline constexpr size_t kMaxLanguageFileSize = 64 * 1024;
inline constexpr size_t kMaxStringsTableSize = 4 * 1024 * 1024;
inline constexpr size_t kMaxDesktopEntrySize = 256 * 1024;

/* The file's bytes, or nothing when it is missing, unreadable, not a regular file or
 * larger than `maxSize`. */
inline std::optional<std::string> ReadLocalFile(const std::string& path, size_t maxSize) {
  return platform::ReadRegularFile(path, maxSize, platform::Links::Follow);
}

}  // namespace korvel::localization
