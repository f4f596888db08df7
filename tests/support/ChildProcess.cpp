#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace korvel::test {

namespace {

int ExitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> ChildEnvironment(const Environment& changes) {
  std::vector<std::string> entries;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    if (!changes.count(entry.substr(0, entry.find('=')))) entries.push_back(entry);
  }
  for (const auto& [name, value] : changes)
    if (value) entries.push_back(name + "=" + *value);
  return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& env,
                           const std::string& stderrPath)
    : stderrPath_(stderrPath) {
  // Writing to a child that has ended must fail, not kill the test run.
  static const bool kIgnoreBrokenPipes = [] { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)kIgnoreBrokenPipes;
  int err = -1;
  if (stderrPath_.empty()) {
    char path[] = "/tmp/korvel-child-stderr-XXXXXX";
    err = mkostemp(path, O_CLOEXEC);
    stderrPath_ = path;
    ownsStderr_ = true;
  } else {
    err = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  // Everything the child needs is prepared before fork: between fork and exec only
  // async-signal-safe calls are allowed, as the test process has other threads.
  std::vector<std::string> argvText = argv, envText = ChildEnvironment(env);
  std::vector<char*> args = Pointers(argvText), envp = Pointers(envText);
  int in[2], out[2];
  if (argv.empty() || pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // A test that dies without running destructors must not leave the child behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored across exec
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    if (err >= 0) dup2(err, STDERR_FILENO);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (err >= 0) close(err);
  if (pid_ < 0) {
    close(in[1]);
    close(out[0]);
    return;
  }
  input_ = in[1];
  output_ = out[0];
  reader_ = std::thread([this] { readOutput(); });
}

ChildProcess::~ChildProcess() {
  stop();
  {
    std::lock_guard lock(mutex_);
    abandonOutput_ = true;
  }
  if (reader_.joinable()) reader_.join();
  if (output_ >= 0) close(output_);
  if (ownsStderr_) unlink(stderrPath_.c_str());
}

void ChildProcess::readOutput() {
  std::string partial;
  char buffer[4096];
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (abandonOutput_) break;
    }
    pollfd readable{output_, POLLIN, 0};
    if (poll(&readable, 1, 50) == 0) continue;
    const ssize_t n = read(output_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    const Clock::time_point now = Clock::now();
    if (n <= 0) break;
    partial.append(buffer, static_cast<size_t>(n));
    std::lock_guard lock(mutex_);
    for (size_t newline; (newline = partial.find('\n')) != std::string::npos;) {
      lines_.push_back({partial.substr(0, newline), now});
      partial.erase(0, newline + 1);
    }
    arrived_.notify_all();
  }
  std::lock_guard lock(mutex_);
  if (!partial.empty()) lines_.push_back({partial, Clock::now()});
  outputEnded_ = true;
  arrived_.notify_all();
}

void ChildProcess::send(const std::string& line) {
  if (input_ < 0) return;
  const std::string text = line + "\n";
  // A child that has gone makes the write fail (EPIPE, see the constructor); the test
  // notices that by the answer that never comes.
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(input_, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
}

void ChildProcess::closeInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

std::optional<size_t> ChildProcess::waitForLine(
    const std::function<bool(const std::string&)>& match, size_t from,
    std::chrono::milliseconds deadline) {
  const Clock::time_point end = Clock::now() + deadline;
  std::unique_lock lock(mutex_);
  for (size_t next = from;;) {
    for (; next < lines_.size(); ++next)
      if (match(lines_[next].text)) return next;
    if (outputEnded_) return std::nullopt;
    if (arrived_.wait_until(lock, end) == std::cv_status::timeout && lines_.size() == next)
      return std::nullopt;
  }
}

std::optional<size_t> ChildProcess::waitForLine(const std::string& text, size_t from,
                                                std::chrono::milliseconds deadline) {
  return waitForLine([&](const std::string& line) { return line.find(text) != std::string::npos; },
                     from, deadline);
}

size_t ChildProcess::countLines(const std::string& text, size_t from) const {
  std::lock_guard lock(mutex_);
  size_t count = 0;
  for (size_t i = from; i < lines_.size(); ++i)
    count += lines_[i].text.find(text) != std::string::npos;
  return count;
}

size_t ChildProcess::lineCount() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

OutputLine ChildProcess::line(size_t index) const {
  std::lock_guard lock(mutex_);
  return index < lines_.size() ? lines_[index] : OutputLine{};
}

std::vector<OutputLine> ChildProcess::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::string ChildProcess::output() const {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const OutputLine& l : lines_) text += l.text + "\n";
  return text;
}

std::string ChildProcess::errors() const { return ReadFile(stderrPath_); }

std::string ChildProcess::transcript() const {
  std::ostringstream text;
  {
    std::lock_guard lock(mutex_);
    // The tail is what matters when something went wrong late in a long run.
    const size_t first = lines_.size() > 200 ? lines_.size() - 200 : 0;
    if (first) text << "[" << first << " earlier lines]\n";
    for (size_t i = first; i < lines_.size(); ++i) text << lines_[i].text << "\n";
  }
  text << "--- standard error ---\n" << errors();
  return text.str();
}

void ChildProcess::reap(int options) {
  int status = 0;
  if (waitpid(pid_, &status, options) == pid_) exitStatus_ = ExitStatus(status);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds deadline) {
  if (pid_ > 0 && !exitStatus_)
    WaitUntil([&] { return reap(WNOHANG), exitStatus_.has_value(); }, deadline);
  if (exitStatus_) {
    // The end of the output comes with the exit, unless a grandchild still holds it.
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(2), [&] { return outputEnded_; });
  }
  return exitStatus_;
}

void ChildProcess::stop() {
  closeInput();
  if (pid_ <= 0 || exitStatus_) return;
  ::kill(pid_, SIGTERM);
  if (!waitForExit(std::chrono::seconds(5))) kill();
}

void ChildProcess::kill() {
  if (pid_ <= 0 || exitStatus_) return;
  ::kill(pid_, SIGKILL);
  reap(0);
}

}  // namespace korvel::test
