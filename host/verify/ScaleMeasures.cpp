#include "host/verify/ScaleMeasures.h"

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace korvel::host {

double ProcessCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int ThreadCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(dir))
      if (e->d_name[0] != '.') ++count;
    ::closedir(dir);
  }
  return count;
}

std::map<std::string, ThreadGroup> ThreadsByName() {
  std::map<std::string, ThreadGroup> groups;
  const double tick = double(::sysconf(_SC_CLK_TCK));
  DIR* dir = ::opendir("/proc/self/task");
  if (!dir) return groups;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream statFile(std::string("/proc/self/task/") + e->d_name + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // "tid (comm) state ..." with utime and stime the 14th and 15th fields; the name may
    // hold spaces and parentheses, so fields are counted after the last ')'.
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::string name = stat.substr(open + 1, close - open - 1);
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::stoull(field);
      if (i == 15) stime = std::stoull(field);
    }
    ThreadGroup& g = groups[name];
    ++g.threads;
    g.cpuSeconds += double(utime + stime) / tick;
  }
  ::closedir(dir);
  return groups;
}

long long MonotonicNanoseconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

}  // namespace korvel::host
