#include "tests/host/HostProcess.h"

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

}  // namespace korvel::host::test
