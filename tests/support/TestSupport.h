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

namespace korvel::test {

// Polls `condition` until it holds or `deadline` passes; for cross-process waits only.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

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

// A program (argv[0], searched in PATH) run as a child of the test with `env` added: its
// standard input and output on pipes, the output read without blocking (or, without
// `readOutput`, sent to /dev/null with standard error). Stopped by PID when it goes out of scope, and sent SIGTERM should the
// test process die first.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv,
                        const std::vector<std::pair<std::string, std::string>>& env = {}, bool readOutput = true);
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void send(const std::string& text);
  // The complete output lines read so far and not yet consumed.
  std::vector<std::string>& lines();
  // Waits (with WaitUntil's deadline) for a line containing `text`; consumes the lines up to it.
  bool waitForLine(const std::string& text);
  // The exit status (-1: ended by a signal) if the child ends within `deadline`.
  std::optional<int> waitForExit(std::chrono::milliseconds deadline = std::chrono::seconds(10));
  // Closes its input, sends SIGTERM, and SIGKILL when it has not ended after 5 s.
  void stop();

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
};

// A private jackd with the dummy driver under a unique server name. The constructor
// exports JACK_DEFAULT_SERVER so that every JACK client of this process talks to it, and
// waits until the server accepts clients. The destructor stops it by PID.
class PrivateJackServer {
 public:
  // `forDAW`: audio ports and a patient client timeout, without which a DAW's engine drops
  // out of the graph (on a busy machine, or when it finds no audio ports).
  explicit PrivateJackServer(int periodFrames = 256, bool forDAW = false);
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
  int period_;
  bool forDAW_;
  std::unique_ptr<ChildProcess> jackd_;
};

// Saves the companion's active-track files under /tmp on construction and puts them back
// (or removes them) on destruction, so tests that write them leave a user's state alone.
// Use only in tests holding the "tmp-korvel-files" lock.
class ActiveTrackFilesGuard {
 public:
  ActiveTrackFilesGuard();
  ~ActiveTrackFilesGuard();
  // Writes the files (nullptr: remove it).
  void set(const char* uidText, const char* trackText);

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

inline constexpr const char* kActiveUIDPath = "/tmp/korvel_active_uid.txt";
inline constexpr const char* kActiveTrackPath = "/tmp/korvel_active_track.txt";
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
