// korvel-host (or Xvfb) in a child process for the host's tests: started with a chosen
// environment, its output captured in files, its exit awaited with a deadline; and what
// the tests read from its report and its pictures.
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
  // Runs `program` with `args`; stdout and stderr go to files in `dir`. File descriptors
  // the test opened without close-on-exec are inherited.
  HostProcess(const korvel::test::TempDir& dir, const std::vector<std::string>& args,
              const EnvironmentChanges& env = {}, const std::string& program = KORVEL_HOST_BINARY);
  ~HostProcess();  // a child still running gets SIGTERM, and SIGKILL if it lingers
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::string out() const;
  std::string err() const;
  // Waits up to `deadline` for the child to exit; nullopt if it is still running.
  std::optional<HostResult> wait(std::chrono::milliseconds deadline = std::chrono::seconds(30));

 private:
  const korvel::test::TempDir& dir_;
  std::string stem_;
  pid_t pid_ = -1;
  std::optional<HostResult> result_;
};

// Runs korvel-host to completion (deadline 30 s).
HostResult RunHost(const std::vector<std::string>& args, const EnvironmentChanges& env = {});

// The report's value of `key` for track `n` (1-based), "" when absent.
std::string TrackField(const std::string& report, int n, const std::string& key);

// Connection files written as the companion would, under /tmp; removed at destruction.
class ConnectionFiles {
 public:
  ~ConnectionFiles();
  void write(const std::string& uid, const std::string& json);
  const std::string& path(size_t i) const { return paths_[i]; }

 private:
  std::vector<std::string> paths_;
};

// An 8-bit RGB pixel, and the editor's colours.
struct Rgb {
  int r = 0, g = 0, b = 0;
};
Rgb FromFractions(double r, double g, double b);
int Distance(Rgb a, Rgb b);  // the largest difference of the three channels
bool Near(Rgb a, Rgb b, int tolerance = 3);
std::string Describe(Rgb c);
inline const Rgb kBackground = FromFractions(0.11, 0.11, 0.13);
inline const Rgb kHeaderBand = FromFractions(0.09, 0.09, 0.11);
inline const Rgb kConnectBlue = FromFractions(0.2, 0.5, 1.0);
inline const Rgb kDotNotConnected = FromFractions(1.0, 0.3, 0.3);
inline const Rgb kDotOtherTrack = FromFractions(1.0, 0.6, 0.0);
inline const Rgb kDotActiveTrack = FromFractions(0.3, 0.8, 0.3);

}  // namespace korvel::host::test
