#include "tests/support/TestSupport.h"

#include <jack/jack.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace korvel::test {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline,
               std::chrono::milliseconds interval) {
  auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    std::this_thread::sleep_for(interval);
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
  jack_client_t* c = jack_client_open(
      "korvel-probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
      name.c_str());
  if (!c) return false;
  jack_client_close(c);
  return true;
}
}  // namespace

PrivateJackServer::PrivateJackServer(int periodFrames, int portMax, bool forDAW)
    : name_(UniqueServerName()), period_(periodFrames), portMax_(portMax), forDAW_(forDAW) {
  setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
  start();
}

PrivateJackServer::~PrivateJackServer() { stop(); }

bool PrivateJackServer::start() {
  if (jackd_) return true;
  const std::string audioPorts = forDAW_ ? "2" : "0";
  std::vector<std::string> argv{"jackd", "--no-realtime", "-n", name_};
  if (forDAW_) argv.insert(argv.end(), {"-t", "10000"});
  if (portMax_ > 0) argv.insert(argv.end(), {"-p", std::to_string(portMax_)});
  argv.insert(argv.end(), {"-d", "dummy", "-r", "48000", "-p", std::to_string(period_), "-C",
                           audioPorts, "-P", audioPorts});
  jackd_ = std::make_unique<ChildProcess>(argv);
  auto exited = [&] { return jackd_->waitForExit(std::chrono::milliseconds(0)).has_value(); };
  if (!WaitUntil([&] { return exited() || ServerAccepts(name_); }) || exited()) {
    jackd_.reset();
    return false;
  }
  return true;
}

void PrivateJackServer::stop() { jackd_.reset(); }

SavedFile::SavedFile(std::string path) : path_(std::move(path)) {
  std::error_code ec;
  if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path_, ec)))
    before_ = ReadFile(path_);
}

SavedFile::~SavedFile() { set(before_ ? before_->c_str() : nullptr); }

void SavedFile::set(const char* contents) const {
  std::error_code ec;
  std::filesystem::remove(path_, ec);
  if (contents) WriteFile(path_, contents);
}

std::string HexUID(uint32_t uid) {
  char text[9];
  snprintf(text, sizeof text, "%08X", uid);
  return text;
}

std::string ConnectionFilePath(uint32_t uid) {
  return "/tmp/korvel_connection_" + HexUID(uid) + ".json";
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
