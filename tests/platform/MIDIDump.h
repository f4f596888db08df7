// JACK's own jack_midi_dump in a child process: an independent receiver whose input port
// records every MIDI event that reaches it, read back through a pipe. Being another
// process, it also keeps JACK's cross-client hand-over out of the thread sanitizer's
// sight, which cannot follow JACK's shared-memory futexes.
#pragma once

#include <cctype>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace korvel::test {

class MIDIDump {
 public:
  using Message = std::vector<uint8_t>;

  explicit MIDIDump(std::string clientName = "midi-dump")
      : client_(std::move(clientName)), dump_({"stdbuf", "-oL", "jack_midi_dump", client_}) {}

  std::string inputName() const { return client_ + ":input"; }

  // Drops what was received so far, and from now on ignores active sensing (FE), which
  // callers use as a probe and may still have in flight.
  void forget() {
    received();
    messages_.clear();
    ignoreActiveSensing_ = true;
  }

  // Every event received so far, in order. A line is "  1234: 90 3c 64 note on ...": the
  // bytes are the two-digit hex tokens after the colon, up to the first other word.
  const std::vector<Message>& received() {
    for (; parsed_ < dump_.lineCount(); ++parsed_) {
      const std::string line = dump_.line(parsed_).text;
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::istringstream tokens(line.substr(colon + 1));
      Message message;
      std::string token;
      while (tokens >> token && token.size() == 2 &&
             std::isxdigit(static_cast<unsigned char>(token[0])) &&
             std::isxdigit(static_cast<unsigned char>(token[1])))
        message.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
      if (!message.empty() && !(ignoreActiveSensing_ && message == Message{0xFE}))
        messages_.push_back(message);
    }
    return messages_;
  }

 private:
  std::string client_;
  ChildProcess dump_;
  size_t parsed_ = 0;
  std::vector<Message> messages_;
  bool ignoreActiveSensing_ = false;
};

}  // namespace korvel::test
