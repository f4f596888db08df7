// korvel-host in a child process for the editor tests: started with a chosen
// environment, its output captured in files, and its exit awaited with a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace korvel::host::test {

struct HostResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// Environment changes for the child: a value sets the variable, nullopt removes it.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

class HostProcess {
 public:
  // Runs KORVEL_HOST_BINARY with `args`; stdout and stderr go to files in `dir`.
  HostProcess(const korvel::test::TempDir& dir, const std::vector<std::string>& args,
              const EnvironmentChanges& env = {});
  ~HostProcess();  // kills a child still running
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::string out() const;
  // Waits up to `deadline` for the child to exit; nullopt if it is still running.
  std::optional<HostResult> wait(std::chrono::milliseconds deadline = std::chrono::seconds(30));

 private:
  const korvel::test::TempDir& dir_;
  std::string stem_;
  pid_t pid_ = -1;
  std::optional<HostResult> result_;
};

// Runs the host to completion (deadline 30 s).
HostResult RunHost(const std::vector<std::string>& args, const EnvironmentChanges& env = {});

// The report's value of `key` for track `n` (1-based), "" when absent.
std::string TrackField(const std::string& report, int n, const std::string& key);

// An 8-bit RGB pixel and the colour it should show, given as fractions.
struct Rgb {
  int r = 0, g = 0, b = 0;
};
Rgb FromFractions(double r, double g, double b);
bool Near(Rgb a, Rgb b, int tolerance = 3);
int Distance(Rgb a, Rgb b);  // the largest difference of the three channels
std::string Describe(Rgb c);

}  // namespace korvel::host::test
