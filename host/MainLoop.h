// The host's main-thread event loop: it runs the plug-in's main-queue work when the
// plug-in's descriptor says some is due, and stops on SIGINT/SIGTERM or when another
// thread wakes it and the caller's condition holds.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

namespace korvel::host {

class PluginBundle;

// Blocks SIGINT and SIGTERM in the calling thread; call it first in main(), before any
// thread exists, so that every later thread inherits the mask and the signals are only
// ever taken by the loop's signalfd.
void BlockTerminationSignals();

class MainLoop {
 public:
  explicit MainLoop(const PluginBundle& bundle);
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  // Runs until `done()` holds (true), a termination signal arrives or the deadline
  // passes (false). `done` is tested on entry and after every wake-up.
  bool runUntil(const std::function<bool()>& done,
                std::optional<std::chrono::steady_clock::duration> timeout = std::nullopt);
  // Runs main-queue work for `d`, e.g. to let one-shot tasks of closed instances finish.
  void runFor(std::chrono::steady_clock::duration d);
  // Safe from any thread, also real-time ones (one write to an eventfd).
  void wake();
  // From now on the loop waits in GLib's default main context, with the plug-in's
  // main-queue descriptor, the signals and the wake-ups as sources there, so that GTK
  // windows and the plug-in's main-queue work share the main thread. Call once, on the
  // main thread, before windows are made.
  void useGLibContext();
  bool interrupted() const { return interrupted_; }

 private:
  const PluginBundle& bundle_;
  int signalFd_ = -1;
  int wakeFd_ = -1;
  bool interrupted_ = false;
  bool glib_ = false;
  unsigned glibSources_[3] = {0, 0, 0};

  void readSignals();
  void drainWakeups();
  void waitWithGLib(int waitMs);
};

}  // namespace korvel::host
