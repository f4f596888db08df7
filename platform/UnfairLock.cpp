#include "platform/UnfairLock.h"

namespace korvel::platform {
__attribute__((tls_model("initial-exec"))) thread_local LockObserver tlsLockObserver = nullptr;
}  // namespace korvel::platform
