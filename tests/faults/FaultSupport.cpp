#include "tests/faults/FaultSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "platform/Dispatch.h"
#include "tests/support/TestSupport.h"

namespace korvel::test::faults {

bool WaitPumping(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  return WaitUntil(
      [&] {
        Korvel_RunMainQueue();
        return condition();
      },
      deadline);
}

std::string Hex(uint32_t uid) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", uid);
  return text;
}

TolvaneProcess::TolvaneProcess(const std::string& home, std::vector<std::string> args) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    setenv("HOME", home.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(TOLVANE_PATH)};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(TOLVANE_PATH, argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_ = out[0];
  fcntl(output_, F_SETFL, O_NONBLOCK);
}

TolvaneProcess::~TolvaneProcess() {
  if (input_ >= 0) close(input_);
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    if (!WaitUntil([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, std::chrono::seconds(5))) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  if (output_ >= 0) close(output_);
}

void TolvaneProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void TolvaneProcess::drain() {
  char buffer[4096];
  ssize_t n;
  while (output_ >= 0 && (n = read(output_, buffer, sizeof buffer)) > 0) partial_.append(buffer, static_cast<size_t>(n));
  size_t newline;
  while ((newline = partial_.find('\n')) != std::string::npos) {
    lines_.push_back(partial_.substr(0, newline));
    partial_.erase(0, newline + 1);
  }
}

const std::vector<std::string>& TolvaneProcess::lines() {
  drain();
  return lines_;
}

std::optional<size_t> TolvaneProcess::waitForLine(const std::string& text, size_t from,
                                                  std::chrono::milliseconds deadline) {
  std::optional<size_t> found;
  WaitPumping(
      [&] {
        drain();
        for (size_t i = from; i < lines_.size(); ++i) {
          if (lines_[i].find(text) != std::string::npos) {
            found = i;
            return true;
          }
        }
        return false;
      },
      deadline);
  return found;
}

size_t TolvaneProcess::countLines(const std::string& text, size_t from) {
  drain();
  size_t count = 0;
  for (size_t i = from; i < lines_.size(); ++i) count += lines_[i].find(text) != std::string::npos;
  return count;
}

SavedFile::SavedFile(std::string path) : path_(std::move(path)) {
  if (std::filesystem::is_regular_file(path_)) before_ = ReadFile(path_);
}

SavedFile::~SavedFile() {
  std::error_code ec;
  std::filesystem::remove(path_, ec);
  if (before_) WriteFile(path_, *before_);
}

OpenInstance::OpenInstance() {
  AudioComponentPlugInInterface* iface = KorvelAUFactory(nullptr);
  iface->Open(iface, reinterpret_cast<AudioComponentInstance>(iface));
  inst_ = reinterpret_cast<KorvelInstance*>(iface);
}

OpenInstance::~OpenInstance() { inst_->plugInInterface.Close(inst_); }

std::string OpenInstance::trackName() const {
  char name[kKorvelTrackNameSize];
  KR_CopyTrackName(inst_, name);
  return name;
}

int32_t OpenInstance::pendingCount() const {
  KR_Lock(&inst_->pendingLock);
  const int32_t count = inst_->pendingCount;
  KR_Unlock(&inst_->pendingLock);
  return count;
}

void OpenInstance::command(uint32_t command) {
  KR_SetProperty(inst_, kKorvelProperty_CompanionCommand, 0, 0, &command, sizeof command);
}

}  // namespace korvel::test::faults
