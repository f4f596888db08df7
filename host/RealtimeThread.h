// A thread for the host's real-time work (MIDI delivery and rendering): SCHED_FIFO when
// the system lets this process have it, an ordinary thread otherwise.
#pragma once

#include <pthread.h>

#include <functional>

namespace korvel::host {

class RealtimeThread {
 public:
  explicit RealtimeThread(std::function<void()> body);
  ~RealtimeThread();  // joins
  RealtimeThread(const RealtimeThread&) = delete;
  RealtimeThread& operator=(const RealtimeThread&) = delete;

  bool isRealtime() const { return realtime_; }
  void join();

 private:
  static void* Entry(void* self);
  std::function<void()> body_;
  pthread_t thread_{};
  bool joinable_ = false;
  bool realtime_ = false;
};

}  // namespace korvel::host
