#include "editor/RefreshTimer.h"

#include "platform/Dispatch.h"

namespace korvel::editor {

RefreshTimer::RefreshTimer(const KorvelWindowServices& services, std::chrono::nanoseconds interval,
                           std::function<void()> fire)
    : fire_(std::move(fire)), services_(services) {
  if (services_.startRepeatingTimer != nullptr && services_.stopTimer != nullptr) {
    const double seconds = std::chrono::duration<double>(interval).count();
    hostTimer_ =
        services_.startRepeatingTimer(services_.context, seconds, &RefreshTimer::Fire, this);
    return;
  }
  queueTimer_ = platform::CurrentDispatcher().makeTimerSource(platform::DispatchQueue::Main);
  queueTimer_->setEventHandler([this] { fire_(); });
  queueTimer_->setTimer(interval, interval, platform::Duration::zero());
  queueTimer_->resume();
}

RefreshTimer::~RefreshTimer() {
  if (hostTimer_ != 0) services_.stopTimer(services_.context, hostTimer_);
  if (queueTimer_ != nullptr) {
    // Cancelled on the main thread, where its handler runs: no handler is under way, and
    // none starts after this.
    queueTimer_->cancel();
    queueTimer_->release();
  }
}

void RefreshTimer::Fire(void* self) {
  auto* timer = static_cast<RefreshTimer*>(self);
  timer->fire_();
}

}  // namespace korvel::editor
