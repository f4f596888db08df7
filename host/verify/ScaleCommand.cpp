// korvel-host scale: a large template in one process. It opens N instances, links each
// to a track (connection file "connected" with a track name), puts one of them on the
// companion's active track, and measures what that costs: open time, CPU of the idle
// process, resident memory, threads, and the time an event on the active track takes to
// reach the companion's destination.
//
// The companion is a program given with --companion: it publishes the destination with
// the companion's unique ID and prints, one line each, "ready PERIOD RATE" once it is
// published, "hello UID" for the first message of every instance, and
// "event UID B0 B1 [B2] NANOSECONDS" for every forwarded event with its arrival time on
// the monotonic clock. It ends when its standard input closes.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/Commands.h"
#include "host/HostSupport.h"
#include "host/MainLoop.h"
#include "host/Plist.h"
#include "host/PluginBundle.h"
#include "host/PluginInstance.h"
#include "host/PropertyIDs.h"
#include "host/RealtimeThread.h"
#include "host/verify/ScaleMeasures.h"

namespace korvel::host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kActiveUIDPath = "/tmp/korvel_active_uid.txt";
constexpr const char* kActiveTrackPath = "/tmp/korvel_active_track.txt";

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// One of the companion's fixed files, kept as it was and put back at the end. Only a
// regular file is kept; the files are written without following links.
class SharedFileGuard {
 public:
  explicit SharedFileGuard(std::string path) : path_(std::move(path)) {
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) saved_ = read();
  }
  ~SharedFileGuard() {
    if (!touched_) return;
    ::unlink(path_.c_str());
    if (saved_) write(*saved_);
  }
  void set(const std::string& contents) {
    touched_ = true;
    ::unlink(path_.c_str());
    write(contents);
  }

 private:
  std::optional<std::string> read() const {
    int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < (1 << 20))
      text.append(buffer, size_t(n));
    ::close(fd);
    return text;
  }
  void write(const std::string& contents) const {
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return;
    [[maybe_unused]] ssize_t n = ::write(fd, contents.data(), contents.size());
    ::close(fd);
  }

  std::string path_;
  std::optional<std::string> saved_;
  bool touched_ = false;
};

