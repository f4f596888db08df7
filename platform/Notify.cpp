/*
 * Named notifications over files in a shared directory.
 *
 * /tmp/.notify is writable by every local user, so nothing there is trusted: the
 * directory must be a real directory (a symbolic link planted in its place is refused,
 * never followed), files are opened relative to a descriptor of that directory without
 * following links, and only regular files count as posted.
 *
 * One inotify watcher thread serves the whole process. Several events for one name that
 * arrive in one read are delivered once, and every delivery re-checks, on the queue that
 * runs it, that its registration still exists, so cancelling also stops a delivery that
 * was already queued.
 */
#include "platform/Notify.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace korvel::platform {
namespace {

constexpr const char* kDefaultDirectory = "/tmp/.notify";
constexpr uint32_t kPostedEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB;
// The directory itself going away: deleted, or renamed (the watch would follow the old
// inode to its new name).
constexpr uint32_t kDirectoryGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;
// Never watch through a symbolic link, and only ever a directory.
constexpr uint32_t kWatchMask =
    kPostedEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_ONLYDIR;

bool IsValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

/* Closes a descriptor on scope exit. */
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

/* Opens `path` as a real directory, creating it like /tmp (world-writable, sticky) when
 * it is missing. Returns an invalid descriptor for anything but a directory that is safe
 * to use: owned by this user or root, and sticky when others may write to it (so that
 * nobody can remove or replace another user's notification files). */
FileDescriptor OpenNotifyDirectory(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return FileDescriptor(-1);
    // EEXIST: another process won the race; the checks below still apply.
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return FileDescriptor(-1);
  } else if (!S_ISDIR(st.st_mode)) {
    return FileDescriptor(-1);
  }
  FileDescriptor dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) return dir;
  // mkdir's mode went through the umask; only the owner can (and needs to) fix it.
  if (fstat(dir.get(), &st) != 0) return FileDescriptor(-1);
  if (st.st_uid == geteuid() && (st.st_mode & 07777) != 01777 && fchmod(dir.get(), 01777) == 0)
    st.st_mode = S_IFDIR | 01777;
  const bool shared = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if ((st.st_uid != geteuid() && st.st_uid != 0) || (shared && !(st.st_mode & S_ISVTX)))
    return FileDescriptor(-1);
  return dir;
}

std::mutex gDirectoryMutex;
std::string gDirectoryOverride;

std::string CurrentDirectoryPath() {
  std::lock_guard lock(gDirectoryMutex);
  return gDirectoryOverride.empty() ? std::string(kDefaultDirectory) : gDirectoryOverride;
}

/* The process's registrations and the one thread that watches the directory. */
class NotifyCenter {
 public:
  static NotifyCenter& Instance() {
    // Never destroyed: the watcher thread may still be reading at exit.
    static NotifyCenter* const center = new NotifyCenter;
    return *center;
  }

  int add(const std::string& name, DispatchQueue queue, std::function<void()> handler) {
    if (!IsValidName(name)) return 0;
    std::call_once(started_, [this] {
      inotifyFd_ = inotify_init1(IN_CLOEXEC);
      if (inotifyFd_ >= 0) std::thread([this] { watch(); }).detach();
    });
    if (inotifyFd_ < 0) return 0;
    std::lock_guard lock(mutex_);
    if (!ensureWatchLocked()) return 0;
    int token = nextToken_;
    nextToken_ = nextToken_ == INT_MAX ? 1 : nextToken_ + 1;
    registrations_[token] =
        Registration{name, queue, std::make_shared<std::function<void()>>(std::move(handler))};
    return token;
  }

  void remove(int token) {
    std::shared_ptr<std::function<void()>> handler;
    {
      std::lock_guard lock(mutex_);
      auto it = registrations_.find(token);
      if (it == registrations_.end()) return;
      handler = std::move(it->second.handler);
      registrations_.erase(it);
    }
    // The handler's captures are released here, outside the lock.
  }

 private:
  struct Registration {
    std::string name;
    DispatchQueue queue;
    std::shared_ptr<std::function<void()>> handler;
  };
  struct Event {
    int wd;
    uint32_t mask;
    std::string name;
  };

