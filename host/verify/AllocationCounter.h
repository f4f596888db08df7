// Counting heap allocations made by one thread, to prove that the plug-in's real-time
// handlers allocate nothing. The host interposes malloc and its relatives for its whole
// process (the plug-in module's calls resolve to them too) and counts only the calls
// made on a thread that has switched counting on.
#pragma once

#include <cstdint>

namespace korvel::host {

// False in sanitizer builds, whose runtime owns malloc and must not be interposed.
bool AllocationCountingAvailable();

// Counts the calling thread's allocations between construction and count().
class ThreadAllocationCount {
 public:
  ThreadAllocationCount();
  ~ThreadAllocationCount();
  ThreadAllocationCount(const ThreadAllocationCount&) = delete;
  ThreadAllocationCount& operator=(const ThreadAllocationCount&) = delete;
  uint64_t count() const;

 private:
  uint64_t start_;
};

}  // namespace korvel::host