// The companion program as a child process, with what it reports.
class CompanionProcess {
 public:
  explicit CompanionProcess(const std::string& program) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
      throw std::runtime_error("cannot make pipes for the companion");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      sigset_t none;
      sigemptyset(&none);
      pthread_sigmask(SIG_SETMASK, &none, nullptr);
      ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (pid_ < 0) {
      ::close(in[1]);
      ::close(out[0]);
      throw std::runtime_error("cannot start the companion " + program);
    }
    stdin_ = in[1];
    stdout_ = out[0];
    reader_ = std::thread([this] { readLines(); });
  }

  ~CompanionProcess() {
    ::close(stdin_);  // the companion's cue to end
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (reader_.joinable()) reader_.join();
    ::close(stdout_);
  }

  // Waits until `condition` holds over the reported state, or the deadline passes.
  template <class Condition>
  bool waitFor(Condition condition, Clock::duration deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] { return condition(*this) || ended_; }) &&
           condition(*this);
  }

  // Read under the lock, i.e. inside waitFor's condition or through the copies below.
  bool ready = false;
  long periodFrames = 0, sampleRate = 0;
  std::set<uint32_t> heard;
  std::map<std::string, long long> arrivals;  // "UID B0 B1 [B2]" -> nanoseconds

  std::optional<long long> arrival(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto found = arrivals.find(key);
    if (found == arrivals.end()) return std::nullopt;
    return found->second;
  }
  size_t heardCount() {
    std::lock_guard lock(mutex_);
    return heard.size();
  }

 private:
  void readLines() {
    std::string pending;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(stdout_, buffer, sizeof buffer)) > 0) {
      pending.append(buffer, size_t(n));
      size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        take(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  void take(const std::string& line) {
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    std::lock_guard lock(mutex_);
    if (kind == "ready") {
      words >> periodFrames >> sampleRate;
      ready = true;
    } else if (kind == "hello") {
      std::string uid;
      words >> uid;
      heard.insert(static_cast<uint32_t>(std::stoul(uid, nullptr, 16)));
    } else if (kind == "event") {
      size_t last = line.rfind(' ');
      arrivals[line.substr(6, last - 6)] = std::stoll(line.substr(last + 1));
    }
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ended_ = false;
};

OSStatus CountThru(void* user, const AudioTimeStamp*, uint32_t, const MIDIPacketList*) {
  ++*static_cast<uint64_t*>(user);
  return noErr;
}

struct Figures {
  int instances = 0;
  double openMsTotal = 0, openMsPerInstance = 0, linkMsPerInstance = 0, closeMsPerInstance = 0;
  double idleSeconds = 0, idleCpuPercent = 0;
  long rssKiBBefore = 0, rssKiBAfter = 0;
  int threadsBefore = 0, threadsAfter = 0;
  bool activeSeen = false, activeAfterLatency = false;
  size_t linked = 0;
  int latencySent = 0, latencyLost = 0;
  double latencyMedianMs = 0, latencyP95Ms = 0, latencyMaxMs = 0, latencyBoundMs = 0;
  std::map<std::string, ThreadGroup> idleThreads;

  nlohmann::json json() const {
    nlohmann::json j = {
        {"instances", instances},
        {"open_ms_total", openMsTotal},
        {"open_ms_per_instance", openMsPerInstance},
        {"link_ms_per_instance", linkMsPerInstance},
        {"close_ms_per_instance", closeMsPerInstance},
        {"idle_seconds", idleSeconds},
        {"idle_cpu_percent", idleCpuPercent},
        {"rss_kib_before", rssKiBBefore},
        {"rss_kib_after", rssKiBAfter},
        {"rss_kib_per_instance", double(rssKiBAfter - rssKiBBefore) / std::max(instances, 1)},
        {"threads_before", threadsBefore},
        {"threads", threadsAfter},
        {"active_track_seen", activeSeen},
        {"active_track_after_latency", activeAfterLatency},
        {"linked", linked},
        {"latency_sent", latencySent},
        {"latency_lost", latencyLost},
        {"latency_ms_median", latencyMedianMs},
        {"latency_ms_p95", latencyP95Ms},
        {"latency_ms_max", latencyMaxMs},
        {"latency_bound_ms", latencyBoundMs},
    };
    for (const auto& [name, g] : idleThreads)
      j["idle_threads"][name] = {{"threads", g.threads}, {"cpu_seconds", g.cpuSeconds}};
    return j;
  }
};

// Per name: the CPU time spent between two snapshots.
std::map<std::string, ThreadGroup> Difference(const std::map<std::string, ThreadGroup>& before,
                                              const std::map<std::string, ThreadGroup>& after) {
  std::map<std::string, ThreadGroup> d;
  for (const auto& [name, g] : after) {
    auto b = before.find(name);
    d[name] = {g.threads, g.cpuSeconds - (b == before.end() ? 0 : b->second.cpuSeconds)};
  }
  return d;
}

// Sends `count` note-ons to the active instance from a real-time thread, spaced so that
// they fall on every phase of the link tick, and times each to its arrival.
void MeasureLatency(const PluginInstance& active, uint32_t uid, int count,
                    CompanionProcess& companion, Figures& f) {
  std::vector<long long> sent(size_t(count), 0);
  auto key = [&](int e) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %02X %02X %02X", Hex(uid).c_str(), 0x90, 36 + e % 60,
                  1 + (e / 60) % 127);
    return std::string(text);
  };
  {
    RealtimeThread sender([&] {
      uint32_t r = 12345;
      for (int e = 0; e < count; ++e) {
        sent[size_t(e)] = MonotonicNanoseconds();
        active.midiEvent(0x90, 36 + e % 60, 1 + (e / 60) % 127, 0);
        r = r * 1103515245u + 12345u;
        long pauseMs = 37 + long((r >> 16) % 61);  // 37 to 97 ms: no fixed phase to the tick
        timespec pause{0, pauseMs * 1'000'000L};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
      }
    });
  }
  companion.waitFor([&](CompanionProcess& c) { return c.arrivals.count(key(count - 1)) > 0; },
                    std::chrono::seconds(2));
  std::vector<double> latencies;
  for (int e = 0; e < count; ++e) {
    if (auto at = companion.arrival(key(e)))
      latencies.push_back(double(*at - sent[size_t(e)]) / 1e6);
    else
      ++f.latencyLost;
  }
  f.latencySent = count;
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    f.latencyMedianMs = latencies[latencies.size() / 2];
    f.latencyP95Ms = latencies[std::min(latencies.size() - 1, latencies.size() * 95 / 100)];
    f.latencyMaxMs = latencies.back();
  }
}

