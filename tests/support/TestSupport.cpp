#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

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

PrivateJackServer::PrivateJackServer(int periodFrames) : name_(UniqueServerName()), period_(periodFrames) {
  setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
  start();
}

PrivateJackServer::~PrivateJackServer() { stop(); }

bool PrivateJackServer::start() {
  if (pid_ > 0) return true;
  pid_t pid = fork();
  if (pid == 0) {
    // A test that dies without running destructors must not leave its server behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDIN_FILENO);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    std::string period = std::to_string(period_);
    execlp("jackd", "jackd", "--no-realtime", "-n", name_.c_str(), "-d", "dummy", "-r", "48000", "-p",
           period.c_str(), "-C", "0", "-P", "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return false;
  pid_ = pid;
  bool up = WaitUntil([&] {
    int st;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      return true;
    }
    return ServerAccepts(name_);
  });
  if (!up || pid_ < 0) {
    stop();
    return false;
  }
  return true;
}

void PrivateJackServer::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  bool gone = WaitUntil([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, std::chrono::seconds(5));
  if (!gone) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
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