  /* Watches the current directory, moving the watch when a test moved the directory or
   * when the directory was removed and must be made again (mutex_ held). */
  bool ensureWatchLocked() {
    std::string path = CurrentDirectoryPath();
    if (watch_ >= 0 && watchedPath_ == path) return true;
    FileDescriptor dir = OpenNotifyDirectory(path);
    if (!dir.valid()) return false;
    if (watch_ >= 0) inotify_rm_watch(inotifyFd_, watch_);
    watch_ = inotify_add_watch(inotifyFd_, path.c_str(), kWatchMask);
    watchedPath_ = watch_ >= 0 ? path : std::string();
    return watch_ >= 0;
  }

  bool isRegistered(int token) {
    std::lock_guard lock(mutex_);
    return registrations_.count(token) != 0;
  }

  [[noreturn]] void watch() {
    pthread_setname_np(pthread_self(), "korvel-notify");
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
      ssize_t length = read(inotifyFd_, buffer, sizeof buffer);
      if (length <= 0) continue;  // EINTR; the descriptor itself stays valid
      std::vector<Event> events;
      for (ssize_t offset = 0; offset < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        events.push_back(
            {event->wd, event->mask, event->len ? std::string(event->name) : std::string()});
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
      deliver(events);
    }
  }

  void deliver(const std::vector<Event>& events) {
    struct Delivery {
      int token;
      DispatchQueue queue;
      std::shared_ptr<std::function<void()>> handler;
    };
    std::vector<Delivery> deliveries;
    {
      std::lock_guard lock(mutex_);
      std::set<std::string> posted;
      bool overflowed = false, rewatched = false;
      for (const auto& event : events) {
        if (event.mask & IN_Q_OVERFLOW) overflowed = true;
        if (event.wd != watch_ || watch_ < 0) continue;
        if (event.mask & kDirectoryGone) {
          // The directory went away (or was replaced): watch its successor. A post made
          // there before the new watch stood cannot be told apart, so everyone hears.
          inotify_rm_watch(inotifyFd_, watch_);
          watch_ = -1;
          // Without registrations the next one sets the watch up again.
          rewatched = !registrations_.empty() && ensureWatchLocked();
        } else if ((event.mask & kPostedEvents) && !event.name.empty()) {
          posted.insert(event.name);
        }
      }
      for (const auto& [token, registration] : registrations_) {
        // After an overflow nobody can tell what was posted: a spurious delivery is
        // harmless, a lost one is not.
        if (overflowed || rewatched || posted.count(registration.name))
          deliveries.push_back({token, registration.queue, registration.handler});
      }
    }
    for (Delivery& delivery : deliveries) {
      CurrentDispatcher().async(delivery.queue,
                                [token = delivery.token, handler = std::move(delivery.handler)] {
                                  if (Instance().isRegistered(token)) (*handler)();
                                });
    }
  }

  std::once_flag started_;
  int inotifyFd_ = -1;

  std::mutex mutex_;
  int watch_ = -1;
  std::string watchedPath_;
  int nextToken_ = 1;
  std::map<int, Registration> registrations_;
};

}  // namespace

std::string NotifyDirectory() {
  std::string path = CurrentDirectoryPath();
  OpenNotifyDirectory(path);
  return path;
}

int NotifyRegister(const std::string& name, DispatchQueue queue, std::function<void()> handler) {
  return NotifyCenter::Instance().add(name, queue, std::move(handler));
}

void NotifyCancel(int token) { NotifyCenter::Instance().remove(token); }

bool NotifyPost(const std::string& name) {
  if (!IsValidName(name)) return false;
  FileDescriptor dir = OpenNotifyDirectory(CurrentDirectoryPath());
  if (!dir.valid()) return false;
  // Opening for writing and closing is the post (IN_CLOSE_WRITE); the file stays empty.
  FileDescriptor file(openat(dir.get(), name.c_str(),
                             O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                             0666));
  if (!file.valid()) return false;
  struct stat st;
  return fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode);
}

void SetNotifyDirectoryForTesting(const std::string& path) {
  std::lock_guard lock(gDirectoryMutex);
  gDirectoryOverride = path;
}

}  // namespace korvel::platform
