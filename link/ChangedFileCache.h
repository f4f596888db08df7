/*
 * What a shared file says, kept between reads: the file is read and parsed again only
 * when its identity (device, inode, size, modification and change times) differs from
 * the one read last, or when the last read failed. A file rewritten in place or replaced
 * by a rename always shows a new identity; one changed too recently for its times to be
 * trusted is read again next time (see ReadSharedFile). The ticks of one timer wake-up
 * share one look at the file (see CurrentWakeup): they are due at one moment.
 *
 * Thread-safe: readers on several threads share one cache and one parse.
 */
#ifndef KORVEL_LINK_CHANGEDFILECACHE_H
#define KORVEL_LINK_CHANGEDFILECACHE_H

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Dispatch.h"
#include "platform/SafeFile.h"

namespace korvel::link {

template <class Value>
class ChangedFileCache {
 public:
  /* The parsed file; null when it cannot be read or `parse` gives nothing. `parse` takes
   * the bytes and returns std::optional<Value>. */
  template <class Parse>
  std::shared_ptr<const Value> read(const std::string& path, Parse&& parse) {
    // The ticks of one wake-up share one look at the file: for a file every instance
    // reads, that is one look a wake-up instead of one per instance.
    const uint64_t wakeup = platform::CurrentWakeup();
    {
      std::lock_guard lock(mutex_);
      if (wakeup != 0 && wakeup == lookedInWakeup_ && path_ == path) return value_;
    }
    auto current = platform::SharedFileIdentity(path);
    {
      std::lock_guard lock(mutex_);
      if (current && known_ && *known_ == *current && path_ == path) {
        lookedInWakeup_ = wakeup;
        return value_;
      }
      // No regular file there (the usual case without a companion): the read would refuse
      // it as well, so it is not opened; the next read looks again.
      if (!current) return rememberLocked(path, std::nullopt, nullptr, wakeup);
    }
    std::optional<platform::FileIdentity> identity;
    std::shared_ptr<const Value> value;
    if (auto bytes = platform::ReadSharedFile(path, identity)) {
      if (auto parsed = parse(*bytes)) value = std::make_shared<const Value>(std::move(*parsed));
    }
    std::lock_guard lock(mutex_);
    return rememberLocked(path, identity, std::move(value), wakeup);
  }

 private:
  /* mutex_ held: what a look at `path` found, for the looks that follow. */
  std::shared_ptr<const Value> rememberLocked(const std::string& path,
                                              std::optional<platform::FileIdentity> identity,
                                              std::shared_ptr<const Value> value, uint64_t wakeup) {
    known_ = identity;
    path_ = path;
    value_ = std::move(value);
    lookedInWakeup_ = wakeup;
    return value_;
  }

  std::mutex mutex_;
  std::string path_;
  std::optional<platform::FileIdentity> known_;  // only set after a read that succeeded
  std::shared_ptr<const Value> value_;
  uint64_t lookedInWakeup_ = 0;  // the wake-up of the last look, 0 for none
};

}  // namespace korvel::link

#endif
