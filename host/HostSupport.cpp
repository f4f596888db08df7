#include "host/HostSupport.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdio>

namespace korvel::host {

std::string Hex(uint32_t uid) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", uid);
  return text;
}

uint32_t RandomU32() {
  uint32_t v = 0;
  while (getrandom(&v, sizeof v, 0) != sizeof v) {
  }
  return v;
}

std::string ConnectionFilePath(uint32_t uid) {
  return "/tmp/korvel_connection_" + Hex(uid) + ".json";
}

StderrCapture::StderrCapture(std::function<bool(const std::string& line)> take)
    : take_(std::move(take)) {
  std::fflush(stderr);
  saved_ = ::dup(2);
  int fds[2];
  if (saved_ < 0 || ::pipe2(fds, O_CLOEXEC) != 0) return;
  ::dup2(fds[1], 2);
  ::close(fds[1]);
  readEnd_ = fds[0];
  reader_ = std::thread([this] { read(); });
}

StderrCapture::~StderrCapture() { finish(); }

std::string StderrCapture::finish() {
  if (saved_ < 0) return std::move(collected_);
  std::fflush(stderr);
  ::dup2(saved_, 2);  // the pipe's last write end closes: the reader sees its end
  if (reader_.joinable()) reader_.join();
  if (readEnd_ >= 0) ::close(readEnd_);
  ::close(saved_);
  saved_ = readEnd_ = -1;
  return std::move(collected_);
}

void StderrCapture::read() {
  std::string pending;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(readEnd_, buffer, sizeof buffer)) > 0) {
    if (!take_) {
      collected_.append(buffer, size_t(n));
      continue;
    }
    pending.append(buffer, size_t(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      pass(pending.substr(0, end + 1));
      pending.erase(0, end + 1);
    }
  }
  if (!pending.empty()) pass(pending);
}

void StderrCapture::pass(const std::string& line) {
  if (take_(line)) return;
  [[maybe_unused]] ssize_t written = ::write(saved_, line.data(), line.size());
}

}  // namespace korvel::host
