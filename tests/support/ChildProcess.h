// A program run as a child of a test or benchmark, driven the way a person drives it in a
// terminal: lines written to its standard input, lines read from its standard output, each
// stamped with the moment it arrived. Standard error goes to a file for failure messages.
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

namespace korvel::test {

using Clock = std::chrono::steady_clock;

struct OutputLine {
  std::string text;
  Clock::time_point arrived;
};

// Environment changes for the child: a value sets the variable, nullopt removes it.
using Environment = std::map<std::string, std::optional<std::string>>;

class ChildProcess {
 public:
  // argv[0] is a path or a name searched in PATH. Without `stderrPath` standard error goes
  // to a private file removed with this object. Descriptors opened without close-on-exec
  // are inherited.
  explicit ChildProcess(const std::vector<std::string>& argv, const Environment& env = {},
                        const std::string& stderrPath = {});
  // Stops a child still running (see stop()) and collects the rest of its output.
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
  // `match` runs under the child's lock: it must not call back into this object.
  std::optional<size_t> waitForLine(const std::function<bool(const std::string&)>& match,
                                    size_t from = 0,
                                    std::chrono::milliseconds deadline = std::chrono::seconds(10));
  // The same for a line containing `text`.
  std::optional<size_t> waitForLine(const std::string& text, size_t from = 0,
                                    std::chrono::milliseconds deadline = std::chrono::seconds(10));
  size_t countLines(const std::string& text, size_t from = 0) const;

  size_t lineCount() const;
  OutputLine line(size_t index) const;
  std::vector<OutputLine> lines() const;
  // Everything read from standard output so far, lines joined by line breaks.
  std::string output() const;
  std::string errors() const;
  // The tail of the output and the standard error, for failure messages.
  std::string transcript() const;

  // Waits for the child to exit by itself, and for the end of its output. The exit status, or 128 +
  // the signal's number when a signal ended it (as a shell reports it), so that "killed" never
  // reads as a status the program itself could have chosen.
  std::optional<int> waitForExit(std::chrono::milliseconds deadline = std::chrono::seconds(10));
  // Closes its input, asks it to end (SIGTERM) and kills it (SIGKILL) when it does not
  // end within a few seconds. Only this child's PID is signalled.
  void stop();
  // SIGKILL at once, and reaps it.
  void kill();

 private:
  void readOutput();
  void reap(int options);

  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
  int input_ = -1;
  int output_ = -1;
  std::string stderrPath_;
  bool ownsStderr_ = false;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<OutputLine> lines_;
  bool outputEnded_ = false;
  bool abandonOutput_ = false;
  std::thread reader_;
};

}  // namespace korvel::test
