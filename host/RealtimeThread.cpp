#include "host/RealtimeThread.h"

#include <sched.h>

#include <cstring>
#include <system_error>

namespace korvel::host {

RealtimeThread::RealtimeThread(std::function<void()> body) : body_(std::move(body)) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  sched_param param{};
  param.sched_priority = 70;  // below JACK's own process thread, above everything else
  pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
  pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
  pthread_attr_setschedparam(&attr, &param);
  if (pthread_create(&thread_, &attr, &Entry, this) == 0) {
    realtime_ = true;
  } else {
    // No real-time privilege (no rtprio limit, a container): an ordinary thread still
    // plays correctly, only with less protection from the scheduler.
    int err = pthread_create(&thread_, nullptr, &Entry, this);
    if (err != 0) {
      pthread_attr_destroy(&attr);
      throw std::system_error(err, std::generic_category(), "cannot start the real-time thread");
    }
  }
  pthread_attr_destroy(&attr);
  joinable_ = true;
}

RealtimeThread::~RealtimeThread() { join(); }

void RealtimeThread::join() {
  if (joinable_) {
    pthread_join(thread_, nullptr);
    joinable_ = false;
  }
}

void* RealtimeThread::Entry(void* self) {
  static_cast<RealtimeThread*>(self)->body_();
  return nullptr;
}

}  // namespace korvel::host
