// What the scale run measures of its own process: CPU time, resident memory and threads
// from the kernel's accounting, and CPU time per thread name for finding where an idle
// process spends it.
#pragma once

#include <map>
#include <string>

namespace korvel::host {

// User plus system time of every thread of the process so far, in seconds.
double ProcessCPUSeconds();
long ResidentKiB();
int ThreadCount();

struct ThreadGroup {
  int threads = 0;
  double cpuSeconds = 0;
};
// Threads grouped by their name (/proc/self/task/*/comm), with their CPU time so far.
std::map<std::string, ThreadGroup> ThreadsByName();

// CLOCK_MONOTONIC in nanoseconds: the same clock in every process of the machine.
long long MonotonicNanoseconds();

}  // namespace korvel::host
