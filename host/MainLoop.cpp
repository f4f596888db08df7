#include "host/MainLoop.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <glib-unix.h>
#include <glib.h>

#include <algorithm>
#include <cstdint>

#include "host/PluginBundle.h"

namespace korvel::host {
namespace {

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void BlockTerminationSignals() {
  sigset_t set = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

MainLoop::MainLoop(const PluginBundle& bundle) : bundle_(bundle) {
  sigset_t set = TerminationSignals();
  signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

MainLoop::~MainLoop() {
  for (unsigned id : glibSources_)
    if (id != 0) g_source_remove(id);
  if (signalFd_ >= 0) ::close(signalFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void MainLoop::wake() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

bool MainLoop::runUntil(const std::function<bool()>& done,
                        std::optional<std::chrono::steady_clock::duration> timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();
  while (true) {
    if (done && done()) return true;
    if (interrupted_) return false;
    // Conditions may also change on the plug-in's own threads, which do not wake this
    // loop, so they are looked at again at least every 20 ms.
    int waitMs = 20;
    if (timeout) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      waitMs = std::min<int>(waitMs, static_cast<int>(left.count()) + 1);
    }
    if (glib_) {
      waitWithGLib(waitMs);
      continue;
    }
    pollfd fds[3] = {
        {bundle_.mainQueueFD(), POLLIN, 0}, {signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int n = ::poll(fds, 3, waitMs);
    if (n < 0) continue;  // EINTR
    if (fds[0].revents & POLLIN) bundle_.runMainQueue();
    if (fds[1].revents & POLLIN) readSignals();
    if (fds[2].revents & POLLIN) drainWakeups();
  }
}

void MainLoop::readSignals() {
  signalfd_siginfo info;
  while (::read(signalFd_, &info, sizeof info) == sizeof info) interrupted_ = true;
}

void MainLoop::drainWakeups() {
  uint64_t count;
  [[maybe_unused]] ssize_t r = ::read(wakeFd_, &count, sizeof count);
}

void MainLoop::useGLibContext() {
  if (glib_) return;
  glib_ = true;
  auto watch = [this](int fd, GUnixFDSourceFunc handler) -> unsigned {
    return fd >= 0 ? g_unix_fd_add(fd, G_IO_IN, handler, this) : 0;
  };
  glibSources_[0] = watch(bundle_.mainQueueFD(), [](int, GIOCondition, gpointer self) -> gboolean {
    static_cast<MainLoop*>(self)->bundle_.runMainQueue();
    return G_SOURCE_CONTINUE;
  });
  glibSources_[1] = watch(signalFd_, [](int, GIOCondition, gpointer self) -> gboolean {
    static_cast<MainLoop*>(self)->readSignals();
    return G_SOURCE_CONTINUE;
  });
  glibSources_[2] = watch(wakeFd_, [](int, GIOCondition, gpointer self) -> gboolean {
    static_cast<MainLoop*>(self)->drainWakeups();
    return G_SOURCE_CONTINUE;
  });
}

// One pass of the default context: dispatches whatever is ready (windows, timers, the
// sources above), waiting at most `waitMs` for something to become ready.
void MainLoop::waitWithGLib(int waitMs) {
  bool elapsed = false;
  unsigned timeout = g_timeout_add(
      static_cast<unsigned>(std::max(waitMs, 0)),
      [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &elapsed);
  g_main_context_iteration(nullptr, TRUE);
  if (!elapsed) g_source_remove(timeout);
}

void MainLoop::runFor(std::chrono::steady_clock::duration d) { runUntil(nullptr, d); }

}  // namespace korvel::host
