// JACK's own jack_midi_dump in a child process: an independent receiver whose input port
// records every MIDI event that reaches it, read back through a pipe. Being another
// process, it also keeps JACK's cross-client hand-over out of the thread sanitizer's
// sight, which cannot follow JACK's shared-memory futexes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace korvel::test {

class MidiDump {
 public:
  using Message = std::vector<uint8_t>;

  explicit MidiDump(std::string clientName = "midi-dump") : client_(std::move(clientName)) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, STDERR_FILENO);
      close(out[0]);
      execlp("stdbuf", "stdbuf", "-oL", "jack_midi_dump", client_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    output_ = out[0];
    fcntl(output_, F_SETFL, O_NONBLOCK);
  }
  ~MidiDump() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      if (!WaitUntil([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, std::chrono::seconds(5))) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (output_ >= 0) close(output_);
  }
  MidiDump(const MidiDump&) = delete;
  MidiDump& operator=(const MidiDump&) = delete;

  std::string inputName() const { return client_ + ":input"; }

  // Drops what was received so far, and from now on ignores active sensing (FE), which
  // callers use as a probe and may still have in flight.
  void forget() {
    received();
    messages_.clear();
    ignoreActiveSensing_ = true;
  }

  // Every event received so far, in order.
  const std::vector<Message>& received() {
    char buffer[8192];
    ssize_t n;
    while ((n = read(output_, buffer, sizeof buffer)) > 0) partial_.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = partial_.find('\n')) != std::string::npos) {
      parseLine(partial_.substr(0, newline));
      partial_.erase(0, newline + 1);
    }
    return messages_;
  }

 private:
  // "  1234: 90 3c 64 note on (channel 0): ..." — the bytes are the two-digit hex
  // tokens after the colon, up to the first other word.
  void parseLine(const std::string& line) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) return;
    std::istringstream tokens(line.substr(colon + 1));
    Message message;
    std::string token;
    while (tokens >> token && token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0])) &&
           std::isxdigit(static_cast<unsigned char>(token[1]))) {
      message.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    }
    if (message.empty() || (ignoreActiveSensing_ && message == Message{0xFE})) return;
    messages_.push_back(std::move(message));
  }

  std::string client_;
  pid_t pid_ = -1;
  int output_ = -1;
  std::string partial_;
  std::vector<Message> messages_;
  bool ignoreActiveSensing_ = false;
};

}  // namespace korvel::test
