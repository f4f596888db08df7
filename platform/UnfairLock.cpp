#include "platform/UnfairLock.h"

namespace korvel::platform {
thread_local LockObserver tlsLockObserver = nullptr;
}  // namespace korvel::platform
