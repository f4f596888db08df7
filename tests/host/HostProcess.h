// korvel-host in a child process for the host's tests, and what the tests read from its
// report and its pictures.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace korvel::host::test {

struct HostResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

using EnvironmentChanges = korvel::test::Environment;
using korvel::test::ChildProcess;

// korvel-host's command line with `args`.
std::vector<std::string> HostArgv(const std::vector<std::string>& args);
// Waits up to `deadline` for the child to exit; nullopt if it is still running.
std::optional<HostResult> Finish(ChildProcess& child,
                                 std::chrono::milliseconds deadline = std::chrono::seconds(30));

// Runs korvel-host to completion (deadline 30 s).
HostResult RunHost(const std::vector<std::string>& args, const EnvironmentChanges& env = {});

// The report's value of `key` for track `n` (1-based), "" when absent.
inline std::string TrackField(const std::string& report, int n, const std::string& key) {
  const size_t at = report.find("track " + std::to_string(n) + ": ");
  if (at == std::string::npos) return "";
  const std::string block = report.substr(at, report.find("\ntrack ", at + 1) - at);
  std::smatch m;
  return std::regex_search(block, m, std::regex("\n  " + key + ": ?([^\n]*)")) ? m[1].str() : "";
}

}  // namespace korvel::host::test
