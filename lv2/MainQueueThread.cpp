#include "lv2/MainQueueThread.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

#include "platform/Dispatch.h"

namespace korvel::lv2 {
namespace {

std::mutex gLifecycleLock;
int gInstances = 0;
int gStopFD = -1;
std::thread gThread;

void RunMainQueueUntilStopped(int stopFD) {
  pthread_setname_np(pthread_self(), "korvel-lv2-main");
  pollfd fds[2] = {{Korvel_MainQueueFD(), POLLIN, 0}, {stopFD, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents != 0) {
      std::lock_guard lock(InstanceStateLock());
      Korvel_RunMainQueue();
    }
  }
}

}  // namespace

std::mutex& InstanceStateLock() {
  static std::mutex lock;
  return lock;
}

void RetainMainQueueThread() {
  std::lock_guard guard(gLifecycleLock);
  if (gInstances++ > 0) return;
  gStopFD = eventfd(0, EFD_CLOEXEC);
  gThread = std::thread(RunMainQueueUntilStopped, gStopFD);
}

void ReleaseMainQueueThread() {
  std::lock_guard guard(gLifecycleLock);
  if (--gInstances > 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(gStopFD, &one, sizeof one);
  gThread.join();
  close(gStopFD);
  gStopFD = -1;
  // What the last Close queued (releases of its record) is due now: run it rather than
  // leave it waiting for the next instance.
  std::lock_guard lock(InstanceStateLock());
  Korvel_RunMainQueue();
}

}  // namespace korvel::lv2
