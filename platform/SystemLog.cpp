#include "platform/SystemLog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace korvel::platform {

void SystemLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line;
  if (length > 0) {
    line.resize(static_cast<size_t>(length));
    std::vsnprintf(line.data(), line.size() + 1, format, args);
  }
  va_end(args);
  // One fputs keeps the line whole when other threads write to stderr at the same time.
  std::fputs((line + "\n").c_str(), stderr);
  syslog(LOG_USER | LOG_NOTICE, "%s", line.c_str());
}

}  // namespace korvel::platform
