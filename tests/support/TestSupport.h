// Fixtures shared by the test suites.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/VirtualDispatcher.h"
#include "tests/support/ChildProcess.h"

namespace korvel::test {

// Polls `condition` every `interval` until it holds or `deadline` passes; for cross-process
// waits only. A condition that asks another process each time wants a longer interval.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(10),
               std::chrono::milliseconds interval = std::chrono::milliseconds(2));

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes `contents` to `path` (plain, non-atomic: tests set up files directly).
void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);

// A private jackd with the dummy driver under a unique server name. The constructor
// exports JACK_DEFAULT_SERVER so that every JACK client of this process talks to it, and
// waits until the server accepts clients. The destructor stops it by PID. `portMax` 0 keeps
// jackd's default limit on the number of ports.
class PrivateJackServer {
 public:
  explicit PrivateJackServer(int periodFrames = 256, int portMax = 0);
  ~PrivateJackServer();
  PrivateJackServer(const PrivateJackServer&) = delete;
  PrivateJackServer& operator=(const PrivateJackServer&) = delete;

  bool running() const { return jackd_ != nullptr; }
  const std::string& name() const { return name_; }
  pid_t pid() const { return jackd_ ? jackd_->pid() : -1; }
  // Stops the server (and waits for it to exit); start() brings it back under the same name.
  void stop();
  bool start();

 private:
  std::string name_;
  int period_, portMax_;
  std::unique_ptr<ChildProcess> jackd_;
};

inline constexpr const char* kActiveUIDPath = "/tmp/korvel_active_uid.txt";
inline constexpr const char* kActiveTrackPath = "/tmp/korvel_active_track.txt";

// A file under the fixed /tmp paths, put back as it was found (or removed) at the end, so
// tests that write it leave a user's state alone.
class SavedFile {
 public:
  explicit SavedFile(std::string path);
  ~SavedFile();
  SavedFile(const SavedFile&) = delete;
  SavedFile& operator=(const SavedFile&) = delete;
  // Replaces the file with `contents` (nullptr: removes it).
  void set(const char* contents) const;

 private:
  std::string path_;
  std::optional<std::string> before_;
};

// The companion's active-track files, removed for the test and put back afterwards. Use
// only in tests holding the "tmp-korvel-files" lock.
class ActiveTrackFilesGuard {
 public:
  ActiveTrackFilesGuard() { set(nullptr, nullptr); }
  // Writes the files (nullptr: remove it).
  void set(const char* uidText, const char* trackText) const {
    uid_.set(uidText);
    track_.set(trackText);
  }

 private:
  SavedFile uid_{kActiveUIDPath}, track_{kActiveTrackPath};
};
// A UID as the files and the companion's log write it: eight upper-case hex digits.
std::string HexUID(uint32_t uid);
std::string ConnectionFilePath(uint32_t uid);

// Installs a virtual-time dispatcher for the scope of a test.
class VirtualDispatchScope {
 public:
  VirtualDispatchScope();
  ~VirtualDispatchScope();
  platform::VirtualDispatcher& dispatcher() { return dispatcher_; }
  void advance(std::chrono::nanoseconds d) { dispatcher_.advance(d); }

 private:
  platform::VirtualDispatcher dispatcher_;
};

}  // namespace korvel::test
