/*
 * Reading and writing the small files shared through /tmp, where every local user can
 * write: paths there are untrusted.
 *  - A read opens without following symbolic links and without blocking, accepts only a
 *    regular file, and reads at most kMaxSharedFileSize bytes; a FIFO, directory,
 *    device, link or larger file counts as unreadable.
 *  - A write goes to a temporary file created exclusively in the target's directory and
 *    is renamed over the target, so readers see the old or the new file, never a part,
 *    and a symbolic link at the target is replaced rather than followed.
 */
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::platform {

inline constexpr size_t kMaxSharedFileSize = 1 << 20;

std::optional<std::string> ReadSharedFile(const std::string& path,
                                          size_t maxSize = kMaxSharedFileSize);
bool WriteFileAtomically(const std::string& path, std::string_view contents);

/* The same bounded, non-blocking read of a regular file, for files in the user's own
 * space (the companion's language file, bundle and desktop entries), where a symbolic
 * link may be followed. */
enum class Links { Refuse, Follow };
std::optional<std::string> ReadRegularFile(const std::string& path, size_t maxSize, Links links);

}  // namespace korvel::platform
