// A program run as a child of the test, driven the way a person drives it in a terminal:
// lines written to its standard input, lines read from its standard output. Each output
// line is stamped with the moment it arrived, so tests can measure the intervals between
// messages the child reports. Standard error goes to a file for failure messages.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvel::e2e {

using Clock = std::chrono::steady_clock;

struct OutputLine {
  std::string text;
  Clock::time_point arrived;
};

// Environment changes for the child: a value sets the variable, nullopt removes it.
using Environment = std::map<std::string, std::optional<std::string>>;

class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const Environment& env, const std::string& stderrPath);
  // Stops a child still running (see stop()) and waits for the end of its output, which
  // comes with its exit as long as it left no process of its own holding the pipe.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Writes `line` and a line break to the child's standard input.
  void send(const std::string& line);
  void closeInput();

  // The index of the first line at or after `from` that `match` accepts, waiting until
  // `deadline` has passed; nullopt on timeout or when the output ended without one.
  // `match` sees each line once, in order, under the child's lock: it may count lines
  // but must not call back into this object.
  std::optional<size_t> waitForLine(const std::function<bool(const std::string&)>& match, size_t from,
                                    std::chrono::milliseconds deadline);
  // The same for a line containing `text`.
  std::optional<size_t> waitForLine(const std::string& text, size_t from, std::chrono::milliseconds deadline);

  size_t lineCount() const;
  OutputLine line(size_t index) const;
  std::vector<OutputLine> lines() const;
  // Everything read so far and the child's standard error, for failure messages.
  std::string transcript() const;

  // Waits for the child to exit by itself; its exit status (128 + signal when killed).
  std::optional<int> waitForExit(std::chrono::milliseconds deadline);
  // Closes its input, asks it to end (SIGTERM) and kills it (SIGKILL) when it does not
  // end within a few seconds. Only this child's PID is signalled.
  void stop();

 private:
  void readOutput();

  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
  int input_ = -1;
  int output_ = -1;
  std::string stderrPath_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<OutputLine> lines_;
  bool outputEnded_ = false;
  std::thread reader_;
};

}  // namespace korvel::e2e
