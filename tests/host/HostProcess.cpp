#include "tests/host/HostProcess.h"

#include <regex>

namespace korvel::host::test {

std::vector<std::string> HostArgv(const std::vector<std::string>& args) {
  std::vector<std::string> argv{KORVEL_HOST_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::optional<HostResult> Finish(ChildProcess& child, std::chrono::milliseconds deadline) {
  const std::optional<int> status = child.waitForExit(deadline);
  if (!status) return std::nullopt;
  return HostResult{*status, child.output(), child.errors()};
}

HostResult RunHost(const std::vector<std::string>& args, const EnvironmentChanges& env) {
  ChildProcess host(HostArgv(args), env);
  return Finish(host).value_or(HostResult{});
}

std::string TrackField(const std::string& report, int n, const std::string& key) {
  const size_t at = report.find("track " + std::to_string(n) + ": ");
  if (at == std::string::npos) return "";
  const std::string block = report.substr(at, report.find("\ntrack ", at + 1) - at);
  std::smatch m;
  return std::regex_search(block, m, std::regex("\n  " + key + ": ?([^\n]*)")) ? m[1].str() : "";
}

}  // namespace korvel::host::test
