// Helpers of the fault tests: the real tolvane as a child process, an instance opened the
// way a host opens it, and waits that keep the main queue running.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "component/KorvelComponent.h"
#include "identity/UIDRegistry.h"
#include "link/CompanionLink.h"
#include "tests/support/ChildProcess.h"

namespace korvel::test::faults {

// Polls `condition` with a deadline, running due main-queue work before each look (the
// host's main thread would).
bool WaitPumping(const std::function<bool()>& condition,
                 std::chrono::milliseconds deadline = std::chrono::seconds(10));

// tolvane as a child process; its waits keep the main queue running.
class TolvaneProcess : public ChildProcess {
 public:
  TolvaneProcess(const std::string& home, const std::vector<std::string>& args);
  std::optional<size_t> waitForLine(const std::string& text, size_t from = 0,
                                    std::chrono::milliseconds deadline = std::chrono::seconds(10));
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
