/* The system log (the platform's NSLog): one line to standard error and to syslog(3). */
#ifndef KORVEL_PLATFORM_SYSTEMLOG_H
#define KORVEL_PLATFORM_SYSTEMLOG_H

namespace korvel::platform {
void SystemLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
}

#endif
