#include "tests/host/HostProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>

extern char** environ;

namespace korvel::host::test {

using korvel::test::ReadFile;

HostProcess::HostProcess(const korvel::test::TempDir& dir, const std::vector<std::string>& args,
                         const EnvironmentChanges& env, const std::string& program)
    : dir_(dir) {
  static int counter = 0;
  stem_ = "child" + std::to_string(++counter);
  std::vector<std::string> argText = {program}, envText;
  argText.insert(argText.end(), args.begin(), args.end());
  for (char** e = environ; *e; ++e)
    if (!env.count(std::string(*e).substr(0, std::string(*e).find('=')))) envText.push_back(*e);
  for (const auto& [name, value] : env)
    if (value) envText.push_back(name + "=" + *value);
  auto pointers = [](std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
  };
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, dir_.file(stem_ + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, dir_.file(stem_ + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, pointers(argText).data(), pointers(envText).data()) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

HostProcess::~HostProcess() {
  if (pid_ <= 0 || result_) return;
  ::kill(pid_, SIGTERM);  // lets Xvfb remove its lock and socket
  if (!wait(std::chrono::seconds(10))) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string HostProcess::out() const { return ReadFile(dir_.file(stem_ + ".out")); }
std::string HostProcess::err() const { return ReadFile(dir_.file(stem_ + ".err")); }

std::optional<HostResult> HostProcess::wait(std::chrono::milliseconds deadline) {
  if (result_ || pid_ <= 0) return result_;
  int status = 0;
  if (!korvel::test::WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, deadline))
    return std::nullopt;
  result_ = HostResult{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), out(), err()};
  return result_;
}

HostResult RunHost(const std::vector<std::string>& args, const EnvironmentChanges& env) {
  korvel::test::TempDir dir;
  HostProcess host(dir, args, env);
  return host.wait().value_or(HostResult{});
}

std::string TrackField(const std::string& report, int n, const std::string& key) {
  const size_t at = report.find("track " + std::to_string(n) + ": ");
  if (at == std::string::npos) return "";
  const std::string block = report.substr(at, report.find("\ntrack ", at + 1) - at);
  std::smatch m;
  return std::regex_search(block, m, std::regex("\n  " + key + ": ?([^\n]*)")) ? m[1].str() : "";
}

ConnectionFiles::~ConnectionFiles() {
  for (const auto& p : paths_) std::remove(p.c_str());
}

void ConnectionFiles::write(const std::string& uid, const std::string& json) {
  paths_.push_back("/tmp/korvel_connection_" + uid + ".json");
  korvel::test::WriteFile(paths_.back(), json);
}

Rgb FromFractions(double r, double g, double b) {
  return Rgb{int(std::lround(r * 255)), int(std::lround(g * 255)), int(std::lround(b * 255))};
}

int Distance(Rgb a, Rgb b) { return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)}); }

bool Near(Rgb a, Rgb b, int tolerance) { return Distance(a, b) <= tolerance; }

std::string Describe(Rgb c) {
  return "rgb(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

}  // namespace korvel::host::test
