// Helpers of the fault tests: the real tolvane as a child process, an instance opened the
// way a host opens it, and waits that keep the main queue running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "component/KorvelComponent.h"
#include "identity/UIDRegistry.h"
#include "link/CompanionLink.h"

namespace korvel::test::faults {

// Polls `condition` with a deadline, running due main-queue work before each look (the
// host's main thread would).
bool WaitPumping(const std::function<bool()>& condition,
                 std::chrono::milliseconds deadline = std::chrono::seconds(10));

std::string Hex(uint32_t uid);

// tolvane with its standard input and output on pipes; every line it prints is kept.
class TolvaneProcess {
 public:
  TolvaneProcess(const std::string& home, std::vector<std::string> args);
  ~TolvaneProcess();
  TolvaneProcess(const TolvaneProcess&) = delete;
  TolvaneProcess& operator=(const TolvaneProcess&) = delete;

  pid_t pid() const { return pid_; }
  // SIGKILL, and reaps it.
  void kill();
  // Lines printed so far (reads what is waiting in the pipe first).
  const std::vector<std::string>& lines();
  // Index of the first line at or after `from` that contains `text`, waiting for it.
  std::optional<size_t> waitForLine(const std::string& text, size_t from = 0,
                                    std::chrono::milliseconds deadline = std::chrono::seconds(10));
  size_t countLines(const std::string& text, size_t from = 0);

 private:
  void drain();
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
};

// A file under the fixed /tmp paths, put back as it was found (or removed) at the end.
class SavedFile {
 public:
  explicit SavedFile(std::string path);
  ~SavedFile();

 private:
  std::string path_;
  std::optional<std::string> before_;
};

// An instance opened through the exported factory, closed at the end of the scope.
class OpenInstance {
 public:
  OpenInstance();
  ~OpenInstance();
  OpenInstance(const OpenInstance&) = delete;
  OpenInstance& operator=(const OpenInstance&) = delete;
  KorvelInstance* operator->() const { return inst_; }
  KorvelInstance* get() const { return inst_; }
  uint32_t uid() const { return KR_Load(inst_->uniqueID); }
  std::string trackName() const;
  // The number of queued events, read under the queue's lock as the tick reads it.
  int32_t pendingCount() const;
  void command(uint32_t command);

 private:
  KorvelInstance* inst_;
};

}  // namespace korvel::test::faults
