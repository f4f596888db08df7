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

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::platform {

inline constexpr size_t kMaxSharedFileSize = 1 << 20;

std::optional<std::string> ReadSharedFile(const std::string& path,
                                          size_t maxSize = kMaxSharedFileSize);

/* What tells one version of a file from another without reading it: a rewrite in place
 * changes the size or the times, a rename over the path changes the inode. */
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modifiedSeconds = 0, modifiedNanoseconds = 0;
  int64_t changedSeconds = 0, changedNanoseconds = 0;
  bool operator==(const FileIdentity&) const = default;
};

/* The identity of the regular file at `path`, links not followed; nothing when there is
 * no regular file there. */
std::optional<FileIdentity> SharedFileIdentity(const std::string& path);

/* ReadSharedFile that also gives the identity of the file it read, when that identity
 * can stand for the bytes: a file changed so recently that a later change could still
 * carry the same times (timestamps are coarser than the clock on many file systems)
 * gives none, so its reader reads it again next time. */
std::optional<std::string> ReadSharedFile(const std::string& path,
                                          std::optional<FileIdentity>& identity);

/* Shared files actually read in this process so far (a statistic). */
uint64_t SharedFileReadCount();

/* Tests only: reads take the clock as this much later, so that files written by the test
 * count as settled at once (zero restores the real clock). */
void SetSettledClockSkewForTesting(int64_t seconds);
bool WriteFileAtomically(const std::string& path, std::string_view contents);

/* The same bounded, non-blocking read of a regular file, for files in the user's own
 * space (the companion's language file, bundle and desktop entries), where a symbolic
 * link may be followed. */
enum class Links { Refuse, Follow };
std::optional<std::string> ReadRegularFile(const std::string& path, size_t maxSize, Links links);

}  // namespace korvel::platform
