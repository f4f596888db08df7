#include "tests/host/HostProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <regex>

extern char** environ;

namespace korvel::host::test {

using korvel::test::ReadFile;
using korvel::test::WaitUntil;

namespace {

int ExitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

HostProcess::HostProcess(const korvel::test::TempDir& dir, const std::vector<std::string>& args,
                         const EnvironmentChanges& env)
    : dir_(dir) {
  static int counter = 0;
  stem_ = "host" + std::to_string(++counter);
  std::vector<std::string> all = {KORVEL_HOST_BINARY};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    if (!env.count(entry.substr(0, entry.find('=')))) envText.push_back(entry);
  }
  for (const auto& [name, value] : env)
    if (value) envText.push_back(name + "=" + *value);
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, dir_.file(stem_ + ".out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, dir_.file(stem_ + ".err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

HostProcess::~HostProcess() {
  if (pid_ > 0 && !result_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

std::string HostProcess::out() const { return ReadFile(dir_.file(stem_ + ".out")); }

std::optional<HostResult> HostProcess::wait(std::chrono::milliseconds deadline) {
  if (result_ || pid_ <= 0) return result_;
  int status = 0;
  bool exited = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, deadline);
  if (!exited) return std::nullopt;
  result_ = HostResult{ExitStatus(status), out(), ReadFile(dir_.file(stem_ + ".err"))};
  return result_;
}

HostResult RunHost(const std::vector<std::string>& args, const EnvironmentChanges& env) {
  korvel::test::TempDir dir;
  HostProcess host(dir, args, env);
  if (!host.started()) return {};
  auto result = host.wait();
  return result ? *result : HostResult{};
}

std::string TrackField(const std::string& report, int n, const std::string& key) {
  size_t at = report.find("track " + std::to_string(n) + ": ");
  if (at == std::string::npos) return "";
  std::regex line("\n  " + key + ": ?([^\n]*)");
  std::smatch m;
  std::string rest = report.substr(at);
  size_t next = rest.find("\ntrack ", 1);
  if (next != std::string::npos) rest = rest.substr(0, next);
  return std::regex_search(rest, m, line) ? m[1].str() : "";
}

Rgb FromFractions(double r, double g, double b) {
  return Rgb{int(std::lround(r * 255)), int(std::lround(g * 255)), int(std::lround(b * 255))};
}

int Distance(Rgb a, Rgb b) {
  return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
}

bool Near(Rgb a, Rgb b, int tolerance) { return Distance(a, b) <= tolerance; }

std::string Describe(Rgb c) {
  return "rgb(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

}  // namespace korvel::host::test
