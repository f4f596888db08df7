#include "platform/SystemLog.h"

#include <syslog.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace korvel::platform {

void SystemLog(const char* format, ...) {
  // A fixed buffer: logging never allocates, so it can never fail for want of memory.
  char line[1024];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (length < 0) length = 0;
  const size_t end = std::min(static_cast<size_t>(length), sizeof line - 2);
  syslog(LOG_USER | LOG_NOTICE, "%.*s", static_cast<int>(end), line);
  // One fputs keeps the line whole when other threads write to stderr at the same time.
  line[end] = '\n';
  line[end + 1] = '\0';
  std::fputs(line, stderr);
}

}  // namespace korvel::platform