void PrintFigures(const Figures& f, bool companion) {
  std::printf("instances             %d\n", f.instances);
  std::printf("open                  %.1f ms in all, %.3f ms per instance\n", f.openMsTotal,
              f.openMsPerInstance);
  std::printf("link set-up           %.3f ms per instance (restore with a track name)\n",
              f.linkMsPerInstance);
  std::printf("active track          %s\n", f.activeSeen ? "taken up" : "NOT taken up");
  if (companion) std::printf("heard by companion    %zu of %d instances\n", f.linked, f.instances);
  std::printf("idle CPU              %.2f %% of one core over %.1f s\n", f.idleCpuPercent,
              f.idleSeconds);
  std::printf("resident memory       %ld KiB -> %ld KiB, %.1f KiB per instance\n", f.rssKiBBefore,
              f.rssKiBAfter, double(f.rssKiBAfter - f.rssKiBBefore) / std::max(f.instances, 1));
  std::printf("threads               %d before the first instance, %d with all open\n",
              f.threadsBefore, f.threadsAfter);
  std::vector<std::pair<std::string, ThreadGroup>> busiest(f.idleThreads.begin(),
                                                           f.idleThreads.end());
  std::sort(busiest.begin(), busiest.end(),
            [](const auto& a, const auto& b) { return a.second.cpuSeconds > b.second.cpuSeconds; });
  for (size_t i = 0; i < busiest.size() && i < 6; ++i)
    std::printf("  idle CPU by thread  %-16s x%-3d %.2f %%\n", busiest[i].first.c_str(),
                busiest[i].second.threads,
                100.0 * busiest[i].second.cpuSeconds / std::max(f.idleSeconds, 1e-9));
  if (companion && f.latencySent > 0)
    std::printf(
        "latency to companion  median %.1f ms, p95 %.1f ms, max %.1f ms (bound %.1f ms), %d of %d "
        "lost\n",
        f.latencyMedianMs, f.latencyP95Ms, f.latencyMaxMs, f.latencyBoundMs, f.latencyLost,
        f.latencySent);
  if (companion && f.latencySent > 0 && !f.activeAfterLatency)
    std::printf(
        "                      the instance was no longer on the active track at the end\n");
  std::printf("close                 %.3f ms per instance\n", f.closeMsPerInstance);
  std::fflush(stdout);
}

}  // namespace

