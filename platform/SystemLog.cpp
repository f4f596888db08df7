#include "platform/SystemLog.h"

#include <syslog.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

namespace korvel::platform {

void SystemLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::max(0, std::vsnprintf(nullptr, 0, format, copy));
  va_end(copy);
  // A line that fits here needs no memory; a longer one is cut short when memory runs
  // out, so that logging never throws.
  char shortLine[1024];
  std::unique_ptr<char[]> longLine;
  char* line = shortLine;
  size_t capacity = sizeof shortLine;
  if (static_cast<size_t>(length) + 2 > capacity) {
    longLine.reset(new (std::nothrow) char[static_cast<size_t>(length) + 2]);
    if (longLine) {
      line = longLine.get();
      capacity = static_cast<size_t>(length) + 2;
    }
  }
  std::vsnprintf(line, capacity - 1, format, args);
  va_end(args);
  const size_t end = std::min(static_cast<size_t>(length), capacity - 2);
  syslog(LOG_USER | LOG_NOTICE, "%.*s", static_cast<int>(end), line);
  // One fputs keeps the line whole when other threads write to stderr at the same time.
  line[end] = '\n';
  line[end + 1] = '\0';
  std::fputs(line, stderr);
}

}  // namespace korvel::platform
