#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <optional>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace korvel::test {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/korvel-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

namespace {
std::string UniqueServerName() {
  static std::atomic<int> counter{0};
  return "korvel-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

bool ServerAccepts(const std::string& name) {
  jack_status_t status;
  jack_client_t* c = jack_client_open("korvel-probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                      &status, name.c_str());
  if (!c) return false;
  jack_client_close(c);
  return true;
}
}  // namespace

PrivateJackServer::PrivateJackServer(int periodFrames, bool forDAW)
    : name_(UniqueServerName()), period_(periodFrames), forDAW_(forDAW) {
  setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
  start();
}

PrivateJackServer::~PrivateJackServer() { stop(); }

bool PrivateJackServer::start() {
  if (jackd_) return true;
  const std::string audioPorts = forDAW_ ? "2" : "0";
  std::vector<std::string> argv{"jackd", "--no-realtime", "-n", name_, "-d", "dummy", "-r", "48000", "-p",
                                std::to_string(period_), "-C", audioPorts, "-P", audioPorts};
  if (forDAW_) argv.insert(argv.begin() + 2, {"-t", "10000"});
  jackd_ = std::make_unique<ChildProcess>(argv, std::vector<std::pair<std::string, std::string>>{}, false);
  auto exited = [&] { return jackd_->waitForExit(std::chrono::milliseconds(0)).has_value(); };
  if (!WaitUntil([&] { return exited() || ServerAccepts(name_); }) || exited()) {
    jackd_.reset();
    return false;
  }
  return true;
}

void PrivateJackServer::stop() { jackd_.reset(); }

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::pair<std::string, std::string>>& env, bool readOutput) {
  // Everything the child needs is made before the fork: another thread may hold the
  // allocator's lock at that moment.
  std::vector<std::string> settings;
  for (const auto& [name, value] : env) settings.push_back(name + "=" + value);
  std::vector<char*> args, envp;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  for (std::string& setting : settings) envp.push_back(setting.data());  // the first of a name wins
  for (char** inherited = environ; *inherited; ++inherited) envp.push_back(*inherited);
  args.push_back(nullptr);
  envp.push_back(nullptr);
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    // A test that dies without running destructors must not leave its children behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(in[0], STDIN_FILENO);
    dup2(readOutput ? out[1] : devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_ = out[0];
  fcntl(output_, F_SETFL, O_NONBLOCK);
}

void ChildProcess::send(const std::string& text) { (void)!write(input_, text.data(), text.size()); }

std::vector<std::string>& ChildProcess::lines() {
  char buffer[8192];
  ssize_t n;
  while (output_ >= 0 && (n = read(output_, buffer, sizeof buffer)) > 0) partial_.append(buffer, static_cast<size_t>(n));
  for (size_t newline; (newline = partial_.find('\n')) != std::string::npos; partial_.erase(0, newline + 1))
    lines_.push_back(partial_.substr(0, newline));
  return lines_;
}

bool ChildProcess::waitForLine(const std::string& text) {
  return WaitUntil([&] {
    std::vector<std::string>& all = lines();
    auto at = std::find_if(all.begin(), all.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
    if (at == all.end()) return false;
    all.erase(all.begin(), at + 1);
    return true;
  });
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds deadline) {
  int status = 0;
  if (pid_ <= 0 || !WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, deadline)) return std::nullopt;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::stop() {
  if (input_ >= 0) close(input_);
  input_ = -1;
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    if (!waitForExit(std::chrono::seconds(5))) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  if (output_ >= 0) close(output_);
  output_ = -1;
}

struct ActiveTrackFilesGuard::Saved {
  std::optional<std::string> uid, track;
};

namespace {
std::optional<std::string> Backup(const char* path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec))) return std::nullopt;
  return ReadFile(path);
}
void Restore(const char* path, const std::optional<std::string>& contents) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (contents) WriteFile(path, *contents);
}
}  // namespace

ActiveTrackFilesGuard::ActiveTrackFilesGuard() : saved_(new Saved{Backup(kActiveUIDPath), Backup(kActiveTrackPath)}) {
  set(nullptr, nullptr);
}

ActiveTrackFilesGuard::~ActiveTrackFilesGuard() {
  Restore(kActiveUIDPath, saved_->uid);
  Restore(kActiveTrackPath, saved_->track);
}

void ActiveTrackFilesGuard::set(const char* uidText, const char* trackText) {
  Restore(kActiveUIDPath, uidText ? std::optional<std::string>(uidText) : std::nullopt);
  Restore(kActiveTrackPath, trackText ? std::optional<std::string>(trackText) : std::nullopt);
}

std::string ConnectionFilePath(uint32_t uid) {
  char path[64];
  snprintf(path, sizeof path, "/tmp/korvel_connection_%08X.json", uid);
  return path;
}

namespace {
// Test processes never talk to a JACK server they did not start themselves: by default
// they point at a server name that does not exist, and PrivateJackServer overrides it.
[[maybe_unused]] const bool kNoAmbientJack = [] {
  std::string none = "korvel-test-none-" + std::to_string(getpid());
  setenv("JACK_DEFAULT_SERVER", none.c_str(), 1);
  return true;
}();
}  // namespace

VirtualDispatchScope::VirtualDispatchScope() { platform::SetDispatcherForTesting(&dispatcher_); }
VirtualDispatchScope::~VirtualDispatchScope() { platform::SetDispatcherForTesting(nullptr); }

}  // namespace korvel::test