int RunScale(const ScaleOptions& options) {
  PluginBundle bundle(options.bundlePath);
  MainLoop loop(bundle);
  SharedFileGuard activeUID(kActiveUIDPath), activeTrack(kActiveTrackPath);
  Figures f;
  f.instances = options.instances;

  std::unique_ptr<CompanionProcess> companion;
  if (!options.companion.empty()) {
    companion = std::make_unique<CompanionProcess>(options.companion);
    if (!companion->waitFor([](CompanionProcess& c) { return c.ready; }, std::chrono::seconds(10)))
      throw std::runtime_error("the companion " + options.companion +
                               " did not publish its destination");
    f.latencyBoundMs = 100.0 + 1000.0 * double(companion->periodFrames) /
                                   double(std::max(companion->sampleRate, 1L));
  }

  f.threadsBefore = ThreadCount();
  f.rssKiBBefore = ResidentKiB();

  std::vector<std::unique_ptr<PluginInstance>> units;
  units.reserve(size_t(options.instances));
  auto t0 = Clock::now();
  for (int i = 0; i < options.instances; ++i)
    units.push_back(std::make_unique<PluginInstance>(bundle));
  f.openMsTotal = Ms(Clock::now() - t0);
  f.openMsPerInstance = f.openMsTotal / options.instances;

  // Each instance takes its track as a restored project gives it: linked, with a name;
  // the instance then writes its connection file itself.
  std::vector<uint64_t> thru(units.size(), 0);
  std::vector<uint32_t> uids;
  std::set<uint32_t> filesBefore;
  t0 = Clock::now();
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t uid = units[i]->uniqueID();
    uids.push_back(uid);
    if (::access(ConnectionFilePath(uid).c_str(), F_OK) == 0) filesBefore.insert(uid);
    units[i]->setMIDIOutputCallback(&CountThru, &thru[i]);
    char name[32];
    std::snprintf(name, sizeof name, "Track %03zu", i + 1);
    PlistPtr state(plist_new_dict());
    plist_dict_set_item(state.get(), "tvConnected", plist_new_uint(1));
    plist_dict_set_item(state.get(), "tvTrackName", plist_new_string(name));
    units[i]->restoreState(state.get());
  }
  f.linkMsPerInstance = Ms(Clock::now() - t0) / options.instances;

  const size_t activeIndex = units.size() / 2;
  activeUID.set(Hex(uids[activeIndex]) + "\n");
  char activeName[32];
  std::snprintf(activeName, sizeof activeName, "Track %03zu\n", activeIndex + 1);
  activeTrack.set(activeName);
  // Every instance reads its connection file, and then the active-track files, twice a second.
  f.activeSeen = loop.runUntil([&] { return units[activeIndex]->getU32(kActiveTrack) == 1; },
                               std::chrono::seconds(5));
  if (companion) {
    // Every instance's heartbeat reaches the companion within a second or so of its
    // first tick; the first sends also connect the ports.
    const size_t n = units.size();
    loop.runUntil([&] { return companion->heardCount() >= n; }, std::chrono::seconds(10 + n / 50));
    f.linked = companion->heardCount();
  }

  loop.runFor(std::chrono::seconds(1));  // let start-up work drain before measuring
  auto threadsIdleStart = ThreadsByName();
  double cpu0 = ProcessCPUSeconds();
  auto w0 = Clock::now();
  loop.runFor(std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options.idleSeconds)));
  f.idleSeconds = std::chrono::duration<double>(Clock::now() - w0).count();
  f.idleCpuPercent = 100.0 * (ProcessCPUSeconds() - cpu0) / f.idleSeconds;
  f.idleThreads = Difference(threadsIdleStart, ThreadsByName());
  f.threadsAfter = ThreadCount();
  f.rssKiBAfter = ResidentKiB();

  if (companion && options.latencyEvents > 0 && !loop.interrupted()) {
    // The active-track files are shared with everything else on the machine; they are
    // written again, and the instance's take-up awaited, right before the timing.
    activeUID.set(Hex(uids[activeIndex]) + "\n");
    activeTrack.set(activeName);
    loop.runUntil([&] { return units[activeIndex]->getU32(kActiveTrack) == 1; },
                  std::chrono::seconds(2));
    MeasureLatency(*units[activeIndex], uids[activeIndex], options.latencyEvents, *companion, f);
    f.activeAfterLatency = units[activeIndex]->getU32(kActiveTrack) == 1;
  }

  t0 = Clock::now();
  units.clear();
  f.closeMsPerInstance = Ms(Clock::now() - t0) / options.instances;
  loop.runFor(std::chrono::milliseconds(400));  // one-shot tasks of the closed instances
  for (uint32_t uid : uids)
    if (!filesBefore.count(uid)) ::unlink(ConnectionFilePath(uid).c_str());

  PrintFigures(f, companion != nullptr);
  if (options.json) std::cout << f.json().dump() << std::endl;
  return loop.interrupted() ? 1 : 0;
}

}  // namespace korvel::host
