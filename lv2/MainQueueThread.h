// LV2 gives a plug-in no hook into its host's main loop, so the main-queue work of every
// Korvel instance in the process (delayed tasks, notification handlers) runs on one
// thread of the plug-in's own. It runs that work under the instance-state lock, which
// every LV2 entry point touching an instance holds too, so the work never overlaps a
// host call on an instance.
#pragma once

#include <mutex>

namespace korvel::lv2 {

std::mutex& InstanceStateLock();

// The first retain starts the thread, the last release stops it (and waits for it).
// Call neither while holding InstanceStateLock.
void RetainMainQueueThread();
void ReleaseMainQueueThread();

}  // namespace korvel::lv2
