/*
 * The editor's repeating refresh timer. It runs on the window's own timer service when
 * the host offers one, else on the plug-in's main queue. Destroying it stops it, and
 * after that its callback is never called again.
 */
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "editor/ViewABI.h"

namespace korvel::platform {
class TimerSource;
}

namespace korvel::editor {

class RefreshTimer {
 public:
  RefreshTimer(const KorvelWindowServices& services, std::chrono::nanoseconds interval,
               std::function<void()> fire);
  ~RefreshTimer();
  RefreshTimer(const RefreshTimer&) = delete;
  RefreshTimer& operator=(const RefreshTimer&) = delete;

 private:
  static void Fire(void* self);

  std::function<void()> fire_;
  KorvelWindowServices services_;
  uint64_t hostTimer_ = 0;
  platform::TimerSource* queueTimer_ = nullptr;
};

}  // namespace korvel::editor
