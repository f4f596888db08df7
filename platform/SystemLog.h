/* The system log (the platform's NSLog): one line to standard error and to syslog(3). */
#pragma once

namespace korvel::platform {
void SystemLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
}
